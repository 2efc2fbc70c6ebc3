#pragma once

// Setting up, trying and saving the connection to the PDKS program's
// personnel database, for the names fill and the database settings dialog.

#include "enroll/PersonnelSettings.h"

#include <QString>

namespace v270::mysql {
class TMyConnection;
}

// Closes the connection and puts the settings into it. False when the port
// is not a whole number: the connection keeps the port it had.
bool setPersonnelConnection(v270::mysql::TMyConnection& connection,
                            const PersonnelSettings& settings);

// What is wrong with settings as typed, in Turkish, before any connection is
// tried (a missing server or database, a port out of range, a certificate
// file that can't be read); empty when nothing is.
QString personnelSettingsProblem(const PersonnelSettings& settings);

// The value to store for an on/off setting (SSL, SSLVerify) shown as a
// check box: the stored text while it still means the same, else "1" or "0".
QString switchSetting(bool on, const QString& stored, bool byDefault);

struct ConnectionTry {
    bool ok = false;
    QString text;    // Turkish; on failure what failed and what to check
    QString details; // on failure the server's or the system's own words
};

// "Dene": connects with the settings as typed on a connection of its own,
// in the character set of the names fill, looks at the personnel table and
// closes again. Waits at most timeoutSeconds for the server.
ConnectionTry tryPersonnelConnection(const PersonnelSettings& settings, int timeoutSeconds = 10);

// Writes the settings into settingsFile in one write: server and database in
// [Login], the rest in [MySql]. Only keys whose value differs from what the
// file gives now are written, so that a file name kept relative stays so and
// every other line stays as it was. Throws AppError when the file can't be
// written.
void savePersonnelSettings(const QString& settingsFile, const PersonnelSettings& settings);
