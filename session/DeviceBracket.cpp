#include "DeviceBracket.h"

#include "TerminalSession.h"
#include "core/Operator.h"

DeviceBracket::DeviceBracket(TFP_CLOCK& clock, int32_t machineNumber,
                             ReleaseAfterFailedLock release, Operator& op, FailureReport report)
    : clock_(clock), machine_(machineNumber), op_(op), report_(report) {
    locked_ = clock_.EnableDevice(machine_, 0);
    if (!locked_ && clock_.cancelled()) {
        // The command was cancelled while the terminal hung: its link was
        // closed under the request, which frees the terminal's lock too.
        release_ = false;
        return;
    }
    if (!locked_ && clock_.isConnected() && !clock_.linkOpen()) {
        // The link dropped since the last command (a terminal restarted, a
        // cable pulled): the control opens it again on the next request, with
        // the same address and password. Once; then the link is given up.
        locked_ = clock_.EnableDevice(machine_, 0);
        if (!locked_ && !clock_.linkOpen()) {
            int32_t code = ERR_COMPORT_ERROR;
            clock_.GetLastError(code);
            const QString text =
                connectionFailedText(clock_.displayName(), clock_.linkAddress(), code);
            clock_.CloseCommPort();
            release_ = false;
            op_.showMessage(text, applicationTitle(), Operator::Icon::None);
            return;
        }
    }
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
