// The client against a real MariaDB server (scripts/mariadb-test-server).
#include "mysql/MyQuery.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>

using namespace v270::mysql;

namespace {

const char kDb[] = "v270_mysql_server_test";

TMySQLAPI& Api() {
    return TMySQLAPIDirect::Instance();
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string Shell(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs SQL as root over the server's Unix socket with the stock client.
void RootSql(const std::string& sql) {
    int status = 0;
    std::string out = Shell("mariadb --no-defaults --socket=" + Env("V270_MYSQL_SOCKET") +
                                " -uroot -e " + Quote(sql) + " 2>&1",
                            &status);
    ASSERT_EQ(status, 0) << sql << "\n" << out;
}

class MySqlServer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (Env("V270_MYSQL_PORT").empty() || Env("V270_MYSQL_SOCKET").empty()) return;
        // ctest runs every test in its own process, possibly side by side:
        // the set-up must not undo what another process relies on.
        RootSql(std::string("CREATE DATABASE IF NOT EXISTS ") + kDb +
                " CHARACTER SET latin5;"
                "CREATE USER IF NOT EXISTS 'v270_native'@'%' IDENTIFIED BY 'gizli';"
                "CREATE USER IF NOT EXISTS 'v270_empty'@'%';"
                "CREATE USER IF NOT EXISTS 'v270_old'@'%' IDENTIFIED VIA mysql_old_password "
                "USING PASSWORD('eski');"
                "CREATE USER IF NOT EXISTS 'v270_tls'@'%' IDENTIFIED BY 'gizli' REQUIRE SSL;"
                "CREATE USER IF NOT EXISTS 'v270_x509'@'%' IDENTIFIED BY 'gizli' REQUIRE X509;"
                "CREATE USER IF NOT EXISTS 'v270_ed'@'%' IDENTIFIED VIA ed25519 "
                "USING PASSWORD('ed-anahtar');"
                "GRANT ALL ON " +
                kDb +
                ".* TO 'v270_native'@'%', 'v270_empty'@'%', 'v270_old'@'%', 'v270_tls'@'%', "
                "'v270_x509'@'%', 'v270_ed'@'%';");
    }
    void SetUp() override {
        if (Env("V270_MYSQL_PORT").empty() || Env("V270_MYSQL_SOCKET").empty())
            GTEST_SKIP() << "V270_MYSQL_HOST/PORT/SOCKET not set: start a server with "
                            "eval \"$(scripts/mariadb-test-server start DIR)\" (scripts/test does)";
    }

    static ConnectOptions Root() {
        ConnectOptions o;
        o.server = Env("V270_MYSQL_HOST");
        o.port = std::atoi(Env("V270_MYSQL_PORT").c_str());
        o.user = "root";
        o.database = kDb;
        o.connectionTimeout = 10;
        return o;
    }
    static int Code(const ConnectOptions& o, std::string* message = nullptr) {
        try {
            OpenSession s = ConnectSession(Api(), o);
            Api().mysql_close(s.session);
            return 0;
        } catch (const EMySqlException& e) {
            if (message) *message = e.what();
            return e.Code();
        }
    }
    // The data module's connection, set up as the application sets it.
    static void SetUp(TMyConnection& c) {
        c.SetServer(Env("V270_MYSQL_HOST"));
        c.SetPort(std::atoi(Env("V270_MYSQL_PORT").c_str()));
        c.SetUsername("root");
        c.SetDatabase(kDb);
        c.Options().SetCharset("latin5");
    }
    static void Run(TMyConnection& c, const std::string& sql) {
        TMyQuery q;
        q.SetConnection(&c);
        q.SQL.SetText(sql);
        q.ExecSQL();
    }
    static std::string Value(TMyConnection& c, const std::string& sql) {
        TMyQuery q;
        q.SetConnection(&c);
        q.SQL.SetText(sql);
        q.Open();
        return q.Fields(0).AsString();
    }
    // The error of f, or "no error".
    template <class E = EDatabaseError> static std::string ErrorOf(const std::function<void()>& f) {
        try {
            f();
        } catch (const E& e) {
            return e.what();
        }
        return "no error";
    }
    static int FreePort() {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(fd);
        return ntohs(a.sin_port);
    }
    static void Exec(TMySqlSession* s, const std::string& sql) {
        TMySQLCommand cmd(Api(), s, sql);
        cmd.Execute();
    }
    // All rows of a statement, NULL as "<NULL>".
    static std::vector<std::vector<std::string>> Rows(TMySqlSession* s, const std::string& sql) {
        TMySQLCommand cmd(Api(), s, sql);
        cmd.WantResultSet = true;
        cmd.Execute();
        std::vector<std::vector<std::string>> rows;
        while (const TMySqlBinds* b = cmd.Fetch()) {
            rows.emplace_back();
            for (size_t i = 0; i < b->Count(); ++i)
                rows.back().push_back(b->IsNull(i) ? "<NULL>" : std::string(b->Field(i)));
        }
        return rows;
    }
};

TEST_F(MySqlServer, Logins) {
    struct Case {
        std::string user, password;
        int code;
    } cases[] = {
        {"v270_native", "gizli", 0},     {"v270_empty", "", 0},        {"v270_old", "eski", 0},
        {"v270_native", "yanlis", 1045}, {"v270_old", "yanlis", 1045},
    };
    for (const Case& c : cases) {
        ConnectOptions o = Root();
        o.user = c.user;
        o.password = c.password;
        std::string message;
        EXPECT_EQ(Code(o, &message), c.code) << c.user << " " << message;
        if (c.code == 1045) {
            EXPECT_EQ(message.rfind("\r\n#28000Access denied for user '" + c.user + "'", 0), 0u)
                << message;
        }
    }
}

TEST_F(MySqlServer, TlsLogins) {
    const std::string dir = Env("V270_MYSQL_SSL_DIR") + "/";
    struct Case {
        const char* what;
        std::string user, host;
        bool tls;
        std::string ca;
        bool verify;
        bool clientCert;
        int code;
        std::string message; // the start of the error's text
    } cases[] = {
        {"REQUIRE SSL over TLS, checked", "v270_tls", "127.0.0.1", true, "ca.pem", true, false, 0,
         ""},
        {"host name checked by DNS name", "v270_tls", "localhost", true, "ca.pem", true, false, 0,
         ""},
        {"REQUIRE SSL without TLS", "v270_tls", "127.0.0.1", false, "", false, false, 1045,
         "\r\n#28000Access denied for user 'v270_tls'"},
        {"wrong CA, checked", "v270_tls", "127.0.0.1", true, "other-ca.pem", true, false, 2026,
         "SSL connection error\r\nerror:0A000086:SSL routines::certificate verify failed"},
        {"wrong CA, not checked", "v270_tls", "127.0.0.1", true, "other-ca.pem", false, false, 0,
         ""},
        {"missing CA file", "v270_tls", "127.0.0.1", true, "yok.pem", true, false, 2026,
         "SSL connection error\r\ncannot read the CA certificates"},
        {"REQUIRE X509 with a client certificate", "v270_x509", "127.0.0.1", true, "ca.pem", true,
         true, 0, ""},
        {"REQUIRE X509 without one", "v270_x509", "127.0.0.1", true, "ca.pem", true, false, 1045,
         "\r\n#28000Access denied for user 'v270_x509'"},
        {"a plain account over TLS", "v270_native", "127.0.0.1", true, "", false, false, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ConnectOptions o = Root();
        o.server = c.host;
        o.user = c.user;
        o.password = "gizli";
        if (c.tls) o.protocol = 5;
        if (!c.ca.empty()) o.ssl.ca = dir + c.ca;
        o.ssl.verifyServerCert = c.verify;
        if (c.clientCert) {
            o.ssl.cert = dir + "client.pem";
            o.ssl.key = dir + "client-key.pem";
        }
        try {
            OpenSession s = ConnectSession(Api(), o);
            EXPECT_EQ(c.code, 0);
            EXPECT_EQ(s.session->hostInfo, c.host + (c.tls ? " via SSL" : " via TCP/IP"));
            auto version = Rows(s.session.get(), "SHOW STATUS LIKE 'Ssl_version'");
            ASSERT_EQ(version.size(), 1u);
            EXPECT_EQ(version[0][1].rfind("TLSv1.", 0), 0u) << version[0][1];
            Api().mysql_close(s.session);
        } catch (const EMySqlException& e) {
            EXPECT_EQ(e.Code(), c.code) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
        }
    }
}

TEST_F(MySqlServer, CipherListsNameSuitesOfBothTlsVersions) {
    struct Case {
        const char* list;
        std::string cipher; // the one the session runs with; empty: refused
    } cases[] = {
        {"TLS_AES_128_GCM_SHA256", "TLS_AES_128_GCM_SHA256"},
        {"TLS_CHACHA20_POLY1305_SHA256:ECDHE-RSA-AES128-GCM-SHA256",
         "TLS_CHACHA20_POLY1305_SHA256"},
        {"TLS_NOSUCH TLS_AES_128_GCM_SHA256", "TLS_AES_128_GCM_SHA256"},
        {"TLS_NOSUCH", ""},
        {"TLS_NOSUCH:NOSUCH-CIPHER", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        ConnectOptions o = Root();
        o.protocol = kProtocolSsl;
        o.ssl.cipher = c.list;
        try {
            OpenSession s = ConnectSession(Api(), o);
            EXPECT_EQ(Rows(s.session.get(), "SHOW STATUS LIKE 'Ssl_cipher'")[0][1], c.cipher);
            Api().mysql_close(s.session);
        } catch (const EMySqlException& e) {
            EXPECT_EQ(c.cipher, "");
            EXPECT_EQ(e.Code(), 2026);
            EXPECT_EQ(std::string(e.what()).rfind("SSL connection error\r\nno usable cipher in '" +
                                                      std::string(c.list) + "'",
                                                  0),
                      0u)
                << e.what();
        }
    }
    // The tool takes the same lists.
    int status = 0;
    EXPECT_EQ(Shell(std::string(V270_MYSQL_TOOL) + " -h " + Env("V270_MYSQL_HOST") + " -P " +
                        Env("V270_MYSQL_PORT") +
                        " --ssl-cipher TLS_AES_128_GCM_SHA256 -e \"SHOW STATUS LIKE "
                        "'Ssl_cipher'\"",
                    &status),
              "Variable_name\tValue\nSsl_cipher\tTLS_AES_128_GCM_SHA256\n");
    EXPECT_EQ(status, 0);
}

TEST_F(MySqlServer, CompressionOverTlsGivesTheSameRows) {
    ConnectOptions o = Root();
    const std::string sql = "SELECT seq, REPEAT(CHAR(65 + seq % 26), seq % 300) "
                            "FROM seq_1_to_3000";
    OpenSession plain = ConnectSession(Api(), o);
    auto expected = Rows(plain.session.get(), sql);
    o.compress = true;
    o.protocol = 5;
    o.ssl.ca = Env("V270_MYSQL_SSL_DIR") + "/ca.pem";
    o.ssl.verifyServerCert = true;
    OpenSession packed = ConnectSession(Api(), o);
    EXPECT_TRUE(packed.session->net.Compress());
    EXPECT_TRUE(packed.session->net.Vio()->IsSecure());
    EXPECT_EQ(Rows(packed.session.get(), sql), expected);
    EXPECT_EQ(Rows(packed.session.get(), "SHOW STATUS LIKE 'Compression'")[0][1], "ON");
    Api().mysql_close(plain.session);
    Api().mysql_close(packed.session);
}

TEST_F(MySqlServer, Ed25519Logins) {
    for (const auto& [password, code] :
         std::vector<std::pair<std::string, int>>{{"ed-anahtar", 0}, {"yanlis", 1045}}) {
        ConnectOptions o = Root();
        o.user = "v270_ed";
        o.password = password;
        try {
            OpenSession s = ConnectSession(Api(), o);
            EXPECT_EQ(code, 0);
            EXPECT_EQ(s.session->authPlugin, "client_ed25519");
            EXPECT_EQ(Rows(s.session.get(), "SELECT CURRENT_USER()")[0][0], "v270_ed@%");
            Api().mysql_close(s.session);
        } catch (const EMySqlException& e) {
            EXPECT_EQ(e.Code(), code) << e.what();
        }
    }
}

TEST_F(MySqlServer, ToolAndComponentOverTls) {
    const std::string ca = Env("V270_MYSQL_SSL_DIR") + "/ca.pem";
    std::string conn = std::string(V270_MYSQL_TOOL) + " -h " + Env("V270_MYSQL_HOST") + " -P " +
                       Env("V270_MYSQL_PORT") + " -u v270_tls -p gizli -D " + kDb;
    int status = 0;
    EXPECT_EQ(Shell(conn + " --ssl-ca " + ca + " -e \"SELECT CURRENT_USER()\"", &status),
              "CURRENT_USER()\nv270_tls@%\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Shell(conn + " --dataset --ssl -e \"SELECT 7\"", &status), "7\n7\n");
    EXPECT_EQ(status, 0);
    std::string err = Shell(conn + " --ssl-ca " + Env("V270_MYSQL_SSL_DIR") +
                                "/other-ca.pem -e \"SELECT 1\" 2>&1",
                            &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err.rfind("ERROR 2026\nSSL connection error\r\nerror:", 0), 0u) << err;

    // The data module's connection with the SSL protocol and options.
    TMyConnection c;
    SetUp(c);
    c.SetUsername("v270_tls");
    c.SetPassword("gizli");
    c.Options().SetProtocol(mpSSL);
    c.SSLOptions.CACert = ca;
    c.SSLOptions.VerifyServerCert = true;
    EXPECT_EQ(Value(c, "SELECT CURRENT_USER()"), "v270_tls@%");
    EXPECT_TRUE(c.InternalConnection()->Session()->net.Vio()->IsSecure());
}

TEST_F(MySqlServer, ToolTakesItsPasswordWithoutShowingIt) {
    // v270_tls needs TLS, so the CA goes along; its password is "gizli".
    const std::string tool = std::string(V270_MYSQL_TOOL) + " -h " + Env("V270_MYSQL_HOST") +
                             " -P " + Env("V270_MYSQL_PORT") + " -u v270_tls --ssl-ca " +
                             Env("V270_MYSQL_SSL_DIR") + "/ca.pem";
    const std::string file = ::testing::TempDir() + "/v270-password";
    Shell("printf 'gizli\\n' > " + file + " && chmod 600 " + file, nullptr);
    const struct {
        const char* name;
        std::string command;
    } sources[] = {
        {"environment", "MYSQL_PWD=gizli " + tool},
        {"file", tool + " --password-file " + file},
        {"prompt without a terminal reads standard input",
         "printf 'gizli\\n' | setsid " + tool + " -p"},
        {"command line still works", tool + " -p gizli"},
    };
    for (const auto& s : sources) {
        int status = 0;
        EXPECT_EQ(Shell(s.command + " -e 'SELECT 1' 2>&1", &status), "1\n1\n") << s.name;
        EXPECT_EQ(status, 0) << s.name;
    }
    int status = 0;
    EXPECT_NE(Shell("MYSQL_PWD=yanlis " + tool + " -e 'SELECT 1' 2>&1", &status).find("1045"),
              std::string::npos);
}

// A password file that others may read is said on standard error, and
// still used; one only its owner reads is used without a word.
TEST_F(MySqlServer, ToolWarnsOfAPasswordFileOthersMayRead) {
    const std::string tool = std::string(V270_MYSQL_TOOL) + " -h " + Env("V270_MYSQL_HOST") +
                             " -P " + Env("V270_MYSQL_PORT") + " -u v270_tls --ssl-ca " +
                             Env("V270_MYSQL_SSL_DIR") + "/ca.pem";
    const std::string file = ::testing::TempDir() + "/v270-password-mode";
    const struct {
        const char* mode;
        bool warned;
    } cases[] = {{"600", false}, {"400", false}, {"640", true}, {"604", true}, {"644", true}};
    for (const auto& c : cases) {
        Shell("rm -f " + file + " && printf 'gizli\\n' > " + file + " && chmod " + c.mode + " " +
                  file,
              nullptr);
        int status = 0;
        const std::string out =
            Shell(tool + " --password-file " + file + " -e 'SELECT 1' 2>&1", &status);
        const std::string warning = std::string("Uyarı: \"") + file +
                                    "\" parola dosyasını grup ya da başkaları da okuyabiliyor "
                                    "(izinler 0" +
                                    c.mode + "); yalnız sahibi okuyabilmeli: chmod 600 \"" + file +
                                    "\"\n";
        EXPECT_EQ(out, (c.warned ? warning : std::string()) + "1\n1\n") << c.mode;
        EXPECT_EQ(status, 0) << c.mode;
    }
}

TEST_F(MySqlServer, UnknownDatabaseAndNothingListening) {
    ConnectOptions o = Root();
    o.database = "v270_no_such_db";
    std::string message;
    EXPECT_EQ(Code(o, &message), 1049);
    EXPECT_EQ(message, "\r\n#42000Unknown database 'v270_no_such_db'");

    // A port that was free a moment ago.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    o = Root();
    o.server = "127.0.0.1";
    o.port = ntohs(a.sin_port);
    EXPECT_EQ(Code(o, &message), 2003);
    EXPECT_EQ(message, "Cannot connect to server on host '127.0.0.1':\r\nConnection refused.\r\n"
                       "Socket Error Code: 111($6F)");
}

TEST_F(MySqlServer, Latin5RoundTripNeedsSetNames) {
    const std::string turkish = "\xC7\xD0\xDD\xF6\xFE\xFC"; // Ç Ğ İ ö ş ü in latin5
    ConnectOptions o = Root();
    o.charset = "latin5";
    o.checkBackslashes = true;
    OpenSession s = ConnectSession(Api(), o);
    EXPECT_TRUE(s.backslashEscapes);
    EXPECT_EQ(s.version.major, 5);
    EXPECT_EQ(s.version.minor, 5);
    EXPECT_EQ(s.version.release, 5);
    Exec(s.session.get(), "CREATE OR REPLACE TABLE personel (kartno VARCHAR(22), ad VARCHAR(40)) "
                          "CHARACTER SET latin5");
    Exec(s.session.get(), "INSERT INTO personel VALUES ('1', '" + turkish + "')");
    auto rows = Rows(s.session.get(), "SELECT ad, HEX(ad), @@character_set_client FROM personel");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], turkish);
    EXPECT_EQ(rows[0][1], "C7D0DDF6FEFC");
    EXPECT_EQ(rows[0][2], "latin5");

    // Without SET NAMES the server reads the bytes as latin1: Ğ İ ş are lost
    // (refused in strict mode, turned into "?" otherwise).
    ConnectOptions plain = Root();
    OpenSession p = ConnectSession(Api(), plain);
    Exec(p.session.get(), "SET SESSION sql_mode = ''");
    Exec(p.session.get(), "INSERT INTO personel VALUES ('2', '" + turkish + "')");
    rows = Rows(s.session.get(), "SELECT HEX(ad) FROM personel WHERE kartno = '2'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "C73F3FF63FFC");
    Api().mysql_close(p.session);
    Api().mysql_close(s.session);
}

TEST_F(MySqlServer, AffectedRowsNullAndEmpty) {
    OpenSession s = ConnectSession(Api(), Root());
    TMySqlSession* h = s.session.get();
    Exec(h, "CREATE OR REPLACE TABLE t_update (id INT, v VARCHAR(10))");
    Exec(h, "INSERT INTO t_update VALUES (1, NULL), (2, ''), (3, 'x')");
    ASSERT_EQ(Api().mysql_real_query(h, "UPDATE t_update SET v = 'y' WHERE id >= 2"), 0);
    EXPECT_EQ(Api().mysql_field_count(h), 0u);
    EXPECT_EQ(Api().mysql_affected_rows(h), 2u);
    EXPECT_EQ(Api().mysql_info(h).find("Rows matched: 2"), 0u) << Api().mysql_info(h);
    EXPECT_EQ(Api().mysql_use_result(h), nullptr);
    EXPECT_EQ(Api().mysql_errno(h), 0);

    auto rows = Rows(h, "SELECT NULL, '', 'a'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"<NULL>", "", "a"}));
    EXPECT_EQ(Api().mysql_ping(h), 0);
    EXPECT_EQ(Api().mysql_select_db(h, "v270_no_such_db"), 1049);
    EXPECT_EQ(Api().mysql_select_db(h, "mysql"), 0);
    EXPECT_EQ(h->database, "mysql");
    Api().mysql_close(s.session);
}

TEST_F(MySqlServer, ResultClosedEarlyThenNextStatement) {
    OpenSession s = ConnectSession(Api(), Root());
    TMySqlSession* h = s.session.get();
    ASSERT_EQ(Api().mysql_real_query(h, "SELECT seq, REPEAT('x', 100) FROM seq_1_to_1000"), 0);
    MySqlResult r = Api().mysql_use_result(h);
    ASSERT_TRUE(r);
    EXPECT_EQ(Api().mysql_fetch_field_direct(r.get(), 0)->name, "seq");
    for (int i = 1; i <= 3; ++i) {
        const TMySqlBinds* b = Api().mysql_fetch_row(r.get());
        ASSERT_TRUE(b);
        EXPECT_EQ(b->Field(0), std::to_string(i));
    }
    // While rows are pending, another statement is out of sync.
    EXPECT_EQ(Api().mysql_real_query(h, "SELECT 1"), 2014);
    EXPECT_EQ(Api().mysql_error(h), "Commands out of sync;  You can't run this command now");
    Api().mysql_free_result(r);
    auto rows = Rows(h, "SELECT 'sonraki'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "sonraki");

    // Multi-statement text: the command sums the affected rows and finds the result.
    Exec(h, "CREATE OR REPLACE TABLE t_multi (id INT)");
    TMySQLCommand cmd(Api(), h, "INSERT INTO t_multi VALUES (1),(2); SELECT COUNT(*) FROM t_multi");
    cmd.WantResultSet = true;
    cmd.Execute();
    EXPECT_EQ(cmd.RowsAffected(), 2);
    const TMySqlBinds* b = cmd.Fetch();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->Field(0), "2");
    cmd.CloseResult();
    EXPECT_EQ(Rows(h, "SELECT 3")[0][0], "3");
    Api().mysql_close(s.session);
}

TEST_F(MySqlServer, CompressionGivesTheSameRows) {
    ConnectOptions o = Root();
    const std::string sql = "SELECT seq, REPEAT(CHAR(65 + seq % 26), seq % 300), NULL "
                            "FROM seq_1_to_3000";
    OpenSession plain = ConnectSession(Api(), o);
    auto expected = Rows(plain.session.get(), sql);
    o.compress = true;
    OpenSession packed = ConnectSession(Api(), o);
    EXPECT_TRUE(packed.session->net.Compress());
    EXPECT_EQ(Rows(packed.session.get(), sql), expected);
    // Statements above and below the 50-byte threshold, and a long one.
    EXPECT_EQ(Rows(packed.session.get(), "SELECT 1")[0][0], "1");
    std::string big(100000, 'z');
    EXPECT_EQ(Rows(packed.session.get(), "SELECT LENGTH('" + big + "')")[0][0], "100000");
    // A result dropped early is drained through the compressed stream.
    ASSERT_EQ(Api().mysql_real_query(packed.session.get(), sql), 0);
    MySqlResult r = Api().mysql_use_result(packed.session.get());
    ASSERT_TRUE(Api().mysql_fetch_row(r.get()));
    Api().mysql_free_result(r);
    EXPECT_EQ(Rows(packed.session.get(), "SELECT 2")[0][0], "2");
    Api().mysql_close(plain.session);
    Api().mysql_close(packed.session);
}

TEST_F(MySqlServer, ServerKilledMidResult) {
    // A private server, so that killing it disturbs no other test.
    std::string dir = ::testing::TempDir() + "v270-mysql-killed-" + std::to_string(getpid());
    std::string script = std::string(V270_SOURCE_DIR) + "/scripts/mariadb-test-server";
    // Stopped and removed on every way out, failed assertions included.
    struct Cleanup {
        std::string stop;
        ~Cleanup() { Shell(stop); }
    } cleanup{script + " stop " + dir + " >/dev/null 2>&1; rm -rf " + dir};
    int status = 0;
    std::string env = Shell(script + " start " + dir, &status);
    ASSERT_EQ(status, 0) << env;
    auto value = [&](const std::string& key) {
        size_t p = env.find(key + "=");
        return env.substr(p + key.size() + 1, env.find_first_of(" \n", p) - p - key.size() - 1);
    };
    ConnectOptions o = Root();
    o.server = "127.0.0.1";
    o.port = std::atoi(value("V270_MYSQL_PORT").c_str());
    o.database = "mysql";
    OpenSession s = ConnectSession(Api(), o);
    TMySqlSession* h = s.session.get();
    ASSERT_EQ(Api().mysql_real_query(h, "SELECT seq, REPEAT('k', 200) FROM seq_1_to_10000000"), 0);
    MySqlResult r = Api().mysql_use_result(h);
    ASSERT_TRUE(r);
    ASSERT_TRUE(Api().mysql_fetch_row(r.get()));
    pid_t pid = 0;
    std::ifstream(dir + "/mysqld.pid") >> pid;
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGKILL);
    size_t rows = 1;
    while (Api().mysql_fetch_row(r.get()))
        ++rows;
    EXPECT_LT(rows, 10000000u);
    EXPECT_EQ(Api().mysql_errno(h), 2013);
    EXPECT_EQ(Api().mysql_error(h).rfind("Lost connection to MySQL server during query", 0), 0u);
    Api().mysql_free_result(r);
    Api().mysql_close(s.session);
}

TEST_F(MySqlServer, ToolPrintsEveryColumnType) {
    RootSql(std::string("USE ") + kDb +
            "; CREATE OR REPLACE TABLE t_types ("
            "ti TINYINT, si SMALLINT UNSIGNED, mi MEDIUMINT, i INT, bi BIGINT, "
            "de DECIMAL(12,3), f FLOAT, d DOUBLE, dt DATE, tm TIME(2), dtm DATETIME, "
            "ts TIMESTAMP NULL, y YEAR, c CHAR(3), vc VARCHAR(40), tx TEXT, bl BLOB, "
            "e ENUM('a','b'), s SET('x','y'), b BIT(10), ip INET6, u UUID, j JSON, g POINT, "
            "lt LONGTEXT, n INT) CHARACTER SET latin5;"
            "INSERT INTO t_types VALUES (-128, 65535, -8388608, 2147483647, "
            "-9223372036854775808, -123456789.125, 1.5, -2.25e-300, '2024-02-29', "
            "'-838:59:59.99', '2024-01-02 03:04:05', '2038-01-19 03:14:07', 2155, 'abc', "
            "'tab\\there', 'satir\\nsonu', X'00FF0A09', 'b', 'x,y', b'1000000001', '::1', "
            "'123e4567-e89b-12d3-a456-426614174000', '{\\\"a\\\": 1}', POINT(1, 2), '', NULL);"
            "INSERT INTO t_types (n) VALUES (NULL);");
    std::string conn = std::string(V270_MYSQL_TOOL) + " -h " + Env("V270_MYSQL_HOST") + " -P " +
                       Env("V270_MYSQL_PORT") + " -u root -D " + kDb;
    int status = 0;
    std::string ours = Shell(conn + " -e 'SELECT * FROM t_types'", &status);
    EXPECT_EQ(status, 0);
    // The stock client in batch and raw mode prints the same layout.
    std::string stock = Shell("mariadb --no-defaults --socket=" + Env("V270_MYSQL_SOCKET") +
                              " -uroot -B -r " + kDb + " -e 'SELECT * FROM t_types'");
    EXPECT_EQ(ours, stock);
    EXPECT_NE(ours.find("-128\t65535\t-8388608\t2147483647\t-9223372036854775808\t"
                        "-123456789.125\t1.5\t-2.25e-300\t2024-02-29\t-838:59:59.99\t"
                        "2024-01-02 03:04:05\t2038-01-19 03:14:07\t2155\tabc\ttab\there\t"
                        "satir\nsonu\t" +
                        std::string("\0\xFF\n\t", 4) +
                        "\tb\tx,y\t\x02\x01\t::1\t"
                        "123e4567-e89b-12d3-a456-426614174000\t{\"a\": 1}\t"),
              std::string::npos)
        << ours;

    // A statement without a result prints nothing; a failure prints ERROR and exits 1.
    EXPECT_EQ(Shell(conn + " -e 'DO 1'", &status), "");
    EXPECT_EQ(status, 0);
    std::string err = Shell(conn + " -e 'SELECT * FROM yok' 2>&1 >/dev/null", &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, std::string("ERROR 1146\n#42S02Table '") + kDb + ".yok' doesn't exist\n");
    err = Shell(std::string(V270_MYSQL_TOOL) + " -h 127.0.0.1 -P 1 -e 'SELECT 1' 2>&1", &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err.rfind("ERROR 2003\nCannot connect to server on host '127.0.0.1':", 0), 0u) << err;
}

TEST_F(MySqlServer, EveryColumnTypeAsTheApplicationReadsIt) {
    const std::string turkish = "\xC7\xD0\xDD\xF6\xFE\xFC"; // Ç Ğ İ ö ş ü in latin5
    const std::string longText(100000, 'a');
    const std::string zeros(70000, '\0');
    // Rows: lowest values, highest values, NULLs, zero dates (other columns
    // NULL there unless given).
    struct Col {
        const char* name;
        const char* type;
        std::string lowSql, low, highSql, high;
        std::string zeroSql = "NULL", zero = "";
    } cols[] = {
        {"ti", "TINYINT", "-128", "-128", "127", "127"},
        {"tu", "TINYINT UNSIGNED", "0", "0", "255", "255"},
        {"bo", "BOOLEAN", "0", "False", "1", "True"},
        {"si", "SMALLINT", "-32768", "-32768", "32767", "32767"},
        {"su", "SMALLINT UNSIGNED", "0", "0", "65535", "65535"},
        {"mi", "MEDIUMINT", "-8388608", "-8388608", "8388607", "8388607"},
        {"mu", "MEDIUMINT UNSIGNED", "0", "0", "16777215", "16777215"},
        {"i", "INT", "-2147483648", "-2147483648", "2147483647", "2147483647"},
        {"iu", "INT UNSIGNED", "0", "0", "4294967295", "4294967295"},
        {"bi", "BIGINT", "-9223372036854775808", "-9223372036854775808", "9223372036854775807",
         "9223372036854775807"},
        {"bu", "BIGINT UNSIGNED", "0", "0", "18446744073709551615", "18446744073709551615"},
        {"bt", "BIT(10)", "b'0'", "0", "b'1111111111'", "1023"},
        {"b64", "BIT(64)", "b'1'", "1", "0xFFFFFFFFFFFFFFFF", "18446744073709551615"},
        {"de", "DECIMAL(12,3)", "-123456789.125", "-123456789,125", "999999999.999",
         "999999999,999"},
        {"dl", "DECIMAL(65,30)",
         "-12345678901234567890123456789012345.123456789012345678901234567890",
         "-1,23456789012346E+34", "0.000000000000000000000000000001", "1E-30"},
        {"fl", "FLOAT", "-3.4e38", "-3,4E+38", "1.5", "1,5"},
        {"db", "DOUBLE", "-2.25e-300", "-2,25E-300", "1.7976931348623157e308",
         "1,79769313486232E+308"},
        {"dt", "DATE", "'1000-01-01'", "01.01.1000", "'9999-12-31'", "31.12.9999", "'0000-00-00'"},
        {"dtm", "DATETIME(6)", "'1000-01-01 00:00:00'", "01.01.1000 00:00:00",
         "'9999-12-31 23:59:59.999999'", "31.12.9999 23:59:59", "'0000-00-00 00:00:00'"},
        {"ts", "TIMESTAMP(3) NULL", "'1970-01-01 00:00:01'", "01.01.1970 00:00:01",
         "'2038-01-19 03:14:07.999'", "19.01.2038 03:14:07", "'0000-00-00 00:00:00'"},
        {"tm", "TIME(2)", "'-838:59:59.99'", "-838:59:59", "'838:59:59.99'", "838:59:59",
         "'08:05:00'", "08:05:00"},
        {"y", "YEAR", "1901", "1901", "2155", "2155", "0", "0"},
        {"c", "CHAR(3)", "''", "", "'abc'", "abc"},
        {"vc", "VARCHAR(40)", "'" + turkish + "'", turkish, "'tab\\there'", "tab\there"},
        {"vb", "VARBINARY(8)", "X'00'", std::string(1, '\0'), "X'00FF0A09'",
         std::string("\0\xFF\n\t", 4)},
        {"tx", "MEDIUMTEXT", "''", "", "REPEAT('a', 100000)", longText},
        {"bl", "LONGBLOB", "X'00FF00'", std::string("\0\xFF\0", 3), "REPEAT(X'00', 70000)", zeros},
        {"e", "ENUM('a','b')", "'a'", "a", "'b'", "b"},
        {"st", "SET('x','y')", "''", "", "'x,y'", "x,y"},
        {"js", "JSON", "'{}'", "{}", "'{\"a\": 1}'", "{\"a\": 1}"},
    };
    TMyConnection c;
    SetUp(c);
    std::string create = "CREATE OR REPLACE TABLE t_all (n INT";
    std::string insert = "INSERT INTO t_all VALUES ";
    std::vector<std::string> rows(4);
    for (int r = 0; r < 4; ++r)
        rows[r] = "(" + std::to_string(r);
    for (const Col& col : cols) {
        create += std::string(", ") + col.name + " " + col.type;
        rows[0] += ", " + col.lowSql;
        rows[1] += ", " + col.highSql;
        rows[2] += ", NULL";
        rows[3] += ", " + col.zeroSql;
    }
    Run(c, create + ") CHARACTER SET latin5");
    // Zero dates need a lenient mode; TIMESTAMP values are read in UTC.
    Run(c, "SET SESSION sql_mode = '', time_zone = '+00:00'");
    Run(c, insert + rows[0] + "), " + rows[1] + "), " + rows[2] + "), " + rows[3] + ")");

    TMyQuery q;
    q.SetConnection(&c);
    q.SQL.Add("SELECT * FROM t_all ORDER BY n");
    q.Open();
    ASSERT_EQ(q.RecordCount(), 4u);
    for (int r = 0; r < 4; ++r, q.Next()) {
        for (const Col& col : cols) {
            const std::string& expect = r == 0   ? col.low
                                        : r == 1 ? col.high
                                        : r == 2 ? ""
                                                 : col.zero;
            TField f = q.FieldByName(col.name);
            EXPECT_EQ(f.AsString(), expect) << col.name << " row " << r;
            EXPECT_EQ(f.IsNull(), r == 2 || (r == 3 && col.zero.empty()))
                << col.name << " row " << r;
        }
    }
    // Past the 36th character, to the nearest double.
    q.First();
    EXPECT_EQ(q.FieldByName("dl").AsFloat(),
              -12345678901234567890123456789012345.123456789012345678901234567890);
    EXPECT_EQ(q.FieldByName("bi").AsInteger(), INT64_MIN);
    EXPECT_EQ(q.FieldByName("bo").DataType(), ftBoolean);
    EXPECT_EQ(q.FieldByName("ti").DataType(), ftSmallint);
}

TEST_F(MySqlServer, ConnectionPropertiesAndEvents) {
    TMyConnection c;
    std::vector<std::string> events;
    c.BeforeConnect = [&] { events.push_back("BeforeConnect"); };
    c.AfterConnect = [&] { events.push_back("AfterConnect"); };
    c.BeforeDisconnect = [&] { events.push_back("BeforeDisconnect"); };
    c.AfterDisconnect = [&] { events.push_back("AfterDisconnect"); };
    // Parameters set while closed; the query connects once with them.
    SetUp(c);
    const std::string id = Value(c, "SELECT CONNECTION_ID()");
    EXPECT_EQ(Value(c, "SELECT CONNECTION_ID()"), id);
    EXPECT_EQ(Value(c, "SELECT @@character_set_client"), "latin5");
    EXPECT_EQ(events, (std::vector<std::string>{"BeforeConnect", "AfterConnect"}));

    // The same value again keeps the connection; a different one closes it.
    c.SetPort(c.Port());
    c.SetServer(c.Server());
    c.SetUsername("root");
    c.SetPassword("");
    EXPECT_TRUE(c.Connected());
    c.SetDatabase("mysql"); // selected at once
    EXPECT_EQ(Value(c, "SELECT DATABASE()"), "mysql");
    EXPECT_EQ(Value(c, "SELECT CONNECTION_ID()"), id);

    // Options refuse a change while connected; the same value is no change.
    EXPECT_EQ(ErrorOf([&] { c.Options().SetCharset("utf8"); }),
              "Cannot perform this operation on an open connection");
    c.Options().SetCharset("latin5");
    EXPECT_EQ(c.Options().Charset(), "latin5");

    TMyQuery open;
    open.SetConnection(&c);
    open.SQL.Add("SELECT 1");
    open.Open();
    c.SetServer("127.0.0.1," + std::to_string(FreePort())); // the part after "," is ignored
    EXPECT_FALSE(c.Connected());
    EXPECT_FALSE(open.Active()); // closed with its connection
    EXPECT_EQ(events, (std::vector<std::string>{"BeforeConnect", "AfterConnect", "BeforeDisconnect",
                                                "AfterDisconnect"}));
    EXPECT_NE(Value(c, "SELECT CONNECTION_ID()"), id);
    EXPECT_EQ(Value(c, "SELECT DATABASE()"), "mysql");

    // An empty Server is the local machine.
    c.SetServer("");
    EXPECT_EQ(Value(c, "SELECT 'yerel'"), "yerel");
    c.Options().SetAllowImplicitConnect(false);
    c.Close();
    EXPECT_EQ(ErrorOf([&] { Value(c, "SELECT 1"); }), "Connection is not active");
}

TEST_F(MySqlServer, ConnectFailuresLeaveTheComponentClosed) {
    struct Case {
        std::function<void(TMyConnection&)> change;
        int code;
        std::string messageStart;
    } cases[] = {
        {[](TMyConnection& c) {
             c.SetServer("127.0.0.1");
             c.SetPort(FreePort());
         },
         2003, "Cannot connect to server on host '127.0.0.1':\r\nConnection refused."},
        {[](TMyConnection& c) { c.SetPassword("yanlis"); }, 1045,
         "\r\n#28000Access denied for user 'root'"},
    };
    for (const Case& k : cases) {
        TMyConnection c;
        SetUp(c);
        k.change(c);
        bool after = false;
        c.AfterConnect = [&] { after = true; };
        TMyQuery q;
        q.SetConnection(&c);
        q.SQL.Add("SELECT 1");
        try {
            q.Open();
            ADD_FAILURE() << k.code;
        } catch (const EMyError& e) {
            EXPECT_EQ(e.ErrorCode(), k.code);
            EXPECT_EQ(std::string(e.what()).rfind(k.messageStart, 0), 0u) << e.what();
            EXPECT_EQ(e.Component(), &c);
        }
        EXPECT_FALSE(c.Connected());
        EXPECT_FALSE(q.Active());
        EXPECT_FALSE(after);
    }
}

TEST_F(MySqlServer, LostConnectionClosesTheComponentAndTheNextOpenReconnects) {
    TMyConnection c;
    SetUp(c);
    const std::string id = Value(c, "SELECT CONNECTION_ID()");
    RootSql("KILL CONNECTION " + id);
    TMyQuery q;
    q.SetConnection(&c);
    q.SQL.Add("SELECT 1");
    try {
        q.Open();
        ADD_FAILURE();
    } catch (const EMyError& e) {
        EXPECT_TRUE(e.IsConnectionLost()) << e.ErrorCode() << " " << e.what();
        EXPECT_EQ(e.ErrorCode(), 2013);
    }
    EXPECT_FALSE(c.Connected());
    EXPECT_FALSE(q.Active());
    q.Open();
    EXPECT_TRUE(c.Connected());
    EXPECT_NE(Value(c, "SELECT CONNECTION_ID()"), id);
}

TEST_F(MySqlServer, PersonnelQueries) {
    TMyConnection c;
    SetUp(c);
    Run(c, "CREATE OR REPLACE TABLE personel (kartno VARCHAR(22), ad VARCHAR(40), "
           "soyad VARCHAR(40)) CHARACTER SET latin5");
    Run(c, "INSERT INTO personel VALUES ('1', '\xD0\xFC\xEE', '\xDE\xE2hin'), "
           "('2', NULL, 'Bo\xFE'), ('3', 'Ali', 'Veli')");
    TMyQuery q;
    q.SetConnection(&c);
    auto open = [&](const std::string& card) {
        q.Close();
        q.SQL.Clear();
        q.SQL.Add("select * from personel where kartno='" + card + "'");
        q.Open();
    };
    open("99");
    EXPECT_EQ(q.RecordCount(), 0u);
    EXPECT_TRUE(q.Eof());
    open("1");
    EXPECT_EQ(q.RecordCount(), 1u);
    EXPECT_EQ(q.FieldByName("AD").AsString(), "\xD0\xFC\xEE");
    EXPECT_EQ(q.FieldByName("Soyad").AsString(), "\xDE\xE2hin");
    open("2");
    EXPECT_EQ(q.FieldByName("ad").AsString(), "");
    EXPECT_TRUE(q.FieldByName("ad").IsNull());

    q.Close();
    q.SQL.SetText("SELECT kartno FROM personel ORDER BY kartno");
    q.Open();
    EXPECT_EQ(q.RecordCount(), 3u);

    // An UPDATE opened as a query runs, and Open says it has no rows.
    q.Close();
    q.SQL.SetText("UPDATE personel SET ad = 'Ay\xFE"
                  "e' WHERE kartno = '2'");
    EXPECT_EQ(ErrorOf([&] { q.Open(); }), "SQL statement doesn't return rows");
    EXPECT_FALSE(q.Active());
    EXPECT_EQ(Value(c, "SELECT ad FROM personel WHERE kartno = '2'"), "Ay\xFE"
                                                                      "e");

    // A server error names the query.
    q.SQL.SetText("SELECT * FROM yok");
    try {
        q.Open();
        ADD_FAILURE();
    } catch (const EMyError& e) {
        EXPECT_EQ(e.ErrorCode(), 1146);
        EXPECT_EQ(e.Component(), &q);
    }
    EXPECT_TRUE(c.Connected());
    q.SQL.SetText("SELECT *\nFROM\npersonel WHERE");
    try {
        q.Open();
        ADD_FAILURE();
    } catch (const EMyError& e) {
        EXPECT_EQ(e.ErrorCode(), 1064);
        EXPECT_EQ(e.LineNumber(), 3) << e.what();
    }
}

TEST_F(MySqlServer, ClosingAfterThreeOfAThousandRows) {
    TMyConnection c;
    SetUp(c);
    TMyQuery q;
    q.SetConnection(&c);
    q.FetchAll = false;
    q.SQL.Add("SELECT seq, REPEAT('x', 100) FROM seq_1_to_1000");
    q.Open();
    q.Next();
    q.Next();
    EXPECT_EQ(q.Fields(0).AsString(), "3");
    q.Close();
    EXPECT_EQ(Value(c, "SELECT 'sonraki'"), "sonraki");
    q.FetchAll = true;
    q.Open();
    EXPECT_EQ(q.RecordCount(), 1000u);
}

TEST_F(MySqlServer, DatasetToolPrintsWhatTheApplicationReads) {
    std::string conn = std::string(V270_MYSQL_TOOL) + " --dataset -h " + Env("V270_MYSQL_HOST") +
                       " -P " + Env("V270_MYSQL_PORT") + " -u root -D " + kDb;
    int status = 0;
    std::string out =
        Shell(conn + " -e \"SELECT 1.5 AS f, DATE'2024-02-29' AS d, NULL AS n, 'a' AS s, "
                     "TIME'-08:05:00' AS t, TRUE AS b\"",
              &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "f\td\tn\ts\tt\tb\n1,5\t29.02.2024\t\ta\t-08:05:00\t1\n");
    std::string err = Shell(conn + " -e 'DO 1' 2>&1", &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "ERROR\nSQL statement doesn't return rows\n");
}

} // namespace
