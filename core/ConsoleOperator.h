#pragma once

#include "core/Operator.h"

#include <QElapsedTimer>
#include <QTextStream>

// An operator on a terminal or a log, for the headless commands: messages and
// status texts become lines. Progress is a single line rewritten in place on
// a terminal, and nothing at all in a log (cron, the journal). Ctrl-C asks
// the running command to stop at its next chunk.
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
        // Where the progress line goes: a descriptor of a terminal, or -1
        // for none. progressOnTerminal() gives standard error's when it is one.
        int progressFd = -1;
    };
    explicit ConsoleOperator(QTextStream& out) : out_(out) {}
    ConsoleOperator(QTextStream& out, Options options) : out_(out), options_(options) {}
    ~ConsoleOperator() override { clearProgress(); }
    ConsoleOperator(const ConsoleOperator&) = delete;
    ConsoleOperator& operator=(const ConsoleOperator&) = delete;

    // Standard error's descriptor when it is a terminal, else -1.
    static int progressOnTerminal();

    // From now on the first SIGINT only asks the command to stop (the flag
    // interrupted() reads); a second one ends the process as usual.
    static void catchInterrupt();
    static bool interrupted();

    // The last status text set.
    const QString& lastStatus() const { return lastStatus_; }

    // Takes the progress line off the screen, before the command's own
    // lines follow it.
    void clearProgress();

    bool askYesNo(const QString& text, const QString& title) override;
    void showMessage(const QString& text, const QString& title, Icon icon) override;
    void setStatus(const QString& text) override;
    void setProgressRange(int minimum, int maximum) override;
    void setProgress(int position) override;
    void showCount(long long count) override;
    void beginBusy() override {}
    void endBusy() override {}
    bool cancelRequested() override { return interrupted(); }

  private:
    void drawProgress();
    void writeProgress(const QByteArray& bytes);

    QTextStream& out_;
    Options options_;
    QString lastStatus_;

    int minimum_ = 0, maximum_ = 0, position_ = 0;
    long long count_ = -1; // -1: the command counts nothing
    QElapsedTimer started_, lastDrawn_;
    bool shown_ = false;
};
