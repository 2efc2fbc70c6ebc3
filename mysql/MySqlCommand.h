#pragma once
// One statement over an open session, and the connect routine with the
// statements that follow a login.

#include "MySqlApi.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace v270::mysql {

class TMySQLCommand {
    TMySQLAPI& api_;
    TMySqlSession* session_;

  public:
    enum class CursorState { Inactive, Executed, Fetched };

    TMySQLCommand(TMySQLAPI& api, TMySqlSession* session, std::string sql = {})
        : api_(api), session_(session), SQL(std::move(sql)) {}
    ~TMySQLCommand() { CloseResult(); }
    TMySQLCommand(const TMySQLCommand&) = delete;
    TMySQLCommand& operator=(const TMySQLCommand&) = delete;

    // Runs the statement; raises EMySqlException with the session's error.
    void Execute();
    // The next row of the result, or null at its end; raises on a failure.
    const TMySqlBinds* Fetch();
    void CloseResult();

    TMySqlResultSet* Result() const { return result_.get(); }
    CursorState State() const { return state_; }
    int64_t RowsAffected() const { return rowsAffected_; }

    std::string SQL;
    int CommandTimeout = 0;
    bool WantResultSet = false;

  private:
    // The session's error, for the caller to throw.
    EMySqlException SessionError() const;

    MySqlResult result_;
    int64_t rowsAffected_ = -1;
    CursorState state_ = CursorState::Inactive;
};

struct ServerVersion {
    int major = 0;
    int minor = 0;
    int release = 0;
};
// "5.5.5-10.11.6-MariaDB": major before the first ".", minor the digits after
// it, release the digits after the next character.
ServerVersion ParseServerVersion(const std::string& text);

struct ConnectOptions {
    std::string server; // a "," and anything after it are ignored
    int port = 3306;
    std::string user;
    std::string password;
    std::string database;
    std::string charset;
    // Seconds for the TCP connect, the login and the statements after it.
    int connectionTimeout = 15;
    bool compress = false;
    bool useUnicode = false;
    bool checkBackslashes = false;
    bool interactive = false;
    int ipVersion = 0;
    int protocol = 0; // 0 and 1 TCP, 5 TCP with TLS; others are not carried (2046)
    // Protocol 5: key, certificate, CA and cipher list (a "\" in the file
    // names becomes "/"), and whether the server's certificate is checked.
    TlsOptions ssl;
    // PEM file of the server's RSA key for caching_sha2_password over
    // plain TCP; without one the login asks the server for its key.
    std::string serverPublicKey;
    // When set, makes the transport of the login instead of TCP.
    std::function<std::unique_ptr<TVio>()> ioHandler;
};

// The session speaks UTF-8 when Unicode use is on or the charset is "utf8"
// in any letter case.
bool UsesUtf8(const std::string& charset, bool useUnicode);

struct OpenSession {
    MySqlHandle session;
    ServerVersion version;
    bool useUnicode = false;
    bool backslashEscapes = true;
};

// Logs in and sends the after-login statements (SET NAMES, optional sql_mode
// check). Raises EMySqlException; a failed connect leaves nothing open.
OpenSession ConnectSession(TMySQLAPI& api, const ConnectOptions& options);

} // namespace v270::mysql
