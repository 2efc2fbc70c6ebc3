#pragma once

#include "core/TerminalRunner.h"

#include <QElapsedTimer>
#include <QString>

#include <vector>

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
