#include "Tfrmgiris.h"

#include "CommandSummary.h"
#include "Startup.h"
#include "bells/Tfrmzil.h"
#include "core/AppError.h"
#include "core/DateFormats.h"
#include "core/DirectoryLock.h"
#include "core/TfrmDM.h"
#include "core/WidgetOperator.h"
#include "enroll/TfrmEnrol.h"
#include "maintenance/ClearingCommands.h"
#include "maintenance/ClockCommands.h"
#include "registry/TerminalCommands.h"
#include "registry/Tfrmyeni.h"
#include "transfer/AllTerminalsDialog.h"
#include "transfer/HistoryWindow.h"
#include "transfer/MemoryCard.h"
#include "transfer/TransferCommands.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QShortcut>
#include <QSqlRecord>
#include <QStyle>
#include <QTableView>
#include <QTime>
#include <QTimer>

namespace {

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, QRect place,
                        QStyle::StandardPixmap picture, bool bold = false) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(place);
    button->setIcon(parent->style()->standardIcon(picture));
    if (bold) {
        QFont font = button->font();
        font.setBold(true);
        button->setFont(font);
    }
    return button;
}

} // namespace

// Marks a terminal command as running: the controls that would start
// another command are disabled and "İptal" is offered until it ends, on
// every way out; a close asked for meanwhile goes through afterwards.
class RunningCommand {
  public:
    explicit RunningCommand(Tfrmgiris& window) : window_(window) {
        if (window_.runningCommands_++ == 0) window_.setCommandControlsEnabled(false);
    }
    ~RunningCommand() { window_.commandEnded(); }
    RunningCommand(const RunningCommand&) = delete;
    RunningCommand& operator=(const RunningCommand&) = delete;

  private:
    Tfrmgiris& window_;
};

Tfrmgiris::Tfrmgiris(TfrmDM& dm, const QString& programDir, Operator* op, QWidget* parent)
    : QWidget(parent), dm_(dm), programDir_(programDir) {
    if (!op) {
        ownOperator_ = std::make_unique<WidgetOperator>(this);
        op = ownOperator_.get();
    }
    op_ = op;
    session.settingsFile = settingsPath();
    // "İptal", Esc and closing the window reach a request the terminal hangs on.
    FP_CLOCK1.setCancelCheck([this] { return worker.cancelRequested(); });
    buildControls();
    if (ownOperator_) {
        ownOperator_->setProgressBar(ProgressBar1);
        ownOperator_->setCountLabel(LabelTotal);
        ownOperator_->setStatusLabel(statusLine);
    }
    // Errors of the creation handler end the handler, never the start-up.
    try {
        FormCreate();
    } catch (const std::exception& e) {
        reportError(*op_, errorText(e));
    }
}

Tfrmgiris::~Tfrmgiris() {
    // The link's sockets belong to the terminal thread: close them there.
    worker.runAndWait([this] { FP_CLOCK1.CloseCommPort(); });
}

void Tfrmgiris::buildControls() {
    setObjectName(QStringLiteral("frmgiris"));
    setFixedSize(820, 400);
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    buildGrid();
    buildTransferControls();
    buildCommandRow();
    buildPopupMenu();
    connectHandlers();
}

void Tfrmgiris::buildGrid() {
    DBGrid1 = new QTableView(this);
    DBGrid1->setObjectName(QStringLiteral("DBGrid1"));
    DBGrid1->setAccessibleName(QStringLiteral("Terminaller"));
    DBGrid1->setGeometry(8, 8, 393, 241);
    DBGrid1->setModel(&dm_.qrycihaz);
    DBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    DBGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    DBGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DBGrid1->setShowGrid(true);
    DBGrid1->verticalHeader()->setDefaultSectionSize(20);
    DBGrid1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(&dm_.qrycihaz, &QAbstractItemModel::modelReset, this, &Tfrmgiris::showGridColumns);

    BitBtn1 = makeButton(this, "BitBtn1", QStringLiteral("&Ekle"), {8, 256, 125, 33},
                         QStyle::SP_FileDialogNewFolder);
    BitBtn2 = makeButton(this, "BitBtn2", QStringLiteral("&Değiştir"), {142, 256, 125, 33},
                         QStyle::SP_FileDialogDetailedView);
    BitBtn3 = makeButton(this, "BitBtn3", QStringLiteral("&Sil"), {276, 256, 125, 33},
                         QStyle::SP_TrashIcon);
}

void Tfrmgiris::buildTransferControls() {
    BitBtn4 = makeButton(this, "BitBtn4", QStringLiteral("BAGLAN"), {412, 8, 209, 81},
                         QStyle::SP_DriveNetIcon, true);
    BitBtn5 = makeButton(this, "BitBtn5", QStringLiteral("Verileri &Aktar"), {412, 96, 209, 65},
                         QStyle::SP_ArrowDown, true);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(412, 166, 209, 17);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setAccessibleName(QStringLiteral("İlerleme"));
    connect(ProgressBar1, &QProgressBar::valueChanged, this, [this](int value) {
        const QLocale turkish(QLocale::Turkish);
        ProgressBar1->setFormat(QStringLiteral("%1 / %2").arg(
            turkish.toString(value), turkish.toString(ProgressBar1->maximum())));
    });
    Label1 = new QLabel(QStringLiteral("Aktarılan Kayıt Sayısı:"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(412, 190, 130, 17);
    Label1->hide();
    LabelTotal = new QLabel(this);
    LabelTotal->setObjectName(QStringLiteral("LabelTotal"));
    LabelTotal->setAccessibleDescription(QStringLiteral("Aktarılan kayıt"));
    LabelTotal->setGeometry(546, 190, 266, 17);
    LabelTotal->hide();
    BitBtn11 = makeButton(this, "BitBtn11", QStringLiteral("&Kapat"), {412, 216, 209, 33},
                          QStyle::SP_DialogCloseButton);
    cancelButton = makeButton(this, "cancelButton", QStringLiteral("İp&tal"), {630, 96, 182, 33},
                              QStyle::SP_DialogCancelButton);
    cancelButton->setToolTip(
        QStringLiteral("Süren işlemi durdurur (Esc). Yazılan kayıtlar "
                       "dosyalarda kalır, kalanlar bir sonraki aktarımda gelir."));
    cancelButton->setEnabled(false);
    // The connect button's caption changes with the state, so its Alt key
    // is a shortcut of its own.
    auto* connectKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_B), this);
    connect(connectKey, &QShortcut::activated, this, [this] {
        if (BitBtn4->isEnabled()) BitBtn4->animateClick();
    });

    GroupBox1 = new QGroupBox(this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setAccessibleName(QStringLiteral("İkinci veri dosyası"));
    GroupBox1->setGeometry(630, 8, 182, 81);
    CheckBox1 = new QCheckBox(QStringLiteral("2. veri dosyası kaydet"), GroupBox1);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    CheckBox1->setGeometry(10, 14, 166, 21);
    Button2 = new QPushButton(QStringLiteral("kaydet"), GroupBox1);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(10, 42, 75, 27);
}

void Tfrmgiris::buildCommandRow() {
    const int y = 320, w = 128, h = 57, gap = 7;
    int x = 8;
    auto next = [&] {
        QRect r(x, y, w, h);
        x += w + gap;
        return r;
    };
    BitBtn7 = makeButton(this, "BitBtn7", QStringLiteral("Tarih-Saat &Oku"), next(),
                         QStyle::SP_FileDialogInfoView);
    BitBtn6 = makeButton(this, "BitBtn6", QStringLiteral("Tarih-Saat A&yarla"), next(),
                         QStyle::SP_BrowserReload);
    BitBtn8 = makeButton(this, "BitBtn8", QStringLiteral("Ad&min Sil"), next(),
                         QStyle::SP_MessageBoxWarning);
    BitBtn9 = makeButton(this, "BitBtn9", QStringLiteral("&Zil Saatleri"), next(),
                         QStyle::SP_MediaVolume);
    BitBtn10 = makeButton(this, "BitBtn10", QStringLiteral("&Parmakizi"), next(),
                          QStyle::SP_DialogApplyButton);
    Button1 = new QPushButton(QStringLiteral("sdkart->text (veri.txt)"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(next());

    statusLine = new QLabel(this);
    statusLine->setObjectName(QStringLiteral("statusLine"));
    statusLine->setAccessibleDescription(QStringLiteral("Durum"));
    statusLine->setGeometry(8, 381, 804, 17);

    // Scratch control beyond the right edge, never seen by the operator.
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setAccessibleName(QStringLiteral("Hafıza kartı dosyası"));
    Edit1->setGeometry(900, 8, 100, 21);
}

void Tfrmgiris::buildPopupMenu() {
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->setAccessibleName(QStringLiteral("Terminal menüsü"));
    TerminaldeTanmlTmParmakizleriniSil1 =
        PopupMenu1->addAction(QStringLiteral("Terminalde Tanımlı Tüm Parmakizlerini Sil"));
    TerminaldeTanmlTmParmakizleriniSil1->setObjectName(
        QStringLiteral("TerminaldeTanmlTmParmakizleriniSil1"));
    PopupMenu1->addSeparator();
    erminaldentmVerileriAl1 = PopupMenu1->addAction(QStringLiteral("Tüm Verileri Al (silmez)"));
    erminaldentmVerileriAl1->setObjectName(QStringLiteral("erminaldentmVerileriAl1"));
    mVerileriAlaldktansonracihazdansil1 =
        PopupMenu1->addAction(QStringLiteral("Tüm Verileri Al(aldıktan sonra cihazdan sil)"));
    mVerileriAlaldktansonracihazdansil1->setObjectName(
        QStringLiteral("mVerileriAlaldktansonracihazdansil1"));
    PopupMenu1->addSeparator();
    TmTerminallerdenAktar1 = PopupMenu1->addAction(QStringLiteral("Tüm Terminallerden Aktar"));
    TmTerminallerdenAktar1->setObjectName(QStringLiteral("TmTerminallerdenAktar1"));
    PopupMenu1->addSeparator();
    historyAction = PopupMenu1->addAction(QStringLiteral("Geçmiş"));
    historyAction->setObjectName(QStringLiteral("historyAction"));
    connect(DBGrid1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu1->popup(DBGrid1->viewport()->mapToGlobal(at)); });
}

void Tfrmgiris::connectHandlers() {
    connect(BitBtn1, &QPushButton::clicked, this, &Tfrmgiris::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &Tfrmgiris::BitBtn2Click);
    connect(BitBtn3, &QPushButton::clicked, this, &Tfrmgiris::BitBtn3Click);
    connect(BitBtn4, &QPushButton::clicked, this, &Tfrmgiris::BitBtn4Click);
    connect(BitBtn5, &QPushButton::clicked, this, &Tfrmgiris::BitBtn5Click);
    connect(BitBtn6, &QPushButton::clicked, this, &Tfrmgiris::BitBtn6Click);
    connect(BitBtn7, &QPushButton::clicked, this, &Tfrmgiris::BitBtn7Click);
    connect(BitBtn8, &QPushButton::clicked, this, &Tfrmgiris::BitBtn8Click);
    connect(TerminaldeTanmlTmParmakizleriniSil1, &QAction::triggered, this,
            &Tfrmgiris::TerminaldeTanmlTmParmakizleriniSil1Click);
    connect(Button1, &QPushButton::clicked, this, &Tfrmgiris::Button1Click);
    connect(erminaldentmVerileriAl1, &QAction::triggered, this,
            &Tfrmgiris::erminaldentmVerileriAl1Click);
    connect(mVerileriAlaldktansonracihazdansil1, &QAction::triggered, this,
            &Tfrmgiris::mVerileriAlaldktansonracihazdansil1Click);
    connect(TmTerminallerdenAktar1, &QAction::triggered, this,
            &Tfrmgiris::TmTerminallerdenAktar1Click);
    // The history is a file read, no terminal command: open also while one runs.
    connect(historyAction, &QAction::triggered, this,
            [this] { showHistoryWindow(this, programDir_); });
    connect(Button2, &QPushButton::clicked, this, &Tfrmgiris::Button2Click);
    connect(BitBtn9, &QPushButton::clicked, this, &Tfrmgiris::BitBtn9Click);
    connect(BitBtn10, &QPushButton::clicked, this, &Tfrmgiris::BitBtn10Click);
    connect(BitBtn11, &QPushButton::clicked, this, &Tfrmgiris::BitBtn11Click);
    connect(cancelButton, &QPushButton::clicked, this, [this] { worker.requestCancel(); });
}

void Tfrmgiris::setSecondaryWindows(Tfrmyeni* yeni, TfrmEnrol* enrol, Tfrmzil* zil) {
    yeni_ = yeni;
    enrol_ = enrol;
    zil_ = zil;
}

QString Tfrmgiris::settingsPath() const {
    return programDir_ + QStringLiteral("Settings.ini");
}

void Tfrmgiris::setTerminalCommandsEnabled(bool enabled) {
    for (QPushButton* b : {BitBtn5, BitBtn6, BitBtn7, BitBtn8, BitBtn9, BitBtn10})
        b->setEnabled(enabled && !commandRunning());
}

void Tfrmgiris::setCommandControlsEnabled(bool enabled) {
    for (QWidget* w : std::initializer_list<QWidget*>{BitBtn1, BitBtn2, BitBtn3, BitBtn4, Button1})
        w->setEnabled(enabled);
    for (QAction* a : PopupMenu1->actions())
        a->setEnabled(enabled || a == historyAction);
    setTerminalCommandsEnabled(enabled && session.connected);
    cancelButton->setEnabled(!enabled);
    // Between commands the bar is an ordinary empty one, never a busy
    // animation left behind; during one it shows its numbers.
    if (enabled) {
        ProgressBar1->setRange(0, 100);
        ProgressBar1->setValue(0);
    }
    ProgressBar1->setTextVisible(!enabled);
    Label1->setVisible(!enabled);
    LabelTotal->setVisible(!enabled);
    if (!enabled) LabelTotal->clear();
}

void Tfrmgiris::runCommand(std::function<void(Operator&)> work, std::function<void()> then) {
    auto running = std::make_shared<RunningCommand>(*this);
    if (ownOperator_) ownOperator_->startCounting();
    auto summary = std::make_shared<CommandSummary>(*op_);
    const QString terminal = session.connected ? session.connectedName : QString();
    worker.start(*summary, std::move(work),
                 [this, running, summary, terminal,
                  then = std::move(then)](std::exception_ptr failure) mutable {
                     noticeLostLink();
                     running.reset();
                     reportCommandFailure(*summary, failure);
                     if (!failure && then) then();
                     showCommandStatus(terminal, summary->lastLine());
                 });
}

void Tfrmgiris::showCommandStatus(const QString& terminal, const QString& told) {
    // Which terminal the window is connected to stays in sight, whatever
    // row is selected; what the last command told follows it.
    const QString connected = session.connected ? connectedStatusText(session) : QString();
    op_->setStatus(told.isEmpty()
                       ? connected
                       : commandStatusText(QTime::currentTime(), terminal, told, connected));
}

bool Tfrmgiris::connectedOrTold() {
    if (session.connected) return true;
    op_->showMessage(QStringLiteral("Önce bir terminale bağlanın.\nListeden terminali seçip "
                                    "\"BAGLAN\" düğmesine basın."),
                     applicationTitle(), Operator::Icon::Information);
    return false;
}

void Tfrmgiris::noticeLostLink() {
    // A command that had to give up the link leaves the window disconnected.
    if (session.connected && !FP_CLOCK1.isConnected()) {
        session.connected = false;
        BitBtn4->setText(QStringLiteral("BAGLAN"));
        setTerminalCommandsEnabled(false);
    }
}

void Tfrmgiris::FormCreate() {
    setWindowTitle(QStringLiteral("V270 PARMAKİZİ AKTARIM ( Varnel Güvenlik ]"));
    setTerminalCommandsEnabled(false);
    setProcessDateFormats();
    openDataModule(dm_, programDir_, *op_);

    selectRow(dm_.qrycihaz.rowCount() > 0 ? 0 : -1);

    CheckBox1->setChecked(readSecondFileOption(settingsPath()));
}

int Tfrmgiris::selectedRow() const {
    const QModelIndex current = DBGrid1->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void Tfrmgiris::selectRow(int row) {
    if (row < 0 || row >= dm_.qrycihaz.rowCount()) {
        DBGrid1->setCurrentIndex({});
        return;
    }
    // The first shown column, so the current cell is a visible one.
    int column = 0;
    while (column < dm_.qrycihaz.columnCount() - 1 && DBGrid1->isColumnHidden(column))
        ++column;
    DBGrid1->setCurrentIndex(dm_.qrycihaz.index(row, column));
    DBGrid1->selectRow(row);
}

void Tfrmgiris::BitBtn1Click() {
    if (!yeni_) return;
    yeni_->GroupBox1->show();
    yeni_->GroupBox2->hide();
    yeni_->ComboBox1->setCurrentIndex(0);
    yeni_->mode = QStringLiteral("yeni");
    if (yeni_->exec() == QDialog::Accepted) selectRow(yeni_->resultRow);
}

void Tfrmgiris::BitBtn2Click() {
    if (!yeni_) return;
    yeni_->mode = QStringLiteral("guncelle");
    yeni_->GroupBox1->hide();
    yeni_->GroupBox2->hide();
    const EditStart start = startEdit(dm_, selectedRow());
    if (!start.open) return;
    if (start.fields) {
        yeni_->setFields(*start.fields);
        if (start.fields->typeIndex >= 0) {
            yeni_->ComboBox1->setCurrentIndex(start.fields->typeIndex);
            yeni_->showGroupFor(start.fields->typeIndex);
        }
    }
    yeni_->selectedRow = selectedRow();
    if (yeni_->exec() == QDialog::Accepted) selectRow(yeni_->resultRow);
}

void Tfrmgiris::BitBtn3Click() {
    if (const std::optional<int> row = deleteTerminal(dm_, selectedRow(), *op_)) selectRow(*row);
}

void Tfrmgiris::BitBtn4Click() {
    if (BitBtn4->text() == u"BAGLAN") {
        const QSqlRecord row = terminalRow(dm_, selectedRow());
        auto ok = std::make_shared<bool>(false);
        runCommand(
            [this, row, ok](Operator& op) { *ok = connectCommand(FP_CLOCK1, row, session, op); },
            [this, ok] {
                BitBtn4->setText(*ok ? QStringLiteral("BAGLANTI_KES") : QStringLiteral("BAGLAN"));
                setTerminalCommandsEnabled(*ok);
            });
    } else if (BitBtn4->text() == u"BAGLANTI_KES") {
        BitBtn4->setText(QStringLiteral("BAGLAN"));
        const QString name = session.connectedName;
        worker.runAndWait([this] { disconnectTerminal(FP_CLOCK1, session); });
        setTerminalCommandsEnabled(false);
        op_->setStatus(QStringLiteral("%1 ile bağlantı kesildi.").arg(name));
        BitBtn4->setFocus(); // where the operator connects again
    }
}

void Tfrmgiris::BitBtn5Click() {
    const bool secondFile = CheckBox1->isChecked();
    runCommand([this, secondFile](Operator& op) {
        transferNewRecords(FP_CLOCK1, session.machineNumber, programDir_, secondFile, op,
                           QDate::currentDate(), session.connectedName);
    });
}

void Tfrmgiris::BitBtn6Click() {
    runCommand([this](Operator& op) { setDeviceClock(FP_CLOCK1, session.machineNumber, op); });
}

void Tfrmgiris::BitBtn7Click() {
    runCommand([this](Operator& op) { readDeviceClock(FP_CLOCK1, session.machineNumber, op); });
}

void Tfrmgiris::BitBtn8Click() {
    // The directory's lock is waited for on the terminal thread, where
    // "İptal" ends the wait.
    const QString what = BitBtn8->text().remove(u'&');
    runCommand([this, what](Operator& op) {
        const auto lock = lockProgramDirectory(dm_.programDir, what, op);
        if (!lock) return;
        clearAdministrators(FP_CLOCK1, session.machineNumber, dm_.ADOConnection1(), op);
    });
}

void Tfrmgiris::TerminaldeTanmlTmParmakizleriniSil1Click() {
    if (!connectedOrTold()) return;
    runCommand(
        [this](Operator& op) { clearAllFingerprints(FP_CLOCK1, session.machineNumber, op); });
}

void Tfrmgiris::erminaldentmVerileriAl1Click() {
    if (!connectedOrTold()) return;
    const bool secondFile = CheckBox1->isChecked();
    runCommand([this, secondFile](Operator& op) {
        downloadAllRecords(FP_CLOCK1, session.machineNumber, programDir_, secondFile,
                           FullDownload::Keep, op, QDate::currentDate(), session.connectedName);
    });
}

void Tfrmgiris::mVerileriAlaldktansonracihazdansil1Click() {
    if (!connectedOrTold()) return;
    const bool secondFile = CheckBox1->isChecked();
    runCommand([this, secondFile](Operator& op) {
        downloadAllRecords(FP_CLOCK1, session.machineNumber, programDir_, secondFile,
                           FullDownload::KeepSilently, op, QDate::currentDate(),
                           session.connectedName);
    });
}

void Tfrmgiris::TmTerminallerdenAktar1Click() {
    while (dm_.qrycihaz.canFetchMore())
        dm_.qrycihaz.fetchMore();
    std::vector<QSqlRecord> rows;
    for (int i = 0; i < dm_.qrycihaz.rowCount(); ++i)
        rows.push_back(terminalRow(dm_, i));
    if (rows.empty()) {
        op_->showMessage(QStringLiteral("Terminal listesi boş."), applicationTitle(),
                         Operator::Icon::Information);
        return;
    }
    const int jobs = std::min<int>(static_cast<int>(rows.size()), 8);
    AllTerminalsDialog dialog(std::make_unique<AllTerminalsTransfer>(std::move(rows), programDir_,
                                                                     settingsPath(),
                                                                     CheckBox1->isChecked(), jobs),
                              this);
    dialog.exec();
}

void Tfrmgiris::Button1Click() {
    const QString file = QFileDialog::getOpenFileName(this, QString(), programDir_);
    if (file.isEmpty()) return;
    Edit1->setText(file);
    runCommand([this, file](Operator& op) { convertMemoryCardFile(file, programDir_, op); });
}

void Tfrmgiris::commandEnded() {
    if (--runningCommands_ > 0) return;
    setCommandControlsEnabled(true);
    if (closePending_) {
        closePending_ = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

void Tfrmgiris::closeEvent(QCloseEvent* event) {
    // The command uses this window's control and files: stop it first, and
    // close once it has ended.
    if (commandRunning()) {
        event->ignore();
        if (closePending_) return;
        if (op_->askYesNo(QStringLiteral("Terminal işlemi sürüyor. İptal edilip program "
                                         "kapatılsın mı?\nYazılan kayıtlar dosyalarda kalır, "
                                         "kalanlar bir sonraki aktarımda gelir."),
                          QStringLiteral("UYARI")) &&
            commandRunning()) {
            closePending_ = true;
            worker.requestCancel();
        }
        return;
    }
    event->accept();
}

void Tfrmgiris::endWithoutAsking(std::function<void()> end) {
    if (endPending_) return;
    endPending_ = true;
    // Every window's terminal command runs on this worker.
    worker.requestCancel();
    // A question from the command is answered "no" this way, and the
    // transfer dialog stops its run before it closes.
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible())
            dialog->reject();
    }
    auto* check = new QTimer(this);
    connect(check, &QTimer::timeout, this, [this, check, end = std::move(end)] {
        if (worker.running()) {
            worker.requestCancel();
            return;
        }
        if (QWidget* modal = QApplication::activeModalWidget()) {
            if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
            return;
        }
        check->deleteLater();
        end();
    });
    check->start(50);
}

void Tfrmgiris::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && commandRunning()) {
        worker.requestCancel();
        return;
    }
    // Enter presses the focused button; on the list it connects to the
    // selected terminal.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        QWidget* focused = focusWidget();
        if (auto* button = qobject_cast<QPushButton*>(focused); button && button->isEnabled()) {
            button->animateClick();
            return;
        }
        if (focused == DBGrid1 && BitBtn4->isEnabled() && BitBtn4->text() == u"BAGLAN") {
            BitBtn4->animateClick();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

void Tfrmgiris::showGridColumns() {
    // Only the list's three columns, whatever the letter case of the stored
    // names; every re-run of the list resets the grid, so this runs again.
    const QSqlRecord rec = dm_.qrycihaz.record();
    for (int c = 0; c < rec.count(); ++c) {
        const QString name = rec.fieldName(c).toLower();
        // The address with its port stands in the IP column's place.
        const bool shown = name == u"terminal" || name == u"tip" || name == u"adres";
        DBGrid1->setColumnHidden(c, !shown);
        if (name == u"terminal") DBGrid1->setColumnWidth(c, 150);
        if (name == u"tip") DBGrid1->setColumnWidth(c, 70);
        if (name == u"adres") {
            DBGrid1->setColumnWidth(c, 130);
            dm_.qrycihaz.setHeaderData(c, Qt::Horizontal, QStringLiteral("IP"));
        }
    }
}

void Tfrmgiris::Button2Click() {
    saveSecondFileOption(settingsPath(), CheckBox1->isChecked());
}

void Tfrmgiris::BitBtn9Click() {
    if (!zil_) return;
    hide();
    const auto showAgain = qScopeGuard([this] {
        noticeLostLink();
        show();
    });
    zil_->exec();
}

void Tfrmgiris::BitBtn10Click() {
    if (!enrol_) return;
    hide();
    const auto showAgain = qScopeGuard([this] {
        noticeLostLink();
        show();
    });
    enrol_->Label3->setText(session.connectedName);
    enrol_->exec();
}

void Tfrmgiris::BitBtn11Click() {
    close();
}
