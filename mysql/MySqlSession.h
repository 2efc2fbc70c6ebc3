#pragma once
// The protocol session: state of one connection to a MySQL server, login
// (greeting, TLS, the 4.1 and pre-4.1 scrambles and the authentication
// plugins), simple commands, query replies and column definitions.

#include "MySqlAuth.h"
#include "MySqlNet.h"
#include "MySqlPacket.h"
#include "MySqlTls.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace v270::mysql {

class TMySqlResultSet;

enum Command : uint8_t {
    COM_QUIT = 1,
    COM_INIT_DB = 2,
    COM_QUERY = 3,
    COM_PROCESS_KILL = 12,
    COM_PING = 14,
};

// Protocol (option 9) of a login over TCP with TLS.
constexpr int kProtocolSsl = 5;

enum SessionStatus : int {
    MYSQL_STATUS_READY = 0,
    MYSQL_STATUS_GET_RESULT = 1,
    MYSQL_STATUS_USE_RESULT = 2
};

class TMySqlSession {
  public:
    TMySqlSession() = default;
    ~TMySqlSession();
    TMySqlSession(const TMySqlSession&) = delete;
    TMySqlSession& operator=(const TMySqlSession&) = delete;

    // Connects and logs in; raises EMySqlException.
    void RealConnect(const std::string& host, const std::string& user, const std::string& password,
                     const std::string& database, int port, uint32_t clientFlags);
    // Sends one command; unless readReply is false reads one reply packet.
    void SimpleCommand(uint8_t command, std::string_view data, bool readReply = true);
    // Reads the reply to a statement: OK packet or result header and columns.
    void ReadQueryResult();
    // Reads and discards the rest of a result being streamed.
    void FreePendingResult();
    // Sends COM_QUIT once and closes the net.
    void Close();
    // After a framing error the rest of the stream cannot be told apart: the
    // transport is closed, so the next command gets 2013 and nothing more
    // reaches the server.
    void AbandonStream();
    void ApplyCommandTimeout();
    void SetError(int code, const std::string& text) {
        errorNumber = code;
        errorText = text;
    }
    void ClearError() { SetError(0, {}); }

    int errorNumber = 0;
    std::string errorText;
    uint32_t clientFlags = 0;
    uint8_t serverCharset = 0;
    uint8_t scramble[20] = {};
    TMySqlResultSet* currentResult = nullptr; // not owned
    // A transport of the caller's own (in-memory for tests), used by the
    // next login instead of TCP.
    std::unique_ptr<TVio> ioHandler;
    int ipVersion = 0;
    TMySqlNet net;
    std::string host, user, password, database;
    std::string serverVersion;
    std::string hostInfo;
    std::string info;
    std::string charsetName;
    // Protocol 5: the TLS parameters of the login.
    TlsOptions ssl;
    // caching_sha2_password over plain TCP: the server's RSA public key
    // (PEM file); without one the login asks the server for it.
    std::string serverPublicKeyFile;
    // The plugin that answered last in the login.
    std::string authPlugin;
    int port = 0;
    int connectTimeout = 0;
    int commandTimeout = 0;
    uint32_t threadId = 0;
    uint32_t serverCapabilities = 0;
    uint16_t serverStatus = 0;
    uint16_t warningCount = 0;
    int status = MYSQL_STATUS_READY;
    int protocol = 0;
    TMySqlFieldInfos fieldInfos;
    bool hasFieldInfos = false;
    uint64_t affectedRows = 0;
    uint64_t insertId = 0;
    uint64_t extra = 0;
    uint32_t fieldCount = 0;
    bool closed = false;
    bool storedProc = false;

    bool Protocol41() const { return (clientFlags & CLIENT_PROTOCOL_41) != 0; }

  private:
    // The transport to host and port, connected.
    void openTransport(const std::string& host, int port);
    // Reads the server's greeting and keeps what it says of the server.
    Greeting readGreeting();
    // The client flags of the login from those asked for and the server's.
    uint32_t loginFlags(uint32_t asked) const;
    // The login's password field (and, with plugins, the first answer).
    void appendLoginPassword(const Greeting& g, const std::string& password, uint32_t flags);
    // Appends the login's fixed part: flags, maximum packet, charset, filler.
    void AppendLoginHead(uint32_t flags);
    void StartTls();
    // The first answer of the plugin the greeting named (native if none).
    std::string FirstAuthResponse(const Greeting& g, const std::string& password);
    void ReadAuthReply(bool secureServer);
    void ReadLegacyAuthReply();
    void ReadPluginAuthReply();
    // Answers an authentication switch request with the named plugin.
    void SwitchPlugin(const AuthSwitch& request);
    // caching_sha2_password after "perform full authentication".
    void SendFullSha2Authentication();
    void SendRsaPassword(const std::string& publicKeyPem);
    void SendAuthPacket(std::string_view bytes);
    void ReadColumnDefinitions(size_t count);
};

} // namespace v270::mysql
