#pragma once

#include <QString>

// Everything a command may say to, or ask of, the operator. The windows
// implement it with widgets; tests with a recording double.
class Operator {
  public:
    enum class Icon { None, Information, Warning, Critical, Question };

    virtual ~Operator() = default;

    virtual bool askYesNo(const QString& text, const QString& title) = 0;
    virtual void showMessage(const QString& text, const QString& title, Icon icon) = 0;
    virtual void setStatus(const QString& text) = 0;
    virtual void setProgressRange(int minimum, int maximum) = 0;
    virtual void setProgress(int position) = 0;
    virtual void showCount(long long count) = 0;
    virtual void beginBusy() = 0;
    virtual void endBusy() = 0;
    // True once the operator asked to stop the running command ("İptal",
    // Esc, Ctrl-C). Long commands check it between chunks and end cleanly:
    // what was written stays delivered exactly once.
    virtual bool cancelRequested() { return false; }
};

// Holds the busy cursor for a scope, on every way out.
class BusyCursor {
  public:
    explicit BusyCursor(Operator& op) : op_(op) { op_.beginBusy(); }
    ~BusyCursor() { op_.endBusy(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;

  private:
    Operator& op_;
};

// The title of plain notices and of the standard error report.
QString applicationTitle();

// The standard error report: an error that escaped a command, shown with its
// own text; the program goes on.
void reportError(Operator& op, const QString& text);
