// history: what the headless transfers left in the history of transfers,
// printed oldest first, filtered by terminal and day.

#include "CommandLineRun.h"
#include "core/Database.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"
#include "transfer/DataFiles.h"
#include "transfer/TransferHistory.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class HistoryCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        createDatabaseFromSchema(programDir() + "Data.mdb", "Data.sql");
        DeviceState state;
        for (int i = 0; i < 5; ++i)
            state.logs.push_back(LogRecord{i + 1, 0, 2024, 3, 5, 8, i});
        QString error;
        ASSERT_TRUE(saveDeviceState(state, dir.filePath("terminal.json"), &error));
        ASSERT_TRUE(emulator.start({"--state", dir.filePath("terminal.json")}, &error))
            << error.toStdString();
        addTerminal("Giriş", emulator.port());
        addTerminal("Kapalı", 1); // nothing listens there
    }
    void addTerminal(const QString& name, int port) {
        QSqlDatabase db = openDatabaseFile("history-test", programDir() + "Data.mdb");
        execSql(db,
                "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, NetPort, "
                "Sifre) values (1, ?, 'ethernet', '', '', '127.0.0.1', ?, 0)",
                {name, port});
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("history-test");
    }
    Outcome run(const QStringList& args) { return runProgram(programDir(), args); }
    QString programDir() const { return dir.path() + '/'; }
    // The lines without their time, which the test can't know.
    static QStringList untimed(const QString& out) {
        QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
        for (QString& line : lines)
            line.remove(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d "));
        return lines;
    }

    QTemporaryDir dir;
    EmulatorProcess emulator;
};

TEST_F(HistoryCommand, HeadlessTransfersAndFailedConnectionsAreListed) {
    const QString month = "yedek_V270/" + monthlyBackupFileName(QDate::currentDate());
    EXPECT_EQ(run({"transfer", "--terminal", "Giriş"}).code, 0);
    const Outcome refused = run({"transfer", "--terminal", "Kapalı"});
    EXPECT_EQ(refused.code, 2);
    EXPECT_EQ(refused.out, refusedSummary("Kapalı"));
    EXPECT_EQ(run({"transfer", "--terminal", "Giriş", "--all"}).code, 0);
    EXPECT_EQ(run({"transfer", "--terminal", "Giriş"}).code, 0);

    const Outcome all = run({"history"});
    EXPECT_EQ(all.code, 0) << all.err.toStdString();
    EXPECT_EQ(all.err, "");
    const QString reason = refusedSummary("Kapalı").section(": HATA: ", 1).trimmed();
    EXPECT_EQ(
        untimed(all.out),
        (QStringList{"Giriş: 5 kayıt → veri.txt, " + month, "Kapalı (127.0.0.1:1): HATA: " + reason,
                     "Giriş (tüm kayıtlar): 5 kayıt → veri.txt, yedek_K19/" +
                         monthlyBackupFileName(QDate::currentDate()),
                     "Giriş: aktarılacak kayıt yok"}));

    EXPECT_EQ(untimed(run({"history", "--terminal", "kapalı"}).out),
              QStringList{"Kapalı (127.0.0.1:1): HATA: " + reason});
    EXPECT_EQ(
        run({"history", "--since", QDate::currentDate().addDays(1).toString(Qt::ISODate)}).out, "");

    const QJsonArray json =
        QJsonDocument::fromJson(run({"history", "--json"}).out.toUtf8()).array();
    ASSERT_EQ(json.size(), 4);
    const QJsonObject failed = json[1].toObject();
    EXPECT_EQ(failed["terminal"], "Kapalı");
    EXPECT_EQ(failed["address"], "127.0.0.1:1");
    EXPECT_EQ(failed["result"], "failed");
    EXPECT_EQ(failed["exit_code"], 2);
    EXPECT_EQ(json[2].toObject()["command"], "tam-indirme");
}

TEST_F(HistoryCommand, SinceMustBeADay) {
    for (const char* bad : {"11.12.2026", "2026-13-01", "2026-2-1", "dün", ""}) {
        const Outcome r = run({"history", "--since", bad});
        EXPECT_EQ(r.code, 64) << bad;
        EXPECT_TRUE(r.err.startsWith("--since YYYY-AA-GG biçiminde bir tarih olmalı"))
            << r.err.toStdString();
        EXPECT_EQ(r.out, "");
    }
}

} // namespace
