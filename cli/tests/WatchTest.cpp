// The live capture as the service runs it: a program of its own against
// emulators that punch, killed at any moment, beside transfers, with links
// that stall and terminals that restart. Every punch ends up in the files
// once, in its terminal's order.

#include "cli/WatchSubcommands.h"
#include "core/Database.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"
#include "transfer/AttendanceLine.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <chrono>
#include <csignal>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

class Watch : public ::testing::Test {
  protected:
    struct Gate {
        QString name, state;
        int machine = 1;
        int port = 0;
        QString serial;
        std::unique_ptr<EmulatorProcess> emulator;
    };

    void SetUp() override {
        createDatabaseFromSchema(programDir() + "Data.mdb", "Data.sql");
        writeFile(programDir() + "Settings.ini", "[Options]\r\nveriDosya2=1\r\n");
    }
    void TearDown() override {
        if (watch.state() != QProcess::NotRunning) {
            watch.kill();
            watch.waitForFinished(5000);
        }
    }

    // A terminal with records already in its log, punching rate a second.
    void addTerminal(int records, double rate, bool listed = true) {
        Gate g;
        g.machine = int(gates.size()) + 1;
        g.name = QStringLiteral("Kapı %1").arg(g.machine);
        g.state = dir.filePath(QStringLiteral("terminal-%1.json").arg(g.machine));
        g.serial = QStringLiteral("SERI-%1").arg(g.machine);
        DeviceState state;
        state.serial = g.serial;
        state.machine = g.machine;
        for (int e = 1; e <= 5; ++e)
            state.enrollments.push_back(Enrollment{e, 1, kPasswordBackup, 0, 1, 1234, {}});
        for (int i = 0; i < records; ++i)
            state.logs.push_back(LogRecord{1 + i % 5, 0, 2026, 12, 1, 8 + i / 60 % 10, i % 60});
        QString error;
        ASSERT_TRUE(saveDeviceState(state, g.state, &error)) << error.toStdString();
        gates.push_back(std::move(g));
        rates.push_back(rate);
        startEmulator(int(gates.size()) - 1);
        if (listed) listTerminal(gates.back());
    }
    // Starts terminal t again on the port it had (a restart keeps its address).
    void startEmulator(int t) {
        Gate& g = gates[size_t(t)];
        QStringList args{"--state", g.state, "--listen",
                         QStringLiteral("127.0.0.1:%1").arg(g.port)};
        if (rates[size_t(t)] > 0) args << "--punches" << QString::number(rates[size_t(t)]);
        g.emulator = std::make_unique<EmulatorProcess>();
        QString error;
        ASSERT_TRUE(g.emulator->start(args, &error)) << error.toStdString();
        g.port = g.emulator->port();
    }
    void listTerminal(const Gate& g) {
        QSqlDatabase db = openDatabaseFile("watch-test", programDir() + "Data.mdb");
        execSql(db,
                "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, "
                "NetPort, Sifre) values (?, ?, 'ethernet', '', '', '127.0.0.1', ?, 0)",
                {g.machine, g.name, g.port});
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("watch-test");
    }
    void unlistTerminal(const Gate& g) {
        QSqlDatabase db = openDatabaseFile("watch-test", programDir() + "Data.mdb");
        execSql(db, "delete from Terminal where Terminal = ?", {g.name});
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("watch-test");
    }
    // Stops every emulator (their state files then hold every punch) and
    // starts them again without punches.
    void settleEmulators() {
        for (size_t t = 0; t < gates.size(); ++t) {
            gates[t].emulator->stop();
            rates[t] = 0;
            startEmulator(int(t));
        }
    }

    void startWatch(const QStringList& extra = {},
                    const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
        watch.setProcessEnvironment(env);
        watch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        watch.start(V270_PROGRAM, QStringList{"--dir", dir.path(), "watch"} + extra);
        ASSERT_TRUE(watch.waitForStarted(5000));
    }
    void signalWatch(int signal) { ::kill(pid_t(watch.processId()), signal); }

    // Terminal t's records as lines, in its log's order.
    QList<QByteArray> expectedLines(const Gate& g) {
        const auto state = parseDeviceState(readFile(g.state), nullptr);
        QList<QByteArray> lines;
        if (!state) return lines;
        for (const LogRecord& r : state->logs) {
            QByteArray line;
            appendAttendanceLine(line, {r.enroll, r.mode, r.year, r.month, r.day, r.hour, r.minute},
                                 g.machine, newRecordModeCode(r.mode));
            lines << line;
        }
        return lines;
    }

    // Each stream of files (veri.txt, veri2.txt, the monthly files) holds
    // every record of every listed terminal once, in its terminal's order,
    // and nothing else.
    ::testing::AssertionResult everyRecordOnceInOrder(const std::vector<size_t>& which) {
        QStringList backups;
        for (const QString& f : QDir(programDir() + "yedek_V270").entryList(QDir::Files))
            backups << "yedek_V270/" + f;
        for (const QStringList& stream :
             {QStringList{"veri.txt"}, QStringList{"veri2.txt"}, backups}) {
            QHash<int, QList<QByteArray>> byMachine;
            for (const QString& name : stream) {
                const QByteArray content = readFile(programDir() + name);
                if (!content.isEmpty() && !content.endsWith("\r\n"))
                    return ::testing::AssertionFailure() << name.toStdString() << ": partial line";
                for (const QByteArray& l : content.split('\n'))
                    if (!l.isEmpty()) byMachine[l.split(' ').value(3).toInt()] << l + '\n';
            }
            for (size_t t : which) {
                const QList<QByteArray> want = expectedLines(gates[t]);
                const QList<QByteArray> got = byMachine.take(gates[t].machine);
                if (got != want)
                    return ::testing::AssertionFailure()
                           << stream.join(',').toStdString() << ": terminal " << t << " has "
                           << got.size() << " lines, its log " << want.size();
            }
            if (!byMachine.isEmpty())
                return ::testing::AssertionFailure()
                       << stream.join(',').toStdString() << ": lines of other terminals";
        }
        return ::testing::AssertionSuccess();
    }

    int veriLines() { return int(readFile(programDir() + "veri.txt").count('\n')); }
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > limit.count()) return false;
            QThread::msleep(100);
        }
        return true;
    }
    QJsonArray statusTerminals() {
        return QJsonDocument::fromJson(readFile(programDir() + kWatchStatusFile))
            .object()
            .value("terminals")
            .toArray();
    }

    QString programDir() const { return dir.path() + '/'; }

    QTemporaryDir dir;
    std::vector<Gate> gates;
    std::vector<double> rates;
    QProcess watch;
};

// kill -9 at random moments while three terminals punch, with a transfer of
// the same terminals now and then, one terminal restarted and another's
// link stalled meanwhile. The last run catches up, and SIGTERM ends it
// with 0 within 5 s.
TEST_F(Watch, KilledAtRandomMomentsBesideTransfersAndStalledLinks) {
    for (int t = 0; t < 3; ++t)
        addTerminal(50, 20);
    auto* random = QRandomGenerator::global();
    for (int round = 0; round < 12; ++round) {
        startWatch();
        if (round % 4 == 1) { // a timer's transfer at the same time
            QProcess transfer;
            transfer.start(V270_PROGRAM,
                           {"--dir", dir.path(), "--quiet", "transfer", "--all-terminals"});
            ASSERT_TRUE(transfer.waitForFinished(30000));
        }
        if (round == 4) { // a restart
            gates[1].emulator->stop();
            startEmulator(1);
        }
        if (round == 7) { // a stalled link
            const pid_t stalled = pid_t(gates[2].emulator->processId());
            ::kill(stalled, SIGSTOP);
            QThread::msleep(3000);
            ::kill(stalled, SIGCONT);
        }
        QThread::msleep(300 + random->bounded(1200));
        watch.kill();
        ASSERT_TRUE(watch.waitForFinished(5000));
    }
    settleEmulators();
    for (const Gate& g : gates) // the punches flowed throughout
        ASSERT_GT(expectedLines(g).size(), 200) << g.name.toStdString();
    startWatch();
    ASSERT_TRUE(waitFor(
        [&] {
            return everyRecordOnceInOrder({0, 1, 2});
        },
        20s))
        << everyRecordOnceInOrder({0, 1, 2}).message();
    QElapsedTimer stopping;
    stopping.start();
    signalWatch(SIGTERM);
    ASSERT_TRUE(watch.waitForFinished(5000));
    EXPECT_LT(stopping.elapsed(), 5000);
    EXPECT_EQ(watch.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(watch.exitCode(), 0);
    EXPECT_FALSE(QJsonDocument::fromJson(readFile(programDir() + kWatchStatusFile))
                     .object()
                     .value("running")
                     .toBool());
}

// A terminal down when the capture starts: once it answers, with records
// made meanwhile, they are in veri.txt within a few seconds.
TEST_F(Watch, BacklogArrivesSoonAfterTheLinkReturns) {
    addTerminal(300, 0);
    gates[0].emulator->stop();
    startWatch();
    ASSERT_TRUE(waitFor([&] { return statusTerminals().size() == 1; }, 5s));
    QThread::msleep(2000); // tried and failed at least once
    EXPECT_EQ(veriLines(), 0);
    startEmulator(0);
    ASSERT_TRUE(waitFor([&] { return veriLines() == 300; }, 10s)) << veriLines() << " lines";
    // A punch now comes in on the wait's answer, well before its 10 s run out.
    QThread::msleep(500);
    ::kill(pid_t(gates[0].emulator->processId()), SIGUSR1);
    EXPECT_TRUE(waitFor([&] { return veriLines() == 301; }, 5s));
    signalWatch(SIGTERM);
    ASSERT_TRUE(watch.waitForFinished(5000));
    EXPECT_TRUE(everyRecordOnceInOrder({0}));
}

// A terminal of an older protocol can't wait for records: it is asked
// every second instead, and a punch still arrives within a few seconds.
TEST_F(Watch, TerminalTooOldToWaitIsAskedEverySecond) {
    addTerminal(1, 0);
    gates[0].emulator->stop();
    gates[0].emulator = std::make_unique<EmulatorProcess>();
    QString error;
    ASSERT_TRUE(gates[0].emulator->start({"--state", gates[0].state, "--listen",
                                          QStringLiteral("127.0.0.1:%1").arg(gates[0].port),
                                          "--protocol", "4"},
                                         &error))
        << error.toStdString();
    startWatch();
    ASSERT_TRUE(waitFor([&] { return veriLines() == 1; }, 10s));
    ::kill(pid_t(gates[0].emulator->processId()), SIGUSR1);
    EXPECT_TRUE(waitFor([&] { return veriLines() == 2; }, 4s));
    QThread::msleep(1500); // the next status write
    const QJsonObject status = statusTerminals()[0].toObject();
    EXPECT_TRUE(status.value("connected").toBool()); // no reconnects for it
    EXPECT_EQ(status.value("last_error").toString(), "");
    signalWatch(SIGTERM);
    ASSERT_TRUE(watch.waitForFinished(5000));
    EXPECT_TRUE(everyRecordOnceInOrder({0}));
}

// SIGHUP reads the list again: a terminal added starts, a removed one stops.
TEST_F(Watch, ReloadStartsAddedAndStopsRemovedTerminals) {
    addTerminal(3, 0);
    addTerminal(4, 0, false);
    startWatch();
    ASSERT_TRUE(waitFor([&] { return veriLines() == 3; }, 10s));
    listTerminal(gates[1]);
    signalWatch(SIGHUP);
    ASSERT_TRUE(waitFor([&] { return veriLines() == 7; }, 10s)) << veriLines() << " lines";
    unlistTerminal(gates[0]);
    signalWatch(SIGHUP);
    ASSERT_TRUE(waitFor(
        [&] {
            const QJsonArray ts = statusTerminals();
            return ts.size() == 1 && ts[0].toObject().value("name").toString() == gates[1].name;
        },
        10s));
    ::kill(pid_t(gates[0].emulator->processId()), SIGUSR1); // no longer watched
    ::kill(pid_t(gates[1].emulator->processId()), SIGUSR1);
    ASSERT_TRUE(waitFor([&] { return veriLines() == 8; }, 5s));
    QThread::msleep(1000);
    EXPECT_EQ(veriLines(), 8);
    signalWatch(SIGTERM);
    ASSERT_TRUE(watch.waitForFinished(5000));
    EXPECT_EQ(watch.exitCode(), 0);
}

// Another terminal answering at the same address after a reconnect is told
// with both serial numbers, and none of its records is delivered.
TEST_F(Watch, AnotherTerminalAtTheSameAddressStopsDelivering) {
    addTerminal(2, 0);
    startWatch();
    ASSERT_TRUE(waitFor([&] { return veriLines() == 2; }, 10s));
    gates[0].emulator->stop();
    DeviceState other;
    other.serial = QStringLiteral("BASKA-1");
    other.logs.push_back(LogRecord{9, 0, 2026, 12, 2, 9, 0});
    QString error;
    ASSERT_TRUE(saveDeviceState(other, gates[0].state, &error)) << error.toStdString();
    startEmulator(0);
    ASSERT_TRUE(waitFor(
        [&] {
            const QString e = statusTerminals()[0].toObject().value("last_error").toString();
            return e.contains("SERI-1") && e.contains("BASKA-1");
        },
        10s));
    EXPECT_EQ(veriLines(), 2);
    signalWatch(SIGTERM);
    ASSERT_TRUE(watch.waitForFinished(5000));
}

// A serial line carries one connection: a transfer of the terminal the
// capture holds is refused, naming the capture, with exit code 4.
TEST_F(Watch, TransferOfASerialTerminalTheCaptureHoldsIsRefused) {
    const QString link = dir.filePath("ttyV1");
    EmulatorProcess serial;
    QString error;
    DeviceState state;
    state.logs.push_back(LogRecord{1, 0, 2026, 12, 1, 8, 0});
    ASSERT_TRUE(saveDeviceState(state, dir.filePath("serial.json"), &error));
    ASSERT_TRUE(serial.start({"--state", dir.filePath("serial.json"), "--pty", link}, &error))
        << error.toStdString();
    writeFile(programDir() + "Settings.ini", "[Ports]\r\nCOM1=" + link.toUtf8() + "\r\n");
    QSqlDatabase db = openDatabaseFile("watch-test", programDir() + "Data.mdb");
    execSql(db, "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, NetPort, "
                "Sifre) values (1, 'Seri', 'com', 1, 115200, '', null, 0)");
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase("watch-test");

    startWatch();
    ASSERT_TRUE(waitFor([&] { return veriLines() == 1; }, 10s));
    ASSERT_TRUE(
        waitFor([&] { return statusTerminals()[0].toObject().value("connected").toBool(); }, 5s));
    QProcess transfer;
    transfer.start(V270_PROGRAM, {"--dir", dir.path(), "transfer"});
    ASSERT_TRUE(transfer.waitForFinished(30000));
    EXPECT_EQ(transfer.exitCode(), 4);
    EXPECT_TRUE(QString::fromUtf8(transfer.readAllStandardError()).contains("canlı aktarımda"));
    signalWatch(SIGTERM);
    ASSERT_TRUE(watch.waitForFinished(5000));
    EXPECT_EQ(veriLines(), 1);
}

// The notifications a service manager gets, on a socket of the test's own.
TEST_F(Watch, TellsTheServiceManagerReadyAliveAndStatus) {
    addTerminal(1, 0);
    const QString path = dir.filePath("notify");
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = path.toLocal8Bit();
    ASSERT_LT(size_t(bytes.size()), sizeof address.sun_path);
    std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NOTIFY_SOCKET", path);
    startWatch({}, env);
    QByteArray heard;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 8000 && !(heard.contains("READY=1") && heard.contains("WATCHDOG=1") &&
                                       heard.contains("1/1 terminal"))) {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            heard += QByteArray(buffer, int(n)) + '\n';
        else
            QThread::msleep(50);
    }
    signalWatch(SIGTERM);
    ASSERT_TRUE(watch.waitForFinished(5000));
    ::close(fd);
    EXPECT_TRUE(heard.contains("READY=1")) << heard.toStdString();
    EXPECT_TRUE(heard.contains("WATCHDOG=1")) << heard.toStdString();
    EXPECT_TRUE(heard.contains("STATUS=1/1 terminal bağlı")) << heard.toStdString();
}

// status reads what the capture wrote; without a capture it says so.
TEST_F(Watch, StatusShowsEachTerminalOrSaysNoCaptureRan) {
    QProcess status;
    status.start(V270_PROGRAM, {"--dir", dir.path(), "status"});
    ASSERT_TRUE(status.waitForFinished(10000));
    EXPECT_EQ(status.exitCode(), 1);
    EXPECT_TRUE(QString::fromUtf8(status.readAllStandardError()).contains("watch hiç çalışmamış"));

    addTerminal(2, 0);
    QProcess unknown;
    unknown.start(V270_PROGRAM,
                  {"--dir", dir.path(), "watch", "--terminal", "Kapı 1", "--terminal", "Yok"});
    ASSERT_TRUE(unknown.waitForFinished(10000));
    EXPECT_EQ(unknown.exitCode(), 64);
    EXPECT_TRUE(
        QString::fromUtf8(unknown.readAllStandardError()).contains("\"Yok\" adlı terminal"));

    startWatch({"--terminal", "kapı 1"});
    ASSERT_TRUE(waitFor([&] { return veriLines() == 2; }, 10s));
    QThread::msleep(1500); // the next status write
    status.start(V270_PROGRAM, {"--dir", dir.path(), "status"});
    ASSERT_TRUE(status.waitForFinished(10000));
    EXPECT_EQ(status.exitCode(), 0);
    const QString text = QString::fromUtf8(status.readAllStandardOutput());
    EXPECT_TRUE(text.startsWith("Canlı aktarım çalışıyor")) << text.toStdString();
    EXPECT_TRUE(text.contains("Kapı 1: bekliyor; son temas: ")) << text.toStdString();
    EXPECT_TRUE(text.contains("bugün 2 kayıt")) << text.toStdString();
    signalWatch(SIGTERM);
    ASSERT_TRUE(watch.waitForFinished(5000));
}

TEST(WatchUnit, ServiceUnitVerifies) {
    const QString analyze = QStandardPaths::findExecutable("systemd-analyze");
    if (analyze.isEmpty()) GTEST_SKIP() << "systemd-analyze is not installed";
    QProcess verify;
    verify.setProcessChannelMode(QProcess::MergedChannels);
    verify.start(analyze, {"verify", QStringLiteral(V270_SOURCE_DIR) +
                                         "/packaging/systemd/v270-aktarim-watch.service"});
    ASSERT_TRUE(verify.waitForFinished(30000));
    // The program and its man page are not installed where the test runs.
    QStringList complaints;
    for (const QString& line : QString::fromUtf8(verify.readAll()).split('\n', Qt::SkipEmptyParts))
        if (!line.contains("is not executable") && !line.contains("man v270-aktarim"))
            complaints << line;
    EXPECT_TRUE(complaints.isEmpty()) << complaints.join('\n').toStdString();
}

TEST(WatchUnit, ReconnectPauseDoublesToAMinuteWithJitter) {
    struct Row {
        int attempt;
        long long baseMs;
    };
    for (const Row& r :
         {Row{1, 1000}, Row{2, 2000}, Row{3, 4000}, Row{6, 32000}, Row{7, 60000}, Row{50, 60000}}) {
        bool varied = false;
        long long first = -1;
        for (int i = 0; i < 50; ++i) {
            const long long ms = reconnectDelay(r.attempt).count();
            EXPECT_GE(ms, r.baseMs * 4 / 5) << "attempt " << r.attempt;
            EXPECT_LE(ms, std::min(r.baseMs * 6 / 5, 60000LL)) << "attempt " << r.attempt;
            varied |= first >= 0 && ms != first;
            if (first < 0) first = ms;
        }
        EXPECT_TRUE(varied) << "attempt " << r.attempt << " has no jitter";
    }
}

TEST(WatchUnit, StatusSaysWhenTheCaptureIsNotRunning) {
    const QJsonObject stopped{{"running", false}, {"updated", 1000}, {"terminals", QJsonArray{}}};
    EXPECT_TRUE(watchStatusText(stopped, 1030).startsWith("Canlı aktarım çalışmıyor"));
    const QJsonObject stale{{"running", true}, {"updated", 1000}, {"terminals", QJsonArray{}}};
    EXPECT_TRUE(watchStatusText(stale, 1100).startsWith("Canlı aktarım yanıt vermiyor"));
    const QJsonObject live{{"running", true},
                           {"updated", 1000},
                           {"pid", 7},
                           {"terminals", QJsonArray{QJsonObject{{"name", "Giriş"},
                                                                {"state", "bekliyor"},
                                                                {"last_contact", 998},
                                                                {"last_record", 0},
                                                                {"records_today", 12},
                                                                {"last_error", ""}}}}};
    EXPECT_EQ(watchStatusText(live, 1000),
              "Canlı aktarım çalışıyor (süreç 7).\n"
              "Giriş: bekliyor; son temas: 2 sn önce; son kayıt: yok; bugün 12 kayıt\n");
}

} // namespace
