// The client against a scripted server: what a real server will not do.
#include "FakeServer.h"

#include "mysql/MyQuery.h"

#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <netdb.h>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

using namespace v270::mysql;
using namespace v270::mysql::test;

namespace {

TMySQLAPI& Api() {
    return TMySQLAPIDirect::Instance();
}

struct Login {
    uint32_t flags = 0;
    int charset = -1;
    std::string user, password, database;
};

// Takes a 4.1 login packet apart.
Login ParseLogin(const std::string& p) {
    Login l;
    PacketReader r(reinterpret_cast<const uint8_t*>(p.data()), p.size());
    l.flags = r.ReadUInt32();
    r.ReadUInt32();
    l.charset = r.ReadByte();
    r.Skip(23);
    l.user = r.ReadNulString();
    uint8_t first = r.ReadByte();
    if (first == 20)
        l.password = std::string(1, char(20)) + r.ReadString(20);
    else if (first == 0)
        l.password = std::string(1, '\0');
    else
        l.password = std::string(1, char(first)) + r.ReadNulString() + std::string(1, '\0');
    l.database = r.ReadNulString();
    return l;
}

ConnectOptions Options(const FakeServer& server, std::string password = "pw") {
    ConnectOptions o;
    o.server = "127.0.0.1";
    o.port = server.Port();
    o.user = "u";
    o.password = std::move(password);
    o.database = "personel";
    o.connectionTimeout = 5;
    return o;
}

// Runs a connect and returns the error code (0 on success).
int ConnectCode(const ConnectOptions& o, std::string* message = nullptr) {
    try {
        OpenSession s = ConnectSession(Api(), o);
        Api().mysql_close(s.session);
        return 0;
    } catch (const EMySqlException& e) {
        if (message) *message = e.what();
        return e.Code();
    }
}

const std::string kScramble = "abcdefghijklmnopqrst";

std::string Native(const std::string& password) {
    uint8_t out[20];
    ScrambleNative(reinterpret_cast<const uint8_t*>(kScramble.data()), password, out);
    return std::string(1, char(20)) + std::string(reinterpret_cast<char*>(out), 20);
}

std::string Old(const std::string& scramble, const std::string& password) {
    return ScrambleOld(reinterpret_cast<const uint8_t*>(scramble.data()), password) +
           std::string(1, '\0');
}

} // namespace

TEST(MySqlFakeServer, LoginPacketAndAfterLoginStatement) {
    struct Case {
        std::string charset, version, password, expectPassword, expectStatement;
        int expectCharset;
    } cases[] = {
        {"latin5", "5.5.5-10.11.6", "pw", Native("pw"), "\x03SET NAMES latin5", 8},
        {"UTF8", "5.1.73", "", std::string(1, '\0'), "\x03SET NAMES utf8", 33},
        {"latin5", "4.0.18", "pw", Native("pw"), "\x01", 8}, // 4.0: no SET NAMES, only COM_QUIT
    };
    for (const Case& c : cases) {
        FakeServer server({Step::Out(Packet(0, GreetingPayload(0xF7FF, c.version))), Step::In(),
                           Step::Out(Packet(2, OkPayload())), Step::In(),
                           Step::Out(Packet(1, OkPayload())), Step::In()});
        ConnectOptions o = Options(server, c.password);
        o.charset = c.charset;
        EXPECT_EQ(ConnectCode(o), 0);
        const auto& got = server.Finish();
        ASSERT_GE(got.size(), 2u) << c.version;
        Login l = ParseLogin(got[0].payload);
        EXPECT_EQ(got[0].seq, 1);
        EXPECT_EQ(l.flags, 0x3A28Fu);
        EXPECT_EQ(l.charset, c.expectCharset);
        EXPECT_EQ(l.user, "u");
        EXPECT_EQ(l.password, c.expectPassword);
        EXPECT_EQ(l.database, "personel");
        EXPECT_EQ(got[1].payload, c.expectStatement) << c.version;
        EXPECT_EQ(got[1].seq, 0);
    }
}

TEST(MySqlFakeServer, NamesGoAsUtf8OnlyOnAUtf8Connection) {
    // The component's names are Windows Turkish 8-bit text: "şifre", "Çağ".
    const std::string password = "\xFEifre",
                      user = "\xC7"
                             "a\xF0",
                      database = "\xF0\xFCn";
    struct Case {
        std::string charset;
        std::string user, password, database, setNames;
    } cases[] = {
        {"UTF8",
         "\xC3\x87"
         "a\xC4\x9F",
         "\xC5\x9F"
         "ifre",
         "\xC4\x9F\xC3\xBCn", "SET NAMES utf8"},
        {"latin5", user, password, database, "SET NAMES latin5"},
    };
    for (const Case& c : cases) {
        FakeServer server({Step::Out(Packet(0, GreetingPayload())), Step::In(),
                           Step::Out(Packet(2, OkPayload())), Step::In(),
                           Step::Out(Packet(1, OkPayload())), Step::In()});
        TMyConnection connection;
        connection.SetServer("127.0.0.1");
        connection.SetPort(server.Port());
        connection.SetUsername(user);
        connection.SetPassword(password);
        connection.SetDatabase(database);
        connection.Options().SetCharset(c.charset);
        connection.Connect();
        connection.Close();
        const auto& got = server.Finish();
        ASSERT_GE(got.size(), 2u);
        Login l = ParseLogin(got[0].payload);
        EXPECT_EQ(l.user, c.user) << c.charset;
        EXPECT_EQ(l.password, Native(c.password)) << c.charset;
        EXPECT_EQ(l.database, c.database) << c.charset;
        EXPECT_EQ(got[1].payload, "\x03" + c.setNames);
    }
}

TEST(MySqlFakeServer, PasswordFieldByGreetingKind) {
    struct Case {
        uint16_t caps;
        bool secondPart;
        std::string expect;
    } cases[] = {
        // No second scramble part: eight "x" and a 0 byte.
        {0xF7FF, false, "xxxxxxxx" + std::string(1, '\0')},
        // No CLIENT_SECURE_CONNECTION: the pre-4.1 scramble and a 0 byte.
        {0x77FF, true, Old(kScramble, "pw")},
    };
    for (const Case& c : cases) {
        FakeServer server(
            {Step::Out(Packet(0, GreetingPayload(c.caps, "5.5.5-10.11.6", c.secondPart))),
             Step::In(), Step::Out(Packet(2, OkPayload())), Step::In()});
        EXPECT_EQ(ConnectCode(Options(server)), 0);
        const auto& got = server.Finish();
        ASSERT_GE(got.size(), 1u);
        EXPECT_EQ(ParseLogin(got[0].payload).password, c.expect);
    }
    for (unsigned char ch : Old(kScramble, "pw").substr(0, 8))
        EXPECT_TRUE(ch >= 64 - 31 && ch <= 95 + 31); // a letter-range byte after the XOR
}

TEST(MySqlFakeServer, PreProtocol41LoginPacket) {
    // A server without CLIENT_PROTOCOL_41 gets 2-byte flags and a 3-byte size.
    FakeServer server({Step::Out(Packet(0, GreetingPayload(0x75FF))), Step::In(),
                       Step::Out(Packet(2, Bytes({0, 0, 0, 2, 0}))), Step::In()});
    EXPECT_EQ(ConnectCode(Options(server)), 0);
    const auto& got = server.Finish();
    ASSERT_GE(got.size(), 1u);
    PacketReader r(reinterpret_cast<const uint8_t*>(got[0].payload.data()), got[0].payload.size());
    EXPECT_EQ(r.ReadUInt16(), 0xA28Fu & ~0x200u);
    EXPECT_EQ(r.ReadUInt24(), 0u);
    EXPECT_EQ(r.ReadNulString(), "u");
    EXPECT_EQ(r.ReadString(9), Old(kScramble, "pw"));
}

TEST(MySqlFakeServer, OldScrambleOnRequest) {
    FakeServer server({Step::Out(Packet(0, GreetingPayload())), Step::In(),
                       Step::Out(Packet(2, Bytes({0xFE}))), Step::In(),
                       Step::Out(Packet(4, OkPayload())), Step::In()});
    EXPECT_EQ(ConnectCode(Options(server)), 0);
    const auto& got = server.Finish();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[1].seq, 3);
    EXPECT_EQ(got[1].payload, Old(kScramble, "pw"));
}

TEST(MySqlFakeServer, ScrambleExchangeOf24Bytes) {
    const std::string next = "ABCDEFGHIJKLMNOPQRST";
    // "*" form: the new scramble's pre-4.1 scramble.
    {
        FakeServer server({Step::Out(Packet(0, GreetingPayload())), Step::In(),
                           Step::Out(Packet(2, "*\x01\x02\x03" + next)), Step::In(),
                           Step::Out(Packet(4, OkPayload())), Step::In()});
        EXPECT_EQ(ConnectCode(Options(server, "p w")), 0);
        const auto& got = server.Finish();
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(got[1].seq, 3);
        EXPECT_EQ(got[1].payload, Old(next, "p w"));
    }
    // Otherwise: scramble = bytes 4..23 XOR SHA1(bytes 0..3 + SHA1(password
    // without blanks)); the reply is scramble XOR SHA1(password).
    {
        const std::string head = "\x05\x06\x07\x08";
        FakeServer server({Step::Out(Packet(0, GreetingPayload())), Step::In(),
                           Step::Out(Packet(2, head + next)), Step::In(),
                           Step::Out(Packet(4, OkPayload())), Step::In()});
        EXPECT_EQ(ConnectCode(Options(server, "p w")), 0);
        const auto& got = server.Finish();
        ASSERT_GE(got.size(), 2u);
        auto sha = [](const std::string& s) {
            unsigned char md[20];
            unsigned int n = 20;
            EVP_Digest(s.data(), s.size(), md, &n, EVP_sha1(), nullptr);
            return std::string(reinterpret_cast<char*>(md), 20);
        };
        std::string s1 = sha("pw"), t = sha(head + s1), expect(20, '\0');
        for (int i = 0; i < 20; ++i)
            expect[i] = static_cast<char>(next[i] ^ t[i] ^ s1[i]);
        EXPECT_EQ(got[1].seq, 3);
        EXPECT_EQ(got[1].payload, expect);
    }
}

TEST(MySqlFakeServer, BrokenGreetings) {
    std::string g = GreetingPayload();
    struct Case {
        std::vector<Step> script;
        int code;
        std::string message;
    } cases[] = {
        {{Step::Out(Packet(0, Bytes({9}) + g.substr(1)))},
         2007,
         "Protocol mismatch. Server Version = 9 Client Version = 10"},
        {{Step::Out(Packet(1, g))},
         1156,
         "\r\nReceiveHeader: Net packets out of order: received[1], expected[0]"},
        // The peer closes in the middle of the greeting.
        {{Step::Out(Packet(0, g).substr(0, 20)), Step::Hangup()},
         2013,
         "Lost connection to MySQL server during query"},
        // The server closes right after accepting.
        {{Step::Hangup()}, 2013, "Lost connection to MySQL server during query"},
        // A greeting cut inside the thread id.
        {{Step::Out(Packet(0, g.substr(0, 16)))}, 2027, "Malformed packet"},
    };
    for (Case& c : cases) {
        FakeServer server(c.script);
        std::string message;
        EXPECT_EQ(ConnectCode(Options(server), &message), c.code);
        EXPECT_EQ(message, c.message);
    }
}

namespace {
// A logged-in session against a fake server whose remaining script follows
// the login.
struct FakeSession {
    explicit FakeSession(std::vector<Step> afterLogin, uint32_t flags = 0, uint16_t caps = 0xF7FF) {
        std::vector<Step> script{Step::Out(Packet(0, GreetingPayload(caps))), Step::In(),
                                 Step::Out(Packet(2, OkPayload()))};
        script.insert(script.end(), afterLogin.begin(), afterLogin.end());
        server = std::make_unique<FakeServer>(script);
        session = Api().mysql_init();
        Api().mysql_options(session.get(), MYSQL_OPT_CONNECT_TIMEOUT, 5);
        ok = Api().mysql_real_connect(session.get(), "127.0.0.1", "u", "pw", "", server->Port(),
                                      flags) != nullptr;
    }
    ~FakeSession() { Api().mysql_close(session); }
    std::unique_ptr<FakeServer> server;
    MySqlHandle session;
    bool ok = false;
};
} // namespace

TEST(MySqlFakeServer, ColumnDefinitionsEndingEarly) {
    FakeSession f({Step::In(), Step::Out(Packet(1, Bytes({3})) + Packet(2, ColumnDef("a")) +
                                         Packet(3, ColumnDef("b")) + Packet(4, EofPayload()))});
    ASSERT_TRUE(f.ok) << f.session->errorText;
    EXPECT_EQ(Api().mysql_real_query(f.session.get(), "SELECT a,b,c FROM t"), 2000);
    EXPECT_EQ(Api().mysql_error(f.session.get()), "Unknown MySQL error");
}

TEST(MySqlFakeServer, MalformedRepliesAreReportedNotCrashed) {
    struct Case {
        std::string reply;
    } cases[] = {
        {Packet(1, Bytes({0, 0xFC}))}, // OK cut in a length
        {Packet(1, Bytes({1})) + Packet(2, ColumnDef("a").substr(0, 20)) +
         Packet(3, EofPayload())}, // definition cut short
        {Packet(1, Bytes({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}))}, // absurd count
    };
    for (const Case& c : cases) {
        FakeSession f({Step::In(), Step::Out(c.reply)});
        ASSERT_TRUE(f.ok);
        EXPECT_EQ(Api().mysql_real_query(f.session.get(), "SELECT 1"), 2027) << &c - cases;
        EXPECT_EQ(Api().mysql_error(f.session.get()), "Malformed packet");
    }
    // A row whose value runs past the packet.
    FakeSession f({Step::In(), Step::Out(Packet(1, Bytes({1})) + Packet(2, ColumnDef("a")) +
                                         Packet(3, EofPayload()) + Packet(4, Bytes({9, 'a'})))});
    ASSERT_EQ(Api().mysql_real_query(f.session.get(), "SELECT a"), 0);
    MySqlResult r = Api().mysql_use_result(f.session.get());
    ASSERT_TRUE(r);
    EXPECT_EQ(Api().mysql_fetch_row(r.get()), nullptr);
    EXPECT_EQ(Api().mysql_errno(f.session.get()), 2027);
}

TEST(MySqlFakeServer, SixteenMegabytePacketsBothWays) {
    std::string value(17000000, 'v');
    std::string row = Lc(value);
    // The statement goes out as two packets (0 and 1): the reply starts at 2.
    FakeSession f({Step::In(),
                   Step::Out(Packet(2, Bytes({1})) + Packet(3, ColumnDef("a")) +
                             Packet(4, EofPayload()) + Packet(5, row.substr(0, kMaxPacketPayload)) +
                             Packet(6, row.substr(kMaxPacketPayload)) + Packet(7, EofPayload()))});
    ASSERT_TRUE(f.ok);
    std::string sql = "SELECT '" + std::string(20000000, 's') + "'";
    ASSERT_EQ(Api().mysql_real_query(f.session.get(), sql), 0) << f.session->errorText;
    MySqlResult r = Api().mysql_use_result(f.session.get());
    ASSERT_TRUE(r);
    const TMySqlBinds* b = Api().mysql_fetch_row(r.get());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->Length(0), value.size());
    EXPECT_TRUE(b->Field(0) == value);
    EXPECT_EQ(Api().mysql_fetch_row(r.get()), nullptr);
    EXPECT_EQ(Api().mysql_errno(f.session.get()), 0);
    const auto& got = f.server->Finish();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].payload.size(), sql.size() + 1);
    EXPECT_EQ(got[1].seq, 1); // the second fragment
}

namespace {
std::string Compressed(uint8_t seq, const std::string& plain) {
    std::string out(compressBound(plain.size()), '\0');
    uLongf n = out.size();
    compress(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(plain.data()),
             plain.size());
    out.resize(n);
    auto le = [](size_t v) { return Bytes({int(v & 0xFF), int((v >> 8) & 0xFF), int(v >> 16)}); };
    return le(n) + std::string(1, char(seq)) + le(plain.size()) + out;
}
} // namespace

TEST(MySqlFakeServer, CompressedFraming) {
    std::string result = Packet(1, Bytes({1})) + Packet(2, ColumnDef("a")) +
                         Packet(3, EofPayload()) + Packet(4, Lc("Çığ")) + Packet(5, EofPayload());
    FakeSession f({Step::InCompressed(), Step::Out(Compressed(1, result)), Step::InCompressed(),
                   Step::Out(Compressed(1, Packet(1, OkPayload(7))))},
                  CLIENT_COMPRESS);
    ASSERT_TRUE(f.ok);
    EXPECT_TRUE(f.session->net.Compress());
    ASSERT_EQ(Api().mysql_real_query(f.session.get(), "SELECT a"), 0);
    MySqlResult r = Api().mysql_use_result(f.session.get());
    ASSERT_TRUE(r);
    const TMySqlBinds* b = Api().mysql_fetch_row(r.get());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->Field(0), "Çığ");
    EXPECT_EQ(Api().mysql_fetch_row(r.get()), nullptr);
    Api().mysql_free_result(r);
    std::string update = "UPDATE personel SET ad = 'x' WHERE kartno = '0000000000000000012345'";
    ASSERT_EQ(Api().mysql_real_query(f.session.get(), update), 0);
    EXPECT_EQ(Api().mysql_affected_rows(f.session.get()), 7u);
    const auto& got = f.server->Finish();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(ParseLogin(got[0].payload).flags & CLIENT_COMPRESS, uint32_t(CLIENT_COMPRESS));
    // 4 + 9 bytes: at most 50, sent plain inside the compressed frame.
    EXPECT_EQ(got[1].plainLength, 0u);
    EXPECT_EQ(got[1].payload, Packet(0, "\x03SELECT a"));
    EXPECT_EQ(got[2].plainLength, update.size() + 5);
    EXPECT_EQ(got[2].payload, Packet(0, "\x03" + update));
}

TEST(MySqlFakeServer, CloseSendsQuitOnce) {
    FakeSession f({Step::In(), Step::In()});
    ASSERT_TRUE(f.ok);
    f.session->Close();
    f.session->Close();
    const auto& got = f.server->Finish();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].payload, "\x01");
}

namespace {
size_t OpenFds() {
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}
} // namespace

TEST(MySqlTransport, TimedConnectGivesUpAndLeaksNothing) {
    // A listener that never accepts, with its backlog filled, leaves further
    // connects hanging in SYN.
    int l = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(l, 0), 0);
    socklen_t len = sizeof a;
    ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        TConnector c("127.0.0.1", ntohs(a.sin_port), 0);
        int fd = c.Run(200);
        if (fd < 0) break;
        fillers.push_back(fd);
    }
    size_t before = OpenFds();
    TVioTcp vio("127.0.0.1", ntohs(a.sin_port), 0);
    vio.SetTimeout(1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(vio.TryConnect());
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(vio.LastError(),
              "Cannot connect to server on host '127.0.0.1': Connection timed out");
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_EQ(OpenFds(), before);
    EXPECT_THROW(vio.Connect(), SocketException);
    for (int fd : fillers)
        ::close(fd);
    ::close(l);
}

TEST(MySqlFakeServer, LocalInfileRequestSendsNoFileAndFails) {
    // A server naming a local file gets an empty packet, never the file, and
    // the statement fails; the session stays in step for the next one.
    FakeSession f({Step::In(), Step::Out(Packet(1, Bytes({0xFB}) + "/etc/passwd")), Step::In(),
                   Step::Out(Packet(3, OkPayload(0))), Step::In(),
                   Step::Out(Packet(1, OkPayload(1)))});
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(Api().mysql_real_query(f.session.get(), "LOAD DATA LOCAL INFILE 'x' INTO TABLE t"),
              2068);
    EXPECT_EQ(Api().mysql_error(f.session.get()),
              "LOAD DATA LOCAL INFILE file request rejected due to restrictions on access");
    EXPECT_EQ(Api().mysql_real_query(f.session.get(), "DO 1"), 0);
    EXPECT_EQ(Api().mysql_affected_rows(f.session.get()), 1u);
    const auto& got = f.server->Finish();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[2].seq, 2);
    EXPECT_EQ(got[2].payload, "");
}

TEST(MySqlFakeServer, FramingErrorGivesUpTheStream) {
    // A row that runs past its packet, and a row out of sequence. The rest of
    // the result cannot be told apart from the next reply: the statement
    // after it must fail as a lost connection without reaching the server,
    // and the component closes itself then.
    const std::string head = Packet(1, Bytes({1})) + Packet(2, ColumnDef("a")) +
                             Packet(3, EofPayload()) + Packet(4, Lc("ok"));
    struct Case {
        std::string rows;
        int code;
    } cases[] = {
        {Packet(5, Bytes({9, 'a'})) + Packet(6, EofPayload()), 2027},
        {Packet(9, Lc("b")) + Packet(6, EofPayload()), 1156},
    };
    for (const Case& c : cases) {
        FakeServer server({Step::Out(Packet(0, GreetingPayload())), Step::In(),
                           Step::Out(Packet(2, OkPayload())), Step::In(), Step::Out(head + c.rows),
                           Step::In()});
        TMyConnection connection;
        connection.SetServer("127.0.0.1");
        connection.SetPort(server.Port());
        connection.SetConnectionTimeout(5);
        TMyQuery query;
        query.SetConnection(&connection);
        query.SQL.Add("SELECT a");
        try {
            query.Open();
            ADD_FAILURE();
        } catch (const EMyError& e) {
            EXPECT_EQ(e.ErrorCode(), c.code);
            EXPECT_EQ(e.Component(), &query);
        }
        EXPECT_FALSE(query.Active());
        try {
            query.Open();
            ADD_FAILURE();
        } catch (const EMyError& e) {
            EXPECT_EQ(e.ErrorCode(), 2013);
            EXPECT_TRUE(e.IsConnectionLost());
        }
        EXPECT_FALSE(connection.Connected());
        const auto& got = server.Finish();
        EXPECT_EQ(got.size(), 2u) << c.code; // the login and the first statement only
    }
}

TEST(MySqlFakeServer, StalledServerIsGivenUp) {
    // After login, the server answers nothing.
    auto stalled = [] {
        return std::vector<Step>{Step::Out(Packet(0, GreetingPayload())), Step::In(),
                                 Step::Out(Packet(2, OkPayload())), Step::In(),
                                 Step::Silence(5000)};
    };
    // The statements after login run under the connection time limit.
    {
        FakeServer server(stalled());
        ConnectOptions o = Options(server);
        o.charset = "latin5";
        o.connectionTimeout = 1;
        auto start = std::chrono::steady_clock::now();
        std::string message;
        EXPECT_EQ(ConnectCode(o, &message), 2013);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(message.rfind("Lost connection to MySQL server during query\r\n"
                                "Error on data reading from the connection:",
                                0),
                  0u)
            << message;
    }
    // v270-mysql --timeout limits every statement.
    for (const char* mode : {"", " --dataset"}) {
        FakeServer server(stalled());
        std::string cmd = std::string(V270_MYSQL_TOOL) + " -h 127.0.0.1 -P " +
                          std::to_string(server.Port()) + " --timeout 1" + mode +
                          " -e 'SELECT 1' 2>&1";
        auto start = std::chrono::steady_clock::now();
        std::string out;
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_TRUE(p);
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        int rc = pclose(p);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(WEXITSTATUS(rc), 1);
        EXPECT_EQ(out.rfind("ERROR 2013\nLost connection to MySQL server during query", 0), 0u)
            << mode << ": " << out;
    }
}

TEST(MySqlTransport, UnknownHostGivesTheResolverText) {
    TVioTcp vio("nosuch.invalid", 3306, 0);
    vio.SetTimeout(5);
    EXPECT_FALSE(vio.TryConnect());
    // The resolver's own text and an errno value, not its negative code.
    std::smatch m;
    const std::string text = vio.LastError();
    ASSERT_TRUE(std::regex_match(text, m,
                                 std::regex("Unknown host 'nosuch\\.invalid'\\.\r\n[^\r\n]+\\.\r\n"
                                            "Socket Error Code: ([0-9]+)\\(\\$([0-9A-F]+)\\)")))
        << text;
    EXPECT_GT(std::stoi(m[1]), 0);
    EXPECT_EQ(std::stoi(m[1]), std::stoi(m[2], nullptr, 16));
    EXPECT_EQ(vio.LastErrorCode(), std::stoi(m[1]));
}

TEST(MySqlTransport, HostLookupIsUnderTheConnectLimit) {
    // A resolver that takes longer than the limit, as one whose DNS server
    // never answers.
    struct Restore {
        TConnector::ResolveFunction old;
        ~Restore() { TConnector::SetResolver(old); }
    } restore{TConnector::SetResolver([](const char*, const char*, const addrinfo*, addrinfo**) {
        std::this_thread::sleep_for(std::chrono::seconds(4));
        return EAI_AGAIN;
    })};
    TVioTcp vio("pdks.example", 3306, 0);
    vio.SetTimeout(1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(vio.TryConnect());
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_EQ(vio.LastError(),
              "Cannot connect to server on host 'pdks.example': Connection timed out");
    // A numeric address needs no lookup.
    TVioTcp numeric("127.0.0.1", 1, 0);
    numeric.SetTimeout(1);
    EXPECT_FALSE(numeric.TryConnect());
    EXPECT_EQ(numeric.LastError().rfind("Cannot connect to server on host '127.0.0.1':\r\n", 0), 0u)
        << numeric.LastError();
}

TEST(MySqlFakeServer, UnsupportedTransport) {
    MySqlHandle s = Api().mysql_init();
    Api().mysql_options(s.get(), MYSQL_OPT_NAMED_PIPE, 0);
    EXPECT_EQ(Api().mysql_real_connect(s.get(), "127.0.0.1", "u", "", "", 1, 0), nullptr);
    EXPECT_EQ(Api().mysql_errno(s.get()), 2046);
    EXPECT_EQ(Api().mysql_error(s.get()), "Wrong or unknown protocol");
    Api().mysql_close(s);
}

// caching_sha2_password as MySQL 8 speaks it, and plugin switches.
namespace {

struct PluginLogin {
    uint32_t flags = 0;
    std::string user, response, database, plugin;
};

// Takes a 4.1 login packet with CLIENT_PLUGIN_AUTH apart.
PluginLogin ParsePluginLogin(const std::string& p) {
    PluginLogin l;
    PacketReader r(reinterpret_cast<const uint8_t*>(p.data()), p.size());
    l.flags = r.ReadUInt32();
    r.Skip(4 + 1 + 23);
    l.user = r.ReadNulString();
    l.response = r.ReadString(r.ReadByte());
    l.database = r.ReadNulString();
    l.plugin = r.ReadNulString();
    r.ExpectEnd();
    return l;
}

std::string Hex(const std::string& s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

const std::string kPassword = "gizli";
const std::string kSha2 = "caching_sha2_password";

// The password with its 0 byte, XOR the greeting's scramble: what RSA carries.
std::string MaskedPassword() {
    std::string m = kPassword + std::string(1, '\0');
    for (size_t i = 0; i < m.size(); ++i)
        m[i] = static_cast<char>(m[i] ^ kScramble[i % 20]);
    return m;
}

} // namespace

TEST(MySqlCachingSha2, FastPath) {
    FakeServer server({Step::Out(Packet(0, PluginGreetingPayload(kSha2))), Step::In(),
                       Step::Out(Packet(2, Bytes({1, 3}))), Step::Out(Packet(3, OkPayload())),
                       Step::In()});
    EXPECT_EQ(ConnectCode(Options(server, kPassword)), 0);
    const auto& got = server.Finish();
    ASSERT_EQ(got.size(), 2u);
    PluginLogin l = ParsePluginLogin(got[0].payload);
    EXPECT_EQ(l.flags, 0x3A28Fu | CLIENT_PLUGIN_AUTH);
    EXPECT_EQ(l.plugin, kSha2);
    EXPECT_EQ(l.database, "personel");
    // SHA-256(pw) XOR SHA-256(SHA-256(SHA-256(pw)) + scramble), worked out apart.
    EXPECT_EQ(Hex(l.response), "d1a6695c2350492bec2d80890217f8191edb91e98769d7cd70342c135975bd50");
    EXPECT_EQ(got[1].payload, "\x01"); // the next thing sent is COM_QUIT
}

TEST(MySqlCachingSha2, FullAuthenticationOverTlsSendsThePasswordInside) {
    FakeServer server({Step::Out(Packet(0, PluginGreetingPayload(kSha2, true))), Step::In(),
                       Step::Tls(), Step::In(), Step::Out(Packet(3, Bytes({1, 4}))), Step::In(),
                       Step::Out(Packet(5, OkPayload())), Step::In()});
    ConnectOptions o = Options(server, kPassword);
    o.protocol = 5;
    EXPECT_EQ(ConnectCode(o), 0);
    const auto& got = server.Finish();
    ASSERT_EQ(got.size(), 4u);
    // The SSL request is the login's fixed part alone, with CLIENT_SSL.
    EXPECT_EQ(got[0].seq, 1);
    EXPECT_EQ(got[0].payload.size(), 32u);
    EXPECT_EQ(PacketReader(reinterpret_cast<const uint8_t*>(got[0].payload.data()), 4).ReadUInt32(),
              0x3AA8Fu | CLIENT_PLUGIN_AUTH);
    EXPECT_EQ(got[1].seq, 2);
    EXPECT_EQ(ParsePluginLogin(got[1].payload).user, "u");
    EXPECT_EQ(got[2].seq, 4);
    EXPECT_EQ(got[2].payload, kPassword + std::string(1, '\0'));
}

TEST(MySqlCachingSha2, FullAuthenticationOverPlainTcpUsesRsa) {
    // The server's key asked for with request 2.
    {
        FakeServer server({Step::Out(Packet(0, PluginGreetingPayload(kSha2))), Step::In(),
                           Step::Out(Packet(2, Bytes({1, 4}))), Step::In(),
                           Step::Out(Packet(4, "\x01" + Identity().publicKeyPem)), Step::In(),
                           Step::Out(Packet(6, OkPayload())), Step::In()});
        EXPECT_EQ(ConnectCode(Options(server, kPassword)), 0);
        const auto& got = server.Finish();
        ASSERT_EQ(got.size(), 4u);
        EXPECT_EQ(got[1].payload, "\x02");
        EXPECT_EQ(got[1].seq, 3);
        EXPECT_EQ(got[2].seq, 5);
        EXPECT_EQ(got[2].payload.size(), 256u);
        EXPECT_EQ(Identity().Decrypt(got[2].payload), MaskedPassword());
    }
    // The key given as a file: no request.
    const std::string keyFile =
        ::testing::TempDir() + "v270-server-key-" + std::to_string(getpid()) + ".pem";
    {
        std::ofstream(keyFile) << Identity().publicKeyPem;
        FakeServer server({Step::Out(Packet(0, PluginGreetingPayload(kSha2))), Step::In(),
                           Step::Out(Packet(2, Bytes({1, 4}))), Step::In(),
                           Step::Out(Packet(4, OkPayload())), Step::In()});
        ConnectOptions o = Options(server, kPassword);
        o.serverPublicKey = keyFile;
        EXPECT_EQ(ConnectCode(o), 0);
        const auto& got = server.Finish();
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[1].seq, 3);
        EXPECT_EQ(Identity().Decrypt(got[1].payload), MaskedPassword());
        std::remove(keyFile.c_str());
    }
    // A key that is no key, and a key file that is not there.
    {
        FakeServer server({Step::Out(Packet(0, PluginGreetingPayload(kSha2))), Step::In(),
                           Step::Out(Packet(2, Bytes({1, 4}))), Step::In(),
                           Step::Out(Packet(4, "\x01-----BEGIN PUBLIC KEY-----\nxx\n"))});
        std::string message;
        EXPECT_EQ(ConnectCode(Options(server, kPassword), &message), 2061);
        EXPECT_EQ(message, "Authentication plugin 'caching_sha2_password' reported error: the "
                           "server's public key is not an RSA public key in PEM form");
    }
    {
        FakeServer server({Step::Out(Packet(0, PluginGreetingPayload(kSha2))), Step::In(),
                           Step::Out(Packet(2, Bytes({1, 4}))), Step::In()});
        ConnectOptions o = Options(server, kPassword);
        o.serverPublicKey = keyFile;
        EXPECT_EQ(ConnectCode(o), 2061);
        // Nothing of the password went: the login is given up with COM_QUIT.
        const auto& got = server.Finish();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[1].payload, "\x01");
    }
}

TEST(MySqlCachingSha2, WrongPassword) {
    const std::string denied = "#28000Access denied for user 'u'@'localhost' (using password: YES)";
    FakeServer server({Step::Out(Packet(0, PluginGreetingPayload(kSha2))), Step::In(),
                       Step::Out(Packet(2, ErrorPayload(1045, denied)))});
    std::string message;
    EXPECT_EQ(ConnectCode(Options(server, "yanlis"), &message), 1045);
    EXPECT_EQ(message, "\r\n" + denied);
}

TEST(MySqlCachingSha2, ServerSwitchesPluginMidLogin) {
    const std::string fresh = "ABCDEFGHIJKLMNOPQRST";
    auto switchTo = [&](const std::string& plugin) {
        return Packet(2, "\xFE" + plugin + std::string(1, '\0') + fresh + std::string(1, '\0'));
    };
    uint8_t native[20];
    ScrambleNative(reinterpret_cast<const uint8_t*>(fresh.data()), kPassword, native);
    struct Case {
        const char* what;
        std::string greetingPlugin;
        std::vector<Step> afterSwitch;
        std::string expectResponse; // what the client answers the switch with
    } cases[] = {
        {"native to caching_sha2_password",
         "mysql_native_password",
         {Step::Out(switchTo(kSha2)), Step::In(), Step::Out(Packet(4, Bytes({1, 3}))),
          Step::Out(Packet(5, OkPayload()))},
         ScrambleSha256(fresh, kPassword)},
        {"caching_sha2_password to native",
         kSha2,
         {Step::Out(switchTo("mysql_native_password")), Step::In(),
          Step::Out(Packet(4, OkPayload()))},
         std::string(reinterpret_cast<char*>(native), 20)},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Step> script{Step::Out(Packet(0, PluginGreetingPayload(c.greetingPlugin))),
                                 Step::In()};
        script.insert(script.end(), c.afterSwitch.begin(), c.afterSwitch.end());
        script.push_back(Step::In());
        FakeServer server(script);
        EXPECT_EQ(ConnectCode(Options(server, kPassword)), 0);
        const auto& got = server.Finish();
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(ParsePluginLogin(got[0].payload).plugin, c.greetingPlugin);
        EXPECT_EQ(got[1].seq, 3);
        EXPECT_EQ(Hex(got[1].payload), Hex(c.expectResponse));
        EXPECT_EQ(got[2].payload, "\x01");
    }
    // Plugins this client will not answer: the login is given up.
    for (const auto& [plugin, why] : std::vector<std::pair<std::string, std::string>>{
             {"dialog", "not known to this client"},
             {"mysql_clear_password", "it would send the password in clear without TLS"}}) {
        FakeServer server({Step::Out(Packet(0, PluginGreetingPayload(kSha2))), Step::In(),
                           Step::Out(switchTo(plugin)), Step::In()});
        std::string message;
        EXPECT_EQ(ConnectCode(Options(server, kPassword), &message), 2059);
        EXPECT_EQ(message, "Authentication plugin '" + plugin + "' cannot be loaded: " + why);
        const auto& got = server.Finish();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[1].payload, "\x01");
    }
}

TEST(MySqlCachingSha2, TlsAskedOfAServerWithoutIt) {
    FakeServer server({Step::Out(Packet(0, PluginGreetingPayload(kSha2))), Step::In()});
    ConnectOptions o = Options(server, kPassword);
    o.protocol = 5;
    std::string message;
    EXPECT_EQ(ConnectCode(o, &message), 2026);
    EXPECT_EQ(message, "SSL connection error\r\nSSL is required but the server doesn't support it");
    EXPECT_TRUE(server.Finish().empty()); // no login went in the clear
}
