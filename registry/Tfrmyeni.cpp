#include "Tfrmyeni.h"

#include "TerminalCheck.h"
#include "core/Operator.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace {

QLineEdit* addField(QWidget* parent, const char* name, const QString& label, const QString& text,
                    int y) {
    auto* caption = new QLabel(label, parent);
    caption->setGeometry(12, y + 3, 80, 17);
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(QLatin1String(name));
    edit->setGeometry(96, y, 150, 23);
    caption->setBuddy(edit); // a screen reader reads the field by its caption
    edit->setAccessibleName(label);
    return edit;
}

} // namespace

Tfrmyeni::Tfrmyeni(TfrmDM& dm, Operator& op, QWidget* parent) : QDialog(parent), dm_(dm), op_(op) {
    setObjectName(QStringLiteral("frmyeni"));
    setWindowTitle(QStringLiteral("Terminal Ekle-Değiştir"));
    setFixedSize(289, 329);
    buildFields();
    buildButtons();
    // The note belongs to the row that was opened, not to the next "Ekle".
    connect(this, &QDialog::finished, lblRowProblem, &QLabel::hide);
}

void Tfrmyeni::buildFields() {
    Edit1 = addField(this, "Edit1", QStringLiteral("Cihaz"), QStringLiteral("Terminal"), 12);
    Edit1->setMaxLength(kTerminalNameMax);
    Edit7 = addField(this, "Edit7", QStringLiteral("Cihaz No"), QStringLiteral("1"), 42);
    auto* typeLabel = new QLabel(QStringLiteral("Bağlantı Tipi"), this);
    typeLabel->setGeometry(12, 75, 80, 17);
    ComboBox1 = new QComboBox(this);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setAccessibleName(QStringLiteral("Bağlantı Tipi"));
    ComboBox1->setGeometry(96, 72, 150, 23);
    ComboBox1->addItems(
        {QStringLiteral("comport"), QStringLiteral("tcp/ip"), QStringLiteral("usb")});
    ComboBox1->setEditable(false); // only list choices

    GroupBox1 = new QGroupBox(QStringLiteral("com port"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(8, 104, 273, 130);
    Edit2 = addField(GroupBox1, "Edit2", QStringLiteral("Com Port"), QStringLiteral("1"), 24);
    Edit3 = addField(GroupBox1, "Edit3", QStringLiteral("Baud"), QStringLiteral("9600"), 54);
    auto* hint = new QLabel(QStringLiteral("9600-19200-38400-57600-115200"), GroupBox1);
    hint->setGeometry(12, 86, 250, 17);

    GroupBox2 = new QGroupBox(QStringLiteral("tcp/ip"), this);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    GroupBox2->setGeometry(8, 104, 273, 130);
    Edit4 = addField(GroupBox2, "Edit4", QStringLiteral("ip adres"),
                     QStringLiteral("192.168.0.100"), 24);
    Edit5 = addField(GroupBox2, "Edit5", QStringLiteral("tcp port"), QStringLiteral("5005"), 54);
    Edit6 = addField(GroupBox2, "Edit6", QStringLiteral("passsword"), QStringLiteral("846213"), 84);
    GroupBox2->hide();
}

void Tfrmyeni::buildButtons() {
    lblRowProblem = new QLabel(this);
    lblRowProblem->setObjectName(QStringLiteral("lblRowProblem"));
    lblRowProblem->setAccessibleDescription(QStringLiteral("Kayıttaki sorun"));
    lblRowProblem->setGeometry(8, 236, 273, 40);
    lblRowProblem->setWordWrap(true);
    lblRowProblem->setStyleSheet(QStringLiteral("color: #a00000"));
    lblRowProblem->hide();

    BitBtn2 = new QPushButton(QStringLiteral("&Kaydet"), this);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(40, 280, 100, 33);
    QFont bold = BitBtn2->font();
    bold.setBold(true);
    BitBtn2->setFont(bold);
    // Enter in any field saves; the buttons themselves never take it over.
    BitBtn2->setAutoDefault(false);
    BitBtn2->setDefault(true);
    Button1 = new QPushButton(QStringLiteral("K&apat"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(150, 280, 100, 33);
    Button1->setAutoDefault(false);

    // activated fires only for the operator's own choice, not for a
    // selection made by the program.
    connect(ComboBox1, &QComboBox::activated, this, &Tfrmyeni::ComboBox1Change);
    connect(BitBtn2, &QPushButton::clicked, this, &Tfrmyeni::BitBtn2Click);
    connect(Button1, &QPushButton::clicked, this, &Tfrmyeni::Button1Click);
}

TerminalFields Tfrmyeni::fields() const {
    TerminalFields f;
    f.name = Edit1->text();
    f.machineNo = Edit7->text();
    f.typeIndex = ComboBox1->currentIndex();
    f.comPort = Edit2->text();
    f.comBaud = Edit3->text();
    f.ip = Edit4->text();
    f.netPort = Edit5->text();
    f.password = Edit6->text();
    return f;
}

void Tfrmyeni::setFields(const TerminalFields& f) {
    // A longer name from an older version is shown whole; the check refuses
    // it on saving, so it is never cut without the operator seeing it.
    Edit1->setMaxLength(std::max<int>(kTerminalNameMax, int(f.name.size())));
    Edit1->setText(f.name);
    Edit7->setText(f.machineNo);
    Edit2->setText(f.comPort);
    Edit3->setText(f.comBaud);
    Edit4->setText(f.ip);
    Edit5->setText(f.netPort);
    Edit6->setText(f.password);
    const std::optional<FieldProblem> problem = checkTerminalFields(f);
    lblRowProblem->setText(problem ? QStringLiteral("Bu kayıtta geçersiz bir değer var; "
                                                    "kaydetmeden önce düzeltin: ") +
                                         problem->text
                                   : QString());
    lblRowProblem->setVisible(problem.has_value());
}

QWidget* Tfrmyeni::fieldWidget(TerminalField field) const {
    switch (field) {
    case TerminalField::Name:
        return Edit1;
    case TerminalField::MachineNo:
        return Edit7;
    case TerminalField::Type:
        return ComboBox1;
    case TerminalField::ComPort:
        return Edit2;
    case TerminalField::ComBaud:
        return Edit3;
    case TerminalField::Ip:
        return Edit4;
    case TerminalField::NetPort:
        return Edit5;
    case TerminalField::Password:
        return Edit6;
    }
    return Edit1;
}

void Tfrmyeni::showGroupFor(int typeIndex) {
    GroupBox1->setVisible(typeIndex == 0);
    GroupBox2->setVisible(typeIndex == 1);
}

void Tfrmyeni::ComboBox1Change() {
    const int index = ComboBox1->currentIndex();
    showGroupFor(index);
    if (index == 1 || index == 2) Edit6->setText(QStringLiteral("0"));
}

void Tfrmyeni::BitBtn2Click() {
    SaveResult result;
    if (mode == u"yeni") result = addTerminal(dm_, fields(), op_);
    if (mode == u"guncelle") result = updateTerminal(dm_, selectedRow, fields(), op_);
    if (!result.saved) {
        if (mode == u"yeni" || mode == u"guncelle")
            fieldWidget(result.badField.value_or(TerminalField::Name))->setFocus();
        return;
    }
    resultRow = result.selectRow;
    accept();
}

void Tfrmyeni::Button1Click() {
    reject();
}
