// "Verileri Aktar" of 100,000 new records from the emulator over loopback
// TCP into veri.txt and the monthly backup file, synced to disk and
// committed to the terminal; prints records per second (target: at least
// 200,000) and the bytes a record costs on the link.

#include "core/testing/SilentOperator.h"
#include "terminal/DeviceState.h"
#include "terminal/TFP_CLOCK.h"
#include "terminal/testing/EmulatorProcess.h"
#include "transfer/TransferCommands.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

class QuietOperator : public SilentOperator {
  public:
    // The closing message comes once every line is on disk, synced, and
    // committed to the terminal; only the terminal's release follows.
    void showMessage(const QString& text, const QString&, Icon) override {
        last = text;
        if (atSynced == 0) atSynced = timer ? timer->nsecsElapsed() : 0;
    }
    QString last;
    const QElapsedTimer* timer = nullptr;
    qint64 atSynced = 0;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    constexpr int kRecords = 100000;
    constexpr int kRuns = 5;
    DeviceState state;
    state.logs.reserve(kRecords);
    // Enroll numbers 1 to 100000: every line is 33 bytes but the last (34).
    for (int i = 0; i < kRecords; ++i)
        state.logs.push_back(
            LogRecord{i + 1, i % 2 ? 8 : 0, 2024, 1 + i % 12, 1 + i % 28, i % 24, i % 60});

    std::vector<double> rates, withRelease, bytes;
    for (int run = 0; run < kRuns; ++run) {
        // A fresh terminal and program directory per run: the transfer marks
        // the records as read.
        QTemporaryDir dir;
        QString error;
        EmulatorProcess emulator;
        if (!emulator.startWithState(state, dir.path(), &error)) {
            std::fprintf(stderr, "emulator: %s\n", qPrintable(error));
            return 1;
        }
        TFP_CLOCK clock;
        if (!connectToEmulator(clock, emulator)) {
            std::fprintf(stderr, "can't connect\n");
            return 1;
        }
        QuietOperator op;
        const QString programDir = dir.path() + u'/';
        QElapsedTimer timer;
        timer.start();
        op.timer = &timer;
        const TransferResult r = transferNewRecords(clock, 1, programDir, false, op);
        const double seconds = timer.nsecsElapsed() / 1e9;
        clock.CloseCommPort();
        if (r.outcome != TransferOutcome::Transferred || r.records != kRecords ||
            QFile(programDir + QStringLiteral("veri.txt")).size() != qint64(kRecords) * 33 + 1) {
            std::fprintf(stderr, "run %d: wrong result (%lld records, %s)\n", run, r.records,
                         qPrintable(op.last));
            return 1;
        }
        const double synced = op.atSynced / 1e9;
        rates.push_back(kRecords / synced);
        withRelease.push_back(kRecords / seconds);
        bytes.push_back(double(clock.linkBytes()) / kRecords);
        std::printf(
            "run %d: %d records in files, synced and committed after %.3f s = %.0f records/s; "
            "with the terminal's commit and release %.3f s = %.0f records/s\n",
            run + 1, kRecords, synced, kRecords / synced, seconds, kRecords / seconds);
    }
    std::sort(rates.begin(), rates.end());
    std::sort(withRelease.begin(), withRelease.end());
    std::printf("new-record transfer over loopback, into veri.txt + backup, synced, committed: "
                "median %.0f records/s, best %.0f records/s (target >= 200000)\n",
                rates[rates.size() / 2], rates.back());
    // The emulator writes its whole state file when the commit moves the
    // new-record mark; a terminal has no such cost.
    std::printf("the whole command, with the terminal's commit (emulator saves its state file) "
                "and release: median %.0f records/s\n",
                withRelease[withRelease.size() / 2]);
    std::printf("on the link: %.2f bytes/record\n", bytes.front());
    return 0;
}
