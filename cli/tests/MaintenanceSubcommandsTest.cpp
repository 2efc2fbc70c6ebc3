#include "cli/MaintenanceSubcommands.h"
#include "cli/TransferSubcommands.h"
#include "core/Database.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct Outcome {
    int code;
    QString out;
    QString err;
};

Enrollment enrollment(int32_t enroll, int32_t backup, int32_t privilege) {
    Enrollment e;
    e.enroll = enroll;
    e.backup = backup;
    e.privilege = privilege;
    return e;
}

// Runs a subcommand as the program would after its own parsing: args are
// what follows "v270-aktarim --dir DIR".
Outcome runSubcommand(const QString& programDir, const QStringList& args) {
    std::vector<Subcommand> all = transferSubcommands();
    for (Subcommand& s : maintenanceSubcommands())
        all.push_back(std::move(s));
    const auto found = std::find_if(all.begin(), all.end(),
                                    [&](const Subcommand& s) { return s.name == args.value(0); });
    if (found == all.end()) return {-1, {}, "no such subcommand"};
    QCommandLineParser parser;
    parser.addOptions(found->options);
    if (!parser.parse(QStringList{"v270-aktarim"} + args)) return {-1, {}, parser.errorText()};
    QString out, err;
    QTextStream o(&out), e(&err);
    const int code = found->run({programDir, parser.positionalArguments().mid(1), parser, o, e});
    return {code, out, err};
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
    Outcome run(const QStringList& args) { return runSubcommand(programDir(), args); }
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

    const Outcome get = run({"clock", "get"});
    EXPECT_EQ(get.code, 0) << get.err.toStdString();
    EXPECT_TRUE(QRegularExpression("^Tarih = \\d\\d/\\d\\d/\\d{4}\nSaat = \\d\\d:\\d\\d\n$")
                    .match(get.out)
                    .hasMatch())
        << get.out.toStdString();

    const Outcome set = run({"clock", "set", "--terminal", "Giriş"});
    EXPECT_EQ(set.code, 0) << set.err.toStdString();
    EXPECT_EQ(set.out, "cihaz tarih saati ayarlandı..\n");
    EXPECT_LE(std::abs(state(0).clockOffsetSeconds), 2);

    const Outcome dead = run({"clock", "set", "--terminal", "Kapalı"});
    EXPECT_EQ(dead.code, 2);
    EXPECT_EQ(dead.out, "Hata..Bağlantı Kurulamadı....\n");

    const Outcome wrong = run({"clock", "ayarla"});
    EXPECT_EQ(wrong.code, 1);
    EXPECT_TRUE(wrong.err.startsWith("Kullanım:")) << wrong.err.toStdString();
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
        const char* out;
        const char* errorName;
    } cases[] = {
        {{"clock", "set"}, "HATA...tarih saat ayarlanamadı..\n", "ERR_WRITE_FAIL"},
        {{"clock", "get"}, "", "ERR_READ_FAIL"},
        {{"admin-clear"}, nullptr, "ERR_NON_CARRYOUT"},
        {{"clear-fingerprints", "--yes"}, "", "ERR_MEMORY"},
        {{"bells", "set", bells}, "hata\n", "ERR_INVALID_PARAM"},
    };
    for (const auto& c : cases) {
        const Outcome r = run(c.args);
        SCOPED_TRACE(c.args.join(' ').toStdString());
        EXPECT_EQ(r.code, 1);
        if (c.out) {
            EXPECT_EQ(r.out, c.out);
        }
        EXPECT_TRUE(r.err.contains(c.errorName)) << r.err.toStdString();
    }
    EXPECT_EQ(state(0).enrollments.size(), 1u);
    EXPECT_EQ(state(0).enrollments[0].privilege, 0); // refused, but no longer an administrator
}

TEST_F(Maintenance, AdminClearPrintsTheMessageAndTheCount) {
    DeviceState s;
    s.enrollments = {enrollment(1, 0, 1), enrollment(1, 1, 1), enrollment(2, 0, 0),
                     enrollment(3, 0, 2)};
    addTerminal("Giriş", s);
    const Outcome first = run({"admin-clear"});
    EXPECT_EQ(first.code, 0) << first.err.toStdString();
    EXPECT_EQ(first.out, "Tüm Yöneticiler İptal Edildi....\n3\n");
    EXPECT_EQ(state(0).enrollments.size(), 1u);

    const Outcome again = run({"admin-clear"});
    EXPECT_EQ(again.code, 0);
    EXPECT_EQ(again.out, "0\n");
}

TEST_F(Maintenance, ClearFingerprintsOnlyWithYes) {
    DeviceState s;
    s.enrollments = {enrollment(1, 0, 0), enrollment(2, 11, 0)};
    addTerminal("Giriş", s);
    const Outcome refused = run({"clear-fingerprints"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_TRUE(refused.err.contains("--yes")) << refused.err.toStdString();
    EXPECT_EQ(state(0).enrollments.size(), 2u);

    const Outcome done = run({"clear-fingerprints", "--yes"});
    EXPECT_EQ(done.code, 0) << done.err.toStdString();
    EXPECT_EQ(done.out, "tamamlandı\n");
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
    EXPECT_EQ(get.err, "");

    // Change one bell and send it back.
    const QString file = dir.filePath("zil.json");
    writeFile(file, get.out.toUtf8().replace("\"hour\": 17", "\"hour\": 18"));
    const Outcome set = run({"bells", "set", file});
    EXPECT_EQ(set.code, 0) << set.err.toStdString();
    EXPECT_EQ(set.out, "Gönderildi.\n");
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
        EXPECT_EQ(r.out, "Invalid Value.\n");
        EXPECT_FALSE(r.err.isEmpty());
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
    EXPECT_EQ(r.err, "Hata..Bağlantı Kurulamadı....\n");
}

// --all-terminals: each row in list order under its name; a dead terminal
// doesn't stop the others; the exit code is the worst met.
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
    EXPECT_EQ(clock.out, "== Ana Kapı ==\ncihaz tarih saati ayarlandı..\n"
                         "== Bahçe ==\nHata..Bağlantı Kurulamadı....\n"
                         "== Çıkış ==\ncihaz tarih saati ayarlandı..\n");
    EXPECT_LE(std::abs(state(0).clockOffsetSeconds), 2);
    EXPECT_LE(std::abs(state(1).clockOffsetSeconds), 2);

    const Outcome transfer = run({"transfer", "--all-terminals"});
    EXPECT_EQ(transfer.code, 2);
    EXPECT_EQ(transfer.out, "== Ana Kapı ==\nBilgiler Dosyaya Aktarıldı....\n"
                            "== Bahçe ==\nHata..Bağlantı Kurulamadı....\n"
                            "== Çıkış ==\nBilgiler Dosyaya Aktarıldı....\n");
    const QByteArray veri = readFile(programDir() + "veri.txt");
    EXPECT_EQ(veri.count("\r\n"), 3);
    EXPECT_TRUE(veri.startsWith("00011 ")) << veri.toStdString();

    const Outcome both = run({"clock", "set", "--all-terminals", "--terminal", "Bahçe"});
    EXPECT_EQ(both.code, 1);
    EXPECT_EQ(both.out, "");
    EXPECT_EQ(run({"clock", "get", "--all-terminals"}).code, 1);
}

TEST(ExitCodes, TheWorstOfSeveralTerminals) {
    // Unconfirmed records finish on the next run; any failure is worse.
    const struct {
        int a, b, worse;
    } cases[] = {{ExitDone, ExitNotConfirmed, ExitNotConfirmed},
                 {ExitNotConfirmed, ExitFailed, ExitFailed},
                 {ExitFailed, ExitNotConfirmed, ExitFailed},
                 {ExitNotConnected, ExitFailed, ExitNotConnected},
                 {ExitDone, ExitDone, ExitDone}};
    for (const auto& c : cases) {
        EXPECT_EQ(worseExitCode(c.a, c.b), c.worse) << c.a << " vs " << c.b;
    }
}

} // namespace
