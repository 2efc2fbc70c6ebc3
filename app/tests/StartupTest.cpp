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

TEST_F(StartupTest, MissingDataFileReportsAndGoesOn) {
    makeLog();
    writeFile(dir() + "Settings.ini", "[Options]\nveriDosya2=1\n");
    Tfrmgiris w(dm, dir(), &op);
    ASSERT_EQ(op.messages.size(), 2u);
    EXPECT_EQ(op.messages[0].text, QStringLiteral("Data dosyası bulunamadı....."));
    EXPECT_EQ(op.messages[0].title, QStringLiteral("UYARI"));
    EXPECT_EQ(op.messages[0].icon, Operator::Icon::Information);
    // Then the error report of the failed terminal list; the settings are
    // not read.
    EXPECT_EQ(op.messages[1].icon, Operator::Icon::Critical);
    EXPECT_FALSE(w.CheckBox1->isChecked());
    EXPECT_EQ(dm.qrycihaz.rowCount(), 0);
    EXPECT_FALSE(w.BitBtn5->isEnabled());
    EXPECT_FALSE(QFile::exists(dir() + "Data.mdb")) << "no file may be created";
}

TEST_F(StartupTest, MissingLogFileOnly) {
    makeData();
    writeFile(dir() + "Settings.ini", "[options]\nVERIDOSYA2=1\n");
    Tfrmgiris w(dm, dir(), &op);
    EXPECT_EQ(op.messageTexts(), QStringList{QStringLiteral("Log dosyası bulunamadı.....")});
    EXPECT_TRUE(w.CheckBox1->isChecked());
    EXPECT_FALSE(QFile::exists(dir() + "Log.mdb"));
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
