#include "Tfrmzil.h"

Tfrmzil::Tfrmzil(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmzil"));
    setWindowTitle(QStringLiteral("Zil Saatleri"));
}
