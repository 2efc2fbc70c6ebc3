#pragma once
// The connection component: the parameters of a MySQL connection as
// properties, connect and disconnect with their events, and the errors it
// raises as EMyError. Underneath, TMySQLConnection holds the session.

#include "MySqlCommand.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace v270::mysql {

class TMyQuery;

// One connection to a server: the connect sequence and the session.
class TMySQLConnection {
  public:
    explicit TMySQLConnection(TMySQLAPI& api = TMySQLAPIDirect::Instance()) : api_(api) {}
    ~TMySQLConnection() { Disconnect(); }
    TMySQLConnection(const TMySQLConnection&) = delete;
    TMySQLConnection& operator=(const TMySQLConnection&) = delete;

    // Parameters of the next connect. Names and password are 8-bit text in
    // the Windows Turkish code page.
    std::string Server;
    int Port = 3306;
    std::string Username;
    std::string Password;
    std::string Database;
    int ConnectionTimeout = 15;
    bool Compress = false;
    bool UseUnicode = false;
    std::string Charset;
    bool Interactive = false;
    bool CheckBackslashes = false;
    int Protocol = 0;
    int IPVersion = 0;
    TlsOptions SSL;
    std::string ServerPublicKey;
    std::function<std::unique_ptr<TVio>()> IOHandler;

    // Logs in and sends the after-login statements. Raises EMySqlException;
    // a failed connect leaves nothing open.
    void Connect();
    // Closes the session (COM_QUIT); never raises.
    void Disconnect() noexcept;
    bool Connected() const { return session_ != nullptr; }
    // Selects a database on the open session; raises EMySqlException.
    void SelectDatabase(const std::string& name);
    // The connection timeout as the command timeout of the open session.
    void ApplyConnectionTimeout();

    TMySQLAPI& Api() const { return api_; }
    TMySqlSession* Session() const { return session_.get(); }
    const ServerVersion& Version() const { return version_; }
    const std::string& ServerVersionText() const { return serverVersionText_; }
    bool BackslashEscapes() const { return backslashEscapes_; }

  private:
    // Names, password and database as the session must send them.
    std::string LoginText(const std::string& text) const;

    TMySQLAPI& api_;
    MySqlHandle session_;
    ServerVersion version_;
    std::string serverVersionText_;
    bool useUtf8_ = false;
    bool backslashEscapes_ = true;
};

enum TMyProtocol { mpDefault, mpTCP, mpSocket, mpPipe, mpMemory, mpSSL, mpHttp };
enum TIPVersion { ivIPv4, ivIPv6, ivIPBoth };

// The files and ciphers of TLS, used with the protocol mpSSL; taken at the
// next connect.
struct TMySSLOptions {
    std::string ChipherList;
    std::string CACert;
    std::string Key;
    std::string Cert;
    // Check the server's certificate (against CACert, else the system's
    // CAs) and that it names the host connected to.
    bool VerifyServerCert = false;
};

class TMyConnection;

// Protocol options. Changing one while the connection is open raises
// "Cannot perform this operation on an open connection".
class TMyConnectionOptions {
  public:
    explicit TMyConnectionOptions(TMyConnection& owner) : owner_(owner) {}

    const std::string& Charset() const { return charset_; }
    void SetCharset(const std::string& value) { Change(charset_, value); }
    bool UseUnicode() const { return useUnicode_; }
    void SetUseUnicode(bool value) { Change(useUnicode_, value); }
    bool Compress() const { return compress_; }
    void SetCompress(bool value) { Change(compress_, value); }
    bool Interactive() const { return interactive_; }
    void SetInteractive(bool value) { Change(interactive_, value); }
    TMyProtocol Protocol() const { return protocol_; }
    void SetProtocol(TMyProtocol value) { Change(protocol_, value); }
    TIPVersion IPVersion() const { return ipVersion_; }
    void SetIPVersion(TIPVersion value) { Change(ipVersion_, value); }
    // Taken at the next connect, without the check.
    bool CheckBackslashes() const { return checkBackslashes_; }
    void SetCheckBackslashes(bool value) { checkBackslashes_ = value; }
    // A query that opens on a closed connection connects it.
    bool AllowImplicitConnect() const { return allowImplicitConnect_; }
    void SetAllowImplicitConnect(bool value) { allowImplicitConnect_ = value; }

  private:
    template <class T> void Change(T& field, const T& value);

    TMyConnection& owner_;
    std::string charset_;
    bool useUnicode_ = false;
    bool compress_ = false;
    bool interactive_ = false;
    TMyProtocol protocol_ = mpDefault;
    TIPVersion ipVersion_ = ivIPv4;
    bool checkBackslashes_ = false;
    bool allowImplicitConnect_ = true;
};

class TMyConnection : public TMyComponent {
  public:
    TMyConnection() : options_(*this) {}
    ~TMyConnection() override;
    TMyConnection(const TMyConnection&) = delete;
    TMyConnection& operator=(const TMyConnection&) = delete;

    // Server, Port, Username and Password disconnect first when the value
    // differs. An empty Server is the local machine; a "," and what follows
    // it are ignored.
    const std::string& Server() const { return server_; }
    void SetServer(const std::string& value);
    int Port() const { return port_; }
    void SetPort(int value);
    const std::string& Username() const { return username_; }
    void SetUsername(const std::string& value);
    const std::string& Password() const { return password_; }
    void SetPassword(const std::string& value);
    // While connected a non-empty name is selected at once.
    const std::string& Database() const { return database_; }
    void SetDatabase(const std::string& value);
    // Seconds: connect limit and read limit of the login.
    int ConnectionTimeout() const { return connectionTimeout_; }
    void SetConnectionTimeout(int value);
    TMyConnectionOptions& Options() { return options_; }
    const TMyConnectionOptions& Options() const { return options_; }
    TMySSLOptions SSLOptions;
    // caching_sha2_password over plain TCP: a PEM file with the server's RSA
    // public key; when empty the login asks the server for it.
    std::string ServerPublicKey;
    // Makes the transport of each connect instead of TCP (tests, fuzzing).
    std::function<std::unique_ptr<TVio>()> IOHandler;

    std::function<void()> BeforeConnect, AfterConnect, BeforeDisconnect, AfterDisconnect;

    bool Connected() const { return internal_ && internal_->Connected(); }
    void SetConnected(bool value) { value ? Connect() : Close(); }
    // Raises EMyError.
    void Connect();
    // Closes the attached queries first; never raises from the session.
    void Close();

    // The internal connection, from the first connect on.
    TMySQLConnection* InternalConnection() const { return internal_.get(); }
    // e as EMyError on behalf of origin, for the caller to throw; a lost
    // connection closes this component first.
    EMyError Error(const EMySqlException& e, const TMyComponent* origin);

  private:
    friend class TMyQuery;
    friend class TMyConnectionOptions;
    void Attach(TMyQuery* query);
    void Detach(TMyQuery* query);
    void CheckInactive() const;
    template <class T> void SetAndDisconnect(T& field, const T& value);

    std::string server_;
    int port_ = 3306;
    std::string username_;
    std::string password_;
    std::string database_;
    int connectionTimeout_ = 15;
    TMyConnectionOptions options_;
    std::unique_ptr<TMySQLConnection> internal_;
    std::vector<TMyQuery*> queries_;
};

template <class T> void TMyConnectionOptions::Change(T& field, const T& value) {
    if (field == value) return;
    owner_.CheckInactive();
    field = value;
}

// 8-bit text in the Windows Turkish code page (1254) as UTF-8.
std::string Cp1254ToUtf8(std::string_view text);

} // namespace v270::mysql
