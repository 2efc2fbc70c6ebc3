#pragma once

#include "core/Operator.h"

#include <QTextStream>

// An operator on a terminal or a log, for the headless commands: messages and
// status texts become lines; progress, counts and the cursor are not shown.
class ConsoleOperator : public Operator {
  public:
    explicit ConsoleOperator(QTextStream& out) : out_(out) {}
    // Headless commands never ask; the safe answer is No.
    bool askYesNo(const QString& text, const QString& title) override;
    void showMessage(const QString& text, const QString& title, Icon icon) override;
    void setStatus(const QString& text) override;
    void setProgressRange(int, int) override {}
    void setProgress(int) override {}
    void showCount(long long) override {}
    void beginBusy() override {}
    void endBusy() override {}
    void processEvents() override {}

  private:
    QTextStream& out_;
};
