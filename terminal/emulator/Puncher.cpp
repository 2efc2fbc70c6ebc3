#include "Puncher.h"

#include <QDateTime>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

Puncher::Puncher(DeviceModel& device, std::function<void()> punched)
    : device_(device), punched_(std::move(punched)), random_(std::random_device{}()) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
        punch();
        scheduleNext();
    });
}

bool Puncher::openLog(const QString& path, QString* error) {
    log_.setFileName(path);
    // Unbuffered: each line is one write, on disk as the punch is made.
    if (!log_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = log_.errorString();
        return false;
    }
    return true;
}

void Puncher::start(double perSecond) {
    periodMs_ = 1000.0 / perSecond;
    scheduled_ = 0;
    since_.start();
    scheduleNext();
}

void Puncher::scheduleNext() {
    // Each punch is due at its own multiple of the period from the start, so
    // a late timer never slows the rate down.
    ++scheduled_;
    const auto due = static_cast<int64_t>(static_cast<double>(scheduled_) * periodMs_);
    timer_.start(static_cast<int>(std::max<int64_t>(0, due - since_.elapsed())));
}

void Puncher::punch() {
    const std::vector<Enrollment>& enrolled = device_.state().enrollments;
    if (enrolled.empty()) {
        if (!saidNobody_) std::fprintf(stderr, "v270-terminal: no enrolled user to punch\n");
        saidNobody_ = true; // once, not at every tick of the rate
        return;
    }
    saidNobody_ = false;
    const Enrollment& who =
        enrolled[std::uniform_int_distribution<size_t>(0, enrolled.size() - 1)(random_)];
    const QDateTime now = QDateTime::currentDateTime().addSecs(device_.state().clockOffsetSeconds);
    LogRecord record;
    record.enroll = who.enroll;
    record.mode = std::uniform_int_distribution<int>(0, 1)(random_) ? 8 : 0; // out or in
    record.year = now.date().year(), record.month = now.date().month();
    record.day = now.date().day(), record.hour = now.time().hour();
    record.minute = now.time().minute();
    timespec wall{};
    ::clock_gettime(CLOCK_REALTIME, &wall);
    const int32_t position = device_.addRecord(record);
    if (log_.isOpen()) {
        const long long ns = static_cast<long long>(wall.tv_sec) * 1000000000LL + wall.tv_nsec;
        const QByteArray line = QByteArray::number(position) + ' ' +
                                QByteArray::number(device_.state().machine) + ' ' +
                                QByteArray::number(ns) + '\n';
        if (log_.write(line) != line.size() && !logFailed_) {
            logFailed_ = true; // said once, not once a punch
            std::fprintf(stderr, "v270-terminal: can't write the punch log: %s\n",
                         qPrintable(log_.errorString()));
        }
    }
    punched_();
}
