#include "PersonnelConnection.h"

#include "MySqlText.h"
#include "core/AppError.h"
#include "core/IniFile.h"
#include "core/TextCodec.h"
#include "core/TextHelpers.h"
#include "mysql/MyQuery.h"
#include "session/TerminalSession.h"

#include <QFile>
#include <QFileInfo>

#include <utility>

using v270::mysql::TMyConnection;

namespace {

std::string settingBytes(const QString& text) {
    return encodeCp1254(text).toStdString();
}

// A file name as the system's calls take it.
std::string filePath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// A value as the settings file must hold it to read back the same: blanks
// around it, or quotes of its own, would be taken off when read.
QString storedForm(const QString& value) {
    const bool quotedAlready = value.size() >= 2 && value.front() == value.back() &&
                               (value.front() == u'"' || value.front() == u'\'');
    if (value != value.trimmed() || quotedAlready) return u'"' + value + u'"';
    return value;
}

} // namespace

bool setPersonnelConnection(TMyConnection& connection, const PersonnelSettings& settings) {
    connection.Close();
    connection.SetServer(settingBytes(settings.server));
    connection.SetDatabase(settingBytes(settings.database));
    connection.SetUsername(settingBytes(settings.user));
    connection.SetPassword(settingBytes(settings.password));
    connection.Options().SetProtocol(settingIsOn(settings.ssl, false) ? v270::mysql::mpSSL
                                                                      : v270::mysql::mpDefault);
    v270::mysql::TMySSLOptions& ssl = connection.SSLOptions;
    ssl.CACert = filePath(settings.sslCACert);
    ssl.Cert = filePath(settings.sslCert);
    ssl.Key = filePath(settings.sslKey);
    ssl.ChipherList = settings.sslCipherList.toStdString();
    ssl.VerifyServerCert = settingIsOn(settings.sslVerify, !settings.sslCACert.isEmpty());
    connection.ServerPublicKey = filePath(settings.serverPublicKey);
    try {
        connection.SetPort(toWholeNumber(settings.port));
    } catch (const AppError&) {
        return false;
    }
    return true;
}

QString personnelSettingsProblem(const PersonnelSettings& s) {
    for (const QString* v :
         {&s.server, &s.database, &s.user, &s.password, &s.port, &s.ssl, &s.sslCACert, &s.sslCert,
          &s.sslKey, &s.sslCipherList, &s.sslVerify, &s.serverPublicKey}) {
        if (v->contains(u'\n') || v->contains(u'\r'))
            return QStringLiteral("Ayarlarda satır sonu olamaz.");
        if (v->size() > kProfileValueMax)
            return QStringLiteral("Bir ayar %1 karakterden uzun olamaz.").arg(kProfileValueMax);
    }
    if (s.server.trimmed().isEmpty())
        return QStringLiteral("Sunucu adı boş: PDKS veritabanının bulunduğu bilgisayarın adını "
                              "ya da IP adresini yazın.");
    if (s.database.trimmed().isEmpty())
        return QStringLiteral("Veritabanı adı boş: PDKS programının veritabanının adını yazın.");
    bool isNumber = false;
    const int port = s.port.trimmed().toInt(&isNumber);
    if (!isNumber || port < 1 || port > 65535)
        return QStringLiteral("Port 1 ile 65535 arasında bir sayı olmalı (MySQL için "
                              "genellikle 3306).");
    const std::pair<const QString*, const char*> files[] = {
        {&s.sslCACert, "SSL CA sertifikası"},
        {&s.sslCert, "SSL istemci sertifikası"},
        {&s.sslKey, "SSL istemci anahtarı"},
        {&s.serverPublicKey, "Sunucu açık anahtarı"},
    };
    for (const auto& [path, what] : files) {
        if (path->isEmpty()) continue;
        const QFileInfo info(*path);
        if (!info.isFile() || !info.isReadable())
            return QStringLiteral("%1 dosyası okunamıyor: %2").arg(QString::fromUtf8(what), *path);
    }
    if (s.sslCert.isEmpty() != s.sslKey.isEmpty())
        return QStringLiteral("SSL istemci sertifikası ile anahtarı birlikte verilmeli.");
    return {};
}

QString switchSetting(bool on, const QString& stored, bool byDefault) {
    if (settingIsOn(stored, byDefault) == on) return stored;
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

ConnectionTry tryPersonnelConnection(const PersonnelSettings& settings, int timeoutSeconds) {
    if (QString problem = personnelSettingsProblem(settings); !problem.isEmpty())
        return {false, problem, {}};
    TMyConnection connection;
    connection.Options().SetCharset("latin5");
    connection.SetConnectionTimeout(timeoutSeconds);
    setPersonnelConnection(connection, settings);
    try {
        connection.Connect();
        // The fill needs these three columns; a query that names them finds
        // a wrong database as well as a missing table.
        v270::mysql::TMyQuery query;
        query.SetConnection(&connection);
        query.CommandTimeout = timeoutSeconds;
        query.SQL.Add("select kartno, ad, soyad from personel limit 1");
        query.Open();
        query.Close();
        connection.Close();
    } catch (const std::exception& e) {
        try {
            connection.Close();
        } catch (...) {
            // The answer is the first error, not the goodbye's.
        }
        QString said = mySqlErrorText(e);
        said.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        return {false, mySqlErrorAdvice(mySqlErrorCode(e), said), said};
    }
    return {true,
            QStringLiteral("Bağlantı başarılı: %1 veritabanındaki personel tablosu "
                           "okunabiliyor.")
                .arg(settings.database),
            {}};
}

void savePersonnelSettings(const QString& settingsFile, const PersonnelSettings& s) {
    const PersonnelSettings now = ReadMySqlSettings(settingsFile);
    const QString login = QStringLiteral("Login"), mysql = QStringLiteral("MySql");
    const struct {
        const QString& section;
        const char* key;
        const QString& value;
        const QString& stored;
    } keys[] = {
        {login, "Server", s.server, now.server},
        {login, "Database", s.database, now.database},
        {mysql, "User", s.user, now.user},
        {mysql, "Password", s.password, now.password},
        {mysql, "Port", s.port, now.port},
        {mysql, "SSL", s.ssl, now.ssl},
        {mysql, "SSLCACert", s.sslCACert, now.sslCACert},
        {mysql, "SSLCert", s.sslCert, now.sslCert},
        {mysql, "SSLKey", s.sslKey, now.sslKey},
        {mysql, "SSLCipherList", s.sslCipherList, now.sslCipherList},
        {mysql, "SSLVerify", s.sslVerify, now.sslVerify},
        {mysql, "ServerPublicKey", s.serverPublicKey, now.serverPublicKey},
    };
    QList<ProfileEntry> changed;
    for (const auto& k : keys) {
        if (k.value != k.stored)
            changed.append({k.section, QString::fromLatin1(k.key), storedForm(k.value)});
    }
    if (!changed.isEmpty()) writeProfileStrings(settingsFile, changed);
}
