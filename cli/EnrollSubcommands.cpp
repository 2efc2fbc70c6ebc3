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
    explicit EnrollConsole(QTextStream& out)
        : ConsoleOperator(out, {.printStatus = false, .answerYes = true}) {}
    void clearLog() override {}
    void addLogLine(const QString&) override {}
    void setPosition(const QString&) override {}
    void setUserName(const QString&) override {}
    void showNameList() override {}
};

// Both take the data module of the command, which holds the directory's
// lock for the whole command: a copy is one command.
int download(HeadlessDataModule& data, const QString& programDir, const QString& terminalName,
             EnrollValues& values, QTextStream& out, QTextStream& err) {
    EnrollConsole console(out);
    HeadlessTerminal terminal(programDir, console);
    if (const int code = terminal.connect(terminalName, err); code != ExitDone) return code;
    EnrollStore store(data.dm);
    const DownloadResult r =
        downloadEnrollments(terminal.clock, terminal.machineNumber(), store, values, console,
                            console, terminal.session.connectedName);
    if (r.outcome == DownloadResult::Outcome::Done ||
        r.outcome == DownloadResult::Outcome::Interrupted) {
        out << "Saklanan kayıt: " << r.stored << '\n';
        out << "Double ID: " << r.doubles << '\n';
        if (r.skipped > 0) out << "Okunamayan kayıt: " << r.skipped << '\n';
    }
    out << console.lastStatus() << '\n';
    out.flush();
    switch (r.outcome) {
    case DownloadResult::Outcome::Done:
        if (r.skipped > 0)
            return failWith(
                err,
                QStringLiteral("%1 kayıt terminalden okunamadı ve saklanmadı.").arg(r.skipped));
        return ExitDone;
    case DownloadResult::Outcome::NoDevice:
        return failWith(err, noDeviceText());
    case DownloadResult::Outcome::ReadFailed:
        return failWith(
            err, QStringLiteral("Terminal parmakizi listesini hazırlayamadı: %1").arg(r.errorName));
    case DownloadResult::Outcome::Interrupted:
        return failWith(err, interruptedDownloadText(r.errorName, r.stored));
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

int upload(HeadlessDataModule& data, const QString& programDir, const QString& terminalName,
           bool clear, bool sendNames, EnrollValues& values, QTextStream& out, QTextStream& err) {
    EnrollConsole console(out);
    HeadlessTerminal terminal(programDir, console);
    if (const int code = terminal.connect(terminalName, err); code != ExitDone) return code;
    EnrollStore store(data.dm);
    const UploadResult r = uploadEnrollments(terminal.clock, terminal.machineNumber(), store,
                                             values, clear, console, console);
    // Its text is out already, as the message the window shows.
    if (r.outcome == UploadResult::Outcome::StoreUnfit) return failWith(err, r.unfitText);
    if (r.outcome != UploadResult::Outcome::NoDevice) {
        out << "Gönderilen satır: " << r.sent << '\n';
        if (r.refused > 0) out << "Reddedilen satır: " << r.refused << '\n';
        if (r.unfit > 0) out << "Gönderilmeyen hatalı satır: " << r.unfit << '\n';
    }
    out << console.lastStatus() << '\n';
    out.flush();
    if (r.outcome == UploadResult::Outcome::NoDevice) return failWith(err, noDeviceText());
    if (r.outcome == UploadResult::Outcome::Interrupted)
        return failWith(err, interruptedUploadText(r.errorName, r.sent));
    SendResult names;
    if (sendNames) {
        names = sendAllNames(terminal.clock, terminal.machineNumber(),
                             namesOfSentUsers(store, r.sentEnrolls), console);
        if (names.sent + names.refused > 0) out << console.lastStatus() << '\n';
        out << "Gönderilen isim: " << names.sent << '\n';
        out.flush();
    }
    if (r.clearFailed)
        return failWith(err, QStringLiteral("Terminaldeki parmakizleri silinemedi; "
                                            "yükleme silmeden yapıldı."));
    if (r.refused > 0)
        return failWith(err, QStringLiteral("%1 satırı terminal kabul etmedi (son hata: %2).")
                                 .arg(r.refused)
                                 .arg(r.errorName));
    if (r.unfit > 0) return failWith(err, r.unfitText);
    if (names.refused > 0)
        return failWith(err, QStringLiteral("Terminal %1 ismi almadı.").arg(names.refused));
    return ExitDone;
}

// The standard error report of a headless command.
template <typename F> int reported(QTextStream& err, F run) {
    try {
        return run();
    } catch (const AppError& e) {
        return failWith(err, e.text());
    } catch (const std::exception& e) {
        return failWith(err, errorText(e));
    }
}

} // namespace

int runEnrollDownload(const QString& programDir, const QString& terminalName, QTextStream& out,
                      QTextStream& err) {
    return reported(err, [&] {
        EnrollValues values;
        HeadlessDataModule data(programDir, QStringLiteral("enroll download"));
        return download(data, programDir, terminalName, values, out, err);
    });
}

int runEnrollUpload(const QString& programDir, const QString& terminalName, bool clear,
                    QTextStream& out, QTextStream& err) {
    return reported(err, [&] {
        EnrollValues values;
        HeadlessDataModule data(programDir, QStringLiteral("enroll upload"));
        return upload(data, programDir, terminalName, clear, false, values, out, err);
    });
}

int runEnrollCopy(const QString& programDir, const QString& from, const QString& to, bool clear,
                  QTextStream& out, QTextStream& err) {
    return reported(err, [&] {
        EnrollValues values;
        // An incomplete copy must not reach the target, least of all after
        // clearing it. The users take their names along.
        HeadlessDataModule data(programDir, QStringLiteral("enroll copy"));
        if (const int code = download(data, programDir, from, values, out, err); code != ExitDone)
            return code;
        return upload(data, programDir, to, clear, true, values, out, err);
    });
}

std::vector<Subcommand> enrollSubcommands() {
    const QCommandLineOption terminal = terminalOption();
    const QCommandLineOption clear(QStringLiteral("clear"),
                                   QStringLiteral("enroll upload/copy: önce terminaldeki tüm "
                                                  "parmakizlerini siler."));
    const QCommandLineOption from(
        QStringLiteral("from"), QStringLiteral("enroll copy: parmakizlerinin alınacağı terminal."),
        QStringLiteral("AD"));
    const QCommandLineOption to(
        QStringLiteral("to"), QStringLiteral("enroll copy: parmakizlerinin yükleneceği terminal."),
        QStringLiteral("AD"));
    return {
        {QStringLiteral("enroll"),
         QStringLiteral("download | upload [--clear] | copy --from AD --to AD"),
         QStringLiteral("parmakizi datasını alır, yükler (--terminal AD) ya da kopyalar"),
         {terminal, clear, from, to},
         1,
         1,
         [terminal, clear, from, to](const SubcommandCall& call) {
             const QString action = call.arguments[0];
             const QCommandLineParser& p = call.parser;
             const auto misuse = [&call](const QString& text) { return failWith(call.err, text); };
             if (action == u"download") {
                 if (p.isSet(clear) || p.isSet(from) || p.isSet(to))
                     return misuse(QStringLiteral("enroll download yalnızca --terminal alır."));
                 return runEnrollDownload(call.programDir, p.value(terminal), call.out, call.err);
             }
             if (action == u"upload") {
                 if (p.isSet(from) || p.isSet(to))
                     return misuse(QStringLiteral("enroll upload --from/--to almaz."));
                 return runEnrollUpload(call.programDir, p.value(terminal), p.isSet(clear),
                                        call.out, call.err);
             }
             if (action == u"copy") {
                 if (p.isSet(terminal) || !p.isSet(from) || !p.isSet(to))
                     return misuse(QStringLiteral("enroll copy --from AD --to AD ister."));
                 return runEnrollCopy(call.programDir, p.value(from), p.value(to), p.isSet(clear),
                                      call.out, call.err);
             }
             return misuse(QStringLiteral("enroll: download, upload ya da copy bekleniyor."));
         }},
    };
}
