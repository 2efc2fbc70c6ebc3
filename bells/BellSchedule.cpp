#include "BellSchedule.h"

#include "core/Operator.h"
#include "session/DeviceBracket.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

constexpr size_t kHours = kBellCount;
constexpr size_t kMinutes = 2 * kBellCount;
constexpr int kMaxHour = 23;
constexpr int kMaxMinute = 59;
constexpr int kMaxRingDuration = 255;
constexpr qsizetype kMaxJsonBytes = 64 * 1024;

QString twoDigits(int value) {
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

void tell(Operator& op, const QString& text) {
    op.showMessage(text, applicationTitle(), Operator::Icon::None);
}

QString notFoundText() {
    return QStringLiteral("Terminal Bulunamadı");
}

QString failedText() {
    return QStringLiteral("hata");
}

// A JSON number that is a whole number of sensible size; the verdict decides
// the range later.
std::optional<qint64> wholeNumber(const QJsonValue& v) {
    if (!v.isDouble()) return {};
    const double d = v.toDouble();
    if (!std::isfinite(d) || std::floor(d) != d || std::abs(d) > 1e15) return {};
    return static_cast<qint64>(d);
}

bool hasExactlyKeys(const QJsonObject& o, const QStringList& keys) {
    return o.size() == keys.size() &&
           std::all_of(keys.begin(), keys.end(), [&](const QString& k) { return o.contains(k); });
}

} // namespace

QString invalidBellValueText() {
    return QStringLiteral("Invalid Value.");
}

std::optional<int> bellFieldValue(const QString& text, int max) {
    const QString digits = text.trimmed();
    if (digits.isEmpty()) return {};
    int value = 0;
    for (QChar c : digits) {
        if (c < u'0' || c > u'9') return {};
        value = std::min(value * 10 + (c.unicode() - u'0'), max + 1);
    }
    if (value > max) return {};
    return value;
}

bool isValidBellForm(const BellForm& form) {
    if (!bellFieldValue(form.ringDuration, kMaxRingDuration)) return false;
    for (size_t i = 0; i < kBellCount; ++i) {
        if (!bellFieldValue(form.hour[i], kMaxHour) || !bellFieldValue(form.minute[i], kMaxMinute))
            return false;
    }
    return true;
}

BellForm BellSchedule::clear() {
    std::fill_n(table_.begin(), 3 * kBellCount, uint8_t{0});
    return display();
}

BellForm BellSchedule::display() {
    BellForm form;
    for (size_t i = 0; i < kBellCount; ++i) {
        if (table_[i] > 1) table_[i] = 0;
        form.on[i] = table_[i] == 1;
        form.hour[i] = twoDigits(table_[kHours + i]);
        form.minute[i] = twoDigits(table_[kMinutes + i]);
    }
    form.ringDuration = QString::number(ringDuration_);
    return form;
}

bool BellSchedule::collect(const BellForm& form) {
    if (!isValidBellForm(form)) return false;
    for (size_t i = 0; i < kBellCount; ++i) {
        table_[i] = form.on[i] ? 1 : 0;
        table_[kHours + i] = static_cast<uint8_t>(*bellFieldValue(form.hour[i], kMaxHour));
        table_[kMinutes + i] = static_cast<uint8_t>(*bellFieldValue(form.minute[i], kMaxMinute));
    }
    ringDuration_ = *bellFieldValue(form.ringDuration, kMaxRingDuration);
    return true;
}

bool BellSchedule::read(TFP_CLOCK& clock, int32_t machine, BellFormView& view, Operator& op) {
    DeviceBracket bracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::No, op,
                          FailureReport::None);
    if (!bracket.locked()) {
        tell(op, notFoundText());
        return false;
    }
    // Read into a copy: a refused read leaves the table as it was.
    BellTable fetched = table_;
    int32_t ring = ringDuration_;
    if (!clock.GetBellTime(machine, ring, fetched)) {
        tell(op, notFoundText());
        return false;
    }
    table_ = fetched;
    ringDuration_ = ring;
    view.showForm(display());
    if (bracket.release()) tell(op, QStringLiteral("Terminalden Zil Saatleri Alındı.."));
    return true;
}

BellSendOutcome BellSchedule::send(TFP_CLOCK& clock, int32_t machine, BellFormView& view,
                                   Operator& op, bool ask) {
    if (ask && !op.askYesNo(QStringLiteral("Zil saatleri terminale gönderilsin mi...?"),
                            QStringLiteral("UYARI"))) {
        return BellSendOutcome::Declined;
    }
    // The verdict comes before anything goes to the terminal.
    if (!collect(view.form())) {
        op.showMessage(invalidBellValueText(), QStringLiteral("Bell Info"), Operator::Icon::None);
        return BellSendOutcome::Invalid;
    }
    DeviceBracket bracket(clock, machine, DeviceBracket::ReleaseAfterFailedLock::No, op,
                          FailureReport::None);
    if (!bracket.locked()) {
        tell(op, failedText());
        return BellSendOutcome::NoDevice;
    }
    if (!clock.SetBellTime(machine, ringDuration_, table_)) {
        tell(op, failedText());
        return BellSendOutcome::Refused;
    }
    view.showForm(display());
    tell(op, QStringLiteral("Gönderildi."));
    return BellSendOutcome::Sent;
}

QByteArray BellSchedule::toJson() const {
    QByteArray json = "{\"ring_duration\": " + QByteArray::number(ringDuration_) + ", \"bells\": [";
    for (size_t i = 0; i < kBellCount; ++i) {
        json += i == 0 ? "\n  " : ",\n  ";
        json += "{\"on\": " + QByteArray(table_[i] == 1 ? "1" : "0") +
                ", \"hour\": " + QByteArray::number(table_[kHours + i]) +
                ", \"minute\": " + QByteArray::number(table_[kMinutes + i]) + "}";
    }
    json += "\n]}\n";
    return json;
}

std::optional<BellForm> bellFormFromJson(const QByteArray& json, QString* error) {
    const auto fail = [error](const QString& why) -> std::optional<BellForm> {
        if (error) *error = why;
        return std::nullopt;
    };
    if (json.size() > kMaxJsonBytes)
        return fail(QStringLiteral("zil saatleri %1 bayttan uzun olamaz").arg(kMaxJsonBytes));
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (doc.isNull())
        return fail(QStringLiteral("JSON okunamadı (%1. bayt): %2")
                        .arg(parseError.offset)
                        .arg(parseError.errorString()));
    if (!doc.isObject()) return fail(QStringLiteral("JSON bir nesne olmalı"));
    const QJsonObject top = doc.object();
    if (!hasExactlyKeys(top, {QStringLiteral("ring_duration"), QStringLiteral("bells")}))
        return fail(QStringLiteral("yalnız \"ring_duration\" ve \"bells\" anahtarları olmalı"));

    BellForm form;
    const std::optional<qint64> ring = wholeNumber(top.value(QStringLiteral("ring_duration")));
    if (!ring) return fail(QStringLiteral("\"ring_duration\" tam sayı olmalı"));
    form.ringDuration = QString::number(*ring);

    const QJsonValue bells = top.value(QStringLiteral("bells"));
    if (!bells.isArray() || bells.toArray().size() != kBellCount)
        return fail(QStringLiteral("\"bells\" %1 zilden oluşan bir dizi olmalı").arg(kBellCount));
    const QJsonArray list = bells.toArray();
    for (size_t i = 0; i < kBellCount; ++i) {
        const QJsonValue bell = list.at(static_cast<qsizetype>(i));
        const QString which = QStringLiteral("%1. zil: ").arg(i + 1);
        if (!bell.isObject() ||
            !hasExactlyKeys(bell.toObject(), {QStringLiteral("on"), QStringLiteral("hour"),
                                              QStringLiteral("minute")}))
            return fail(which + QStringLiteral("yalnız \"on\", \"hour\" ve \"minute\" olmalı"));
        const QJsonObject o = bell.toObject();
        const std::optional<qint64> on = wholeNumber(o.value(QStringLiteral("on")));
        const std::optional<qint64> hour = wholeNumber(o.value(QStringLiteral("hour")));
        const std::optional<qint64> minute = wholeNumber(o.value(QStringLiteral("minute")));
        if (!on || (*on != 0 && *on != 1))
            return fail(which + QStringLiteral("\"on\" 0 ya da 1 olmalı"));
        if (!hour || !minute)
            return fail(which + QStringLiteral("\"hour\" ve \"minute\" tam sayı olmalı"));
        form.on[i] = *on == 1;
        form.hour[i] = QString::number(*hour);
        form.minute[i] = QString::number(*minute);
    }
    return form;
}
