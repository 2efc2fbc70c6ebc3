#pragma once

#include "core/Operator.h"

#include <QTextStream>

// An operator on a terminal or a log, for the headless commands: messages and
// status texts become lines; progress, counts and the cursor are not shown.
class ConsoleOperator : public Operator {
  public:
    struct Options {
        // Print each status text as it comes; otherwise only the last one is
        // kept, for the command to print at its end (a status line per row
        // would drown the output).
        bool printStatus = true;
        // The answer to every question. Yes is for commands the operator
        // asked for by name and is not printed; No is printed with the
        // question, the safe answer of a command that would otherwise ask.
        bool answerYes = false;
    };
    explicit ConsoleOperator(QTextStream& out) : out_(out) {}
    ConsoleOperator(QTextStream& out, Options options) : out_(out), options_(options) {}

    // The last status text set.
    const QString& lastStatus() const { return lastStatus_; }

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
    Options options_;
    QString lastStatus_;
};
