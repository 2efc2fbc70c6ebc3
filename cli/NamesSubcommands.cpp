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

int reportSend(const SendResult& r, const QString& status, QTextStream& out, QTextStream& err) {
    if (!status.isEmpty()) out << status << '\n';
    out << "Gönderilen isim: " << r.sent << '\n';
    out.flush();
    if (r.refused > 0)
        return failWith(err,
                        QStringLiteral("Terminal %1 ismi almadı (%2).").arg(r.refused).arg(status));
    return ExitDone;
}

} // namespace

int runNamesFillCommand(const QString& programDir, QTextStream& out, QTextStream& err) {
    // Of the status line only the last text, printed at the end: one line per
    // name would drown it.
    ConsoleOperator console(out, {.printStatus = false});
    try {
        HeadlessDataModule data(programDir, QStringLiteral("names fill"));
        EnrollStore store(data.dm);
        const FillResult r = fillNames(
            data.dm.MyConnection1, data.dm.MyQuery1,
            ReadMySqlSettings(programDir + QStringLiteral("Settings.ini")), store, {}, console);
        for (const QString& line : fillResultLines(r))
            out << line << '\n';
        out.flush();
        return ExitDone;
    } catch (const AppError& e) {
        return failWith(err, e.text());
    } catch (const std::exception& e) {
        return failWith(err, errorText(e));
    }
}

int runNamesSendCommand(const QString& programDir, const std::optional<QString>& kartno,
                        const QString& terminalName, QTextStream& out, QTextStream& err) {
    // Of the status line only the last text, printed at the end: one line per
    // name would drown it.
    ConsoleOperator console(out, {.printStatus = false});
    try {
        HeadlessDataModule data(programDir, QStringLiteral("names send"));
        const std::vector<NameRow> rows = nameRowsOf(EnrollStore(data.dm), {});
        std::optional<NameRow> selected;
        if (kartno) {
            selected = rowOfKartno(rows, *kartno);
            if (!selected)
                return failWith(
                    err, QStringLiteral("İsim listesinde %1 numaralı kart yok.").arg(*kartno));
        }
        HeadlessTerminal terminal(programDir, console);
        if (const int code = terminal.connect(terminalName, err); code != ExitDone) return code;
        try {
            const SendResult r =
                kartno
                    ? sendSelectedName(terminal.clock, terminal.machineNumber(), selected, console)
                    : sendAllNames(terminal.clock, terminal.machineNumber(), rows, console);
            return reportSend(r, console.lastStatus(), out, err);
        } catch (const NameSendStopped& e) {
            reportSend(e.soFar, console.lastStatus(), out, err);
            return failWith(err, e.text());
        }
    } catch (const AppError& e) {
        return failWith(err, e.text());
    } catch (const std::exception& e) {
        return failWith(err, errorText(e));
    }
}

std::vector<Subcommand> namesSubcommands() {
    const QCommandLineOption all(QStringLiteral("all"),
                                 QStringLiteral("names send: tüm isimleri gönder (varsayılan)."));
    const QCommandLineOption kartno(QStringLiteral("kartno"),
                                    QStringLiteral("names send: yalnız bu kart numarasının ismi."),
                                    QStringLiteral("N"));
    const QCommandLineOption terminal = terminalOption();
    return {
        {QStringLiteral("names"),
         QStringLiteral("fill | send [--all | --kartno N] [--terminal AD]"),
         QStringLiteral("isimleri PDKS veritabanından alır (fill) ya da terminale yükler (send)"),
         {all, kartno, terminal},
         1,
         1,
         [all, kartno, terminal](const SubcommandCall& call) {
             const QString verb = call.arguments[0];
             const bool one = call.parser.isSet(kartno);
             if (verb == u"fill" && !one && !call.parser.isSet(all) && !call.parser.isSet(terminal))
                 return runNamesFillCommand(call.programDir, call.out, call.err);
             if (verb == u"send" && !(one && call.parser.isSet(all)))
                 return runNamesSendCommand(
                     call.programDir, one ? std::optional(call.parser.value(kartno)) : std::nullopt,
                     call.parser.value(terminal), call.out, call.err);
             return failWith(call.err,
                             QStringLiteral("Kullanım: v270-aktarim [--dir DIR] names fill\n"
                                            "          v270-aktarim [--dir DIR] names send "
                                            "[--all | --kartno N] [--terminal AD]"));
         }},
    };
}
