// The fingerprint-data window's name buttons, wired as start-up wires them,
// on the offscreen platform: the fill against the test MariaDB, the sends
// against an in-process terminal, and what is given back after an error.

#include "app/NamesWiring.h"

#include "core/AppError.h"
#include "core/CommandWorker.h"
#include "core/TfrmDM.h"
#include "core/testing/CommandWaiting.h"
#include "core/testing/TestProgramDir.h"
#include "enroll/TfrmEnrol.h"
#include "enroll/tests/EnrollTestSupport.h"
#include "names/DatabaseSettingsDialog.h"
#include "names/tests/PersonnelDatabase.h"
#include "session/TerminalSession.h"
#include "terminal/TFP_CLOCK.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

class NamesWiring : public ::testing::Test {
  protected:
    // The standard error report of a command that failed: its message box's
    // text, read and closed as a person would.
    QString reportedError(const std::function<void()>& act) {
        QString text;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                text = box->text();
                box->accept();
            }
        });
        poll.start(20);
        act();
        EXPECT_TRUE(waitForCommand(worker));
        return text;
    }

    void SetUp() override {
        files.openOn(dm);
        DeviceState state;
        device = std::make_shared<DeviceModel>(state);
        clock.setInProcessDevice(device);
        ASSERT_TRUE(clock.OpenCommPort(1));
        session.settingsFile = dir() + "Settings.ini";
        session.machineNumber = 1;
        // The window's own operator: the real cursor and status line.
        window = std::make_unique<TfrmEnrol>(dm, clock, worker, session);
        wireNameCommands(*window, dm, clock);
    }
    void TearDown() override {
        if (window) window->hide();
    }
    QString dir() const { return files.dir(); }
    void addTemp(const QString& kartno, const QString& isim) {
        execSql(dm.ADOConnection2(), "insert into temp (kartno, isim) values (?, ?)",
                {kartno, isim});
    }
    QString gridName(int row) const {
        return window->qryisim.index(row, window->qryisim.isimColumn()).data().toString();
    }
    void expectGivenBack() const {
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_TRUE(window->SpeedButton1->isEnabled());
        EXPECT_TRUE(window->BitBtn4->isEnabled());
        EXPECT_TRUE(window->BitBtn5->isEnabled());
        EXPECT_FALSE(window->busy());
    }

    TestProgramDir files;
    TfrmDM dm;
    std::shared_ptr<DeviceModel> device;
    CommandWorker worker;
    TFP_CLOCK clock;
    SessionState session;
    std::unique_ptr<TfrmEnrol> window;
};

TEST_F(NamesWiring, FillButtonNamesTheRowsTheSearchShows) {
    SKIP_WITHOUT_TEST_SERVER();
    PersonnelDatabase db("app_fill");
    db.add("00001", QStringLiteral("Ayşe"), QStringLiteral("Yılmaz"));
    db.add("00002", QStringLiteral("Mehmet"), QStringLiteral("Kaya"));
    db.writeSettings(session.settingsFile);
    addTemp("00001", "AYSE");
    addTemp("00002", "MEHMET");
    window->show();
    window->Edit8->setText("ay");
    window->SpeedButton1->click();
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_EQ(window->Label7->text(), "1");
    EXPECT_EQ(gridName(0), QStringLiteral("Ayşe Yılmaz"));
    EXPECT_EQ(window->lblMessage->text(),
              QStringLiteral("İsmi yazılan satır: 1  Personel kaydı bulunamayan satır: 0"));
    window->Edit8->clear();
    EXPECT_EQ(gridName(1), "MEHMET");
    EXPECT_FALSE(dm.MyConnection1.Connected());
    expectGivenBack();

    db.run("drop table " + db.name() + ".personel");
    EXPECT_FALSE(reportedError([&] { window->SpeedButton1->click(); }).isEmpty());
    expectGivenBack();
}

TEST_F(NamesWiring, SendButtonsTakeTheSelectedRowOrAllRows) {
    addTemp("00001", QStringLiteral("Şule"));
    addTemp("00002", QStringLiteral("Ümit"));
    window->show();
    window->ShowNameList();
    window->DBGrid1->setCurrentIndex(window->qryisim.index(1, window->qryisim.kartnoColumn()));
    window->BitBtn4->click();
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_EQ(device->state().names, (std::map<int32_t, QString>{{2, "Umit"}}));
    EXPECT_EQ(window->lblMessage->text(), "SetUserName OK");
    expectGivenBack();

    // A name corrected by hand in the grid is the one sent.
    window->qryisim.setData(window->qryisim.index(0, window->qryisim.isimColumn()),
                            QStringLiteral("Şule Ak"));
    window->BitBtn5->click();
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_EQ(device->state().names, (std::map<int32_t, QString>{{1, "Sule Ak"}, {2, "Umit"}}));
    expectGivenBack();

    addTemp("9x", "Harfli");
    window->ShowNameList();
    EXPECT_FALSE(reportedError([&] { window->BitBtn5->click(); }).isEmpty());
    expectGivenBack();
}

TEST_F(NamesWiring, SelectedNameNeedsNoClickAfterAReload) {
    addTemp("00001", QStringLiteral("Şule"));
    addTemp("00002", QStringLiteral("Ümit"));
    window->show();
    window->Edit8->setText(QStringLiteral("ü")); // the search reloads the list
    window->BitBtn4->click();
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_EQ(device->state().names, (std::map<int32_t, QString>{{2, "Umit"}}));
    window->Edit8->clear();
    EXPECT_EQ(window->DBGrid1->currentIndex().row(), 0);
    window->BitBtn4->click();
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_EQ(device->state().names, (std::map<int32_t, QString>{{1, "Sule"}, {2, "Umit"}}));
}

TEST_F(NamesWiring, SettingsButtonOpensTheDialogAndTheWindowTakesWhatWasSaved) {
    writeProfileString(session.settingsFile, "Login", "Database", "eski");
    window->show();
    EXPECT_EQ(window->Label5->text(), "eski");
    bool opened = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<DatabaseSettingsDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        opened = true;
        dialog->edtServer->setText("pdks-sunucu");
        dialog->edtDatabase->setText("pdks");
        QTest::keyClick(dialog->edtDatabase, Qt::Key_Return);
        ASSERT_TRUE(waitForCommand(worker));
    });
    window->btnDatabaseSettings->click();
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_TRUE(opened);
    EXPECT_EQ(window->Label5->text(), "pdks");
    EXPECT_EQ(window->mySqlSettings().server, "pdks-sunucu");
}

} // namespace
