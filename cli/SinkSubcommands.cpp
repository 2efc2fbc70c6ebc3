#include "SinkSubcommands.h"

#include "HeadlessDataModule.h"
#include "HeadlessTerminal.h"
#include "core/AppError.h"
#include "core/CentralOutbox.h"
#include "core/CentralSettings.h"
#include "core/ConsoleOperator.h"
#include "core/DirectoryLock.h"
#include "session/DeviceBracket.h"
#include "sink/CentralDatabase.h"
#include "sink/CentralExport.h"
#include "sink/OutboxPush.h"
#include "sink/SinkStatus.h"
#include "transfer/AttendanceLine.h"
#include "transfer/BatchDelivery.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QLocale>

namespace {

QString pushedText(const PushResult& r) {
    const QLocale tr(QLocale::Turkish);
    return QStringLiteral("Merkeze gönderilen kayıt: %1; kuyrukta kalan: %2")
        .arg(tr.toString(r.sent), tr.toString(r.left));
}

QString busyText() {
    return QStringLiteral("Bu dizinin kuyruğunu başka bir gönderim gönderiyor; kayıtlar "
                          "kuyrukta bekler.");
}

int runPush(const QString& programDir, const Console& io) {
    return reportedErrors(io.err, [&] {
        CentralConnection connection(readCentralSettings(programDir));
        const PushResult r = pushOutbox(programDir, connection);
        if (r.busy) return failWith(io.err, busyText(), ExitBusy);
        if (!io.quiet) io.out << pushedText(r) << '\n';
        io.out.flush();
        return int(ExitDone);
    });
}

int runInit(const QString& programDir, bool print, const Console& io) {
    return reportedErrors(io.err, [&] {
        const CentralSettings settings = readCentralSettings(programDir);
        if (print) {
            io.out << centralSchemaText(settings);
            io.out.flush();
            return int(ExitDone);
        }
        CentralConnection connection(settings);
        initCentralSchema(connection);
        if (!io.quiet)
            io.out << QStringLiteral("Merkez tabloları hazır: %1 (%2)")
                          .arg(settings.database, connection.hostText())
                   << '\n';
        io.out.flush();
        return int(ExitDone);
    });
}

int runStatus(const QString& programDir, bool json, const Console& io) {
    return reportedErrors(io.err, [&] {
        std::optional<CentralConnection> connection;
        if (centralDatabaseConfigured(programDir))
            connection.emplace(readCentralSettings(programDir));
        const SinkStatus s = readSinkStatus(programDir, connection ? &*connection : nullptr);
        if (json)
            io.out << QString::fromUtf8(
                QJsonDocument(sinkStatusJson(s)).toJson(QJsonDocument::Indented));
        else
            for (const QString& line : sinkStatusLines(s))
                io.out << line << '\n';
        io.out.flush();
        // The outbox was told; an unreachable central database is still a failure.
        if (!s.centralError.isEmpty()) return int(ExitFailed);
        return int(ExitDone);
    });
}

int runExport(const QString& programDir, const QString& fromText, const QString& toText,
              const std::optional<QString>& site, const Console& io) {
    const QDate from = parseExportDate(fromText), to = parseExportDate(toText);
    if (!from.isValid() || !to.isValid() || to < from)
        return usageError(io.err,
                          QStringLiteral("sink export: --from ve --to tarih olmalı (2024-03-05 "
                                         "ya da 05.03.2024) ve --from --to'dan sonra olmamalı."),
                          QStringLiteral("sink"));
    return reportedErrors(io.err, [&] {
        CentralConnection connection(readCentralSettings(programDir));
        exportCentralLines(connection, from, to, site,
                           [&](const QByteArray& line) { io.out << QString::fromLatin1(line); });
        io.out.flush();
        return int(ExitDone);
    });
}

long long centralCount(CentralConnection& c, const QByteArray& terminal) {
    try {
        const auto rows = c.select("SELECT COUNT(*) FROM attendance WHERE terminal_serial = " +
                                   sqlBytes(terminal));
        return rows.empty() || !rows[0][0] ? 0 : std::stoll(*rows[0][0]);
    } catch (const v270::mysql::EMySqlException& e) {
        throw AppError(centralErrorText(c, e.Code(), e.what()));
    }
}

// The terminal's whole log, as the transfers would have written each line
// (the new-record mode codes), at its positions from 0 on; into the outbox,
// and pushed: the central table's key takes only what it lacks.
int runBackfill(const QString& programDir, const QSqlRecord& row, const Console& io) {
    ConsoleOperator op(io.err,
                       {.progressFd = io.quiet ? -1 : ConsoleOperator::progressOnTerminal()});
    return reportedErrors(io.err, [&] {
        CentralConnection connection(readCentralSettings(programDir));
        HeadlessTerminal terminal(programDir, op);
        if (const int code = terminal.connect(row); code != ExitDone) return code;
        const int32_t machine = terminal.machineNumber();
        QByteArray lines;
        long long records = 0;
        TerminalIdentity identity;
        {
            DeviceBracket bracket(terminal.clock, machine,
                                  DeviceBracket::ReleaseAfterFailedLock::Yes, op,
                                  FailureReport::None);
            if (!bracket.locked())
                return failWith(io.err, noDeviceText(QStringLiteral("hiçbir kayıt okunmadı")),
                                terminal.refusedLockCode());
            identity = terminalIdentity(terminal.clock, machine);
            if (!terminal.clock.ReadAllGeneralLogData(machine))
                return failWith(io.err, QStringLiteral("Terminal kayıtları hazırlayamadı: %1")
                                            .arg(bracket.lastErrorName()));
            for (;;) {
                if (records % 256 == 0 && op.cancelRequested()) return unlessCancelled(ExitDone);
                AttendanceRecord r;
                int32_t unused1 = 0, unused2 = 0;
                if (!terminal.clock.GetAllGeneralLogData(machine, unused1, r.enrollNumber, unused2,
                                                         r.modeWord, r.year, r.month, r.day, r.hour,
                                                         r.minute))
                    break;
                appendAttendanceLine(lines, r, machine, newRecordModeCode(r.modeWord));
                ++records;
            }
            int32_t code = SUCCESS;
            terminal.clock.GetLastError(code);
            if (code != SUCCESS && code != ERR_LOG_END)
                return failWith(io.err, QStringLiteral("Terminalin kayıtları okunurken bağlantı "
                                                       "kesildi (%1); hiçbiri merkeze eklenmedi.")
                                            .arg(deviceErrorName(code)));
        }
        const QByteArray key = centralTerminalKey(identity.serial, identity.address, machine);
        {
            const std::optional<DirectoryLock> lock =
                lockProgramDirectory(programDir, QStringLiteral("sink backfill"), op);
            if (!lock) return unlessCancelled(int(ExitBusy));
            addToOutbox(*lock, key, machine, 0, lines, records, QDateTime::currentSecsSinceEpoch());
        }
        const long long before = centralCount(connection, key);
        const PushResult pushed = pushOutbox(programDir, connection);
        if (pushed.busy) return failWith(io.err, busyText(), ExitBusy);
        const long long added = centralCount(connection, key) - before;
        if (!io.quiet)
            io.out << QStringLiteral("%1: terminalde %2 kayıt; merkeze eklenen: %3")
                          .arg(terminalName(row), QLocale(QLocale::Turkish).toString(records),
                               QLocale(QLocale::Turkish).toString(added))
                   << '\n';
        io.out.flush();
        return int(ExitDone);
    });
}

} // namespace

void pushAfterTransfer(const QString& programDir, const Console& io) {
    try {
        if (!centralDatabaseConfigured(programDir)) return;
        CentralConnection connection(readCentralSettings(programDir));
        PushOptions options;
        // A transfer run from cron must not hang on a central database
        // that is down: a few tries, and a running push is left to finish.
        options.attempts = 3;
        options.lockWaitMs = 0;
        const PushResult r = pushOutbox(programDir, connection, options);
        if (r.busy)
            io.err << busyText() << '\n';
        else if (!io.quiet && r.sent > 0)
            io.err << pushedText(r) << '\n';
    } catch (const AppError& e) {
        io.err << QStringLiteral("Merkeze gönderilemedi: %1").arg(e.text()) << '\n';
    } catch (const std::exception& e) {
        io.err << QStringLiteral("Merkeze gönderilemedi: %1").arg(errorText(e)) << '\n';
    }
    io.err.flush();
}

std::vector<Subcommand> sinkSubcommands() {
    const Option print{QStringLiteral("print"),
                       {},
                       QStringLiteral("init: tabloları kurmak yerine SQL'ini ve GRANT'ı yazar")};
    const Option from{QStringLiteral("from"), QStringLiteral("TARİH"),
                      QStringLiteral("export: bu günden (2024-03-05 ya da 05.03.2024)")};
    const Option to{QStringLiteral("to"), QStringLiteral("TARİH"),
                    QStringLiteral("export: bu güne kadar (o gün dahil)")};
    const Option site{QStringLiteral("site"), QStringLiteral("YER"),
                      QStringLiteral("export: yalnız bu yerin kayıtları")};
    return {
        {QStringLiteral("sink"),
         {QStringLiteral("init [--print]"), QStringLiteral("push"),
          QStringLiteral("status [--json]"),
          QStringLiteral("export --from TARİH --to TARİH [--site YER]"),
          QStringLiteral("backfill [--terminal AD]")},
         QStringLiteral("kayıtları merkez veritabanına da gönderir ([Merkez] ayarları)"),
         QStringLiteral(
             "Settings.ini'de [Merkez] Hosts verildiyse her aktarım, kayıtları terminale "
             "onaylatmadan önce program dizinindeki kuyruğa (.merkez.outbox) da yazar; "
             "aktarımdan sonra ve \"sink push\" ile kuyruk merkez veritabanına gönderilir. "
             "Her kayıt merkezde (terminal seri numarası, kayıt kuşağı, konum) ile bir kez "
             "bulunur.\n\n"
             "init: eksik tabloları kurar (tablo kurma yetkisi olan bir hesapla); --print ile "
             "kurmak yerine tabloların SQL'ini ve gönderim hesabının GRANT'ını yazar.\n\n"
             "push: kuyrukta bekleyenleri 1.000'erlik işlemlerle gönderir; bir sunucu "
             "yanıt vermezse sıradakine geçer. Gönderilen ve kalan kayıt sayısını yazar.\n\n"
             "status: kuyrukta bekleyen kayıt sayısı, en eskisi ve merkezdeki her terminalin "
             "son konumu, en geride kalan önce; --json ile JSON.\n\n"
             "export: merkezdeki kayıtların veri.txt satırlarını, yerlerin yazdığı gibi, "
             "kayıt zamanı sırasıyla standart çıktıya yazar; --site ile yalnız bir yerin.\n\n"
             "backfill: terminale \"BAGLAN\" gibi bağlanır, tüm kayıtlarını okur (terminalden "
             "silmez, yeni kayıt işaretini değiştirmez) ve merkezde olmayanları ekler; okunan ve "
             "eklenen kayıt sayısını yazar."),
         {print, jsonOption(), from, to, site, terminalOption()},
         1,
         1,
         [print, from, to, site](const SubcommandCall& call) {
             const QString verb = call.arguments[0];
             const bool json = call.options.isSet(jsonOption());
             const bool printing = call.options.isSet(print);
             const bool exporting =
                 call.options.isSet(from) || call.options.isSet(to) || call.options.isSet(site);
             if (verb == u"export" && !json && !printing && call.options.isSet(from) &&
                 call.options.isSet(to))
                 return runExport(call.programDir, call.options.value(from), call.options.value(to),
                                  call.options.isSet(site) ? std::optional(call.options.value(site))
                                                           : std::nullopt,
                                  call.io);
             if (verb == u"backfill" && !json && !printing && !exporting)
                 return runOnChosenTerminals(
                     call,
                     [&](const QSqlRecord& row, const Console& io) {
                         return runBackfill(call.programDir, row, io);
                     },
                     1);
             if (call.options.isSet(terminalOption()))
                 return usageError(call.io.err,
                                   QStringLiteral("sink: --terminal yalnız backfill ile."),
                                   QStringLiteral("sink"));
             if (exporting)
                 return usageError(call.io.err,
                                   QStringLiteral("sink: --from, --to ve --site yalnız export "
                                                  "ile, --from ve --to birlikte verilir."),
                                   QStringLiteral("sink"));
             if (verb == u"init" && !json) return runInit(call.programDir, printing, call.io);
             if (verb == u"push" && !json && !printing) return runPush(call.programDir, call.io);
             if (verb == u"status" && !printing) return runStatus(call.programDir, json, call.io);
             return usageError(
                 call.io.err,
                 QStringLiteral("sink: init, push, status, export ya da backfill bekleniyor; "
                                "seçenekler o işe uymalı."),
                 QStringLiteral("sink"));
         }},
    };
}
