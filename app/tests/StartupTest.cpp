#include "app/Startup.h"

#include "app/Tfrmgiris.h"
#include "core/TfrmDM.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestFiles.h"
#include "mysql/FormatSettings.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSqlQuery>
#include <QTableView>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class StartupTest : public ::testing::Test {
  protected:
    QTemporaryDir tmp;
    QString dir() const { return tmp.path() + u'/'; }
    RecordingOperator op;
    TfrmDM dm;

    void makeData() { createDatabaseFromSchema(dir() + "Data.mdb", "Data.sql"); }
    void makeLog() { createDatabaseFromSchema(dir() + "Log.mdb", "Log.sql"); }
    void addTerminal(const QString& name) {
        QSqlQuery q(dm.ADOConnection1());
        q.prepare("insert into Terminal (TerminalNo, Terminal, Tip) values (1, ?, 'ethernet')");
        q.addBindValue(name);
        ASSERT_TRUE(q.exec());
    }
};

TEST_F(StartupTest, BothFilesPresent) {
    makeData();
    makeLog();
    writeFile(dir() + "Settings.ini", "[Options]\nveriDosya2 = 1 \n");
    v270::mysql::formatSettings().ShortDateFormat = "yyyy-mm-dd";
    Tfrmgiris w(dm, dir(), &op);
    // Date texts everywhere follow the Turkish formats from here on.
    EXPECT_EQ(v270::mysql::formatSettings().ShortDateFormat, "dd.mm.yyyy");
    EXPECT_EQ(v270::mysql::formatSettings().LongDateFormat, "dddd, dd mmmm yyyy");
    EXPECT_TRUE(op.messages.empty()) << op.messageTexts().join('|').toStdString();
    EXPECT_TRUE(dm.ADOConnection1().isOpen());
    EXPECT_TRUE(dm.ADOConnection2().isOpen());
    EXPECT_TRUE(w.CheckBox1->isChecked());
    EXPECT_EQ(w.windowTitle(), QStringLiteral("V270 PARMAKİZİ AKTARIM ( Varnel Güvenlik ]"));
}

TEST_F(StartupTest, MissingFilesAreToldInOneBoxWithTheDirectoryAndTheCure) {
    const struct {
        const char* name;
        bool data, log;
        QStringList lines;
    } cases[] = {
        {"no Data", false, true, {"Data dosyası bulunamadı....."}},
        {"no Log", true, false, {"Log dosyası bulunamadı....."}},
        {"neither", false, false, {"Data dosyası bulunamadı.....", "Log dosyası bulunamadı....."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir each;
        const QString d = each.path() + u'/';
        if (c.data) createDatabaseFromSchema(d + "Data.mdb", "Data.sql");
        if (c.log) createDatabaseFromSchema(d + "Log.mdb", "Log.sql");
        writeFile(d + "Settings.ini", "[Options]\nveriDosya2=1\n");
        RecordingOperator seen;
        TfrmDM localDm;
        Tfrmgiris w(localDm, d, &seen);
        ASSERT_EQ(seen.messages.size(), 1u) << seen.messageTexts().join('|').toStdString();
        EXPECT_EQ(seen.messages[0].text, missingDatabasesText(d, c.lines));
        EXPECT_EQ(seen.messages[0].title, QStringLiteral("UYARI"));
        EXPECT_EQ(localDm.qrycihaz.rowCount(), 0);
        EXPECT_FALSE(w.BitBtn5->isEnabled());
        EXPECT_TRUE(w.CheckBox1->isChecked()) << "start-up goes on to the settings";
        EXPECT_EQ(QFile::exists(d + "Data.mdb"), c.data) << "no file may be created";
        EXPECT_EQ(QFile::exists(d + "Log.mdb"), c.log) << "no file may be created";
    }
}

TEST(MissingDatabases, TextNamesTheDirectoryAndACommandToPaste) {
    EXPECT_EQ(missingDatabasesText("/srv/pdks/", {"Log dosyası bulunamadı....."}),
              QStringLiteral("Log dosyası bulunamadı.....\n\nProgram dizini: /srv/pdks\n"
                             "Eksik veritabanlarını boş olarak oluşturmak için:\n"
                             "v270-init-program-dir /srv/pdks"));
    EXPECT_TRUE(missingDatabasesText("/home/ik/PDKS Veri'si/", {"x"})
                    .endsWith("v270-init-program-dir '/home/ik/PDKS Veri'\\''si'"));
}

TEST_F(StartupTest, DataFileThatIsNotSqlite) {
    writeFile(dir() + "Data.mdb",
              QByteArray("\x00\x01\x00\x00Standard DB", 15) + QByteArray(2000, '\0'));
    makeLog();
    Tfrmgiris w(dm, dir(), &op);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].icon, Operator::Icon::Critical);
    EXPECT_TRUE(op.messages[0].text.contains("Data.mdb"));
    EXPECT_TRUE(op.messages[0].text.contains(QStringLiteral("SQLite veritabanı değil")));
    EXPECT_EQ(dm.qrycihaz.rowCount(), 0);
}

TEST_F(StartupTest, SecondFileOptionOnlyForExactOne) {
    makeData();
    makeLog();
    for (const char* value : {"0", "", "01", "evet", "1x"}) {
        writeFile(dir() + "Settings.ini", QByteArray("[Options]\nveriDosya2=") + value + "\n");
        TfrmDM localDm;
        Tfrmgiris w(localDm, dir(), &op);
        EXPECT_FALSE(w.CheckBox1->isChecked()) << value;
    }
}

TEST_F(StartupTest, ListIsInTurkishOrder) {
    makeData();
    makeLog();
    {
        TfrmDM seed;
        Tfrmgiris w(seed, dir(), &op);
        QSqlQuery q(seed.ADOConnection1());
        for (const char* name : {"Şube", "zemin", "Çıkış", "Ilgaz", "İdare", "Ofis", "cadde",
                                 "Özel", "Giriş", "Ğ-blok", "Üst", "Uç", "Sundurma"}) {
            q.prepare("insert into Terminal (TerminalNo, Terminal, Tip) values (1, ?, 'usb')");
            q.addBindValue(QString::fromUtf8(name));
            ASSERT_TRUE(q.exec());
        }
    }
    Tfrmgiris w(dm, dir(), &op);
    QStringList names;
    for (int r = 0; r < dm.qrycihaz.rowCount(); ++r) {
        names << dm.qrycihaz.data(dm.qrycihaz.index(r, 2)).toString();
    }
    EXPECT_EQ(names.join(','),
              QStringLiteral(
                  "cadde,Çıkış,Giriş,Ğ-blok,Ilgaz,İdare,Ofis,Özel,Sundurma,Şube,Uç,Üst,zemin"));
}

} // namespace
