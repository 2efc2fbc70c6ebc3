#include "DeviceBracket.h"

#include "core/Operator.h"

DeviceBracket::DeviceBracket(TFP_CLOCK& clock, int32_t machineNumber,
                             ReleaseAfterFailedLock release, Operator& op, FailureReport report)
    : clock_(clock), machine_(machineNumber), op_(op), report_(report) {
    locked_ = clock_.EnableDevice(machine_, 0);
    release_ = locked_ || release == ReleaseAfterFailedLock::Yes;
    if (!locked_ && report_ == FailureReport::StatusLine)
        op_.setStatus(QStringLiteral("No Device"));
}

DeviceBracket::~DeviceBracket() {
    if (release_) clock_.EnableDevice(machine_, 1);
}

bool DeviceBracket::release() {
    if (!release_) return false;
    release_ = false;
    return clock_.EnableDevice(machine_, 1);
}

QString DeviceBracket::lastErrorName() {
    int32_t code = 0;
    clock_.GetLastError(code);
    return deviceErrorName(code);
}

void DeviceBracket::reportFailure(const QString& label) {
    if (report_ == FailureReport::None) return;
    const QString name = lastErrorName();
    const QString text = label.isEmpty() ? name : label + QStringLiteral(" : ") + name;
    if (report_ == FailureReport::MessageBox) {
        op_.showMessage(text, applicationTitle(), Operator::Icon::None);
    } else {
        op_.setStatus(text);
    }
}
