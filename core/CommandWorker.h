#pragma once

#include "Operator.h"

#include <QObject>
#include <QThread>

#include <atomic>
#include <exception>
#include <functional>

// Runs a window's terminal and database work on one thread of its own, so
// the window keeps painting, moving and answering while a terminal is slow.
// The terminal control's link lives on this thread: every call on a
// connected control must go through the same worker.
//
// A window hands a command over and returns at once; it goes on in the
// command's continuation, on its own thread, once the command has ended. No
// event loop is ever nested. Command code keeps its shape: it gets an
// operator whose messages and questions are shown on the window's thread
// (the command's thread waits for the answer, the window never does), and
// whose cancelRequested() reads the worker's cancel flag.
class CommandWorker {
  public:
    CommandWorker();
    ~CommandWorker();
    CommandWorker(const CommandWorker&) = delete;
    CommandWorker& operator=(const CommandWorker&) = delete;

    // Starts work on the worker thread and returns at once. then runs on the
    // caller's thread after the work ended and every update it posted was
    // shown, with what the work threw (null when nothing). Only one command
    // at a time: a second start while one runs throws AppError.
    void start(Operator& op, std::function<void(Operator&)> work,
               std::function<void(std::exception_ptr)> then);

    // Runs work on the worker thread and blocks until it has ended, without
    // an event loop; for short work that never talks to the operator and
    // never waits for a terminal, such as closing the link.
    void runAndWait(const std::function<void()>& work);

    bool running() const { return running_; }

    // Asks the running command to stop: its operator's cancelRequested() is
    // true from now until the command ends, and a terminal request it waits
    // for ends within a second (TFP_CLOCK::setCancelCheck).
    void requestCancel() { cancel_ = true; }
    bool cancelRequested() const { return cancel_; }

  private:
    QThread thread_;
    QObject* context_; // lives on thread_
    QObject home_;     // lives on the thread that made the worker
    bool running_ = false;
    std::atomic_bool cancel_{false};
};

// The standard error report of what a command threw, if anything.
void reportCommandFailure(Operator& op, std::exception_ptr failure);

// Calls fn on the thread of target without waiting (at once on target's own
// thread). Calls posted from one thread run in the order they were posted.
void postToThreadOf(QObject* target, std::function<void()> fn);

// Calls fn on the thread of target and waits for it; on target's own thread
// it calls fn at once. What fn throws is thrown to the caller.
void runOnThreadOf(QObject* target, const std::function<void()>& fn);
