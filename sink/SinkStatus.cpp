#include "SinkStatus.h"

#include <QDateTime>
#include <QJsonArray>
#include <QLocale>
#include <QTimeZone>

using v270::mysql::EMySqlException;

namespace {

QString textOf(const std::optional<std::string>& v) {
    return v ? QString::fromUtf8(v->data(), qsizetype(v->size())) : QString();
}

// Outside bytes, shown as printable text only.
QString printable(const QByteArray& bytes) {
    QString text = QString::fromUtf8(bytes);
    text.removeIf([](QChar c) { return !c.isPrint(); });
    return text;
}

QString receivedText(int64_t seconds) {
    return QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc())
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
}

} // namespace

SinkStatus readSinkStatus(const QString& programDir, CentralConnection* connection) {
    SinkStatus s;
    OutboxReader outbox(programDir);
    s.outboxRecords = outbox.countFrom(readOutboxCursor(programDir), &s.oldest);
    if (!connection) return s;
    try {
        // Lagging first: the terminal heard from longest ago.
        for (const SqlRow& row : connection->select(
                 "SELECT terminal_serial, site, machine_number, last_position, "
                 "DATE_FORMAT(last_punch, '%Y-%m-%d %H:%i:%s'), "
                 "DATE_FORMAT(last_contact, '%Y-%m-%d %H:%i:%s') FROM terminal_progress "
                 "ORDER BY last_contact, site, terminal_serial")) {
            if (row.size() != 6) continue;
            TerminalProgress p;
            p.terminal = row[0] ? QByteArray::fromStdString(*row[0]) : QByteArray();
            p.site = textOf(row[1]);
            p.machine = textOf(row[2]).toLongLong();
            p.lastPosition = textOf(row[3]).toLongLong();
            p.lastPunch = textOf(row[4]);
            p.lastContact = textOf(row[5]);
            s.terminals.push_back(std::move(p));
        }
    } catch (const EMySqlException& e) {
        s.centralError = centralErrorText(*connection, e.Code(), e.what());
    }
    return s;
}

QStringList sinkStatusLines(const SinkStatus& s) {
    const QLocale tr(QLocale::Turkish);
    QStringList lines;
    lines << QStringLiteral("Kuyrukta gönderilmemiş kayıt: %1").arg(tr.toString(s.outboxRecords));
    if (s.oldest)
        lines << QStringLiteral("En eski gönderilmemiş kayıt: %1 (terminal %2, konum %3, alındı "
                                "%4)")
                     .arg(printable(s.oldest->line.trimmed()), printable(s.oldest->terminal))
                     .arg(s.oldest->position)
                     .arg(receivedText(s.oldest->received));
    if (!s.centralError.isEmpty()) {
        lines << s.centralError;
        return lines;
    }
    lines << QStringLiteral("Merkezdeki terminaller (en geride kalan önce): %1")
                 .arg(s.terminals.size());
    for (const TerminalProgress& p : s.terminals)
        lines << QStringLiteral("  %1  yer %2  makine %3  son konum %4  son kayıt %5  son "
                                "temas %6 UTC")
                     .arg(printable(p.terminal), p.site)
                     .arg(p.machine)
                     .arg(p.lastPosition)
                     .arg(p.lastPunch.isEmpty() ? QStringLiteral("-") : p.lastPunch, p.lastContact);
    return lines;
}

QJsonObject sinkStatusJson(const SinkStatus& s) {
    QJsonObject o{{"outbox_records", s.outboxRecords}};
    if (s.oldest)
        o.insert("oldest_unsent", QJsonObject{{"terminal", printable(s.oldest->terminal)},
                                              {"position", qint64(s.oldest->position)},
                                              {"line", printable(s.oldest->line.trimmed())},
                                              {"received", receivedText(s.oldest->received)}});
    else
        o.insert("oldest_unsent", QJsonValue::Null);
    if (!s.centralError.isEmpty()) o.insert("central_error", s.centralError);
    QJsonArray terminals;
    for (const TerminalProgress& p : s.terminals)
        terminals.append(
            QJsonObject{{"terminal", printable(p.terminal)},
                        {"site", p.site},
                        {"machine", p.machine},
                        {"last_position", p.lastPosition},
                        {"last_punch", p.lastPunch.isEmpty() ? QJsonValue(QJsonValue::Null)
                                                             : QJsonValue(p.lastPunch)},
                        {"last_contact", p.lastContact}});
    o.insert("terminals", terminals);
    return o;
}
