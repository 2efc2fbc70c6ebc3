#include "PersonnelSettings.h"

#include "core/IniFile.h"

PersonnelSettings ReadMySqlSettings(const QString& settingsFile) {
    PersonnelSettings s;
    const QString login = QStringLiteral("Login"), mysql = QStringLiteral("MySql");
    s.server = readProfileString(settingsFile, login, QStringLiteral("Server"), QString());
    s.database = readProfileString(settingsFile, login, QStringLiteral("Database"), QString());
    s.user = readProfileString(settingsFile, mysql, QStringLiteral("User"), QString());
    s.password = readProfileString(settingsFile, mysql, QStringLiteral("Password"), QString());
    s.port = readProfileString(settingsFile, mysql, QStringLiteral("Port"), QStringLiteral("3306"));
    return s;
}
