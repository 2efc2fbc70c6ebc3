// The central database's push: records into the outbox, and from it into
// the central table, in rows per second.
//   bench_sink --hosts H:P[,H:P...] [--records N] [--once]
// --once: one push of N records and nothing printed but the count (for
// callgrind, whose instructions per row bench/sink/run works out).

#include "core/CentralOutbox.h"
#include "core/DirectoryLock.h"
#include "sink/CentralDatabase.h"
#include "sink/OutboxPush.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <string>

namespace {

QByteArray lineFor(int i) {
    return QStringLiteral("%1 05/03/2024 %2:%3:00 01 01\r\n")
        .arg(i % 100000 + 1, 5, 10, QChar('0'))
        .arg(8 + (i / 60) % 10, 2, 10, QChar('0'))
        .arg(i % 60, 2, 10, QChar('0'))
        .toLatin1();
}

CentralSettings settingsFor(const QString& hosts, const QString& database) {
    CentralSettings s;
    s.hosts = parseCentralHosts(hosts);
    s.database = database;
    s.user = QStringLiteral("root");
    s.site = QStringLiteral("bench");
    return s;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString hosts;
    int records = 100000;
    bool once = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--hosts" && i + 1 < argc)
            hosts = QString::fromLocal8Bit(argv[++i]);
        else if (a == "--records" && i + 1 < argc)
            records = std::stoi(argv[++i]);
        else if (a == "--once")
            once = true;
    }
    if (hosts.isEmpty()) {
        std::fprintf(stderr, "usage: bench_sink --hosts H:P[,H:P...] [--records N] [--once]\n");
        return 2;
    }
    {
        CentralConnection admin(settingsFor(hosts, QStringLiteral("mysql")));
        admin.execute("CREATE DATABASE IF NOT EXISTS v270_bench_sink CHARACTER SET utf8mb4");
        admin.execute("USE v270_bench_sink");
        initCentralSchema(admin);
        admin.execute("TRUNCATE TABLE attendance");
        admin.execute("TRUNCATE TABLE terminal_progress");
    }
    QTemporaryDir dir;
    const QString programDir = dir.path() + '/';
    QElapsedTimer timer;
    timer.start();
    {
        const auto lock = DirectoryLock::tryAcquire(programDir);
        constexpr int kBatch = 5000; // a transfer's batch
        for (int at = 0; at < records; at += kBatch) {
            QByteArray lines;
            const int n = std::min(kBatch, records - at);
            for (int i = at; i < at + n; ++i)
                lines += lineFor(i);
            addToOutbox(*lock, "BENCH" + QByteArray::number(at / 20000), 1, at, lines, n,
                        1700000000);
        }
    }
    const double outboxSeconds = timer.nsecsElapsed() / 1e9;
    CentralConnection connection(settingsFor(hosts, QStringLiteral("v270_bench_sink")));
    connection.connect();
    timer.restart();
    const PushResult r = pushOutbox(programDir, connection);
    const double pushSeconds = timer.nsecsElapsed() / 1e9;
    if (once) {
        std::printf("%lld\n", r.sent);
        return 0;
    }
    std::printf("outbox: %d records in %.2f s, %.0f records/s (synced per batch of 5,000)\n",
                records, outboxSeconds, records / outboxSeconds);
    std::printf("push to %s: %lld rows in %.2f s, %.0f rows/s\n", qPrintable(hosts), r.sent,
                pushSeconds, r.sent / pushSeconds);
    return r.sent == records ? 0 : 1;
}
