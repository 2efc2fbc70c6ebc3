#include "MyConnection.h"

#include "MyQuery.h"

#include <algorithm>

namespace v270::mysql {

std::string Cp1254ToUtf8(std::string_view text) {
    // Code points of 0x80..0x9F; the five unassigned bytes keep their own value.
    static constexpr char16_t kHigh[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x008E, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x009E, 0x0178};
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        char32_t u = c;
        if (c >= 0x80 && c < 0xA0) u = kHigh[c - 0x80];
        switch (c) {
        case 0xD0:
            u = 0x011E;
            break; // Ğ
        case 0xDD:
            u = 0x0130;
            break; // İ
        case 0xDE:
            u = 0x015E;
            break; // Ş
        case 0xF0:
            u = 0x011F;
            break; // ğ
        case 0xFD:
            u = 0x0131;
            break; // ı
        case 0xFE:
            u = 0x015F;
            break; // ş
        default:
            break;
        }
        if (u < 0x80) {
            out += static_cast<char>(u);
        } else if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out;
}

// --- internal connection ---------------------------------------------------

std::string TMySQLConnection::LoginText(const std::string& text) const {
    return useUtf8_ ? Cp1254ToUtf8(text) : text;
}

void TMySQLConnection::Connect() {
    serverVersionText_.clear();
    version_ = {};
    Disconnect();
    useUtf8_ = UsesUtf8(Charset, UseUnicode);
    ConnectOptions o;
    o.server = Server;
    o.port = Port;
    o.user = LoginText(Username);
    o.password = LoginText(Password);
    o.database = LoginText(Database);
    o.charset = Charset;
    o.connectionTimeout = ConnectionTimeout;
    o.compress = Compress;
    o.useUnicode = UseUnicode;
    o.checkBackslashes = CheckBackslashes;
    o.interactive = Interactive;
    o.ipVersion = IPVersion;
    o.protocol = Protocol;
    o.ssl = SSL;
    o.serverPublicKey = ServerPublicKey;
    o.ioHandler = IOHandler;
    OpenSession open = ConnectSession(api_, o);
    session_ = std::move(open.session);
    version_ = open.version;
    serverVersionText_ = api_.mysql_get_server_info(session_.get());
    backslashEscapes_ = open.backslashEscapes;
}

void TMySQLConnection::Disconnect() noexcept {
    if (session_) api_.mysql_close(session_);
    session_.reset();
}

void TMySQLConnection::SelectDatabase(const std::string& name) {
    if (!session_) return;
    if (api_.mysql_select_db(session_.get(), LoginText(name)) != 0)
        throw EMySqlException(api_.mysql_errno(session_.get()), api_.mysql_error(session_.get()));
}

void TMySQLConnection::ApplyConnectionTimeout() {
    if (session_) api_.SetTimeout(session_.get(), ConnectionTimeout);
}

// --- component -------------------------------------------------------------

TMyConnection::~TMyConnection() {
    try {
        Close();
    } catch (...) {
        // An event handler's failure cannot leave a destructor.
    }
    for (TMyQuery* q : queries_)
        q->connection_ = nullptr;
}

template <class T> void TMyConnection::SetAndDisconnect(T& field, const T& value) {
    if (field == value) return;
    Close();
    field = value;
}

void TMyConnection::SetServer(const std::string& value) {
    SetAndDisconnect(server_, value);
}
void TMyConnection::SetPort(int value) {
    SetAndDisconnect(port_, value);
}
void TMyConnection::SetUsername(const std::string& value) {
    SetAndDisconnect(username_, value);
}
void TMyConnection::SetPassword(const std::string& value) {
    SetAndDisconnect(password_, value);
}

void TMyConnection::SetDatabase(const std::string& value) {
    database_ = value;
    if (!internal_) return;
    internal_->Database = value;
    if (!Connected() || value.empty()) return;
    try {
        internal_->SelectDatabase(value);
    } catch (const EMySqlException& e) {
        throw Error(e, this);
    }
}

void TMyConnection::SetConnectionTimeout(int value) {
    connectionTimeout_ = value;
    if (!internal_) return;
    internal_->ConnectionTimeout = value;
    internal_->ApplyConnectionTimeout();
}

void TMyConnection::CheckInactive() const {
    if (Connected()) throw EDatabaseError("Cannot perform this operation on an open connection");
}

void TMyConnection::Connect() {
    if (Connected()) return;
    if (BeforeConnect) BeforeConnect();
    if (!internal_) internal_ = std::make_unique<TMySQLConnection>();
    TMySQLConnection& c = *internal_;
    c.Server = server_;
    c.Port = port_;
    c.Username = username_;
    c.Password = password_;
    c.Database = database_;
    c.ConnectionTimeout = connectionTimeout_;
    c.Compress = options_.Compress();
    c.UseUnicode = options_.UseUnicode();
    c.Charset = options_.Charset();
    c.Interactive = options_.Interactive();
    c.CheckBackslashes = options_.CheckBackslashes();
    c.Protocol = options_.Protocol();
    c.IPVersion = options_.IPVersion();
    c.SSL.key = SSLOptions.Key;
    c.SSL.cert = SSLOptions.Cert;
    c.SSL.ca = SSLOptions.CACert;
    c.SSL.cipher = SSLOptions.ChipherList;
    c.SSL.verifyServerCert = SSLOptions.VerifyServerCert;
    c.ServerPublicKey = ServerPublicKey;
    c.IOHandler = IOHandler;
    try {
        c.Connect();
    } catch (const EMySqlException& e) {
        throw Error(e, this);
    }
    if (AfterConnect) AfterConnect();
}

void TMyConnection::Close() {
    if (!Connected()) return;
    if (BeforeDisconnect) BeforeDisconnect();
    // A query may leave the list while it closes.
    std::vector<TMyQuery*> queries = queries_;
    for (TMyQuery* q : queries)
        q->Close();
    internal_->Disconnect();
    if (AfterDisconnect) AfterDisconnect();
}

EMyError TMyConnection::Error(const EMySqlException& e, const TMyComponent* origin) {
    EMyError error(e.Code(), e.what(), origin);
    if (error.IsConnectionLost()) {
        try {
            Close();
        } catch (...) {
            // The loss is what the caller must hear about.
        }
    }
    return error;
}

void TMyConnection::Attach(TMyQuery* query) {
    if (std::find(queries_.begin(), queries_.end(), query) == queries_.end())
        queries_.push_back(query);
}

void TMyConnection::Detach(TMyQuery* query) {
    queries_.erase(std::remove(queries_.begin(), queries_.end(), query), queries_.end());
}

} // namespace v270::mysql
