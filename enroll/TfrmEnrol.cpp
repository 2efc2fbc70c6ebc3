#include "TfrmEnrol.h"

#include <QLabel>
#include <QPushButton>

TfrmEnrol::TfrmEnrol(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmEnrol"));
    setWindowTitle(QStringLiteral("Parmakizi Datası Kopyalama / Yükleme / Personel İsimlendirme"));
    setFixedSize(970, 657);

    auto* caption = new QLabel(QStringLiteral("Bağlantı Kurulan Terminal:"), this);
    caption->setGeometry(8, 8, 160, 17);
    Label3 = new QLabel(this);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setGeometry(172, 8, 300, 17);

    BitBtn3 = new QPushButton(QStringLiteral("Kapat"), this);
    BitBtn3->setObjectName(QStringLiteral("BitBtn3"));
    BitBtn3->setGeometry(880, 620, 82, 29);
    connect(BitBtn3, &QPushButton::clicked, this, &QDialog::accept);
}
