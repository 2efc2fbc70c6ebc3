#pragma once

#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <utility>
#include <vector>

// One terminal's part of a command that works on several terminals at once:
// its place in the list, and its progress for the screen. The command's
// thread writes the progress; the thread that draws it reads it.
class TerminalJob {
  public:
    TerminalJob(int index, QString name, bool showsProgress)
        : index_(index), name_(std::move(name)), showsProgress_(showsProgress) {}
    TerminalJob(const TerminalJob&) = delete;
    TerminalJob& operator=(const TerminalJob&) = delete;

    int index() const { return index_; } // in the terminal list
    const QString& name() const { return name_; }
    // Whether anyone draws the progress (standard error is a terminal), so
    // a command knows if a total is worth asking the terminal for.
    bool showsProgress() const { return showsProgress_; }

    void setTotal(long long total) { total_.store(total, std::memory_order_relaxed); }
    void setDone(long long done) { done_.store(done, std::memory_order_relaxed); }
    long long total() const { return total_.load(std::memory_order_relaxed); }
    long long done() const { return done_.load(std::memory_order_relaxed); }

  private:
    int index_;
    QString name_;
    bool showsProgress_;
    std::atomic<long long> total_{-1}; // -1: not known
    std::atomic<long long> done_{0};
};

// The progress of the terminals being worked on, as a block of lines on
// standard error that is redrawn in place: a line with how many terminals
// are done, then one per running terminal, "Giriş: 1.200/5.000 kayıt". At
// most ten redraws a second. The owner takes the block off the screen
// before it writes anything else, and draws it again afterwards.
class ProgressBoard {
  public:
    explicit ProgressBoard(int fd) : fd_(fd) {}
    ~ProgressBoard() { clear(); }
    ProgressBoard(const ProgressBoard&) = delete;
    ProgressBoard& operator=(const ProgressBoard&) = delete;

    // running: the jobs under way; finished and all count terminals.
    void draw(const std::vector<const TerminalJob*>& running, int finished, int all);
    void clear();

  private:
    void write(const QByteArray& bytes);

    int fd_;
    int shownLines_ = 0;
    QByteArray shown_;
    QElapsedTimer lastDrawn_;
};

// "1.200/5.000 kayıt", "1.200 kayıt", or empty before the first record.
QString jobProgressText(long long done, long long total);
