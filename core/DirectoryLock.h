#pragma once

#include "core/FileDescriptor.h"

#include <QString>

#include <functional>
#include <optional>

// The program directory's one lock: every command that writes Data.mdb,
// Log.mdb or the data files holds it for its whole run, in the window and
// headless alike, so a scheduled transfer, an enrollment download and a
// name fill never interleave. An advisory lock (flock) on ".veri.lock" of a
// descriptor of its own: a second holder waits for it, whether another
// process or another thread of this one, and the kernel releases it when
// the holder dies. It only locks; what a killed holder left
// is each command's own first step.
class DirectoryLock {
  public:
    // Waits up to waitMs for the lock, calling keepWaiting about every
    // 100 ms (to let the window repaint, and to hear of a cancel: false ends
    // the wait at once); nullopt when it is still held then. what names the
    // command, for whoever has to wait for it. Throws AppError when the lock
    // file can't be opened (the directory is not writable either, or a link
    // or something other than a file is in its place).
    static std::optional<DirectoryLock> acquire(const QString& programDir, const QString& what,
                                                int waitMs = kWaitMs,
                                                const std::function<bool()>& keepWaiting = {});
    static std::optional<DirectoryLock> tryAcquire(const QString& programDir,
                                                   const QString& what = QString()) {
        return acquire(programDir, what, 0);
    }

    // The holder's own words, as acquire() left them for a refused command:
    // "Verileri Aktar (süreç 1234, 10.12.2026 17:05:12)"; empty when unknown.
    static QString holderOf(const QString& programDir);

    const QString& programDir() const { return programDir_; }

    DirectoryLock(DirectoryLock&&) noexcept = default;
    DirectoryLock& operator=(DirectoryLock&&) noexcept = default;
    ~DirectoryLock();

    static constexpr int kWaitMs = 10000;

  private:
    DirectoryLock(FileDescriptor fd, QString programDir)
        : fd_(std::move(fd)), programDir_(std::move(programDir)) {}
    FileDescriptor fd_; // closing the last descriptor of the file drops the flock
    QString programDir_;
};

// What the operator reads when the lock stayed taken: what holds it, that
// nothing was changed, and what to do.
QString directoryBusyText(const QString& programDir);

class Operator;
// The lock for a command that writes the stores: waits for it as acquire()
// does, saying so on the status line and letting the window repaint; when
// it stays taken, shows directoryBusyText in a warning box and returns
// nullopt, and the command changes nothing. A cancel the operator asks for
// (Operator::cancelRequested) ends the wait at once, without the box: the
// command is stopped, not refused. waitMs: less than the usual wait, for a
// command whose wait was spent already.
std::optional<DirectoryLock> lockProgramDirectory(const QString& programDir, const QString& what,
                                                  Operator& op,
                                                  int waitMs = DirectoryLock::kWaitMs);
