// Downloads 100,000 records from the emulator over loopback TCP through
// TFP_CLOCK and prints records per second, then the bytes a record costs on
// the link: for those records and for the demo terminal's log as a
// new-record transfer fetches it (target: at most 8).

#include "terminal/DeviceState.h"
#include "terminal/TFP_CLOCK.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    constexpr int kRecords = 100000;
    QTemporaryDir dir;
    DeviceState state;
    state.logs.reserve(kRecords);
    for (int i = 0; i < kRecords; ++i)
        state.logs.push_back(
            LogRecord{i + 1, i % 2 ? 8 : 0, 2024, 1 + i % 12, 1 + i % 28, i % 24, i % 60});
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
    double best = 0;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer timer;
        timer.start();
        clock.EnableDevice(1, 0);
        clock.ReadAllGeneralLogData(1);
        int32_t t, enroll, e, mode, y, mo, d, h, mi;
        int count = 0;
        long long checksum = 0;
        while (clock.GetAllGeneralLogData(1, t, enroll, e, mode, y, mo, d, h, mi)) {
            ++count;
            checksum += enroll;
        }
        clock.EnableDevice(1, 1);
        const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        if (count != kRecords) {
            std::fprintf(stderr, "got %d records, expected %d\n", count, kRecords);
            return 1;
        }
        const double rate = count / seconds;
        std::printf("run %d: %d records in %.3f s: %.0f records/s (checksum %lld)\n", run + 1,
                    count, seconds, rate, checksum);
        best = std::max(best, rate);
    }
    std::printf("bench_terminal: best %.0f records/s over loopback TCP (target 500000)\n", best);

    // Bytes on the link, every frame both ways, for one whole download.
    auto bytesPerRecord = [](TFP_CLOCK& c, bool onlyNew, int* records) {
        const long long before = c.linkBytes();
        c.EnableDevice(1, 0);
        c.ReadMark = onlyNew;
        onlyNew ? c.ReadGeneralLogData(1) : c.ReadAllGeneralLogData(1);
        int32_t t, enroll, e, mode, y, mo, d, h, mi;
        *records = 0;
        while (onlyNew ? c.GetGeneralLogData(1, t, enroll, e, mode, y, mo, d, h, mi)
                       : c.GetAllGeneralLogData(1, t, enroll, e, mode, y, mo, d, h, mi))
            ++*records;
        if (onlyNew) c.commitNewRecords(1, *records);
        c.EnableDevice(1, 1);
        return double(c.linkBytes() - before) / std::max(1, *records);
    };
    int records = 0;
    const double spread = bytesPerRecord(clock, false, &records);
    std::printf("bench_terminal: %.2f bytes/record on the link for the %d records above "
                "(dates spread over a year)\n",
                spread, records);

    QTemporaryDir demoDir;
    EmulatorProcess demo;
    if (!demo.startWithState(makeDemoState(50), demoDir.path(), &error)) {
        std::fprintf(stderr, "emulator: %s\n", qPrintable(error));
        return 1;
    }
    TFP_CLOCK demoClock;
    if (!connectToEmulator(demoClock, demo)) {
        std::fprintf(stderr, "can't connect\n");
        return 1;
    }
    const double perRecord = bytesPerRecord(demoClock, true, &records);
    std::printf("bench_terminal: %.2f bytes/record on the link for the demo terminal's %d new "
                "records (target <= 8; 28 before): %.0f records/s at 115,200 baud\n",
                perRecord, records, 115200.0 / 10 / perRecord);
    return 0;
}
