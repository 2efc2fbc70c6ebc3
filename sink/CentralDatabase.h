#pragma once

// The central database over the program's own MySQL client: its tables, and
// a connection that goes to the next of [Merkez]'s hosts when one is down.

#include "core/CentralSettings.h"
#include "mysql/MySqlApi.h"

#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

// CREATE TABLE IF NOT EXISTS for every table, one statement each.
std::vector<std::string> centralSchemaStatements();
// What `sink init --print` shows: the tables, and the GRANT the sink's
// account needs (INSERT, SELECT, UPDATE on these tables only).
QString centralSchemaText(const CentralSettings& settings);

// A value as a statement's literal: bytes as a hexadecimal literal, so no
// byte from outside is ever read as SQL.
std::string sqlBytes(const QByteArray& bytes);
void appendSqlBytes(std::string& out, const QByteArray& bytes);
std::string sqlText(const QString& text); // _utf8mb4 X'…'

using SqlRow = std::vector<std::optional<std::string>>;

// Seconds a connect (and its login) may take, and a statement.
inline constexpr int kCentralConnectSeconds = 5;
inline constexpr int kCentralStatementSeconds = 30;

class CentralConnection {
  public:
    explicit CentralConnection(
        CentralSettings settings,
        v270::mysql::TMySQLAPI& api = v270::mysql::TMySQLAPIDirect::Instance());
    ~CentralConnection();
    CentralConnection(const CentralConnection&) = delete;
    CentralConnection& operator=(const CentralConnection&) = delete;

    // Logs in to the current host, or when it fails to the next ones in
    // turn (each once). Raises EMySqlException of the last host that failed.
    void connect();
    bool isOpen() const { return session_ != nullptr; }
    // Drops the session (after a lost connection), and with moveOn makes
    // the next host the one to try first.
    void drop(bool moveOn);
    // Runs one statement; raises EMySqlException. Connects first if needed.
    void execute(const std::string& sql);
    std::vector<SqlRow> select(const std::string& sql);
    // Each row of a result as it arrives, without keeping them.
    void each(const std::string& sql, const std::function<void(const SqlRow&)>& row);

    // "host:port" of the current host.
    QString hostText() const;
    const CentralSettings& settings() const { return settings_; }

  private:
    void login(const CentralHost& host);
    CentralSettings settings_;
    v270::mysql::TMySQLAPI& api_;
    v270::mysql::MySqlHandle session_;
    size_t current_ = 0;
};

// A failure of the central database as the operator reads it.
QString centralErrorText(const CentralConnection& c, int code, const std::string& message);

// Connects and creates the tables that are missing. Throws AppError.
void initCentralSchema(CentralConnection& connection);
