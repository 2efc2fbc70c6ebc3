// The clock, clearing and bell commands from the main window's buttons and
// the bell-schedule window, on the offscreen platform.

#include "app/Tfrmgiris.h"
#include "bells/Tfrmzil.h"
#include "core/Database.h"
#include "core/DirectoryLock.h"
#include "core/TfrmDM.h"
#include "core/testing/CommandWaiting.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestProgramDir.h"
#include "terminal/DeviceModel.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>

#include <functional>
#include <optional>
#include <gtest/gtest.h>

namespace {

// Notes, with every message, whether the command's button was disabled then.
struct WatchingOperator : RecordingOperator {
    QWidget* watched = nullptr;
    std::vector<bool> enabledAtMessage;
    std::function<void()> atMessage;
    void showMessage(const QString& text, const QString& title, Icon icon) override {
        RecordingOperator::showMessage(text, title, icon);
        enabledAtMessage.push_back(watched && watched->isEnabled());
        if (atMessage) atMessage();
    }
};

class MaintenanceWiring : public ::testing::Test {
  protected:
    void SetUp() override {
        {
            QSqlDatabase db = openDatabaseFile("wiring-setup", dir() + "Data.mdb");
            execSql(db,
                    "insert into Terminal (TerminalNo, Terminal, Tip) values (1, 'Giriş', 'usb')");
            db.close();
        }
        QSqlDatabase::removeDatabase("wiring-setup");
        DeviceState state;
        state.enrollments = {Enrollment{5, 1, 0, 1}, Enrollment{6, 1, 0, 0}};
        state.bells[0] = Bell{1, 8, 30};
        state.ringDuration = 9;
        device = std::make_shared<DeviceModel>(state);
        window = std::make_unique<Tfrmgiris>(dm, dir(), &op);
        zil = std::make_unique<Tfrmzil>(window->FP_CLOCK1, window->worker, window->session, op,
                                        window.get());
        window->setSecondaryWindows(nullptr, nullptr, zil.get());
        window->FP_CLOCK1.setInProcessDevice(device);
        window->show();
        window->BitBtn4->click();
        ASSERT_TRUE(waitForCommand(window->worker));
        ASSERT_TRUE(window->session.connected);
    }
    QString dir() const { return files.dir(); }

    TestProgramDir files;
    WatchingOperator op;
    TfrmDM dm;
    std::shared_ptr<DeviceModel> device;
    std::unique_ptr<Tfrmgiris> window;
    std::unique_ptr<Tfrmzil> zil;
};

TEST_F(MaintenanceWiring, ButtonsRunTheirCommandsDisabledWhileTheyRun) {
    const struct {
        QPushButton* button;
        QString message;
    } cases[] = {
        {window->BitBtn6, "cihaz tarih saati ayarlandı.."},
        {window->BitBtn7, "Tarih = "},
        {window->BitBtn8, "Tüm Yöneticiler İptal Edildi...."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.button->objectName().toStdString());
        op = WatchingOperator();
        op.watched = c.button;
        c.button->click();
        ASSERT_TRUE(waitForCommand(window->worker));
        ASSERT_EQ(op.messages.size(), 1u);
        EXPECT_TRUE(op.messages[0].text.startsWith(c.message)) << op.messages[0].text.toStdString();
        EXPECT_EQ(op.enabledAtMessage, std::vector<bool>{false});
        EXPECT_TRUE(c.button->isEnabled());
        EXPECT_EQ(op.busyCount, 1);
        EXPECT_EQ(op.busyDepth, 0);
    }
    EXPECT_EQ(device->state().enrollments.size(), 1u);
    {
        // A read left open would keep the command's own connection from writing.
        QSqlQuery listed = execSql(dm.ADOConnection1(), "select count(*) from ENROLLINFO");
        ASSERT_TRUE(listed.next());
        EXPECT_EQ(listed.value(0).toInt(), 2);
    }

    // Without the terminal: no word, and the buttons come back.
    device->faults().failOps["EnableDevice"] = ERR_NON_CARRYOUT;
    op = WatchingOperator();
    for (QPushButton* b : {window->BitBtn6, window->BitBtn7, window->BitBtn8}) {
        b->click();
        ASSERT_TRUE(waitForCommand(window->worker));
        EXPECT_TRUE(b->isEnabled());
    }
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.busyDepth, 0);
}

// Another program holds the directory: "Admin Sil" waits for it on the
// terminal thread, saying so, while the window keeps turning; "İptal" ends
// the wait, and nothing is changed or reported as busy.
TEST_F(MaintenanceWiring, AdminClearWaitsForTheDirectoryOffTheWindowAndCancelEndsIt) {
    std::optional<DirectoryLock> other = DirectoryLock::acquire(dir(), "Verileri Aktar", 0);
    ASSERT_TRUE(other);
    int turns = 0;
    bool saidWaiting = false;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        ++turns;
        saidWaiting = saidWaiting || op.statuses.join('|').contains("bekleniyor");
        if (turns == 8) window->cancelButton->click();
    });
    ticker.start(50);
    window->BitBtn8->click();
    EXPECT_TRUE(window->worker.running()) << "the click returns while the command waits";
    ASSERT_TRUE(waitForCommand(window->worker));
    EXPECT_GE(turns, 8) << "the window's loop turned during the wait";
    EXPECT_TRUE(saidWaiting);
    EXPECT_TRUE(op.messages.empty()) << op.messageTexts().join('|').toStdString();
    EXPECT_EQ(device->state().enrollments.size(), 2u);
    EXPECT_TRUE(window->BitBtn8->isEnabled());
}

TEST_F(MaintenanceWiring, PopupItemAsksThenClearsTheTerminal) {
    op.answers = {false};
    window->TerminaldeTanmlTmParmakizleriniSil1->trigger();
    ASSERT_TRUE(waitForCommand(window->worker));
    EXPECT_EQ(device->state().enrollments.size(), 2u);
    window->TerminaldeTanmlTmParmakizleriniSil1->trigger();
    ASSERT_TRUE(waitForCommand(window->worker));
    EXPECT_EQ(op.questions.size(), 2);
    EXPECT_TRUE(device->state().enrollments.empty());
    EXPECT_EQ(op.messageTexts(), QStringList{"tamamlandı"});
}

TEST_F(MaintenanceWiring, BellWindowCarriesItsControls) {
    EXPECT_EQ(zil->windowTitle(), "Zil Saatleri");
    const std::pair<const char*, const char*> buttons[] = {
        {"Button1", "<--- Terminalden Zil Saatlerini &Oku"},
        {"Button2", "--->Terminale Zİl Saatlerini &Gönder"},
        {"BitBtn1", "&Kapat"}};
    for (const auto& [name, caption] : buttons) {
        auto* b = zil->findChild<QPushButton*>(name);
        ASSERT_NE(b, nullptr) << name;
        EXPECT_EQ(b->text(), QString::fromUtf8(caption));
    }
    for (int i = 0; i < kBellCount; ++i) {
        EXPECT_NE(zil->findChild<QCheckBox*>(QString("_chkValid_%1").arg(i)), nullptr) << i;
        EXPECT_NE(zil->findChild<QLineEdit*>(QString("_txtHour_%1").arg(i)), nullptr) << i;
        EXPECT_NE(zil->findChild<QLineEdit*>(QString("_txtMinute_%1").arg(i)), nullptr) << i;
    }
    EXPECT_NE(zil->findChild<QLineEdit*>("txtBellCount"), nullptr);
    QStringList captions;
    for (QLabel* l : zil->findChildren<QLabel*>())
        captions << l->text();
    for (const char* caption :
         {"ZİL", "SEÇ", "Sa:Dk", "Zil 1:", "Zil5:", "Zil 8:", ":", "Zil Çalma Süresi"})
        EXPECT_TRUE(captions.contains(QString::fromUtf8(caption))) << caption;
}

// "Zil Saatleri": read, change a bell, send, close; the main window comes
// back, and the next showing starts from a clear table.
TEST_F(MaintenanceWiring, BellWindowReadsEditsAndSends) {
    bool mainHidden = false;
    QStringList shownWithMessage; // what the operator sees behind each message
    op.atMessage = [&] { shownWithMessage << zil->txtHour[0]->text() + zil->txtHour[1]->text(); };
    std::function<void()> whileShown = [&] {
        mainHidden = !window->isVisible();
        zil->Button1->click();
        ASSERT_TRUE(waitForCommand(window->worker));
        EXPECT_EQ(zil->txtHour[0]->text(), "08");
        EXPECT_EQ(zil->txtMinute[0]->text(), "30");
        EXPECT_TRUE(zil->chkValid[0]->isChecked());
        EXPECT_EQ(zil->txtBellCount->text(), "9");
        zil->txtHour[1]->setText("7");
        zil->chkValid[1]->setChecked(true);
        zil->Button2->click();
        ASSERT_TRUE(waitForCommand(window->worker));
        EXPECT_EQ(zil->txtHour[1]->text(), "07");
        zil->BitBtn1->click();
        ASSERT_TRUE(waitForCommand(window->worker));
    };
    QTimer::singleShot(0, [&] { whileShown(); });
    window->BitBtn9->click();
    ASSERT_TRUE(waitForCommand(window->worker));
    EXPECT_TRUE(mainHidden);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(device->state().bells[1], (Bell{1, 7, 0}));
    EXPECT_EQ(op.messageTexts(), (QStringList{"Terminalden Zil Saatleri Alındı..", "Gönderildi."}));

    whileShown = [&] {
        EXPECT_EQ(zil->txtHour[0]->text(), "00");
        EXPECT_FALSE(zil->chkValid[0]->isChecked());
        EXPECT_EQ(zil->txtBellCount->text(), "9");
        zil->txtMinute[2]->setText("75");
        QTest::keyClick(zil->txtMinute[2], Qt::Key_Return); // sends, never reads
        ASSERT_TRUE(waitForCommand(window->worker));
        zil->BitBtn1->click();
        ASSERT_TRUE(waitForCommand(window->worker));
    };
    QTimer::singleShot(0, [&] { whileShown(); });
    window->BitBtn9->click();
    ASSERT_TRUE(waitForCommand(window->worker));
    EXPECT_EQ(op.messageTexts().size(), 3);
    EXPECT_EQ(op.messageTexts().last(), "Invalid Value.");
    EXPECT_EQ(device->state().bells[0], (Bell{1, 8, 30}));
}

TEST_F(MaintenanceWiring, BellWindowAsksBeforeEscDropsUnsentEdits) {
    zil->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(zil.get()));
    // Nothing typed: Esc closes without a question.
    QTest::keyClick(zil->txtHour[0], Qt::Key_Escape);
    EXPECT_FALSE(zil->isVisible());
    EXPECT_TRUE(op.questions.isEmpty());

    zil->show();
    zil->txtHour[2]->setFocus();
    zil->txtHour[2]->selectAll();
    QTest::keyClicks(zil->txtHour[2], "9");
    op.answers = {false};
    QTest::keyClick(zil->txtHour[2], Qt::Key_Escape);
    EXPECT_TRUE(zil->isVisible()) << "No keeps the window and the edit";
    ASSERT_EQ(op.questions.size(), 1);
    EXPECT_TRUE(
        op.questions[0].endsWith(QStringLiteral("Gönderilmemiş değişiklikler var. Çıkılsın mı?")));
    EXPECT_EQ(zil->txtHour[2]->text(), "9");

    // Sent: nothing is unsent any more.
    op.answers = {true}; // the send's own question
    QTest::keyClick(zil->txtHour[2], Qt::Key_Return);
    ASSERT_TRUE(waitForCommand(window->worker));
    EXPECT_EQ(device->state().bells[2].hour, 9);
    QTest::keyClick(zil->txtHour[2], Qt::Key_Escape);
    EXPECT_FALSE(zil->isVisible());
    EXPECT_EQ(op.questions.size(), 2); // the first question and the send's

    // A ticked bell counts too, and Yes closes.
    zil->show();
    zil->chkValid[3]->click();
    ASSERT_TRUE(waitForCommand(window->worker));
    op.answers = {true};
    QTest::keyClick(zil->txtHour[0], Qt::Key_Escape);
    EXPECT_FALSE(zil->isVisible());
    EXPECT_EQ(op.questions.size(), 3);
}

} // namespace
