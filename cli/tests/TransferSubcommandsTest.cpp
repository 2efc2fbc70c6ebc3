#include "CommandLineRun.h"
#include "core/Database.h"
#include "core/DirectoryLock.h"
#include "core/IniFile.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"
#include "transfer/DataFiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class Headless : public ::testing::Test {
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
    }
    void addTerminal(const QString& name, int port) {
        QSqlDatabase db = openDatabaseFile("headless-test", programDir() + "Data.mdb");
        execSql(db,
                "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, NetPort, "
                "Sifre) "
                "values (1, ?, 'ethernet', '', '', '127.0.0.1', ?, 0)",
                {name, port});
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("headless-test");
    }
    Outcome run(const QStringList& args) { return runProgram(programDir(), args); }
    QString programDir() const { return dir.path() + '/'; }
    QByteArray veri() const { return readFile(programDir() + "veri.txt"); }
    QString month() const { return monthlyBackupFileName(QDate::currentDate()); }

    QTemporaryDir dir;
    EmulatorProcess emulator;
};

TEST_F(Headless, TransferPrintsOneSummaryLineAndExitsZero) {
    addTerminal("Giriş", emulator.port());
    const Outcome first = run({"transfer"}); // the only row, without --terminal
    EXPECT_EQ(first.code, 0) << first.err.toStdString();
    EXPECT_EQ(first.out, "Giriş: 5 kayıt -> veri.txt, yedek_V270/" + month() + "\n");
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(veri().count("\r\n"), 5);
    EXPECT_TRUE(veri().startsWith("00001 05/03/2024 08:00:00 01 01\r\n"));

    const Outcome again = run({"transfer", "--terminal", "giriş"});
    EXPECT_EQ(again.code, 0);
    EXPECT_EQ(again.out, "Giriş: aktarılacak kayıt yok\n");
    EXPECT_EQ(run({"-q", "transfer"}).out, "") << "quiet: nothing on success";

    // --all with the saved second-file option: veri2.txt becomes a copy.
    writeProfileString(programDir() + "Settings.ini", "Options", "veriDosya2", "1");
    const Outcome all = run({"transfer", "--all", "--json"});
    EXPECT_EQ(all.code, 0);
    const QJsonArray json = QJsonDocument::fromJson(all.out.toUtf8()).array();
    ASSERT_EQ(json.size(), 1) << all.out.toStdString();
    EXPECT_EQ(json[0].toObject(),
              (QJsonObject{{"terminal", "Giriş"},
                           {"records", 5},
                           {"files", QJsonArray{"veri.txt", "yedek_K19/" + month(), "veri2.txt"}},
                           {"exit_code", 0}}));
    EXPECT_EQ(veri().count("\r\n"), 10);
    EXPECT_EQ(readFile(programDir() + "veri2.txt"), veri());
}

TEST_F(Headless, FailuresAndTheirExitCodes) {
    addTerminal("Giriş", emulator.port());
    addTerminal("Kapalı", 1); // nothing listens there
    const Outcome refused = run({"transfer", "--terminal", "Kapalı"});
    EXPECT_EQ(refused.code, 2);
    EXPECT_EQ(refused.out, refusedSummary("Kapalı"));
    EXPECT_EQ(refused.err, refusedText("Kapalı"));

    // Quiet holds the messages back, and shows them when the command fails.
    const Outcome quiet = run({"--quiet", "transfer", "--terminal", "Kapalı"});
    EXPECT_EQ(quiet.code, 2);
    EXPECT_EQ(quiet.err, refusedText("Kapalı"));

    const Outcome unknown = run({"transfer", "--terminal", "Yok"});
    EXPECT_EQ(unknown.code, 64);
    EXPECT_EQ(unknown.err,
              "\"Yok\" adlı terminal listede yok. Listedekiler: \"Giriş\", \"Kapalı\"\n");

    const Outcome which = run({"transfer"});
    EXPECT_EQ(which.code, 64);
    EXPECT_TRUE(which.err.contains("--all-terminals")) << which.err.toStdString();

    {
        auto running = DirectoryLock::tryAcquire(programDir(), "Verileri Aktar");
        const Outcome busy = run({"transfer", "--terminal", "Giriş"});
        EXPECT_EQ(busy.code, 4);
        EXPECT_EQ(
            busy.out,
            QString("Giriş (127.0.0.1:%1): HATA: program dizini meşgul\n").arg(emulator.port()));
        // After the full wait, which the status line told of.
        EXPECT_TRUE(busy.err.endsWith(directoryBusyText(programDir()) + "\n"))
            << busy.err.toStdString();
    }

    QFile::remove(programDir() + "Data.mdb");
    const Outcome noDatabase = run({"transfer"});
    EXPECT_EQ(noDatabase.code, 1);
    EXPECT_TRUE(noDatabase.err.contains("Data.mdb")) << noDatabase.err.toStdString();
    EXPECT_EQ(veri(), "");
}

TEST_F(Headless, EmptyListSaysSo) {
    for (const QStringList& args : {QStringList{"transfer"}, QStringList{"clock", "get"},
                                    QStringList{"transfer", "--all-terminals"}}) {
        const Outcome r = run(args);
        EXPECT_EQ(r.code, 1) << args.join(' ').toStdString();
        EXPECT_EQ(r.err, "Terminal listesi boş.\n");
    }
}

TEST_F(Headless, Sdcard) {
    writeFile(dir.filePath("kart.txt"), "h\n1\t1\t123\t0\t0\t0\t2011/06/08 12:34:56\n");
    const Outcome done = run({"sdcard", dir.filePath("kart.txt")});
    EXPECT_EQ(done.code, 0);
    EXPECT_EQ(done.err, "Aktarım işlemi tamamlandı..\n");
    EXPECT_EQ(veri(), "00123 08/06/2011 12:34:56 01\r\n");

    const Outcome missing = run({"sdcard", dir.filePath("yok.txt")});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_TRUE(missing.err.startsWith("Giriş/çıkış hatası: \"" + dir.filePath("yok.txt") + "\""))
        << missing.err.toStdString();
}

} // namespace
