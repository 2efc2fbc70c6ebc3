#pragma once

#include "core/FileDescriptor.h"

#include <QObject>

#include <functional>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP to the window (a logout, a service manager,
// Ctrl-C in the terminal it was started from) end the program the way
// closing it does, without the question: the running command is cancelled,
// what it read is delivered, then the program quits. The signal is carried
// out of its handler through a pipe into the event loop. A second signal of
// the same kind has its default effect.
class EndOnSignal : public QObject {
  public:
    explicit EndOnSignal(std::function<void()> end, QObject* parent = nullptr);
    ~EndOnSignal() override;
    EndOnSignal(const EndOnSignal&) = delete;
    EndOnSignal& operator=(const EndOnSignal&) = delete;

  private:
    FileDescriptor readEnd_;
    QSocketNotifier* notifier_;
    std::function<void()> end_;
};
