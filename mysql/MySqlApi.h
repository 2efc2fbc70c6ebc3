#pragma once
// The table of client operations in the shape of the MySQL C API. Failures
// are kept on the session as an error number and text (mysql_errno,
// mysql_error) instead of being raised.

#include "MySqlSession.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace v270::mysql {

using TMYSQL_FIELD = TMySqlFieldInfo;
using MySqlHandle = std::unique_ptr<TMySqlSession>;

// Option numbers of mysql_options.
enum MySqlOption : int {
    MYSQL_OPT_CONNECT_TIMEOUT = 0,
    MYSQL_OPT_NAMED_PIPE = 2,
    MYSQL_SET_CHARSET_NAME = 7,
    MYSQL_OPT_PROTOCOL = 9,
    MYSQL_OPT_READ_TIMEOUT = 11,
    MYSQL_OPT_WRITE_TIMEOUT = 12,
    MYSQL_OPT_SSL_VERIFY_SERVER_CERT = 21, // numeric: 0 or 1
    MYSQL_SERVER_PUBLIC_KEY = 35,          // text: PEM file of caching_sha2_password's key
};

// Streaming reader of one result on a session.
class TMySqlResultSet {
  public:
    TMySqlResultSet(TMySqlSession* session, TMySqlFieldInfos fields);
    // Frees the result as mysql_free_result does (the rest is discarded).
    ~TMySqlResultSet();
    TMySqlResultSet(const TMySqlResultSet&) = delete;
    TMySqlResultSet& operator=(const TMySqlResultSet&) = delete;

    // The next row, or null at the end. Raises EMySqlException.
    const TMySqlBinds* FetchRow();
    // Detaches from the session and discards the unread rows; never raises.
    void Free() noexcept;
    void DetachSession() { session_ = nullptr; }
    // After a failed fetch nothing more is read from this result.
    void EndAfterError() { eof_ = true; }

    size_t ColumnCount() const { return columns_; }
    const TMySqlFieldInfos& Fields() const { return fields_; }
    bool Eof() const { return eof_; }
    TMySqlSession* Session() const { return session_; }

  private:
    TMySqlSession* session_;
    TMySqlFieldInfos fields_;
    size_t columns_;
    TMySqlBinds binds_;
    bool eof_ = false;
};
using MySqlResult = std::unique_ptr<TMySqlResultSet>;

class TMySQLAPI {
  public:
    virtual ~TMySQLAPI() = default;

    virtual MySqlHandle mysql_init() = 0;
    virtual int mysql_options(TMySqlSession* s, int option, int value) = 0;
    virtual int mysql_options(TMySqlSession* s, int option, const std::string& value) = 0;
    virtual TMySqlSession* mysql_real_connect(TMySqlSession* s, const std::string& host,
                                              const std::string& user, const std::string& password,
                                              const std::string& database, int port,
                                              uint32_t clientFlags) = 0;
    // Selects TLS over TCP (protocol 5) and keeps the parameters; the
    // handshake runs inside the next login.
    virtual int mysql_ssl_set(TMySqlSession* s, const std::string& key, const std::string& cert,
                              const std::string& ca, const std::string& caPath,
                              const std::string& cipher) = 0;
    // Closes and frees the session.
    virtual void mysql_close(MySqlHandle& s) = 0;
    virtual int mysql_select_db(TMySqlSession* s, const std::string& database) = 0;
    virtual int mysql_ping(TMySqlSession* s) = 0;
    virtual int mysql_kill(TMySqlSession* s, uint32_t threadId) = 0;
    virtual int mysql_errno(const TMySqlSession* s) = 0;
    virtual std::string mysql_error(const TMySqlSession* s) = 0;
    virtual std::string mysql_get_server_info(const TMySqlSession* s) = 0;
    virtual std::string mysql_get_host_info(const TMySqlSession* s) = 0;
    virtual std::string mysql_get_client_info() = 0;
    virtual uint32_t mysql_thread_id(const TMySqlSession* s) = 0;
    virtual std::string mysql_character_set_name(const TMySqlSession* s) = 0;
    // Command timeout in seconds; 0 means a year.
    virtual void SetTimeout(TMySqlSession* s, int seconds) = 0;

    virtual int mysql_real_query(TMySqlSession* s, const char* text, size_t length) = 0;
    int mysql_real_query(TMySqlSession* s, std::string_view text) {
        return mysql_real_query(s, text.data(), text.size());
    }
    virtual uint32_t mysql_field_count(const TMySqlSession* s) = 0;
    virtual uint64_t mysql_affected_rows(const TMySqlSession* s) = 0;
    virtual uint64_t mysql_insert_id(const TMySqlSession* s) = 0;
    virtual std::string mysql_info(const TMySqlSession* s) = 0;
    virtual MySqlResult mysql_use_result(TMySqlSession* s) = 0;
    virtual size_t mysql_num_fields(const TMySqlResultSet* r) = 0;
    virtual const TMYSQL_FIELD* mysql_fetch_field_direct(const TMySqlResultSet* r, size_t i) = 0;
    virtual const TMySqlBinds* mysql_fetch_row(TMySqlResultSet* r) = 0;
    virtual void mysql_free_result(MySqlResult& r) = 0;
    virtual bool mysql_more_results(const TMySqlSession* s) = 0;
    virtual int mysql_next_result(TMySqlSession* s) = 0;
};

// Speaks the protocol itself; one shared instance.
class TMySQLAPIDirect final : public TMySQLAPI {
  public:
    static TMySQLAPIDirect& Instance();

    MySqlHandle mysql_init() override;
    int mysql_options(TMySqlSession* s, int option, int value) override;
    int mysql_options(TMySqlSession* s, int option, const std::string& value) override;
    TMySqlSession* mysql_real_connect(TMySqlSession* s, const std::string& host,
                                      const std::string& user, const std::string& password,
                                      const std::string& database, int port,
                                      uint32_t clientFlags) override;
    int mysql_ssl_set(TMySqlSession* s, const std::string& key, const std::string& cert,
                      const std::string& ca, const std::string& caPath,
                      const std::string& cipher) override {
        s->protocol = kProtocolSsl;
        s->ssl.key = key;
        s->ssl.cert = cert;
        s->ssl.ca = ca;
        s->ssl.caPath = caPath;
        s->ssl.cipher = cipher;
        return 0;
    }
    void mysql_close(MySqlHandle& s) override;
    int mysql_select_db(TMySqlSession* s, const std::string& database) override;
    int mysql_ping(TMySqlSession* s) override;
    int mysql_kill(TMySqlSession* s, uint32_t threadId) override;
    int mysql_errno(const TMySqlSession* s) override { return s->errorNumber; }
    std::string mysql_error(const TMySqlSession* s) override { return s->errorText; }
    std::string mysql_get_server_info(const TMySqlSession* s) override { return s->serverVersion; }
    std::string mysql_get_host_info(const TMySqlSession* s) override { return s->hostInfo; }
    std::string mysql_get_client_info() override { return "8.0.0 Direct"; }
    uint32_t mysql_thread_id(const TMySqlSession* s) override { return s->threadId; }
    std::string mysql_character_set_name(const TMySqlSession* s) override;
    void SetTimeout(TMySqlSession* s, int seconds) override;

    using TMySQLAPI::mysql_real_query;
    int mysql_real_query(TMySqlSession* s, const char* text, size_t length) override;
    uint32_t mysql_field_count(const TMySqlSession* s) override { return s->fieldCount; }
    uint64_t mysql_affected_rows(const TMySqlSession* s) override { return s->affectedRows; }
    uint64_t mysql_insert_id(const TMySqlSession* s) override { return s->insertId; }
    std::string mysql_info(const TMySqlSession* s) override { return s->info; }
    MySqlResult mysql_use_result(TMySqlSession* s) override;
    size_t mysql_num_fields(const TMySqlResultSet* r) override { return r->ColumnCount(); }
    const TMYSQL_FIELD* mysql_fetch_field_direct(const TMySqlResultSet* r, size_t i) override;
    const TMySqlBinds* mysql_fetch_row(TMySqlResultSet* r) override;
    void mysql_free_result(MySqlResult& r) override;
    bool mysql_more_results(const TMySqlSession* s) override {
        return (s->serverStatus & SERVER_MORE_RESULTS_EXIST) != 0;
    }
    int mysql_next_result(TMySqlSession* s) override;

  private:
    // Serialises the sending of statements, not the reading of replies.
    std::mutex sendLock_;
};

} // namespace v270::mysql
