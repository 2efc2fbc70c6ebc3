// Text at the border with the personnel database.

#include "names/MySqlText.h"

#include <gtest/gtest.h>

namespace {

TEST(MySqlText, EscapesAsTheServersClientDoes) {
    std::string all = "a'b\"c\\d\ne\rf";
    all += '\0';
    all += "\032\xDE";
    std::string withBackslash = "a\\'b\\\"c\\\\d\\ne\\rf\\0\\Z\xDE";
    EXPECT_EQ(escapeLiteral(all, true), withBackslash);
    std::string quoteDoubled = "a''b\"c\\d\ne\rf";
    quoteDoubled += '\0';
    quoteDoubled += "\032\xDE";
    EXPECT_EQ(escapeLiteral(all, false), quoteDoubled);
}

TEST(MySqlText, Latin5BothWays) {
    EXPECT_EQ(fromLatin5("\xC7\xD0\xDD \xF6\xFE\xFC"), QStringLiteral("ÇĞİ öşü"));
    EXPECT_EQ(toLatin5(QStringLiteral("ÇĞİ öşü")), std::string("\xC7\xD0\xDD \xF6\xFE\xFC"));
    // No latin5 byte: never sent as '?', which could match another row.
    EXPECT_EQ(toLatin5(QStringLiteral("42\u4E00")), std::nullopt);
}

} // namespace
