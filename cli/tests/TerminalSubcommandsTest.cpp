// terminals add, edit and list on a Data.mdb of their own: the values the
// row check refuses, and rows an older version stored with such values.

#include "CommandLineRun.h"
#include "core/Database.h"
#include "core/testing/TestProgramDir.h"

#include <gtest/gtest.h>

namespace {

class TerminalsCommand : public ::testing::Test {
  protected:
    Outcome run(const QStringList& args) {
        return runProgram(programDir(), QStringList{"terminals"} + args);
    }
    QString programDir() const { return files.dir(); }

    // Every row, column by column, as Data.mdb holds it; one row a line.
    QString storedRows() const {
        QStringList rows;
        QSqlDatabase db = openDatabaseFile("terminals-test", programDir() + "Data.mdb");
        {
            QSqlQuery q = execSql(db, "select Terminal, TerminalNo, Tip, ComPort, ComBaud, Ip, "
                                      "NetPort, Sifre from Terminal order by id");
            while (q.next()) {
                QStringList row;
                for (int i = 0; i < 8; ++i)
                    row << q.value(i).toString();
                rows << row.join('|');
            }
        }
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("terminals-test");
        return rows.join('\n');
    }

    // A row put in as an older version could have stored it.
    void insertRow(const QVariantList& values) const {
        QSqlDatabase db = openDatabaseFile("terminals-test", programDir() + "Data.mdb");
        execSql(db,
                "insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, Ip, NetPort, "
                "Sifre) values (?, ?, ?, ?, ?, ?, ?, ?)",
                values);
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("terminals-test");
    }

    TestProgramDir files;
};

// Each value the tester got stored, and the neighbours that must still pass.
TEST_F(TerminalsCommand, AddRefusesWhatTheRowCheckRefusesAndStoresTheRest) {
    const struct {
        QStringList args;
        const char* reason; // empty: accepted, and the row is stored
        const char* stored = "";
    } cases[] = {
        {{"--name", "   ", "--usb"}, "Terminal Adını Giriniz."},
        {{"--name", "Kapı\nİki", "--usb"}, "Cihaz adında"},
        {{"--name", "Kapı\x1b[2J", "--usb"}, "'Kapı\\x1B[2J'"},
        {{"--name", "Kapı\a", "--usb"}, "Cihaz adında"},
        {{"--name", "Kapı\rX", "--usb"}, "Cihaz adında"},
        {{"--name", QString(51, u'a'), "--usb"}, "en çok 50 karakter"},
        {{"--name", "X", "--tcp", "127.0.0.1:5005:6"}, "adreste port olamaz"},
        {{"--name", "X", "--tcp", "::1:5005"}, "köşeli ayraçla"},
        {{"--name", "X", "--tcp", "[127.0.0.1:5005]:6"}, "IP adresi '127.0.0.1:5005' geçersiz"},
        {{"--name", "X", "--tcp", "999.1.1.1:5"}, "IP adresi '999.1.1.1' geçersiz"},
        {{"--name", "X", "--tcp", "10.0.0.9:+5"}, "TCP portu 1-65535"},
        {{"--name", "X", "--tcp", "10.0.0.9:00005"}, "TCP portu 1-65535"},
        {{"--name", "X", "--com", "1", "--baud", "12345"}, "Baud '12345' geçersiz"},
        {{"--name", "X", "--com", "+1"}, "Com port"},
        {{"--name", "X", "--usb", "--machine", "2147483648"}, "Cihaz No: '2147483648'"},
        {{"--name", "Giriş", "--tcp", "10.0.0.9:5"}, "", "Giriş|1|ethernet|||10.0.0.9|5|0"},
        {{"--name", "Yedek", "--tcp", "[::1]:4370"}, "", "Yedek|1|ethernet|||::1|4370|0"},
        {{"--name", "Seri", "--com", "3", "--baud", "115200", "--machine", "7"},
         "",
         "Seri|7|com|3|115200|||"},
    };
    QStringList expected;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const Outcome r = run(QStringList{"add"} + c.args);
        if (*c.reason) {
            EXPECT_EQ(r.code, 64);
            EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.reason))) << r.err.toStdString();
            EXPECT_EQ(r.err.count(u'\n'), 1) << "one line, control characters escaped";
        } else {
            EXPECT_EQ(r.code, 0) << r.err.toStdString();
            expected << QString::fromUtf8(c.stored);
        }
        EXPECT_EQ(storedRows(), expected.join('\n'));
    }

    // edit runs the same check on the row it makes.
    const Outcome edit = run({"edit", "seri", "--baud", "12345"});
    EXPECT_EQ(edit.code, 64);
    EXPECT_TRUE(edit.err.contains("Baud '12345' geçersiz")) << edit.err.toStdString();
    EXPECT_EQ(storedRows(), expected.join('\n'));
}

// Rows stored before the check still list, each on its one line with its
// control characters escaped, and one warning line names them; nothing is
// rewritten.
TEST_F(TerminalsCommand, ListShowsOldOddRowsEscapedAndWarnsOnce) {
    insertRow({1, "Kapı\n\x1b[31mKırmızı\a", "ethernet", "", "", "127.0.0.1:5005", 6, 0});
    insertRow({2, "Seri", "com", "1", "12345", "", QVariant(), QVariant()});
    insertRow({3, "Sağlam", "usb", "1", "9600", "", 0, 0});
    const QString before = storedRows();

    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "--json" : "text");
        const Outcome r = run(json ? QStringList{"list", "--json"} : QStringList{"list"});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        for (const QChar c : r.out) {
            EXPECT_TRUE(c == u'\n' || c.isPrint()) << "control character " << int(c.unicode());
        }
        if (!json) {
            EXPECT_EQ(r.out.count(u'\n'), 4) << "a heading and one line per row\n"
                                             << r.out.toStdString();
            EXPECT_TRUE(r.out.contains("Kapı\\x0A\\x1B[31mKırmızı\\x07 ")) << r.out.toStdString();
        }
        EXPECT_EQ(r.err.count(u'\n'), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith("Uyarı: 2 terminal kaydında geçersiz değer var"))
            << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("\"Seri\": Baud '12345' geçersiz")) << r.err.toStdString();
        EXPECT_FALSE(r.err.contains("Sağlam"));
    }
    EXPECT_EQ(storedRows(), before);

    // Once mended, the list says nothing more.
    ASSERT_EQ(run({"edit", "seri", "--baud", "9600"}).code, 0);
    ASSERT_EQ(run({"remove", "Kapı\n\x1b[31mKırmızı\a"}).code, 0);
    EXPECT_EQ(run({"list"}).err, "");
}

} // namespace
