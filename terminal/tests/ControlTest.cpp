// TFP_CLOCK against a terminal: in-process, and the emulator over TCP, a
// pseudo-terminal and a Unix socket.

#include "terminal/DeviceModel.h"
#include "terminal/TFP_CLOCK.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstring>
#include <functional>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <gtest/gtest.h>

namespace {

enum class Via { InProcess, Tcp, Pty, Unix };

EnrollTemplate patternTemplate(int32_t seed) {
    EnrollTemplate t{};
    for (size_t i = 0; i < t.size(); ++i)
        t[i] = static_cast<int32_t>(seed * 7919 + static_cast<int32_t>(i) * -104729);
    return t;
}

DeviceState baseState() {
    DeviceState s;
    s.machine = 1;
    s.ringDuration = 9;
    s.bells[0] = Bell{1, 8, 30};
    s.bells[7] = Bell{2, 17, 45};
    s.logs = {LogRecord{1, 0, 2024, 3, 5, 8, 7}, LogRecord{123, 1281, 2024, 3, 5, 17, 59},
              LogRecord{-5, 8, 11, 2, 123, 99, -1}};
    s.newMark = 1;
    Enrollment finger;
    finger.enroll = 42, finger.emachine = 1, finger.backup = 0, finger.privilege = 2;
    finger.fingerprint = patternTemplate(42);
    Enrollment card;
    card.enroll = 42, card.emachine = 1, card.backup = kCardBackup, card.password = -1;
    s.enrollments = {finger, card};
    s.names[42] = QStringLiteral("AYSE YILMAZ");
    return s;
}

DeviceState manyLogs(int count) {
    DeviceState s;
    for (int i = 0; i < count; ++i)
        s.logs.push_back(LogRecord{i, 0, 2024, 1, 1 + i % 28, i % 24, i % 60});
    return s;
}

// One terminal to talk to, in-process or as an emulator process.
class Terminal {
  public:
    bool start(Via via, const DeviceState& state, QStringList extra = {}) {
        via_ = via;
        if (via == Via::InProcess) {
            device = std::make_shared<DeviceModel>(state);
            return true;
        }
        statePath = dir.filePath(QStringLiteral("state.json"));
        QString error;
        if (!QFile::exists(statePath) && !saveDeviceState(state, statePath, &error)) return false;
        return restart(extra);
    }

    bool restart(QStringList extra = {}) {
        emulator.stop();
        QStringList args{QStringLiteral("--state"), statePath};
        if (via_ == Via::Pty)
            args << QStringLiteral("--pty") << dir.filePath(QStringLiteral("ttyV0"));
        if (via_ == Via::Unix)
            args << QStringLiteral("--unix") << dir.filePath(QStringLiteral("usb.sock"));
        QString error;
        const bool ok = emulator.start(args + extra, &error);
        EXPECT_TRUE(ok) << error.toStdString();
        return ok;
    }

    // Sets the control up the way the session does for this link.
    void prepare(TFP_CLOCK& clock, int32_t password = 0) {
        clock.setTimeouts(5000, 5000);
        switch (via_) {
        case Via::InProcess:
            clock.setInProcessDevice(device);
            break;
        case Via::Tcp:
            clock.SetIPAddress(emulator.host(), emulator.port(), password);
            break;
        case Via::Pty:
            clock.setDevicePath(dir.filePath(QStringLiteral("ttyV0")));
            clock.CommPort = 3;
            clock.Baudrate = 115200;
            break;
        case Via::Unix:
            clock.setDevicePath(emulator.unixPath());
            clock.IsUSB = true;
            break;
        }
    }

    // The terminal's memory as it stands (for the emulator: as saved on disk).
    DeviceState saved() {
        if (via_ == Via::InProcess) return device->state();
        QFile f(statePath);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        QString error;
        auto s = parseDeviceState(f.readAll(), &error);
        EXPECT_TRUE(s) << error.toStdString();
        return s.value_or(DeviceState{});
    }

    QTemporaryDir dir;
    QString statePath;
    std::shared_ptr<DeviceModel> device;
    EmulatorProcess emulator;

  private:
    Via via_ = Via::InProcess;
};

int32_t lastError(TFP_CLOCK& clock) {
    int32_t code = -99;
    clock.GetLastError(code);
    return code;
}

struct Log {
    int32_t enroll, mode, year, month, day, hour, minute;
    bool operator==(const Log&) const = default;
};

// Drains a prepared record list; `all` picks GetAllGeneralLogData.
std::vector<Log> drain(TFP_CLOCK& clock, bool all, int limit = INT32_MAX) {
    std::vector<Log> out;
    int32_t t = 0, e = 0, em = 0, mode = 0, y = 0, mo = 0, d = 0, h = 0, mi = 0;
    while (static_cast<int>(out.size()) < limit &&
           (all ? clock.GetAllGeneralLogData(1, t, e, em, mode, y, mo, d, h, mi)
                : clock.GetGeneralLogData(1, t, e, em, mode, y, mo, d, h, mi)))
        out.push_back(Log{e, mode, y, mo, d, h, mi});
    return out;
}

// Each group of operations against a fresh terminal holding baseState(),
// opened and locked.
class EveryOperation : public ::testing::TestWithParam<Via> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(terminal.start(GetParam(), baseState()));
        terminal.prepare(clock);
        ASSERT_TRUE(clock.OpenCommPort(1)) << lastError(clock);
        ASSERT_TRUE(clock.EnableDevice(1, 0));
    }

    // Releases the terminal and returns what it keeps (for the emulator:
    // the saved file, which is current once the release is answered).
    DeviceState released() {
        EXPECT_TRUE(clock.EnableDevice(1, 1));
        return terminal.saved();
    }

    Terminal terminal;
    TFP_CLOCK clock;
};

} // namespace

TEST_P(EveryOperation, ClockIsSetToTheComputersAndReadBack) {
    ASSERT_TRUE(clock.SetDeviceTime(1));
    int32_t y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    ASSERT_TRUE(clock.GetDeviceTime(1, y, mo, d, h, mi, s));
    const QDateTime device(QDate(y, mo, d), QTime(h, mi, s));
    EXPECT_LE(std::abs(device.secsTo(QDateTime::currentDateTime())), 5);
    EXPECT_LE(std::abs(released().clockOffsetSeconds), 5);
}

TEST_P(EveryOperation, NewRecordsStayNewUntilCommitted) {
    // New records from the mark on, exactly as stored, then the end. A
    // release leaves them new; only the commit moves the mark past them.
    clock.ReadMark = true;
    ASSERT_TRUE(clock.ReadGeneralLogData(1));
    EXPECT_EQ(clock.newRecordsStart(), 1);
    EXPECT_EQ(drain(clock, false),
              (std::vector<Log>{{123, 1281, 2024, 3, 5, 17, 59}, {-5, 8, 11, 2, 123, 99, -1}}));
    EXPECT_EQ(lastError(clock), ERR_LOG_END);
    EXPECT_EQ(released().newMark, 1);
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    ASSERT_TRUE(clock.commitNewRecords(1, 2));
    EXPECT_EQ(clock.newRecordsStart(), 3);
    ASSERT_TRUE(clock.ReadGeneralLogData(1));
    EXPECT_TRUE(drain(clock, false).empty());
    // All records, whatever the mark.
    ASSERT_TRUE(clock.ReadAllGeneralLogData(1));
    EXPECT_EQ(drain(clock, true).size(), 3u);
    EXPECT_EQ(released().newMark, 3);
}

TEST_P(EveryOperation, EnrollmentListIsWalkedToItsEnd) {
    ASSERT_TRUE(clock.ReadAllUserID(1));
    std::vector<std::array<int32_t, 5>> users;
    int32_t en = 0, em = 0, bk = 0, pr = 0, on = 0;
    while (clock.GetAllUserID(1, en, em, bk, pr, on))
        users.push_back({en, em, bk, pr, on});
    EXPECT_EQ(users, (std::vector<std::array<int32_t, 5>>{{42, 1, 0, 2, 1}, {42, 1, 11, 0, 1}}));
    EXPECT_EQ(lastError(clock), ERR_LOG_END);
}

TEST_P(EveryOperation, SingleEnrollmentsAreReadWrittenAndDeleted) {
    // Template, card, and an unknown one.
    EnrollTemplate tmpl{};
    int32_t privilege = -1, password = -1;
    ASSERT_TRUE(clock.GetEnrollData(1, 42, 1, 0, privilege, tmpl, password));
    EXPECT_EQ(tmpl, patternTemplate(42));
    EXPECT_EQ(privilege, 2);
    ASSERT_TRUE(clock.GetEnrollData(1, 42, 1, 11, privilege, tmpl, password));
    EXPECT_EQ(password, -1);
    EXPECT_EQ(tmpl, patternTemplate(42)); // a card leaves the template alone
    EXPECT_FALSE(clock.GetEnrollData(1, 77, 1, 0, privilege, tmpl, password));
    EXPECT_EQ(lastError(clock), ERR_NON_CARRYOUT);
    EXPECT_EQ(tmpl, EnrollTemplate{}); // nothing of the last read is left over
    EXPECT_EQ(password, 0);

    ASSERT_TRUE(clock.SetEnrollData(1, 7, 2, 1, 1, patternTemplate(7), 0));
    ASSERT_TRUE(clock.SetEnrollData(1, 7, 2, 10, 0, tmpl, 1234));
    ASSERT_TRUE(clock.GetEnrollData(1, 7, 2, 1, privilege, tmpl, password));
    EXPECT_EQ(tmpl, patternTemplate(7));
    EXPECT_EQ(privilege, 1);
    ASSERT_TRUE(clock.GetEnrollData(1, 7, 2, 10, privilege, tmpl, password));
    EXPECT_EQ(password, 1234);
    // Backups 12 to 16 hold templates like 0 to 9; past 16 there is nothing.
    ASSERT_TRUE(clock.SetEnrollData(1, 7, 2, 16, 0, patternTemplate(16), 0));
    ASSERT_TRUE(clock.GetEnrollData(1, 7, 2, 16, privilege, tmpl, password));
    EXPECT_EQ(tmpl, patternTemplate(16));
    EXPECT_FALSE(clock.SetEnrollData(1, 7, 2, 17, 0, tmpl, 0));
    EXPECT_EQ(lastError(clock), ERR_INVALID_PARAM);

    ASSERT_TRUE(clock.ModifyPrivilege(1, 7, 2, 1, 0));
    ASSERT_TRUE(clock.GetEnrollData(1, 7, 2, 1, privilege, tmpl, password));
    EXPECT_EQ(privilege, 0);
    ASSERT_TRUE(clock.DeleteEnrollData(1, 7, 2, 1));
    EXPECT_FALSE(clock.GetEnrollData(1, 7, 2, 1, privilege, tmpl, password));
    EXPECT_FALSE(clock.DeleteEnrollData(1, 7, 2, 1));
    EXPECT_EQ(lastError(clock), ERR_NON_CARRYOUT);
    // The list after a delete: what is left is still found, and written again.
    ASSERT_TRUE(clock.GetEnrollData(1, 7, 2, 16, privilege, tmpl, password));
    ASSERT_TRUE(clock.SetEnrollData(1, 7, 2, 1, 3, patternTemplate(8), 0));
    ASSERT_TRUE(clock.GetEnrollData(1, 7, 2, 1, privilege, tmpl, password));
    EXPECT_EQ(privilege, 3);

    const DeviceState after = released();
    EXPECT_EQ(after.enrollments.size(), 5u); // 42/0, 42/11, 7/10, 7/16, 7/1
}

TEST_P(EveryOperation, TemplatesTravelAsText) {
    EnrollTemplate tmpl{};
    int32_t privilege = -1, password = -1;
    QString text;
    ASSERT_TRUE(clock.GetEnrollDataWithString(1, 42, 1, 0, privilege, text, password));
    EXPECT_EQ(text, TFP_CLOCK::templateToText(patternTemplate(42)));
    ASSERT_TRUE(clock.SetEnrollDataWithString(1, 5, 1, 0, 0, text, 0));
    ASSERT_TRUE(clock.GetEnrollData(1, 5, 1, 0, privilege, tmpl, password));
    EXPECT_EQ(tmpl, patternTemplate(42));
    EXPECT_FALSE(clock.SetEnrollDataWithString(1, 5, 1, 0, 0, QString(), 0));
    EXPECT_EQ(lastError(clock), ERR_INVALID_PARAM);
    ASSERT_TRUE(clock.GetEnrollDataWithString(1, 42, 1, 11, privilege, text, password));
    EXPECT_EQ(password, -1);
    EXPECT_TRUE(text.isEmpty());
}

TEST_P(EveryOperation, NamesKeepTwelveCharacters) {
    QString name = QStringLiteral("stale");
    ASSERT_TRUE(clock.GetUserName(1, 1, 42, 1, name));
    EXPECT_EQ(name, QStringLiteral("AYSE YILMAZ"));
    ASSERT_TRUE(clock.SetUserName(0, 1, 42, 1, QStringLiteral("MUSTAFA OZTURKOGLU")));
    ASSERT_TRUE(clock.GetUserName(1, 1, 42, 1, name));
    EXPECT_EQ(name, QStringLiteral("MUSTAFA OZTU"));
    // An unknown user has none.
    EXPECT_FALSE(clock.GetUserName(1, 1, 999, 1, name));
    EXPECT_TRUE(name.isEmpty());
    // Too big for one frame: refused before sending, and the link stays up.
    EXPECT_FALSE(clock.SetUserName(0, 1, 42, 1, QString(1100000, QLatin1Char('A'))));
    EXPECT_EQ(lastError(clock), ERR_INVALID_PARAM);
    ASSERT_TRUE(clock.GetUserName(1, 1, 42, 1, name));
    EXPECT_EQ(released().names.at(42), QStringLiteral("MUSTAFA OZTU"));
}

TEST_P(EveryOperation, BellsTouchTheFirst24BytesOfTheBlock) {
    BellTable table;
    table.fill(0xEE);
    int32_t ring = 0;
    ASSERT_TRUE(clock.GetBellTime(1, ring, table));
    EXPECT_EQ(ring, 9);
    const std::vector<std::pair<size_t, int>> expected{{0, 1},   {7, 2},   {8, 8}, {16, 30},
                                                       {15, 17}, {23, 45}, {1, 0}, {24, 0xEE}};
    for (const auto& [at, value] : expected)
        EXPECT_EQ(table[at], value) << "byte " << at;
    table[1] = 1, table[9] = 12, table[17] = 5;
    ASSERT_TRUE(clock.SetBellTime(1, 3, table));
    table[9] = 24; // no hour 24 on a terminal
    EXPECT_FALSE(clock.SetBellTime(1, 3, table));
    EXPECT_EQ(lastError(clock), ERR_INVALID_PARAM);
    const DeviceState after = released();
    EXPECT_EQ(after.ringDuration, 3);
    EXPECT_EQ(after.bells[1], (Bell{1, 12, 5}));
}

TEST_P(EveryOperation, EmptyingRemovesEveryEnrollmentAndName) {
    ASSERT_TRUE(clock.EmptyEnrollData(1));
    ASSERT_TRUE(clock.ClearKeeperData(1));
    ASSERT_TRUE(clock.ReadAllUserID(1));
    int32_t en = 0, em = 0, bk = 0, pr = 0, on = 0;
    EXPECT_FALSE(clock.GetAllUserID(1, en, em, bk, pr, on));
    EXPECT_EQ(lastError(clock), ERR_LOG_END);
    const DeviceState after = released();
    EXPECT_TRUE(after.enrollments.empty());
    EXPECT_TRUE(after.names.empty());
}

TEST_P(EveryOperation, CountsAreWhatTheListsHold) {
    DeviceCounts counts;
    ASSERT_TRUE(clock.GetDeviceCounts(1, counts)) << lastError(clock);
    EXPECT_EQ(counts, (DeviceCounts{2, 3, 1, 2}));
    // A second user with a template and a password; a name alone makes no user.
    ASSERT_TRUE(clock.SetEnrollData(1, 7, 1, 0, 0, patternTemplate(7), 0));
    ASSERT_TRUE(clock.SetEnrollData(1, 7, 1, kPasswordBackup, 0, EnrollTemplate{}, 1234));
    ASSERT_TRUE(clock.SetUserName(0, 1, 99, 1, QStringLiteral("YALNIZ AD")));
    clock.ReadMark = true;
    ASSERT_TRUE(clock.ReadGeneralLogData(1));
    EXPECT_EQ(drain(clock, false).size(), 2u);
    ASSERT_TRUE(clock.commitNewRecords(1, 2));
    ASSERT_TRUE(clock.GetDeviceCounts(1, counts)) << lastError(clock);
    EXPECT_EQ(counts, (DeviceCounts{0, 3, 2, 4}));
    // The enrollments are exactly the rows the list hands out.
    ASSERT_TRUE(clock.ReadAllUserID(1));
    int32_t rows = 0, en = 0, em = 0, bk = 0, pr = 0, on = 0;
    while (clock.GetAllUserID(1, en, em, bk, pr, on))
        ++rows;
    EXPECT_EQ(rows, counts.enrollments);
}

TEST_P(EveryOperation, ClosedControlRefusesAndEmulatorEndsCleanly) {
    ASSERT_TRUE(clock.EnableDevice(1, 1));
    clock.CloseCommPort();
    EXPECT_FALSE(clock.EnableDevice(1, 0));
    EXPECT_EQ(lastError(clock), ERR_COMPORT_ERROR);
    if (GetParam() != Via::InProcess) {
        EXPECT_EQ(terminal.emulator.stop(), 0); // SIGTERM ends it cleanly
    }
}

INSTANTIATE_TEST_SUITE_P(Links, EveryOperation,
                         ::testing::Values(Via::InProcess, Via::Tcp, Via::Pty),
                         [](const auto& info) {
                             switch (info.param) {
                             case Via::InProcess:
                                 return "InProcess";
                             case Via::Tcp:
                                 return "Tcp";
                             case Via::Pty:
                                 return "Pty";
                             case Via::Unix:
                                 return "Unix";
                             }
                             return "";
                         });

TEST(TerminalLink, UsbOverUnixSocketDownloadsAndLocks) {
    Terminal terminal;
    ASSERT_TRUE(terminal.start(Via::Unix, manyLogs(20000)));
    TFP_CLOCK clock;
    terminal.prepare(clock);
    ASSERT_TRUE(clock.OpenCommPort(1)) << lastError(clock);
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    clock.ReadMark = true;
    ASSERT_TRUE(clock.ReadGeneralLogData(1));
    const auto logs = drain(clock, false);
    ASSERT_EQ(logs.size(), 20000u);
    EXPECT_EQ(logs.back().enroll, 19999);
    ASSERT_TRUE(clock.commitNewRecords(1, 20000));
    ASSERT_TRUE(clock.EnableDevice(1, 1));
    clock.CloseCommPort();
    EXPECT_EQ(terminal.saved().newMark, 20000);
}

TEST(TerminalLink, OpenRefusals) {
    Terminal terminal;
    DeviceState state = baseState();
    state.machine = 3;
    state.password = 1234;
    ASSERT_TRUE(terminal.start(Via::Tcp, state));
    struct Case {
        const char* what;
        int32_t machine, password, error;
    };
    const Case cases[] = {{"wrong password", 3, 999, ERR_NON_CARRYOUT},
                          {"no password", 3, 0, ERR_NON_CARRYOUT},
                          {"wrong machine", 1, 1234, ERR_INVALID_PARAM},
                          {"right", 3, 1234, SUCCESS}};
    for (const Case& c : cases) {
        TFP_CLOCK clock;
        ASSERT_TRUE(
            clock.SetIPAddress(terminal.emulator.host(), terminal.emulator.port(), c.password));
        EXPECT_EQ(clock.OpenCommPort(c.machine), c.error == SUCCESS) << c.what;
        EXPECT_EQ(lastError(clock), c.error) << c.what;
        // A refused open leaves nothing to reopen behind the caller's back.
        if (c.error != SUCCESS) {
            EXPECT_FALSE(clock.EnableDevice(c.machine, 0));
            EXPECT_EQ(lastError(clock), ERR_COMPORT_ERROR);
        }
    }
}

TEST(TerminalLink, NothingThereFailsFast) {
    QTemporaryDir dir;
    quint16 freePort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        freePort = probe.serverPort();
    }
    struct Case {
        const char* what;
        std::function<void(TFP_CLOCK&)> setUp;
        int32_t error;
    };
    const Case cases[] = {
        {"closed TCP port",
         [&](TFP_CLOCK& c) { c.SetIPAddress(QStringLiteral("127.0.0.1"), freePort, 0); },
         ERR_COMPORT_ERROR},
        {"missing COM device",
         [&](TFP_CLOCK& c) {
             c.CommPort = 2;
             c.setDevicePath(dir.filePath(QStringLiteral("nothing")));
         },
         ERR_COMPORT_ERROR},
        {"COM without a device path", [&](TFP_CLOCK& c) { c.CommPort = 2; }, ERR_COMPORT_ERROR},
        {"COM 0", [&](TFP_CLOCK& c) { c.CommPort = 0; }, ERR_INVALID_PARAM},
        {"missing USB socket",
         [&](TFP_CLOCK& c) {
             c.IsUSB = true;
             c.setDevicePath(dir.filePath(QStringLiteral("nothing.sock")));
         },
         ERR_COMPORT_ERROR},
        {"USB without a device path", [&](TFP_CLOCK& c) { c.IsUSB = true; }, ERR_COMPORT_ERROR},
    };
    for (const Case& c : cases) {
        TFP_CLOCK clock;
        c.setUp(clock);
        QElapsedTimer timer;
        timer.start();
        EXPECT_FALSE(clock.OpenCommPort(1)) << c.what;
        EXPECT_EQ(lastError(clock), c.error) << c.what;
        EXPECT_LT(timer.elapsed(), 2000) << c.what;
    }
    // A bad address is refused before any connection is tried.
    TFP_CLOCK clock;
    EXPECT_FALSE(clock.SetIPAddress(QStringLiteral("127.0.0.1"), 70000, 0));
    EXPECT_EQ(lastError(clock), ERR_INVALID_PARAM);
}

TEST(TerminalLink, RefusedAddressFailsTheNextOpenInsteadOfUsingTheSerialPort) {
    Terminal terminal;
    ASSERT_TRUE(terminal.start(Via::Pty, baseState()));
    TFP_CLOCK clock;
    terminal.prepare(clock); // a serial port that answers
    EXPECT_FALSE(clock.SetIPAddress(QString(), 5005, 0));
    EXPECT_FALSE(clock.OpenCommPort(1));
    EXPECT_EQ(lastError(clock), ERR_INVALID_PARAM);
    EXPECT_FALSE(clock.isConnected());
    // The refusal covers that one open only.
    EXPECT_TRUE(clock.OpenCommPort(1));
}

TEST(TerminalLink, TimeLimitsEndSilentAndSlowTerminals) {
    // A peer that accepts the connection but never answers.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    TFP_CLOCK clock;
    clock.setTimeouts(300, 300);
    clock.SetIPAddress(QStringLiteral("127.0.0.1"), silent.serverPort(), 0);
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(clock.OpenCommPort(1));
    EXPECT_EQ(lastError(clock), ERR_READ_FAIL);
    EXPECT_LT(timer.elapsed(), 2000);

    // A terminal slower than the operation limit: the call fails in time,
    // and the next call, with a longer limit, opens the link again.
    Terminal terminal;
    ASSERT_TRUE(terminal.start(Via::Tcp, baseState(),
                               {QStringLiteral("--delay-ms"), QStringLiteral("400")}));
    TFP_CLOCK slow;
    terminal.prepare(slow);
    ASSERT_TRUE(slow.OpenCommPort(1));
    slow.setTimeouts(5000, 100);
    timer.restart();
    EXPECT_FALSE(slow.EnableDevice(1, 0));
    EXPECT_EQ(lastError(slow), ERR_READ_FAIL); // the reply would have been a success
    EXPECT_LT(timer.elapsed(), 1500);
    slow.setTimeouts(5000, 5000);
    EXPECT_TRUE(slow.EnableDevice(1, 0)) << lastError(slow);
}

TEST(TerminalLink, SecondClientWaitsForTheLock) {
    Terminal terminal;
    ASSERT_TRUE(terminal.start(Via::Tcp, baseState()));
    TFP_CLOCK first, second;
    terminal.prepare(first);
    terminal.prepare(second);
    ASSERT_TRUE(first.OpenCommPort(1));
    ASSERT_TRUE(second.OpenCommPort(1));

    ASSERT_TRUE(first.EnableDevice(1, 0));
    EXPECT_FALSE(second.EnableDevice(1, 0));
    EXPECT_EQ(lastError(second), ERR_MULTIUSER);
    EXPECT_FALSE(second.ReadAllUserID(1));
    EXPECT_EQ(lastError(second), ERR_MULTIUSER);
    EXPECT_FALSE(second.EnableDevice(1, 1)); // can't release another client's lock
    ASSERT_TRUE(first.EnableDevice(1, 1));
    ASSERT_TRUE(second.EnableDevice(1, 0));
    EXPECT_FALSE(first.EnableDevice(1, 0));

    // A client that goes away releases the lock.
    second.CloseCommPort();
    bool taken = false;
    for (int i = 0; i < 100 && !taken; ++i) {
        taken = first.EnableDevice(1, 0);
        if (!taken) QThread::msleep(20);
    }
    EXPECT_TRUE(taken);
}

TEST(TerminalLink, CutDownloadLosesNothing) {
    Terminal terminal;
    ASSERT_TRUE(terminal.start(Via::Tcp, manyLogs(1000),
                               {QStringLiteral("--drop-after"), QStringLiteral("250")}));
    TFP_CLOCK clock;
    terminal.prepare(clock);
    ASSERT_TRUE(clock.OpenCommPort(1));
    clock.ReadMark = true;
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    ASSERT_TRUE(clock.ReadGeneralLogData(1));
    const auto firstTry = drain(clock, false);
    EXPECT_EQ(firstTry.size(), 250u);
    EXPECT_EQ(lastError(clock), ERR_COMPORT_ERROR); // a cut, not the end
    EXPECT_FALSE(clock.commitNewRecords(1, 250));   // the batch died with the link
    EXPECT_EQ(lastError(clock), ERR_COMPORT_ERROR);
    EXPECT_TRUE(clock.EnableDevice(1, 1)); // opens the link again
    clock.CloseCommPort();
    EXPECT_EQ(terminal.saved().newMark, 0);

    // Next time, on a sound link, everything arrives.
    ASSERT_TRUE(terminal.restart());
    terminal.prepare(clock);
    ASSERT_TRUE(clock.OpenCommPort(1));
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    ASSERT_TRUE(clock.ReadGeneralLogData(1));
    const auto secondTry = drain(clock, false);
    ASSERT_TRUE(clock.commitNewRecords(1, 1000));
    ASSERT_TRUE(clock.EnableDevice(1, 1));
    clock.CloseCommPort();
    std::set<int32_t> seen;
    for (const Log& l : firstTry)
        seen.insert(l.enroll);
    for (const Log& l : secondTry)
        seen.insert(l.enroll);
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_EQ(secondTry.size(), 1000u);
    EXPECT_EQ(terminal.saved().newMark, 1000);
}

// Only a commit of records its caller had moves the mark, and only from where
// the mark stands; locking and releasing, by anyone, never do.
TEST(TerminalLink, OnlyTheCommitOfTakenRecordsMovesTheMark) {
    Terminal terminal;
    ASSERT_TRUE(terminal.start(Via::InProcess, manyLogs(3000)));
    const auto mark = [&] { return terminal.device->state().newMark; };
    TFP_CLOCK clock, other;
    terminal.prepare(clock);
    terminal.prepare(other);
    ASSERT_TRUE(clock.OpenCommPort(1));
    ASSERT_TRUE(other.OpenCommPort(1));
    clock.ReadMark = other.ReadMark = true;

    // A commit without a new-record batch is refused, before and after ReadMark false.
    EXPECT_FALSE(clock.commitNewRecords(1, 0));
    EXPECT_EQ(lastError(clock), ERR_NON_CARRYOUT);
    clock.ReadMark = false;
    ASSERT_TRUE(clock.ReadGeneralLogData(1));
    EXPECT_EQ(drain(clock, false).size(), 3000u);
    EXPECT_EQ(clock.newRecordsStart(), -1);
    EXPECT_FALSE(clock.commitNewRecords(1, 3000));
    clock.ReadMark = true;

    // The control fetches ahead of its caller: a caller that took 10 records
    // can commit 10, not more; nested lock brackets and the release commit nothing.
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    ASSERT_TRUE(clock.ReadGeneralLogData(1));
    EXPECT_EQ(drain(clock, false, 10).size(), 10u);
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    ASSERT_TRUE(clock.EnableDevice(1, 1));
    EXPECT_FALSE(clock.commitNewRecords(1, 11));
    EXPECT_EQ(lastError(clock), ERR_INVALID_PARAM);
    EXPECT_EQ(mark(), 0);
    ASSERT_TRUE(clock.commitNewRecords(1, 4));
    EXPECT_EQ(mark(), 4);
    ASSERT_TRUE(clock.commitNewRecords(1, 6)); // the rest of what it took
    EXPECT_EQ(mark(), 10);
    EXPECT_FALSE(clock.commitNewRecords(1, 1));

    // Another client's batch prepared from the same mark: whoever commits
    // first wins, the other is refused and moves nothing.
    ASSERT_TRUE(clock.ReadGeneralLogData(1));
    ASSERT_TRUE(other.ReadGeneralLogData(1));
    EXPECT_EQ(drain(clock, false, 100).size(), 100u);
    EXPECT_EQ(drain(other, false, 50).size(), 50u);
    ASSERT_TRUE(other.commitNewRecords(1, 50));
    EXPECT_FALSE(clock.commitNewRecords(1, 100));
    EXPECT_EQ(lastError(clock), ERR_NON_CARRYOUT);
    EXPECT_EQ(mark(), 60);

    // While another client holds the lock, a commit is refused like any request.
    ASSERT_TRUE(other.ReadGeneralLogData(1));
    EXPECT_EQ(drain(other, false, 5).size(), 5u);
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    EXPECT_FALSE(other.commitNewRecords(1, 5));
    EXPECT_EQ(lastError(other), ERR_MULTIUSER);
    ASSERT_TRUE(clock.EnableDevice(1, 1));
    ASSERT_TRUE(other.commitNewRecords(1, 5));
    EXPECT_EQ(mark(), 65);
}

TEST(TerminalEmulator, InjectedFailuresAndMalformedFrames) {
    Terminal terminal;
    ASSERT_TRUE(
        terminal.start(Via::Tcp, baseState(),
                       {QStringLiteral("--fail"), QStringLiteral("ReadAllUserID=5"),
                        QStringLiteral("--fail"), QStringLiteral("GetAllGeneralLogData=7")}));
    TFP_CLOCK clock;
    terminal.prepare(clock);
    ASSERT_TRUE(clock.OpenCommPort(1));
    EXPECT_FALSE(clock.ReadAllUserID(1));
    EXPECT_EQ(lastError(clock), 5);
    ASSERT_TRUE(clock.ReadAllGeneralLogData(1));
    EXPECT_TRUE(drain(clock, true).empty());
    EXPECT_EQ(lastError(clock), 7);

    // Garbage ends that connection with an error frame; the terminal goes on serving.
    QTcpSocket raw;
    raw.connectToHost(terminal.emulator.host(), static_cast<quint16>(terminal.emulator.port()));
    ASSERT_TRUE(raw.waitForConnected(5000));
    raw.write("VT\x01\xff\xff\xff\x7fgarbage");
    ASSERT_TRUE(raw.waitForBytesWritten(5000));
    QByteArray answer;
    while (raw.waitForReadyRead(5000))
        answer += raw.readAll();
    answer += raw.readAll();
    wire::FrameDecoder decoder;
    decoder.append(answer);
    wire::Message m;
    ASSERT_EQ(decoder.next(m), wire::FrameDecoder::Status::Frame);
    EXPECT_EQ(m.op, wire::Op::Error);
    EXPECT_EQ(m.code, ERR_READ_FAIL);
    EXPECT_NE(raw.state(), QAbstractSocket::ConnectedState);
    EXPECT_TRUE(clock.EnableDevice(1, 0));
}

TEST(TerminalEmulator, StateFileCreatedOrRefused) {
    QTemporaryDir dir;
    const QString fresh = dir.filePath(QStringLiteral("new.json"));
    {
        EmulatorProcess emulator;
        QString error;
        ASSERT_TRUE(
            emulator.start({QStringLiteral("--state"), fresh, QStringLiteral("--demo"),
                            QStringLiteral("10"), QStringLiteral("--machine"), QStringLiteral("4")},
                           &error))
            << error.toStdString();
        EXPECT_EQ(emulator.stop(), 0);
    }
    QFile f(fresh);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QString error;
    const auto s = parseDeviceState(f.readAll(), &error);
    ASSERT_TRUE(s) << error.toStdString();
    EXPECT_EQ(s->machine, 4);
    EXPECT_EQ(s->names.size(), 10u);
    EXPECT_GE(s->logs.size(), 2000u);

    const QString bad = dir.filePath(QStringLiteral("bad.json"));
    QFile b(bad);
    ASSERT_TRUE(b.open(QIODevice::WriteOnly));
    b.write(R"({"bells": [1, 2]})");
    b.close();
    EmulatorProcess emulator;
    EXPECT_FALSE(emulator.start({QStringLiteral("--state"), bad}, &error));
    EXPECT_TRUE(error.contains(QLatin1String("bad.json"))) << error.toStdString();
    EXPECT_TRUE(error.contains(QLatin1String("bells"))) << error.toStdString();
    EXPECT_EQ(emulator.stop(), 1);
}

TEST(TerminalLink, SerialLineNewHelloReleasesTheLock) {
    // A serial line can't tell that its peer went away; the next hello can.
    Terminal terminal;
    ASSERT_TRUE(terminal.start(Via::Pty, baseState()));
    {
        TFP_CLOCK gone;
        terminal.prepare(gone);
        ASSERT_TRUE(gone.OpenCommPort(1));
        ASSERT_TRUE(gone.EnableDevice(1, 0));
    } // never released
    TFP_CLOCK next;
    terminal.prepare(next);
    ASSERT_TRUE(next.OpenCommPort(1)) << lastError(next);
    EXPECT_TRUE(next.EnableDevice(1, 0)) << lastError(next);
}

TEST(TerminalLink, SerialNumberIsKeptAndMalformedOnesAreRefused) {
    // The emulator makes a serial number for a state without one and keeps it.
    Terminal terminal;
    ASSERT_TRUE(terminal.start(Via::Tcp, baseState()));
    TFP_CLOCK clock;
    terminal.prepare(clock);
    ASSERT_TRUE(clock.OpenCommPort(1));
    QString first;
    ASSERT_TRUE(clock.GetSerialNumber(1, first));
    EXPECT_TRUE(isValidSerial(first)) << first.toStdString();
    EXPECT_EQ(terminal.saved().serial, first);
    clock.CloseCommPort();
    ASSERT_TRUE(terminal.restart());
    terminal.prepare(clock);
    ASSERT_TRUE(clock.OpenCommPort(1));
    QString again;
    ASSERT_TRUE(clock.GetSerialNumber(1, again));
    EXPECT_EQ(again, first);
    clock.CloseCommPort();
    ASSERT_TRUE(terminal.restart({QStringLiteral("--serial"), QStringLiteral("GATE-7")}));
    terminal.prepare(clock);
    ASSERT_TRUE(clock.OpenCommPort(1));
    ASSERT_TRUE(clock.GetSerialNumber(1, again));
    EXPECT_EQ(again, QStringLiteral("GATE-7"));

    // A terminal answering with something that is no serial number.
    const std::vector<std::pair<const char*, QString>> bad{
        {"control character", QStringLiteral("AB\nCD")},
        {"blank", QStringLiteral("AB CD")},
        {"not ASCII", QStringLiteral("GİRİŞ")},
        {"too long", QString(65, QLatin1Char('A'))},
    };
    for (const auto& [what, serial] : bad) {
        SCOPED_TRACE(what);
        auto device = std::make_shared<DeviceModel>(baseState());
        device->mutableState().serial = serial;
        TFP_CLOCK inProcess;
        inProcess.setInProcessDevice(device);
        ASSERT_TRUE(inProcess.OpenCommPort(1));
        QString out = QStringLiteral("stale");
        EXPECT_FALSE(inProcess.GetSerialNumber(1, out));
        EXPECT_EQ(lastError(inProcess), ERR_READ_FAIL);
        EXPECT_TRUE(out.isEmpty());
    }
}

// Each chunk of a list says where it starts, so that a reply the link
// delivers twice (a terminal that resends, a noisy line) can never be read
// as the next chunk: its records would go to the files twice and the next
// chunk's never.
TEST(TerminalLink, EveryChunkSaysWhereItStarts) {
    DeviceState state = manyLogs(wire::kMaxChunkRows + 100);
    state.newMark = 50;
    state.enrollments.resize(3);
    DeviceModel device(state);
    const DeviceModel::ClientId client = device.connectClient(false);
    const auto ask = [&](wire::Op op, std::vector<int32_t> ints) {
        wire::Message rq;
        rq.op = op;
        rq.ints = std::move(ints);
        return device.handle(client, rq).message;
    };
    ASSERT_EQ(ask(wire::Op::Hello, {1, 0}).code, SUCCESS);
    ASSERT_EQ(ask(wire::Op::ReadGeneralLogData, {1, 1}).code, SUCCESS);
    EXPECT_EQ(ask(wire::Op::FetchLogs, {1, wire::kMaxChunkRows}).ints[1], 50);
    EXPECT_EQ(ask(wire::Op::FetchLogs, {1, wire::kMaxChunkRows}).ints[1], 50 + wire::kMaxChunkRows);
    ASSERT_EQ(ask(wire::Op::ReadAllUserID, {1}).code, SUCCESS);
    EXPECT_EQ(ask(wire::Op::FetchUsers, {1, 2}).ints.front(), 0);
    EXPECT_EQ(ask(wire::Op::FetchUsers, {1, 2}).ints.front(), 2);
}

namespace {

// A peer on a Unix socket (the USB stand-in) that greets, then answers every
// request with the one reply it was given: what a broken or hostile terminal
// could send.
class ScriptedTerminal {
  public:
    ScriptedTerminal(const QString& path, wire::Message answer) : answer_(std::move(answer)) {
        listener_.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray name = path.toLocal8Bit();
        if (listener_.fd < 0 || size_t(name.size()) >= sizeof addr.sun_path) return;
        std::memcpy(addr.sun_path, name.constData(), size_t(name.size()));
        if (::bind(listener_.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_.fd, 4) != 0)
            return;
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedTerminal() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool listening() const { return thread_.joinable(); }

  private:
    struct Fd {
        int fd = -1;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
    };

    bool readable(int fd) const {
        pollfd p{fd, POLLIN, 0};
        while (!stop_) {
            const int n = ::poll(&p, 1, 50);
            if (n > 0) return true;
            if (n < 0 && errno != EINTR) return false;
        }
        return false;
    }

    void serve() {
        while (readable(listener_.fd)) {
            Fd peer{::accept4(listener_.fd, nullptr, nullptr, SOCK_CLOEXEC)};
            if (peer.fd < 0) return;
            wire::FrameDecoder decoder;
            char buffer[4096];
            for (bool open = true; open && readable(peer.fd);) {
                const ssize_t n = ::read(peer.fd, buffer, sizeof buffer);
                if (n <= 0) break;
                decoder.append(buffer, size_t(n));
                wire::Message rq;
                while (open && decoder.next(rq) == wire::FrameDecoder::Status::Frame) {
                    wire::Message rp = rq.op == wire::Op::Hello
                                           ? wire::Message{wire::Op::Hello, 0, {wire::kVersion}, {}}
                                           : answer_;
                    rp.op = rq.op;
                    const QByteArray frame = wire::encodeFrame(rp);
                    open = ::send(peer.fd, frame.constData(), size_t(frame.size()), MSG_NOSIGNAL) ==
                           frame.size();
                }
            }
        }
    }

    wire::Message answer_;
    Fd listener_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace

TEST(TerminalLink, DeviceCountsFollowTheMarkAndTheKeys) {
    DeviceState duplicate = baseState();
    duplicate.enrollments.push_back(duplicate.enrollments.front()); // kept and listed twice
    DeviceState pastTheEnd = baseState();
    pastTheEnd.newMark = 99;
    DeviceState beforeTheStart = baseState();
    beforeTheStart.newMark = -5;
    const std::vector<std::tuple<const char*, DeviceState, DeviceCounts>> cases{
        {"empty terminal", DeviceState{}, {0, 0, 0, 0}},
        {"same key twice", duplicate, {2, 3, 1, 3}},
        {"mark past the end", pastTheEnd, {0, 3, 1, 2}},
        {"mark before the start", beforeTheStart, {3, 3, 1, 2}},
    };
    for (const auto& [what, state, expected] : cases) {
        SCOPED_TRACE(what);
        TFP_CLOCK clock;
        clock.setInProcessDevice(std::make_shared<DeviceModel>(state));
        ASSERT_TRUE(clock.OpenCommPort(1));
        DeviceCounts counts{9, 9, 9, 9};
        ASSERT_TRUE(clock.GetDeviceCounts(1, counts)) << lastError(clock);
        EXPECT_EQ(counts, expected);
        // The same number of new records as the list the transfer prepares.
        clock.ReadMark = true;
        ASSERT_TRUE(clock.ReadGeneralLogData(1));
        EXPECT_EQ(static_cast<int32_t>(drain(clock, false).size()), counts.newRecords);
    }
}

TEST(TerminalLink, DeviceCountsRefuseRepliesThatAreNoCounts) {
    QTemporaryDir dir;
    const auto answer = [](std::vector<int32_t> ints, int32_t code = SUCCESS,
                           std::vector<QByteArray> blobs = {}) {
        wire::Message m;
        m.code = code;
        m.ints = std::move(ints);
        m.blobs = std::move(blobs);
        return m;
    };
    const std::vector<std::tuple<const char*, wire::Message, int32_t>> cases{
        {"sound", answer({2, 3, 1, 2}), SUCCESS},
        {"all zero", answer({0, 0, 0, 0}), SUCCESS},
        {"refused", answer({}, ERR_NOSUPPORT), ERR_NOSUPPORT},
        {"three integers", answer({2, 3, 1}), ERR_READ_FAIL},
        {"five integers", answer({2, 3, 1, 2, 0}), ERR_READ_FAIL},
        {"a blob besides", answer({2, 3, 1, 2}, SUCCESS, {"x"}), ERR_READ_FAIL},
        {"negative new records", answer({-1, 3, 1, 2}), ERR_READ_FAIL},
        {"negative records", answer({0, -1, 1, 2}), ERR_READ_FAIL},
        {"more new records than records", answer({4, 3, 1, 2}), ERR_READ_FAIL},
        {"negative users", answer({0, 0, -1, 2}), ERR_READ_FAIL},
        {"negative enrollments", answer({0, 0, 0, -1}), ERR_READ_FAIL},
        {"more users than enrollments", answer({0, 0, 3, 2}), ERR_READ_FAIL},
    };
    int n = 0;
    for (const auto& [what, reply, error] : cases) {
        SCOPED_TRACE(what);
        const QString path = dir.filePath(QStringLiteral("usb%1.sock").arg(++n));
        ScriptedTerminal peer(path, reply);
        ASSERT_TRUE(peer.listening());
        TFP_CLOCK clock;
        clock.setTimeouts(5000, 5000);
        clock.IsUSB = true;
        clock.setDevicePath(path);
        ASSERT_TRUE(clock.OpenCommPort(1)) << lastError(clock);
        DeviceCounts counts{9, 9, 9, 9};
        EXPECT_EQ(clock.GetDeviceCounts(1, counts), error == SUCCESS);
        if (error == SUCCESS) {
            EXPECT_EQ(counts, (DeviceCounts{reply.intAt(0), reply.intAt(1), reply.intAt(2),
                                            reply.intAt(3)}));
        } else {
            EXPECT_EQ(lastError(clock), error);
            EXPECT_EQ(counts, DeviceCounts{});
        }
    }
}

TEST(TerminalLink, RepliesOfAnotherShapeAreRefusedByEveryOperation) {
    // Two blobs and no integer fit no operation's reply; reading one as its
    // values would run past the end.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("usb.sock"));
    ScriptedTerminal peer(path, wire::Message{wire::Op::Error, SUCCESS, {}, {"x", "y"}});
    ASSERT_TRUE(peer.listening());
    TFP_CLOCK clock;
    clock.setTimeouts(5000, 5000);
    clock.IsUSB = true;
    clock.setDevicePath(path);
    ASSERT_TRUE(clock.OpenCommPort(1)) << lastError(clock);
    int32_t a = 0, b = 0, c = 0, d = 0, e = 0, f = 0;
    EnrollTemplate data{};
    QString text;
    BellTable bells{};
    DeviceCounts counts;
    const std::vector<std::pair<const char*, std::function<bool()>>> calls{
        {"EnableDevice", [&] { return clock.EnableDevice(1, 0); }},
        {"SetDeviceTime", [&] { return clock.SetDeviceTime(1); }},
        {"GetDeviceTime", [&] { return clock.GetDeviceTime(1, a, b, c, d, e, f); }},
        {"ReadAllGeneralLogData", [&] { return clock.ReadAllGeneralLogData(1); }},
        {"ReadAllUserID", [&] { return clock.ReadAllUserID(1); }},
        {"GetEnrollData", [&] { return clock.GetEnrollData(1, 1, 1, 0, a, data, b); }},
        {"GetEnrollDataWithString",
         [&] { return clock.GetEnrollDataWithString(1, 1, 1, 0, a, text, b); }},
        {"GetUserName", [&] { return clock.GetUserName(1, 1, 1, 1, text); }},
        {"GetBellTime", [&] { return clock.GetBellTime(1, a, bells); }},
        {"GetSerialNumber", [&] { return clock.GetSerialNumber(1, text); }},
        {"GetDeviceCounts", [&] { return clock.GetDeviceCounts(1, counts); }},
        {"WaitForNewRecords", [&] { return clock.WaitForNewRecords(1, 0, 0, a); }},
    };
    for (const auto& [name, call] : calls) {
        EXPECT_FALSE(call()) << name;
        EXPECT_EQ(lastError(clock), ERR_READ_FAIL) << name;
    }
}
