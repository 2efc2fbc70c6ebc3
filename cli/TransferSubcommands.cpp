#include "TransferSubcommands.h"

#include "HeadlessTerminal.h"
#include "core/AppError.h"
#include "core/ConsoleOperator.h"
#include "core/IniFile.h"
#include "transfer/DataFiles.h"
#include "transfer/MemoryCard.h"
#include "transfer/TransferCommands.h"

int runTransferCommand(const QString& programDir, bool all, const TerminalChoice& terminalName,
                       QTextStream& out, QTextStream& err) {
    ConsoleOperator op(out);
    try {
        const bool secondFile =
            readProfileString(programDir + QStringLiteral("Settings.ini"),
                              QStringLiteral("Options"), QStringLiteral("veriDosya2"),
                              QString()) == QStringLiteral("1");
        HeadlessTerminal terminal(programDir, op);
        if (const int code = terminal.connect(terminalName, err); code != ExitDone) return code;

        const TransferResult r =
            all ? downloadAllRecords(terminal.clock, terminal.machineNumber(), programDir,
                                     secondFile, FullDownload::Keep, op)
                : transferNewRecords(terminal.clock, terminal.machineNumber(), programDir,
                                     secondFile, op);
        // The operator has printed the command's own message already; print
        // a line of ours only where the window would have shown none.
        switch (r.outcome) {
        case TransferOutcome::Transferred:
        case TransferOutcome::NoRecords:
            return ExitDone;
        case TransferOutcome::NotConfirmed:
            return ExitNotConfirmed;
        case TransferOutcome::Busy:
        case TransferOutcome::Interrupted:
            return ExitFailed;
        case TransferOutcome::NoDevice:
            return failWith(err, noDeviceText(QStringLiteral("hiçbir kayıt okunmadı")));
        case TransferOutcome::ReadFailed:
            return failWith(err, QStringLiteral("Terminal kayıtları hazırlayamadı: %1")
                                     .arg(r.errorName.isEmpty() ? QStringLiteral("bilinmeyen hata")
                                                                : r.errorName));
        }
        return ExitFailed;
    } catch (const AppError& e) {
        return failWith(err, e.text());
    } catch (const std::exception& e) {
        return failWith(err, errorText(e));
    }
}

int runSdcardCommand(const QString& programDir, const QString& file, QTextStream& out,
                     QTextStream& err) {
    ConsoleOperator op(out);
    try {
        if (!convertMemoryCardFile(file, programDir, op)) return ExitFailed; // busy, said already
        return ExitDone;
    } catch (const AppError& e) {
        return failWith(err, e.text());
    } catch (const std::exception& e) {
        return failWith(err, errorText(e));
    }
}

std::vector<Subcommand> transferSubcommands() {
    const QCommandLineOption all(QStringLiteral("all"),
                                 QStringLiteral("transfer: tüm kayıtları al (silmez)."));
    const QCommandLineOption terminal = terminalOption();
    return {
        {QStringLiteral("transfer"),
         QStringLiteral("[--all] [--terminal AD] [--all-terminals]"),
         QStringLiteral("yeni kayıtları (--all: tüm kayıtları) aktarır"),
         {all, terminal, allTerminalsOption()},
         0,
         0,
         [all](const SubcommandCall& call) {
             return runOnChosenTerminals(call, [&](const TerminalChoice& which) {
                 return runTransferCommand(call.programDir, call.parser.isSet(all), which, call.out,
                                           call.err);
             });
         }},
        {QStringLiteral("sdcard"),
         QStringLiteral("DOSYA"),
         QStringLiteral("hafıza kartı dosyasını veri.txt'ye ekler"),
         {},
         1,
         1,
         [](const SubcommandCall& call) {
             return runSdcardCommand(call.programDir, call.arguments[0], call.out, call.err);
         }},
    };
}
