#include "core/AppError.h"
#include "core/testing/RecordingOperator.h"
#include "session/DeviceBracket.h"
#include "session/TerminalSession.h"
#include "terminal/DeviceModel.h"
#include "terminal/TFP_CLOCK.h"

#include <QSqlField>

#include <gtest/gtest.h>

namespace {

// A Terminal row as the list query returns it.
QSqlRecord row(const QString& tip, int terminalNo = 1, const QVariant& comport = "3",
               const QVariant& combaud = "38400", const QString& name = "Giriş") {
    QSqlRecord r;
    auto add = [&r](const char* column, const QVariant& value) {
        QSqlField f(QString::fromLatin1(column), value.metaType());
        f.setValue(value);
        r.append(f);
    };
    add("id", 1);
    add("TerminalNo", terminalNo);
    add("Terminal", name);
    add("Tip", tip);
    add("ComPort", comport);
    add("ComBaud", combaud);
    add("Ip", "127.0.0.1");
    add("NetPort", 5005);
    add("Sifre", 0);
    return r;
}

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DeviceState state;
        state.machine = 1;
        device = std::make_shared<DeviceModel>(state);
        clock.setInProcessDevice(device);
    }
    std::shared_ptr<DeviceModel> device;
    TFP_CLOCK clock;
    SessionState session;
    RecordingOperator op;
};

TEST_F(SessionTest, ComWithEmptyPortKeepsThePortAndSetsTheSpeed) {
    clock.CommPort = 4;
    EXPECT_TRUE(connectCommand(clock, row("com", 1, "", "57600"), session, op));
    EXPECT_EQ(clock.CommPort, 4);
    EXPECT_EQ(clock.Baudrate, 57600);
    EXPECT_FALSE(clock.IsUSB);
    EXPECT_TRUE(session.connected);
    EXPECT_EQ(session.connectedName, "Giriş");
    EXPECT_EQ(op.busyCount, 1);
    EXPECT_EQ(op.busyDepth, 0);
}

TEST_F(SessionTest, UsbAfterComKeepsTheSerialValues) {
    ASSERT_TRUE(connectCommand(clock, row("com", 1, "3", "38400"), session, op));
    disconnectTerminal(clock, session);
    ASSERT_TRUE(connectCommand(clock, row("usb"), session, op));
    EXPECT_TRUE(clock.IsUSB);
    EXPECT_EQ(clock.CommPort, 3);
    EXPECT_EQ(clock.Baudrate, 38400);
    // A later com attempt clears IsUSB again.
    disconnectTerminal(clock, session);
    ASSERT_TRUE(connectCommand(clock, row("com"), session, op));
    EXPECT_FALSE(clock.IsUSB);
}

// A failure says what happened: never the name of a code left over from an
// earlier request when nothing was sent at all.
TEST_F(SessionTest, FailuresKeepTheMachineNumberAndSayWhyNothingWasTried) {
    struct Case {
        QSqlRecord row;
        int machine;
        QString reason;
    } cases[] = {
        {row("Ethernet", 12), 12, "bilinmeyen bağlantı tipi 'Ethernet'"}, // compared exactly
        {row("", 13), 13, "bağlantı tipi yok"},
        {QSqlRecord(), 0, "Terminal listesi boş"},
    };
    for (const Case& c : cases) {
        op.messages.clear();
        EXPECT_FALSE(connectCommand(clock, c.row, session, op));
        EXPECT_EQ(session.machineNumber, c.machine);
        EXPECT_FALSE(session.connected);
        EXPECT_EQ(op.messageHeads(), QStringList{QStringLiteral("Hata..Bağlantı Kurulamadı....")});
        const QString text = op.messageTexts().join('|');
        EXPECT_TRUE(text.contains(c.reason)) << text.toStdString();
        EXPECT_FALSE(text.contains('[')) << text.toStdString();
    }
}

TEST_F(SessionTest, BadNumbersRaiseBeforeAnythingIsSent) {
    EXPECT_THROW(connectCommand(clock, row("com", 1, "3", "hızlı"), session, op), AppError);
    EXPECT_THROW(connectCommand(clock, row("com", 1, "COM3", "9600"), session, op), AppError);
    EXPECT_FALSE(session.connected);
    EXPECT_EQ(op.busyDepth, 0) << "the busy cursor ends on the way out";
    EXPECT_FALSE(clock.isConnected());
}

TEST_F(SessionTest, BracketReleasesOnEveryWayOut) {
    ASSERT_TRUE(connectCommand(clock, row("usb"), session, op));
    try {
        DeviceBracket bracket(clock, 1, DeviceBracket::ReleaseAfterFailedLock::No, op,
                              FailureReport::MessageBox);
        ASSERT_TRUE(bracket.locked());
        EXPECT_NE(device->lockHolder(), 0);
        throw AppError("disk dolu");
    } catch (const AppError&) {
    }
    EXPECT_EQ(device->lockHolder(), 0);
}

TEST_F(SessionTest, BracketReportsAsTheCommandSays) {
    ASSERT_TRUE(connectCommand(clock, row("usb"), session, op));
    {
        DeviceBracket bracket(clock, 1, DeviceBracket::ReleaseAfterFailedLock::Yes, op,
                              FailureReport::StatusLine);
        EXPECT_FALSE(clock.DeleteEnrollData(1, 424242, 1, 0));
        bracket.reportFailure("Parmakizi Sil");
        EXPECT_EQ(op.statuses.last(), QStringLiteral("Parmakizi Sil : ERR_NON_CARRYOUT"));
    }
    {
        DeviceBracket bracket(clock, 1, DeviceBracket::ReleaseAfterFailedLock::Yes, op,
                              FailureReport::MessageBox);
        EXPECT_FALSE(clock.DeleteEnrollData(1, 424242, 1, 0));
        bracket.reportFailure();
        EXPECT_EQ(op.messageTexts().last(), QStringLiteral("ERR_NON_CARRYOUT"));
    }
    // A terminal that is gone: the lock fails, "No Device" in the status line.
    disconnectTerminal(clock, session);
    DeviceBracket bracket(clock, 1, DeviceBracket::ReleaseAfterFailedLock::No, op,
                          FailureReport::StatusLine);
    EXPECT_FALSE(bracket.locked());
    EXPECT_EQ(op.statuses.last(), QStringLiteral("No Device"));
}

} // namespace
