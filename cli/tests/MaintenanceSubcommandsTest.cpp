#include "CommandLineRun.h"
#include "cli/Subcommand.h"
#include "core/Database.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

Enrollment enrollment(int32_t enroll, int32_t backup, int32_t privilege) {
    Enrollment e;
    e.enroll = enroll;
    e.backup = backup;
    e.privilege = privilege;
    return e;
}

// A program directory whose terminal list names running emulators.
class Maintenance : public ::testing::Test {
  protected:
    void SetUp() override { createDatabaseFromSchema(programDir() + "Data.mdb", "Data.sql"); }

    // Starts an emulator on state and lists it as name.
    void addTerminal(const QString& name, const DeviceState& state = {},
                     const QStringList& extra = {}) {
        const QString where = dir.filePath(QString::number(emulators.size()));
        QDir().mkpath(where);
        states.push_back(where + "/state.json");
        QString error;
        ASSERT_TRUE(saveDeviceState(state, states.back(), &error));
        emulators.push_back(std::make_unique<EmulatorProcess>());
        ASSERT_TRUE(emulators.back()->start(QStringList{"--state", states.back()} + extra, &error))
            << error.toStdString();
        listTerminal(name, emulators.back()->port());
    }
    // Lists a terminal nobody answers for.
    void addDeadTerminal(const QString& name) { listTerminal(name, 1); }
    void listTerminal(const QString& name, int port) {
        QSqlDatabase db = openDatabaseFile("maintenance-cli-test", programDir() + "Data.mdb");
        execSql(db,
                "insert into Terminal (TerminalNo, Terminal, Tip, Ip, NetPort, Sifre) "
                "values (1, ?, 'ethernet', '127.0.0.1', ?, 0)",
                {name, port});
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("maintenance-cli-test");
    }
    // What the i-th emulator holds now.
    DeviceState state(size_t i) const {
        QString error;
        const std::optional<DeviceState> s = parseDeviceState(readFile(states[i]), &error);
        EXPECT_TRUE(s) << error.toStdString();
        return s.value_or(DeviceState{});
    }
    Outcome run(const QStringList& args) { return runProgram(programDir(), args); }
    QString programDir() const { return dir.path() + '/'; }

    QTemporaryDir dir;
    std::vector<std::unique_ptr<EmulatorProcess>> emulators;
    QStringList states;
};

TEST_F(Maintenance, ClockGetAndSet) {
    DeviceState s;
    s.clockOffsetSeconds = -400000;
    addTerminal("Giriş", s);
    addDeadTerminal("Kapalı");

    // Seconds and the drift, the terminal 400000 s behind.
    const Outcome get = run({"clock", "get", "--terminal", "giriş"});
    EXPECT_EQ(get.code, 0) << get.err.toStdString();
    const QRegularExpressionMatch line =
        QRegularExpression("^Giriş: terminal \\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d, "
                           "bilgisayar \\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d, "
                           "fark (-\\d+) sn\n$")
            .match(get.out);
    ASSERT_TRUE(line.hasMatch()) << get.out.toStdString();
    EXPECT_NEAR(line.captured(1).toInt(), -400000, 1);
    EXPECT_EQ(get.err, "");

    const Outcome json = run({"clock", "get", "--terminal", "Giriş", "--json"});
    const QJsonObject read = QJsonDocument::fromJson(json.out.toUtf8()).array().at(0).toObject();
    const QDateTime terminalTime =
        QDateTime::fromString(read["terminal_time"].toString(), Qt::ISODate);
    const QDateTime computerTime =
        QDateTime::fromString(read["computer_time"].toString(), Qt::ISODate);
    ASSERT_TRUE(terminalTime.isValid() && computerTime.isValid()) << json.out.toStdString();
    EXPECT_EQ(computerTime.secsTo(terminalTime), read["drift_seconds"].toInteger());
    EXPECT_NEAR(read["drift_seconds"].toInteger(), -400000, 1);

    const Outcome set = run({"clock", "set", "--terminal", "Giriş"});
    EXPECT_EQ(set.code, 0) << set.err.toStdString();
    EXPECT_EQ(set.out, "Giriş: saat ayarlandı\n");
    EXPECT_EQ(set.err, "cihaz tarih saati ayarlandı..\n");
    EXPECT_LE(std::abs(state(0).clockOffsetSeconds), 2);

    const Outcome dead = run({"clock", "set", "--terminal", "Kapalı"});
    EXPECT_EQ(dead.code, 2);
    EXPECT_EQ(dead.err, refusedText("Kapalı"));

    const Outcome wrong = run({"clock", "ayarla"});
    EXPECT_EQ(wrong.code, 64);
    EXPECT_TRUE(wrong.err.contains("Kullanım:")) << wrong.err.toStdString();
}

TEST_F(Maintenance, RefusalsOfTheTerminalExitOne) {
    DeviceState s;
    s.enrollments = {enrollment(1, 0, 1)};
    addTerminal("Giriş", s,
                {"--fail", "SetDeviceTime=2", "--fail", "GetDeviceTime=3", "--fail",
                 "DeleteEnrollData=5", "--fail", "EmptyEnrollData=7", "--fail", "SetBellTime=4"});
    const QString bells = dir.filePath("bells.json");
    writeFile(bells, R"({"ring_duration": 5, "bells": [)" +
                         QByteArray(R"({"on": 1, "hour": 8, "minute": 0},)").repeated(7) +
                         R"({"on": 1, "hour": 8, "minute": 0}]})");
    const struct {
        QStringList args;
        const char* said; // the window's message, on standard error with the reason
        const char* errorName;
    } cases[] = {
        {{"clock", "set"}, "HATA...tarih saat ayarlanamadı..\n", "ERR_WRITE_FAIL"},
        {{"clock", "get"}, "", "ERR_READ_FAIL"},
        {{"admin-clear", "--yes"}, "", "ERR_NON_CARRYOUT"},
        {{"clear-fingerprints", "--yes"}, "", "ERR_MEMORY"},
        {{"bells", "set", bells}, "hata\n", "ERR_INVALID_PARAM"},
    };
    for (const auto& c : cases) {
        const Outcome r = run(c.args);
        SCOPED_TRACE(c.args.join(' ').toStdString());
        EXPECT_EQ(r.code, 1);
        EXPECT_TRUE(r.err.startsWith(c.said)) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.errorName)) << r.err.toStdString();
    }
    EXPECT_EQ(state(0).enrollments.size(), 1u);
    EXPECT_EQ(state(0).enrollments[0].privilege, 0); // refused, but no longer an administrator
}

// Another client holds the terminal's lock: nothing is sent and the exit
// code tells a script to try again later.
TEST_F(Maintenance, ATerminalHeldByAnotherClientExitsFour) {
    DeviceState s;
    s.logs = {LogRecord{11, 0, 2024, 3, 5, 8, 0}};
    addTerminal("Giriş", s, {"--fail", "EnableDevice=8"}); // ERR_MULTIUSER
    for (const QStringList& args :
         {QStringList{"transfer"}, QStringList{"clock", "get"}, QStringList{"admin-clear", "--yes"},
          QStringList{"clear-fingerprints", "--yes"}}) {
        const Outcome r = run(args);
        EXPECT_EQ(r.code, 4) << args.join(' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("kilitlenemedi")) << r.err.toStdString();
    }
    EXPECT_FALSE(QFile::exists(programDir() + "veri.txt") &&
                 QFileInfo(programDir() + "veri.txt").size() > 0);
}

TEST_F(Maintenance, AdminClearPrintsTheMessageAndTheCount) {
    DeviceState s;
    s.enrollments = {enrollment(1, 0, 1), enrollment(1, 1, 1), enrollment(2, 0, 0),
                     enrollment(3, 0, 2)};
    addTerminal("Giriş", s);
    const Outcome refused = run({"admin-clear"});
    EXPECT_EQ(refused.code, 64);
    EXPECT_TRUE(refused.err.contains("--yes")) << refused.err.toStdString();
    EXPECT_EQ(state(0).enrollments.size(), 4u);

    const Outcome first = run({"admin-clear", "--yes"});
    EXPECT_EQ(first.code, 0) << first.err.toStdString();
    EXPECT_EQ(first.out, "Silinen yönetici kaydı: 3\n");
    EXPECT_EQ(first.err, "Tüm Yöneticiler İptal Edildi....\n");
    EXPECT_EQ(state(0).enrollments.size(), 1u);

    const Outcome again = run({"admin-clear", "--yes"});
    EXPECT_EQ(again.code, 0);
    EXPECT_EQ(again.out, "Silinen yönetici kaydı: 0\n");
}

TEST_F(Maintenance, ClearFingerprintsOnlyWithYes) {
    DeviceState s;
    s.enrollments = {enrollment(1, 0, 0), enrollment(2, 11, 0)};
    addTerminal("Giriş", s);
    const Outcome refused = run({"clear-fingerprints"});
    EXPECT_EQ(refused.code, 64);
    EXPECT_EQ(refused.out, "");
    EXPECT_TRUE(refused.err.contains("--yes")) << refused.err.toStdString();
    EXPECT_EQ(state(0).enrollments.size(), 2u);

    const Outcome done = run({"clear-fingerprints", "--yes"});
    EXPECT_EQ(done.code, 0) << done.err.toStdString();
    EXPECT_EQ(done.out, "Giriş: tüm parmakizleri silindi\n");
    EXPECT_EQ(done.err, "tamamlandı\n");
    EXPECT_TRUE(state(0).enrollments.empty());
}

TEST_F(Maintenance, BellsGetSetAndTheVerdict) {
    DeviceState s;
    s.ringDuration = 7;
    s.bells[0] = Bell{1, 8, 30};
    s.bells[7] = Bell{0, 17, 5};
    addTerminal("Giriş", s);

    const Outcome get = run({"bells", "get"});
    EXPECT_EQ(get.code, 0) << get.err.toStdString();
    EXPECT_EQ(get.out, "{\"ring_duration\": 7, \"bells\": [\n"
                       "  {\"on\": 1, \"hour\": 8, \"minute\": 30},\n" +
                           QString("  {\"on\": 0, \"hour\": 0, \"minute\": 0},\n").repeated(6) +
                           "  {\"on\": 0, \"hour\": 17, \"minute\": 5}\n]}\n");
    EXPECT_EQ(get.err, "Terminalden Zil Saatleri Alındı..\n"); // the schedule's stream stays clean

    // Change one bell and send it back.
    const QString file = dir.filePath("zil.json");
    writeFile(file, get.out.toUtf8().replace("\"hour\": 17", "\"hour\": 18"));
    const Outcome set = run({"bells", "set", file});
    EXPECT_EQ(set.code, 0) << set.err.toStdString();
    EXPECT_EQ(set.out, "");
    EXPECT_EQ(set.err, "Gönderildi.\n");
    EXPECT_EQ(state(0).bells[7], (Bell{0, 18, 5}));
    EXPECT_EQ(run({"bells", "get"}).out, QString(get.out).replace("\"hour\": 17", "\"hour\": 18"));

    // Refused input: nothing reaches the terminal.
    const DeviceState before = state(0);
    for (const QByteArray& bad :
         {get.out.toUtf8().replace("\"hour\": 8", "\"hour\": 24"),
          get.out.toUtf8().replace("\"ring_duration\": 7", "\"ring_duration\": 256"),
          QByteArray("zil"), get.out.toUtf8().replace("\"on\": 1", "\"on\": 2")}) {
        writeFile(file, bad);
        const Outcome r = run({"bells", "set", file});
        EXPECT_EQ(r.code, 1) << bad.toStdString();
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.startsWith("Invalid Value.\nZil saatleri geçersiz: "))
            << r.err.toStdString();
    }
    EXPECT_EQ(state(0), before);
    const Outcome missing = run({"bells", "set", dir.filePath("yok.json")});
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(missing.err.contains("yok.json")) << missing.err.toStdString();
}

TEST_F(Maintenance, BellsGetKeepsStandardOutputForTheSchedule) {
    addDeadTerminal("Kapalı");
    const Outcome r = run({"bells", "get"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, refusedText("Kapalı"));
}

// --all-terminals: each row in list order; a dead terminal doesn't stop the
// others; each one's messages carry its name; the exit code is the worst met.
TEST_F(Maintenance, EveryTerminalInOneRun) {
    DeviceState a, b;
    a.clockOffsetSeconds = b.clockOffsetSeconds = 86400;
    a.logs = {LogRecord{11, 0, 2024, 3, 5, 8, 0}};
    b.logs = {LogRecord{22, 0, 2024, 3, 5, 9, 0}, LogRecord{23, 0, 2024, 3, 5, 9, 1}};
    addTerminal("Çıkış", b);
    addDeadTerminal("Bahçe");
    addTerminal("Ana Kapı", a);

    const Outcome clock = run({"clock", "set", "--all-terminals"});
    EXPECT_EQ(clock.code, 2);
    EXPECT_EQ(clock.out, "Ana Kapı: saat ayarlandı\nÇıkış: saat ayarlandı\n");
    EXPECT_EQ(clock.err, "Ana Kapı: cihaz tarih saati ayarlandı..\n" + refusedText("Bahçe", true) +
                             "Çıkış: cihaz tarih saati ayarlandı..\n");
    EXPECT_LE(std::abs(state(0).clockOffsetSeconds), 2);
    EXPECT_LE(std::abs(state(1).clockOffsetSeconds), 2);

    const Outcome transfer = run({"-q", "transfer", "--all-terminals"});
    EXPECT_EQ(transfer.code, 2);
    EXPECT_EQ(transfer.out, refusedSummary("Bahçe"));
    EXPECT_EQ(transfer.err, refusedText("Bahçe", true));
    const QByteArray veri = readFile(programDir() + "veri.txt");
    EXPECT_EQ(veri.count("\r\n"), 3);
    // Read at once, the batches come in the order they were committed, each whole.
    const QList<QByteArray> lines = veri.split('\n');
    EXPECT_TRUE(lines[0].startsWith("00011 ") || lines[2].startsWith("00011 "))
        << veri.toStdString();

    const Outcome both = run({"clock", "set", "--all-terminals", "--terminal", "Bahçe"});
    EXPECT_EQ(both.code, 64);
    EXPECT_EQ(both.out, "");
    const Outcome several = run({"clock", "get"});
    EXPECT_EQ(several.code, 64);
    EXPECT_TRUE(several.err.contains("\"Ana Kapı\", \"Bahçe\", \"Çıkış\""))
        << several.err.toStdString();
}

TEST(ExitCodes, TheWorstOfSeveralTerminals) {
    // Unconfirmed records finish on the next run; any failure is worse.
    const struct {
        int a, b, worse;
    } cases[] = {{ExitDone, ExitNotConfirmed, ExitNotConfirmed},
                 {ExitNotConfirmed, ExitFailed, ExitFailed},
                 {ExitFailed, ExitNotConfirmed, ExitFailed},
                 {ExitNotConnected, ExitFailed, ExitNotConnected},
                 {ExitBusy, ExitNotConfirmed, ExitBusy},
                 {ExitFailed, ExitBusy, ExitFailed},
                 {ExitNotConnected, ExitCancelled, ExitCancelled},
                 {ExitDone, ExitDone, ExitDone}};
    for (const auto& c : cases) {
        EXPECT_EQ(worseExitCode(c.a, c.b), c.worse) << c.a << " vs " << c.b;
    }
}

} // namespace
