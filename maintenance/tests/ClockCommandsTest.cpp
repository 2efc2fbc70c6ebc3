#include "maintenance/ClockCommands.h"

#include "core/testing/RecordingOperator.h"
#include "terminal/DeviceModel.h"
#include "terminal/TFP_CLOCK.h"

#include <QDateTime>

#include <gtest/gtest.h>

namespace {

class Clock : public ::testing::Test {
  protected:
    void SetUp() override {
        device = std::make_shared<DeviceModel>(DeviceState{});
        clock.setInProcessDevice(device);
        ASSERT_TRUE(clock.OpenCommPort(1));
    }
    // The terminal's clock shows `at` now.
    void setTerminalClock(const QDateTime& at) {
        device->mutableState().clockOffsetSeconds =
            static_cast<int32_t>(QDateTime::currentDateTime().secsTo(at));
    }
    std::shared_ptr<DeviceModel> device;
    TFP_CLOCK clock;
    RecordingOperator op;
};

TEST(ClockText, TwoLinesWithZeroFillsThatNeverCut) {
    const struct {
        int32_t year, month, day, hour, minute;
        const char* text;
    } cases[] = {
        {2011, 6, 8, 9, 5, "Tarih = 08/06/2011\rSaat = 09:05"},
        {11, 12, 31, 23, 59, "Tarih = 31/12/11\rSaat = 23:59"},
        {2024, 1, 123, 0, 0, "Tarih = 123/01/2024\rSaat = 00:00"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(deviceClockText(c.year, c.month, c.day, c.hour, c.minute), c.text) << c.text;
}

TEST_F(Clock, ReadShowsTheTerminalsClock) {
    setTerminalClock(QDateTime(QDate(2011, 6, 8), QTime(9, 5, 20)));
    const ClockResult r = readDeviceClock(clock, 1, op);
    EXPECT_EQ(r.outcome, ClockOutcome::Done);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Tarih = 08/06/2011\rSaat = 09:05");
    EXPECT_EQ(op.messages[0].title, applicationTitle());
    EXPECT_EQ(op.busyCount, 1);
    EXPECT_EQ(op.busyDepth, 0);
    EXPECT_EQ(device->lockHolder(), 0);
}

TEST_F(Clock, SetTakesTheComputersClock) {
    setTerminalClock(QDateTime(QDate(2001, 1, 1), QTime(0, 0)));
    const ClockResult r = setDeviceClock(clock, 1, op);
    EXPECT_EQ(r.outcome, ClockOutcome::Done);
    EXPECT_EQ(op.messageTexts(), QStringList{"cihaz tarih saati ayarlandı.."});
    EXPECT_LE(std::abs(device->state().clockOffsetSeconds), 2);
    EXPECT_EQ(op.busyDepth, 0);
    EXPECT_EQ(device->lockHolder(), 0);
}

// What the operator sees when the terminal refuses: only a refused set is
// told; the cursor comes back and the terminal is free in every case.
TEST_F(Clock, RefusalsOfTheTerminal) {
    const struct {
        const char* failing;
        bool set;
        ClockOutcome outcome;
        QStringList messages;
    } cases[] = {
        {"EnableDevice", true, ClockOutcome::NoDevice, {}},
        {"EnableDevice", false, ClockOutcome::NoDevice, {}},
        {"SetDeviceTime", true, ClockOutcome::Failed, {"HATA...tarih saat ayarlanamadı.."}},
        {"GetDeviceTime", false, ClockOutcome::Failed, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        device->faults().failOps = {{c.failing, ERR_WRITE_FAIL}};
        device->mutableState().clockOffsetSeconds = 1000;
        op = RecordingOperator();
        const ClockResult r = c.set ? setDeviceClock(clock, 1, op) : readDeviceClock(clock, 1, op);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(op.messageTexts(), c.messages);
        if (c.outcome == ClockOutcome::Failed) {
            EXPECT_EQ(r.errorName, "ERR_WRITE_FAIL");
        }
        EXPECT_EQ(device->state().clockOffsetSeconds, 1000);
        EXPECT_EQ(op.busyDepth, 0);
        EXPECT_EQ(device->lockHolder(), 0);
    }
}

} // namespace
