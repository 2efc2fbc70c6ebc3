#pragma once

// Text at the border with the personnel database: its values are latin5
// (Windows-1254) bytes, ours are Unicode.

#include <QString>

#include <optional>
#include <string>
#include <string_view>

namespace v270::mysql {
class TMyConnection;
}

// Bytes from the server as text.
QString fromLatin5(std::string_view bytes);
// Text as the server's bytes; nullopt when a character has no latin5 byte,
// so such a text can never be sent as some other text.
std::optional<std::string> toLatin5(const QString& text);

// The bytes escaped for a quoted string literal, as the server's own client
// escapes them for a single-byte character set: with a backslash, or when
// the session runs with NO_BACKSLASH_ESCAPES by doubling the quote.
std::string escapeLiteral(std::string_view bytes, bool backslashEscapes);
// Whether the open connection's session takes backslash escapes now.
bool takesBackslashEscapes(const v270::mysql::TMyConnection& connection);

// A quoted literal for a statement on the open connection.
std::string quotedLiteral(const v270::mysql::TMyConnection& connection, std::string_view bytes);

// The text of an error the client raised (server, socket or conversion), for
// the error report: valid UTF-8 as UTF-8, anything else as latin5, without
// the line break a server message starts with.
QString mySqlErrorText(const std::exception& e);

// The error number a client error carries: the server's (1045) or the
// client's (2003); 0 for errors without one (a field value, a conversion).
int mySqlErrorCode(const std::exception& e);

// One Turkish line for the operator: what failed and what to check. text is
// the client's own text, which tells a refused connection from a timeout or
// an unknown host under the one number 2003.
QString mySqlErrorAdvice(int code, const QString& text);

// What the operator sees of a client error: the Turkish line, then the
// server's or client's own text under it.
QString mySqlErrorReport(const std::exception& e);
