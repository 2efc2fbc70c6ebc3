#include "Tfrmzil.h"

#include "core/CommandWorker.h"
#include "core/Operator.h"
#include "session/TerminalSession.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QShowEvent>

namespace {

QLabel* makeLabel(QWidget* parent, const QString& text, QRect place) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(place);
    return label;
}

} // namespace

Tfrmzil::Tfrmzil(TFP_CLOCK& clock, CommandWorker& worker, const SessionState& session, Operator& op,
                 QWidget* parent)
    : QDialog(parent), clock_(clock), worker_(worker), session_(session), op_(op) {
    setObjectName(QStringLiteral("frmzil"));
    setWindowTitle(QStringLiteral("Zil Saatleri"));
    setFixedSize(470, 300);
    buildBellRows();
    buildButtons();

    // Any edit by the operator is unsent until a send or a read shows the
    // terminal's values again.
    const auto edited = [this] { unsent_ = true; };
    for (size_t i = 0; i < kBellCount; ++i) {
        connect(chkValid[i], &QCheckBox::clicked, this, edited);
        connect(txtHour[i], &QLineEdit::textEdited, this, edited);
        connect(txtMinute[i], &QLineEdit::textEdited, this, edited);
    }
    connect(txtBellCount, &QLineEdit::textEdited, this, edited);
}

void Tfrmzil::buildBellRows() {
    makeLabel(this, QStringLiteral("ZİL"), {16, 10, 50, 17});
    makeLabel(this, QStringLiteral("SEÇ"), {72, 10, 30, 17});
    makeLabel(this, QStringLiteral("Sa:Dk"), {112, 10, 60, 17});
    // The fifth caption has no blank, as on the original form.
    const QString rowCaptions[kBellCount] = {QStringLiteral("Zil 1:"), QStringLiteral("Zil 2:"),
                                             QStringLiteral("Zil 3:"), QStringLiteral("Zil 4:"),
                                             QStringLiteral("Zil5:"),  QStringLiteral("Zil 6:"),
                                             QStringLiteral("Zil 7:"), QStringLiteral("Zil 8:")};
    for (size_t i = 0; i < kBellCount; ++i) {
        const int y = 32 + static_cast<int>(i) * 26;
        makeLabel(this, rowCaptions[i], {16, y + 2, 50, 17});
        chkValid[i] = new QCheckBox(this);
        chkValid[i]->setObjectName(QStringLiteral("_chkValid_%1").arg(i));
        chkValid[i]->setAccessibleName(QStringLiteral("Zil %1 seçili").arg(i + 1));
        chkValid[i]->setGeometry(76, y, 21, 21);
        txtHour[i] = new QLineEdit(this);
        txtHour[i]->setObjectName(QStringLiteral("_txtHour_%1").arg(i));
        txtHour[i]->setAccessibleName(QStringLiteral("Zil %1 saat").arg(i + 1));
        txtHour[i]->setGeometry(108, y, 30, 21);
        makeLabel(this, QStringLiteral(":"), {141, y + 2, 6, 17});
        txtMinute[i] = new QLineEdit(this);
        txtMinute[i]->setObjectName(QStringLiteral("_txtMinute_%1").arg(i));
        txtMinute[i]->setAccessibleName(QStringLiteral("Zil %1 dakika").arg(i + 1));
        txtMinute[i]->setGeometry(150, y, 30, 21);
    }
    makeLabel(this, QStringLiteral("Zil Çalma Süresi"), {16, 250, 90, 17});
    txtBellCount = new QLineEdit(this);
    txtBellCount->setObjectName(QStringLiteral("txtBellCount"));
    txtBellCount->setAccessibleName(QStringLiteral("Zil Çalma Süresi"));
    txtBellCount->setGeometry(108, 248, 72, 21);
}

void Tfrmzil::buildButtons() {
    Button1 = new QPushButton(QStringLiteral("<--- Terminalden Zil Saatlerini &Oku"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(206, 32, 250, 41);
    Button2 = new QPushButton(QStringLiteral("--->Terminale Zİl Saatlerini &Gönder"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(206, 84, 250, 41);
    BitBtn1 = new QPushButton(QStringLiteral("&Kapat"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(336, 248, 120, 33);
    // Enter sends what was typed; it never reads, which would overwrite it.
    for (QPushButton* b : {Button1, Button2, BitBtn1})
        b->setAutoDefault(false);
    Button2->setDefault(true);

    connect(Button1, &QPushButton::clicked, this, &Tfrmzil::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &Tfrmzil::Button2Click);
    connect(BitBtn1, &QPushButton::clicked, this, [this] {
        if (mayClose()) accept();
    });
}

bool Tfrmzil::mayClose() {
    return !unsent_ || op_.askYesNo(QStringLiteral("Gönderilmemiş değişiklikler var. Çıkılsın mı?"),
                                    QStringLiteral("UYARI"));
}

void Tfrmzil::reject() {
    // Esc and the close box: what was typed and not sent would be lost; a
    // request to the terminal ends first.
    if (worker_.running()) return;
    if (mayClose()) QDialog::reject();
}

void Tfrmzil::runCommand(std::function<void(Operator&)> work) {
    const QList<QWidget*> buttons{Button1, Button2, BitBtn1};
    for (QWidget* b : buttons)
        b->setEnabled(false);
    worker_.start(op_, std::move(work), [this, buttons](std::exception_ptr failure) {
        for (QWidget* b : buttons)
            b->setEnabled(true);
        reportCommandFailure(op_, failure);
    });
}

// The schedule calls these from the terminal thread; the widgets are the GUI's.
BellForm Tfrmzil::form() const {
    BellForm f;
    runOnThreadOf(const_cast<Tfrmzil*>(this), [&] { f = formOnScreen(); });
    return f;
}

void Tfrmzil::showForm(const BellForm& f) {
    runOnThreadOf(this, [&] { showFormOnScreen(f); });
}

BellForm Tfrmzil::formOnScreen() const {
    BellForm f;
    for (size_t i = 0; i < kBellCount; ++i) {
        f.on[i] = chkValid[i]->isChecked();
        f.hour[i] = txtHour[i]->text();
        f.minute[i] = txtMinute[i]->text();
    }
    f.ringDuration = txtBellCount->text();
    return f;
}

void Tfrmzil::showFormOnScreen(const BellForm& f) {
    for (size_t i = 0; i < kBellCount; ++i) {
        chkValid[i]->setChecked(f.on[i]);
        txtHour[i]->setText(f.hour[i]);
        txtMinute[i]->setText(f.minute[i]);
    }
    txtBellCount->setText(f.ringDuration);
    unsent_ = false;
}

void Tfrmzil::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

void Tfrmzil::FormShow() {
    showFormOnScreen(schedule.clear());
}

void Tfrmzil::Button1Click() {
    runCommand([this](Operator& op) { schedule.read(clock_, session_.machineNumber, *this, op); });
}

void Tfrmzil::Button2Click() {
    runCommand([this](Operator& op) { schedule.send(clock_, session_.machineNumber, *this, op); });
}
