#pragma once

#include <QString>
#include <QStringList>

class Operator;
class TfrmDM;

// Opens Data.mdb and Log.mdb from the program directory and loads the
// terminal list. Missing files are told in one message and start-up goes on;
// any other failure throws, and the caller skips the rest of its start-up.
void openDataModule(TfrmDM& dm, const QString& programDir, Operator& op);

// That message: a line per missing file, then the directory and the command
// that makes empty databases in it.
QString missingDatabasesText(const QString& programDir, const QStringList& lines);

// The second-file option: only the exact text "1" turns it on.
bool readSecondFileOption(const QString& settingsPath);
void saveSecondFileOption(const QString& settingsPath, bool on);
