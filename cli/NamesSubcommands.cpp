#include "NamesSubcommands.h"

#include "HeadlessDataModule.h"
#include "HeadlessTerminal.h"
#include "core/AppError.h"
#include "core/ConsoleOperator.h"
#include "names/NameSending.h"
#include "names/PersonnelNames.h"

namespace {

// The row "Seçili Personel Adını Terminale Yükle" would send for kartno:
// the first with that text, or with the number's five-digit form.
std::optional<NameRow> rowOfKartno(const std::vector<NameRow>& rows, const QString& kartno) {
    QString wanted = kartno.trimmed();
    bool number = false;
    const int value = wanted.toInt(&number);
    for (const NameRow& row : rows) {
        if (row.kartno == wanted || (number && row.kartno == kartnoOf(value))) return row;
    }
    return std::nullopt;
}

int reportSend(const SendResult& r, const QString& status, const Console& io) {
    QTextStream& out = io.out;
    QTextStream& err = io.err;
    if (!status.isEmpty()) err << status << '\n';
    if (!io.quiet || r.refused > 0) out << "Gönderilen isim: " << r.sent << '\n';
    out.flush();
    err.flush();
    if (r.refused > 0) return failWith(err, refusedNamesText(r));
    return ExitDone;
}

int runNamesFillCommand(const QString& programDir, const Console& io) {
    // Of the status line only the last text, printed at the end: one line per
    // name would drown it.
    ConsoleOperator console(io.err,
                            {.printStatus = false,
                             .progressFd = io.quiet ? -1 : ConsoleOperator::progressOnTerminal()});
    return reportedErrors(io.err, [&] {
        HeadlessDataModule data(programDir, QStringLiteral("names fill"));
        EnrollStore store(data.dm);
        const FillResult r = fillNames(
            data.dm.MyConnection1, data.dm.MyQuery1,
            ReadMySqlSettings(programDir + QStringLiteral("Settings.ini")), store, {}, console);
        if (!io.quiet) {
            for (const QString& line : fillResultLines(r))
                io.out << line << '\n';
            io.out.flush();
        }
        return unlessCancelled(ExitDone);
    });
}

// The names list, read once under the directory's lock for every terminal
// the names go to.
int readNameRows(const QString& programDir, std::vector<NameRow>& rows, QTextStream& err) {
    return reportedErrors(err, [&] {
        HeadlessDataModule data(programDir, QStringLiteral("names send"));
        rows = nameRowsOf(EnrollStore(data.dm), {});
        return int(ExitDone);
    });
}

int runNamesSendCommand(const QString& programDir, const std::vector<NameRow>& rows,
                        const std::optional<QString>& kartno, const QSqlRecord& row,
                        const Console& io) {
    ConsoleOperator console(io.err,
                            {.printStatus = false,
                             .progressFd = io.quiet ? -1 : ConsoleOperator::progressOnTerminal()});
    return reportedErrors(io.err, [&] {
        std::optional<NameRow> selected;
        if (kartno) {
            selected = rowOfKartno(rows, *kartno);
            if (!selected)
                return failWith(
                    io.err, QStringLiteral("İsim listesinde %1 numaralı kart yok.").arg(*kartno));
        }
        HeadlessTerminal terminal(programDir, console);
        if (const int code = terminal.connect(row); code != ExitDone) return code;
        try {
            const SendResult r =
                kartno
                    ? sendSelectedName(terminal.clock, terminal.machineNumber(), selected, console)
                    : sendAllNames(terminal.clock, terminal.machineNumber(), rows, console);
            return unlessCancelled(reportSend(r, console.lastStatus(), io));
        } catch (const NameSendStopped& e) {
            reportSend(e.soFar, console.lastStatus(), io);
            return failWith(io.err, e.text());
        }
    });
}

} // namespace

std::vector<Subcommand> namesSubcommands() {
    const Option all{
        QStringLiteral("all"), {}, QStringLiteral("send: tüm isimleri gönderir (varsayılan)")};
    const Option kartno{QStringLiteral("kartno"), QStringLiteral("N"),
                        QStringLiteral("send: yalnız bu kart numarasının ismini gönderir")};
    const Option terminal = terminalOption();
    return {
        {QStringLiteral("names"),
         {QStringLiteral("fill"),
          QStringLiteral("send [--all | --kartno N] [--terminal AD | --all-terminals [--jobs N]]")},
         QStringLiteral("isimleri PDKS veritabanından alır (fill) ya da terminale yükler (send)"),
         QStringLiteral(
             "fill, \"PDKS Programından İsimleri Al (mysql)\": isim listesinin her satırına "
             "Settings.ini'deki PDKS veritabanından adını yazar; kaç satırın ad aldığını ve "
             "kaçının personel tablosunda bulunmadığını yazar.\n\n"
             "send, \"Tüm Personel Adlarını Terminale Yükle\" ya da --kartno ile \"Seçili "
             "Personel Adını Terminale Yükle\"; gönderilen isim sayısını yazar. "
             "--all-terminals ile listedeki her terminale, --jobs kadarına aynı anda."),
         {all, kartno, terminal, allTerminalsOption(), jobsOption()},
         1,
         1,
         [all, kartno, terminal](const SubcommandCall& call) {
             const QString verb = call.arguments[0];
             const GivenOptions& given = call.options;
             const bool one = given.isSet(kartno);
             if (verb == u"fill" && !one && !given.isSet(all) && !given.isSet(terminal) &&
                 !given.isSet(allTerminalsOption()) && !given.isSet(jobsOption()))
                 return runNamesFillCommand(call.programDir, call.io);
             if (verb == u"send" && !(one && given.isSet(all))) {
                 const std::optional<QString> card =
                     one ? std::optional(given.value(kartno)) : std::nullopt;
                 std::vector<NameRow> rows;
                 if (const int code = readNameRows(call.programDir, rows, call.io.err);
                     code != ExitDone)
                     return code;
                 return runOnChosenTerminals(call, [&](const QSqlRecord& row, const Console& io) {
                     return runNamesSendCommand(call.programDir, rows, card, row, io);
                 });
             }
             return usageError(call.io.err,
                               QStringLiteral("names: fill ya da send bekleniyor; seçenekler o "
                                              "işe uymalı."),
                               QStringLiteral("names"));
         }},
    };
}
