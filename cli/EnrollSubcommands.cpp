#include "EnrollSubcommands.h"

#include "HeadlessDataModule.h"
#include "HeadlessTerminal.h"
#include "core/AppError.h"
#include "core/ConsoleOperator.h"
#include "core/Database.h"
#include "enroll/EnrollCommands.h"
#include "names/NameSending.h"

#include <set>

namespace {

// Prints messages (the connection failure) as they come; of the status line
// only its last text, which the command prints at its end. Answers Yes: the
// operator asked for the command by name.
class EnrollConsole : public ConsoleOperator, public EnrollScreen {
  public:
    EnrollConsole(QTextStream& out, bool quiet)
        : ConsoleOperator(out, {.printStatus = false,
                                .answerYes = true,
                                .progressFd = quiet ? -1 : ConsoleOperator::progressOnTerminal()}) {
    }
    void clearLog() override {}
    void addLogLine(const QString&) override {}
    void setPosition(const QString&) override {}
    void setUserName(const QString&) override {}
    void showNameList() override {}
};

// Both take the data module of the command, which holds the directory's
// lock for the whole command: a copy is one command.
int download(HeadlessDataModule& data, const QString& programDir, const QSqlRecord& row,
             EnrollValues& values, const Console& io) {
    QTextStream& out = io.out;
    QTextStream& err = io.err;
    EnrollConsole console(err, io.quiet);
    HeadlessTerminal terminal(programDir, console);
    if (const int code = terminal.connect(row); code != ExitDone) return code;
    EnrollStore store(data.dm);
    const DownloadResult r =
        downloadEnrollments(terminal.clock, terminal.machineNumber(), store, values, console,
                            console, terminal.session.connectedName);
    if (!io.quiet && (r.outcome == DownloadResult::Outcome::Done ||
                      r.outcome == DownloadResult::Outcome::Interrupted ||
                      r.outcome == DownloadResult::Outcome::Cancelled)) {
        // Only a whole download replaces the store; what else was read is gone.
        out << "Saklanan kayıt: " << (r.complete ? r.stored : 0) << '\n';
        if (r.complete)
            out << "Double ID: " << r.doubles << '\n';
        else
            out << "Okunup saklanmayan kayıt: " << r.stored << '\n';
        if (r.skipped > 0) out << "Okunamayan kayıt: " << r.skipped << '\n';
    }
    // The status tells a download that did not replace the store, and why.
    if (!console.lastStatus().isEmpty()) err << console.lastStatus() << '\n';
    out.flush();
    err.flush();
    if (ConsoleOperator::interrupted()) return int(ExitCancelled);
    switch (r.outcome) {
    case DownloadResult::Outcome::Done:
        return r.complete ? ExitDone : ExitFailed;
    case DownloadResult::Outcome::NoDevice:
        return failWith(err, noDeviceText(), terminal.refusedLockCode());
    case DownloadResult::Outcome::ReadFailed:
        return failWith(
            err, QStringLiteral("Terminal parmakizi listesini hazırlayamadı: %1").arg(r.errorName));
    case DownloadResult::Outcome::Interrupted:
        return ExitFailed;
    case DownloadResult::Outcome::Cancelled:
        return ExitCancelled;
    }
    return ExitFailed;
}

// The names the download stored, once per user, for the users the upload
// wrote: the terminal dropped its names with its enrollments when cleared.
std::vector<NameRow> namesOfSentUsers(const EnrollStore& store, const std::set<int32_t>& sent) {
    std::vector<NameRow> rows;
    std::set<QString> seen;
    for (const NameRow& row : nameRowsOf(store, {})) {
        bool number = false;
        const int enroll = row.kartno.toInt(&number);
        if (!number || !sent.count(enroll) || !seen.insert(row.kartno).second) continue;
        rows.push_back(row);
    }
    return rows;
}

int upload(HeadlessDataModule& data, const QString& programDir, const QSqlRecord& row, bool clear,
           bool sendNames, EnrollValues& values, const Console& io) {
    QTextStream& out = io.out;
    QTextStream& err = io.err;
    EnrollConsole console(err, io.quiet);
    HeadlessTerminal terminal(programDir, console);
    if (const int code = terminal.connect(row); code != ExitDone) return code;
    EnrollStore store(data.dm);
    const UploadResult r = uploadEnrollments(terminal.clock, terminal.machineNumber(), store,
                                             values, clear, console, console);
    // Its text is out already, as the message the window shows.
    if (r.outcome == UploadResult::Outcome::StoreUnfit) return ExitFailed;
    if (r.outcome != UploadResult::Outcome::NoDevice && (!io.quiet || r.refused + r.unfit > 0)) {
        out << "Gönderilen satır: " << r.sent << '\n';
        if (r.refused > 0) out << "Reddedilen satır: " << r.refused << '\n';
        if (r.unfit > 0) out << "Gönderilmeyen hatalı satır: " << r.unfit << '\n';
    }
    if (!console.lastStatus().isEmpty()) err << console.lastStatus() << '\n';
    out.flush();
    err.flush();
    if (r.outcome == UploadResult::Outcome::NoDevice)
        return failWith(err, noDeviceText(), terminal.refusedLockCode());
    if (ConsoleOperator::interrupted() || r.outcome == UploadResult::Outcome::Cancelled)
        return int(ExitCancelled);
    if (r.outcome == UploadResult::Outcome::Interrupted)
        return failWith(err, interruptedUploadText(r.errorName, r.sent));
    SendResult names;
    if (sendNames) {
        names = sendAllNames(terminal.clock, terminal.machineNumber(),
                             namesOfSentUsers(store, r.sentEnrolls), console);
        if (names.sent + names.refused > 0) err << console.lastStatus() << '\n';
        if (!io.quiet || names.refused > 0) out << "Gönderilen isim: " << names.sent << '\n';
        out.flush();
        err.flush();
    }
    if (r.clearFailed)
        return failWith(err, QStringLiteral("Terminaldeki parmakizleri silinemedi; "
                                            "yükleme silmeden yapıldı."));
    if (r.refused > 0)
        return failWith(err, QStringLiteral("%1 satırı terminal kabul etmedi (son hata: %2).")
                                 .arg(r.refused)
                                 .arg(r.errorName));
    if (r.unfit > 0) return ExitFailed; // said already, as the window's message
    if (names.refused > 0) return failWith(err, refusedNamesText(names));
    return ExitDone;
}

std::optional<QString> given(const GivenOptions& options, const QString& name) {
    return options.isSet(name) ? std::optional(options.value(name)) : std::nullopt;
}

Option clearOption() {
    return {QStringLiteral("clear"),
            {},
            QStringLiteral("upload/copy: önce terminaldeki tüm parmakizlerini siler")};
}

Option fromOption() {
    return {QStringLiteral("from"), QStringLiteral("AD"),
            QStringLiteral("copy: parmakizlerinin alınacağı terminal")};
}

Option toOption() {
    return {QStringLiteral("to"), QStringLiteral("AD"),
            QStringLiteral("copy: parmakizlerinin yükleneceği terminal")};
}

int enrollUsageError(QTextStream& err, const QString& text) {
    return usageError(err, text, QStringLiteral("enroll"));
}

int runEnrollDownload(const SubcommandCall& call) {
    const GivenOptions& p = call.options;
    const Console& io = call.io;
    if (p.isSet(clearOption()) || p.isSet(fromOption()) || p.isSet(toOption()))
        return enrollUsageError(io.err,
                                QStringLiteral("enroll download yalnızca --terminal alır."));
    const TerminalPick one = pickTerminal(call.programDir, given(p, terminalOption().name), io.err);
    if (!one.row) return one.code;
    return reportedErrors(io.err, [&] {
        EnrollValues values;
        HeadlessDataModule data(call.programDir, QStringLiteral("enroll download"));
        return download(data, call.programDir, *one.row, values, io);
    });
}

int runEnrollUpload(const SubcommandCall& call) {
    const GivenOptions& p = call.options;
    const Console& io = call.io;
    if (p.isSet(fromOption()) || p.isSet(toOption()))
        return enrollUsageError(io.err, QStringLiteral("enroll upload --from/--to almaz."));
    const TerminalPick one = pickTerminal(call.programDir, given(p, terminalOption().name), io.err);
    if (!one.row) return one.code;
    return reportedErrors(io.err, [&] {
        EnrollValues values;
        HeadlessDataModule data(call.programDir, QStringLiteral("enroll upload"));
        return upload(data, call.programDir, *one.row, p.isSet(clearOption()), false, values, io);
    });
}

int runEnrollCopy(const SubcommandCall& call) {
    const GivenOptions& p = call.options;
    const Console& io = call.io;
    if (p.isSet(terminalOption()) || !p.isSet(fromOption()) || !p.isSet(toOption()))
        return enrollUsageError(io.err, QStringLiteral("enroll copy --from AD --to AD ister."));
    const TerminalPick source = pickTerminal(call.programDir, p.value(fromOption()), io.err);
    if (!source.row) return source.code;
    const TerminalPick target = pickTerminal(call.programDir, p.value(toOption()), io.err);
    if (!target.row) return target.code;
    return reportedErrors(io.err, [&] {
        EnrollValues values;
        // An incomplete copy must not reach the target, least of all
        // after clearing it. The users take their names along.
        HeadlessDataModule data(call.programDir, QStringLiteral("enroll copy"));
        if (const int code = download(data, call.programDir, *source.row, values, io);
            code != ExitDone)
            return code;
        return upload(data, call.programDir, *target.row, p.isSet(clearOption()), true, values, io);
    });
}

int runEnrollSubcommand(const SubcommandCall& call) {
    const QString action = call.arguments[0];
    if (action == u"download") return runEnrollDownload(call);
    if (action == u"upload") return runEnrollUpload(call);
    if (action == u"copy") return runEnrollCopy(call);
    return enrollUsageError(call.io.err,
                            QStringLiteral("enroll: download, upload ya da copy bekleniyor."));
}

} // namespace

std::vector<Subcommand> enrollSubcommands() {
    return {
        {QStringLiteral("enroll"),
         {QStringLiteral("download [--terminal AD]"),
          QStringLiteral("upload [--clear] [--terminal AD]"),
          QStringLiteral("copy --from AD --to AD [--clear]")},
         QStringLiteral("parmakizi datasını alır, yükler ya da kopyalar"),
         QStringLiteral(
             "download, \"Terminalden Parmakizi Datası Al\": terminalin kayıtlarını "
             "(parmakizi, şifre, kart) Data.mdb'ye, kullanıcılarını Log.mdb'ye alır; saklanan "
             "kayıt ve Double ID sayılarını yazar.\n\n"
             "upload, \"Terminale Parmakizi Datası Yükle\", soruya evet diyerek; --clear önce "
             "terminaldeki tüm parmakizlerini siler (yalnız tamamlanmış bir indirmeden sonra). "
             "Gönderilen satır sayısını yazar.\n\n"
             "copy, bir terminalden indirir ve ancak indirme tamsa ötekine yükler; sonra "
             "yazdığı kullanıcıların adlarını gönderir."),
         {terminalOption(), clearOption(), fromOption(), toOption()},
         1,
         1,
         runEnrollSubcommand},
    };
}
