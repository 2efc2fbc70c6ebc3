#include "EmulatorProcess.h"

#include "terminal/TFP_CLOCK.h"

#include <QDeadlineTimer>
#include <QDir>

#include <csignal>

QString EmulatorProcess::executable() {
    return QStringLiteral(V270_TERMINAL_EXE);
}

bool EmulatorProcess::start(QStringList args, QString* error, int timeoutMs) {
    const bool tcp = args.contains(QStringLiteral("--listen"));
    const bool pty = args.contains(QStringLiteral("--pty"));
    const bool unix = args.contains(QStringLiteral("--unix"));
    const bool wantTcp = tcp || (!pty && !unix);
    if (wantTcp && !tcp) args << QStringLiteral("--listen") << QStringLiteral("127.0.0.1:0");
    host_.clear(), pty_.clear(), unix_.clear();
    port_ = 0;
    process_.setProgram(executable());
    process_.setArguments(args);
    process_.start();
    auto failed = [&](const QString& why) {
        if (error)
            *error = why + QStringLiteral(": ") +
                     QString::fromLocal8Bit(process_.readAllStandardError());
        stop();
        return false;
    };
    if (!process_.waitForStarted(timeoutMs)) return failed(QStringLiteral("did not start"));
    QDeadlineTimer deadline(timeoutMs);
    while ((wantTcp && port_ == 0) || (pty && pty_.isEmpty()) || (unix && unix_.isEmpty())) {
        if (!process_.canReadLine()) {
            if (process_.state() != QProcess::Running) return failed(QStringLiteral("exited"));
            if (deadline.hasExpired()) return failed(QStringLiteral("no answer"));
            // Also notices an exit: stdout closes, and the state follows.
            if (!process_.waitForReadyRead(
                    static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))))
                process_.waitForFinished(50);
            continue;
        }
        const QString line = QString::fromLocal8Bit(process_.readLine()).trimmed();
        if (line.startsWith(QLatin1String("tcp "))) {
            const QString where = line.mid(4);
            const qsizetype colon = where.lastIndexOf(QLatin1Char(':'));
            host_ = where.left(colon);
            port_ = where.mid(colon + 1).toInt();
        } else if (line.startsWith(QLatin1String("pty "))) {
            pty_ = line.mid(4);
        } else if (line.startsWith(QLatin1String("unix "))) {
            unix_ = line.mid(5);
        }
    }
    return true;
}

int EmulatorProcess::stop() {
    if (process_.state() == QProcess::NotRunning) {
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
    if (!process_.waitForFinished(10000)) {
        process_.kill();
        process_.waitForFinished(5000);
        return -1;
    }
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

bool EmulatorProcess::startWithState(const DeviceState& state, const QString& dir, QString* error) {
    const QString statePath = QDir(dir).filePath(QStringLiteral("state.json"));
    QString saveError;
    if (!saveDeviceState(state, statePath, &saveError)) {
        if (error) *error = QStringLiteral("can't write %1: %2").arg(statePath, saveError);
        return false;
    }
    return start({QStringLiteral("--state"), statePath}, error);
}

bool connectToEmulator(TFP_CLOCK& clock, const EmulatorProcess& emulator) {
    clock.SetIPAddress(emulator.host(), emulator.port(), 0);
    return clock.OpenCommPort(1);
}
