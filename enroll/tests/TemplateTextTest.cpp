// The template text of tblEnroll.FPdata, written and read.

#include "enroll/TemplateText.h"

#include <QStringList>

#include <gtest/gtest.h>

namespace {

QString groups(int count, int32_t (*value)(int)) {
    QStringList g;
    for (int i = 0; i < count; ++i)
        g << QStringLiteral("%1").arg(uint32_t(value(i)), 8, 16, QLatin1Char('0')).toUpper();
    return g.join(u' ');
}

int32_t indexPlusOne(int i) {
    return i + 1;
}

} // namespace

TEST(TemplateText, WritesEveryElementAndReadsItBack) {
    EnrollTemplate t{};
    t[0] = -1, t[1] = 0, t[2] = 255, t[355] = INT32_MIN;
    const QString text = TemplateToText(t);
    EXPECT_TRUE(text.startsWith(QStringLiteral("FFFFFFFF 00000000 000000FF ")));
    EXPECT_TRUE(text.endsWith(QStringLiteral(" 80000000")));
    EXPECT_EQ(text.size(), 3203);
    EnrollTemplate back;
    back.fill(7);
    TextToTemplate(text, back);
    EXPECT_EQ(back, t);
}

TEST(TemplateText, ReadsAsFarAsItCanWithoutAWord) {
    std::vector<int32_t> all355;
    for (int i = 0; i < 355; ++i)
        all355.push_back(i + 1);
    struct Case {
        QString text;
        std::vector<int32_t> front; // elements from 0 on; the rest up to 354 are 0
        int32_t element355;         // 42 when the text doesn't reach it
    };
    const Case cases[] = {
        {groups(355, indexPlusOne), all355, 42}, // 3194 characters
        {groups(356, indexPlusOne), all355, 356},
        {groups(400, indexPlusOne), all355, 356},               // no element after 355
        {QStringLiteral("00000001 00000002 0000"), {1, 2}, 42}, // ends mid-group
        {QStringLiteral("00000001 12G45678 00000003"), {1}, 42},
        {QStringLiteral("00000001 0000000x"), {1}, 42},
        {QStringLiteral("0000000a ffffffff"), {10, -1}, 42},
        {QString(), {}, 42},
    };
    for (const Case& c : cases) {
        EnrollTemplate t;
        t.fill(42);
        TextToTemplate(c.text, t);
        std::vector<int32_t> want = c.front;
        want.resize(355, 0);
        EXPECT_EQ(std::vector<int32_t>(t.begin(), t.begin() + 355), want)
            << c.text.left(40).toStdString();
        EXPECT_EQ(t[355], c.element355) << c.text.left(40).toStdString();
    }
    EXPECT_EQ(groups(355, indexPlusOne).size(), 3194);
}
