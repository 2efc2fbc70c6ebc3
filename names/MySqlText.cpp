#include "MySqlText.h"

#include "core/TextCodec.h"
#include "mysql/MyConnection.h"
#include "mysql/MySqlErrors.h"

namespace {
// Set in the server's status flags while the session's sql_mode has it.
constexpr uint16_t kServerStatusNoBackslashEscapes = 0x200;
} // namespace

QString fromLatin5(std::string_view bytes) {
    return decodeCp1254(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
}

std::optional<std::string> toLatin5(const QString& text) {
    const QByteArray bytes = encodeCp1254(text);
    if (decodeCp1254(bytes) != text) return std::nullopt;
    return bytes.toStdString();
}

std::string escapeLiteral(std::string_view bytes, bool backslashEscapes) {
    std::string out;
    out.reserve(bytes.size() + 8);
    for (char c : bytes) {
        if (!backslashEscapes) {
            out += c;
            if (c == '\'') out += '\'';
            continue;
        }
        switch (c) {
        case '\0':
            out += "\\0";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\'':
            out += "\\'";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\032':
            out += "\\Z";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool takesBackslashEscapes(const v270::mysql::TMyConnection& connection) {
    const v270::mysql::TMySQLConnection* internal = connection.InternalConnection();
    if (!internal || !internal->Session()) return true;
    return (internal->Session()->serverStatus & kServerStatusNoBackslashEscapes) == 0;
}

std::string quotedLiteral(const v270::mysql::TMyConnection& connection, std::string_view bytes) {
    return '\'' + escapeLiteral(bytes, takesBackslashEscapes(connection)) + '\'';
}

QString mySqlErrorText(const std::exception& e) {
    const std::string_view what = e.what();
    return decodeSettingsText(QByteArrayView(what.data(), qsizetype(what.size()))).trimmed();
}

int mySqlErrorCode(const std::exception& e) {
    if (const auto* da = dynamic_cast<const v270::mysql::EDAError*>(&e)) return da->ErrorCode();
    if (const auto* my = dynamic_cast<const v270::mysql::EMySqlException*>(&e)) return my->Code();
    return 0;
}

QString mySqlErrorAdvice(int code, const QString& text) {
    switch (code) {
    case 2002:
    case 2003:
    case 2004:
    case 2005:
        if (text.contains(QLatin1String("timed out"), Qt::CaseInsensitive))
            return QStringLiteral("Veritabanı sunucusu zamanında cevap vermedi: ağ bağlantısını ve "
                                  "sunucuya güvenlik duvarından erişilebildiğini kontrol edin.");
        if (text.contains(QLatin1String("Unknown host"), Qt::CaseInsensitive))
            return QStringLiteral("Veritabanı sunucusunun adı bulunamadı: sunucu adını kontrol "
                                  "edin.");
        return QStringLiteral("Veritabanı sunucusuna bağlanılamadı: sunucu adresini ve portu "
                              "kontrol edin, MySQL sunucusunun çalıştığından emin olun.");
    case 2006:
    case 2013:
    case 1053:
        return QStringLiteral("Veritabanı sunucusuyla bağlantı koptu ya da zaman aşımına uğradı: "
                              "ağ bağlantısını ve sunucuyu kontrol edip yeniden deneyin.");
    case 1045:
        return QStringLiteral("Veritabanı girişi reddedildi: kullanıcı adını ve şifreyi kontrol "
                              "edin.");
    case 1044:
        return QStringLiteral("Kullanıcının bu veritabanına erişim izni yok: veritabanı adını ve "
                              "kullanıcının yetkilerini kontrol edin.");
    case 1049:
        return QStringLiteral("Veritabanı bulunamadı: veritabanı adını kontrol edin.");
    case 1146:
        return QStringLiteral("Veritabanında personel tablosu yok: doğru PDKS veritabanının "
                              "seçildiğini kontrol edin.");
    case 1054:
        return QStringLiteral("personel tablosunda beklenen sütun yok (kartno, ad, soyad): doğru "
                              "PDKS veritabanının seçildiğini kontrol edin.");
    case 2026:
        return QStringLiteral("Şifreli (SSL/TLS) bağlantı kurulamadı: sertifika dosyalarını ve "
                              "sunucunun SSL ayarını kontrol edin.");
    case 2059:
    case 2061:
    case 1251:
        return QStringLiteral("Sunucunun istediği giriş yöntemi kullanılamadı: şifreyi, SSL "
                              "ayarını ve sunucu açık anahtar dosyasını kontrol edin.");
    case 1040:
    case 1203:
        return QStringLiteral("Veritabanı sunucusu yeni bağlantı kabul etmiyor: biraz sonra "
                              "yeniden deneyin.");
    case 0:
        return QStringLiteral("Veritabanından gelen bir değer okunamadı.");
    default:
        return QStringLiteral("Veritabanı hatası (%1).").arg(code);
    }
}

QString mySqlErrorReport(const std::exception& e) {
    QString text = mySqlErrorText(e);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return mySqlErrorAdvice(mySqlErrorCode(e), text) + u'\n' + text;
}
