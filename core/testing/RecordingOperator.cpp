#include "RecordingOperator.h"

bool RecordingOperator::askYesNo(const QString& text, const QString& title) {
    questions << title + QStringLiteral(": ") + text;
    if (answers.empty()) return true;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
}

void RecordingOperator::showMessage(const QString& text, const QString& title, Icon icon) {
    messages.push_back({text, title, icon});
}

QStringList RecordingOperator::messageTexts() const {
    QStringList out;
    for (const Message& m : messages)
        out << m.text;
    return out;
}

QStringList RecordingOperator::messageHeads() const {
    QStringList heads;
    for (const Message& m : messages)
        heads << m.text.section(QLatin1Char('\n'), 0, 0);
    return heads;
}
