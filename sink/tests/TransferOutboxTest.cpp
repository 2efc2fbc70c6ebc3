// The headless transfer with a central database set up, killed at random
// moments as cron never expects: after the run that finishes, the outbox
// holds every record of the terminal once, at its position; the push after
// the transfer failing (the central database is down) fails nothing.

#include "core/CentralOutbox.h"
#include "core/Database.h"
#include "core/IniFile.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <gtest/gtest.h>

namespace {

QByteArray lineFor(int i) {
    return QStringLiteral("%1 05/03/2024 %2:%3:00 01 01\r\n")
        .arg(i + 1, 5, 10, QChar('0'))
        .arg(8 + (i / 60) % 10, 2, 10, QChar('0'))
        .arg(i % 60, 2, 10, QChar('0'))
        .toLatin1();
}

TEST(TransferOutbox, TransferKilledAtRandomMomentsKeepsEveryRecordOnce) {
    constexpr int kRecords = 30000;
    QTemporaryDir tmp;
    const QString dir = tmp.path() + '/';
    createDatabaseFromSchema(dir + "Data.mdb", "Data.sql");
    // Nothing listens on port 1: every push after a transfer fails at once.
    writeProfileString(dir + "Settings.ini", "Merkez", "Hosts", "127.0.0.1:1");
    writeProfileString(dir + "Settings.ini", "Merkez", "Database", "merkez");
    writeProfileString(dir + "Settings.ini", "Merkez", "User", "sink");

    DeviceState state;
    state.serial = "OUTBOX01";
    for (int i = 0; i < kRecords; ++i)
        state.logs.push_back(LogRecord{i + 1, 0, 2024, 3, 5, 8 + (i / 60) % 10, i % 60});
    EmulatorProcess emulator;
    QString error;
    ASSERT_TRUE(emulator.startWithState(state, tmp.path(), &error)) << error.toStdString();
    {
        QSqlDatabase db = openDatabaseFile("outbox-test", dir + "Data.mdb");
        execSql(db,
                "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, NetPort, "
                "Sifre) values (1, 'Giriş', 'ethernet', '', '', '127.0.0.1', ?, 0)",
                {emulator.port()});
    }
    QSqlDatabase::removeDatabase("outbox-test");

    const auto run = [&](QProcess& p) {
        p.start(QStringLiteral(V270_PROGRAM), {"--dir", dir, "transfer"});
        return p.waitForStarted(10000);
    };
    auto* random = QRandomGenerator::global();
    int kills = 0;
    for (int round = 0; round < 6; ++round) {
        QProcess p;
        ASSERT_TRUE(run(p));
        // Most kills land while the batch goes into the files or the outbox.
        QThread::msleep(random->bounded(100u, 1500u));
        if (p.state() == QProcess::Running) {
            ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
            ++kills;
        }
        p.waitForFinished(60000);
    }
    QProcess last;
    ASSERT_TRUE(run(last));
    ASSERT_TRUE(last.waitForFinished(120000));
    const QString err = QString::fromUtf8(last.readAllStandardError());
    EXPECT_EQ(last.exitCode(), 0) << err.toStdString();
    EXPECT_GE(kills, 1);

    std::vector<int> seen(kRecords, 0);
    OutboxReader outbox(dir);
    OutboxCursor from;
    for (const OutboxRecord& r : outbox.read(from, SIZE_MAX)) {
        ASSERT_EQ(r.terminal, "OUTBOX01");
        ASSERT_TRUE(r.position >= 0 && r.position < kRecords) << r.position;
        ASSERT_EQ(r.line, lineFor(int(r.position))) << r.position;
        ++seen[size_t(r.position)];
    }
    for (int i = 0; i < kRecords; ++i)
        ASSERT_EQ(seen[size_t(i)], 1) << "position " << i;

    // Nothing new: the transfer succeeds, the push says why it could not.
    QProcess again;
    ASSERT_TRUE(run(again));
    ASSERT_TRUE(again.waitForFinished(60000));
    EXPECT_EQ(again.exitCode(), 0);
    EXPECT_TRUE(QString::fromUtf8(again.readAllStandardError()).contains("Merkeze gönderilemedi"));
}

} // namespace
