#include "CommandSummary.h"

#include <QStringList>

void CommandSummary::showMessage(const QString& text, const QString& title, Icon icon) {
    const QStringList lines = text.split(u'\n', Qt::SkipEmptyParts);
    if (!lines.isEmpty()) lastLine_ = lines.last().trimmed();
    to_.showMessage(text, title, icon);
}

QString commandStatusText(const QTime& at, const QString& terminal, const QString& told,
                          const QString& connected) {
    const QString who =
        terminal.trimmed().isEmpty() ? QString() : terminal.trimmed() + QStringLiteral(": ");
    const QString result = at.toString(QStringLiteral("HH:mm")) + u' ' + who + told;
    return connected.isEmpty() ? result : connected + QStringLiteral(" · ") + result;
}
