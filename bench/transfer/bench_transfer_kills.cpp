// Kills the headless transfer of 200,000 new records (kill -9) at random
// moments, ten times, then lets one run finish, and counts what the data
// files hold: every record should be there once (target: 0 duplicates).
//   bench_transfer_kills [KILLS] [--pdks]
// With --pdks the PDKS program takes veri.txt away after every kill.

#include "core/Database.h"
#include "core/IniFile.h"
#include "core/testing/ExactlyOnce.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>

namespace {

constexpr int kRecords = 200000;

LogRecord recordAt(int i) {
    return LogRecord{i + 1,         i % 2 ? 8 : 0, 2024, 1 + (i / 40320) % 12, 1 + (i / 1440) % 28,
                     (i / 60) % 24, i % 60};
}

QByteArray lineOf(int i) {
    const LogRecord r = recordAt(i);
    return QStringLiteral("%1 %2/%3/2024 %4:%5:00 01 %6\r\n")
        .arg(r.enroll, 5, 10, QChar('0'))
        .arg(r.day, 2, 10, QChar('0'))
        .arg(r.month, 2, 10, QChar('0'))
        .arg(r.hour, 2, 10, QChar('0'))
        .arg(r.minute, 2, 10, QChar('0'))
        .arg(r.mode ? QStringLiteral("02") : QStringLiteral("01"))
        .toLatin1();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int wanted = 10;
    bool pdks = false;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--pdks")
            pdks = true;
        else
            wanted = std::max(1, atoi(argv[i]));
    }
    QTemporaryDir dir;
    const QString programDir = dir.path() + u'/';
    DeviceState state;
    for (int i = 0; i < kRecords; ++i)
        state.logs.push_back(recordAt(i));
    QTemporaryDir terminalDir;
    EmulatorProcess emulator;
    QString error;
    if (!emulator.startWithState(state, terminalDir.path(), &error)) {
        std::fprintf(stderr, "emulator: %s\n", qPrintable(error));
        return 1;
    }
    createDatabaseFromSchema(programDir + QStringLiteral("Data.mdb"), QStringLiteral("Data.sql"));
    {
        QSqlDatabase db = openDatabaseFile(QStringLiteral("kills"), programDir + "Data.mdb");
        execSql(db,
                QStringLiteral("insert into Terminal (TerminalNo, Terminal, Tip, ComPort, "
                               "ComBaud, Ip, NetPort, Sifre) values (1, 'Giriş', 'ethernet', "
                               "'', '', '127.0.0.1', ?, 0)"),
                {emulator.port()});
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("kills"));
    writeProfileString(programDir + "Settings.ini", "Options", "veriDosya2", "1");

    auto* random = QRandomGenerator::global();
    qint64 total = 0;
    for (int i = 0; i < kRecords; ++i)
        total += lineOf(i).size();
    const QString veri = programDir + QStringLiteral("veri.txt");
    const QByteArray veriNative = QFile::encodeName(veri);
    QStringList veriStream{QStringLiteral("veri.txt")};
    int kills = 0, runs = 0;
    while (kills < wanted && runs < wanted * 5) {
        ++runs;
        QProcess p;
        p.setProgram(QStringLiteral(V270_PROGRAM));
        p.setArguments({"--dir", dir.path(), "transfer"});
        p.start();
        if (!p.waitForStarted(10000)) return 1;
        // A random point of the download: when veri.txt has grown by a random
        // share of a third of what is left, and a random moment later.
        const qint64 from = QFileInfo(veri).size();
        const qint64 at =
            from + random->bounded(qint64(1), std::max<qint64>(2, (total - from) / 3));
        QElapsedTimer waited;
        waited.start();
        struct stat st {};
        while (waited.elapsed() < 120000 &&
               (::stat(veriNative.constData(), &st) != 0 || st.st_size < at))
            if (p.waitForFinished(0)) break;
        QThread::usleep(random->bounded(2000u));
        if (p.state() == QProcess::Running) {
            ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
            ++kills;
        }
        p.waitForFinished(60000);
        std::printf("run %d: %s, veri.txt %lld bytes\n", runs,
                    p.exitStatus() == QProcess::CrashExit ? "killed" : "finished",
                    static_cast<long long>(QFileInfo(veri).size()));
        if (pdks && QFile::exists(veri)) {
            const QString taken = QStringLiteral("alindi-%1.txt").arg(runs);
            QFile::rename(veri, programDir + taken);
            veriStream << taken;
        }
    }
    QProcess last;
    last.setProgram(QStringLiteral(V270_PROGRAM));
    last.setArguments({"--dir", dir.path(), "transfer"});
    last.start();
    last.waitForFinished(120000);
    std::printf("last run: exit %d, %s", last.exitCode(), last.readAllStandardOutput().constData());

    QList<QByteArray> expected;
    for (int i = 0; i < kRecords; ++i)
        expected << lineOf(i);
    const ExactlyOnceReport report =
        checkExactlyOnce(DeliveredFiles{programDir, veriStream, true}, expected);
    long long duplicates = 0, missing = 0;
    for (const StreamCount& c : report.streams) {
        std::printf("%s: %lld lines, %lld duplicates, %lld missing, %lld other, %lld partial\n",
                    qPrintable(c.stream), c.lines, c.repeated, c.missing, c.others, c.partialFiles);
        duplicates += c.repeated + c.others + c.partialFiles;
        missing += c.missing;
    }
    std::printf("bench_transfer_kills: after %d kills of a %d-record transfer: %lld duplicates, "
                "%lld missing (target 0)\n",
                kills, kRecords, duplicates, missing);
    return duplicates == 0 && missing == 0 ? 0 : 1;
}
