#include "PersonnelSettings.h"

#include "core/IniFile.h"

#include <QDir>
#include <QFileInfo>

PersonnelSettings ReadMySqlSettings(const QString& settingsFile) {
    PersonnelSettings s;
    const QString login = QStringLiteral("Login"), mysql = QStringLiteral("MySql");
    auto read = [&](const QString& section, const char* key, const QString& byDefault = {}) {
        return readProfileString(settingsFile, section, QString::fromLatin1(key), byDefault);
    };
    auto file = [&](const char* key) { return settingsFilePath(settingsFile, read(mysql, key)); };
    s.server = read(login, "Server");
    s.database = read(login, "Database");
    s.user = read(mysql, "User");
    s.password = read(mysql, "Password");
    s.port = read(mysql, "Port", QStringLiteral("3306"));
    s.ssl = read(mysql, "SSL");
    s.sslCACert = file("SSLCACert");
    s.sslCert = file("SSLCert");
    s.sslKey = file("SSLKey");
    s.sslCipherList = read(mysql, "SSLCipherList");
    s.sslVerify = read(mysql, "SSLVerify");
    s.serverPublicKey = file("ServerPublicKey");
    return s;
}

bool settingIsOn(const QString& value, bool byDefault) {
    const QString v = value.trimmed();
    if (v.isEmpty()) return byDefault;
    return v != QStringLiteral("0");
}

QString settingsFilePath(const QString& settingsFile, const QString& name) {
    if (name.isEmpty()) return name;
    return QDir::cleanPath(QFileInfo(settingsFile).absoluteDir().absoluteFilePath(name));
}
