#include "Operator.h"

QString applicationTitle() {
    return QStringLiteral("v270-aktarim");
}

void reportError(Operator& op, const QString& text) {
    op.showMessage(text, applicationTitle(), Operator::Icon::Critical);
}
