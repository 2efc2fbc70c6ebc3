#include "ConsoleOperator.h"

bool ConsoleOperator::askYesNo(const QString& text, const QString& title) {
    if (options_.answerYes) return true;
    out_ << title << ": " << text << " -> Hayır\n";
    out_.flush();
    return false;
}

void ConsoleOperator::showMessage(const QString& text, const QString&, Icon) {
    out_ << text << '\n';
    out_.flush();
}

void ConsoleOperator::setStatus(const QString& text) {
    lastStatus_ = text;
    if (!options_.printStatus) return;
    out_ << text << '\n';
    out_.flush();
}
