#pragma once

// The users at the emulated terminal: punches made at a steady rate
// (--punches), one at a time on request (SIGUSR1), each written to a punch
// log as it is made (--punch-log), so that the time from a punch to its line
// in a data file can be measured.

#include "terminal/DeviceModel.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <random>

class Puncher : public QObject {
  public:
    // punched runs after each punch, once the record is in the log.
    Puncher(DeviceModel& device, std::function<void()> punched);

    // Appends one line per punch to path: position, machine number and the
    // wall-clock time (CLOCK_REALTIME) in nanoseconds, blank-separated.
    bool openLog(const QString& path, QString* error);
    // perSecond punches a second on average, evenly spaced, from now.
    void start(double perSecond);
    // One punch: a random enrolled user, stamped with the terminal's clock.
    // A terminal without enrollments has nobody to punch: it says so, once
    // until somebody is enrolled.
    void punch();

  private:
    void scheduleNext();

    DeviceModel& device_;
    std::function<void()> punched_;
    QFile log_;
    bool logFailed_ = false;
    bool saidNobody_ = false;
    QTimer timer_;
    QElapsedTimer since_;
    double periodMs_ = 0;
    int64_t scheduled_ = 0; // punches of the rate made so far
    std::mt19937_64 random_;
};
