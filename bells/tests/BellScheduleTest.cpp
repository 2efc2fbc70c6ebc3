#include "bells/BellSchedule.h"

#include "core/testing/RecordingOperator.h"
#include "terminal/DeviceModel.h"
#include "terminal/TFP_CLOCK.h"

#include <gtest/gtest.h>

namespace {

// Every bell on at 08:0i, ring duration 5: a form that passes.
BellForm validForm() {
    BellForm f;
    for (size_t i = 0; i < kBellCount; ++i) {
        f.on[i] = true;
        f.hour[i] = "08";
        f.minute[i] = QString::number(i);
    }
    f.ringDuration = "5";
    return f;
}

TEST(BellVerdict, TableOfCases) {
    enum Field { Hour, Minute, Ring };
    const struct {
        Field field;
        const char* text;
        bool valid;
    } cases[] = {
        {Hour, "0", true},
        {Hour, "23", true},
        {Hour, "24", false},
        {Hour, " 7 ", true},
        {Hour, "\t07", true},
        {Hour, "", false},
        {Hour, "  ", false},
        {Hour, "7a", false},
        {Hour, "-1", false},
        {Hour, "+7", false},
        {Hour, "7.0", false},
        {Hour, "1 2", false},
        {Hour, "٣", false},
        {Hour, "0000000000000000000023", true},
        {Hour, "99999999999999999999", false},
        {Minute, "59", true},
        {Minute, "60", false},
        {Minute, "", false},
        {Ring, "0", true},
        {Ring, "255", true},
        {Ring, "256", false},
        {Ring, "", false},
        {Ring, "5 sn", false},
    };
    for (const auto& c : cases) {
        BellForm f = validForm();
        const QString text = QString::fromUtf8(c.text);
        if (c.field == Hour) f.hour[3] = text;
        if (c.field == Minute) f.minute[7] = text;
        if (c.field == Ring) f.ringDuration = text;
        EXPECT_EQ(isValidBellForm(f), c.valid) << c.field << " '" << c.text << "'";
    }
}

class Bells : public ::testing::Test {
  protected:
    void SetUp() override {
        DeviceState state;
        state.ringDuration = 12;
        for (int i = 0; i < kBellCount; ++i)
            state.bells[static_cast<size_t>(i)] = Bell{i % 2, 7 + i, 5 * i};
        state.bells[2].on = 2; // not 1: off
        device = std::make_shared<DeviceModel>(state);
        clock.setInProcessDevice(device);
        ASSERT_TRUE(clock.OpenCommPort(1));
    }
    std::shared_ptr<DeviceModel> device;
    TFP_CLOCK clock;
    RecordingOperator op;
    BellSchedule schedule;
};

TEST_F(Bells, ReadShowsTheTerminalsScheduleFormatted) {
    PlainBellForm view(schedule.clear());
    ASSERT_TRUE(schedule.read(clock, 1, view, op));
    BellForm form = view.value;
    EXPECT_EQ(form.hour[0], "07");
    EXPECT_EQ(form.minute[0], "00");
    EXPECT_EQ(form.minute[7], "35");
    EXPECT_FALSE(form.on[0]);
    EXPECT_TRUE(form.on[1]);
    EXPECT_FALSE(form.on[2]);
    EXPECT_EQ(schedule.table()[2], 0) << "a flag of 2 is stored back as 0";
    EXPECT_EQ(form.ringDuration, "12");
    EXPECT_EQ(op.messageTexts(), QStringList{"Terminalden Zil Saatleri Alındı.."});
    EXPECT_EQ(device->lockHolder(), 0);

    // Showing again clears the bells but keeps the ring duration.
    form = schedule.clear();
    EXPECT_EQ(form.hour,
              (std::array<QString, kBellCount>{"00", "00", "00", "00", "00", "00", "00", "00"}));
    EXPECT_EQ(form.on, (std::array<bool, kBellCount>{}));
    EXPECT_EQ(form.ringDuration, "12");
}

TEST_F(Bells, FailedReadLeavesFormAndTableAsTheyWere) {
    PlainBellForm read;
    ASSERT_TRUE(schedule.read(clock, 1, read, op));
    const BellTable table = schedule.table();
    device->mutableState().bells[0] = Bell{1, 23, 59};
    for (const char* failing : {"EnableDevice", "GetBellTime"}) {
        device->faults().failOps = {{failing, ERR_READ_FAIL}};
        PlainBellForm form(validForm());
        op = RecordingOperator();
        EXPECT_FALSE(schedule.read(clock, 1, form, op)) << failing;
        EXPECT_EQ(form.value, validForm()) << failing;
        EXPECT_EQ(schedule.table(), table) << failing;
        EXPECT_EQ(schedule.ringDuration(), 12) << failing;
        EXPECT_EQ(op.messageTexts(), QStringList{"Terminal Bulunamadı"}) << failing;
        EXPECT_EQ(device->lockHolder(), 0) << failing;
    }
}

TEST_F(Bells, SendWritesTheFormAndShowsItAsSent) {
    PlainBellForm view(validForm());
    BellForm& form = view.value;
    form.hour[0] = "7";
    form.minute[0] = " 5 ";
    form.on[1] = false;
    form.ringDuration = "30";
    EXPECT_EQ(schedule.send(clock, 1, view, op), BellSendOutcome::Sent);
    EXPECT_EQ(op.questions, QStringList{"UYARI: Zil saatleri terminale gönderilsin mi...?"});
    EXPECT_EQ(op.messageTexts(), QStringList{"Gönderildi."});
    EXPECT_EQ(form.hour[0], "07");
    EXPECT_EQ(form.minute[0], "05");
    EXPECT_EQ(device->state().bells[0], (Bell{1, 7, 5}));
    EXPECT_EQ(device->state().bells[1], (Bell{0, 8, 1}));
    EXPECT_EQ(device->state().ringDuration, 30);
    EXPECT_EQ(device->lockHolder(), 0);
}

// No answer, a refused form, an absent or refusing terminal: the terminal's
// schedule stays; only a refused form is named.
TEST_F(Bells, SendThatChangesNothing) {
    const DeviceState before = device->state();
    const struct {
        bool answer;
        bool validInput;
        const char* failing;
        BellSendOutcome outcome;
        const char* message;
    } cases[] = {
        {false, true, "", BellSendOutcome::Declined, nullptr},
        {true, false, "EnableDevice", BellSendOutcome::Invalid, "Invalid Value."},
        {true, true, "EnableDevice", BellSendOutcome::NoDevice, "hata"},
        {true, true, "SetBellTime", BellSendOutcome::Refused, "hata"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.outcome));
        device->faults().failOps.clear();
        if (*c.failing) device->faults().failOps[c.failing] = ERR_WRITE_FAIL;
        PlainBellForm form(validForm());
        if (!c.validInput) form.value.minute[5] = "60";
        const BellForm typed = form.value;
        op = RecordingOperator();
        op.answers = {c.answer};
        EXPECT_EQ(schedule.send(clock, 1, form, op), c.outcome);
        EXPECT_EQ(form.value, typed);
        EXPECT_EQ(op.messageTexts(), c.message ? QStringList{c.message} : QStringList{});
        if (c.outcome == BellSendOutcome::Invalid) {
            EXPECT_EQ(op.messages[0].title, "Bell Info");
        }
        EXPECT_EQ(device->state(), before);
        EXPECT_EQ(device->lockHolder(), 0);
    }
}

TEST(BellJson, WhatGetPrintsSetReadsBack) {
    BellSchedule schedule;
    BellForm form = validForm();
    form.on[4] = false;
    form.hour[6] = "23";
    form.ringDuration = "255";
    ASSERT_TRUE(schedule.collect(form));
    const QByteArray json = schedule.toJson();
    EXPECT_TRUE(json.startsWith("{\"ring_duration\": 255, \"bells\": [\n  {\"on\": 1, \"hour\": 8, "
                                "\"minute\": 0},\n"))
        << json.toStdString();
    QString error;
    const std::optional<BellForm> back = bellFormFromJson(json, &error);
    ASSERT_TRUE(back) << error.toStdString();
    BellSchedule again;
    ASSERT_TRUE(again.collect(*back));
    EXPECT_EQ(again.table(), schedule.table());
    EXPECT_EQ(again.ringDuration(), 255);
}

TEST(BellJson, RefusesWhatIsNotTheSchedule) {
    const QByteArray bell = R"({"on": 1, "hour": 8, "minute": 0})";
    const auto bells = [&](int n, const QByteArray& first = {}) {
        QByteArrayList list;
        for (int i = 0; i < n; ++i)
            list << (i == 0 && !first.isEmpty() ? first : bell);
        return R"({"ring_duration": 5, "bells": [)" + list.join(", ") + "]}";
    };
    ASSERT_TRUE(bellFormFromJson(bells(8), nullptr));
    const QByteArray refused[] = {
        "",
        "not json",
        "[]",
        bells(7),
        bells(9),
        R"({"bells": [], "ring_duration": 5, "extra": 1})",
        R"({"ring_duration": "5", "bells": []})",
        bells(8, R"({"on": 2, "hour": 8, "minute": 0})"),
        bells(8, R"({"on": true, "hour": 8, "minute": 0})"),
        bells(8, R"({"on": 1, "hour": 7.5, "minute": 0})"),
        bells(8, R"({"on": 1, "hour": "8", "minute": 0})"),
        bells(8, R"({"on": 1, "hour": 8})"),
        bells(8, R"({"on": 1, "hour": 8, "minute": 0, "sn": 3})"),
        bells(8, R"({"on": 1, "hour": 1e300, "minute": 0})"),
        bells(8) + QByteArray(70000, ' '),
    };
    for (const QByteArray& json : refused) {
        QString error;
        EXPECT_FALSE(bellFormFromJson(json, &error)) << json.left(80).toStdString();
        EXPECT_FALSE(error.isEmpty()) << json.left(80).toStdString();
    }
    // Out of range is left to the verdict.
    const std::optional<BellForm> late =
        bellFormFromJson(bells(8, R"({"on": 1, "hour": 24, "minute": 0})"), nullptr);
    ASSERT_TRUE(late);
    EXPECT_FALSE(isValidBellForm(*late));
}

} // namespace
