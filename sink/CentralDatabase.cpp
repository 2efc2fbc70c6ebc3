#include "CentralDatabase.h"

#include "core/AppError.h"
#include "mysql/MySqlCommand.h"

#include <QFile>

using v270::mysql::ConnectOptions;
using v270::mysql::EMySqlException;
using v270::mysql::TMySQLCommand;

namespace {

const char* const kAttendanceTable = R"(CREATE TABLE IF NOT EXISTS attendance (
  terminal_serial VARBINARY(200) NOT NULL,
  log_generation INT UNSIGNED NOT NULL,
  position BIGINT NOT NULL,
  machine_number INT NOT NULL,
  enroll_number BIGINT NOT NULL,
  mode INT NOT NULL,
  punch_time DATETIME NULL,
  line VARBINARY(255) NOT NULL,
  site VARCHAR(64) NOT NULL,
  received_at DATETIME NOT NULL,
  PRIMARY KEY (terminal_serial, log_generation, position),
  KEY attendance_punch (punch_time),
  KEY attendance_site_punch (site, punch_time)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci)";

const char* const kProgressTable = R"(CREATE TABLE IF NOT EXISTS terminal_progress (
  terminal_serial VARBINARY(200) NOT NULL,
  site VARCHAR(64) NOT NULL,
  machine_number INT NOT NULL,
  last_position BIGINT NOT NULL,
  last_punch DATETIME NULL,
  last_contact DATETIME NOT NULL,
  PRIMARY KEY (terminal_serial, site)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci)";

std::string bytesOf(const QString& text) {
    return text.toUtf8().toStdString();
}

std::string filePath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

} // namespace

std::vector<std::string> centralSchemaStatements() {
    return {kAttendanceTable, kProgressTable};
}

QString centralSchemaText(const CentralSettings& s) {
    QString text = QStringLiteral("-- v270-aktarim merkez veritabanı (%1)\n").arg(s.database);
    text += QStringLiteral("CREATE DATABASE IF NOT EXISTS `%1` CHARACTER SET utf8mb4;\n"
                           "USE `%1`;\n")
                .arg(s.database);
    for (const std::string& statement : centralSchemaStatements())
        text += QString::fromStdString(statement) + QStringLiteral(";\n");
    // The user name goes between quotes: a quote in it is doubled.
    QString user = s.user;
    user.replace(u'\'', QStringLiteral("''"));
    for (const char* table : {"attendance", "terminal_progress"})
        text += QStringLiteral("GRANT SELECT, INSERT, UPDATE ON `%1`.`%2` TO '%3'@'%';\n")
                    .arg(s.database, QString::fromLatin1(table), user);
    return text;
}

std::string sqlBytes(const QByteArray& bytes) {
    std::string out;
    appendSqlBytes(out, bytes);
    return out;
}

void appendSqlBytes(std::string& out, const QByteArray& bytes) {
    if (bytes.isEmpty()) {
        out += "''";
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    out += "X'";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    out += '\'';
}

std::string sqlText(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    if (utf8.isEmpty()) return "''";
    return "_utf8mb4 X'" + utf8.toHex().toStdString() + "'";
}

CentralConnection::CentralConnection(CentralSettings settings, v270::mysql::TMySQLAPI& api)
    : settings_(std::move(settings)), api_(api) {}

CentralConnection::~CentralConnection() {
    drop(false);
}

void CentralConnection::login(const CentralHost& host) {
    ConnectOptions o;
    o.server = bytesOf(host.host);
    o.port = host.port;
    o.user = bytesOf(settings_.user);
    o.password = bytesOf(settings_.password);
    o.database = bytesOf(settings_.database);
    o.charset = "utf8mb4";
    o.connectionTimeout = kCentralConnectSeconds;
    if (settings_.ssl) {
        o.protocol = v270::mysql::kProtocolSsl;
        o.ssl.ca = filePath(settings_.sslCACert);
        o.ssl.cert = filePath(settings_.sslCert);
        o.ssl.key = filePath(settings_.sslKey);
        o.ssl.cipher = settings_.sslCipherList.toStdString();
        o.ssl.verifyServerCert = settings_.sslVerify;
    }
    o.serverPublicKey = filePath(settings_.serverPublicKey);
    v270::mysql::OpenSession open = v270::mysql::ConnectSession(api_, o);
    session_ = std::move(open.session);
}

void CentralConnection::connect() {
    if (session_) return;
    const size_t n = settings_.hosts.size();
    std::optional<EMySqlException> last;
    for (size_t tried = 0; tried < n; ++tried) {
        try {
            login(settings_.hosts[current_]);
            return;
        } catch (const EMySqlException& e) {
            last = e;
        } catch (const std::exception& e) {
            last = EMySqlException(2003, e.what());
        }
        current_ = (current_ + 1) % n;
    }
    throw *last;
}

void CentralConnection::drop(bool moveOn) {
    if (session_) api_.mysql_close(session_);
    session_.reset();
    if (moveOn && !settings_.hosts.empty()) current_ = (current_ + 1) % settings_.hosts.size();
}

void CentralConnection::execute(const std::string& sql) {
    connect();
    TMySQLCommand command(api_, session_.get(), sql);
    command.CommandTimeout = kCentralStatementSeconds;
    command.Execute();
}

std::vector<SqlRow> CentralConnection::select(const std::string& sql) {
    std::vector<SqlRow> rows;
    each(sql, [&](const SqlRow& row) { rows.push_back(row); });
    return rows;
}

void CentralConnection::each(const std::string& sql,
                             const std::function<void(const SqlRow&)>& take) {
    connect();
    TMySQLCommand command(api_, session_.get(), sql);
    command.CommandTimeout = kCentralStatementSeconds;
    command.WantResultSet = true;
    command.Execute();
    SqlRow values;
    while (const v270::mysql::TMySqlBinds* row = command.Fetch()) {
        values.clear();
        for (size_t i = 0; i < row->Count(); ++i)
            values.push_back(row->IsNull(i) ? std::nullopt
                                            : std::optional<std::string>(row->Field(i)));
        take(values);
    }
}

QString CentralConnection::hostText() const {
    if (settings_.hosts.empty()) return {};
    const CentralHost& h = settings_.hosts[current_];
    return QStringLiteral("%1:%2").arg(h.host).arg(h.port);
}

QString centralErrorText(const CentralConnection& c, int code, const std::string& message) {
    return QStringLiteral("Merkez veritabanı hatası (%1, kod %2): %3")
        .arg(c.hostText())
        .arg(code)
        .arg(QString::fromUtf8(message.data(), qsizetype(message.size())));
}

void initCentralSchema(CentralConnection& connection) {
    try {
        for (const std::string& statement : centralSchemaStatements())
            connection.execute(statement);
    } catch (const EMySqlException& e) {
        throw AppError(centralErrorText(connection, e.Code(), e.what()));
    }
}
