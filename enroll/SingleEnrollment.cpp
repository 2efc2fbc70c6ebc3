#include "SingleEnrollment.h"

#include "core/Operator.h"
#include "session/DeviceBracket.h"
#include "session/TerminalSession.h"
#include "terminal/TFP_CLOCK.h"

namespace {

QString working() {
    return QStringLiteral("Working...");
}

DeviceBracket lockFor(TFP_CLOCK& clock, int32_t machine, Operator& op) {
    // "No Device" and nothing more when the lock is refused.
    return DeviceBracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::No, op,
                         FailureReport::StatusLine);
}

} // namespace

SingleReadResult readSingleEnrollment(TFP_CLOCK& clock, int32_t machine, const QString& enrollText,
                                      const QString& backupText, EnrollValues& values,
                                      Operator& op) {
    op.setStatus(working());
    const int32_t enroll = toWholeNumber(enrollText);
    const int32_t backup = toWholeNumber(backupText);
    SingleReadResult result;
    DeviceBracket bracket = lockFor(clock, machine, op);
    if (!bracket.locked()) return result;
    result.locked = true;
    if (!clock.GetEnrollDataWithString(machine, enroll, machine, backup, result.privilege,
                                       values.stringTemplate, values.password)) {
        bracket.reportFailure();
        return result;
    }
    result.read = true;
    op.setStatus(QStringLiteral("GetEnrollData OK"));
    if (backup == 10) result.lines << QString::number(values.password);
    if (backup == 11) {
        // Shown signed where it is typed, unsigned in the list: a card the
        // terminal reports as -1 is 4294967295.
        result.cardNumber = QString::number(values.password);
        result.lines << QString::number(static_cast<uint32_t>(values.password));
    }
    result.lines << values.stringTemplate;
    return result;
}

void writeSingleEnrollment(TFP_CLOCK& clock, int32_t machine, QString& enrollText,
                           QString& cardText, const QString& backupText,
                           const QString& privilegeText, EnrollValues& values, Operator& op) {
    op.setStatus(working());
    if (enrollText.isEmpty()) enrollText = QStringLiteral("0");
    if (cardText.isEmpty()) cardText = QStringLiteral("0");
    const int32_t enroll = toWholeNumber(enrollText);
    const int32_t card = toWholeNumber(cardText);
    const int32_t backup = toWholeNumber(backupText);
    const int32_t privilege = toWholeNumber(privilegeText);
    if (card != 0 && backup == 11) values.password = card;
    DeviceBracket bracket = lockFor(clock, machine, op);
    if (!bracket.locked()) return;
    if (clock.SetEnrollDataWithString(machine, enroll, machine, backup, privilege,
                                      values.stringTemplate, values.password))
        op.setStatus(QStringLiteral("SetEnrollData OK"));
    else
        bracket.reportFailure();
}

void deleteSingleEnrollment(TFP_CLOCK& clock, int32_t machine, const QString& enrollText,
                            const QString& emachineText, const QString& backupText, Operator& op) {
    op.setStatus(working());
    const int32_t enroll = toWholeNumber(enrollText);
    const int32_t emachine = toWholeNumber(emachineText);
    const int32_t backup = toWholeNumber(backupText);
    DeviceBracket bracket = lockFor(clock, machine, op);
    if (!bracket.locked()) return;
    if (clock.DeleteEnrollData(machine, enroll, emachine, backup))
        op.setStatus(QStringLiteral("DeleteEnrollData OK"));
    else
        bracket.reportFailure();
}
