// The headless transfer of many terminals at once against one after another:
// TERMINALS emulators answering every request after DELAY ms, each holding
// RECORDS new records, read by `transfer --all-terminals --jobs N` for each
// N given. Prints the wall clock of each run and its share of the first
// (target for --jobs 8 against --jobs 1: at most 0.25).
//   bench_transfer_parallel [--terminals 20] [--records 5000] [--delay-ms 50] [JOBS...]
// JOBS defaults to 1 8. Every run starts from fresh terminals and an empty
// program directory, and must end with every record once in veri.txt.

#include "core/Database.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct Setup {
    int terminals = 20;
    int records = 5000;
    int delayMs = 50;
    std::vector<int> jobs;
};

// Terminal t's records: the enroll number tells the terminal, the minute
// the record, so every line of the run is different.
DeviceState stateOf(int t, int records) {
    DeviceState state;
    for (int i = 0; i < records; ++i)
        state.logs.push_back(LogRecord{t * 10000 + (i % 10000) + 1, 0, 2024, 3, 1 + (i / 1440) % 28,
                                       (i / 60) % 24, i % 60});
    return state;
}

struct Run {
    double seconds = -1;
    QString problem; // empty when every record is in veri.txt once
};

Run runOnce(const Setup& setup, int jobs) {
    Run run;
    QTemporaryDir dir, terminalsDir;
    const QString programDir = dir.path() + u'/';
    std::vector<std::unique_ptr<EmulatorProcess>> emulators;
    for (int t = 0; t < setup.terminals; ++t) {
        const QString state = terminalsDir.filePath(QStringLiteral("t%1.json").arg(t));
        QString error;
        auto emulator = std::make_unique<EmulatorProcess>();
        if (!saveDeviceState(stateOf(t, setup.records), state, &error) ||
            !emulator->start({"--state", state, "--delay-ms", QString::number(setup.delayMs)},
                             &error)) {
            run.problem = QStringLiteral("emulator %1: %2").arg(t).arg(error);
            return run;
        }
        emulators.push_back(std::move(emulator));
    }
    createDatabaseFromSchema(programDir + QStringLiteral("Data.mdb"), QStringLiteral("Data.sql"));
    {
        QSqlDatabase db = openDatabaseFile(QStringLiteral("parallel"), programDir + "Data.mdb");
        for (int t = 0; t < setup.terminals; ++t)
            execSql(db,
                    QStringLiteral("insert into Terminal (TerminalNo, Terminal, Tip, ComPort, "
                                   "ComBaud, Ip, NetPort, Sifre) values (1, ?, 'ethernet', '', "
                                   "'', '127.0.0.1', ?, 0)"),
                    {QStringLiteral("Kapı %1").arg(t + 1, 2, 10, QChar('0')),
                     emulators[size_t(t)]->port()});
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("parallel"));

    QProcess p;
    p.setProgram(QStringLiteral(V270_PROGRAM));
    p.setArguments({"--dir", dir.path(), "-q", "transfer", "--all-terminals", "--jobs",
                    QString::number(jobs)});
    QElapsedTimer clock;
    clock.start();
    p.start();
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit) {
        run.problem = QStringLiteral("the program did not finish");
        return run;
    }
    run.seconds = clock.nsecsElapsed() / 1e9;
    if (p.exitCode() != 0) {
        run.problem = QStringLiteral("exit %1: %2")
                          .arg(p.exitCode())
                          .arg(QString::fromUtf8(p.readAllStandardError()));
        return run;
    }
    QHash<QByteArray, int> seen;
    for (const QByteArray& line : readFile(programDir + "veri.txt").split('\n'))
        if (!line.isEmpty() && ++seen[line] > 1) {
            run.problem = QStringLiteral("a line twice: ") + QString::fromLatin1(line);
            return run;
        }
    if (seen.size() != qsizetype(setup.terminals) * setup.records)
        run.problem = QStringLiteral("%1 lines in veri.txt").arg(seen.size());
    return run;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Setup setup;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        const bool hasValue = i + 1 < argc;
        if (arg == "--terminals" && hasValue)
            setup.terminals = std::max(1, atoi(argv[++i]));
        else if (arg == "--records" && hasValue)
            setup.records = std::max(0, atoi(argv[++i]));
        else if (arg == "--delay-ms" && hasValue)
            setup.delayMs = std::max(0, atoi(argv[++i]));
        else
            setup.jobs.push_back(std::max(1, atoi(argv[i])));
    }
    if (setup.jobs.empty()) setup.jobs = {1, 8};

    std::printf("%d terminals, %d new records each, %d ms a request\n", setup.terminals,
                setup.records, setup.delayMs);
    double first = -1;
    bool ok = true;
    for (int jobs : setup.jobs) {
        const Run r = runOnce(setup, jobs);
        if (!r.problem.isEmpty()) {
            std::printf("--jobs %d: %s\n", jobs, qPrintable(r.problem));
            ok = false;
            continue;
        }
        if (first < 0) first = r.seconds;
        std::printf("--jobs %d: %.2f s, %.2fx of --jobs %d\n", jobs, r.seconds, r.seconds / first,
                    setup.jobs.front());
        std::fflush(stdout);
    }
    return ok ? 0 : 1;
}
