#include "TfrmEnrol.h"

#include "SingleEnrollment.h"
#include "StoreMark.h"
#include "core/AppError.h"
#include "core/CommandWorker.h"
#include "core/DirectoryLock.h"
#include "core/Operator.h"
#include "core/TfrmDM.h"
#include "core/WidgetOperator.h"
#include "session/TerminalSession.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTabWidget>
#include <QTableView>
#include <QToolButton>

namespace {

template <typename W> W* named(W* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QLabel* label(QWidget* parent, const QString& text, QRect place) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(place);
    return l;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption, QRect place) {
    auto* b = named(new QPushButton(caption, parent), name);
    b->setGeometry(place);
    return b;
}

QComboBox* combo(QWidget* parent, const char* name, const QStringList& items, const QString& value,
                 QRect place) {
    auto* c = named(new QComboBox(parent), name);
    c->setEditable(true); // values can be typed too
    c->addItems(items);
    c->setCurrentText(value);
    c->setGeometry(place);
    return c;
}

} // namespace

// A bulk command at work: every command that touches the store or the
// terminal is disabled meanwhile, and the window can't be closed. Undone on
// every way out.
class BulkCommand {
  public:
    explicit BulkCommand(TfrmEnrol& w)
        : w_(w), widgets_{
                     w.BitBtn1, w.BitBtn2,          w.CheckBox2,        w.SpeedButton1,
                     w.BitBtn4, w.BitBtn5,          w.DBGrid1,          w.Edit8,
                     w.BitBtn3, w.cmdGetEnrollData, w.cmdSetEnrollData, w.cmdDeleteEnrollData} {
        w_.busy_ = true;
        for (QWidget* widget : widgets_)
            widget->setEnabled(false);
        w_.cancelButton->setEnabled(true);
    }
    ~BulkCommand() {
        for (QWidget* widget : widgets_)
            widget->setEnabled(true);
        w_.cancelButton->setEnabled(false);
        w_.busy_ = false;
    }
    BulkCommand(const BulkCommand&) = delete;
    BulkCommand& operator=(const BulkCommand&) = delete;

  private:
    TfrmEnrol& w_;
    QList<QWidget*> widgets_;
};

TfrmEnrol::TfrmEnrol(TfrmDM& dm, TFP_CLOCK& clock, CommandWorker& worker,
                     const SessionState& session, Operator* op, QWidget* parent)
    : QDialog(parent), dm_(dm), clock_(clock), worker_(worker), session_(session) {
    buildControls();
    if (!op) {
        ownOperator_ = std::make_unique<WidgetOperator>(this);
        ownOperator_->setStatusLabel(lblMessage);
        ownOperator_->setProgressBar(progressBar);
        op = ownOperator_.get();
    }
    op_ = op;
    // FormCreate
    PageControl1->setCurrentWidget(TabSheet1);
    setKeyboardDefaults();
}

void TfrmEnrol::setKeyboardDefaults() {
    // Enter on the whole-data tab presses nothing: a download replaces the
    // store and an upload may clear the terminal, not for a stray Enter in
    // the search box. On the single tab it reads the enrollment, as the
    // first button there does.
    for (QPushButton* b : findChildren<QPushButton*>())
        b->setAutoDefault(false);
    const auto follow = [this](int) {
        cmdGetEnrollData->setDefault(PageControl1->currentWidget() == TabSheet2);
    };
    connect(PageControl1, &QTabWidget::currentChanged, this, follow);
    follow(PageControl1->currentIndex());
}

TfrmEnrol::~TfrmEnrol() = default;

QString TfrmEnrol::settingsFile() const {
    return session_.settingsFile;
}

EnrollStore TfrmEnrol::store() const {
    return EnrollStore(dm_);
}

void TfrmEnrol::buildControls() {
    setObjectName(QStringLiteral("frmEnrol"));
    setWindowTitle(QStringLiteral("Parmakizi Datası Kopyalama / Yükleme / Personel İsimlendirme"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(970, 657);

    label(this, QStringLiteral("Bağlantı Kurulan Terminal:"), {8, 8, 170, 17});
    Label3 = named(new QLabel(this), "Label3");
    Label3->setAccessibleDescription(QStringLiteral("Bağlantı Kurulan Terminal"));
    Label3->setGeometry(180, 8, 300, 17);
    QFont bold = Label3->font();
    bold.setBold(true);
    Label3->setFont(bold);
    label(this, QStringLiteral("Data : "), {500, 8, 45, 17});
    Label5 = named(new QLabel(this), "Label5");
    Label5->setAccessibleDescription(QStringLiteral("Veritabanı"));
    Label5->setGeometry(545, 8, 300, 17);

    PageControl1 = named(new QTabWidget(this), "PageControl1");
    PageControl1->setAccessibleName(QStringLiteral("Sayfalar"));
    PageControl1->setGeometry(8, 32, 954, 556);
    TabSheet1 = named(new QWidget, "TabSheet1");
    TabSheet2 = named(new QWidget, "TabSheet2");
    PageControl1->addTab(TabSheet1, QStringLiteral("tüm data"));
    PageControl1->addTab(TabSheet2, QStringLiteral("tek data(parmak)"));
    buildAllDataTab();
    buildSingleTab();

    lblMessage = named(new QLabel(this), "lblMessage");
    lblMessage->setAccessibleDescription(QStringLiteral("Durum"));
    lblMessage->setGeometry(8, 594, 954, 20);
    lblMessage->setAlignment(Qt::AlignCenter);
    BitBtn3 = button(this, "BitBtn3", QStringLiteral("&Kapat"), {872, 620, 90, 29});
    connect(BitBtn3, &QPushButton::clicked, this, &QDialog::close);
    progressBar = named(new QProgressBar(this), "progressBar");
    progressBar->setAccessibleName(QStringLiteral("İlerleme"));
    progressBar->setGeometry(8, 626, 760, 17);
    progressBar->setRange(0, 1);
    progressBar->setValue(0);
    progressBar->setTextVisible(false);
    cancelButton = button(this, "cancelButton", QStringLiteral("İp&tal"), {776, 620, 90, 29});
    cancelButton->setToolTip(QStringLiteral("Süren işlemi durdurur (Esc)."));
    cancelButton->setEnabled(false);
    connect(cancelButton, &QPushButton::clicked, this, [this] { worker_.requestCancel(); });
}

void TfrmEnrol::runCommand(std::function<void(Operator&)> work, std::function<void()> then) {
    if (!pendingLockFor_.isEmpty()) {
        work = [what = pendingLockFor_, dir = dm_.programDir,
                work = std::move(work)](Operator& op) {
            const auto lock = lockProgramDirectory(dir, what, op);
            if (lock) work(op);
        };
    }
    worker_.start(*op_, std::move(work),
                  [this, bulk = pendingBulk_, then = std::move(then)](std::exception_ptr failure) {
                      reportCommandFailure(*op_, failure);
                      if (!failure && then) then();
                  });
}

void TfrmEnrol::runBulk(const QString& what, const std::function<void()>& start) {
    pendingBulk_ = std::make_shared<BulkCommand>(*this);
    pendingLockFor_ = what;
    const auto handedOver = qScopeGuard([this] {
        pendingBulk_.reset();
        pendingLockFor_.clear();
    });
    start();
}

void TfrmEnrol::buildAllDataTab() {
    QWidget* t = TabSheet1;
    BitBtn1 =
        button(t, "BitBtn1", QStringLiteral("Terminalden Parmakizi Datası &Al"), {8, 8, 222, 33});
    Label2 = named(new QLabel(t), "Label2");
    Label2->setAccessibleDescription(QStringLiteral("Okunan parmak"));
    Label2->setGeometry(238, 16, 56, 17);
    txtName = named(new QLineEdit(t), "txtName");
    txtName->setAccessibleName(QStringLiteral("Okunan kişi"));
    txtName->setGeometry(298, 12, 158, 24);
    txtName->setReadOnly(true);
    BitBtn2 =
        button(t, "BitBtn2", QStringLiteral("Terminale Parmakizi Datası &Yükle"), {8, 48, 222, 33});
    GroupBox1 =
        named(new QGroupBox(
                  QStringLiteral("seçili ise cihazdaki tüm prm lari siler ve datadan yükler"), t),
              "GroupBox1");
    GroupBox1->setGeometry(8, 88, 448, 48);
    CheckBox2 = named(new QCheckBox(QStringLiteral("Cihazdaki tüm prmizlerini sil"), GroupBox1),
                      "CheckBox2");
    CheckBox2->setGeometry(10, 22, 300, 20);
    Memo1 = named(new QPlainTextEdit(t), "Memo1");
    Memo1->setAccessibleName(QStringLiteral("İşlem kaydı"));
    Memo1->setGeometry(8, 144, 448, 376);
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    buildNamesPart(t);

    connect(BitBtn1, &QPushButton::clicked, this, &TfrmEnrol::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &TfrmEnrol::BitBtn2Click);
    connect(SpeedButton1, &QToolButton::clicked, this, &TfrmEnrol::SpeedButton1Click);
    connect(BitBtn4, &QPushButton::clicked, this, &TfrmEnrol::BitBtn4Click);
    connect(BitBtn5, &QPushButton::clicked, this, &TfrmEnrol::BitBtn5Click);
    connect(Edit8, &QLineEdit::textChanged, this, &TfrmEnrol::Edit8Change);
    connect(btnDatabaseSettings, &QPushButton::clicked, this, &TfrmEnrol::btnDatabaseSettingsClick);
}

void TfrmEnrol::buildNamesPart(QWidget* t) {
    SpeedButton1 = named(new QToolButton(t), "SpeedButton1");
    SpeedButton1->setText(QStringLiteral("&PDKS Programından İsimleri Al (mysql)"));
    SpeedButton1->setGeometry(472, 8, 300, 33);
    btnDatabaseSettings =
        button(t, "btnDatabaseSettings", QStringLiteral("&Veritabanı Ayarları"), {780, 8, 160, 33});
    label(t, QStringLiteral("Personel isim"), {472, 52, 90, 17});
    Edit8 = named(new QLineEdit(t), "Edit8");
    Edit8->setAccessibleName(QStringLiteral("Personel isim (Arama)"));
    Edit8->setGeometry(566, 48, 220, 24);
    label(t, QStringLiteral("(Arama)"), {792, 52, 60, 17});
    DBGrid1 = named(new QTableView(t), "DBGrid1");
    DBGrid1->setAccessibleName(QStringLiteral("Personel isimleri"));
    DBGrid1->setGeometry(472, 80, 468, 330);
    DBGrid1->setModel(&qryisim);
    DBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    DBGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    DBGrid1->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                             QAbstractItemView::AnyKeyPressed);
    DBGrid1->verticalHeader()->setDefaultSectionSize(20);
    DBGrid1->horizontalHeader()->setStretchLastSection(true);
    connect(&qryisim, &QAbstractItemModel::modelReset, this, [this] {
        DBGrid1->setColumnHidden(0, true); // the temp row's rowid
        DBGrid1->setColumnWidth(qryisim.kartnoColumn(), 90);
    });
    label(t, QStringLiteral("Alınan Parmakizi Kayıt Sayısı:"), {472, 418, 190, 17});
    Label7 = named(new QLabel(t), "Label7");
    Label7->setAccessibleDescription(QStringLiteral("Alınan Parmakizi Kayıt Sayısı"));
    Label7->setGeometry(666, 418, 100, 17);
    BitBtn4 = button(t, "BitBtn4", QStringLiteral("&Seçili Personel Adını Terminale Yükle"),
                     {472, 442, 230, 33});
    BitBtn5 = button(t, "BitBtn5", QStringLiteral("&Tüm Personel Adlarını Terminale Yükle"),
                     {710, 442, 230, 33});
    Label9 =
        named(new QLabel(QStringLiteral("Terminal max. 12 karakterlik isim alır"), t), "Label9");
    Label9->setGeometry(472, 482, 300, 17);
}

void TfrmEnrol::buildSingleTab() {
    QWidget* t = TabSheet2;
    const int x = 100, w = 140;
    label(t, QStringLiteral("Parmak Id :"), {8, 16, 88, 17});
    txtEnrollNumber = named(new QLineEdit(QStringLiteral("1"), t), "txtEnrollNumber");
    txtEnrollNumber->setAccessibleName(QStringLiteral("Parmak Id"));
    txtEnrollNumber->setGeometry(x, 12, w, 24);
    label(t, QStringLiteral("Kart No :"), {8, 48, 88, 17});
    txtCardNumber = named(new QLineEdit(t), "txtCardNumber");
    txtCardNumber->setAccessibleName(QStringLiteral("Kart No"));
    txtCardNumber->setGeometry(x, 44, w, 24);
    label(t, QStringLiteral("Cihaz No :"), {8, 80, 88, 17});
    QStringList machines;
    for (int m = 1; m <= 9; ++m)
        machines << QString::number(m);
    cmbEMachineNumber =
        combo(t, "cmbEMachineNumber", machines, QStringLiteral("1"), {x, 76, w, 24});
    cmbEMachineNumber->setAccessibleName(QStringLiteral("Cihaz No"));
    label(t, QStringLiteral("Yedek No :"), {8, 112, 88, 17});
    cmbBackupNumber =
        combo(t, "cmbBackupNumber", {"0", "1", "2", "10", "11", "12", "13", "14", "15", "16"},
              QStringLiteral("0"), {x, 108, w, 24});
    cmbBackupNumber->setAccessibleName(QStringLiteral("Yedek No"));
    label(t, QStringLiteral("İmtiyaz :"), {8, 144, 88, 17});
    cmbPrivilege = combo(t, "cmbPrivilege", {"0", "1", "2"}, QStringLiteral("0"), {x, 140, w, 24});
    cmbPrivilege->setAccessibleName(QStringLiteral("İmtiyaz"));

    cmdGetEnrollData =
        button(t, "cmdGetEnrollData", QStringLiteral("Parmakizi &Al"), {8, 184, 232, 33});
    cmdSetEnrollData =
        button(t, "cmdSetEnrollData", QStringLiteral("Parmakizi &Yükle"), {8, 224, 232, 33});
    cmdDeleteEnrollData =
        button(t, "cmdDeleteEnrollData", QStringLiteral("Parmakizi &Sil"), {8, 264, 232, 33});
    Label30 = named(
        new QLabel(QStringLiteral("Not: Sadece parmakizi bilgisini alır,şifre olanlaı almaz"), t),
        "Label30");
    Label30->setGeometry(8, 312, 240, 40);
    Label30->setWordWrap(true);

    lblEnrollData = named(new QLabel(t), "lblEnrollData");
    lblEnrollData->setAccessibleDescription(QStringLiteral("Parmakizi verisinin durumu"));
    lblEnrollData->setGeometry(260, 12, 300, 17);
    lstEnrollData = named(new QListWidget(t), "lstEnrollData");
    lstEnrollData->setAccessibleName(QStringLiteral("Parmakizi verisi"));
    lstEnrollData->setGeometry(260, 34, 680, 486);

    connect(cmdGetEnrollData, &QPushButton::clicked, this, &TfrmEnrol::cmdGetEnrollDataClick);
    connect(cmdSetEnrollData, &QPushButton::clicked, this, &TfrmEnrol::cmdSetEnrollDataClick);
    connect(cmdDeleteEnrollData, &QPushButton::clicked, this, &TfrmEnrol::cmdDeleteEnrollDataClick);
}

void TfrmEnrol::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}

void TfrmEnrol::FormShow() {
    ReadMySqlSettings();
    Label7->clear();
    txtName->clear();
    machine_ = session_.machineNumber;
    lblMessage->clear();
    Label2->clear();
    try {
        showStoreState();
    } catch (const AppError& e) {
        op_->setStatus(e.text()); // the window opens all the same
    }
}

void TfrmEnrol::showStoreState(const QString& before) {
    const EnrollStore s = store();
    const QString state = storeStateText(readStoreMark(s), s.enrollmentCount());
    if (state.isEmpty()) return;
    op_->setStatus(before.isEmpty() ? state : before + QStringLiteral(" ") + state);
}

void TfrmEnrol::ReadMySqlSettings() {
    mySql_ = ::ReadMySqlSettings(session_.settingsFile);
    Label5->setText(mySql_.database);
}

void TfrmEnrol::ShowNameList() {
    Label7->setText(QString::number(qryisim.reopen(store(), Edit8->text())));
    // The first row is current, as the grid shows it, so that sending the
    // selected name needs no click first.
    if (qryisim.rowCount() > 0) {
        DBGrid1->setCurrentIndex(qryisim.index(0, qryisim.kartnoColumn()));
        DBGrid1->selectRow(0);
    }
}

void TfrmEnrol::Edit8Change() {
    ShowNameList();
}

void TfrmEnrol::btnDatabaseSettingsClick() {
    if (busy_ || !nameHandlers_.databaseSettings) return;
    nameHandlers_.databaseSettings(*this);
    ReadMySqlSettings(); // what was saved shows and serves the next fill
}

void TfrmEnrol::BitBtn1Click() {
    runBulk(BitBtn1->text(), [this] {
        auto result = std::make_shared<DownloadResult>();
        runCommand(
            [this, result](Operator& op) {
                // The list is re-run when the download ends; until then it
                // holds no query, so no read of the window's keeps the
                // download from committing.
                runOnThreadOf(this, [this] { qryisim.clear(); });
                EnrollStore s = store(); // the command thread's own connections
                *result = downloadEnrollments(clock_, machine_, s, values, *this, op,
                                              session_.connectedName);
            },
            [this, result] {
                // What an upload that clears the terminal first would meet.
                if (!result->complete) showStoreState(result->status);
            });
    });
}

void TfrmEnrol::BitBtn2Click() {
    const bool clearFirst = CheckBox2->isChecked();
    runBulk(BitBtn2->text(), [this, clearFirst] {
        runCommand([this, clearFirst](Operator& op) {
            EnrollStore s = store(); // the command thread's own connections
            uploadEnrollments(clock_, machine_, s, values, clearFirst, *this, op);
        });
    });
}

void TfrmEnrol::SpeedButton1Click() {
    if (!nameHandlers_.fillNames) return;
    runBulk(SpeedButton1->text(), [this] { nameHandlers_.fillNames(*this); });
}

void TfrmEnrol::BitBtn4Click() {
    if (!nameHandlers_.sendSelectedName) return;
    runBulk(BitBtn4->text(), [this] { nameHandlers_.sendSelectedName(*this); });
}

void TfrmEnrol::BitBtn5Click() {
    if (!nameHandlers_.sendAllNames) return;
    runBulk(BitBtn5->text(), [this] { nameHandlers_.sendAllNames(*this); });
}

void TfrmEnrol::cmdGetEnrollDataClick() {
    lstEnrollData->clear();
    const QString enroll = txtEnrollNumber->text(), backup = cmbBackupNumber->currentText();
    auto read = std::make_shared<SingleReadResult>();
    runCommand(
        [this, enroll, backup, read](Operator& op) {
            *read = readSingleEnrollment(clock_, machine_, enroll, backup, values, op);
        },
        [this, read] { showSingleEnrollment(*read); });
}

void TfrmEnrol::showSingleEnrollment(const SingleReadResult& r) {
    if (r.locked) lblEnrollData->setText(QStringLiteral("Enrolled Data"));
    if (!r.read) return;
    if (r.privilege >= 0 && r.privilege < cmbPrivilege->count())
        cmbPrivilege->setCurrentIndex(r.privilege);
    else
        cmbPrivilege->setCurrentText(QString::number(r.privilege));
    if (r.cardNumber) txtCardNumber->setText(*r.cardNumber);
    lstEnrollData->addItems(r.lines);
}

void TfrmEnrol::cmdSetEnrollDataClick() {
    // The command may correct what was typed; the fields show it afterwards.
    auto typed = std::make_shared<std::pair<QString, QString>>(txtEnrollNumber->text(),
                                                               txtCardNumber->text());
    const QString backup = cmbBackupNumber->currentText(), privilege = cmbPrivilege->currentText();
    worker_.start(
        *op_,
        [this, typed, backup, privilege](Operator& op) {
            writeSingleEnrollment(clock_, machine_, typed->first, typed->second, backup, privilege,
                                  values, op);
        },
        [this, typed](std::exception_ptr failure) {
            txtEnrollNumber->setText(typed->first);
            txtCardNumber->setText(typed->second);
            reportCommandFailure(*op_, failure);
        });
}

void TfrmEnrol::cmdDeleteEnrollDataClick() {
    const QString enroll = txtEnrollNumber->text(), emachine = cmbEMachineNumber->currentText(),
                  backup = cmbBackupNumber->currentText();
    runCommand([this, enroll, emachine, backup](Operator& op) {
        deleteSingleEnrollment(clock_, machine_, enroll, emachine, backup, op);
    });
}

void TfrmEnrol::reject() {
    // Esc during a command stops it at its next step; the window closes
    // only once nothing runs.
    if (worker_.running()) {
        if (busy_) worker_.requestCancel();
        return;
    }
    QDialog::reject();
}

// The commands call these from the terminal thread; the widgets are the
// GUI's. They wait for nothing: the command ends only after the GUI has
// shown all of them.
void TfrmEnrol::clearLog() {
    postToThreadOf(this, [this] { Memo1->clear(); });
}
void TfrmEnrol::addLogLine(const QString& line) {
    postToThreadOf(this, [this, line] { Memo1->appendPlainText(line); });
}
void TfrmEnrol::setPosition(const QString& text) {
    postToThreadOf(this, [this, text] { Label2->setText(text); });
}
void TfrmEnrol::setUserName(const QString& name) {
    postToThreadOf(this, [this, name] { txtName->setText(name); });
}
void TfrmEnrol::showNameList() {
    // Waits: the list's query runs on the GUI thread, and an error in it is
    // the command's to report.
    runOnThreadOf(this, [this] { ShowNameList(); });
}
