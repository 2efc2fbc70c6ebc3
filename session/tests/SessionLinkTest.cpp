// Connecting from a Terminal row to the emulator over each connection type,
// as "BAGLAN" does.

#include "core/testing/RecordingOperator.h"
#include "session/DeviceBracket.h"
#include "session/TerminalSession.h"
#include "terminal/TFP_CLOCK.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlField>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QSqlRecord terminalRow(const QVariantMap& values) {
    QSqlRecord r;
    for (auto it = values.begin(); it != values.end(); ++it) {
        QSqlField f(it.key(), it.value().metaType());
        f.setValue(it.value());
        r.append(f);
    }
    return r;
}

class SessionLinkTest : public ::testing::Test {
  protected:
    void writeSettings(const QByteArray& text) {
        QFile f(dir.filePath("Settings.ini"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
        session.settingsFile = dir.filePath("Settings.ini");
    }
    void start(QStringList args) {
        QString error;
        ASSERT_TRUE(emulator.start(args << "--machine"
                                        << "4"
                                        << "--password"
                                        << "846213",
                                   &error))
            << error.toStdString();
    }

    QTemporaryDir dir;
    EmulatorProcess emulator;
    TFP_CLOCK clock;
    SessionState session;
    RecordingOperator op;
};

TEST_F(SessionLinkTest, Ethernet) {
    start({});
    QVariantMap row{{"TerminalNo", 4},       {"Terminal", "Kapı"},         {"Tip", "ethernet"},
                    {"Ip", emulator.host()}, {"NetPort", emulator.port()}, {"Sifre", 1}};
    EXPECT_FALSE(connectCommand(clock, terminalRow(row), session, op)) << "wrong password";
    EXPECT_EQ(op.messageHeads(), QStringList{QStringLiteral("Hata..Bağlantı Kurulamadı....")});

    row["Sifre"] = 846213;
    ASSERT_TRUE(connectCommand(clock, terminalRow(row), session, op));
    EXPECT_TRUE(clock.EnableDevice(4, 0));
    EXPECT_TRUE(clock.EnableDevice(4, 1));
    disconnectTerminal(clock, session);
    EXPECT_FALSE(clock.isConnected());
}

TEST_F(SessionLinkTest, SerialOverAPseudoTerminal) {
    const QString link = dir.filePath("ttyV3");
    start({"--pty", link});
    writeSettings("[Ports]\nCOM3=" + link.toUtf8() + "\n");
    const QVariantMap row{{"TerminalNo", 4},
                          {"Terminal", "Seri"},
                          {"Tip", "com"},
                          {"ComPort", "3"},
                          {"ComBaud", "115200"}};
    ASSERT_TRUE(connectCommand(clock, terminalRow(row), session, op))
        << op.messageTexts().join('|').toStdString();
    EXPECT_EQ(clock.CommPort, 3);
    int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    EXPECT_TRUE(clock.GetDeviceTime(4, year, month, day, hour, minute, second));
    EXPECT_GE(year, 2024);
    disconnectTerminal(clock, session);
}

TEST_F(SessionLinkTest, NetworkRowWithoutAnAddressNeverOpensTheSerialPort) {
    const QString link = dir.filePath("ttyV1");
    start({"--pty", link});
    writeSettings("[Ports]\nCOM1=" + link.toUtf8() + "\n");
    // The serial terminal on COM1 answers, so any fall-back would connect.
    const QVariantMap serial{
        {"TerminalNo", 4}, {"Tip", "com"}, {"ComPort", "1"}, {"ComBaud", "115200"}};
    ASSERT_TRUE(connectCommand(clock, terminalRow(serial), session, op));
    disconnectTerminal(clock, session);

    const QVariantMap rows[] = {
        {{"TerminalNo", 4}, {"Tip", "ethernet"}, {"Ip", ""}, {"NetPort", 5005}},
        {{"TerminalNo", 4}, {"Tip", "ethernet"}, {"Ip", "127.0.0.1"}, {"NetPort", ""}},
        {{"TerminalNo", 4}, {"Tip", "ethernet"}, {"Ip", "127.0.0.1"}, {"NetPort", 0}},
        {{"TerminalNo", 4}, {"Tip", "ethernet"}, {"Ip", "127.0.0.1"}, {"NetPort", 65536}},
    };
    for (const QVariantMap& row : rows) {
        op.messages.clear();
        EXPECT_FALSE(connectCommand(clock, terminalRow(row), session, op));
        EXPECT_FALSE(clock.isConnected());
        EXPECT_EQ(op.messageHeads(), QStringList{QStringLiteral("Hata..Bağlantı Kurulamadı....")});
    }
}

TEST_F(SessionLinkTest, UsbOverAUnixSocket) {
    const QString socket = dir.filePath("usb.sock");
    start({"--unix", socket});
    writeSettings("[Ports]\nUSB=" + socket.toUtf8() + "\n");
    const QVariantMap row{{"TerminalNo", 4}, {"Terminal", "USB"}, {"Tip", "usb"}};
    ASSERT_TRUE(connectCommand(clock, terminalRow(row), session, op));
    EXPECT_TRUE(clock.IsUSB);
    EXPECT_TRUE(clock.EnableDevice(4, 0));
    EXPECT_TRUE(clock.EnableDevice(4, 1));
    disconnectTerminal(clock, session);
}

TEST_F(SessionLinkTest, DevicePathFromThePortsSection) {
    writeSettings("[ports]\ncom3 = /dev/ttyUSB0\nUsb=/run/v270/usb.sock\n");
    const QString ini = session.settingsFile;
    EXPECT_EQ(terminalDevicePath(ini, false, 3), "/dev/ttyUSB0") << "names are case-insensitive";
    EXPECT_EQ(terminalDevicePath(ini, false, 2), "/dev/ttyS1") << "COM n defaults to ttyS<n-1>";
    EXPECT_EQ(terminalDevicePath(ini, true, 2), "/run/v270/usb.sock");
    EXPECT_EQ(terminalDevicePath(dir.filePath("missing.ini"), false, 1), "/dev/ttyS0");
    EXPECT_EQ(terminalDevicePath(dir.filePath("missing.ini"), true, 1), "");
    EXPECT_EQ(terminalDevicePath(ini, false, 0), "") << "there is no COM 0";
}

TEST_F(SessionLinkTest, NothingListening) {
    start({});
    const int port = emulator.port();
    emulator.stop();
    clock.setTimeouts(2000, 2000);
    const QVariantMap row{{"TerminalNo", 4},   {"Terminal", "Kapalı"}, {"Tip", "ethernet"},
                          {"Ip", "127.0.0.1"}, {"NetPort", port},      {"Sifre", 846213}};
    EXPECT_FALSE(connectCommand(clock, terminalRow(row), session, op));
    EXPECT_EQ(op.messageHeads(), QStringList{QStringLiteral("Hata..Bağlantı Kurulamadı....")});
    // The line under it says which terminal, where, and what to check.
    const QString details = op.messageTexts().value(0).section(u'\n', 1);
    EXPECT_TRUE(details.startsWith(QStringLiteral("Kapalı (127.0.0.1:%1): ").arg(port)))
        << details.toStdString();
    EXPECT_TRUE(details.contains(QStringLiteral("denetleyin"))) << details.toStdString();
    EXPECT_EQ(op.busyDepth, 0);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

namespace {

// The terminal restarts between two commands: the next command opens the
// link again by itself and goes on; when the terminal stays away, the
// command says so, naming it, and the control is left disconnected.
TEST_F(SessionLinkTest, CommandAfterALinkDropReconnectsOnceOrSaysWhy) {
    start({});
    const int port = emulator.port();
    const QVariantMap row{{"TerminalNo", 4},   {"Terminal", "Kapı"}, {"Tip", "ethernet"},
                          {"Ip", "127.0.0.1"}, {"NetPort", port},    {"Sifre", 846213}};
    ASSERT_TRUE(connectCommand(clock, terminalRow(row), session, op));
    clock.setTimeouts(2000, 2000);

    emulator.stop();
    start({"--listen", QStringLiteral("127.0.0.1:%1").arg(port)});
    {
        DeviceBracket bracket(clock, 4, DeviceBracket::ReleaseAfterFailedLock::No, op,
                              FailureReport::MessageBox);
        EXPECT_TRUE(bracket.locked());
    }
    EXPECT_TRUE(op.messages.empty());
    EXPECT_TRUE(clock.isConnected());

    emulator.stop();
    {
        DeviceBracket bracket(clock, 4, DeviceBracket::ReleaseAfterFailedLock::Yes, op,
                              FailureReport::None);
        EXPECT_FALSE(bracket.locked());
    }
    EXPECT_EQ(op.messageHeads(), QStringList{QStringLiteral("Hata..Bağlantı Kurulamadı....")});
    EXPECT_TRUE(
        op.messageTexts().value(0).contains(QStringLiteral("\nKapı (127.0.0.1:%1): ").arg(port)));
    EXPECT_FALSE(clock.isConnected());
}

} // namespace
