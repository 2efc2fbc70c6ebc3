// The emulator's reply mutator: what each fault does to a frame, how often,
// and that a seed repeats its faults.
#include "terminal/emulator/ReplyMutator.h"

#include <QList>

#include <map>
#include <gtest/gtest.h>

namespace {

QByteArray frameNumber(int i) {
    QByteArray f("VT\x02");
    f += QByteArray::number(i).rightJustified(12, '0');
    return f;
}

int differingBits(const QByteArray& a, const QByteArray& b) {
    int n = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        n += __builtin_popcount(static_cast<unsigned char>(a[i] ^ b[i]));
    return n;
}

} // namespace

TEST(ReplyMutator, ZeroProbabilityPassesEveryFrame) {
    ReplyMutator m(0.0, 1);
    QByteArray held;
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(m.pass(frameNumber(i), held), frameNumber(i));
        EXPECT_TRUE(m.lastFault().isEmpty());
        EXPECT_TRUE(held.isEmpty());
    }
}

TEST(ReplyMutator, TheSeedDecidesTheFaults) {
    auto run = [](uint64_t seed) {
        ReplyMutator m(0.3, seed);
        QByteArray held;
        QList<QByteArray> out;
        for (int i = 0; i < 500; ++i)
            out << m.pass(frameNumber(i), held) << m.lastFault().toUtf8();
        return out;
    };
    EXPECT_EQ(run(7), run(7));
    EXPECT_NE(run(7), run(8));
}

TEST(ReplyMutator, EachFaultDoesWhatItSaysAndAllComeAboutEvenly) {
    ReplyMutator m(1.0, 42);
    QByteArray held;
    std::map<QString, int> seen;
    const int frames = 5000;
    for (int i = 0; i < frames; ++i) {
        const QByteArray frame = frameNumber(i);
        const QByteArray before = held;
        const QByteArray out = m.pass(frame, held);
        const QString fault = m.lastFault();
        const QString kind = fault.section(QLatin1Char(' '), 0, 0);
        ++seen[kind];
        SCOPED_TRACE(fault.toStdString());
        if (kind == u"reorder") {
            // Held for the next reply; the one held before goes now.
            EXPECT_EQ(out, before);
            EXPECT_EQ(held, frame);
            continue;
        }
        // Whatever else happens, a frame held before follows this one.
        EXPECT_TRUE(held.isEmpty());
        ASSERT_TRUE(out.endsWith(before));
        const QByteArray mine = out.left(out.size() - before.size());
        if (kind == u"flip") {
            ASSERT_EQ(mine.size(), frame.size());
            EXPECT_EQ(differingBits(mine, frame),
                      fault.section(QLatin1Char(' '), 2).count(u',') + 1);
        } else if (kind == u"truncate") {
            EXPECT_FALSE(mine.isEmpty());
            EXPECT_LT(mine.size(), frame.size());
            EXPECT_TRUE(frame.startsWith(mine));
        } else if (kind == u"duplicate") {
            EXPECT_EQ(mine, frame + frame);
        } else {
            EXPECT_EQ(kind, u"drop");
            EXPECT_TRUE(mine.isEmpty());
        }
    }
    ASSERT_EQ(seen.size(), 5u);
    for (const auto& [kind, count] : seen)
        EXPECT_NEAR(count, frames / 5, frames / 25) << kind.toStdString();
}

TEST(ReplyMutator, AboutOneFrameInAHundredAtOnePercent) {
    ReplyMutator m(0.01, 3);
    QByteArray held;
    int hit = 0;
    for (int i = 0; i < 20000; ++i) {
        m.pass(frameNumber(i), held);
        hit += !m.lastFault().isEmpty();
    }
    EXPECT_NEAR(hit, 200, 50);
}
