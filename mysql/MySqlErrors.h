#pragma once
// Errors of the MySQL client: protocol errors with a code, transport errors
// with the socket text, and the client message table (codes 2000 to 2047).

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

namespace v270::mysql {

// Client error codes used by this library.
enum ClientError : int {
    CR_UNKNOWN_ERROR = 2000,
    CR_CONN_HOST_ERROR = 2003,
    CR_VERSION_ERROR = 2007,
    CR_SERVER_LOST = 2013,
    CR_COMMANDS_OUT_OF_SYNC = 2014,
    CR_NET_PACKET_TOO_LARGE = 2020,
    CR_SSL_CONNECTION_ERROR = 2026,
    CR_MALFORMED_PACKET = 2027,
    CR_NOT_IMPLEMENTED = 2046,
    CR_AUTH_PLUGIN_CANNOT_LOAD = 2059,
    CR_AUTH_PLUGIN_ERR = 2061,
    CR_LOAD_DATA_LOCAL_INFILE_REJECTED = 2068,
};
// Server-side codes the packet layer raises itself.
constexpr int ER_NET_PACKETS_OUT_OF_ORDER = 1156;
constexpr int ER_NET_UNCOMPRESS_ERROR = 1157;

// The template of a client message (2000..2047, 2059, 2061 and 2068); empty
// for any other code.
std::string_view ClientMessageTemplate(int code);

// Fills %s, %d, %X and %-.64s placeholders in order from args (already text).
std::string FormatMessage(std::string_view templ, std::initializer_list<std::string> args);

class EMySqlException : public std::runtime_error {
  public:
    // Message taken as it is.
    EMySqlException(int code, const std::string& message)
        : std::runtime_error(message), code_(code) {}

    // Message built from the client message table: template formatted with
    // args; with extra text, code 2003 takes the extra alone, any other code
    // gets the template, CR LF and the extra.
    static EMySqlException Make(int code, const std::string& extra = {},
                                std::initializer_list<std::string> args = {});
    static EMySqlException Malformed() { return Make(CR_MALFORMED_PACKET); }

    int Code() const { return code_; }

  private:
    int code_;
};

class SocketException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Errors of the connection and query components and of field values
// ("Field 'x' not found", "'1.2.3' is not a valid floating point value").
class EDatabaseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A connection or query component: named so that an error can say where it
// came from.
class TMyComponent {
  public:
    virtual ~TMyComponent() = default;
    std::string Name;
};

// A server or protocol error with its code, raised by a component.
class EDAError : public EDatabaseError {
  public:
    EDAError(int code, const std::string& message, const TMyComponent* component)
        : EDatabaseError(message), code_(code), component_(component) {}
    int ErrorCode() const { return code_; }
    // The connection or query on whose behalf the operation ran.
    const TMyComponent* Component() const { return component_; }
    // 1053 server shutdown, 2003 cannot connect, 2006 gone away, 2013 lost.
    bool IsConnectionLost() const {
        return code_ == 1053 || code_ == 2003 || code_ == 2006 || code_ == 2013;
    }
    bool IsKeyViolation() const { return code_ == 1062; }

  private:
    int code_;
    const TMyComponent* component_;
};

class EMyError : public EDAError {
  public:
    EMyError(int code, const std::string& message, const TMyComponent* component);
    // For a syntax error (1064), the line the server names ("... at line 3"); else 0.
    int LineNumber() const { return lineNumber_; }

  private:
    int lineNumber_ = 0;
};

} // namespace v270::mysql
