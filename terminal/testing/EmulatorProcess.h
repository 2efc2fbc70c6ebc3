#pragma once

// Runs the built v270-terminal as a child process, for tests and benchmarks.

#include "terminal/DeviceState.h"

#include <QProcess>
#include <QString>
#include <QStringList>

class EmulatorProcess {
  public:
    EmulatorProcess() = default;
    ~EmulatorProcess() { stop(); }
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    // Starts the emulator and waits until it says where it listens. With no
    // transport in args it gets "--listen 127.0.0.1:0" (a free port).
    bool start(QStringList args, QString* error = nullptr, int timeoutMs = 15000);
    // SIGTERM, then the exit code (or -1 if it had to be killed).
    int stop();

    QString host() const { return host_; }
    int port() const { return port_; }
    QString ptyPath() const { return pty_; }
    QString unixPath() const { return unix_; }
    QByteArray standardError() { return process_.readAllStandardError(); }
    qint64 processId() const { return process_.processId(); }

    static QString executable();

    // Writes state to dir/state.json and starts the emulator on it, on a
    // free loopback port.
    bool startWithState(const DeviceState& state, const QString& dir, QString* error = nullptr);

  private:
    QProcess process_;
    QString host_, pty_, unix_;
    int port_ = 0;
};

class TFP_CLOCK;

// Connects a control to a running emulator over TCP (machine 1, no password).
bool connectToEmulator(TFP_CLOCK& clock, const EmulatorProcess& emulator);
