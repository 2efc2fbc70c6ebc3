#include "app/EndOnSignal.h"
#include "app/Tfrmgiris.h"
#include "core/AppError.h"
#include "core/TfrmDM.h"
#include "core/testing/CommandWaiting.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestFiles.h"
#include "core/testing/TestProgramDir.h"
#include "registry/Tfrmyeni.h"
#include "terminal/DeviceModel.h"
#include "terminal/testing/EmulatorProcess.h"
#include "transfer/AllTerminalsDialog.h"
#include "transfer/TransferCommands.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <csignal>
#include <functional>
#include <utility>
#include <gtest/gtest.h>

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
        {"cancelButton", "İptal"},
    };
    for (const auto& [name, caption] : buttons) {
        auto* b = window->findChild<QPushButton*>(name);
        ASSERT_NE(b, nullptr) << name;
        // "&" marks the Alt key and is not shown.
        EXPECT_EQ(QString(b->text()).remove(u'&'), QString::fromUtf8(caption)) << name;
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
                                  QStringLiteral("Tüm Verileri Al(aldıktan sonra cihazdan sil)"),
                                  "-", QStringLiteral("Tüm Terminallerden Aktar"), "-",
                                  QStringLiteral("Geçmiş")}));
}

TEST_F(MainWindowTest, OnlyTheSixTerminalCommandsWaitForAConnection) {
    const QList<QPushButton*> terminal = {window->BitBtn5, window->BitBtn6, window->BitBtn7,
                                          window->BitBtn8, window->BitBtn9, window->BitBtn10};
    for (QPushButton* b : window->findChildren<QPushButton*>()) {
        const bool waits = terminal.contains(b) || b == window->cancelButton;
        EXPECT_EQ(b->isEnabled(), !waits) << b->objectName().toStdString();
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
    ASSERT_TRUE(waitForCommand(window->worker));
    EXPECT_EQ(readFile(dir() + "Settings.ini"), QByteArray("[Options]\r\nveriDosya2=1\r\n"));
    window->CheckBox1->setChecked(false);
    window->Button2->click();
    ASSERT_TRUE(waitForCommand(window->worker));
    EXPECT_EQ(readFile(dir() + "Settings.ini"), QByteArray("[Options]\r\nveriDosya2=0\r\n"));
}

} // namespace

namespace {

TEST_F(MainWindowTest, ConnectAndDisconnectFollowTheCaption) {
    ASSERT_EQ(window->selectedRow(), 0);
    window->BitBtn4->click();
    ASSERT_TRUE(waitForCommand(window->worker));
    EXPECT_EQ(window->BitBtn4->text(), QStringLiteral("BAGLANTI_KES"));
    for (QPushButton* b : terminalCommands())
        EXPECT_TRUE(b->isEnabled());
    EXPECT_EQ(window->session.connectedName, QStringLiteral("Ana Giriş"));

    // Another row is selected; the session keeps the first terminal.
    window->selectRow(2);
    EXPECT_EQ(window->session.machineNumber, 1);

    window->BitBtn4->click();
    ASSERT_TRUE(waitForCommand(window->worker));
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
    ASSERT_TRUE(waitForCommand(window->worker));
    EXPECT_EQ(window->BitBtn4->text(), QStringLiteral("BAGLAN"));
    EXPECT_EQ(op.messageHeads(), QStringList{QStringLiteral("Hata..Bağlantı Kurulamadı....")});
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
    // Terminals on one address differ by their port.
    QStringList addresses;
    for (int r = 0; r < dm.qrycihaz.rowCount(); ++r)
        addresses << dm.qrycihaz.index(r, dm.qrycihaz.record().indexOf("Adres")).data().toString();
    EXPECT_TRUE(addresses.contains("127.0.0.1:1")) << addresses.join(' ').toStdString();
    op.answers = {true};
    window->BitBtn3->click(); // delete re-runs the list
    ASSERT_TRUE(waitForCommand(window->worker));
    EXPECT_EQ(dm.qrycihaz.rowCount(), 2);
    EXPECT_EQ(shownColumns(), (QStringList{"Terminal", "Tip", "IP"}));
    EXPECT_EQ(window->selectedRow(), 0);
}

TEST_F(MainWindowTest, EditorKeepsItsFieldsBetweenUses) {
    closeNextModal();
    window->BitBtn2->click(); // "Değiştir" on "Ana Giriş"
    ASSERT_TRUE(waitForCommand(window->worker));
    EXPECT_EQ(yeni->Edit1->text(), QStringLiteral("Ana Giriş"));
    EXPECT_EQ(yeni->ComboBox1->currentIndex(), 2);
    closeNextModal();
    window->BitBtn1->click(); // "Ekle" starts from what the last use left
    ASSERT_TRUE(waitForCommand(window->worker));
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
    yeni->BitBtn2Click(); // told in a "UYARI" box, as a missing name is
    ASSERT_FALSE(op.messageTexts().isEmpty());
    EXPECT_TRUE(op.messageTexts().last().contains(QStringLiteral("'beş'")));
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

// Calls probe every 100 ms on the GUI thread while it lives.
class Ticker {
  public:
    explicit Ticker(std::function<void()> probe = {}) {
        QObject::connect(&timer_, &QTimer::timeout, [this, probe] {
            ++ticks;
            if (probe) probe();
        });
        timer_.start(100);
    }
    int ticks = 0;

  private:
    QTimer timer_;
};

// A terminal two seconds away: the window's event loop keeps turning while
// it waits, and the controls that would start another command stay off
// until the answer.
TEST(MainWindowCommands, WindowStaysLiveWhileTheTerminalIsSlow) {
    const TestProgramDir files;
    EmulatorProcess emulator;
    QString error;
    ASSERT_TRUE(emulator.start({"--delay-ms", "2000", "--machine", "1"}, &error))
        << error.toStdString();
    insertTerminals(
        files.dir() + "Data.mdb",
        {QStringLiteral("1, 'Uzak', 'ethernet', '', '', '127.0.0.1', %1, 0").arg(emulator.port())});
    RecordingOperator op;
    TfrmDM dm;
    Tfrmgiris window(dm, files.dir(), &op);
    window.show();
    bool controlsOff = true;
    Ticker ticker([&] {
        if (!window.commandRunning()) return; // before the click, or once it has ended
        for (QWidget* w : std::initializer_list<QWidget*>{window.BitBtn4, window.BitBtn5,
                                                          window.Button1, window.BitBtn1})
            controlsOff = controlsOff && !w->isEnabled();
        controlsOff = controlsOff && window.cancelButton->isEnabled();
    });
    window.BitBtn4->click();
    ASSERT_TRUE(waitForCommand(window.worker));
    EXPECT_TRUE(window.session.connected);
    EXPECT_GE(ticker.ticks, 10) << "the timer fires every 100 ms during the 2 s request";
    EXPECT_TRUE(controlsOff);
    EXPECT_TRUE(window.BitBtn4->isEnabled());
    EXPECT_TRUE(window.BitBtn5->isEnabled());
    EXPECT_FALSE(window.cancelButton->isEnabled());
}

// Closing the window during a transfer asks; Yes cancels the transfer at its
// next chunk and the window closes once it has ended. What was read is in
// the files and committed, nothing more: the rest comes next time.
TEST(MainWindowCommands, ClosingDuringATransferAsksAndCancels) {
    const TestProgramDir files;
    const QString dir = files.dir();
    insertTerminals(dir + "Data.mdb", {"1, 'Ana Giriş', 'usb', '1', '9600', '', 0, 0"});
    RecordingOperator op;
    TfrmDM dm;
    Tfrmgiris window(dm, dir, &op);
    DeviceState state;
    for (int i = 0; i < 3000; ++i)
        state.logs.push_back(LogRecord{100 + i, 0, 2024, 3, 5, 8, i % 60});
    auto device = std::make_shared<DeviceModel>(state);
    window.FP_CLOCK1.setInProcessDevice(device);
    window.show();
    window.BitBtn4->click();
    ASSERT_TRUE(waitForCommand(window.worker));
    ASSERT_TRUE(window.session.connected);

    device->faults().delayMs = 300;
    bool closedOnce = false, visibleAfterClose = false;
    Ticker ticker([&] {
        if (window.commandRunning() && !std::exchange(closedOnce, true)) {
            window.close();
            visibleAfterClose = window.isVisible();
        }
    });
    op.answers = {true};
    window.BitBtn5->click();
    ASSERT_TRUE(waitForCommand(window.worker));
    EXPECT_TRUE(closedOnce);
    EXPECT_EQ(op.questions.size(), 1);
    const QByteArray veri = readFile(dir + "veri.txt");
    EXPECT_LT(veri.count("\r\n"), 3000);
    EXPECT_EQ(veri.count("\r\n"), device->state().newMark);
    EXPECT_EQ(device->lockHolder(), 0);
    EXPECT_TRUE(visibleAfterClose) << "closes only once the command has ended";
    QCoreApplication::processEvents();
    EXPECT_FALSE(window.isVisible());
}

// "Tüm Terminallerden Aktar": every terminal of the list at once, each row
// of the window telling how it ended; the one out of reach doesn't keep the
// others' records from the files.
TEST(MainWindowCommands, AllTerminalsTransferTellsEachTerminalsResult) {
    const TestProgramDir files;
    const QString dir = files.dir();
    std::vector<std::unique_ptr<EmulatorProcess>> emulators;
    QStringList rows;
    for (int t = 0; t < 2; ++t) {
        DeviceState state;
        state.machine = 1;
        for (int i = 0; i < 300 * (t + 1); ++i)
            state.logs.push_back(LogRecord{100 * (t + 1) + i % 50, 0, 2024, 3, 5, 8, i % 60});
        emulators.push_back(std::make_unique<EmulatorProcess>());
        ASSERT_TRUE(QDir().mkpath(dir + QString::number(t)));
        QString error;
        ASSERT_TRUE(emulators.back()->startWithState(state, dir + QString::number(t), &error))
            << error.toStdString();
        rows << QStringLiteral("1, '%1', 'ethernet', '', '', '127.0.0.1', %2, 0")
                    .arg(t == 0 ? "Giriş" : "Yemekhane")
                    .arg(emulators.back()->port());
    }
    rows.insert(1, "1, 'Kapalı', 'ethernet', '', '', '127.0.0.1', 1, 0");
    insertTerminals(dir + "Data.mdb", rows);
    RecordingOperator op;
    TfrmDM dm;
    Tfrmgiris window(dm, dir, &op);
    window.show();

    QStringList results;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = window.findChild<AllTerminalsDialog*>();
        if (!dialog || !dialog->finished() || !dialog->closeButton->isEnabled()) return;
        for (int r = 0; r < dialog->gridTerminals->rowCount(); ++r)
            results << dialog->gridTerminals->item(r, 0)->text() + ": " +
                           dialog->gridTerminals->item(r, 2)->text();
        dialog->closeButton->click();
        ASSERT_TRUE(waitForCommand(window.worker));
    });
    poll.start(50);
    window.TmTerminallerdenAktar1->trigger();
    ASSERT_TRUE(waitForCommand(window.worker));
    EXPECT_EQ(results, (QStringList{QStringLiteral("Giriş: 300 kayıt aktarıldı"),
                                    QStringLiteral("Kapalı: Bağlanamadı"),
                                    QStringLiteral("Yemekhane: 600 kayıt aktarıldı")}));
    const QByteArray veri = readFile(dir + "veri.txt");
    EXPECT_EQ(veri.count("\r\n"), 900);
    // Each terminal's batch whole: the lines change terminal once.
    int changes = 0;
    char last = 0;
    for (const QByteArray& line : veri.split('\n')) {
        if (line.size() < 3) continue;
        if (last && line[2] != last) ++changes;
        last = line[2]; // "001.." or "002..": the terminal's enroll numbers
    }
    EXPECT_EQ(changes, 1);
}

// The terminal stops answering in the middle of "Verileri Aktar" (stopped,
// like a terminal that hangs): "İptal" ends the command long before the
// request's own time limit and says it was cancelled; closing the window
// meanwhile asks, cancels, and closes as soon as the command has ended;
// SIGTERM cancels without asking and ends the program's event loop.
TEST(MainWindowCommands, CancelCloseAndSigtermEndACommandTheTerminalHangsOn) {
    enum class Ending { Cancel, Close, Sigterm };
    for (const Ending ending : {Ending::Cancel, Ending::Close, Ending::Sigterm}) {
        SCOPED_TRACE(ending == Ending::Cancel  ? "İptal"
                     : ending == Ending::Close ? "closing the window"
                                               : "SIGTERM");
        const TestProgramDir files;
        DeviceState state;
        state.machine = 1;
        for (int i = 0; i < 50000; ++i)
            state.logs.push_back(LogRecord{100 + i % 900, 0, 2024, 3, 5, 8, i % 60});
        EmulatorProcess emulator;
        QString error;
        const QString statePath = files.dir() + "state.json";
        ASSERT_TRUE(saveDeviceState(state, statePath, &error)) << error.toStdString();
        // Slow enough that the download is still under way when it hangs.
        ASSERT_TRUE(emulator.start({"--state", statePath, "--delay-ms", "5"}, &error))
            << error.toStdString();
        insertTerminals(files.dir() + "Data.mdb",
                        {QStringLiteral("1, 'Giriş', 'ethernet', '', '', '127.0.0.1', %1, 0")
                             .arg(emulator.port())});
        RecordingOperator op;
        op.answers = {true}; // closing: yes, cancel and close
        TfrmDM dm;
        Tfrmgiris window(dm, files.dir(), &op);
        bool ended = false;
        const EndOnSignal endOnSignal(
            [&window, &ended] { window.endWithoutAsking([&ended] { ended = true; }); });
        window.show();
        window.BitBtn4->click();
        ASSERT_TRUE(waitForCommand(window.worker));
        ASSERT_TRUE(window.session.connected);

        QElapsedTimer stopping;
        QTimer stopper;
        QObject::connect(&stopper, &QTimer::timeout, [&] {
            if (stopping.isValid() || !QFile::exists(files.dir() + "veri.txt")) return;
            ::kill(pid_t(emulator.processId()), SIGSTOP);
            QThread::msleep(300); // what was on its way has arrived; the next request hangs
            stopping.start();
            switch (ending) {
            case Ending::Cancel:
                window.cancelButton->click();
                break;
            case Ending::Close:
                window.close();
                break;
            case Ending::Sigterm:
                ::raise(SIGTERM);
                break;
            }
        });
        stopper.start(20);
        window.BitBtn5->click();
        if (ending == Ending::Sigterm) {
            QDeadlineTimer limit(20000);
            while (!ended && !limit.hasExpired())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            EXPECT_TRUE(ended);
            EXPECT_FALSE(window.worker.running());
        } else {
            ASSERT_TRUE(waitForCommand(window.worker));
        }
        const qint64 tookMs = stopping.elapsed();
        ::kill(pid_t(emulator.processId()), SIGCONT);
        QCoreApplication::processEvents();
        // The request's own limit is 10 s; a cancel must not wait for it.
        EXPECT_LT(tookMs, 5000);
        EXPECT_TRUE(op.messageTexts().join('|').contains("Aktarım iptal edildi"))
            << op.messageTexts().join('|').toStdString();
        if (ending != Ending::Sigterm) {
            EXPECT_EQ(window.isVisible(), ending == Ending::Cancel);
        }
    }
}

// After the terminal went away, a command says so and leaves the window
// disconnected: never a silent nothing.
// The status line names the connected terminal, whatever row is selected,
// and after each command what came of it; the bar is an ordinary empty one
// between commands; a popup command while disconnected says what to do.
TEST(MainWindowCommands, StatusLineSaysWhereTheWindowIsAndWhatTheLastCommandDid) {
    const TestProgramDir files;
    DeviceState state;
    state.machine = 1;
    for (int i = 0; i < 40; ++i)
        state.logs.push_back(LogRecord{100 + i, 0, 2024, 3, 5, 8, i % 60});
    const QString statePath = files.dir() + "state.json";
    QString error;
    ASSERT_TRUE(saveDeviceState(state, statePath, &error)) << error.toStdString();
    EmulatorProcess emulator;
    ASSERT_TRUE(emulator.start({"--state", statePath}, &error)) << error.toStdString();
    insertTerminals(
        files.dir() + "Data.mdb",
        {QStringLiteral("1, 'Kasa', 'ethernet', '', '', '127.0.0.1', %1, 0").arg(emulator.port()),
         QStringLiteral("2, 'Yemekhane', 'ethernet', '', '', '127.0.0.1', 1, 0")});
    RecordingOperator op;
    TfrmDM dm;
    Tfrmgiris window(dm, files.dir(), &op);
    window.show();

    window.erminaldentmVerileriAl1->trigger();
    EXPECT_TRUE(op.messageTexts().join('|').startsWith("Önce bir terminale bağlanın."))
        << op.messageTexts().join('|').toStdString();
    EXPECT_FALSE(window.commandRunning());

    window.BitBtn4->click();
    ASSERT_TRUE(waitForCommand(window.worker));
    ASSERT_TRUE(window.session.connected);
    const QString connected =
        QStringLiteral("Bağlı: Kasa (127.0.0.1:%1, makine 1)").arg(emulator.port());
    EXPECT_EQ(op.statuses.value(op.statuses.size() - 1), connected);

    window.selectRow(1); // another row: the window still reads Kasa
    op.messages.clear();
    window.BitBtn5->click();
    ASSERT_TRUE(waitForCommand(window.worker));
    const QString last = op.statuses.value(op.statuses.size() - 1);
    EXPECT_TRUE(last.startsWith(connected + " · ")) << last.toStdString();
    EXPECT_TRUE(last.contains(" Kasa: 40 kayıt yazıldı: veri.txt")) << last.toStdString();
    EXPECT_FALSE(window.ProgressBar1->isTextVisible());
    EXPECT_EQ(window.ProgressBar1->value(), 0);
    EXPECT_EQ(window.ProgressBar1->maximum(), 100) << "never the busy animation when idle";

    window.BitBtn5->click(); // nothing new
    ASSERT_TRUE(waitForCommand(window.worker));
    EXPECT_TRUE(
        op.statuses.value(op.statuses.size() - 1).endsWith("Kasa: Cihazdan Alınacak Veri Yok..."))
        << op.statuses.value(op.statuses.size() - 1).toStdString();
    EXPECT_EQ(window.ProgressBar1->maximum(), 100);
}

TEST(MainWindowCommands, LostLinkIsToldAndDisconnects) {
    const TestProgramDir files;
    EmulatorProcess emulator;
    QString error;
    ASSERT_TRUE(emulator.start({"--machine", "1"}, &error)) << error.toStdString();
    insertTerminals(files.dir() + "Data.mdb",
                    {QStringLiteral("1, 'Kantin', 'ethernet', '', '', '127.0.0.1', %1, 0")
                         .arg(emulator.port())});
    RecordingOperator op;
    TfrmDM dm;
    Tfrmgiris window(dm, files.dir(), &op);
    window.FP_CLOCK1.setTimeouts(2000, 2000);
    window.BitBtn4->click();
    ASSERT_TRUE(waitForCommand(window.worker));
    ASSERT_TRUE(window.session.connected);
    emulator.stop();
    window.BitBtn5->click();
    ASSERT_TRUE(waitForCommand(window.worker));
    EXPECT_EQ(op.messageHeads(), QStringList{QStringLiteral("Hata..Bağlantı Kurulamadı....")});
    EXPECT_TRUE(op.messageTexts().value(0).contains(QStringLiteral("Kantin (127.0.0.1:")));
    EXPECT_EQ(window.BitBtn4->text(), QStringLiteral("BAGLAN"));
    EXPECT_FALSE(window.session.connected);
    EXPECT_FALSE(window.BitBtn5->isEnabled());
    EXPECT_FALSE(QFile::exists(files.dir() + "veri.txt") &&
                 !readFile(files.dir() + "veri.txt").isEmpty());
}

} // namespace
