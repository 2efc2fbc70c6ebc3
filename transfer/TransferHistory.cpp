#include "TransferHistory.h"

#include "BatchDelivery.h"
#include "core/AppError.h"
#include "core/DirectoryLock.h"
#include "core/FileDescriptor.h"
#include "core/Operator.h"
#include "core/RegularFile.h"
#include "terminal/TFP_CLOCK.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A month's file larger than this is not ours to read whole (a year of
// twenty terminals every 15 minutes is well under it).
constexpr qint64 kMaxHistoryFileBytes = 256LL * 1024 * 1024;
// Longer lines are not entries the program wrote.
constexpr qsizetype kMaxHistoryLineBytes = 64 * 1024;

struct ResultWord {
    HistoryResult result;
    const char* word;
};
constexpr ResultWord kResultWords[] = {
    {HistoryResult::Ok, "ok"},
    {HistoryResult::NothingNew, "nothing-new"},
    {HistoryResult::Failed, "failed"},
    {HistoryResult::Cancelled, "cancelled"},
};

std::optional<HistoryResult> resultOfWord(const QString& word) {
    for (const ResultWord& w : kResultWords)
        if (word == QLatin1String(w.word)) return w.result;
    return std::nullopt;
}

QString historyFailedText(const QString& path, int error) {
    return QStringLiteral("Aktarım geçmişi yazılamadı (%1): %2. Kayıtlar dosyalara yazıldı; "
                          "yalnız bu aktarımın geçmiş satırı eksik.")
        .arg(path, QString::fromLocal8Bit(std::strerror(error)));
}

// Turkish text, exit code and result of an outcome; the exit codes are the
// headless command's.
struct OutcomeFacts {
    HistoryResult result;
    int exitCode;
    QString message;
};
OutcomeFacts factsOf(const TransferResult& r) {
    const QString error = r.errorName.isEmpty() ? QStringLiteral("bilinmeyen hata") : r.errorName;
    switch (r.outcome) {
    case TransferOutcome::Transferred:
        return {HistoryResult::Ok, 0, {}};
    case TransferOutcome::NoRecords:
        return {HistoryResult::NothingNew, 0, {}};
    case TransferOutcome::Cancelled:
        return {HistoryResult::Cancelled, 130, {}};
    case TransferOutcome::Busy:
        return {HistoryResult::Failed, 4, QStringLiteral("program dizini meşgul")};
    case TransferOutcome::NoDevice:
        return {HistoryResult::Failed, 1, QStringLiteral("terminal kilitlenemedi")};
    case TransferOutcome::ReadFailed:
        return {HistoryResult::Failed, 1,
                QStringLiteral("terminal kayıtları hazırlayamadı: %1").arg(error)};
    case TransferOutcome::Interrupted:
        return {HistoryResult::Failed, 1, interruptedText(r.errorName, r.records)};
    case TransferOutcome::NotConfirmed:
        return {HistoryResult::Failed, 3, notConfirmedText(r.errorName, r.records)};
    case TransferOutcome::IdentityChanged:
        return {HistoryResult::Failed, 3, r.detail};
    }
    return {HistoryResult::Failed, 1, {}};
}

qint64 millisecondsSince(const QDateTime& started) {
    return std::max<qint64>(0, started.msecsTo(QDateTime::currentDateTime()));
}

} // namespace

QString historyResultWord(HistoryResult result) {
    for (const ResultWord& w : kResultWords)
        if (w.result == result) return QLatin1String(w.word);
    return {};
}

QString historyFileName(const QDate& month) {
    return QStringLiteral("gecmis-%1%2.jsonl")
        .arg(month.year(), 4, 10, QLatin1Char('0'))
        .arg(month.month(), 2, 10, QLatin1Char('0'));
}

QByteArray historyLine(const HistoryEntry& e) {
    const QDateTime time = e.time.toOffsetFromUtc(e.time.offsetFromUtc());
    const QJsonObject object{
        {"time", time.toString(Qt::ISODateWithMs)},
        {"terminal", e.terminal},
        {"serial", e.serial},
        {"machine", e.machine},
        {"address", e.address},
        {"command", e.command},
        {"records", double(e.records)},
        {"files", QJsonArray::fromStringList(e.files)},
        {"result", historyResultWord(e.result)},
        {"message", e.message},
        {"exit_code", e.exitCode},
        {"duration_ms", double(e.durationMs)},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<HistoryEntry> parseHistoryLine(QByteArrayView line) {
    if (line.endsWith('\n')) line.chop(1);
    if (line.isEmpty() || line.size() > kMaxHistoryLineBytes) return std::nullopt;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
    const QJsonObject o = doc.object();
    const auto isWhole = [](const QJsonValue& v, double max) {
        return v.isDouble() && v.toDouble() >= 0 && v.toDouble() <= max &&
               v.toDouble() == double(qint64(v.toDouble()));
    };
    const QJsonValue records = o.value("records"), machine = o.value("machine"),
                     exitCode = o.value("exit_code"), duration = o.value("duration_ms");
    if (!o.value("time").isString() || !o.value("command").isString() ||
        !o.value("result").isString() || !isWhole(records, 1e15) || !isWhole(machine, 1e9) ||
        !isWhole(exitCode, 255) || !isWhole(duration, 1e15))
        return std::nullopt;
    HistoryEntry e;
    e.time = QDateTime::fromString(o.value("time").toString(), Qt::ISODateWithMs);
    const auto result = resultOfWord(o.value("result").toString());
    if (!e.time.isValid() || !result) return std::nullopt;
    e.result = *result;
    e.terminal = o.value("terminal").toString();
    e.serial = o.value("serial").toString();
    e.machine = int32_t(machine.toDouble());
    e.address = o.value("address").toString();
    e.command = o.value("command").toString();
    e.records = qint64(records.toDouble());
    for (const QJsonValue& file : o.value("files").toArray())
        if (file.isString()) e.files << file.toString();
    e.message = o.value("message").toString();
    e.exitCode = int(exitCode.toDouble());
    e.durationMs = qint64(duration.toDouble());
    return e;
}

void appendHistory(const DirectoryLock& held, const HistoryEntry& entry) {
    const QString path = held.programDir() + historyFileName(entry.time.date());
    FileDescriptor fd = openOwnFile(path, O_RDWR | O_APPEND | O_CREAT, 0660);
    if (!fd.isOpen()) throw AppError(historyFailedText(path, errno));
    QByteArray bytes = historyLine(entry);
    // A line a kill cut short gets its own end, so this one stays whole.
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw AppError(historyFailedText(path, errno));
    if (st.st_size > 0) {
        char last = '\n';
        if (preadFully(fd.get(), &last, 1, st.st_size - 1) != 1)
            throw AppError(historyFailedText(path, errno ? errno : EIO));
        if (last != '\n') bytes.prepend('\n');
    }
    if (writeFully(fd.get(), bytes.constData(), size_t(bytes.size())) != size_t(bytes.size()) ||
        (::fsync(fd.get()) != 0 && errno != EINVAL))
        throw AppError(historyFailedText(path, errno ? errno : EIO));
    if (!fd.close()) throw AppError(historyFailedText(path, errno));
}

void recordHistory(const DirectoryLock& held, const HistoryEntry& entry, Operator& op) {
    try {
        appendHistory(held, entry);
    } catch (const std::exception& e) {
        op.showMessage(errorText(e), terminalTasksTitle(), Operator::Icon::Warning);
    }
}

std::vector<HistoryEntry> readHistory(const QString& programDir, const QDate& since,
                                      const QDate& until, size_t maxEntries) {
    std::deque<HistoryEntry> entries;
    QDate month(since.isValid() ? since.year() : until.year(),
                since.isValid() ? since.month() : until.month(), 1);
    const QDate last(until.year(), until.month(), 1);
    for (; month <= last; month = month.addMonths(1)) {
        const std::optional<QByteArray> content =
            readRegularFile(programDir + historyFileName(month), kMaxHistoryFileBytes);
        if (!content) continue;
        for (qsizetype at = 0; at < content->size();) {
            qsizetype end = content->indexOf('\n', at);
            if (end < 0) end = content->size(); // the torn last line: parsing refuses it
            if (auto e = parseHistoryLine(QByteArrayView(*content).sliced(at, end - at))) {
                if (!since.isValid() || e->time.toLocalTime().date() >= since) {
                    entries.push_back(std::move(*e));
                    if (entries.size() > maxEntries) entries.pop_front();
                }
            }
            at = end + 1;
        }
    }
    return {std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end())};
}

HistoryEntry historyEntry(const QString& command, const QString& terminal,
                          const TerminalIdentity& who, const TransferResult& result,
                          const QStringList& files, const QDateTime& started) {
    const OutcomeFacts facts = factsOf(result);
    HistoryEntry e;
    e.time = started;
    e.terminal = terminal;
    e.serial = QString::fromLatin1(who.serial);
    e.machine = who.machine;
    e.address = QString::fromUtf8(who.address);
    e.command = command;
    e.records = result.records;
    if (result.records > 0) e.files = files;
    e.result = facts.result;
    e.message = facts.message;
    e.exitCode = facts.exitCode;
    e.durationMs = millisecondsSince(started);
    return e;
}

HistoryEntry failedHistoryEntry(const QString& command, const QString& terminal,
                                const TerminalIdentity& who, const QString& message, int exitCode,
                                const QDateTime& started) {
    HistoryEntry e =
        historyEntry(command, terminal, who, {TransferOutcome::Interrupted, 0}, {}, started);
    e.message = message;
    e.exitCode = exitCode;
    return e;
}

TerminalIdentity knownIdentity(TFP_CLOCK& clock, int32_t machine) {
    return {{}, machine, clock.linkAddress().toUtf8().left(kMaxAddressBytes)};
}

QString notConnectedText(const QString& message, const QString& name, const QString& address) {
    QString reason = message.section(QLatin1Char('\n'), -1).trimmed();
    for (const QString& lead : {QStringLiteral("%1 (%2): ").arg(name.trimmed(), address),
                                name.trimmed() + QStringLiteral(": ")})
        if (reason.startsWith(lead)) {
            reason = reason.mid(lead.size());
            break;
        }
    return QStringLiteral("bağlanamadı: %1").arg(reason);
}
