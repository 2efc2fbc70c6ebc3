#include "MySqlErrors.h"

#include <array>
#include <cstdio>

namespace v270::mysql {

namespace {
// Kept exactly as the messages have always read, typos included: callers and
// operators match on them.
constexpr std::array<std::string_view, 48> kClientMessages = {
    "Unknown MySQL error",
    "Can't create UNIX socket (%d)",
    "Can't connect to local MySQL server through socket '%-.64s' (%d)",
    "Can't connect to MySQL server on '%s' (%d)",
    "Can't create TCP/IP socket (%d)",
    "Unknown MySQL Server Host '%-.64s' (%d)",
    "MySQL server has gone away",
    "Protocol mismatch. Server Version = %d Client Version = %d",
    "MySQL client run out of memory",
    "Wrong host info",
    "Localhost via UNIX socket",
    "%-.64s via TCP/IP",
    "Error in server handshake",
    "Lost connection to MySQL server during query",
    "Commands out of sync;  You can't run this command now",
    "%-.64s via named pipe",
    "Can't wait for named pipe to host: %s  pipe: %s (%s)",
    "Can't open named pipe to host: %s  pipe: %s (%s)",
    "Can't set state of named pipe to host: %s  pipe: %s (%s)",
    "Can't initialize character set %s (path: %s)",
    "Got packet bigger than 'max_allowed_packet'",
    "Embedded server",
    "Error on SHOW SLAVE STATUS:",
    "Error on SHOW SLAVE HOSTS:",
    "Error connecting to slave:",
    "Error connecting to master:",
    "SSL connection error",
    "Malformed packet",
    "Invalid use of null pointer",
    "Statement not prepared",
    "Not all parameters data supplied",
    "Data truncated",
    "No parameters exists in the statement",
    "Invalid parameter number",
    "Can't send long data for non string or binary data types (parameter: %s)",
    "Using unsupported buffer type: %s  (parameter: %s)",
    "Shared memory (%s)",
    "Can't open shared memory. Request event don't create  (%s)",
    "Can't open shared memory. Answer event don't create  (%s)",
    "Can't open shared memory. File mapping don't create  (%s)",
    "Can't open shared memory. Map of memory don't create  (%s)",
    "Can't open shared memory. File mapping don't create for client (%s)",
    "Can't open shared memory. Map of memory don't create for client (%s)",
    "Can't open shared memory. %s event don't create for client (%s)",
    "Can't open shared memory. Server abandoded and don't sent the answer event (%s)",
    "Can't open shared memory. Can't send the request event to server (%s)",
    "Wrong or unknown protocol",
    "Invalid connection handle",
};
} // namespace

std::string_view ClientMessageTemplate(int code) {
    switch (code) {
    case CR_AUTH_PLUGIN_CANNOT_LOAD:
        return "Authentication plugin '%s' cannot be loaded: %s";
    case CR_AUTH_PLUGIN_ERR:
        return "Authentication plugin '%s' reported error: %s";
    case CR_LOAD_DATA_LOCAL_INFILE_REJECTED:
        return "LOAD DATA LOCAL INFILE file request rejected due to restrictions on access";
    default:
        break;
    }
    if (code < 2000 || code > 2047) return {};
    return kClientMessages[static_cast<size_t>(code - 2000)];
}

std::string FormatMessage(std::string_view templ, std::initializer_list<std::string> args) {
    std::string out;
    auto arg = args.begin();
    for (size_t i = 0; i < templ.size(); ++i) {
        if (templ[i] != '%' || i + 1 >= templ.size()) {
            out += templ[i];
            continue;
        }
        if (templ[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        // Parse "%[-][.N](s|d|X)".
        size_t j = i + 1;
        if (j < templ.size() && templ[j] == '-') ++j;
        size_t precision = std::string::npos;
        if (j < templ.size() && templ[j] == '.') {
            ++j;
            precision = 0;
            while (j < templ.size() && templ[j] >= '0' && templ[j] <= '9')
                precision = precision * 10 + static_cast<size_t>(templ[j++] - '0');
        }
        if (j >= templ.size()) {
            out += templ.substr(i);
            break;
        }
        std::string value = arg != args.end() ? *arg++ : std::string();
        if (precision != std::string::npos && value.size() > precision) value.resize(precision);
        out += value;
        i = j;
    }
    return out;
}

EMySqlException EMySqlException::Make(int code, const std::string& extra,
                                      std::initializer_list<std::string> args) {
    std::string message = FormatMessage(ClientMessageTemplate(code), args);
    if (!extra.empty()) {
        if (code == CR_CONN_HOST_ERROR)
            message = extra;
        else
            message += "\r\n" + extra;
    }
    return EMySqlException(code, message);
}

EMyError::EMyError(int code, const std::string& message, const TMyComponent* component)
    : EDAError(code, message, component) {
    if (code != 1064) return;
    static constexpr std::string_view kAtLine = "at line ";
    size_t at = message.rfind(kAtLine);
    if (at == std::string::npos) return;
    for (size_t i = at + kAtLine.size();
         i < message.size() && message[i] >= '0' && message[i] <= '9'; ++i) {
        if (lineNumber_ > 100000000) break;
        lineNumber_ = lineNumber_ * 10 + (message[i] - '0');
    }
}

} // namespace v270::mysql
