// The push against real servers: the single test MariaDB and, when it
// runs, the three-node Galera cluster. Every record of every site ends in
// the central table exactly once, whatever cuts a push short.

#include "CentralTestDatabase.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/testing/TestFiles.h"
#include "sink/OutboxPush.h"
#include "sink/SinkStatus.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <atomic>
#include <csignal>
#include <numeric>
#include <thread>

using v270::mysql::TMySQLAPI;
using v270::mysql::TMySQLAPIDirect;

namespace {

struct Stop {}; // thrown to end a push between its commit and its cursor

// The real client, except that chosen statements fail with a chosen error
// before they reach the server, as a certification conflict, a lock wait
// timeout or a lost connection would have them.
class FaultyApi final : public TMySQLAPI {
  public:
    struct Fault {
        std::string statementStart;
        int code;
        int times;
    };
    std::vector<Fault> faults;
    std::atomic<int> failed{0};
    std::atomic<int> conflictsSeen{0}; // 1213 and 1205 from the server itself

    TMySQLAPIDirect& d = TMySQLAPIDirect::Instance();
    using Session = v270::mysql::TMySqlSession;
    v270::mysql::MySqlHandle mysql_init() override { return d.mysql_init(); }
    int mysql_options(Session* s, int o, int v) override { return d.mysql_options(s, o, v); }
    int mysql_options(Session* s, int o, const std::string& v) override {
        return d.mysql_options(s, o, v);
    }
    Session* mysql_real_connect(Session* s, const std::string& h, const std::string& u,
                                const std::string& p, const std::string& db, int port,
                                uint32_t f) override {
        return d.mysql_real_connect(s, h, u, p, db, port, f);
    }
    int mysql_ssl_set(Session* s, const std::string& k, const std::string& c, const std::string& ca,
                      const std::string& cp, const std::string& ci) override {
        return d.mysql_ssl_set(s, k, c, ca, cp, ci);
    }
    void mysql_close(v270::mysql::MySqlHandle& s) override { d.mysql_close(s); }
    int mysql_select_db(Session* s, const std::string& db) override {
        return d.mysql_select_db(s, db);
    }
    int mysql_ping(Session* s) override { return d.mysql_ping(s); }
    int mysql_kill(Session* s, uint32_t id) override { return d.mysql_kill(s, id); }
    int mysql_errno(const Session* s) override { return d.mysql_errno(s); }
    std::string mysql_error(const Session* s) override { return d.mysql_error(s); }
    std::string mysql_get_server_info(const Session* s) override {
        return d.mysql_get_server_info(s);
    }
    std::string mysql_get_host_info(const Session* s) override { return d.mysql_get_host_info(s); }
    std::string mysql_get_client_info() override { return d.mysql_get_client_info(); }
    uint32_t mysql_thread_id(const Session* s) override { return d.mysql_thread_id(s); }
    std::string mysql_character_set_name(const Session* s) override {
        return d.mysql_character_set_name(s);
    }
    void SetTimeout(Session* s, int seconds) override { d.SetTimeout(s, seconds); }
    using TMySQLAPI::mysql_real_query;
    int mysql_real_query(Session* s, const char* text, size_t length) override {
        const std::string_view sql(text, length);
        for (Fault& f : faults)
            if (f.times > 0 && sql.starts_with(f.statementStart)) {
                --f.times;
                ++failed;
                s->SetError(f.code, "injected");
                return 1;
            }
        const int r = d.mysql_real_query(s, text, length);
        if (r != 0 && (s->errorNumber == 1213 || s->errorNumber == 1205)) ++conflictsSeen;
        return r;
    }
    uint32_t mysql_field_count(const Session* s) override { return d.mysql_field_count(s); }
    uint64_t mysql_affected_rows(const Session* s) override { return d.mysql_affected_rows(s); }
    uint64_t mysql_insert_id(const Session* s) override { return d.mysql_insert_id(s); }
    std::string mysql_info(const Session* s) override { return d.mysql_info(s); }
    v270::mysql::MySqlResult mysql_use_result(Session* s) override { return d.mysql_use_result(s); }
    size_t mysql_num_fields(const v270::mysql::TMySqlResultSet* r) override {
        return d.mysql_num_fields(r);
    }
    const v270::mysql::TMYSQL_FIELD* mysql_fetch_field_direct(const v270::mysql::TMySqlResultSet* r,
                                                              size_t i) override {
        return d.mysql_fetch_field_direct(r, i);
    }
    const v270::mysql::TMySqlBinds* mysql_fetch_row(v270::mysql::TMySqlResultSet* r) override {
        return d.mysql_fetch_row(r);
    }
    void mysql_free_result(v270::mysql::MySqlResult& r) override { d.mysql_free_result(r); }
    bool mysql_more_results(const Session* s) override { return d.mysql_more_results(s); }
    int mysql_next_result(Session* s) override { return d.mysql_next_result(s); }
};

PushOptions quick() {
    PushOptions o;
    o.firstPauseMs = 10;
    o.longestPauseMs = 200;
    return o;
}

class Push : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        hosts = testHosts(cluster());
        if (hosts.isEmpty()) GTEST_SKIP() << skipText(cluster());
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        db.emplace(hosts, test.substr(0, test.find('/')) + (cluster() ? "_c" : "_s"));
    }
    bool cluster() const { return GetParam(); }
    // The hosts with the n-th first: each site through a node of its own.
    QString hostsFrom(int n) const {
        QStringList list = hosts.split(u',');
        std::rotate(list.begin(), list.begin() + (n % list.size()), list.end());
        return list.join(u',');
    }
    CentralSettings settingsFor(int n, const QString& site) const {
        return centralSettings(hostsFrom(n), db->name(), site);
    }

    QString hosts;
    std::optional<CentralTestDatabase> db;
};

// Serial numbers are outside bytes: quotes, backslashes, a NUL, a Turkish
// site name all arrive as they were; the line keeps its CR LF and the
// punch time is read from it; a line that holds no date gets none.
TEST_P(Push, ValuesArriveAsTheyWere) {
    SiteDir site;
    const QByteArray odd("a'b\\c\0d\"", 8);
    site.add(odd, 0, 2);
    {
        const auto lock = DirectoryLock::tryAcquire(site.dir());
        addToOutbox(*lock, "EMU09", 7, 0, "00012 31/02/2024 08:00:00 07 01\r\n", 1, 1700000100);
    }
    CentralConnection c(settingsFor(0, QStringLiteral("Şube-İzmir 'ön'")));
    const PushResult r = pushOutbox(site.dir(), c, quick());
    EXPECT_EQ(r.sent, 3);
    EXPECT_EQ(r.left, 0);
    const auto rows = db->select(
        "SELECT terminal_serial, line, site, DATE_FORMAT(punch_time, '%Y-%m-%d %H:%i'), "
        "enroll_number, mode, machine_number, DATE_FORMAT(received_at, '%Y-%m-%d %H:%i:%s') FROM " +
        db->name().toStdString() + ".attendance ORDER BY terminal_serial DESC, position");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(*rows[0][0], std::string(odd.constData(), size_t(odd.size())));
    EXPECT_EQ(*rows[0][1], SiteDir::lineFor(0).toStdString());
    EXPECT_EQ(QString::fromStdString(*rows[0][2]), QStringLiteral("Şube-İzmir 'ön'"));
    EXPECT_EQ(*rows[0][3], "2024-03-05 08:00");
    EXPECT_EQ(*rows[0][4], "1");
    EXPECT_EQ(*rows[0][5], "1");
    EXPECT_EQ(*rows[0][7], "2023-11-14 22:13:20");
    EXPECT_FALSE(rows[2][3]) << "31 February is no date";
    EXPECT_EQ(*rows[2][6], "7");

    const SinkStatus status = readSinkStatus(site.dir(), &c);
    EXPECT_EQ(status.outboxRecords, 0);
    ASSERT_EQ(status.terminals.size(), 2u);
    EXPECT_EQ(status.terminals[0].lastPosition, 1);
    EXPECT_EQ(status.terminals[0].lastPunch, "2024-03-05 08:01:00");
}

// Three sites push at once, each through another node; two of them are
// cut between a commit and their cursor and push again. Every record once.
TEST_P(Push, ThreeSitesAtOnceSomeBatchesTwice) {
    constexpr int kRecords = 3000;
    SiteDir sites[3];
    for (int i = 0; i < 3; ++i)
        sites[i].add("SITE" + QByteArray::number(i), 0, kRecords, 700);
    std::atomic<int> stopped{0};
    std::vector<std::thread> pushers;
    for (int i = 0; i < 3; ++i)
        pushers.emplace_back([&, i] {
            CentralConnection c(settingsFor(i, QStringLiteral("site%1").arg(i)));
            PushOptions cut = quick();
            cut.afterCommit = [&, i](long long sent) {
                if (i > 0 && sent == 1000) throw Stop{};
            };
            try {
                pushOutbox(sites[i].dir(), c, cut);
            } catch (const Stop&) {
                ++stopped;
            }
            pushOutbox(sites[i].dir(), c, quick());
        });
    for (std::thread& t : pushers)
        t.join();
    EXPECT_EQ(stopped, 2);
    EXPECT_TRUE(db->holds({{"SITE0", kRecords}, {"SITE1", kRecords}, {"SITE2", kRecords}}));
    for (SiteDir& s : sites)
        EXPECT_EQ(OutboxReader(s.dir()).countFrom(readOutboxCursor(s.dir()), nullptr), 0);
}

// A conflict (1213), a lock wait timeout (1205) and a lost connection each
// start the transaction again; more failures than tries leave the outbox
// as it was for the next push.
TEST_P(Push, ConflictsAndLostConnectionsAreRetried) {
    SiteDir site;
    site.add("EMU01", 0, 2500);
    FaultyApi api;
    api.faults = {{"COMMIT", 1213, 2}, {"INSERT IGNORE", 1205, 1}, {"INSERT INTO", 2013, 1}};
    CentralConnection c(settingsFor(0, "site"), api);
    const PushResult r = pushOutbox(site.dir(), c, quick());
    EXPECT_EQ(api.failed, 4);
    EXPECT_EQ(r.sent, 2500);
    EXPECT_TRUE(db->holds({{"EMU01", 2500}}));

    site.add("EMU01", 2500, 10);
    api.faults = {{"COMMIT", 1213, 100}};
    PushOptions few = quick();
    few.attempts = 3;
    EXPECT_THROW(pushOutbox(site.dir(), c, few), AppError);
    EXPECT_EQ(db->count(), 2500);
    EXPECT_EQ(OutboxReader(site.dir()).countFrom(readOutboxCursor(site.dir()), nullptr), 10);
    api.faults.clear();
    EXPECT_EQ(pushOutbox(site.dir(), c, quick()).sent, 10);
    EXPECT_TRUE(db->holds({{"EMU01", 2510}}));
}

// A host that is down (nothing listens) hands over to the next.
TEST_P(Push, AHostThatIsDownHandsOverToTheNext) {
    SiteDir site;
    site.add("EMU01", 0, 100);
    CentralConnection c(
        centralSettings(QStringLiteral("127.0.0.1:1,") + hosts, db->name(), "site"));
    EXPECT_EQ(pushOutbox(site.dir(), c, quick()).sent, 100);
    EXPECT_TRUE(db->holds({{"EMU01", 100}}));
    CentralConnection none(centralSettings(QStringLiteral("127.0.0.1:1"), db->name(), "site"));
    site.add("EMU01", 100, 5);
    PushOptions once = quick();
    once.attempts = 2;
    EXPECT_THROW(pushOutbox(site.dir(), none, once), AppError);
}

// The same rows written through two nodes at once: Galera's certification
// refuses one of two commits (1213), which goes again and ends well.
TEST_P(Push, TwoPushersOfTheSameRowsThroughTwoNodes) {
    constexpr int kRecords = 4000;
    SiteDir twins[2];
    for (SiteDir& s : twins)
        s.add("SAME", 0, kRecords, 100);
    FaultyApi apis[2];
    std::vector<std::thread> pushers;
    for (int i = 0; i < 2; ++i)
        pushers.emplace_back([&, i] {
            CentralConnection c(settingsFor(i, "twin"), apis[i]);
            PushOptions small = quick();
            small.batchRecords = 100;
            small.attempts = 20;
            EXPECT_EQ(pushOutbox(twins[i].dir(), c, small).sent, kRecords);
        });
    for (std::thread& t : pushers)
        t.join();
    EXPECT_TRUE(db->holds({{"SAME", kRecords}}));
    std::printf("conflicts met and retried: %d\n", apis[0].conflictsSeen + apis[1].conflictsSeen);
}

// `sink push` killed with SIGKILL at random moments, again and again; a
// last push finishes. Every record once, and the outbox empty.
TEST_P(Push, PushKilledAtRandomMoments) {
    constexpr int kRecords = 20000;
    SiteDir site;
    site.add("EMU01", 0, kRecords, 1000);
    site.writeSettings(hosts, db->name(), "site");
    auto* random = QRandomGenerator::global();
    int kills = 0;
    for (int round = 0; round < 20; ++round) {
        QProcess p;
        p.start(QStringLiteral(V270_PROGRAM), {"--dir", site.dir(), "sink", "push"});
        ASSERT_TRUE(p.waitForStarted(10000));
        QThread::msleep(random->bounded(50u, 400u));
        if (p.state() == QProcess::Running) {
            ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
            ++kills;
        }
        p.waitForFinished(30000);
    }
    QProcess last;
    last.start(QStringLiteral(V270_PROGRAM), {"--dir", site.dir(), "sink", "push"});
    ASSERT_TRUE(last.waitForFinished(120000));
    EXPECT_EQ(last.exitCode(), 0) << last.readAllStandardError().toStdString();
    EXPECT_GE(kills, 1);
    EXPECT_TRUE(db->holds({{"EMU01", kRecords}}));
    EXPECT_EQ(OutboxReader(site.dir()).countFrom(readOutboxCursor(site.dir()), nullptr), 0);
}

// The node a site pushes through is killed in the middle of its push and
// started again: the push goes on through another node, nothing is lost,
// nothing doubled, and the node takes pushes again once it is back.
TEST_P(Push, ANodeKilledDuringAPushAndStartedAgain) {
    if (!cluster()) GTEST_SKIP() << "a single server has no other node to go to";
    const QString script = QStringLiteral(V270_SOURCE_DIR "/scripts/galera-test-cluster");
    const QString clusterDir = centralEnv("V270_GALERA_DIR");
    constexpr int kRecords = 10000;
    SiteDir site;
    site.add("EMU01", 0, kRecords, 1000);
    CentralConnection c(settingsFor(0, "site")); // node 1 first
    PushOptions o = quick();
    o.batchRecords = 500;
    o.attempts = 20;
    o.longestPauseMs = 1000;
    bool killed = false;
    o.afterCommit = [&](long long sent) {
        if (sent != 2000) return;
        killed = QProcess::execute(script, {"kill", clusterDir, "1"}) == 0;
    };
    EXPECT_EQ(pushOutbox(site.dir(), c, o).sent, kRecords);
    EXPECT_TRUE(killed);
    EXPECT_NE(c.hostText(), hostsFrom(0).section(u',', 0, 0));
    EXPECT_TRUE(db->holds({{"EMU01", kRecords}}));

    ASSERT_EQ(QProcess::execute(script, {"restart", clusterDir, "1"}), 0);
    site.add("EMU01", kRecords, 10);
    CentralConnection again(centralSettings(hostsFrom(0).section(u',', 0, 0), db->name(), "site"));
    EXPECT_EQ(pushOutbox(site.dir(), again, quick()).sent, 10);
    EXPECT_TRUE(db->holds({{"EMU01", kRecords + 10}}));
}

struct ProgramRun {
    int code;
    QByteArray out, err;
};

ProgramRun program(const QString& dir, const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(V270_PROGRAM), QStringList{"--dir", dir, "sink"} + args);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

// The subcommands as an administrator and cron run them: the schema and
// its GRANT, a push, the status, and the lines back out in punch order,
// byte for byte as the site wrote them.
TEST_P(Push, TheSinkSubcommands) {
    constexpr int kRecords = 1200;
    SiteDir site;
    site.add("EMU01", 0, kRecords);
    site.writeSettings(hosts, db->name(), "site-a");

    ProgramRun r = program(site.dir(), {"init", "--print"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.out.contains("GRANT SELECT, INSERT, UPDATE ON `" + db->name().toUtf8() +
                               "`.`terminal_progress` TO 'root'@'%';"))
        << r.out.toStdString();
    r = program(site.dir(), {"init"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    r = program(site.dir(), {"push"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(QString::fromUtf8(r.out), "Merkeze gönderilen kayıt: 1.200; kuyrukta kalan: 0\n");

    r = program(site.dir(), {"status", "--json"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    const QJsonObject status = QJsonDocument::fromJson(r.out).object();
    EXPECT_EQ(status["outbox_records"].toInt(-1), 0);
    const QJsonArray terminals = status["terminals"].toArray();
    ASSERT_EQ(terminals.size(), 1);
    EXPECT_EQ(terminals[0]["terminal"].toString(), "EMU01");
    EXPECT_EQ(terminals[0]["site"].toString(), "site-a");
    EXPECT_EQ(terminals[0]["last_position"].toInt(), kRecords - 1);

    // Records 600 apart share their punch time: then the position decides.
    std::vector<int> order(kRecords);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [](int a, int b) { return a % 600 < b % 600; });
    QByteArray expected;
    for (int i : order)
        expected += SiteDir::lineFor(i);
    r = program(site.dir(), {"export", "--from", "2024-03-05", "--to", "05.03.2024"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out == expected) << r.out.left(200).toStdString();
    r = program(site.dir(), {"export", "--from", "2024-03-06", "--to", "2024-03-09"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.out.isEmpty());
    r = program(site.dir(),
                {"export", "--from", "2024-03-05", "--to", "2024-03-05", "--site", "site-b"});
    EXPECT_TRUE(r.out.isEmpty());

    for (const QStringList& wrong :
         {QStringList{"export", "--from", "2024-03-06", "--to", "2024-03-05"},
          QStringList{"export", "--from", "5 Mart"}, QStringList{"push", "--from", "2024-03-05"},
          QStringList{"fetch"}})
        EXPECT_EQ(program(site.dir(), wrong).code, 64) << wrong.join(' ').toStdString();
    writeProfileString(site.dir() + "Settings.ini", "Merkez", "Database", "a-b");
    r = program(site.dir(), {"push"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(QString::fromUtf8(r.err).contains("[Merkez] Database")) << r.err.toStdString();
}

// A terminal whose records reached the central table only in part: the
// backfill reads its whole log, adds what the table lacks, and leaves the
// terminal's new-record mark where it was.
TEST_P(Push, BackfillAddsWhatTheCentralTableLacks) {
    constexpr int kRecords = 1000;
    SiteDir site;
    createDatabaseFromSchema(site.dir() + "Data.mdb", "Data.sql");
    site.writeSettings(hosts, db->name(), "site-a");
    DeviceState state;
    state.serial = "BACKFILL1";
    state.newMark = 600;
    for (int i = 0; i < kRecords; ++i)
        state.logs.push_back(LogRecord{i + 1, 0, 2024, 3, 5, 8 + (i / 60) % 10, i % 60});
    QTemporaryDir emulatorDir;
    EmulatorProcess emulator;
    QString error;
    ASSERT_TRUE(emulator.startWithState(state, emulatorDir.path(), &error)) << error.toStdString();
    {
        QSqlDatabase data = openDatabaseFile("backfill-test", site.dir() + "Data.mdb");
        execSql(data,
                "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, NetPort, "
                "Sifre) values (1, 'Giriş', 'ethernet', '', '', '127.0.0.1', ?, 0)",
                {emulator.port()});
    }
    QSqlDatabase::removeDatabase("backfill-test");
    site.add("BACKFILL1", 0, 300);
    CentralConnection c(settingsFor(0, "site-a"));
    EXPECT_EQ(pushOutbox(site.dir(), c, quick()).sent, 300);

    const ProgramRun r = program(site.dir(), {"backfill", "--terminal", "giriş"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(QString::fromUtf8(r.out), "Giriş: terminalde 1.000 kayıt; merkeze eklenen: 700\n");
    EXPECT_TRUE(db->holds({{"BACKFILL1", kRecords}}));
    const auto lines = db->select("SELECT line FROM " + db->name().toStdString() +
                                  ".attendance ORDER BY position");
    for (int i = 0; i < kRecords; i += 97)
        EXPECT_EQ(*lines[size_t(i)][0], SiteDir::lineFor(i).toStdString()) << i;
    emulator.stop();
    QFile saved(emulatorDir.path() + "/state.json");
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(parseDeviceState(saved.readAll(), nullptr)->newMark, 600);
}

INSTANTIATE_TEST_SUITE_P(Servers, Push, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Cluster" : "Single"; });

} // namespace
