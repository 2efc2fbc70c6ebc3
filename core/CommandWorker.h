#pragma once

#include "Operator.h"

#include <QObject>
#include <QThread>
#include <atomic>
#include <functional>

// Runs a window's terminal and database work on one thread of its own, so
// the window keeps painting, moving and answering while a terminal is slow.
// The terminal control's link lives on this thread: every call on a
// connected control must go through the same worker.
//
// The caller waits in a local event loop, so command code keeps its shape:
// it gets an operator whose messages and questions are shown on the caller's
// thread (the caller's operator answers them), and what it throws is thrown
// again to the caller.
class CommandWorker {
  public:
    CommandWorker();
    ~CommandWorker();
    CommandWorker(const CommandWorker&) = delete;
    CommandWorker& operator=(const CommandWorker&) = delete;

    // Runs work on the worker thread and returns once it has ended. Only one
    // command at a time: a second call while one runs throws AppError.
    void run(Operator& op, const std::function<void(Operator&)>& work);

    // Runs work on the worker thread and blocks until it has ended, without
    // an event loop; for short work that never talks to the operator, such
    // as closing the link when a window goes away.
    void runAndWait(const std::function<void()>& work);

    bool running() const { return running_; }

    // Asks the running command to stop at its next check; its operator's
    // cancelRequested() is true from now until the command ends.
    void requestCancel() { cancel_ = true; }
    bool cancelRequested() const { return cancel_; }

  private:
    QThread thread_;
    QObject* context_; // lives on thread_
    bool running_ = false;
    std::atomic_bool cancel_{false};
};

// Calls fn on the thread of target without waiting (at once on target's own
// thread). Calls posted from one thread run in the order they were posted.
void postToThreadOf(QObject* target, std::function<void()> fn);

// Calls fn on the thread of target and waits for it; on target's own thread
// it calls fn at once. What fn throws is thrown to the caller.
void runOnThreadOf(QObject* target, const std::function<void()>& fn);
