#include "ClockCommands.h"

#include "core/Operator.h"
#include "core/TextHelpers.h"
#include "session/DeviceBracket.h"
#include "terminal/TFP_CLOCK.h"

QString clockSetText() {
    return QStringLiteral("cihaz tarih saati ayarlandı..");
}

QString clockNotSetText() {
    return QStringLiteral("HATA...tarih saat ayarlanamadı..");
}

QString deviceClockText(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute) {
    const auto two = [](int32_t v) { return ZeroPad(QString::number(v), 2); };
    return QStringLiteral("Tarih = ") + two(day) + u'/' + two(month) + u'/' +
           QString::number(year) + u'\r' + QStringLiteral("Saat = ") + two(hour) + u':' +
           two(minute);
}

ClockResult setDeviceClock(TFP_CLOCK& clock, int32_t machine, Operator& op) {
    BusyCursor busy(op);
    DeviceBracket bracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::No, op,
                          FailureReport::None);
    ClockResult result;
    if (!bracket.locked()) return result;
    if (clock.SetDeviceTime(machine)) {
        result.outcome = ClockOutcome::Done;
        result.text = clockSetText();
    } else {
        result.outcome = ClockOutcome::Failed;
        result.text = clockNotSetText();
        result.errorName = bracket.lastErrorName();
    }
    op.showMessage(result.text, applicationTitle(), Operator::Icon::None);
    return result;
}

ClockResult readDeviceClock(TFP_CLOCK& clock, int32_t machine, Operator& op) {
    BusyCursor busy(op);
    DeviceBracket bracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::No, op,
                          FailureReport::None);
    ClockResult result;
    if (!bracket.locked()) return result;
    int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!clock.GetDeviceTime(machine, year, month, day, hour, minute, second)) {
        result.outcome = ClockOutcome::Failed;
        result.errorName = bracket.lastErrorName();
        return result;
    }
    result.readAt = QDateTime::currentDateTime();
    result.outcome = ClockOutcome::Done;
    result.deviceTime = QDateTime(QDate(year, month, day), QTime(hour, minute, second));
    result.text = deviceClockText(year, month, day, hour, minute);
    op.showMessage(result.text, applicationTitle(), Operator::Icon::None);
    return result;
}
