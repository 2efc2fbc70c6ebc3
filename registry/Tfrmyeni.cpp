#include "Tfrmyeni.h"

Tfrmyeni::Tfrmyeni(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmyeni"));
    setWindowTitle(QStringLiteral("Terminal Ekle-Değiştir"));
    setFixedSize(289, 329);
}
