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
    CR_MALFORMED_PACKET = 2027,
    CR_NOT_IMPLEMENTED = 2046,
};
// Server-side codes the packet layer raises itself.
constexpr int ER_NET_PACKETS_OUT_OF_ORDER = 1156;
constexpr int ER_NET_UNCOMPRESS_ERROR = 1157;

// The template of a client message (2000..2047); empty for any other code.
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

} // namespace v270::mysql
