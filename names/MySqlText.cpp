#include "MySqlText.h"

#include "core/TextCodec.h"
#include "mysql/MyConnection.h"

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
