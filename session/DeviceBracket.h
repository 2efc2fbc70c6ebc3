#pragma once

#include "terminal/TFP_CLOCK.h"

#include <QString>

class Operator;

// How a command tells the operator that a terminal operation failed.
enum class FailureReport {
    None,       // go on without a word
    MessageBox, // the error name alone, in a message box (main window)
    StatusLine, // the error name in the window's status line (fingerprint-data window)
};

// Locks the terminal for the length of a command: EnableDevice(machine, 0)
// on entry and EnableDevice(machine, 1) on every way out. Commands differ in
// whether the release is still sent after the lock was refused; each says so.
class DeviceBracket {
  public:
    enum class ReleaseAfterFailedLock { Yes, No };

    DeviceBracket(TFP_CLOCK& clock, int32_t machineNumber, ReleaseAfterFailedLock release,
                  Operator& op, FailureReport report);
    ~DeviceBracket();
    DeviceBracket(const DeviceBracket&) = delete;
    DeviceBracket& operator=(const DeviceBracket&) = delete;

    // False when the terminal refused the lock: treat it as absent.
    bool locked() const { return locked_; }

    // Releases now instead of at the end of the scope, for commands that act
    // on the result of the release; false when nothing was released.
    bool release();

    // Fetches the last error code and shows its name as this command reports
    // failures; label, when given, goes in front of it (" : " between).
    void reportFailure(const QString& label = {});

    // The name of the terminal's last error code.
    QString lastErrorName();

  private:
    TFP_CLOCK& clock_;
    int32_t machine_;
    bool locked_ = false;
    bool release_ = true;
    Operator& op_;
    FailureReport report_;
};
