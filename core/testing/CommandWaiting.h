#pragma once

#include "core/CommandWorker.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

// Lets the calling thread's event loop run until the worker's command has
// ended and its continuation has run: what a person sees after clicking and
// waiting. For tests only; the program itself never waits like this.
inline bool waitForCommand(const CommandWorker& worker, int timeoutMs = 120000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (worker.running() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(1);
    }
    return !worker.running();
}
