// names fill and names send on a program directory, against the test
// MariaDB and the terminal emulator.

#include "CommandLineRun.h"
#include "core/Database.h"
#include "core/IniFile.h"
#include "core/testing/TestFiles.h"
#include "core/testing/TestProgramDir.h"
#include "names/tests/PersonnelDatabase.h"
#include "terminal/DeviceState.h"
#include "terminal/testing/EmulatorProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

#include <gtest/gtest.h>

namespace {

class NamesHeadless : public ::testing::Test {
  protected:
    QString programDir() const { return files.dir(); }
    QString settings() const { return programDir() + "Settings.ini"; }
    void sql(const char* file, const QString& statement, const QVariantList& values = {}) {
        QSqlDatabase db = openDatabaseFile("names-test", programDir() + file);
        execSql(db, statement, values);
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("names-test");
    }
    void addTemp(const QString& kartno, const QString& isim) {
        sql("Log.mdb", "insert into temp (kartno, isim) values (?, ?)", {kartno, isim});
    }
    QString isimOf(const QString& kartno) {
        QSqlDatabase db = openDatabaseFile("names-read", programDir() + "Log.mdb");
        QString isim;
        {
            QSqlQuery q = execSql(db, "select isim from temp where kartno = ?", {kartno});
            if (q.next()) isim = q.value(0).toString();
        }
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("names-read");
        return isim;
    }
    Outcome fill() { return runProgram(programDir(), {"names", "fill"}); }
    Outcome send(const std::optional<QString>& kartno = std::nullopt) {
        QStringList args{"names", "send"};
        if (kartno) args << "--kartno" << *kartno;
        return runProgram(programDir(), args);
    }
    // The emulator as the list's only terminal.
    void startTerminal() {
        QString error;
        ASSERT_TRUE(emulator.startWithState(DeviceState{}, files.dir(), &error))
            << error.toStdString();
        sql("Data.mdb",
            "insert into Terminal (TerminalNo, Terminal, Tip, Ip, NetPort, Sifre) "
            "values (1, 'Demo', 'ethernet', '127.0.0.1', ?, 0)",
            {emulator.port()});
    }
    // The emulator saves names sent without its lock up to 200 ms later.
    std::map<int32_t, QString> terminalNames(const std::map<int32_t, QString>& want) const {
        QDeadlineTimer deadline(5000);
        for (;;) {
            QString error;
            const auto state = parseDeviceState(readFile(files.path("state.json")), &error);
            auto names = state ? state->names : std::map<int32_t, QString>{};
            if (names == want || deadline.hasExpired()) return names;
            QThread::msleep(10);
        }
    }

    TestProgramDir files;
    EmulatorProcess emulator;
};

TEST_F(NamesHeadless, FillPrintsWhatItFound) {
    SKIP_WITHOUT_TEST_SERVER();
    PersonnelDatabase db("cli_fill");
    db.add("00042", QStringLiteral("Çağla"), QStringLiteral("Öz"));
    db.writeSettings(settings());
    db.add("00044", "", std::nullopt);
    addTemp("00042", "CAGLA");
    addTemp("00043", "KIMSE");
    addTemp("00044", "BOS");
    const Outcome r = fill();
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "İsmi yazılan satır: 1\nPersonel kaydı bulunamayan satır: 1\n"
                     "Personel kaydında adı ve soyadı boş olan satır: 1\n");
    EXPECT_EQ(isimOf("00042"), "Çağla Öz");
    EXPECT_EQ(isimOf("00043"), "KIMSE");
    EXPECT_EQ(isimOf("00044"), "BOS");

    // No number as port: told, then the data module's own port is tried (and
    // nothing of the test server listens there).
    writeProfileString(settings(), "MySql", "Port", "abc");
    const Outcome abc = fill();
    EXPECT_TRUE(abc.err.startsWith("Veritabanına bağlanamadı....\n")) << abc.err.toStdString();
    EXPECT_EQ(abc.code, 1);
    EXPECT_EQ(abc.out, "");
}

TEST_F(NamesHeadless, SendOneOrAll) {
    startTerminal();
    addTemp("00042", QStringLiteral("Çağla Öz"));
    addTemp("00007", "");
    addTemp("00008", "Kısa");

    const Outcome one = send(QStringLiteral("42"));
    EXPECT_EQ(one.code, 0) << one.err.toStdString();
    EXPECT_EQ(one.out, "Gönderilen isim: 1\n");
    EXPECT_EQ(one.err, "SetUserName OK\n");
    {
        const std::map<int32_t, QString> want{{42, "Cagla Oz"}};
        EXPECT_EQ(terminalNames(want), want);
    }

    const Outcome all = send();
    EXPECT_EQ(all.code, 0) << all.err.toStdString();
    EXPECT_EQ(all.out, "Gönderilen isim: 2\n");
    {
        const std::map<int32_t, QString> want{{8, "Kisa"}, {42, "Cagla Oz"}};
        EXPECT_EQ(terminalNames(want), want);
    }

    const Outcome missing = send(QStringLiteral("99"));
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "İsim listesinde 99 numaralı kart yok.\n");

    addTemp("00100", "Son");
    addTemp("0x1", "Harfli");
    const Outcome stopped = send();
    EXPECT_EQ(stopped.code, 1);
    EXPECT_EQ(stopped.out, "Gönderilen isim: 3\n"); // 0x1 is the last row
    EXPECT_EQ(stopped.err, "SetUserName OK\n'0x1' geçerli bir tam sayı değil.\n");
}

// A name the link can't carry is refused after the names before it went and
// before the ones after it go: the reason given is that refusal's own.
TEST_F(NamesHeadless, RefusedNameGivesItsOwnReason) {
    startTerminal();
    addTemp("00001", "Ali");
    addTemp("00002", QString(1 << 20, u'A'));
    addTemp("00003", "Veli");
    const Outcome r = send();
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "Gönderilen isim: 2\n");
    EXPECT_EQ(r.err, "SetUserName OK\nTerminal 1 ismi almadı (ERR_INVALID_PARAM).\n");
}

// Every terminal of the list at once: each gets the names, each its lines.
TEST_F(NamesHeadless, SendToEveryTerminal) {
    startTerminal();
    EmulatorProcess second;
    const QString otherDir = programDir() + "ikinci/";
    ASSERT_TRUE(QDir().mkpath(otherDir));
    QString error;
    ASSERT_TRUE(second.startWithState(DeviceState{}, otherDir, &error)) << error.toStdString();
    sql("Data.mdb",
        "insert into Terminal (TerminalNo, Terminal, Tip, Ip, NetPort, Sifre) "
        "values (1, 'Yemekhane', 'ethernet', '127.0.0.1', ?, 0)",
        {second.port()});
    addTemp("00042", QStringLiteral("Çağla Öz"));
    const Outcome r = runProgram(programDir(), {"names", "send", "--all-terminals", "--jobs", "2"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Gönderilen isim: 1\nGönderilen isim: 1\n");
    EXPECT_EQ(r.err, "Demo: SetUserName OK\nYemekhane: SetUserName OK\n") << r.err.toStdString();
    const std::map<int32_t, QString> want{{42, "Cagla Oz"}};
    EXPECT_EQ(terminalNames(want), want);
    QDeadlineTimer deadline(5000);
    std::map<int32_t, QString> names;
    while (!deadline.hasExpired()) {
        const auto state = parseDeviceState(readFile(otherDir + "state.json"), &error);
        if (state && (names = state->names) == want) break;
        QThread::msleep(10);
    }
    EXPECT_EQ(names, want);
}

TEST_F(NamesHeadless, SendWithAnEmptyListSaysSo) {
    addTemp("00042", "Ad");
    const Outcome r = send();
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Terminal listesi boş.\n");
}

TEST_F(NamesHeadless, VerbsAndOptions) {
    for (const QStringList& args :
         {QStringList{"yok"}, QStringList{"fill", "--all"},
          QStringList{"send", "--all", "--kartno", "1"}, QStringList{"fill", "--all-terminals"}}) {
        const Outcome r = runProgram(programDir(), QStringList{"names"} + args);
        EXPECT_EQ(r.code, 64) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("Kullanım: ")) << r.err.toStdString();
    }
}

} // namespace
