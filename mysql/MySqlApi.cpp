#include "MySqlApi.h"

#include <stdexcept>

namespace v270::mysql {

namespace {
// Errors after which the stream is out of step with the server (or gone).
bool IsFramingError(int code) {
    switch (code) {
    case CR_UNKNOWN_ERROR: // column definitions fewer than announced
    case CR_SERVER_LOST:
    case CR_NET_PACKET_TOO_LARGE:
    case CR_SSL_CONNECTION_ERROR: // a TLS session that failed is not resumed
    case CR_MALFORMED_PACKET:
    case ER_NET_PACKETS_OUT_OF_ORDER:
    case ER_NET_UNCOMPRESS_ERROR:
        return true;
    default:
        return false;
    }
}

void KeepError(TMySqlSession* s, const EMySqlException& e) {
    s->SetError(e.Code(), e.what());
    if (IsFramingError(e.Code())) s->AbandonStream();
}

// Runs one operation, keeping an EMySqlException as the session's error.
template <class F> int Guarded(TMySqlSession* s, F&& f) {
    s->ClearError();
    try {
        f();
        return 0;
    } catch (const EMySqlException& e) {
        KeepError(s, e);
        return e.Code();
    }
}

void OutOfSync(const TMySqlSession* s) {
    throw EMySqlException::Make(CR_COMMANDS_OUT_OF_SYNC,
                                "mysql.status = " + std::to_string(s->status));
}
} // namespace

// --- result set ------------------------------------------------------------

TMySqlResultSet::TMySqlResultSet(TMySqlSession* session, TMySqlFieldInfos fields)
    : session_(session), fields_(std::move(fields)), columns_(fields_.size()) {}

TMySqlResultSet::~TMySqlResultSet() {
    Free();
}

const TMySqlBinds* TMySqlResultSet::FetchRow() {
    if (eof_ || !session_) return nullptr;
    TMySqlNet& net = session_->net;
    net.ReadPacket();
    const uint8_t* d = net.PacketData();
    size_t len = net.PacketLength();
    if (len <= 8 && len > 0 && d[0] == 0xFE) {
        EofPacket e = ParseEof(d, len);
        if (e.hasStatus) {
            session_->warningCount = e.warningCount;
            session_->serverStatus = e.serverStatus;
        }
        net.DropLastReceived();
        session_->status = MYSQL_STATUS_READY;
        eof_ = true;
        return nullptr;
    }
    binds_.ParseTextRow(d, len, columns_);
    return &binds_;
}

void TMySqlResultSet::Free() noexcept {
    TMySqlSession* s = session_;
    session_ = nullptr;
    if (!s) return;
    if (s->currentResult == this) s->currentResult = nullptr;
    fields_.clear();
    try {
        if (!eof_) s->FreePendingResult();
    } catch (...) {
        // Freeing must not fail. Where the rest of the result went is
        // unknown, so the stream is given up: the next command reports a
        // lost connection.
        s->AbandonStream();
    }
    s->status = MYSQL_STATUS_READY;
}

// --- API -------------------------------------------------------------------

TMySQLAPIDirect& TMySQLAPIDirect::Instance() {
    static TMySQLAPIDirect api;
    return api;
}

MySqlHandle TMySQLAPIDirect::mysql_init() {
    return std::make_unique<TMySqlSession>();
}

int TMySQLAPIDirect::mysql_options(TMySqlSession* s, int option, int value) {
    switch (option) {
    case MYSQL_OPT_CONNECT_TIMEOUT:
        s->connectTimeout = value;
        break;
    case MYSQL_OPT_NAMED_PIPE:
        s->protocol = 3;
        break;
    case MYSQL_OPT_PROTOCOL:
        s->protocol = value;
        break;
    case MYSQL_OPT_READ_TIMEOUT:
    case MYSQL_OPT_WRITE_TIMEOUT:
        s->commandTimeout = value;
        break;
    case MYSQL_OPT_SSL_VERIFY_SERVER_CERT:
        s->ssl.verifyServerCert = value != 0;
        break;
    default:
        break;
    }
    return 0;
}

int TMySQLAPIDirect::mysql_options(TMySqlSession* s, int option, const std::string& value) {
    if (option == MYSQL_SET_CHARSET_NAME) s->charsetName = value;
    if (option == MYSQL_SERVER_PUBLIC_KEY) s->serverPublicKeyFile = value;
    return 0;
}

TMySqlSession* TMySQLAPIDirect::mysql_real_connect(TMySqlSession* s, const std::string& host,
                                                   const std::string& user,
                                                   const std::string& password,
                                                   const std::string& database, int port,
                                                   uint32_t clientFlags) {
    int rc = Guarded(s, [&] { s->RealConnect(host, user, password, database, port, clientFlags); });
    return rc == 0 ? s : nullptr;
}

void TMySQLAPIDirect::mysql_close(MySqlHandle& s) {
    if (!s) return;
    try {
        s->Close();
    } catch (const EMySqlException&) {
    }
    if (s->currentResult) {
        s->currentResult->DetachSession();
        s->currentResult = nullptr;
    }
    s.reset();
}

int TMySQLAPIDirect::mysql_select_db(TMySqlSession* s, const std::string& database) {
    return Guarded(s, [&] {
        s->SimpleCommand(COM_INIT_DB, database);
        s->database = database;
    });
}

int TMySQLAPIDirect::mysql_ping(TMySqlSession* s) {
    return Guarded(s, [&] { s->SimpleCommand(COM_PING, {}); });
}

int TMySQLAPIDirect::mysql_kill(TMySqlSession* s, uint32_t threadId) {
    char id[4];
    for (int i = 0; i < 4; ++i)
        id[i] = static_cast<char>(threadId >> (8 * i));
    return Guarded(s, [&] { s->SimpleCommand(COM_PROCESS_KILL, std::string_view(id, 4)); });
}

std::string TMySQLAPIDirect::mysql_character_set_name(const TMySqlSession*) {
    throw std::logic_error("mysql_character_set_name is not supported in direct mode");
}

void TMySQLAPIDirect::SetTimeout(TMySqlSession* s, int seconds) {
    s->commandTimeout = seconds == 0 ? 31536000 : seconds;
}

int TMySQLAPIDirect::mysql_real_query(TMySqlSession* s, const char* text, size_t length) {
    return Guarded(s, [&] {
        {
            std::lock_guard lock(sendLock_);
            s->SimpleCommand(COM_QUERY, std::string_view(text, length), false);
        }
        s->ReadQueryResult();
    });
}

MySqlResult TMySQLAPIDirect::mysql_use_result(TMySqlSession* s) {
    MySqlResult result;
    Guarded(s, [&] {
        if (!s->hasFieldInfos) return;
        if (s->status != MYSQL_STATUS_GET_RESULT) OutOfSync(s);
        result = std::make_unique<TMySqlResultSet>(s, std::move(s->fieldInfos));
        s->fieldInfos.clear();
        s->hasFieldInfos = false;
        s->currentResult = result.get();
        s->status = MYSQL_STATUS_USE_RESULT;
    });
    return result;
}

const TMYSQL_FIELD* TMySQLAPIDirect::mysql_fetch_field_direct(const TMySqlResultSet* r, size_t i) {
    return i < r->Fields().size() ? &r->Fields()[i] : nullptr;
}

const TMySqlBinds* TMySQLAPIDirect::mysql_fetch_row(TMySqlResultSet* r) {
    TMySqlSession* s = r->Session();
    if (!s) return nullptr;
    try {
        const TMySqlBinds* row = r->FetchRow();
        if (!row) s->ClearError();
        return row;
    } catch (const EMySqlException& e) {
        KeepError(s, e);
        r->EndAfterError();
        if (!(s->serverStatus & SERVER_MORE_RESULTS_EXIST)) s->status = MYSQL_STATUS_READY;
        return nullptr;
    }
}

void TMySQLAPIDirect::mysql_free_result(MySqlResult& r) {
    if (r) r->Free();
    r.reset();
}

int TMySQLAPIDirect::mysql_next_result(TMySqlSession* s) {
    int rc = Guarded(s, [&] {
        if (s->status != MYSQL_STATUS_READY) OutOfSync(s);
        s->affectedRows = static_cast<uint64_t>(-1);
    });
    if (rc != 0) return rc;
    if (!mysql_more_results(s)) return -1;
    return Guarded(s, [&] { s->ReadQueryResult(); });
}

} // namespace v270::mysql
