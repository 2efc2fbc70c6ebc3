// transfer --all-terminals reading several terminals at once: each batch
// reaches the files whole and once, also when the program is killed at any
// moment, and a terminal out of reach doesn't hold back the others.

#include "CommandLineRun.h"
#include "core/Database.h"
#include "core/DirectoryLock.h"
#include "core/testing/ExactlyOnce.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"
#include "transfer/TransferHistory.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <memory>
#include <gtest/gtest.h>

namespace {

// Terminal t's record i: day t + 1 tells the terminals apart in a line.
QByteArray lineFor(int t, int i) {
    return QStringLiteral("%1 %2/03/2024 %3:%4:00 01 01\r\n")
        .arg(i + 1, 5, 10, QChar('0'))
        .arg(t + 1, 2, 10, QChar('0'))
        .arg(8 + (i / 60) % 10, 2, 10, QChar('0'))
        .arg(i % 60, 2, 10, QChar('0'))
        .toLatin1();
}

class ParallelTransfer : public ::testing::Test {
  protected:
    struct Gate {
        QString name, state;
        int records = 0;
        std::unique_ptr<EmulatorProcess> emulator;
    };

    void SetUp() override { createDatabaseFromSchema(programDir() + "Data.mdb", "Data.sql"); }

    // Terminals with these many records each, started with extra, listed in
    // this order (the names sort as given); a count below 0 is a row nothing
    // answers on.
    void startTerminals(const std::vector<int>& records, const QStringList& extra = {}) {
        QSqlDatabase db = openDatabaseFile("parallel-test", programDir() + "Data.mdb");
        for (size_t t = 0; t < records.size(); ++t) {
            Gate g;
            g.name = QStringLiteral("Kapı %1").arg(t + 1, 2, 10, QChar('0'));
            g.records = records[t];
            int port = 1; // nothing listens there
            if (g.records >= 0) {
                g.state = dir.filePath(QStringLiteral("terminal-%1.json").arg(t));
                DeviceState state;
                for (int i = 0; i < g.records; ++i)
                    state.logs.push_back(
                        LogRecord{i + 1, 0, 2024, 3, int(t) + 1, 8 + (i / 60) % 10, i % 60});
                QString error;
                ASSERT_TRUE(saveDeviceState(state, g.state, &error)) << error.toStdString();
                g.emulator = std::make_unique<EmulatorProcess>();
                ASSERT_TRUE(g.emulator->start(QStringList{"--state", g.state} + extra, &error))
                    << error.toStdString();
                port = g.emulator->port();
            }
            execSql(db,
                    "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, "
                    "NetPort, Sifre) values (1, ?, 'ethernet', '', '', '127.0.0.1', ?, 0)",
                    {g.name, port});
            gates.push_back(std::move(g));
        }
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("parallel-test");
    }

    int terminalMark(const Gate& g) {
        const auto state = parseDeviceState(readFile(g.state), nullptr);
        return state ? state->newMark : -1;
    }

    // Every record of every live terminal exactly once in each stream of
    // files (veri.txt, the monthly files), and nothing else.
    ::testing::AssertionResult everyRecordOnce() {
        QList<QByteArray> expected;
        for (size_t t = 0; t < gates.size(); ++t)
            for (int i = 0; i < gates[t].records; ++i)
                expected << lineFor(int(t), i);
        const ExactlyOnceReport report =
            checkExactlyOnce(DeliveredFiles{programDir(), {"veri.txt"}, false}, expected);
        if (report.ok()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << report.text().toStdString();
    }

    QString programDir() const { return dir.path() + '/'; }

    QTemporaryDir dir;
    std::vector<Gate> gates;
};

// kill -9 at random moments of a run over four terminals at once: while
// they are read, while a batch goes into the files, between the files and
// the terminal's commit (each request takes 50 ms, so a commit is slow).
// The run after the kills leaves every record once in the files and every
// terminal committed.
TEST_F(ParallelTransfer, KilledAtRandomMomentsThenRunAgain) {
    constexpr int kRecords = 20000;
    startTerminals({kRecords, kRecords, kRecords, kRecords}, {"--delay-ms", "50"});
    const QStringList args{"--dir", dir.path(), "transfer", "--all-terminals", "--jobs", "4"};
    auto* random = QRandomGenerator::global();
    const qint64 total = qint64(kRecords) * 33 * 4;
    int kills = 0;
    for (int round = 0; round < 4; ++round) {
        const qint64 from = QFileInfo(programDir() + "veri.txt").size();
        if (from >= total) break;
        // The first round dies before any batch is in; the others once
        // veri.txt has grown past a random size.
        const qint64 at = round == 0 ? -1 : from + random->bounded(qint64(1), total - from + 1);
        QProcess p;
        p.start(QStringLiteral(V270_PROGRAM), args);
        ASSERT_TRUE(p.waitForStarted(10000));
        QElapsedTimer waited;
        waited.start();
        if (at < 0) {
            p.waitForFinished(random->bounded(100, 400));
        } else {
            while (waited.elapsed() < 60000 && QFileInfo(programDir() + "veri.txt").size() < at)
                if (p.waitForFinished(1)) break;
            QThread::msleep(random->bounded(60u));
        }
        if (p.state() == QProcess::Running) {
            ::kill(pid_t(p.processId()), SIGKILL);
            ++kills;
        }
        p.waitForFinished(30000);
    }
    EXPECT_GE(kills, 1);

    QProcess last;
    last.start(QStringLiteral(V270_PROGRAM), args);
    ASSERT_TRUE(last.waitForFinished(120000));
    EXPECT_EQ(last.exitCode(), 0) << last.readAllStandardError().toStdString();
    for (const Gate& g : gates)
        EXPECT_EQ(terminalMark(g), kRecords) << g.name.toStdString();
    EXPECT_TRUE(everyRecordOnce());
}

// One row nothing answers on, among three terminals read at once: the
// others are delivered, each batch in one piece; the summary lines come in
// list order; the exit code and the message name the one that failed.
TEST_F(ParallelTransfer, OneTerminalOutOfReachAmongSeveral) {
    startTerminals({700, -1, 1500, 300});
    const Outcome r = runProgram(programDir(), {"transfer", "--all-terminals"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, refusedText("Kapı 02", true)) << r.err.toStdString();
    const QString month = QDate::currentDate().toString("MMyyyy");
    // A line for each terminal, the one out of reach too.
    EXPECT_EQ(r.out,
              QStringLiteral("Kapı 01: 700 kayıt -> veri.txt, yedek_V270/%1.txt\n").arg(month) +
                  refusedSummary("Kapı 02") +
                  QStringLiteral("Kapı 03: 1.500 kayıt -> veri.txt, yedek_V270/%1.txt\n"
                                 "Kapı 04: 300 kayıt -> veri.txt, yedek_V270/%1.txt\n")
                      .arg(month));
    for (const Gate& g : gates) {
        if (!g.emulator) continue;
        EXPECT_EQ(terminalMark(g), g.records) << g.name.toStdString();
    }
    EXPECT_TRUE(everyRecordOnce());

    // Whole batches: the day field changes only where one batch ends.
    int batches = 0;
    QByteArray day;
    for (const QByteArray& line : readFile(programDir() + "veri.txt").split('\n')) {
        if (line.isEmpty() || line.mid(6, 2) == day) continue;
        day = line.mid(6, 2);
        ++batches;
    }
    EXPECT_EQ(batches, 3);

    // Each terminal's run in the history, in the order the runs ended.
    QStringList history;
    for (const HistoryEntry& e : readHistory(programDir(), QDate::currentDate()))
        history << QStringLiteral("%1 %2 %3")
                       .arg(e.terminal, historyResultWord(e.result))
                       .arg(e.records);
    history.sort();
    EXPECT_EQ(history, (QStringList{"Kapı 01 ok 700", "Kapı 02 failed 0", "Kapı 03 ok 1500",
                                    "Kapı 04 ok 300"}));
}

// Another program holds the program directory throughout: the run's
// terminals share one wait for it, and change nothing.
TEST_F(ParallelTransfer, ADirectoryHeldElsewhereRefusesTheRunAfterOneWait) {
    startTerminals({100, 100, 100});
    QProcess holder;
    holder.start("flock", {programDir() + ".veri.lock", "sleep", "60"});
    ASSERT_TRUE(holder.waitForStarted());
    QElapsedTimer waited;
    waited.start();
    while (!QFile::exists(programDir() + ".veri.lock") && waited.elapsed() < 5000)
        QThread::msleep(10);
    QThread::msleep(200);

    waited.start();
    const Outcome r = runProgram(programDir(), {"transfer", "--all-terminals"});
    EXPECT_LT(waited.elapsed(), 2 * DirectoryLock::kWaitMs);
    holder.kill();
    holder.waitForFinished();
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.err.count(directoryBusyText(programDir())), 3) << r.err.toStdString();
    EXPECT_EQ(readFile(programDir() + "veri.txt"), "");
    for (const Gate& g : gates)
        EXPECT_EQ(terminalMark(g), 0) << g.name.toStdString();
}

// Ctrl-C while the terminals being read hang: their requests are given up
// long before their own time limit, and the terminals after them in the
// list are never connected to.
TEST_F(ParallelTransfer, CtrlCLetsGoOfHungTerminalsAndStartsNoOther) {
    // Each takes connections into the system's backlog and never answers.
    std::vector<std::unique_ptr<QTcpServer>> silent;
    QSqlDatabase db = openDatabaseFile("parallel-test", programDir() + "Data.mdb");
    for (int t = 0; t < 4; ++t) {
        silent.push_back(std::make_unique<QTcpServer>());
        ASSERT_TRUE(silent.back()->listen(QHostAddress::LocalHost));
        execSql(db,
                "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, NetPort, "
                "Sifre) values (1, ?, 'ethernet', '', '', '127.0.0.1', ?, 0)",
                {QStringLiteral("Kapı %1").arg(t + 1), silent.back()->serverPort()});
    }
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase("parallel-test");

    QProcess p;
    p.start(QStringLiteral(V270_PROGRAM),
            {"--dir", dir.path(), "transfer", "--all-terminals", "--jobs", "2"});
    ASSERT_TRUE(p.waitForStarted(10000));
    for (int t = 0; t < 2; ++t)
        ASSERT_TRUE(silent[size_t(t)]->waitForNewConnection(10000)) << "terminal " << t;
    QThread::msleep(300); // their first requests are on their way and hang
    QElapsedTimer stopping;
    stopping.start();
    ASSERT_EQ(::kill(pid_t(p.processId()), SIGINT), 0);
    ASSERT_TRUE(p.waitForFinished(20000));
    // A connection's own limit is 5 s, a request's 10 s; the Ctrl-C must not
    // wait for them.
    EXPECT_LT(stopping.elapsed(), 3000);
    EXPECT_EQ(p.exitCode(), 130) << p.readAllStandardError().toStdString();
    for (int t = 2; t < 4; ++t)
        EXPECT_FALSE(silent[size_t(t)]->waitForNewConnection(0)) << "terminal " << t << " started";
}

TEST_F(ParallelTransfer, JobsMustBeAWholeNumberFrom1To32) {
    startTerminals({-1});
    for (const char* jobs : {"0", "33", "iki", "-1", ""}) {
        const Outcome r = runProgram(programDir(), {"transfer", "--all-terminals", "--jobs", jobs});
        EXPECT_EQ(r.code, 64) << jobs;
        EXPECT_TRUE(r.err.startsWith("--jobs 1 ile 32 arasında")) << r.err.toStdString();
    }
}

} // namespace
