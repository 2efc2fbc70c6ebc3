#include "app/Tfrmgiris.h"
#include "core/TfrmDM.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestFiles.h"
#include "core/testing/TestProgramDir.h"

#include "core/AppError.h"
#include "registry/Tfrmyeni.h"
#include "terminal/DeviceModel.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QUuid>
#include <gtest/gtest.h>
#include <utility>

namespace {

// Rows put into Data.mdb before the window opens it.
void insertTerminals(const QString& path, const QStringList& rows) {
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name);
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        for (const QString& values : rows) {
            QSqlQuery q(db);
            ASSERT_TRUE(q.exec("insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, "
                               "Ip, NetPort, Sifre) values (" +
                               values + ")"));
        }
    }
    QSqlDatabase::removeDatabase(name);
}

// Answers the next modal dialog by closing it, so exec() returns.
void closeNextModal() {
    QTimer::singleShot(0, [] {
        if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            modal->reject();
        } else {
            closeNextModal();
        }
    });
}

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        insertTerminals(dir() + "Data.mdb", {"1, 'Ana Giriş', 'usb', '1', '9600', '', 0, 0",
                                             "7, 'Yemekhane', 'usb', '1', '9600', '', 0, 0",
                                             "3, 'Kapalı', 'ethernet', '', '', '127.0.0.1', 1, 0"});
        window = std::make_unique<Tfrmgiris>(dm, dir(), &op);
        yeni = std::make_unique<Tfrmyeni>(dm, op, window.get());
        window->setSecondaryWindows(yeni.get(), nullptr, nullptr);
        DeviceState state;
        state.machine = 1;
        window->FP_CLOCK1.setInProcessDevice(std::make_shared<DeviceModel>(state));
    }
    QString dir() const { return files.dir(); }
    TestProgramDir files;
    RecordingOperator op;
    TfrmDM dm;
    std::unique_ptr<Tfrmgiris> window;
    std::unique_ptr<Tfrmyeni> yeni;

    QList<QPushButton*> terminalCommands() const {
        return {window->BitBtn5, window->BitBtn6, window->BitBtn7,
                window->BitBtn8, window->BitBtn9, window->BitBtn10};
    }
};

TEST_F(MainWindowTest, ControlsCarryTheirNamesAndCaptions) {
    const std::pair<const char*, const char*> buttons[] = {
        {"BitBtn1", "Ekle"},
        {"BitBtn2", "Değiştir"},
        {"BitBtn3", "Sil"},
        {"BitBtn4", "BAGLAN"},
        {"BitBtn5", "Verileri Aktar"},
        {"BitBtn6", "Tarih-Saat Ayarla"},
        {"BitBtn7", "Tarih-Saat Oku"},
        {"BitBtn8", "Admin Sil"},
        {"BitBtn9", "Zil Saatleri"},
        {"BitBtn10", "Parmakizi"},
        {"BitBtn11", "Kapat"},
        {"Button1", "sdkart->text (veri.txt)"},
        {"Button2", "kaydet"},
    };
    for (const auto& [name, caption] : buttons) {
        auto* b = window->findChild<QPushButton*>(name);
        ASSERT_NE(b, nullptr) << name;
        EXPECT_EQ(b->text(), QString::fromUtf8(caption)) << name;
        EXPECT_TRUE(b->geometry().right() < 820 && b->geometry().bottom() < 400) << name;
    }
    EXPECT_EQ(window->size(), QSize(820, 400));
    EXPECT_EQ(window->CheckBox1->text(), QStringLiteral("2. veri dosyası kaydet"));
    EXPECT_FALSE(window->Label1->isVisibleTo(window.get()));
    EXPECT_FALSE(window->LabelTotal->isVisibleTo(window.get()));
    EXPECT_GE(window->Edit1->x(), 820) << "scratch edit stays off screen";
    QStringList items;
    for (QAction* a : window->PopupMenu1->actions())
        items << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(items, (QStringList{QStringLiteral("Terminalde Tanımlı Tüm Parmakizlerini Sil"), "-",
                                  QStringLiteral("Tüm Verileri Al (silmez)"),
                                  QStringLiteral("Tüm Verileri Al(aldıktan sonra cihazdan sil)")}));
}

TEST_F(MainWindowTest, OnlyTheSixTerminalCommandsWaitForAConnection) {
    const QList<QPushButton*> terminal = {window->BitBtn5, window->BitBtn6, window->BitBtn7,
                                          window->BitBtn8, window->BitBtn9, window->BitBtn10};
    for (QPushButton* b : window->findChildren<QPushButton*>()) {
        EXPECT_EQ(b->isEnabled(), !terminal.contains(b)) << b->objectName().toStdString();
    }
    for (QAction* a : window->PopupMenu1->actions())
        EXPECT_TRUE(a->isEnabled());
    window->setTerminalCommandsEnabled(true);
    for (QPushButton* b : terminal)
        EXPECT_TRUE(b->isEnabled());
}

TEST_F(MainWindowTest, KaydetCreatesTheSettingsFile) {
    window->CheckBox1->setChecked(true);
    window->Button2->click();
    EXPECT_EQ(readFile(dir() + "Settings.ini"), QByteArray("[Options]\r\nveriDosya2=1\r\n"));
    window->CheckBox1->setChecked(false);
    window->Button2->click();
    EXPECT_EQ(readFile(dir() + "Settings.ini"), QByteArray("[Options]\r\nveriDosya2=0\r\n"));
}

} // namespace

namespace {

TEST_F(MainWindowTest, ConnectAndDisconnectFollowTheCaption) {
    ASSERT_EQ(window->selectedRow(), 0);
    window->BitBtn4->click();
    EXPECT_EQ(window->BitBtn4->text(), QStringLiteral("BAGLANTI_KES"));
    for (QPushButton* b : terminalCommands())
        EXPECT_TRUE(b->isEnabled());
    EXPECT_EQ(window->session.connectedName, QStringLiteral("Ana Giriş"));

    // Another row is selected; the session keeps the first terminal.
    window->selectRow(2);
    EXPECT_EQ(window->session.machineNumber, 1);

    window->BitBtn4->click();
    EXPECT_EQ(window->BitBtn4->text(), QStringLiteral("BAGLAN"));
    for (QPushButton* b : terminalCommands())
        EXPECT_FALSE(b->isEnabled());
    EXPECT_FALSE(window->FP_CLOCK1.isConnected());
}

TEST_F(MainWindowTest, FailedConnectLeavesCommandsDisabled) {
    window->FP_CLOCK1.setInProcessDevice(nullptr);
    window->FP_CLOCK1.setTimeouts(1000, 1000);
    window->selectRow(1); // "Kapalı", port 1 on loopback: refused at once
    window->BitBtn4->click();
    EXPECT_EQ(window->BitBtn4->text(), QStringLiteral("BAGLAN"));
    EXPECT_EQ(op.messageTexts(), QStringList{QStringLiteral("Hata..Bağlantı Kurulamadı....")});
    EXPECT_EQ(window->session.machineNumber, 3);
    for (QPushButton* b : terminalCommands())
        EXPECT_FALSE(b->isEnabled());
}

TEST_F(MainWindowTest, EditorGroupBoxesFollowTheOperatorsChoice) {
    yeni->Edit6->setText("846213");
    yeni->ComboBox1->setCurrentIndex(1); // by program: no reaction
    EXPECT_EQ(yeni->Edit6->text(), QStringLiteral("846213"));

    const struct {
        int index;
        bool com, tcp;
    } cases[] = {{1, false, true}, {2, false, false}, {0, true, false}};
    for (const auto& c : cases) {
        yeni->Edit6->setText("846213");
        yeni->ComboBox1->setCurrentIndex(c.index);
        emit yeni->ComboBox1->activated(c.index);
        EXPECT_EQ(yeni->GroupBox1->isVisibleTo(yeni.get()), c.com) << c.index;
        EXPECT_EQ(yeni->GroupBox2->isVisibleTo(yeni.get()), c.tcp) << c.index;
        EXPECT_EQ(yeni->Edit6->text(),
                  c.index == 0 ? QStringLiteral("846213") : QStringLiteral("0"));
    }
}

TEST_F(MainWindowTest, GridShowsItsThreeColumnsAfterEveryReload) {
    auto shownColumns = [this] {
        QStringList shown;
        for (int c = 0; c < dm.qrycihaz.columnCount(); ++c) {
            if (!window->DBGrid1->isColumnHidden(c)) {
                shown << dm.qrycihaz.headerData(c, Qt::Horizontal).toString();
            }
        }
        return shown;
    };
    EXPECT_EQ(shownColumns(), (QStringList{"Terminal", "Tip", "IP"}));
    op.answers = {true};
    window->BitBtn3->click(); // delete re-runs the list
    EXPECT_EQ(dm.qrycihaz.rowCount(), 2);
    EXPECT_EQ(shownColumns(), (QStringList{"Terminal", "Tip", "IP"}));
    EXPECT_EQ(window->selectedRow(), 0);
}

TEST_F(MainWindowTest, EditorKeepsItsFieldsBetweenUses) {
    closeNextModal();
    window->BitBtn2->click(); // "Değiştir" on "Ana Giriş"
    EXPECT_EQ(yeni->Edit1->text(), QStringLiteral("Ana Giriş"));
    EXPECT_EQ(yeni->ComboBox1->currentIndex(), 2);
    closeNextModal();
    window->BitBtn1->click(); // "Ekle" starts from what the last use left
    EXPECT_EQ(yeni->Edit1->text(), QStringLiteral("Ana Giriş"));
    EXPECT_EQ(yeni->ComboBox1->currentIndex(), 0);
    EXPECT_TRUE(yeni->GroupBox1->isVisibleTo(yeni.get()));
}

TEST_F(MainWindowTest, EnterInTheEditorSaves) {
    EXPECT_EQ(yeni->BitBtn2->text(), QStringLiteral("&Kaydet"));
    yeni->mode = "yeni";
    yeni->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(yeni.get()));
    yeni->Edit1->setFocus();
    yeni->Edit1->setText("Arka Kapı");
    QTest::keyClick(yeni->Edit1, Qt::Key_Return);
    EXPECT_EQ(yeni->result(), QDialog::Accepted);
    EXPECT_FALSE(yeni->isVisible());
    EXPECT_EQ(dm.qrycihaz.rowCount(), 4);
}

TEST_F(MainWindowTest, RefusedValueKeepsTheEditorOpen) {
    yeni->mode = "yeni";
    yeni->Edit1->setText("Yeni Kapı");
    yeni->Edit5->setText("beş");
    yeni->setResult(QDialog::Rejected);
    EXPECT_THROW(yeni->BitBtn2Click(), AppError);
    EXPECT_NE(yeni->result(), QDialog::Accepted);
    EXPECT_EQ(dm.qrycihaz.rowCount(), 3);

    // Updating a row that was deleted meanwhile, elsewhere: told, not closed.
    QSqlQuery(dm.ADOConnection1()).exec("delete from Terminal");
    yeni->mode = "guncelle";
    yeni->selectedRow = 0;
    yeni->Edit5->setText("5005");
    yeni->BitBtn2Click();
    EXPECT_NE(yeni->result(), QDialog::Accepted);
    ASSERT_FALSE(op.messageTexts().isEmpty());
    EXPECT_TRUE(op.messageTexts().last().startsWith(QStringLiteral("Bu terminal kaydı artık yok")));
}

} // namespace

namespace {

// Closes the main window from inside a running download, as an operator
// pressing "Kapat" while the transfer pumps window messages would.
class ClosingOperator : public RecordingOperator {
  public:
    QWidget* window = nullptr;
    bool closedDuringCommand = false;
    bool stillOpenAfterClose = false;
    void processEvents() override {
        RecordingOperator::processEvents();
        if (window && !closedDuringCommand) {
            closedDuringCommand = true;
            window->close();
            stillOpenAfterClose = window->isVisible();
        }
    }
};

TEST(MainWindowCommands, TransferRunsFromTheButtonAndClosingWaitsForIt) {
    const TestProgramDir files;
    const QString dir = files.dir();
    insertTerminals(dir + "Data.mdb", {"1, 'Ana Giriş', 'usb', '1', '9600', '', 0, 0"});
    ClosingOperator op;
    TfrmDM dm;
    Tfrmgiris window(dm, dir, &op);
    DeviceState state;
    state.logs = {LogRecord{7, 0, 2024, 3, 5, 8, 7}, LogRecord{8, 8, 2024, 3, 5, 8, 9}};
    window.FP_CLOCK1.setInProcessDevice(std::make_shared<DeviceModel>(state));
    window.show();
    window.BitBtn4->click();
    ASSERT_TRUE(window.session.connected);

    op.window = &window;
    window.BitBtn5->click();
    EXPECT_TRUE(op.closedDuringCommand);
    EXPECT_TRUE(op.stillOpenAfterClose) << "the window stays while the command runs";
    EXPECT_TRUE(window.BitBtn5->isEnabled());
    EXPECT_EQ(readFile(dir + "veri.txt").count("\r\n"), 2);
    EXPECT_EQ(op.messageTexts().last(), QStringLiteral("Bilgiler Dosyaya Aktarıldı...."));
    // Once the command has ended, the pending close goes through.
    QCoreApplication::processEvents();
    EXPECT_FALSE(window.isVisible());
}

// Presses "BAGLANTI_KES" (and then maybe "BAGLAN" again) while a download
// pumps window messages.
class ReconnectingOperator : public RecordingOperator {
  public:
    Tfrmgiris* window = nullptr;
    bool connectAgain = false;
    bool ownButtonEnabledMeanwhile = false;
    void processEvents() override {
        RecordingOperator::processEvents();
        if (!window) return;
        Tfrmgiris* w = std::exchange(window, nullptr);
        w->BitBtn4->click();
        if (connectAgain) w->BitBtn4->click();
        ownButtonEnabledMeanwhile = w->BitBtn5->isEnabled();
    }
};

TEST(MainWindowCommands, TransferButtonComesBackOnlyWhileConnected) {
    for (const bool connectAgain : {false, true}) {
        SCOPED_TRACE(connectAgain ? "disconnected and connected again" : "disconnected");
        const TestProgramDir files;
        const QString dir = files.dir();
        insertTerminals(dir + "Data.mdb", {"1, 'Ana Giriş', 'usb', '1', '9600', '', 0, 0"});
        ReconnectingOperator op;
        TfrmDM dm;
        Tfrmgiris window(dm, dir, &op);
        DeviceState state;
        state.logs = {LogRecord{7, 0, 2024, 3, 5, 8, 7}, LogRecord{8, 8, 2024, 3, 5, 8, 9}};
        window.FP_CLOCK1.setInProcessDevice(std::make_shared<DeviceModel>(state));
        window.BitBtn4->click();
        ASSERT_TRUE(window.session.connected);

        op.window = &window;
        op.connectAgain = connectAgain;
        window.BitBtn5->click();
        EXPECT_EQ(op.window, nullptr) << "the download pumped messages";
        EXPECT_FALSE(op.ownButtonEnabledMeanwhile)
            << "a connect leaves the running command's button";
        EXPECT_EQ(window.session.connected, connectAgain);
        EXPECT_EQ(window.BitBtn5->isEnabled(), connectAgain);
        EXPECT_EQ(window.BitBtn6->isEnabled(), connectAgain);
    }
}

} // namespace
