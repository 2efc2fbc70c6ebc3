// "sdkart->text (veri.txt)" on a 1,000,000-line memory-card file; prints the
// time (target: under 2 s).

#include "core/testing/SilentOperator.h"
#include "transfer/MemoryCard.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

int main() {
    constexpr int kLines = 1000000;
    QTemporaryDir dir;
    const QString card = dir.filePath(QStringLiteral("kart.txt"));
    {
        QByteArray text = "No\tTMNo\tEnNo\tName\tMode\tIOMd\tDateTime\r\n";
        text.reserve(qsizetype(kLines) * 48);
        char line[96];
        for (int i = 1; i < kLines; ++i) {
            const int n = std::snprintf(
                line, sizeof line, "%d\t1\t%d\t0\t0\t0\t2011/%02d/%02d %02d:%02d:%02d\r\n", i,
                i % 100000, 1 + i % 12, 1 + i % 28, i % 24, i % 60, (i * 7) % 60);
            text.append(line, n);
        }
        QFile f(card);
        if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size()) {
            std::fprintf(stderr, "can't write %s\n", qPrintable(card));
            return 1;
        }
        std::printf("memory-card file: %d lines, %.1f MB\n", kLines, text.size() / 1e6);
    }
    std::vector<double> times;
    for (int run = 0; run < 5; ++run) {
        const QString programDir = dir.path() + u'/';
        QFile::remove(programDir + QStringLiteral("veri.txt"));
        SilentOperator op;
        QElapsedTimer timer;
        timer.start();
        convertMemoryCardFile(card, programDir, op);
        const double seconds = timer.nsecsElapsed() / 1e9;
        if (QFile(programDir + QStringLiteral("veri.txt")).size() != qint64(kLines - 1) * 30) {
            std::fprintf(stderr, "wrong veri.txt size\n");
            return 1;
        }
        times.push_back(seconds);
        std::printf("run %d: %.3f s\n", run + 1, seconds);
    }
    std::sort(times.begin(), times.end());
    std::printf("memory-card conversion of %d lines: median %.3f s, best %.3f s (target < 2 s)\n",
                kLines, times[times.size() / 2], times.front());
    return 0;
}
