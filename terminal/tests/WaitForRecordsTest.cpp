// Waiting for new records: a wait the terminal holds until a punch or its
// time limit, beside other clients, cancelled, refused, or asked of a
// terminal too old for it; and the emulator's punches and their log.

#include "terminal/DeviceModel.h"
#include "terminal/TFP_CLOCK.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <atomic>
#include <csignal>
#include <ctime>
#include <future>
#include <thread>
#include <gtest/gtest.h>

namespace {

int32_t lastError(TFP_CLOCK& clock) {
    int32_t code = -99;
    clock.GetLastError(code);
    return code;
}

// Two records; user 42 is enrolled, so a punch has somebody to punch.
DeviceState twoRecords() {
    DeviceState s;
    s.logs = {LogRecord{42, 0, 2024, 3, 5, 8, 7}, LogRecord{42, 8, 2024, 3, 5, 17, 59}};
    Enrollment card;
    card.enroll = 42, card.backup = kCardBackup, card.password = 7;
    s.enrollments = {card};
    return s;
}

long long wallNs() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

struct WaitResult {
    bool ok = false;
    int32_t logEnd = -1;
    int32_t error = 0;
    long long endedNs = 0;
};

// A control of its own on another thread (sockets belong to the thread that
// uses them) that connects and waits once.
std::future<WaitResult> waitElsewhere(const EmulatorProcess& emulator, int32_t position,
                                      int32_t ms) {
    return std::async(std::launch::async, [&emulator, position, ms] {
        TFP_CLOCK clock;
        WaitResult r;
        if (!connectToEmulator(clock, emulator)) return r;
        r.ok = clock.WaitForNewRecords(1, position, ms, r.logEnd);
        r.endedNs = wallNs();
        r.error = lastError(clock);
        return r;
    });
}

class Emulated : public ::testing::Test {
  protected:
    void start(QStringList extra = {}) {
        const QString state = dir.filePath(QStringLiteral("state.json"));
        QString error;
        ASSERT_TRUE(saveDeviceState(twoRecords(), state, &error)) << error.toStdString();
        ASSERT_TRUE(emulator.start(QStringList{QStringLiteral("--state"), state} + extra, &error))
            << error.toStdString();
        ASSERT_TRUE(connectToEmulator(clock, emulator)) << lastError(clock);
    }
    void punch() { ::kill(static_cast<pid_t>(emulator.processId()), SIGUSR1); }
    QString punchLog() const { return dir.filePath(QStringLiteral("punches.log")); }

    QTemporaryDir dir;
    EmulatorProcess emulator;
    TFP_CLOCK clock;
};

} // namespace

TEST_F(Emulated, PunchAnswersAHeldWaitWhileOthersAreServed) {
    start({QStringLiteral("--punch-log"), punchLog()});
    std::future<WaitResult> waiting = waitElsewhere(emulator, 2, 20000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // held by now

    // The terminal goes on serving everybody else, lock and all.
    QElapsedTimer served;
    served.start();
    DeviceCounts counts;
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    ASSERT_TRUE(clock.GetDeviceCounts(1, counts));
    ASSERT_TRUE(clock.EnableDevice(1, 1));
    EXPECT_LT(served.elapsed(), 1000);
    EXPECT_EQ(counts.allRecords, 2);
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

    const long long punchedNs = wallNs();
    punch();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const WaitResult r = waiting.get();
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.logEnd, 3);
    EXPECT_LT(r.endedNs - punchedNs, 1000000000LL); // a short time, not the 20 s limit

    // The punch is in the log as made: position 2 on machine 1, after the signal.
    QFile log(punchLog());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> fields = log.readAll().trimmed().split(' ');
    ASSERT_EQ(fields.size(), 3);
    EXPECT_EQ(fields[0], "2");
    EXPECT_EQ(fields[1], "1");
    EXPECT_GE(fields[2].toLongLong(), punchedNs);
    EXPECT_LE(fields[2].toLongLong(), r.endedNs);
}

TEST_F(Emulated, PunchesAtARateAreLoggedAtConsecutivePositions) {
    start({QStringLiteral("--punches"), QStringLiteral("25"), QStringLiteral("--punch-log"),
           punchLog()});
    const long long startedNs = wallNs();
    // Waits follow the records as they come, one answer after another.
    int32_t seen = 2, answers = 0;
    while (seen < 12 && answers < 50) {
        int32_t end = 0;
        ASSERT_TRUE(clock.WaitForNewRecords(1, seen, 5000, end)) << lastError(clock);
        EXPECT_GT(end, seen) << "a punch every 40 ms ends each wait";
        seen = end, ++answers;
    }
    ASSERT_GE(seen, 12);
    EXPECT_EQ(emulator.stop(), 0);

    QFile log(punchLog());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().split('\n');
    ASSERT_GE(lines.size(), 11);
    EXPECT_TRUE(lines.back().isEmpty()) << "every line is whole";
    long long previousNs = startedNs - 1000000000LL;
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QList<QByteArray> f = lines[i].split(' ');
        ASSERT_EQ(f.size(), 3) << lines[i].toStdString();
        EXPECT_EQ(f[0].toInt(), 2 + i);
        EXPECT_EQ(f[1], "1");
        const long long ns = f[2].toLongLong();
        EXPECT_GE(ns, previousNs);
        EXPECT_LE(ns, wallNs());
        previousNs = ns;
    }
    // Every punch is kept, each by the enrolled user, stamped with the clock.
    QFile state(dir.filePath(QStringLiteral("state.json")));
    ASSERT_TRUE(state.open(QIODevice::ReadOnly));
    QString error;
    const auto saved = parseDeviceState(state.readAll(), &error);
    ASSERT_TRUE(saved) << error.toStdString();
    ASSERT_EQ(saved->logs.size(), static_cast<size_t>(lines.size() - 1 + 2));
    const LogRecord& last = saved->logs.back();
    EXPECT_EQ(last.enroll, 42);
    EXPECT_EQ(last.year, QDate::currentDate().year());
}

TEST_F(Emulated, CancelEndsAHeldWait) {
    start();
    std::atomic<bool> cancelled{false};
    clock.setCancelCheck([&cancelled] { return cancelled.load(); });
    std::thread canceller([&cancelled] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancelled = true;
    });
    QElapsedTimer timer;
    timer.start();
    int32_t end = -1;
    EXPECT_FALSE(clock.WaitForNewRecords(1, 2, 20000, end));
    canceller.join();
    EXPECT_EQ(lastError(clock), ERR_COMPORT_ERROR);
    EXPECT_LT(timer.elapsed(), 1500);
    // The terminal let go of the wait; the next command is served.
    cancelled = false;
    DeviceCounts counts;
    EXPECT_TRUE(clock.GetDeviceCounts(1, counts)) << lastError(clock);

    // In-process alike.
    TFP_CLOCK local;
    local.setInProcessDevice(std::make_shared<DeviceModel>(twoRecords()));
    ASSERT_TRUE(local.OpenCommPort(1));
    local.setCancelCheck([&cancelled] { return cancelled.load(); });
    std::thread again([&cancelled] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancelled = true;
    });
    timer.restart();
    EXPECT_FALSE(local.WaitForNewRecords(1, 2, 20000, end));
    again.join();
    EXPECT_EQ(lastError(local), ERR_COMPORT_ERROR);
    EXPECT_LT(timer.elapsed(), 1500);
}

TEST_F(Emulated, WaitOutlastsTheRequestLimitButNotADeadTerminal) {
    start();
    clock.setTimeouts(5000, 300);
    QElapsedTimer timer;
    timer.start();
    int32_t end = -1;
    // The terminal is silent for the wait's length by design.
    ASSERT_TRUE(clock.WaitForNewRecords(1, 2, 900, end)) << lastError(clock);
    EXPECT_EQ(end, 2);
    EXPECT_GE(timer.elapsed(), 850);

    // A terminal that stops answering is noticed once the wait's time and
    // the request limit are over.
    const auto pid = static_cast<pid_t>(emulator.processId());
    ::kill(pid, SIGSTOP);
    timer.restart();
    EXPECT_FALSE(clock.WaitForNewRecords(1, 2, 200, end));
    const qint64 took = timer.elapsed();
    ::kill(pid, SIGCONT);
    EXPECT_EQ(lastError(clock), ERR_READ_FAIL);
    EXPECT_GE(took, 450);
    EXPECT_LT(took, 2000);
}

TEST_F(Emulated, OnASerialLineAWaitIsAnsweredAndANewPeerIsNotHeldUp) {
    const QString line = dir.filePath(QStringLiteral("ttyV0"));
    start(
        {QStringLiteral("--pty"), line, QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")});
    clock.CloseCommPort(); // the line has one session at a time
    const auto overTheLine = [&line](TFP_CLOCK& c) {
        c.setTimeouts(3000, 3000);
        c.setDevicePath(line);
        return c.OpenCommPort(1);
    };
    {
        std::atomic<bool> punched{false};
        std::thread puncher([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            punch();
            punched = true;
        });
        TFP_CLOCK serial;
        ASSERT_TRUE(overTheLine(serial)) << lastError(serial);
        int32_t end = -1;
        EXPECT_TRUE(serial.WaitForNewRecords(1, 2, 20000, end)) << lastError(serial);
        EXPECT_TRUE(punched);
        EXPECT_EQ(end, 3);
        puncher.join();
    }
    // A control that gave up on its wait leaves the line to the next one,
    // which must not find the old answer nor wait behind it.
    std::atomic<bool> cancelled{false};
    TFP_CLOCK gaveUp;
    gaveUp.setCancelCheck([&cancelled] { return cancelled.load(); });
    ASSERT_TRUE(overTheLine(gaveUp));
    std::thread canceller([&cancelled] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancelled = true;
    });
    int32_t end = -1;
    EXPECT_FALSE(gaveUp.WaitForNewRecords(1, 3, 20000, end));
    canceller.join();
    gaveUp.CloseCommPort();
    TFP_CLOCK next;
    ASSERT_TRUE(overTheLine(next)) << lastError(next);
    DeviceCounts counts;
    EXPECT_TRUE(next.GetDeviceCounts(1, counts)) << lastError(next);
    EXPECT_EQ(counts.allRecords, 3);
}

TEST_F(Emulated, OlderTerminalIsToldNotSupportedAndStillServed) {
    start({QStringLiteral("--protocol"), QStringLiteral("4")});
    EXPECT_EQ(clock.protocolVersion(), 4);
    QElapsedTimer timer;
    timer.start();
    int32_t end = -1;
    EXPECT_FALSE(clock.WaitForNewRecords(1, 2, 5000, end));
    EXPECT_EQ(lastError(clock), ERR_NOSUPPORT);
    EXPECT_LT(timer.elapsed(), 500);
    DeviceCounts counts;
    EXPECT_TRUE(clock.GetDeviceCounts(1, counts)) << lastError(clock);
    EXPECT_EQ(counts.allRecords, 2);
}

TEST_F(Emulated, OlderControlIsAnsweredInItsOwnVersion) {
    start();
    EXPECT_EQ(clock.protocolVersion(), wire::kVersion);
    // A version-4 control reads only version-4 frames.
    QTcpSocket old;
    old.connectToHost(emulator.host(), static_cast<quint16>(emulator.port()));
    ASSERT_TRUE(old.waitForConnected(5000));
    wire::FrameDecoder decoder(wire::kMinVersion);
    for (const wire::Message& rq : {wire::Message{wire::Op::Hello, 0, {1, 0}, {}},
                                    wire::Message{wire::Op::GetDeviceCounts, 0, {1}, {}}}) {
        old.write(wire::encodeFrame(rq, wire::kMinVersion));
        wire::Message rp;
        auto status = wire::FrameDecoder::Status::NeedMore;
        while (status == wire::FrameDecoder::Status::NeedMore && old.waitForReadyRead(5000)) {
            decoder.append(old.readAll());
            status = decoder.next(rp);
        }
        ASSERT_EQ(status, wire::FrameDecoder::Status::Frame) << wire::opName(rq.op);
        EXPECT_EQ(rp.op, rq.op);
        EXPECT_EQ(rp.code, SUCCESS);
    }
}

TEST(WaitForNewRecords, RunsOutWithNoneYetOrAnswersAtOnce) {
    // In-process the wait runs its time out (nothing can punch meanwhile);
    // the emulator holds it the same way.
    struct Case {
        const char* what;
        int32_t position, ms;
        int32_t logEnd;
        int minMs, maxMs;
    };
    const Case cases[] = {
        {"none yet after the limit", 2, 300, 2, 250, 3000},
        {"past the end: none yet, and where the log ends", 9, 300, 2, 250, 3000},
        {"records past the position: at once", 1, 20000, 2, 0, 1000},
        {"no time: asked, not waited", 2, 0, 2, 0, 1000},
    };
    QTemporaryDir dir;
    EmulatorProcess emulator;
    ASSERT_TRUE(emulator.startWithState(twoRecords(), dir.path()));
    for (bool inProcess : {true, false}) {
        TFP_CLOCK clock;
        if (inProcess) clock.setInProcessDevice(std::make_shared<DeviceModel>(twoRecords()));
        ASSERT_TRUE(inProcess ? clock.OpenCommPort(1) : connectToEmulator(clock, emulator));
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (inProcess ? " (in-process)" : " (emulator)"));
            QElapsedTimer timer;
            timer.start();
            int32_t end = -1;
            ASSERT_TRUE(clock.WaitForNewRecords(1, c.position, c.ms, end)) << lastError(clock);
            EXPECT_EQ(end, c.logEnd);
            EXPECT_GE(timer.elapsed(), c.minMs);
            EXPECT_LT(timer.elapsed(), c.maxMs);
        }
    }
}

TEST(WaitForNewRecords, LimitsOutsideTheRangeAreRefused) {
    struct Case {
        const char* what;
        int32_t position, ms;
    };
    const Case cases[] = {
        {"over 30 s", 0, wire::kMaxWaitMs + 1},
        {"negative time", 0, -1},
        {"negative position", -1, 100},
    };
    auto device = std::make_shared<DeviceModel>(twoRecords());
    int requests = 0;
    device->setRequestObserver([&requests](const wire::Message&) { ++requests; });
    TFP_CLOCK clock;
    clock.setInProcessDevice(device);
    ASSERT_TRUE(clock.OpenCommPort(1));
    const DeviceModel::ClientId raw = device->connectClient();
    ASSERT_EQ(device->handle(raw, wire::Message{wire::Op::Hello, 0, {1, 0}, {}}).message.code,
              SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The control refuses before asking; the terminal refuses too.
        const int before = requests;
        int32_t end = -1;
        EXPECT_FALSE(clock.WaitForNewRecords(1, c.position, c.ms, end));
        EXPECT_EQ(lastError(clock), ERR_INVALID_PARAM);
        EXPECT_EQ(requests, before);
        const DeviceModel::Reply r = device->handle(
            raw, wire::Message{wire::Op::WaitForNewRecords, 0, {1, c.position, c.ms}, {}});
        EXPECT_EQ(r.message.code, ERR_INVALID_PARAM);
        EXPECT_EQ(r.waitMs, 0);
    }
}
