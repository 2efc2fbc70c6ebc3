#pragma once

#include <QString>

// Where the PDKS program's personnel database is, from Settings.ini: server
// and database in [Login], user, password and port in [MySql].
struct PersonnelSettings {
    QString server;
    QString database;
    QString user;
    QString password;
    QString port; // "3306" when the key is missing
};

PersonnelSettings ReadMySqlSettings(const QString& settingsFile);
