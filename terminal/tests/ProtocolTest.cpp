// The frame codec, the error names, the template text form and the table
// of link operations.

#include "terminal/DeviceModel.h"
#include "terminal/ErrorNames.h"
#include "terminal/LinkOperations.h"
#include "terminal/LinkProtocol.h"
#include "terminal/TFP_CLOCK.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QTemporaryDir>

#include <array>
#include <memory>
#include <set>
#include <gtest/gtest.h>
#include <zlib.h>

using wire::FrameDecoder;
using wire::Message;
using wire::Op;

namespace {

Message sample() {
    Message m;
    m.op = Op::SetUserName;
    m.code = -7;
    m.ints = {1, -1, INT32_MIN, INT32_MAX};
    m.blobs = {QByteArray("AYSE"), QByteArray(), QByteArray("\0\xff", 2)};
    return m;
}

void setU32(QByteArray& b, int at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xff);
}

// Recomputes the trailer so that a test reaches the check behind the CRC.
void fixCrc(QByteArray& frame) {
    const auto n = static_cast<uInt>(frame.size() - 2 - 4);
    setU32(
        frame, static_cast<int>(frame.size() - 4),
        static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(frame.constData() + 2), n)));
}

} // namespace

TEST(TerminalErrorNames, CodesAndOthers) {
    const std::pair<int32_t, const char*> cases[] = {{0, "SUCCESS"},
                                                     {1, "ERR_COMPORT_ERROR"},
                                                     {2, "ERR_WRITE_FAIL"},
                                                     {3, "ERR_READ_FAIL"},
                                                     {4, "ERR_INVALID_PARAM"},
                                                     {5, "ERR_NON_CARRYOUT"},
                                                     {6, "ERR_LOG_END"},
                                                     {7, "ERR_MEMORY"},
                                                     {8, "ERR_MULTIUSER"},
                                                     {9, "ERR_NOSUPPORT"},
                                                     {10, ""},
                                                     {-1, ""},
                                                     {INT32_MIN, ""},
                                                     {INT32_MAX, ""}};
    for (const auto& [code, name] : cases)
        EXPECT_EQ(deviceErrorName(code), QString::fromLatin1(name)) << code;
}

TEST(LinkFrame, RoundTripWholeAndByteByByte) {
    const QByteArray frame =
        wire::encodeFrame(sample()) + wire::encodeFrame(Message{Op::Hello, 0, {1, 0}, {}});
    FrameDecoder whole;
    whole.append(frame);
    Message m;
    ASSERT_EQ(whole.next(m), FrameDecoder::Status::Frame);
    EXPECT_EQ(m, sample());
    ASSERT_EQ(whole.next(m), FrameDecoder::Status::Frame);
    EXPECT_EQ(m.op, Op::Hello);
    EXPECT_EQ(whole.next(m), FrameDecoder::Status::NeedMore);

    FrameDecoder trickle; // a serial line hands the bytes over in any pieces
    int frames = 0;
    for (char c : frame) {
        trickle.append(&c, 1);
        while (trickle.next(m) == FrameDecoder::Status::Frame)
            ++frames;
    }
    EXPECT_EQ(frames, 2);
}

TEST(LinkFrame, MalformedFramesAreRefused) {
    const QByteArray good = wire::encodeFrame(sample());
    struct Case {
        const char* what;
        std::function<void(QByteArray&)> damage;
    };
    const Case cases[] = {
        {"bad magic", [](QByteArray& f) { f[0] = 'X'; }},
        {"bad version", [](QByteArray& f) { f[2] = 9; }},
        {"flipped payload bit", [](QByteArray& f) { f[10] = char(f[10] ^ 0x10); }},
        {"flipped crc bit", [](QByteArray& f) { f[f.size() - 1] = char(f[f.size() - 1] ^ 1); }},
        {"length over the limit", [](QByteArray& f) { setU32(f, 3, wire::kMaxPayload + 1); }},
        {"unknown op",
         [](QByteArray& f) {
             f[7] = char(200);
             fixCrc(f);
         }},
        {"int count past the end",
         [](QByteArray& f) {
             setU32(f, 7 + 5, 0x40000000);
             fixCrc(f);
         }},
        {"blob length past the end",
         [](QByteArray& f) {
             setU32(f, 7 + 9 + 16 + 4, 1000);
             fixCrc(f);
         }},
        {"trailing bytes in payload",
         [](QByteArray& f) {
             f.insert(f.size() - 4, 'x');
             setU32(f, 3, static_cast<uint32_t>(f.size() - 11));
             fixCrc(f);
         }},
    };
    for (const auto& c : cases) {
        QByteArray f = good;
        c.damage(f);
        FrameDecoder d;
        d.append(f);
        Message m;
        EXPECT_EQ(d.next(m), FrameDecoder::Status::Malformed) << c.what;
    }
    // Garbage is refused from its first byte, not after a length's worth of waiting.
    FrameDecoder d;
    d.append("Q", 1);
    Message m;
    EXPECT_EQ(d.next(m), FrameDecoder::Status::Malformed);
}

TEST(LinkFrame, VersionsFromTheOldestSpokenToTheReceiversOwn) {
    // A frame may come in any version the receiver speaks, as long as that
    // version knows its op; it says which version it came in.
    const Message counts{Op::GetDeviceCounts, 0, {1}, {}};
    const Message wait{Op::WaitForNewRecords, 0, {1, 0, 100}, {}};
    struct Case {
        const char* what;
        Message message;
        uint8_t version;
        uint8_t receiver; // newest version the receiver speaks
        bool taken;
    };
    const Case cases[] = {
        {"oldest spoken", counts, wire::kMinVersion, wire::kVersion, true},
        {"newest", wait, wire::kVersion, wire::kVersion, true},
        {"older than spoken", counts, wire::kMinVersion - 1, wire::kVersion, false},
        {"newer than the receiver", counts, wire::kVersion, wire::kMinVersion, false},
        {"op the frame's version doesn't know", wait, wire::kMinVersion, wire::kVersion, false},
        {"unknown to an older receiver", wait, wire::kVersion, wire::kMinVersion, false},
    };
    for (const auto& c : cases) {
        FrameDecoder d(c.receiver);
        d.append(wire::encodeFrame(c.message, c.version));
        Message m;
        const auto status = d.next(m);
        EXPECT_EQ(status == FrameDecoder::Status::Frame, c.taken) << c.what;
        if (c.taken) {
            EXPECT_EQ(m, c.message) << c.what;
            EXPECT_EQ(d.version(), c.version) << c.what;
        }
    }
}

TEST(LinkRecords, CompactFormKeepsEveryValue) {
    // Ordinary records, then every field at the ends of its range, dates no
    // calendar has, and jumps back and forth in time.
    const std::vector<std::array<int32_t, wire::kLogInts>> records = {
        {123, 0, 2024, 3, 5, 8, 7},
        {124, 8, 2024, 3, 5, 8, 7},
        {1, 1281, 2024, 3, 5, 17, 59},
        {99999, 0, 2023, 12, 31, 23, 59},
        {-5, 8, 11, 2, 123, 99, -1},
        {INT32_MIN, INT32_MAX, INT32_MIN, 1, 1, 0, 0},
        {INT32_MAX, INT32_MIN, INT32_MAX, 12, 31, 23, 59},
        {0, -1, 0, 0, 1, 0, 0},
        {0, 0, 2024, 13, 1, 0, 0},
        {0, 0, 2024, 1, 0, 0, 0},
        {0, 0, 2024, 1, 32, 0, 0},
        {0, 0, 2024, 1, 1, 24, 0},
        {0, 0, 2024, 1, 1, -1, 60},
        {7, 0, -1, 1, 1, 0, 0},
        {7, 0, 2024, 1, 1, 0, 0},
        {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN},
        {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX},
    };
    std::vector<int32_t> rows;
    for (const auto& r : records)
        rows.insert(rows.end(), r.begin(), r.end());
    const QByteArray bytes = wire::encodeLogRows(rows.data(), records.size());
    std::vector<int32_t> back;
    ASSERT_TRUE(wire::decodeLogRows(bytes.constData(), size_t(bytes.size()), records.size(), back));
    EXPECT_EQ(back, rows);

    // A working day of one terminal costs a few bytes a record.
    std::vector<int32_t> day;
    for (int i = 0; i < 100; ++i)
        day.insert(day.end(), {1 + i % 50, i < 50 ? 0 : 8, 2024, 3, 5, i < 50 ? 8 : 17, i % 60});
    EXPECT_LE(wire::encodeLogRows(day.data(), 100).size(), 400);

    // Anything but exactly the records announced is refused.
    for (qsizetype cut = 0; cut < bytes.size(); ++cut)
        EXPECT_FALSE(wire::decodeLogRows(bytes.constData(), size_t(cut), records.size(), back))
            << cut;
    const QByteArray longer = bytes + '\0';
    EXPECT_FALSE(
        wire::decodeLogRows(longer.constData(), size_t(longer.size()), records.size(), back));
    EXPECT_FALSE(
        wire::decodeLogRows(bytes.constData(), size_t(bytes.size()), records.size() + 1, back));
    EXPECT_FALSE(wire::decodeLogRows(bytes.constData(), size_t(bytes.size()), SIZE_MAX, back));
    const std::pair<const char*, QByteArray> bad[] = {
        {"varint over 64 bits", QByteArray(10, '\x80') + QByteArray("\x01\x00\x00", 3)},
        {"mode over 32 bits", QByteArray("\x80\x80\x80\x80\x80\x01\x00\x00", 8)},
        {"enroll over 32 bits", QByteArray("\x00\x80\x80\x80\x80\x10\x00", 7)},
        {"minutes past the last year",
         QByteArray("\x00\x00\xfe\xff\xff\xff\xff\xff\xff\xff\xff\x01", 12)},
    };
    for (const auto& [what, b] : bad)
        EXPECT_FALSE(wire::decodeLogRows(b.constData(), size_t(b.size()), 1, back)) << what;
}

TEST(TemplateText, RoundTripAndRefusals) {
    EnrollTemplate t{};
    t[0] = -1, t[1] = 0, t[2] = 255, t[355] = 0x12345678;
    const QString text = TFP_CLOCK::templateToText(t);
    EXPECT_TRUE(text.startsWith(QLatin1String("FFFFFFFF 00000000 000000FF ")));
    EXPECT_TRUE(text.endsWith(QLatin1String(" 12345678")));
    EXPECT_EQ(text.size(), 356 * 9 - 1);
    EnrollTemplate back{};
    ASSERT_TRUE(TFP_CLOCK::textToTemplate(text.toLower(), back));
    EXPECT_EQ(back, t);

    EnrollTemplate untouched{};
    untouched[0] = 42;
    const QString bad[] = {QString(),
                           text.left(text.lastIndexOf(QLatin1Char(' '))),
                           text + QStringLiteral(" 00000000"),
                           QString(text).replace(0, 8, QStringLiteral("12G45678")),
                           QString(text).replace(0, 8, QStringLiteral("0x123456")),
                           QString(text).replace(0, 8, QStringLiteral("123456789"))};
    for (const QString& b : bad) {
        EXPECT_FALSE(TFP_CLOCK::textToTemplate(b, untouched)) << b.left(20).toStdString();
        EXPECT_EQ(untouched[0], 42);
    }
}

TEST(LinkOperations, ShortRequestsAreRefusedForEveryOperation) {
    // A request one int short of its row's minimum is refused without the
    // handler reading past it.
    int rows = 0;
    for (int n = 0; n < 256; ++n) {
        const wire::LinkOperation* row = wire::linkOperation(static_cast<Op>(n));
        if (!row) continue;
        ++rows;
        SCOPED_TRACE(row->name);
        EXPECT_EQ(row->op, static_cast<Op>(n));
        ASSERT_GE(row->minInts, 1u) << "every request carries the machine number";
        if (!row->handler) continue;

        DeviceModel device;
        const DeviceModel::ClientId client = device.connectClient(false);
        Message hello;
        hello.op = Op::Hello;
        hello.ints = {device.state().machine, 0};
        ASSERT_EQ(device.handle(client, hello).message.code, SUCCESS);
        Message rq;
        rq.op = row->op;
        rq.ints.assign(row->minInts - 1, 0);
        EXPECT_EQ(device.handle(client, rq).message.code, ERR_INVALID_PARAM);
    }
    EXPECT_GT(rows, 20);
}

namespace {

// One request of every operation, in an order that lets each succeed on a
// terminal holding user 42's card and two records.
std::vector<Message> everyOperation() {
    std::vector<int32_t> setEnroll{1, 43, 1, 0, 0, 0};
    setEnroll.resize(setEnroll.size() + wire::kTemplateInts, 7);
    std::vector<int32_t> setEnrollText = setEnroll;
    setEnrollText[3] = 1;
    std::vector<int32_t> setBells{1, 5};
    for (int i = 0; i < 3 * kBellCount; ++i)
        setBells.push_back(i % 8);
    return {
        {Op::Hello, 0, {1, 0}, {}},
        {Op::EnableDevice, 0, {1, 0}, {}},
        {Op::SetDeviceTime, 0, {1, 2024, 3, 5, 8, 7, 0}, {}},
        {Op::GetDeviceTime, 0, {1}, {}},
        {Op::ReadAllGeneralLogData, 0, {1}, {}},
        {Op::ReadGeneralLogData, 0, {1, 1}, {}},
        {Op::FetchLogs, 0, {1, wire::kMaxChunkRows}, {}},
        {Op::CommitNewRecords, 0, {1, 0, 2}, {}},
        {Op::ReadAllUserID, 0, {1}, {}},
        {Op::FetchUsers, 0, {1, wire::kMaxChunkRows}, {}},
        {Op::GetEnrollData, 0, {1, 42, 1, kCardBackup}, {}},
        {Op::GetEnrollDataWithString, 0, {1, 42, 1, kCardBackup}, {}},
        {Op::SetEnrollData, 0, setEnroll, {}},
        {Op::SetEnrollDataWithString, 0, setEnrollText, {}},
        {Op::ModifyPrivilege, 0, {1, 43, 1, 0, 1}, {}},
        {Op::GetEnrollDataBatch, 0, {1, 42, 1, kCardBackup, 43, 1, 0, 43, 1, 1}, {}},
        {Op::DeleteEnrollData, 0, {1, 43, 1, 0}, {}},
        {Op::SetUserName, 0, {1, 42}, {QByteArray("AYSE")}},
        {Op::GetUserName, 0, {1, 42}, {}},
        {Op::GetUserNameBatch, 0, {1, 42, 43}, {}},
        {Op::GetBellTime, 0, {1}, {}},
        {Op::SetBellTime, 0, setBells, {}},
        {Op::GetSerialNumber, 0, {1}, {}},
        {Op::GetDeviceCounts, 0, {1}, {}},
        {Op::WaitForNewRecords, 0, {1, 0, 0}, {}},
        {Op::EmptyEnrollData, 0, {1}, {}},
        {Op::ClearKeeperData, 0, {1}, {}},
        {Op::EnableDevice, 0, {1, 1}, {}},
    };
}

} // namespace

TEST(LinkOperations, EveryReplyHasTheShapeOfItsRow) {
    // The control refuses any other reply, so the terminal must send none:
    // in-process and over the wire.
    DeviceState state;
    state.logs = {LogRecord{42, 0, 2024, 3, 5, 8, 7}, LogRecord{42, 8, 2024, 3, 5, 17, 59}};
    Enrollment card;
    card.enroll = 42, card.backup = kCardBackup, card.password = 7;
    state.enrollments = {card};
    QTemporaryDir dir;
    EmulatorProcess emulator;
    ASSERT_TRUE(emulator.startWithState(state, dir.path()));

    std::set<Op> walked;
    for (const bool inProcess : {true, false}) {
        int32_t error = 0;
        std::unique_ptr<Link> link =
            inProcess ? openInProcessLink(std::make_shared<DeviceModel>(state), &error)
                      : openTcpLink(emulator.host(), static_cast<uint16_t>(emulator.port()), 5000,
                                    &error);
        ASSERT_TRUE(link) << error;
        link->setVersion(wire::kVersion);
        for (const Message& rq : everyOperation()) {
            const wire::LinkOperation* row = wire::linkOperation(rq.op);
            ASSERT_TRUE(row);
            SCOPED_TRACE(std::string(row->name) + (inProcess ? " in-process" : " emulator"));
            Message rp;
            ASSERT_EQ(link->transact(rq, rp, 5000), SUCCESS);
            EXPECT_EQ(rp.code, SUCCESS);
            EXPECT_TRUE(row->reply.fits(rp))
                << rp.ints.size() << " integers, " << rp.blobs.size() << " blobs";
            walked.insert(rq.op);
        }
    }
    for (int n = 0; n < 256; ++n) {
        const wire::LinkOperation* row = wire::linkOperation(static_cast<Op>(n));
        if (row && row->handler) {
            EXPECT_TRUE(walked.count(row->op)) << row->name << " has no request in the walk";
        }
    }
}
