#include "SinkSubcommands.h"

#include "HeadlessDataModule.h"
#include "core/AppError.h"
#include "core/CentralSettings.h"
#include "sink/CentralDatabase.h"
#include "sink/OutboxPush.h"
#include "sink/SinkStatus.h"

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
    return {
        {QStringLiteral("sink"),
         {QStringLiteral("init [--print]"), QStringLiteral("push"),
          QStringLiteral("status [--json]")},
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
             "son konumu, en geride kalan önce; --json ile JSON."),
         {print, jsonOption()},
         1,
         1,
         [print](const SubcommandCall& call) {
             const QString verb = call.arguments[0];
             const bool json = call.options.isSet(jsonOption());
             const bool printing = call.options.isSet(print);
             if (verb == u"init" && !json) return runInit(call.programDir, printing, call.io);
             if (verb == u"push" && !json && !printing) return runPush(call.programDir, call.io);
             if (verb == u"status" && !printing) return runStatus(call.programDir, json, call.io);
             return usageError(call.io.err,
                               QStringLiteral("sink: init, push ya da status bekleniyor; "
                                              "seçenekler o işe uymalı."),
                               QStringLiteral("sink"));
         }},
    };
}
