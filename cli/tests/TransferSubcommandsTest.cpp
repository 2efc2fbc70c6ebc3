#include "cli/TransferSubcommands.h"
#include "core/Database.h"
#include "core/IniFile.h"
#include "core/testing/TestFiles.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"
#include "transfer/DataFiles.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct Outcome {
    int code;
    QString out;
    QString err;
};

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
    Outcome transfer(bool all, const QString& name = {}) {
        QString out, err;
        QTextStream o(&out), e(&err);
        const int code = runTransferCommand(programDir(), all, name, o, e);
        return {code, out, err};
    }
    QString programDir() const { return dir.path() + '/'; }
    QByteArray veri() const { return readFile(programDir() + "veri.txt"); }

    QTemporaryDir dir;
    EmulatorProcess emulator;
};

TEST_F(Headless, TransferPrintsTheMessagesAndExitsZero) {
    addTerminal("Giriş", emulator.port());
    const Outcome first = transfer(false);
    EXPECT_EQ(first.code, 0) << first.err.toStdString();
    EXPECT_EQ(first.out, "Bilgiler Dosyaya Aktarıldı....\n");
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(veri().count("\r\n"), 5);
    EXPECT_TRUE(veri().startsWith("00001 05/03/2024 08:00:00 01 01\r\n"));

    const Outcome again = transfer(false, "Giriş");
    EXPECT_EQ(again.code, 0);
    EXPECT_EQ(again.out, "Cihazdan Alınacak Veri Yok...\n");

    // --all with the saved second-file option: veri2.txt becomes a copy.
    writeProfileString(programDir() + "Settings.ini", "Options", "veriDosya2", "1");
    const Outcome all = transfer(true);
    EXPECT_EQ(all.code, 0);
    EXPECT_EQ(all.out, "Bilgiler Dosyaya Aktarıldı....\n");
    EXPECT_EQ(veri().count("\r\n"), 10);
    EXPECT_EQ(readFile(programDir() + "veri2.txt"), veri());
}

TEST_F(Headless, ConnectionAndOtherFailures) {
    addTerminal("Giriş", emulator.port());
    addTerminal("Kapalı", 1); // nothing listens there
    const Outcome refused = transfer(false, "Kapalı");
    EXPECT_EQ(refused.code, 2);
    EXPECT_EQ(refused.out, "Hata..Bağlantı Kurulamadı....\n");

    const Outcome unknown = transfer(false, "Yok");
    EXPECT_EQ(unknown.code, 1);
    EXPECT_EQ(unknown.err, "\"Yok\" adlı terminal listede yok.\n");

    {
        auto running = DirectoryLock::tryAcquire(programDir());
        const Outcome busy = transfer(false, "Giriş");
        EXPECT_EQ(busy.code, 1);
        EXPECT_EQ(busy.out, directoryBusyText(programDir()) + "\n");
        EXPECT_EQ(busy.err, "");
    }

    QFile::remove(programDir() + "Data.mdb");
    const Outcome noDatabase = transfer(false);
    EXPECT_EQ(noDatabase.code, 1);
    EXPECT_TRUE(noDatabase.err.contains("Data.mdb")) << noDatabase.err.toStdString();
    EXPECT_EQ(veri(), "");
}

TEST_F(Headless, EmptyListFailsLikeBaglan) {
    const Outcome r = transfer(false);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "Hata..Bağlantı Kurulamadı....\n");
}

TEST_F(Headless, Sdcard) {
    writeFile(dir.filePath("kart.txt"), "h\n1\t1\t123\t0\t0\t0\t2011/06/08 12:34:56\n");
    QString out, err;
    QTextStream o(&out), e(&err);
    EXPECT_EQ(runSdcardCommand(programDir(), dir.filePath("kart.txt"), o, e), 0);
    EXPECT_EQ(out, "Aktarım işlemi tamamlandı..\n");
    EXPECT_EQ(veri(), "00123 08/06/2011 12:34:56 01\r\n");

    out.clear();
    EXPECT_EQ(runSdcardCommand(programDir(), dir.filePath("yok.txt"), o, e), 1);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(err.startsWith("Giriş/çıkış hatası: \"" + dir.filePath("yok.txt") + "\""))
        << err.toStdString();
}

} // namespace
