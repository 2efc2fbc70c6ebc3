#include "MaintenanceSubcommands.h"

#include "bells/BellSchedule.h"
#include "core/AppError.h"
#include "core/ConsoleOperator.h"
#include "core/Database.h"
#include "core/DirectoryLock.h"
#include "maintenance/ClearingCommands.h"
#include "maintenance/ClockCommands.h"

#include <QFile>
#include <QUuid>
#include <cstdio>

namespace {

// The console operator, with a line end in place of the lone carriage return
// of the clock message, and Yes to every question when told to.
class MaintenanceConsole : public ConsoleOperator {
  public:
    explicit MaintenanceConsole(QTextStream& out, bool yes = false)
        : ConsoleOperator(out), yes_(yes) {}
    bool askYesNo(const QString& text, const QString& title) override {
        return yes_ || ConsoleOperator::askYesNo(text, title);
    }
    void showMessage(const QString& text, const QString& title, Icon icon) override {
        ConsoleOperator::showMessage(QString(text).replace(u'\r', u'\n'), title, icon);
    }

  private:
    bool yes_;
};

QString nothingSentText() {
    return noDeviceText(QStringLiteral("hiçbir şey gönderilmedi"));
}

QString withError(const QString& text, const QString& errorName) {
    return text + QStringLiteral(": ") +
           (errorName.isEmpty() ? QStringLiteral("bilinmeyen hata") : errorName);
}

// Connects to the chosen terminal and runs body on it; an error that escapes
// is a failure with its text.
int onTerminal(const QString& programDir, const TerminalChoice& choice, Operator& op,
               QTextStream& err, const std::function<int(HeadlessTerminal&)>& body) {
    try {
        HeadlessTerminal terminal(programDir, op);
        if (const int code = terminal.connect(choice, err); code != ExitDone) return code;
        return body(terminal);
    } catch (const AppError& e) {
        return failWith(err, e.text());
    } catch (const std::exception& e) {
        return failWith(err, errorText(e));
    }
}

// Data.mdb under a connection of its own, removed when the command ends,
// also when the file can't be opened.
class DataFile {
  public:
    explicit DataFile(const QString& programDir) {
        db_ = openDatabaseFile(name_.value, programDir + QStringLiteral("Data.mdb"));
    }
    ~DataFile() {
        db_.close();
        db_ = QSqlDatabase();
    }
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;
    const QSqlDatabase& db() const { return db_; }

  private:
    struct Name {
        QString value = QStringLiteral("maintenance-") + QUuid::createUuid().toString();
        ~Name() {
            if (QSqlDatabase::contains(value)) QSqlDatabase::removeDatabase(value);
        }
    } name_;
    QSqlDatabase db_;
};

// The bytes of file, or of standard input for "-", up to a little more than
// any schedule needs; throws AppError when it can't be read.
QByteArray readScheduleInput(const QString& file) {
    QFile in;
    const bool stdinput = file == u"-";
    if (stdinput) {
        if (!in.open(stdin, QIODevice::ReadOnly))
            throw AppError(QStringLiteral("Standart girdi okunamadı."));
    } else {
        in.setFileName(file);
        if (!in.open(QIODevice::ReadOnly))
            throw AppError(
                QStringLiteral("Giriş/çıkış hatası: \"%1\": %2").arg(file, in.errorString()));
    }
    const QByteArray bytes = in.read(128 * 1024);
    if (in.error() != QFileDevice::NoError)
        throw AppError(QStringLiteral("Giriş/çıkış hatası: \"%1\": %2")
                           .arg(stdinput ? QStringLiteral("-") : file, in.errorString()));
    return bytes;
}

} // namespace

int runClockCommand(const QString& programDir, bool set, const TerminalChoice& terminal,
                    QTextStream& out, QTextStream& err) {
    MaintenanceConsole op(out);
    return onTerminal(programDir, terminal, op, err, [&](HeadlessTerminal& t) {
        const ClockResult r = set ? setDeviceClock(t.clock, t.machineNumber(), op)
                                  : readDeviceClock(t.clock, t.machineNumber(), op);
        switch (r.outcome) {
        case ClockOutcome::Done:
            return int(ExitDone);
        case ClockOutcome::NoDevice:
            return failWith(err, nothingSentText());
        case ClockOutcome::Failed:
            return failWith(
                err, withError(set ? clockNotSetText() : QStringLiteral("Terminal saati okunamadı"),
                               r.errorName));
        }
        return int(ExitFailed);
    });
}

int runAdminClearCommand(const QString& programDir, const TerminalChoice& terminal,
                         QTextStream& out, QTextStream& err) {
    MaintenanceConsole op(out);
    const std::optional<DirectoryLock> lock = DirectoryLock::acquire(programDir, "admin-clear");
    if (!lock) return failWith(err, directoryBusyText(programDir));
    return onTerminal(programDir, terminal, op, err, [&](HeadlessTerminal& t) {
        const DataFile data(programDir);
        const AdminClearResult r = clearAdministrators(t.clock, t.machineNumber(), data.db(), op);
        out << r.deleted << '\n';
        out.flush();
        if (!r.reached) return failWith(err, nothingSentText());
        if (r.lockLost)
            return failWith(err, QStringLiteral("Terminal yanıt vermeyi bıraktı; %1 yönetici "
                                                "kaydından %2 tanesi silindi, kalanlar duruyor.")
                                     .arg(r.administrators)
                                     .arg(r.deleted));
        if (r.refused > 0) return failWith(err, administratorsRemainText(r.refused, r.errorName));
        return int(ExitDone);
    });
}

int runClearFingerprintsCommand(const QString& programDir, const TerminalChoice& terminal,
                                bool confirmed, QTextStream& out, QTextStream& err) {
    if (!confirmed)
        return failWith(err, QStringLiteral("Bu komut terminaldeki tüm parmakizlerini siler; "
                                            "onaylamak için --yes verin. Hiçbir şey "
                                            "gönderilmedi."));
    MaintenanceConsole op(out, true);
    return onTerminal(programDir, terminal, op, err, [&](HeadlessTerminal& t) {
        const FingerprintClearResult r = clearAllFingerprints(t.clock, t.machineNumber(), op);
        switch (r.outcome) {
        case FingerprintClearOutcome::Cleared:
            return int(ExitDone);
        case FingerprintClearOutcome::NoDevice:
            return failWith(err, nothingSentText());
        case FingerprintClearOutcome::Refused:
            return failWith(
                err, withError(QStringLiteral("Terminal parmakizlerini silmedi"), r.errorName));
        case FingerprintClearOutcome::Declined:
            break;
        }
        return int(ExitFailed);
    });
}

int runBellsGetCommand(const QString& programDir, const TerminalChoice& terminal, QTextStream& out,
                       QTextStream& err) {
    // Standard output carries the schedule alone; the window's messages are
    // kept and go to standard error only when the command fails.
    QString said;
    QTextStream saidStream(&said);
    MaintenanceConsole op(saidStream);
    const int code = onTerminal(programDir, terminal, op, err, [&](HeadlessTerminal& t) {
        BellSchedule schedule;
        PlainBellForm form(schedule.clear());
        if (!schedule.read(t.clock, t.machineNumber(), form, op)) return int(ExitFailed);
        out << QString::fromUtf8(schedule.toJson());
        out.flush();
        return int(ExitDone);
    });
    if (code != ExitDone) {
        saidStream.flush();
        err << said;
        err.flush();
    }
    return code;
}

int runBellsSetCommand(const QString& programDir, const TerminalChoice& terminal,
                       const QString& file, QTextStream& out, QTextStream& err) {
    MaintenanceConsole op(out, true);
    QByteArray input;
    try {
        input = readScheduleInput(file);
    } catch (const AppError& e) {
        return failWith(err, e.text());
    }
    QString why;
    const std::optional<BellForm> form = bellFormFromJson(input, &why);
    if (form && !isValidBellForm(*form))
        why = QStringLiteral("saat 0-23, dakika 0-59, çalma süresi 0-255 olmalı");
    if (!form || !isValidBellForm(*form)) {
        op.showMessage(invalidBellValueText(), QStringLiteral("Bell Info"), Operator::Icon::None);
        return failWith(err, QStringLiteral("Zil saatleri geçersiz: %1").arg(why));
    }
    return onTerminal(programDir, terminal, op, err, [&](HeadlessTerminal& t) {
        BellSchedule schedule;
        PlainBellForm typed(*form);
        switch (schedule.send(t.clock, t.machineNumber(), typed, op, false)) {
        case BellSendOutcome::Sent:
            return int(ExitDone);
        case BellSendOutcome::NoDevice:
            return failWith(err, nothingSentText());
        case BellSendOutcome::Refused: {
            int32_t code = SUCCESS;
            t.clock.GetLastError(code);
            return failWith(err, withError(QStringLiteral("Terminal zil saatlerini kabul etmedi"),
                                           deviceErrorName(code)));
        }
        case BellSendOutcome::Declined:
        case BellSendOutcome::Invalid:
            break;
        }
        return int(ExitFailed);
    });
}

std::vector<Subcommand> maintenanceSubcommands() {
    const QCommandLineOption terminal = terminalOption();
    const QCommandLineOption yes(QStringLiteral("yes"),
                                 QStringLiteral("clear-fingerprints: silmeyi onaylar."));
    const auto usageError = [](const SubcommandCall& call, const QString& synopsis) {
        return failWith(call.err, QStringLiteral("Kullanım: v270-aktarim [--dir DIR] ") + synopsis);
    };
    return {
        {QStringLiteral("clock"),
         QStringLiteral("get|set [--terminal AD] [--all-terminals]"),
         QStringLiteral("terminal saatini okur (get) ya da bilgisayarınkine ayarlar (set)"),
         {terminal, allTerminalsOption()},
         1,
         1,
         [usageError](const SubcommandCall& call) {
             const QString verb = call.arguments[0];
             if (verb != u"get" && verb != u"set")
                 return usageError(call, QStringLiteral("clock get|set [--terminal AD]"));
             if (verb == u"get" && call.parser.isSet(QStringLiteral("all-terminals")))
                 return failWith(
                     call.err, QStringLiteral("--all-terminals yalnız \"clock set\" ile verilir."));
             return runOnChosenTerminals(call, [&](const TerminalChoice& which) {
                 return runClockCommand(call.programDir, verb == u"set", which, call.out, call.err);
             });
         }},
        {QStringLiteral("admin-clear"),
         QStringLiteral("[--terminal AD]"),
         QStringLiteral("terminaldeki yöneticileri siler (\"Admin Sil\")"),
         {terminal},
         0,
         0,
         [terminal](const SubcommandCall& call) {
             return runAdminClearCommand(call.programDir, call.parser.value(terminal), call.out,
                                         call.err);
         }},
        {QStringLiteral("clear-fingerprints"),
         QStringLiteral("--yes [--terminal AD]"),
         QStringLiteral("terminaldeki tüm parmakizlerini siler"),
         {terminal, yes},
         0,
         0,
         [terminal, yes](const SubcommandCall& call) {
             return runClearFingerprintsCommand(call.programDir, call.parser.value(terminal),
                                                call.parser.isSet(yes), call.out, call.err);
         }},
        {QStringLiteral("bells"),
         QStringLiteral("get|set DOSYA|- [--terminal AD]"),
         QStringLiteral("zil saatlerini JSON olarak okur (get) ya da gönderir (set)"),
         {terminal},
         1,
         2,
         [terminal, usageError](const SubcommandCall& call) {
             const QString verb = call.arguments[0];
             const QString name = call.parser.value(terminal);
             if (verb == u"get" && call.arguments.size() == 1)
                 return runBellsGetCommand(call.programDir, name, call.out, call.err);
             if (verb == u"set" && call.arguments.size() == 2)
                 return runBellsSetCommand(call.programDir, name, call.arguments[1], call.out,
                                           call.err);
             return usageError(call, QStringLiteral("bells get|set DOSYA|- [--terminal AD]"));
         }},
    };
}
