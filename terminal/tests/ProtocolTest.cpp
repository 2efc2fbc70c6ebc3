// The frame codec, the error names and the template text form.

#include "terminal/ErrorNames.h"
#include "terminal/LinkProtocol.h"
#include "terminal/TFP_CLOCK.h"

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
