// The fingerprint-data window on the offscreen platform: names, captions,
// the wiring of its buttons to the commands, and what is disabled meanwhile.

#include "EnrollTestSupport.h"
#include "core/CommandWorker.h"
#include "core/DirectoryLock.h"
#include "core/IniFile.h"
#include "core/TfrmDM.h"
#include "core/testing/CommandWaiting.h"
#include "core/testing/TestProgramDir.h"
#include "enroll/EnrollStore.h"
#include "enroll/TfrmEnrol.h"
#include "session/TerminalSession.h"
#include "terminal/TFP_CLOCK.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <map>
#include <optional>
#include <gtest/gtest.h>

namespace {

class EnrolWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        files.openOn(dm);
        DeviceState s;
        s.machine = 3;
        s.enrollments = {fingerOf(42, 0, 3), passwordOf(42, 11, -1, 3), fingerOf(7, 1, 3)};
        s.names = {{42, QStringLiteral("AYSE")}, {7, QStringLiteral("Ilgaz")}};
        device = std::make_shared<DeviceModel>(s);
        clock.setInProcessDevice(device);
        ASSERT_TRUE(clock.OpenCommPort(3));
        session.settingsFile = dir() + "Settings.ini";
        session.machineNumber = 3;
        window = std::make_unique<TfrmEnrol>(dm, clock, worker, session, &op);
    }
    QString dir() const { return files.dir(); }

    TestProgramDir files;
    TfrmDM dm;
    std::shared_ptr<DeviceModel> device;
    CommandWorker worker;
    TFP_CLOCK clock;
    SessionState session;
    HookedOperator op;
    std::unique_ptr<TfrmEnrol> window;
};

TEST_F(EnrolWindow, ControlsCarryTheirNamesAndCaptions) {
    EXPECT_EQ(window->size(), QSize(970, 657));
    EXPECT_EQ(window->windowTitle(),
              QStringLiteral("Parmakizi Datası Kopyalama / Yükleme / Personel İsimlendirme"));
    const std::pair<const char*, const char*> buttons[] = {
        {"BitBtn1", "Terminalden Parmakizi Datası &Al"},
        {"BitBtn2", "Terminale Parmakizi Datası &Yükle"},
        {"BitBtn3", "&Kapat"},
        {"BitBtn4", "&Seçili Personel Adını Terminale Yükle"},
        {"BitBtn5", "&Tüm Personel Adlarını Terminale Yükle"},
        {"cmdGetEnrollData", "Parmakizi &Al"},
        {"cmdSetEnrollData", "Parmakizi &Yükle"},
        {"cmdDeleteEnrollData", "Parmakizi &Sil"},
        {"btnDatabaseSettings", "&Veritabanı Ayarları"},
    };
    for (const auto& [name, caption] : buttons) {
        auto* b = window->findChild<QPushButton*>(name);
        ASSERT_NE(b, nullptr) << name;
        EXPECT_EQ(b->text(), QString::fromUtf8(caption)) << name;
    }
    EXPECT_EQ(window->SpeedButton1->text(),
              QStringLiteral("&PDKS Programından İsimleri Al (mysql)"));
    EXPECT_EQ(window->CheckBox2->text(), QStringLiteral("Cihazdaki tüm prmizlerini sil"));
    EXPECT_FALSE(window->CheckBox2->isChecked());
    EXPECT_EQ(window->GroupBox1->title(),
              QStringLiteral("seçili ise cihazdaki tüm prm lari siler ve datadan yükler"));
    EXPECT_EQ(window->Label9->text(), QStringLiteral("Terminal max. 12 karakterlik isim alır"));
    EXPECT_EQ(window->PageControl1->tabText(0), QStringLiteral("tüm data"));
    EXPECT_EQ(window->PageControl1->tabText(1), QStringLiteral("tek data(parmak)"));
    EXPECT_EQ(window->PageControl1->currentWidget(), window->TabSheet1);
    EXPECT_EQ(window->txtEnrollNumber->text(), "1");
    EXPECT_EQ(window->cmbEMachineNumber->currentText(), "1");
    EXPECT_EQ(window->cmbEMachineNumber->count(), 9);
    QStringList backups;
    for (int i = 0; i < window->cmbBackupNumber->count(); ++i)
        backups << window->cmbBackupNumber->itemText(i);
    EXPECT_EQ(backups, (QStringList{"0", "1", "2", "10", "11", "12", "13", "14", "15", "16"}));
    EXPECT_TRUE(window->cmbBackupNumber->isEditable());
    EXPECT_EQ(window->cmbPrivilege->currentText(), "0");
    EXPECT_EQ(window->Label30->text(),
              QStringLiteral("Not: Sadece parmakizi bilgisini alır,şifre olanlaı almaz"));
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (w->parentWidget() == window.get()) {
            EXPECT_TRUE(QRect(0, 0, 970, 657).contains(w->geometry()))
                << qPrintable(w->objectName());
        }
    }
}

TEST_F(EnrolWindow, ShowReadsTheSettingsAndTheMachineNumber) {
    writeProfileString(session.settingsFile, "Login", "Database", "pdks");
    writeProfileString(session.settingsFile, "MySql", "User", "ik");
    window->lblMessage->setText("eski");
    window->show();
    EXPECT_EQ(window->Label5->text(), "pdks");
    EXPECT_EQ(window->mySqlSettings().port, "3306");
    EXPECT_EQ(window->mySqlSettings().user, "ik");
    EXPECT_EQ(window->machineNumber(), 3);
    EXPECT_EQ(window->lblMessage->text(), "");
    window->hide();
    QFile::remove(session.settingsFile);
    window->show(); // read afresh at every show
    EXPECT_EQ(window->Label5->text(), "");
    window->hide();
}

TEST_F(EnrolWindow, DownloadFillsTheMemoAndTheNamesWhileTheRestWaits) {
    window->show();
    bool othersDisabled = true;
    op.hook = [&](int) {
        for (QWidget* w :
             {(QWidget*)window->BitBtn2, (QWidget*)window->BitBtn4, (QWidget*)window->BitBtn5,
              (QWidget*)window->SpeedButton1, (QWidget*)window->DBGrid1, (QWidget*)window->Edit8,
              (QWidget*)window->BitBtn3, (QWidget*)window->cmdSetEnrollData})
            othersDisabled = othersDisabled && !w->isEnabled();
    };
    window->BitBtn1->click();
    ASSERT_TRUE(waitForCommand(worker));
    op.hook = nullptr;
    EXPECT_TRUE(othersDisabled);
    EXPECT_TRUE(window->BitBtn2->isEnabled());
    EXPECT_FALSE(window->busy());
    EXPECT_EQ(window->Memo1->toPlainText(), "00042 0\n00042 11\n00007 1");
    EXPECT_EQ(window->Label7->text(), "3");
    EXPECT_EQ(window->Label2->text(), "   7");
    EXPECT_EQ(window->txtName->text(), "Ilgaz");
    EXPECT_TRUE(window->DBGrid1->isColumnHidden(0));

    // The search narrows the list as it is typed; "ı" finds Ilgaz.
    window->Edit8->setText(QStringLiteral("ı"));
    EXPECT_EQ(window->Label7->text(), "1");
    EXPECT_EQ(window->qryisim.index(0, window->qryisim.kartnoColumn()).data().toString(), "00007");
    window->Edit8->clear();
    EXPECT_EQ(window->Label7->text(), "3");

    // The upload, check box on, to a second terminal.
    DeviceState other;
    other.machine = 3;
    other.enrollments = {fingerOf(99, 0, 3)};
    auto target = std::make_shared<DeviceModel>(other);
    clock.setInProcessDevice(target);
    ASSERT_TRUE(clock.OpenCommPort(3));
    window->CheckBox2->setChecked(true);
    window->BitBtn2->click();
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_EQ(target->state().enrollments, device->state().enrollments);
    EXPECT_EQ(window->Label2->text(), "3");
    window->hide();
}

TEST_F(EnrolWindow, SingleTabShowsTheCardBothWays) {
    window->show();
    window->cmbBackupNumber->setCurrentText("11");
    window->txtEnrollNumber->setText("42");
    window->cmdGetEnrollData->click();
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_EQ(window->lblEnrollData->text(), "Enrolled Data");
    EXPECT_EQ(window->txtCardNumber->text(), "-1");
    ASSERT_EQ(window->lstEnrollData->count(), 2);
    EXPECT_EQ(window->lstEnrollData->item(0)->text(), "4294967295");
    window->txtEnrollNumber->clear();
    window->cmdSetEnrollDataClick();
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_EQ(window->txtEnrollNumber->text(), "0");
    EXPECT_EQ(op.statuses.last(), "SetEnrollData OK");
    window->hide();
}

TEST_F(EnrolWindow, NameButtonsRunTheirHandlersWhenGiven) {
    window->SpeedButton1->click(); // no handler yet: nothing happens
    ASSERT_TRUE(waitForCommand(worker));
    QStringList ran;
    TfrmEnrol::NameHandlers handlers;
    handlers.fillNames = [&](TfrmEnrol& w) {
        ran << "fill";
        EXPECT_TRUE(w.busy());
    };
    handlers.sendSelectedName = [&](TfrmEnrol&) { ran << "selected"; };
    handlers.sendAllNames = [&](TfrmEnrol&) { ran << "all"; };
    window->setNameHandlers(handlers);
    window->SpeedButton1->click();
    ASSERT_TRUE(waitForCommand(worker));
    window->BitBtn4->click();
    ASSERT_TRUE(waitForCommand(worker));
    window->BitBtn5->click();
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_EQ(ran, (QStringList{"fill", "selected", "all"}));
    EXPECT_TRUE(window->SpeedButton1->isEnabled());
}

TEST_F(EnrolWindow, StatusLineTellsWhetherTheStoreHoldsAWholeDownload) {
    session.connectedName = QStringLiteral("Giriş");
    window->show();
    EXPECT_TRUE(op.statuses.isEmpty()); // an empty store never downloaded: nothing to say

    // Clearing the terminal for a store never downloaded is refused; nothing is sent.
    const DeviceState before = device->state();
    window->CheckBox2->setChecked(true);
    window->BitBtn2->click();
    ASSERT_TRUE(waitForCommand(worker));
    ASSERT_FALSE(op.messages.empty());
    EXPECT_TRUE(op.messages.back().text.startsWith("Parmakizi deposu boş"))
        << op.messages.back().text.toStdString();
    EXPECT_EQ(device->state(), before);

    window->BitBtn1->click();
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_EQ(op.statuses.last(), "GetEnrollData OK");
    window->hide();
    window->show();
    const QString whole = QStringLiteral("Parmakizi deposu: \"Giriş\" terminalinden (Cihaz No 3) ");
    EXPECT_TRUE(op.statuses.last().startsWith(whole)) << op.statuses.last().toStdString();
    EXPECT_TRUE(op.statuses.last().endsWith(" alınan 3 kayıt, tam."));

    // A download cut after its first enrollment says so, and that the whole
    // store stays; the grid shows it still.
    device->faults().failOps["GetEnrollData"] = ERR_WRITE_FAIL;
    window->BitBtn1->click();
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_TRUE(op.statuses.last().startsWith("Bağlantı kesildi (ERR_WRITE_FAIL)"))
        << op.statuses.last().toStdString();
    EXPECT_TRUE(op.statuses.last().contains("önceki parmakizi deposu olduğu gibi duruyor"));
    EXPECT_TRUE(op.statuses.last().contains(whole)) << op.statuses.last().toStdString();
    EXPECT_EQ(window->Label7->text(), "3");
    EXPECT_EQ(window->qryisim.index(0, window->qryisim.kartnoColumn()).data().toString(), "00007");
    window->hide();
}

TEST_F(EnrolWindow, EnterReadsOnTheSingleTabOnlyAndAltPressesTheMarkedButton) {
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QList<QPushButton*> buttons = window->findChildren<QPushButton*>();
    std::map<QPushButton*, int> clicks;
    for (QPushButton* b : buttons)
        QObject::connect(b, &QPushButton::clicked, [&clicks, b] { ++clicks[b]; });

    // The whole-data tab: Enter in the search box starts nothing.
    window->Edit8->setFocus();
    QTest::keyClick(window->Edit8, Qt::Key_Return);
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_TRUE(clicks.empty());
    EXPECT_TRUE(window->isVisible());

    // The single tab: Enter reads the enrollment typed.
    window->PageControl1->setCurrentWidget(window->TabSheet2);
    window->txtEnrollNumber->setFocus();
    window->txtEnrollNumber->setText("42");
    QTest::keyClick(window->txtEnrollNumber, Qt::Key_Return);
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_EQ(clicks, (std::map<QPushButton*, int>{{window->cmdGetEnrollData, 1}}));
    EXPECT_EQ(window->lstEnrollData->count() > 0, true);

    // Back on the first tab, Enter is nothing again; Alt+Y is its upload
    // button, not the single tab's.
    window->PageControl1->setCurrentWidget(window->TabSheet1);
    clicks.clear();
    window->Edit8->setFocus();
    QTest::keyClick(window->Edit8, Qt::Key_Return);
    ASSERT_TRUE(waitForCommand(worker));
    EXPECT_TRUE(clicks.empty());
    op.answers = {false}; // the upload asks first; say No
    QTest::keyClick(window->Edit8, Qt::Key_Y, Qt::AltModifier);
    QTest::qWait(300); // a shortcut presses the button with a short animation
    EXPECT_EQ(clicks, (std::map<QPushButton*, int>{{window->BitBtn2, 1}}));
    window->hide();
}

// Another program holds the directory: the copy commands wait for it on the
// terminal thread, saying so, while the window keeps turning; "İptal" ends
// the wait, and neither the store nor the terminal changes.
TEST_F(EnrolWindow, CopyCommandsWaitForTheDirectoryOffTheWindowAndCancelEndsIt) {
    std::optional<DirectoryLock> other = DirectoryLock::acquire(dir(), "Verileri Aktar", 0);
    ASSERT_TRUE(other);
    const long long stored = EnrollStore(dm).enrollmentCount();
    for (QPushButton* button : {window->BitBtn1, window->BitBtn2}) {
        SCOPED_TRACE(button->objectName().toStdString());
        op.statuses.clear();
        int turns = 0;
        bool saidWaiting = false;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            ++turns;
            saidWaiting = saidWaiting || op.statuses.join('|').contains("bekleniyor");
            if (turns == 8) window->cancelButton->click();
        });
        ticker.start(50);
        button->click();
        EXPECT_TRUE(worker.running()) << "the click returns while the command waits";
        ASSERT_TRUE(waitForCommand(worker));
        EXPECT_GE(turns, 8) << "the window's loop turned during the wait";
        EXPECT_TRUE(saidWaiting) << op.statuses.join('|').toStdString();
        EXPECT_EQ(EnrollStore(dm).enrollmentCount(), stored);
        EXPECT_EQ(device->state().enrollments.size(), 3u);
        EXPECT_TRUE(button->isEnabled());
    }
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
