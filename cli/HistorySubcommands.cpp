#include "HistorySubcommands.h"

#include "core/AppError.h"
#include "transfer/TransferHistory.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

namespace {

Option sinceOption() {
    return {QStringLiteral("since"), QStringLiteral("TARIH"),
            QStringLiteral("bu günden (YYYY-AA-GG) başlayarak; verilmezse geçen aydan")};
}

Option historyTerminalOption() {
    return {QStringLiteral("terminal"), QStringLiteral("AD"),
            QStringLiteral("yalnız bu adlı terminalin aktarımları (büyük/küçük harf ayrımı yok)")};
}

QString foldedName(const QString& name) {
    return QLocale(QLocale::Turkish).toLower(name.trimmed());
}

// How the entry names its terminal: its name, else where it was reached.
QString terminalOf(const HistoryEntry& e) {
    if (!e.terminal.trimmed().isEmpty()) return e.terminal.trimmed();
    if (!e.address.isEmpty()) return e.address;
    return QStringLiteral("makine %1").arg(e.machine);
}

int runHistorySubcommand(const SubcommandCall& call) {
    const GivenOptions& given = call.options;
    QDate since = QDate::currentDate().addMonths(-1);
    since.setDate(since.year(), since.month(), 1);
    if (given.isSet(sinceOption())) {
        const QString text = given.value(sinceOption()).trimmed();
        since = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
        if (!since.isValid() || text.size() != 10)
            return usageError(call.io.err,
                              QStringLiteral("--since YYYY-AA-GG biçiminde bir tarih olmalı "
                                             "(örneğin 2026-12-01): \"%1\"")
                                  .arg(given.value(sinceOption())),
                              QStringLiteral("history"));
    }
    std::vector<HistoryEntry> entries;
    try {
        entries = readHistory(call.programDir, since);
    } catch (const std::exception& e) {
        return failWith(call.io.err, errorText(e));
    }
    const bool byName = given.isSet(historyTerminalOption());
    const QString wanted = foldedName(given.value(historyTerminalOption()));
    QJsonArray array;
    for (const HistoryEntry& e : entries) {
        if (byName && foldedName(e.terminal) != wanted) continue;
        if (given.isSet(jsonOption()))
            array.append(QJsonDocument::fromJson(historyLine(e)).object());
        else
            call.io.out << historyText(e) << '\n';
    }
    if (given.isSet(jsonOption()))
        call.io.out << QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
    call.io.out.flush();
    return ExitDone;
}

} // namespace

QString historyText(const HistoryEntry& e) {
    const QLocale turkish(QLocale::Turkish);
    const QString when = e.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    const QString full =
        e.command == QLatin1String(kHistoryFullDownload) ? QStringLiteral(" (tüm kayıtlar)") : "";
    const QString who = terminalOf(e) + full;
    const QString written =
        e.records > 0 ? QStringLiteral("%1 kayıt → %2")
                            .arg(turkish.toString(e.records), e.files.join(QStringLiteral(", ")))
                      : QString();
    QString what;
    switch (e.result) {
    case HistoryResult::Ok:
        what = who + QStringLiteral(": ") + written;
        break;
    case HistoryResult::NothingNew:
        what = who + QStringLiteral(": aktarılacak kayıt yok");
        break;
    case HistoryResult::Cancelled:
        what = who + QStringLiteral(": iptal edildi") +
               (written.isEmpty() ? QString() : QStringLiteral("; ") + written);
        break;
    case HistoryResult::Failed: {
        const QString where = e.address.isEmpty() || terminalOf(e) == e.address
                                  ? QString()
                                  : QStringLiteral(" (%1)").arg(e.address);
        what = who + where + QStringLiteral(": HATA: ") + e.message.simplified() +
               (written.isEmpty() ? QString() : QStringLiteral(" (") + written + u')');
        break;
    }
    }
    return when + u' ' + what;
}

std::vector<Subcommand> historySubcommands() {
    return {
        {QStringLiteral("history"),
         {QStringLiteral("[--terminal AD] [--since TARIH] [--json]")},
         QStringLiteral("aktarım geçmişini yazar"),
         QStringLiteral(
             "Pencereden, komut satırından ve zamanlayıcıdan yapılan her aktarımı ve tüm "
             "kayıtların alınışını, eskiden yeniye, satır satır yazar: \"2026-12-11 12:05 Giriş: "
             "208 kayıt → veri.txt\"; başarısız olanlar \"HATA: …\" ile, nedeniyle. Geçmiş, "
             "program dizininde ay başına bir dosyadadır (gecmis-202612.jsonl; her satır bir "
             "JSON nesnesi). --since verilmezse geçen ayın başından bugüne, verilirse o günden "
             "bugüne yazar; yalnız bu ayların dosyaları okunur. --json ile satırlar yerine "
             "bir JSON dizisi: time, terminal, serial, machine, address, command (aktarim, "
             "tam-indirme), records, files, result (ok, nothing-new, failed, cancelled), "
             "message, exit_code, duration_ms."),
         {historyTerminalOption(), sinceOption(), jsonOption()},
         0,
         0,
         runHistorySubcommand},
    };
}
