#pragma once

#include "core/Operator.h"

#include <QStringList>

#include <deque>
#include <vector>

// An operator for tests: answers questions from a script (Yes when the script
// has run out), and keeps everything it was told.
class RecordingOperator : public Operator {
  public:
    struct Message {
        QString text;
        QString title;
        Icon icon;
    };

    std::deque<bool> answers;
    std::vector<Message> messages;
    QStringList questions;
    QStringList statuses;
    int progressMinimum = 0;
    int progressMaximum = 0;
    int progress = 0;
    std::vector<int> progressHistory;
    long long count = -1;
    int busyDepth = 0;
    int busyCount = 0;
    // Cancel is asked for once cancelRequested() has been called this many
    // times; -1 never.
    int cancelAfterChecks = -1;
    int cancelChecks = 0;

    bool askYesNo(const QString& text, const QString& title) override;
    void showMessage(const QString& text, const QString& title, Icon icon) override;
    void setStatus(const QString& text) override { statuses << text; }
    void setProgressRange(int minimum, int maximum) override {
        progressMinimum = minimum;
        progressMaximum = maximum;
    }
    void setProgress(int position) override {
        progress = position;
        progressHistory.push_back(position);
    }
    void showCount(long long c) override { count = c; }
    void beginBusy() override {
        ++busyDepth;
        ++busyCount;
    }
    void endBusy() override { --busyDepth; }
    bool cancelRequested() override {
        return cancelAfterChecks >= 0 && ++cancelChecks > cancelAfterChecks;
    }

    QStringList messageTexts() const;
    // The first line of each message: the text a command is known by, without
    // the details under it.
    QStringList messageHeads() const;
};
