// Enrollment lists walked under the lock (read ahead in batches), and when
// the terminal saves its state.

#include "terminal/DeviceModel.h"
#include "terminal/TFP_CLOCK.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <map>
#include <gtest/gtest.h>

namespace {

int32_t lastError(TFP_CLOCK& clock) {
    int32_t code = -99;
    clock.GetLastError(code);
    return code;
}

EnrollTemplate templateOf(int32_t seed) {
    EnrollTemplate t{};
    for (size_t i = 0; i < t.size(); ++i)
        t[i] = seed * 31 - static_cast<int32_t>(i);
    return t;
}

// 300 users: a template each (backup 0 or 13), a card, every fourth a
// password; every tenth has no name; user 7's second template is stored
// under a backup no terminal has, so reading it fails.
DeviceState manyUsers() {
    DeviceState s;
    for (int32_t u = 1; u <= 300; ++u) {
        Enrollment finger;
        finger.enroll = u, finger.backup = u % 2 ? 0 : 13, finger.privilege = u % 3;
        finger.fingerprint = templateOf(u);
        s.enrollments.push_back(finger);
        Enrollment card;
        card.enroll = u, card.backup = kCardBackup, card.password = -u;
        s.enrollments.push_back(card);
        if (u % 4 == 0) {
            card.backup = kPasswordBackup, card.password = u * 11;
            s.enrollments.push_back(card);
        }
        if (u % 10 != 0) s.names[u] = QStringLiteral("KULLANICI %1").arg(u);
    }
    Enrollment odd;
    odd.enroll = 7, odd.backup = 20;
    s.enrollments.insert(s.enrollments.begin() + 5, odd);
    return s;
}

struct Read {
    bool dataOk, nameOk;
    int32_t dataError, nameError, privilege, password;
    EnrollTemplate data;
    QString name;
    bool operator==(const Read&) const = default;
};

// Walks the whole list with GetEnrollData and GetUserName per row.
std::vector<Read> walk(TFP_CLOCK& clock) {
    std::vector<Read> reads;
    EXPECT_TRUE(clock.ReadAllUserID(1));
    int32_t enroll = 0, emachine = 0, backup = 0, privilege = 0, enabled = 0;
    while (clock.GetAllUserID(1, enroll, emachine, backup, privilege, enabled)) {
        Read r{};
        r.data.fill(99);
        r.dataOk =
            clock.GetEnrollData(1, enroll, emachine, backup, r.privilege, r.data, r.password);
        r.dataError = r.dataOk ? 0 : lastError(clock);
        r.name = QStringLiteral("stale");
        r.nameOk = clock.GetUserName(1, 1, enroll, 1, r.name);
        r.nameError = r.nameOk ? 0 : lastError(clock);
        reads.push_back(r);
    }
    EXPECT_EQ(lastError(clock), ERR_LOG_END);
    return reads;
}

class EnrollReadAhead : public ::testing::Test {
  protected:
    void SetUp() override {
        device = std::make_shared<DeviceModel>(manyUsers());
        device->setRequestObserver([this](const wire::Message& rq) { ++requests[rq.op]; });
        clock.setInProcessDevice(device);
        ASSERT_TRUE(clock.OpenCommPort(1));
    }
    std::shared_ptr<DeviceModel> device;
    TFP_CLOCK clock;
    std::map<wire::Op, int> requests;
};

TEST_F(EnrollReadAhead, UnderTheLockTheSameAnswersInFewRoundTrips) {
    const std::vector<Read> single = walk(clock); // no lock: one request per call
    ASSERT_EQ(single.size(), 676u);
    EXPECT_EQ(requests[wire::Op::GetEnrollData], 676);
    EXPECT_EQ(requests[wire::Op::GetEnrollDataBatch], 0);

    requests.clear();
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    const std::vector<Read> ahead = walk(clock);
    ASSERT_TRUE(clock.EnableDevice(1, 1));
    EXPECT_EQ(ahead, single);
    EXPECT_EQ(requests[wire::Op::GetEnrollData], 0);
    EXPECT_EQ(requests[wire::Op::GetUserName], 0);
    EXPECT_EQ(requests[wire::Op::GetEnrollDataBatch], 3); // 676 rows, 256 a batch
    EXPECT_EQ(requests[wire::Op::GetUserNameBatch], 3);

    // What the rows hold: the failed read clears its outs; a user without a
    // name has the empty one.
    const Read& bad = ahead[5];
    EXPECT_FALSE(bad.dataOk);
    EXPECT_EQ(bad.dataError, ERR_INVALID_PARAM);
    EXPECT_EQ(bad.password, 0);
    EXPECT_EQ(ahead[0].data, templateOf(1));
    EXPECT_EQ(ahead[1].password, -1);
    EXPECT_EQ(ahead[1].data[0], 99);         // a card leaves the template alone
    EXPECT_EQ(ahead[2].data, templateOf(2)); // backup 13
    EXPECT_EQ(ahead[0].name, QStringLiteral("KULLANICI 1"));
    const auto unnamed = std::find_if(ahead.begin(), ahead.end(),
                                      [](const Read& r) { return r.nameOk && r.name.isEmpty(); });
    EXPECT_NE(unnamed, ahead.end());
}

TEST_F(EnrollReadAhead, AnyOtherRequestOrTheReleaseDropsIt) {
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    ASSERT_TRUE(clock.ReadAllUserID(1));
    int32_t enroll = 0, emachine = 0, backup = 0, privilege = 0, enabled = 0, password = 0;
    EnrollTemplate data{};
    ASSERT_TRUE(clock.GetAllUserID(1, enroll, emachine, backup, privilege, enabled));
    ASSERT_TRUE(clock.GetEnrollData(1, enroll, emachine, backup, privilege, data, password));
    // Our own write to the next row is seen.
    ASSERT_TRUE(clock.SetEnrollData(1, 1, 1, kCardBackup, 0, data, 555));
    ASSERT_TRUE(clock.GetAllUserID(1, enroll, emachine, backup, privilege, enabled));
    ASSERT_TRUE(clock.GetEnrollData(1, enroll, emachine, backup, privilege, data, password));
    EXPECT_EQ(password, 555);
    // Between a release and the next lock, another client may change anything.
    ASSERT_TRUE(clock.EnableDevice(1, 1));
    device->mutableState().enrollments[2].fingerprint = templateOf(1000);
    device->mutableState().names[2] = QStringLiteral("YENI AD");
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    ASSERT_TRUE(clock.GetAllUserID(1, enroll, emachine, backup, privilege, enabled));
    ASSERT_TRUE(clock.GetEnrollData(1, enroll, emachine, backup, privilege, data, password));
    EXPECT_EQ(data, templateOf(1000));
    QString name;
    ASSERT_TRUE(clock.GetUserName(1, 1, enroll, 1, name));
    EXPECT_EQ(name, QStringLiteral("YENI AD"));
}

TEST_F(EnrollReadAhead, RefusedBatchFailsEachCallWithItsCode) {
    device->faults().failOps["GetEnrollData"] = ERR_MEMORY;
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    const std::vector<Read> reads = walk(clock);
    ASSERT_EQ(reads.size(), 676u);
    for (const Read& r : reads) {
        ASSERT_FALSE(r.dataOk);
        EXPECT_EQ(r.dataError, ERR_MEMORY);
        EXPECT_EQ(r.password, 0);
    }
    EXPECT_EQ(reads[0].data, EnrollTemplate{}); // nothing stale in the outs
    EXPECT_TRUE(reads[0].nameOk);
}

TEST(EnrollBatchRequests, TerminalRefusesBadKeyCountsAndFitsNamesInAFrame) {
    DeviceState state;
    for (int32_t u = 1; u <= 3; ++u) {
        Enrollment e;
        e.enroll = u, e.backup = kCardBackup;
        state.enrollments.push_back(e);
    }
    state.names[1] = QString(600000, QLatin1Char('A'));
    state.names[2] = QString(600000, QLatin1Char('B'));
    state.names[3] = QString(1100000, QLatin1Char('C'));
    DeviceModel device(state);
    const auto client = device.connectClient();
    auto ask = [&](wire::Op op, std::vector<int32_t> ints) {
        wire::Message rq;
        rq.op = op;
        rq.ints = std::move(ints);
        return device.handle(client, rq).message;
    };
    ASSERT_EQ(ask(wire::Op::Hello, {1, 0}).code, SUCCESS);

    const std::vector<int32_t> tooMany(1 + 257, 1);
    const std::vector<int32_t> tooManyKeys(1 + 3 * 257, 1);
    const std::pair<wire::Op, std::vector<int32_t>> refused[] = {
        {wire::Op::GetEnrollDataBatch, {1}},         {wire::Op::GetEnrollDataBatch, {1, 1, 1}},
        {wire::Op::GetEnrollDataBatch, tooManyKeys}, {wire::Op::GetEnrollDataBatch, {2, 1, 1, 11}},
        {wire::Op::GetUserNameBatch, {1}},           {wire::Op::GetUserNameBatch, tooMany},
    };
    for (const auto& [op, ints] : refused)
        EXPECT_EQ(ask(op, ints).code, ERR_INVALID_PARAM) << ints.size();

    // Two long names don't fit in one frame: the first is answered alone.
    wire::Message names = ask(wire::Op::GetUserNameBatch, {1, 1, 2});
    ASSERT_EQ(names.code, SUCCESS);
    EXPECT_EQ(names.ints, (std::vector<int32_t>{SUCCESS}));
    ASSERT_EQ(names.blobs.size(), 1u);
    EXPECT_EQ(names.blobs[0].size(), 600000);
    EXPECT_LE(wire::payloadSize(names), size_t(wire::kMaxPayload));
    // A name too long for any frame.
    names = ask(wire::Op::GetUserNameBatch, {1, 3, 1});
    EXPECT_EQ(names.ints, (std::vector<int32_t>{ERR_MEMORY, SUCCESS}));
    EXPECT_TRUE(names.blobs[0].isEmpty());
}

TEST(EnrollBatchAnswers, SplitRefusesWhatIsNotWholeAnswers) {
    std::vector<int32_t> two;
    wire::appendEnrollDataAnswer(two, {0, 2, 0, std::vector<int32_t>(356, 7)});
    wire::appendEnrollDataAnswer(two, {0, 0, -1, {}});
    std::vector<wire::EnrollDataAnswer> answers;
    ASSERT_TRUE(wire::splitEnrollDataAnswers(two, 2, answers));
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].data, std::vector<int32_t>(356, 7));
    EXPECT_EQ(answers[1].password, -1);
    ASSERT_TRUE(wire::splitEnrollDataAnswers(two, 5, answers)); // fewer than asked

    const std::vector<int32_t> cut(two.begin(), two.end() - 1);
    std::vector<int32_t> oddCount{0, 0, 0, 355};
    oddCount.resize(4 + 355);
    const std::pair<std::vector<int32_t>, size_t> malformed[] = {
        {two, 1},      // more answers than asked
        {cut, 2},      // cut short
        {{}, 2},       // no answer
        {oddCount, 1}, // a template of 355
        {{0, 0, 0, -356}, 1},
    };
    for (const auto& [ints, asked] : malformed)
        EXPECT_FALSE(wire::splitEnrollDataAnswers(ints, asked, answers)) << ints.size();
}

TEST(DeviceSaves, OncePerLockBeforeTheReleaseIsAnswered) {
    DeviceModel device;
    int saves = 0;
    device.setOnChange([&] { ++saves; });
    const auto client = device.connectClient();
    auto ask = [&](wire::Op op, std::vector<int32_t> ints, QByteArray blob = {}) {
        wire::Message rq;
        rq.op = op;
        rq.ints = std::move(ints);
        if (op == wire::Op::SetUserName) rq.blobs.push_back(blob);
        return device.handle(client, rq).message.code;
    };
    auto setEnroll = [&](int32_t enroll) {
        std::vector<int32_t> ints{1, enroll, 1, 0, 0, 0};
        ints.resize(6 + 356);
        return ask(wire::Op::SetEnrollData, ints);
    };
    ASSERT_EQ(ask(wire::Op::Hello, {1, 0}), SUCCESS);

    ASSERT_EQ(ask(wire::Op::EnableDevice, {1, 0, -1}), SUCCESS);
    for (int32_t u = 1; u <= 100; ++u)
        ASSERT_EQ(setEnroll(u), SUCCESS);
    EXPECT_EQ(saves, 0);
    ASSERT_EQ(ask(wire::Op::EnableDevice, {1, 1, -1}), SUCCESS);
    EXPECT_EQ(saves, 1);

    ASSERT_EQ(ask(wire::Op::SetUserName, {1, 5}, "AD"), SUCCESS); // no lock: at once
    EXPECT_EQ(saves, 2);
    ASSERT_EQ(ask(wire::Op::EnableDevice, {1, 0, -1}), SUCCESS);
    ASSERT_EQ(ask(wire::Op::EnableDevice, {1, 1, -1}), SUCCESS); // nothing changed
    EXPECT_EQ(saves, 2);

    ASSERT_EQ(ask(wire::Op::EnableDevice, {1, 0, -1}), SUCCESS);
    ASSERT_EQ(setEnroll(200), SUCCESS);
    device.disconnectClient(client); // gone while holding the lock
    EXPECT_EQ(saves, 3);
    EXPECT_EQ(device.state().enrollments.size(), 101u);
}

TEST(DeviceSaves, EmulatorFileIsCurrentWhenTheCommandEnds) {
    QTemporaryDir dir;
    EmulatorProcess emulator;
    QString error;
    ASSERT_TRUE(emulator.startWithState(DeviceState{}, dir.path(), &error)) << error.toStdString();
    const QString path = dir.filePath(QStringLiteral("state.json"));
    auto savedEnrollments = [&] {
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        const auto s = parseDeviceState(f.readAll(), &error);
        return s ? s->enrollments.size() : size_t(999);
    };
    TFP_CLOCK clock;
    ASSERT_TRUE(connectToEmulator(clock, emulator));
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    for (int32_t u = 1; u <= 20; ++u)
        ASSERT_TRUE(clock.SetEnrollData(1, u, 1, 0, 0, templateOf(u), 0));
    EXPECT_EQ(savedEnrollments(), 0u); // not rewritten per enrollment
    ASSERT_TRUE(clock.EnableDevice(1, 1));
    EXPECT_EQ(savedEnrollments(), 20u); // saved before the release was answered

    // SIGTERM while a client holds the lock: its changes are saved too.
    ASSERT_TRUE(clock.EnableDevice(1, 0));
    ASSERT_TRUE(clock.DeleteEnrollData(1, 1, 1, 0));
    EXPECT_EQ(emulator.stop(), 0);
    EXPECT_EQ(savedEnrollments(), 19u);
}

TEST(DeviceSaves, ChangesWithoutTheLockWaitForTheOwnerButLocksAndCommitsDoNot) {
    DeviceState state;
    state.logs = {LogRecord{1, 0, 2024, 3, 5, 8, 7}, LogRecord{2, 0, 2024, 3, 5, 8, 9}};
    DeviceModel device(state);
    int saves = 0, later = 0;
    int32_t savedMark = -1;
    device.setOnChange([&] {
        ++saves;
        savedMark = device.state().newMark;
    });
    device.setSaveLater([&] { ++later; });
    const auto client = device.connectClient();
    auto ask = [&](wire::Op op, std::vector<int32_t> ints, QByteArray blob = {}) {
        wire::Message rq;
        rq.op = op;
        rq.ints = std::move(ints);
        if (op == wire::Op::SetUserName) rq.blobs.push_back(blob);
        return device.handle(client, rq).message.code;
    };
    ASSERT_EQ(ask(wire::Op::Hello, {1, 0}), SUCCESS);

    // Names one by one without the lock: the owner hears of each, and one
    // flush saves them all.
    for (int32_t u = 1; u <= 20; ++u)
        ASSERT_EQ(ask(wire::Op::SetUserName, {1, u}, "AD"), SUCCESS);
    EXPECT_EQ(saves, 0);
    EXPECT_EQ(later, 20);
    device.saveChangesWithoutLock();
    device.saveChangesWithoutLock();
    EXPECT_EQ(saves, 1);

    // A lock taken while such a change waits saves it first; then the lock
    // saves once, at its release, whenever the owner's time is up.
    ASSERT_EQ(ask(wire::Op::SetUserName, {1, 21}, "AD"), SUCCESS);
    ASSERT_EQ(ask(wire::Op::EnableDevice, {1, 0}), SUCCESS);
    EXPECT_EQ(saves, 2);
    ASSERT_EQ(ask(wire::Op::SetUserName, {1, 22}, "AD"), SUCCESS);
    EXPECT_EQ(later, 21);
    device.saveChangesWithoutLock();
    EXPECT_EQ(saves, 2);
    ASSERT_EQ(ask(wire::Op::EnableDevice, {1, 1}), SUCCESS);
    EXPECT_EQ(saves, 3);

    // The mark is saved before its commit is answered, lock or not.
    ASSERT_EQ(ask(wire::Op::ReadGeneralLogData, {1, 1}), SUCCESS);
    ASSERT_EQ(ask(wire::Op::FetchLogs, {1, 10}), SUCCESS);
    ASSERT_EQ(ask(wire::Op::CommitNewRecords, {1, 0, 1}), SUCCESS);
    EXPECT_EQ(saves, 4);
    EXPECT_EQ(savedMark, 1);
    ASSERT_EQ(ask(wire::Op::EnableDevice, {1, 0}), SUCCESS);
    ASSERT_EQ(ask(wire::Op::CommitNewRecords, {1, 1, 2}), SUCCESS);
    EXPECT_EQ(saves, 5);
    EXPECT_EQ(savedMark, 2);
}

TEST(DeviceSaves, EmulatorSavesChangesWithoutTheLockSoonAndAtExit) {
    QTemporaryDir dir;
    DeviceState state;
    state.logs = {LogRecord{1, 0, 2024, 3, 5, 8, 7}, LogRecord{2, 0, 2024, 3, 5, 8, 9}};
    Enrollment card;
    card.enroll = 5, card.backup = kCardBackup, card.password = 55;
    state.enrollments = {card};
    EmulatorProcess emulator;
    QString error;
    ASSERT_TRUE(emulator.startWithState(state, dir.path(), &error)) << error.toStdString();
    auto saved = [&] {
        QFile f(dir.filePath(QStringLiteral("state.json")));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return parseDeviceState(f.readAll(), &error).value_or(DeviceState{});
    };
    TFP_CLOCK clock;
    ASSERT_TRUE(connectToEmulator(clock, emulator));

    // A name sent without the lock reaches the file 200 ms later; the
    // limit leaves room for a loaded machine.
    ASSERT_TRUE(clock.SetUserName(0, 1, 5, 1, QStringLiteral("AYSE")));
    QDeadlineTimer deadline(200 + 5000);
    while (saved().names.count(5) == 0 && !deadline.hasExpired())
        QThread::msleep(10);
    EXPECT_EQ(saved().names[5], QStringLiteral("AYSE"));

    // A commit without the lock is on disk once it is answered.
    clock.ReadMark = true;
    ASSERT_TRUE(clock.ReadGeneralLogData(1));
    int32_t t = 0, e = 0, em = 0, mode = 0, y = 0, mo = 0, d = 0, h = 0, mi = 0;
    ASSERT_TRUE(clock.GetGeneralLogData(1, t, e, em, mode, y, mo, d, h, mi));
    ASSERT_TRUE(clock.commitNewRecords(1, 1));
    EXPECT_EQ(saved().newMark, 1);

    // A change still waiting for its save when SIGTERM comes.
    ASSERT_TRUE(clock.SetUserName(0, 1, 5, 1, QStringLiteral("FATMA")));
    clock.CloseCommPort();
    EXPECT_EQ(emulator.stop(), 0);
    EXPECT_EQ(saved().names[5], QStringLiteral("FATMA"));
}

} // namespace
