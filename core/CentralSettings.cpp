#include "CentralSettings.h"

#include "core/AppError.h"
#include "core/IniFile.h"
#include "core/RegularFile.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>

#include <algorithm>
#include <optional>

namespace {

const QString kSection = QStringLiteral("Merkez");

QString settingsPath(const QString& programDir) {
    return programDir + QStringLiteral("Settings.ini");
}

QString wrongValue(const char* key, const QString& value, const QString& why) {
    return QStringLiteral("Settings.ini [Merkez] %1 değeri geçersiz (\"%2\"): %3")
        .arg(QString::fromLatin1(key), value, why);
}

// "0" is off, anything else on, missing the default (a mistyped value
// leaves TLS and its checks on).
bool switchOn(const QString& value, bool byDefault) {
    const QString v = value.trimmed();
    return v.isEmpty() ? byDefault : v != QStringLiteral("0");
}

QString besideSettings(const QString& programDir, const QString& name) {
    if (name.isEmpty()) return name;
    return QDir::cleanPath(QDir(programDir).absoluteFilePath(name));
}

int portOf(const QString& entry, const QString& text) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    const int port = digits.match(text).hasMatch() ? text.toInt() : 0;
    if (port < 1 || port > 65535)
        throw AppError(wrongValue("Hosts", entry, QStringLiteral("port 1-65535 arası olmalı")));
    return port;
}

} // namespace

std::vector<CentralHost> parseCentralHosts(const QString& text) {
    std::vector<CentralHost> hosts;
    if (text.trimmed().isEmpty()) return hosts;
    static const QRegularExpression hostName(QStringLiteral("^[A-Za-z0-9._-]{1,253}$"));
    static const QRegularExpression v6(QStringLiteral("^[0-9A-Fa-f:.]{2,45}$"));
    for (const QString& raw : text.split(u',')) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            throw AppError(wrongValue("Hosts", text, QStringLiteral("boş bir sunucu adı var")));
        CentralHost h;
        if (entry.startsWith(u'[')) {
            const qsizetype close = entry.indexOf(u']');
            const QString rest = close < 0 ? QString() : entry.mid(close + 1);
            h.host = close < 0 ? QString() : entry.mid(1, close - 1);
            if (close < 0 || !v6.match(h.host).hasMatch() ||
                (!rest.isEmpty() && !rest.startsWith(u':')))
                throw AppError(wrongValue("Hosts", entry,
                                          QStringLiteral("IPv6 adresi [adres]:port biçiminde "
                                                         "yazılmalı")));
            if (!rest.isEmpty()) h.port = portOf(entry, rest.mid(1));
        } else {
            const qsizetype colon = entry.indexOf(u':');
            h.host = colon < 0 ? entry : entry.left(colon);
            if (colon >= 0) h.port = portOf(entry, entry.mid(colon + 1));
            if (!hostName.match(h.host).hasMatch())
                throw AppError(wrongValue("Hosts", entry,
                                          QStringLiteral("sunucu adı yalnız harf, rakam, nokta "
                                                         "ve tireden oluşmalı")));
        }
        hosts.push_back(h);
    }
    return hosts;
}

bool centralDatabaseConfigured(const QString& programDir) {
    return !readProfileString(settingsPath(programDir), kSection, QStringLiteral("Hosts"), {})
                .trimmed()
                .isEmpty();
}

CentralSettings readCentralSettings(const QString& programDir) {
    const QString file = settingsPath(programDir);
    const auto read = [&](const char* key) {
        return readProfileString(file, kSection, QString::fromLatin1(key), {});
    };
    CentralSettings s;
    s.hosts = parseCentralHosts(read("Hosts"));
    if (s.hosts.empty())
        throw AppError(QStringLiteral("Merkez veritabanı ayarlanmamış: Settings.ini [Merkez] "
                                      "bölümünde Hosts yok."));
    // Written into statements as a name: only what needs no quoting.
    static const QRegularExpression identifier(QStringLiteral("^[A-Za-z0-9_]{1,64}$"));
    s.database = read("Database");
    if (!identifier.match(s.database).hasMatch())
        throw AppError(wrongValue("Database", s.database,
                                  QStringLiteral("1-64 harf, rakam ya da alt çizgi olmalı")));
    s.user = read("User");
    if (s.user.isEmpty() || s.user.size() > 80)
        throw AppError(wrongValue("User", s.user, QStringLiteral("kullanıcı adı gerekli")));
    s.password = read("Password");
    const QString passwordFile = read("PasswordFile");
    if (!passwordFile.isEmpty()) {
        if (!s.password.isEmpty())
            throw AppError(wrongValue("PasswordFile", passwordFile,
                                      QStringLiteral("Password ile birlikte verilemez")));
        const QString path = besideSettings(programDir, passwordFile);
        const std::optional<QByteArray> bytes = readRegularFile(path, 4096);
        if (!bytes)
            throw AppError(
                wrongValue("PasswordFile", passwordFile, QStringLiteral("dosya okunamadı")));
        const QByteArray firstLine = bytes->left(bytes->indexOf('\n'));
        s.password = QString::fromUtf8(firstLine.endsWith('\r') ? firstLine.chopped(1) : firstLine);
    }
    s.ssl = switchOn(read("SSL"), false);
    s.sslCACert = besideSettings(programDir, read("SSLCACert"));
    s.sslCert = besideSettings(programDir, read("SSLCert"));
    s.sslKey = besideSettings(programDir, read("SSLKey"));
    s.sslCipherList = read("SSLCipherList");
    s.sslVerify = switchOn(read("SSLVerify"), !s.sslCACert.isEmpty());
    s.serverPublicKey = besideSettings(programDir, read("ServerPublicKey"));
    if (s.sslCert.isEmpty() != s.sslKey.isEmpty())
        throw AppError(QStringLiteral("Settings.ini [Merkez]: SSLCert ile SSLKey birlikte "
                                      "verilmeli."));
    for (const auto& [key, path] : {std::pair{"SSLCACert", s.sslCACert},
                                    {"SSLCert", s.sslCert},
                                    {"SSLKey", s.sslKey},
                                    {"ServerPublicKey", s.serverPublicKey}})
        if (!path.isEmpty() && !QFileInfo(path).isReadable())
            throw AppError(wrongValue(key, path, QStringLiteral("dosya okunamadı")));
    s.site = read("Site");
    if (s.site.isEmpty()) s.site = QSysInfo::machineHostName();
    if (s.site.isEmpty() || s.site.size() > 64 ||
        std::any_of(s.site.begin(), s.site.end(), [](QChar c) { return !c.isPrint(); }))
        throw AppError(
            wrongValue("Site", s.site, QStringLiteral("1-64 yazdırılabilir karakter olmalı")));
    return s;
}
