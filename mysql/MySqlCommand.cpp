#include "MySqlCommand.h"

#include "OnFailure.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace v270::mysql {

EMySqlException TMySQLCommand::SessionError() const {
    return EMySqlException(api_.mysql_errno(session_), api_.mysql_error(session_));
}

void TMySQLCommand::Execute() {
    CloseResult();
    api_.SetTimeout(session_, CommandTimeout);
    if (api_.mysql_real_query(session_, SQL) != 0) throw SessionError();
    rowsAffected_ = static_cast<int64_t>(api_.mysql_affected_rows(session_));
    state_ = api_.mysql_field_count(session_) != 0 ? CursorState::Executed : CursorState::Inactive;

    if (!WantResultSet) {
        for (;;) {
            MySqlResult r = api_.mysql_use_result(session_);
            api_.mysql_free_result(r);
            if (!api_.mysql_more_results(session_)) break;
            if (api_.mysql_next_result(session_) > 0) throw SessionError();
        }
        state_ = CursorState::Inactive;
        return;
    }
    result_ = api_.mysql_use_result(session_);
    if (!result_ && api_.mysql_errno(session_) != 0) throw SessionError();
    while (!result_ && api_.mysql_more_results(session_)) {
        if (api_.mysql_next_result(session_) > 0) throw SessionError();
        int64_t n = static_cast<int64_t>(api_.mysql_affected_rows(session_));
        if (api_.mysql_field_count(session_) == 0 && n > 0)
            rowsAffected_ = std::max<int64_t>(rowsAffected_, 0) + n;
        result_ = api_.mysql_use_result(session_);
        if (!result_ && api_.mysql_errno(session_) != 0) throw SessionError();
        if (result_) state_ = CursorState::Executed;
    }
}

const TMySqlBinds* TMySQLCommand::Fetch() {
    if (!result_) return nullptr;
    const TMySqlBinds* row = api_.mysql_fetch_row(result_.get());
    if (row) return row;
    int code = api_.mysql_errno(session_);
    if (code != 0) {
        std::string text = api_.mysql_error(session_);
        CloseResult();
        throw EMySqlException(code, text);
    }
    state_ = CursorState::Fetched;
    return nullptr;
}

void TMySQLCommand::CloseResult() {
    if (result_) api_.mysql_free_result(result_);
    if (state_ != CursorState::Inactive) state_ = CursorState::Inactive;
}

ServerVersion ParseServerVersion(const std::string& text) {
    ServerVersion v;
    size_t dot = text.find('.');
    // A number too long for an int stays at the largest one; the server's
    // text is not ours to trust.
    auto digits = [&](size_t& i) {
        int n = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            const int d = text[i++] - '0';
            n = n > (INT_MAX - d) / 10 ? INT_MAX : n * 10 + d;
        }
        return n;
    };
    size_t i = 0;
    v.major = digits(i);
    if (dot == std::string::npos) return v;
    i = dot + 1;
    v.minor = digits(i);
    if (i < text.size()) ++i;
    v.release = digits(i);
    return v;
}

bool UsesUtf8(const std::string& charset, bool useUnicode) {
    std::string lower = charset;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return useUnicode || lower == "utf8";
}

namespace {

// The connection's options on a session not yet connected.
void applyConnectOptions(TMySQLAPI& api, TMySqlSession* s, const ConnectOptions& o,
                         bool useUnicode) {
    api.mysql_options(s, MYSQL_OPT_CONNECT_TIMEOUT, o.connectionTimeout);
    if (useUnicode) api.mysql_options(s, MYSQL_SET_CHARSET_NAME, std::string("utf8"));
    if (o.protocol == kProtocolSsl) {
        auto slashes = [](std::string path) {
            std::replace(path.begin(), path.end(), '\\', '/');
            return path;
        };
        api.mysql_ssl_set(s, slashes(o.ssl.key), slashes(o.ssl.cert), slashes(o.ssl.ca),
                          slashes(o.ssl.caPath), o.ssl.cipher);
        api.mysql_options(s, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, o.ssl.verifyServerCert);
    } else if (o.protocol != 0) {
        api.mysql_options(s, MYSQL_OPT_PROTOCOL, o.protocol);
    }
    if (!o.serverPublicKey.empty())
        api.mysql_options(s, MYSQL_SERVER_PUBLIC_KEY, o.serverPublicKey);
    if (o.ioHandler) s->ioHandler = o.ioHandler();
    s->ipVersion = o.ipVersion;
}

// Runs a statement of the login; with wantResult, the first value of its
// first row (the rest read and dropped).
std::string runLoginStatement(TMySQLAPI& api, TMySqlSession* s, const std::string& sql,
                              bool wantResult, int timeout) {
    TMySQLCommand cmd(api, s, sql);
    // Still part of the login: a server that stalls here must not hold the
    // caller for the statements' year-long default.
    cmd.CommandTimeout = timeout;
    cmd.WantResultSet = wantResult;
    cmd.Execute();
    std::string value;
    if (wantResult)
        if (const TMySqlBinds* row = cmd.Fetch(); row && row->Count() > 0)
            value = std::string(row->Field(0));
    while (wantResult && cmd.Fetch()) {
    }
    return value;
}

// The character set and, when asked, the server's backslash rule.
void settleSession(TMySQLAPI& api, TMySqlSession* s, const ConnectOptions& o, OpenSession& out) {
    if (out.version.major < 4 || (out.version.major == 4 && out.version.minor == 0)) {
        out.useUnicode = false;
    } else if (out.useUnicode) {
        runLoginStatement(api, s, "SET NAMES utf8", false, o.connectionTimeout);
    } else if (!o.charset.empty()) {
        runLoginStatement(api, s, "SET NAMES " + o.charset, false, o.connectionTimeout);
    }
    if (o.checkBackslashes) {
        std::string mode =
            runLoginStatement(api, s, "SELECT @@session.sql_mode", true, o.connectionTimeout);
        std::transform(mode.begin(), mode.end(), mode.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        out.backslashEscapes = mode.find("NO_BACKSLASH_ESCAPES") == std::string::npos;
    }
}

} // namespace

OpenSession ConnectSession(TMySQLAPI& api, const ConnectOptions& o) {
    OpenSession out;
    out.session = api.mysql_init();
    TMySqlSession* s = out.session.get();
    // mysql_close never throws (a failed goodbye is its own to drop).
    const OnFailure closeOnFailure([&]() noexcept { api.mysql_close(out.session); });
    out.useUnicode = UsesUtf8(o.charset, o.useUnicode);
    applyConnectOptions(api, s, o, out.useUnicode);
    uint32_t flags = CLIENT_FOUND_ROWS | CLIENT_MULTI_STATEMENTS;
    if (o.compress) flags |= CLIENT_COMPRESS;
    if (o.interactive) flags |= CLIENT_INTERACTIVE;
    std::string host = o.server.substr(0, o.server.find(','));
    if (host.empty()) host = "localhost";
    if (!api.mysql_real_connect(s, host, o.user, o.password, o.database, o.port, flags))
        throw EMySqlException(api.mysql_errno(s), api.mysql_error(s));
    out.version = ParseServerVersion(api.mysql_get_server_info(s));
    settleSession(api, s, o, out);
    return out;
}

} // namespace v270::mysql
