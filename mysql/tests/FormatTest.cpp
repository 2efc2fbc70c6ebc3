// Date, time and number texts by the process-wide format settings.
#include "mysql/FormatSettings.h"

#include <string>
#include <vector>
#include <gtest/gtest.h>

using namespace v270::mysql;

TEST(MySqlFormat, DatesAndTimesByFormat) {
    const DateTimeParts v{2024, 2, 29, 8, 5, 9, 42};
    const FormatSettings turkish;
    FormatSettings other;
    other.ShortDateFormat = "yyyy/mm/dd";
    other.DateSeparator = '-';
    other.TimeSeparator = '.';
    struct Case {
        const char* format;
        const FormatSettings& settings;
        std::string expect;
    } cases[] = {
        {"dd.mm.yyyy", turkish, "29.02.2024"},
        {"dd/mm/yy", other, "29-02-24"},
        {"d/m/yyyy", turkish, "29.2.2024"},
        {"dddd, dd mmmm yyyy", turkish, "Perşembe, 29 Şubat 2024"},
        {"ddd mmm", turkish, "Per Şub"},
        // "mm" after an hour is minutes, anywhere else the month.
        {"hh:mm:ss", turkish, "08:05:09"},
        {"HH:NN:SS.zzz", other, "08.05.09.042"},
        {"h 'h' n 'dk'", turkish, "8 h 5 dk"},
        {"c", turkish, "29.02.2024 08:05:09"},
        {"ddddd", other, "2024-02-29"},
        // Texts longer than a step holds; more fields than one chunk of room.
        {"'Kayıt tarihi: 'dd.mm.yyyy", turkish, "Kayıt tarihi: 29.02.2024"},
        {"c|c|c|dddd", turkish,
         "29.02.2024 08:05:09|29.02.2024 08:05:09|29.02.2024 08:05:09|Perşembe"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatDateTime(c.format, v, c.settings), c.expect) << c.format;
    EXPECT_EQ(FormatDate({1, 1, 1}), "01.01.0001");
    EXPECT_EQ(FormatDateAndTime({9999, 12, 31, 23, 59, 59}), "31.12.9999 23:59:59");
}

TEST(MySqlFormat, TimeSpansAreNotWrappedAndCutFractions) {
    constexpr int64_t s = 1000000;
    struct Case {
        int64_t us;
        std::string expect;
    } cases[] = {
        {0, "00:00:00"},
        {(8 * 3600 + 5 * 60) * s, "08:05:00"},
        {(8 * 3600 + 30 * 60) * s, "08:30:00"},
        {-((838 * 3600 + 59 * 60 + 59) * s + 990000), "-838:59:59"},
        {(25 * 3600) * s + 999999, "25:00:00"},
        {-1, "-00:00:00"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatTimeSpan(c.us), c.expect) << c.us;
}

TEST(MySqlFormat, FloatsAsPercentG15WithTheDecimalSeparator) {
    struct Case {
        double value;
        std::string expect;
    } cases[] = {
        {1.5, "1,5"},
        {3.4e38, "3,4E+38"},
        {-123456789.125, "-123456789,125"},
        {1e-5, "1E-05"},
        {0.1, "0,1"},
        {123456789012345678.0, "1,23456789012346E+17"},
        {100000, "100000"},
        {-2.25e-300, "-2,25E-300"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatFloat(c.value), c.expect);
    FormatSettings dot;
    dot.DecimalSeparator = '.';
    EXPECT_EQ(FormatFloat(1.5, dot), "1.5");
}

TEST(MySqlFormat, CalendarDayCounts) {
    EXPECT_EQ(DaysFromDate(1899, 12, 30), 0);
    EXPECT_EQ(DaysFromDate(1, 1, 1), -693593);
    EXPECT_EQ(DaysFromDate(2024, 2, 29), 45351);
    for (int64_t d : {-693593LL, -1LL, 0LL, 1LL, 45351LL, 2958465LL}) {
        DateTimeParts p = DateFromDays(d);
        EXPECT_EQ(DaysFromDate(p.year, p.month, p.day), d);
    }
    DateTimeParts last = DateFromDays(2958465);
    EXPECT_EQ(last.year * 10000 + last.month * 100 + last.day, 99991231);
    EXPECT_TRUE(IsValidDate(2000, 2, 29));
    EXPECT_FALSE(IsValidDate(1900, 2, 29));
    EXPECT_FALSE(IsValidDate(2023, 2, 29));
    EXPECT_FALSE(IsValidDate(0, 1, 1));
    EXPECT_FALSE(IsValidDate(2024, 4, 31));
    EXPECT_FALSE(IsValidDate(2024, 13, 1));
    EXPECT_EQ(DayOfWeek(1899, 12, 30), 6); // a Saturday
}

TEST(MySqlFormat, KeptFormatsFollowTheSettingsAndOddValues) {
    const DateTimeParts v{2024, 2, 29, 8, 5, 9, 42};
    FormatSettings fs;
    EXPECT_EQ(FormatDateAndTime(v, fs), "29.02.2024 08:05:09");
    // A format taken apart once must see later changes of the settings.
    fs.ShortDateFormat = "yyyy/mm/dd";
    EXPECT_EQ(FormatDateAndTime(v, fs), "2024.02.29 08:05:09");
    fs.DateSeparator = '-';
    fs.TimeSeparator = '.';
    EXPECT_EQ(FormatDateAndTime(v, fs), "2024-02-29 08.05.09");
    fs.LongTimeFormat = "hh:nn:ss.zzz";
    EXPECT_EQ(FormatDateAndTime(v, fs), "2024-02-29 08.05.09.042");
    // Values wider than their fields are written whole.
    EXPECT_EQ(FormatDateTime("dd.mm.yyyy hh:nn", {12345, 1, 2, 3, 4, 0, 0}), "02.01.12345 03:04");
    EXPECT_EQ(FormatDateTime("hh:nn", {1, 1, 1, 123, 4, 0, 0}), "123:04");
}

TEST(MySqlFormat, IntegerTexts) {
    struct Case {
        int64_t value;
        std::string expect;
    } cases[] = {{0, "0"},
                 {7, "7"},
                 {42, "42"},
                 {-100, "-100"},
                 {123456, "123456"},
                 {INT64_MIN, "-9223372036854775808"},
                 {INT64_MAX, "9223372036854775807"}};
    for (const Case& c : cases) {
        std::string out = "x";
        AppendInteger(out, c.value);
        EXPECT_EQ(out, "x" + c.expect);
    }
    // Each digit count at both of its ends, and both sides of 32 bits.
    std::vector<uint64_t> unsignedCases = {uint64_t(UINT32_MAX), uint64_t(UINT32_MAX) + 1,
                                           UINT64_MAX};
    for (uint64_t p = 10;; p *= 10) {
        unsignedCases.insert(unsignedCases.end(), {p - 1, p});
        if (p > UINT64_MAX / 10) break;
    }
    for (uint64_t v : unsignedCases) {
        std::string out;
        AppendUnsigned(out, v);
        EXPECT_EQ(out, std::to_string(v));
    }
}

TEST(MySqlFormat, OneBuilderForManyFormats) {
    // More formats than the per-thread store keeps, in turn: each text must
    // be its own format's, however often the entries are reused.
    const DateTimeParts v{2024, 2, 29, 8, 5, 9, 42};
    const char* formats[] = {"dd.mm.yyyy", "yyyy-mm-dd",   "hh:nn", "c",
                             "d/m/yy",     "hh:nn:ss.zzz", "dddd",  "mmmm yyyy"};
    std::string out, expect;
    {
        TextBuilder b(out);
        for (int round = 0; round < 3; ++round) {
            for (const char* f : formats) {
                b.DateTime(f, v);
                b.Put('|');
                b.Date(v);
                b.Put('|');
                b.DateAndTime(v);
                b.Put('\n');
                expect += FormatDateTime(f, v) + "|29.02.2024|29.02.2024 08:05:09\n";
            }
        }
    }
    EXPECT_EQ(out, expect);
}
