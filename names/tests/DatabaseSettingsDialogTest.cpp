// The database settings dialog on the offscreen platform: what it shows, the
// keyboard, and that Dene and Kaydet reach the settings file.

#include "names/DatabaseSettingsDialog.h"

#include "core/IniFile.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestFiles.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

class DatabaseSettings : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(file(), "[Login]\r\nServer=127.0.0.1\r\nDatabase=pdks\r\n"
                          "[MySql]\r\nUser=ik\r\nPassword=gizli\r\nPort=1\r\n");
        dialog = std::make_unique<DatabaseSettingsDialog>(file(), &op);
    }
    QString file() const { return tmp.filePath("Settings.ini"); }

    QTemporaryDir tmp;
    RecordingOperator op;
    std::unique_ptr<DatabaseSettingsDialog> dialog;
};

TEST_F(DatabaseSettings, ShowsTheFileWithThePasswordHidden) {
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Veritabanı Ayarları"));
    EXPECT_EQ(dialog->edtServer->text(), "127.0.0.1");
    EXPECT_EQ(dialog->edtDatabase->text(), "pdks");
    EXPECT_EQ(dialog->edtUser->text(), "ik");
    EXPECT_EQ(dialog->edtPassword->text(), "gizli");
    EXPECT_EQ(dialog->edtPassword->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dialog->edtPort->text(), "1");
    EXPECT_FALSE(dialog->chkSsl->isChecked());
    EXPECT_EQ(dialog->btnTry->text(), QStringLiteral("&Dene"));
    EXPECT_EQ(dialog->btnSave->text(), QStringLiteral("&Kaydet"));
}

TEST_F(DatabaseSettings, EnterSavesAndClosesOnlyWhenTheSettingsHold) {
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    dialog->edtPort->setFocus();
    dialog->edtPort->setText("abc");
    QTest::keyClick(dialog->edtPort, Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible()) << "a wrong port keeps the dialog open";
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_TRUE(op.messages[0].text.startsWith("Port"));
    EXPECT_EQ(readProfileString(file(), "MySql", "Port", {}), "1");

    dialog->edtPort->setText("3307");
    dialog->edtDatabase->setText("pdks2");
    QTest::keyClick(dialog->edtPort, Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(readProfileString(file(), "MySql", "Port", {}), "3307");
    EXPECT_EQ(readProfileString(file(), "Login", "Database", {}), "pdks2");
}

TEST_F(DatabaseSettings, TryTellsWhatFailedAndEscWritesNothing) {
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    // Nothing listens on port 1: refused at once, no server needed.
    dialog->btnTry->click();
    EXPECT_TRUE(dialog->trying());
    EXPECT_FALSE(dialog->btnSave->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->trying(); }, 20000));
    EXPECT_TRUE(
        dialog->lblResult->text().startsWith(QStringLiteral("Veritabanı sunucusuna bağlanılamadı")))
        << dialog->lblResult->text().toStdString();
    // The system's own words stand apart, under the Turkish line.
    EXPECT_FALSE(dialog->lblResult->text().contains("refused"));
    EXPECT_TRUE(dialog->txtDetails->isVisibleTo(dialog.get()));
    EXPECT_FALSE(dialog->txtDetails->toPlainText().isEmpty());
    EXPECT_EQ(op.busyDepth, 0);
    const QByteArray before = readFile(file());
    dialog->edtUser->setText("baska");
    QTest::keyClick(dialog->edtUser, Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(readFile(file()), before);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
