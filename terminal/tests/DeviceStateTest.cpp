// The state file: what loads, what is refused and why, and the round trip.

#include "terminal/DeviceState.h"

#include <limits>
#include <gtest/gtest.h>

namespace {

QString refusal(const char* json) {
    QString error;
    const auto s = parseDeviceState(QByteArray(json), &error);
    EXPECT_FALSE(s.has_value()) << json;
    return error;
}

} // namespace

TEST(DeviceStateFile, RefusesMalformedFilesWithTheReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "not valid JSON"},
        {"{\"machine\": 1,", "not valid JSON"},
        {"[1, 2]", "JSON object"},
        {"{\"machine\": 1.5}", "machine"},
        {"{\"password\": 2147483648}", "password"},
        {"{\"new_mark\": \"3\"}", "new_mark"},
        {"{\"bells\": [{\"on\":1}]}", "exactly 8"},
        {"{\"bells\": 5}", "bells"},
        {"{\"logs\": [{\"enroll\": 1, \"day\": -2147483649}]}", "logs[0].day"},
        {"{\"logs\": [7]}", "logs[0]"},
        {"{\"enrollments\": [{\"enroll\": 1, \"backup\": 17}]}", "enrollments[0].backup"},
        {"{\"enrollments\": [{\"enroll\": 1, \"template\": [1, 2, 3]}]}", "356"},
        {"{\"names\": {\"abc\": \"X\"}}", "abc"},
        {"{\"names\": {\"42\": 7}}", "names.42"},
    };
    for (const auto& [json, mentions] : cases)
        EXPECT_TRUE(refusal(json).contains(QLatin1String(mentions)))
            << json << " -> " << refusal(json).toStdString();
}

TEST(DeviceStateFile, KeepsValuesAsStoredIgnoresUnknownKeysAndRoundTrips) {
    const QByteArray json = R"({"machine": 7, "future_key": {"x": 1}, "new_mark": 99,
        "logs": [{"enroll": 123, "mode": 1281, "year": 11, "month": 13, "day": 123,
                  "hour": -1, "minute": 2147483647, "extra": true}],
        "enrollments": [{"enroll": 42, "backup": 11, "password": -1},
                        {"enroll": 42, "backup": 11, "password": 5}],
        "names": {"-3": "ÇĞİ öşü", "5": "a\"b\\c\u0001\ud800"}})";
    QString error;
    const auto s = parseDeviceState(json, &error);
    ASSERT_TRUE(s) << error.toStdString();
    EXPECT_EQ(s->machine, 7);
    EXPECT_EQ(s->newMark, 99); // past the end: simply nothing new
    ASSERT_EQ(s->logs.size(), 1u);
    EXPECT_EQ(s->logs[0], (LogRecord{123, 1281, 11, 13, 123, -1, 2147483647}));
    ASSERT_EQ(s->enrollments.size(), 2u); // the same key twice is delivered as stored
    EXPECT_EQ(s->enrollments[0].password, -1);
    EXPECT_EQ(s->names.at(-3), QStringLiteral("ÇĞİ öşü"));
    EXPECT_EQ(s->names.at(5).size(), 7); // quote, backslash, control and lone surrogate kept
    EXPECT_EQ(s->ringDuration, 5);       // missing keys keep the defaults

    const auto again = parseDeviceState(serializeDeviceState(*s), &error);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *s);

    DeviceState demo = makeDemoState(50, 3);
    // The longest numbers there are, a whole template of them.
    Enrollment widest;
    widest.fingerprint.fill(std::numeric_limits<int32_t>::min());
    widest.fingerprint.back() = std::numeric_limits<int32_t>::max();
    demo.enrollments.push_back(widest);
    const auto demoBack = parseDeviceState(serializeDeviceState(demo), &error);
    ASSERT_TRUE(demoBack);
    EXPECT_EQ(*demoBack, demo);
    EXPECT_GE(demo.logs.size(), 2000u);
    EXPECT_EQ(demo.names.size(), 50u);
    for (const auto& [enroll, name] : demo.names)
        EXPECT_LE(name.size(), 12);
}
