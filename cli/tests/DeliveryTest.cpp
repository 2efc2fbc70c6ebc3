// The headless transfer as cron runs it, against the emulator, cut short in
// every way a run can be cut: killed at a random record, the link cut, the
// disk full, the terminal's confirmation lost. After the next run the data
// files hold every record of the terminal exactly once.

#include "core/Database.h"
#include "core/IniFile.h"
#include "core/testing/ExactlyOnce.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"
#include "transfer/TransferCommands.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <gtest/gtest.h>

namespace {

QByteArray lineFor(int i) {
    return QStringLiteral("%1 05/03/2024 %2:%3:00 01 01\r\n")
        .arg(i + 1, 5, 10, QChar('0'))
        .arg(8 + (i / 60) % 10, 2, 10, QChar('0'))
        .arg(i % 60, 2, 10, QChar('0'))
        .toLatin1();
}

struct Outcome {
    int code = -1; // -1: killed
    QString out, err;
};

class Delivery : public ::testing::Test {
  protected:
    void SetUp() override {
        createDatabaseFromSchema(programDir() + "Data.mdb", "Data.sql");
        writeProfileString(programDir() + "Settings.ini", "Options", "veriDosya2", "1");
    }

    void startTerminal(int records, QStringList extra = {}) {
        statePath = dir.filePath("terminal.json");
        if (!QFile::exists(statePath)) {
            DeviceState state;
            for (int i = 0; i < records; ++i)
                state.logs.push_back(LogRecord{i + 1, 0, 2024, 3, 5, 8 + (i / 60) % 10, i % 60});
            QString error;
            ASSERT_TRUE(saveDeviceState(state, statePath, &error)) << error.toStdString();
        }
        emulator.stop();
        QString error;
        ASSERT_TRUE(emulator.start(QStringList{"--state", statePath} + extra, &error))
            << error.toStdString();
        QSqlDatabase db = openDatabaseFile("delivery-test", programDir() + "Data.mdb");
        execSql(db, "delete from Terminal");
        execSql(db,
                "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, NetPort, "
                "Sifre) values (1, 'Giriş', 'ethernet', '', '', '127.0.0.1', ?, 0)",
                {emulator.port()});
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("delivery-test");
    }

    int terminalMark() {
        QFile f(statePath);
        if (!f.open(QIODevice::ReadOnly)) return -1;
        const auto state = parseDeviceState(f.readAll(), nullptr);
        return state ? state->newMark : -1;
    }

    void startProgram(QProcess& p, const std::function<void()>& inChild = {}) {
        p.setProgram(QStringLiteral(V270_PROGRAM));
        p.setArguments({"--dir", dir.path(), "transfer"});
        if (inChild) p.setChildProcessModifier(inChild);
        p.start();
        ASSERT_TRUE(p.waitForStarted(10000));
    }

    Outcome finish(QProcess& p) {
        EXPECT_TRUE(p.waitForFinished(120000));
        Outcome r;
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    Outcome transfer(const std::function<void()>& inChild = {}) {
        QProcess p;
        startProgram(p, inChild);
        return finish(p);
    }

    // The PDKS program takes veri.txt away between runs.
    void pdksTakesVeri() {
        const QString veri = programDir() + "veri.txt";
        if (!QFile::exists(veri)) return;
        ASSERT_TRUE(
            QFile::rename(veri, programDir() + QStringLiteral("alindi-%1.txt").arg(++taken)));
    }

    // Each record once in veri.txt with what the PDKS program took, in the
    // monthly files and in veri2.txt; no other line, no partial line.
    ::testing::AssertionResult everyRecordOnce(int n) {
        DeliveredFiles files{programDir()};
        for (int i = 1; i <= taken; ++i)
            files.veriFiles << QStringLiteral("alindi-%1.txt").arg(i);
        QList<QByteArray> expected;
        for (int i = 0; i < n; ++i)
            expected << lineFor(i);
        const ExactlyOnceReport report = checkExactlyOnce(files, expected);
        if (report.ok()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << report.text().toStdString();
    }

    QString programDir() const { return dir.path() + '/'; }

    QTemporaryDir dir;
    QString statePath;
    EmulatorProcess emulator;
    int taken = 0;
};

// kill -9 when veri.txt has reached a random size, three times, then a
// run to the end.
TEST_F(Delivery, KilledAtRandomRecordsThenRunAgain) {
    constexpr int kRecords = 60000;
    startTerminal(kRecords);
    auto* random = QRandomGenerator::global();
    int kills = 0;
    for (int round = 0; round < 3; ++round) {
        const qint64 from = QFileInfo(programDir() + "veri.txt").size();
        const qint64 total = qint64(kRecords) * 33;
        if (from >= total - 33) break;
        const qint64 at = from + random->bounded(qint64(1), total - from);
        QProcess p;
        startProgram(p);
        QElapsedTimer waited;
        waited.start();
        // Watched closely, so the kill often lands inside the writing of a block.
        const QByteArray veri = QFile::encodeName(programDir() + "veri.txt");
        struct stat st {};
        while (waited.elapsed() < 60000 && (::stat(veri.constData(), &st) != 0 || st.st_size < at))
            if (p.waitForFinished(0)) break;
        QThread::usleep(random->bounded(300u));
        if (p.state() == QProcess::Running) {
            ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
            ++kills;
        }
        finish(p);
    }
    EXPECT_GE(kills, 1);
    const Outcome last = transfer();
    EXPECT_EQ(last.code, 0) << last.err.toStdString();
    EXPECT_EQ(terminalMark(), kRecords);
    EXPECT_TRUE(everyRecordOnce(kRecords));
}

// The link goes down after a number of records; the PDKS program takes
// veri.txt before the next run. The message comes once, on standard error;
// the summary line counts what reached the files.
TEST_F(Delivery, LinkCutAtARecordThenRunAgain) {
    constexpr int kRecords = 20000;
    int expectedTaken = 0;
    for (const int cut : {1, 17, 9000, 19999}) {
        SCOPED_TRACE(cut);
        startTerminal(kRecords, {"--drop-after", QString::number(cut)});
        const Outcome r = transfer();
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, interruptedText("ERR_COMPORT_ERROR", cut) + "\n");
        EXPECT_TRUE(r.out.startsWith(QStringLiteral("Giriş: %1 kayıt -> veri.txt, yedek_V270/")
                                         .arg(QLocale(QLocale::Turkish).toString(cut))))
            << r.out.toStdString();
        EXPECT_EQ(terminalMark(), 0);
        pdksTakesVeri();
        EXPECT_EQ(taken, ++expectedTaken);
    }
    startTerminal(kRecords);
    EXPECT_EQ(transfer().code, 0);
    EXPECT_EQ(terminalMark(), kRecords);
    EXPECT_TRUE(everyRecordOnce(kRecords));
}

// The disk fills up (a file size limit stands in for it): the error names
// the file, nothing is committed; veri.txt, already longer, fills up first.
TEST_F(Delivery, FullDiskThenRunAgain) {
    constexpr int kRecords = 20000;
    startTerminal(kRecords);
    writeFile(programDir() + "veri.txt", QByteArray("x\r\n").repeated(20000));
    const Outcome full = transfer([] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{300000, 300000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(full.code, 1);
    EXPECT_TRUE(full.err.contains("veri.txt\" dosyasına yazılamadı")) << full.err.toStdString();
    EXPECT_EQ(terminalMark(), 0);
    EXPECT_LT(QFileInfo(programDir() + "veri.txt").size(),
              QFileInfo(programDir() + "veri2.txt").size() + 60000);

    const Outcome again = transfer();
    EXPECT_EQ(again.code, 0) << again.err.toStdString();
    EXPECT_EQ(terminalMark(), kRecords);
    QByteArray veri = readFile(programDir() + "veri.txt");
    ASSERT_TRUE(veri.startsWith(QByteArray("x\r\n").repeated(20000)));
    writeFile(programDir() + "veri.txt", veri.mid(60000));
    EXPECT_TRUE(everyRecordOnce(kRecords));
}

// A file-size limit (ulimit -f) without anything else set up: the program
// itself ignores SIGXFSZ, so it reports the full file instead of dying
// between a batch's lines and its commit.
TEST_F(Delivery, FileSizeLimitIsReportedNotFatal) {
    startTerminal(20000);
    const Outcome limited = transfer([] {
        std::signal(SIGXFSZ, SIG_DFL);
        const rlimit limit{100000, 100000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(limited.code, 1) << "-1: killed by a signal";
    EXPECT_TRUE(limited.err.contains("dosya çok büyük")) << limited.err.toStdString();
    EXPECT_EQ(terminalMark(), 0);
    EXPECT_EQ(transfer().code, 0);
    EXPECT_TRUE(everyRecordOnce(20000));
}

// Ctrl-C asks the transfer to stop; it ends with 130, and what it wrote is
// delivered once when the next run takes the rest.
TEST_F(Delivery, CtrlCEndsWith130AndTheNextRunTakesTheRest) {
    constexpr int kRecords = 100000;
    startTerminal(kRecords);
    QProcess p;
    startProgram(p);
    QElapsedTimer waited;
    waited.start();
    while (QFileInfo(programDir() + "veri.txt").size() == 0 && waited.elapsed() < 60000)
        QThread::msleep(5);
    ASSERT_EQ(::kill(pid_t(p.processId()), SIGINT), 0);
    const Outcome stopped = finish(p);
    EXPECT_EQ(stopped.code, 130) << stopped.err.toStdString();
    EXPECT_TRUE(stopped.err.contains("Durduruluyor")) << stopped.err.toStdString();

    const Outcome rest = transfer();
    EXPECT_EQ(rest.code, 0) << rest.err.toStdString();
    EXPECT_EQ(terminalMark(), kRecords);
    EXPECT_TRUE(everyRecordOnce(kRecords));
}

// The terminal hangs in the middle of the download (stopped, as a terminal
// that stops answering): Ctrl-C still ends the command long before the
// request's time limit, with exit 130, and once the terminal answers again
// the next run brings the rest, every record once.
TEST_F(Delivery, CtrlCInterruptsARequestTheTerminalHangsOn) {
    constexpr int kRecords = 100000;
    startTerminal(kRecords, {"--delay-ms", "2"});
    QProcess p;
    startProgram(p);
    QElapsedTimer waited;
    waited.start();
    while (QFileInfo(programDir() + "veri.txt").size() == 0 && waited.elapsed() < 60000)
        QThread::msleep(5);
    const pid_t terminal = pid_t(emulator.processId());
    ASSERT_EQ(::kill(terminal, SIGSTOP), 0);
    QThread::msleep(1500); // what was on its way has arrived; the next request hangs
    QElapsedTimer stopping;
    stopping.start();
    ASSERT_EQ(::kill(pid_t(p.processId()), SIGINT), 0);
    const Outcome stopped = finish(p);
    const qint64 tookMs = stopping.elapsed();
    ::kill(terminal, SIGCONT);
    EXPECT_EQ(stopped.code, 130) << stopped.err.toStdString();
    // The request's own limit is 10 s; a cancel must not wait for it.
    EXPECT_LT(tookMs, 5000) << "the cancel waited for the hung request";

    const Outcome rest = transfer();
    EXPECT_EQ(rest.code, 0) << rest.err.toStdString();
    EXPECT_EQ(terminalMark(), kRecords);
    EXPECT_TRUE(everyRecordOnce(kRecords));
}

// The link drops after the last record, so the terminal never confirms:
// exit code 3, and the next run writes nothing again.
TEST_F(Delivery, UnconfirmedCommitThenRunAgain) {
    constexpr int kRecords = 5000;
    startTerminal(kRecords, {"--drop-after", QString::number(kRecords)});
    const Outcome first = transfer();
    EXPECT_EQ(first.code, 3);
    EXPECT_EQ(first.err, notConfirmedText("ERR_COMPORT_ERROR", kRecords) + "\n");
    EXPECT_TRUE(first.out.startsWith("Giriş: 5.000 kayıt -> ")) << first.out.toStdString();
    EXPECT_EQ(terminalMark(), 0);
    pdksTakesVeri();

    startTerminal(kRecords);
    const Outcome second = transfer();
    EXPECT_EQ(second.code, 0);
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(terminalMark(), kRecords);
    EXPECT_FALSE(QFile::exists(programDir() + "veri.txt") &&
                 QFileInfo(programDir() + "veri.txt").size() > 0);
    EXPECT_TRUE(everyRecordOnce(kRecords));
}

// Two terminals left at machine number 1, as many sites leave them. The
// first one's confirmation is lost; the second one's batch starts at the
// same terminal position. Neither touches the other's journal entry, so the
// first one's records are not written again when it is read next.
TEST_F(Delivery, TwoTerminalsWithOneMachineNumberKeepTheirOwnBatches) {
    struct Gate {
        const char* name;
        int firstEnroll, records;
        QString state;
        EmulatorProcess emulator;
    };
    Gate gates[2] = {{"Giriş", 1, 1000, {}, {}}, {"Çıkış", 50001, 500, {}, {}}};
    const auto start = [&](Gate& g, QStringList extra) {
        g.state = dir.filePath(QString::fromUtf8(g.name) + ".json");
        if (!QFile::exists(g.state)) {
            DeviceState state;
            for (int i = 0; i < g.records; ++i)
                state.logs.push_back(LogRecord{g.firstEnroll + i, 0, 2024, 3, 5, 9, i % 60});
            QString error;
            ASSERT_TRUE(saveDeviceState(state, g.state, &error)) << error.toStdString();
        }
        g.emulator.stop();
        QString error;
        ASSERT_TRUE(g.emulator.start(QStringList{"--state", g.state} + extra, &error))
            << error.toStdString();
    };
    const auto register_ = [&] {
        QSqlDatabase db = openDatabaseFile("two-terminals", programDir() + "Data.mdb");
        execSql(db, "delete from Terminal");
        for (const Gate& g : gates)
            execSql(db,
                    "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, "
                    "NetPort, Sifre) values (1, ?, 'ethernet', '', '', '127.0.0.1', ?, 0)",
                    {QString::fromUtf8(g.name), g.emulator.port()});
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("two-terminals");
    };
    const auto transferFrom = [&](const Gate& g) {
        QProcess p;
        p.start(QStringLiteral(V270_PROGRAM),
                {"--dir", dir.path(), "transfer", "--terminal", QString::fromUtf8(g.name)});
        return finish(p);
    };

    start(gates[0], {"--drop-after", "1000"});
    start(gates[1], {});
    register_();
    EXPECT_EQ(transferFrom(gates[0]).code, 3); // on disk, not confirmed
    EXPECT_EQ(transferFrom(gates[1]).code, 0);
    start(gates[0], {});
    register_();
    const Outcome again = transferFrom(gates[0]);
    EXPECT_EQ(again.code, 0) << again.err.toStdString();

    QHash<QByteArray, int> seen;
    for (const QByteArray& line : readFile(programDir() + "veri.txt").split('\n'))
        if (!line.isEmpty()) ++seen[line];
    EXPECT_EQ(seen.size(), 1500);
    int twice = 0;
    for (const int times : seen)
        twice += times > 1;
    EXPECT_EQ(twice, 0);
}

} // namespace
