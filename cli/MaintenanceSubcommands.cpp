#include "MaintenanceSubcommands.h"

#include "HeadlessDataModule.h"
#include "HeadlessTerminal.h"
#include "TerminalJobs.h"
#include "bells/BellSchedule.h"
#include "core/AppError.h"
#include "core/ConsoleOperator.h"
#include "core/Database.h"
#include "core/DirectoryLock.h"
#include "maintenance/ClearingCommands.h"
#include "maintenance/ClockCommands.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <cstdio>
#include <map>
#include <mutex>

namespace {

// The console operator, with a line end in place of the lone carriage return
// of the clock message, and Yes to every question when told to.
class MaintenanceConsole : public ConsoleOperator {
  public:
    explicit MaintenanceConsole(QTextStream& err, bool yes = false)
        : ConsoleOperator(err), yes_(yes) {}
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

// Connects to the terminal of row and runs body on it; an error that
// escapes is a failure with its text, a Ctrl-C meanwhile exit code 130.
int onTerminal(const QString& programDir, const QSqlRecord& row, Operator& op, QTextStream& err,
               const std::function<int(HeadlessTerminal&)>& body) {
    try {
        HeadlessTerminal terminal(programDir, op);
        if (const int code = terminal.connect(row); code != ExitDone) return code;
        return unlessCancelled(body(terminal));
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

// Seconds the terminal is ahead of the computer (behind: negative). The
// terminal tells whole seconds, cut short, so the computer's time is cut alike.
qint64 driftSeconds(const ClockResult& r) {
    return r.readAt.addMSecs(-r.readAt.time().msec()).secsTo(r.deviceTime);
}

QString clockLine(const QString& name, const ClockResult& r) {
    const QString format = QStringLiteral("dd.MM.yyyy HH:mm:ss");
    const qint64 drift = driftSeconds(r);
    return QStringLiteral("%1: terminal %2, bilgisayar %3, fark %4%5 sn")
        .arg(name, r.deviceTime.toString(format), r.readAt.toString(format),
             drift > 0 ? QStringLiteral("+") : QString())
        .arg(drift);
}

QJsonObject clockJson(const QString& name, const ClockResult& r) {
    return {{"terminal", name},
            {"terminal_time", r.deviceTime.toString(Qt::ISODate)},
            {"computer_time", r.readAt.toString(Qt::ISODate)},
            {"drift_seconds", driftSeconds(r)}};
}

// json: takes the reading for --json; empty without it.
int runClockCommand(const QString& programDir, bool set, const QSqlRecord& row, const Console& io,
                    const std::function<void(const QJsonObject&)>& json) {
    // A read's window message is the line printed below; it is shown only
    // when the command fails.
    QString held;
    QTextStream heldStream(&held);
    MaintenanceConsole op(set ? io.err : heldStream);
    const int code = onTerminal(programDir, row, op, io.err, [&](HeadlessTerminal& t) {
        const ClockResult r = set ? setDeviceClock(t.clock, t.machineNumber(), op)
                                  : readDeviceClock(t.clock, t.machineNumber(), op);
        switch (r.outcome) {
        case ClockOutcome::Done:
            if (!set && json) {
                json(clockJson(terminalName(row), r));
            } else if (!set) {
                io.out << clockLine(terminalName(row), r) << '\n';
            } else if (!io.quiet) {
                io.out << terminalName(row) << ": saat ayarlandı\n";
            }
            io.out.flush();
            return int(ExitDone);
        case ClockOutcome::NoDevice:
            return failWith(io.err, nothingSentText(), t.refusedLockCode());
        case ClockOutcome::Failed:
            return failWith(io.err, withError(set ? clockNotSetText()
                                                  : QStringLiteral("Terminal saati okunamadı"),
                                              r.errorName));
        }
        return int(ExitFailed);
    });
    heldStream.flush();
    if (code != ExitDone) {
        io.err << held;
        io.err.flush();
    }
    return code;
}

int runAdminClearCommand(const QString& programDir, const QSqlRecord& row, const Console& io) {
    MaintenanceConsole op(io.err);
    std::optional<DirectoryLock> lock;
    if (const int code = reportedErrors(io.err,
                                        [&] {
                                            lock.emplace(lockForHeadlessCommand(
                                                programDir, QStringLiteral("admin-clear")));
                                            return int(ExitDone);
                                        });
        code != ExitDone)
        return code;
    return onTerminal(programDir, row, op, io.err, [&](HeadlessTerminal& t) {
        const DataFile data(programDir);
        const AdminClearResult r = clearAdministrators(t.clock, t.machineNumber(), data.db(), op);
        if (r.reached && !io.quiet) {
            io.out << "Silinen yönetici kaydı: " << r.deleted << '\n';
            io.out.flush();
        }
        if (!r.reached) return failWith(io.err, nothingSentText(), t.refusedLockCode());
        if (r.lockLost)
            return failWith(io.err, QStringLiteral("Terminal yanıt vermeyi bıraktı; %1 yönetici "
                                                   "kaydından %2 tanesi silindi, kalanlar duruyor.")
                                        .arg(r.administrators)
                                        .arg(r.deleted));
        if (r.refused > 0)
            return failWith(io.err, administratorsRemainText(r.refused, r.errorName));
        return int(ExitDone);
    });
}

int runClearFingerprintsCommand(const QString& programDir, const QSqlRecord& row,
                                const Console& io) {
    MaintenanceConsole op(io.err, true);
    return onTerminal(programDir, row, op, io.err, [&](HeadlessTerminal& t) {
        const FingerprintClearResult r = clearAllFingerprints(t.clock, t.machineNumber(), op);
        switch (r.outcome) {
        case FingerprintClearOutcome::Cleared:
            if (!io.quiet) {
                io.out << terminalName(row) << ": tüm parmakizleri silindi\n";
                io.out.flush();
            }
            return int(ExitDone);
        case FingerprintClearOutcome::NoDevice:
            return failWith(io.err, nothingSentText(), t.refusedLockCode());
        case FingerprintClearOutcome::Refused:
            return failWith(
                io.err, withError(QStringLiteral("Terminal parmakizlerini silmedi"), r.errorName));
        case FingerprintClearOutcome::Declined:
            break;
        }
        return int(ExitFailed);
    });
}

int runBellsGetCommand(const QString& programDir, const QSqlRecord& row, const Console& io) {
    // Standard output carries the schedule alone.
    MaintenanceConsole op(io.err);
    return onTerminal(programDir, row, op, io.err, [&](HeadlessTerminal& t) {
        BellSchedule schedule;
        PlainBellForm form(schedule.clear());
        if (!schedule.read(t.clock, t.machineNumber(), form, op)) return int(ExitFailed);
        io.out << QString::fromUtf8(schedule.toJson());
        io.out.flush();
        return int(ExitDone);
    });
}

int runBellsSetCommand(const QString& programDir, const QSqlRecord& row, const BellForm& form,
                       const Console& io) {
    MaintenanceConsole op(io.err, true);
    return onTerminal(programDir, row, op, io.err, [&](HeadlessTerminal& t) {
        BellSchedule schedule;
        PlainBellForm typed(form);
        switch (schedule.send(t.clock, t.machineNumber(), typed, op, false)) {
        case BellSendOutcome::Sent:
            return int(ExitDone);
        case BellSendOutcome::NoDevice:
            return failWith(io.err, nothingSentText(), t.refusedLockCode());
        case BellSendOutcome::Refused: {
            int32_t code = SUCCESS;
            t.clock.GetLastError(code);
            return failWith(io.err,
                            withError(QStringLiteral("Terminal zil saatlerini kabul etmedi"),
                                      deviceErrorName(code)));
        }
        case BellSendOutcome::Declined:
        case BellSendOutcome::Invalid:
            break;
        }
        return int(ExitFailed);
    });
}

// The schedule to send, read and checked before any terminal is reached.
std::optional<BellForm> scheduleToSend(const QString& file, Operator& op, QTextStream& err,
                                       int* code) {
    QByteArray input;
    try {
        input = readScheduleInput(file);
    } catch (const AppError& e) {
        *code = failWith(err, e.text());
        return std::nullopt;
    }
    QString why;
    const std::optional<BellForm> form = bellFormFromJson(input, &why);
    if (form && !isValidBellForm(*form))
        why = QStringLiteral("saat 0-23, dakika 0-59, çalma süresi 0-255 olmalı");
    if (!form || !isValidBellForm(*form)) {
        op.showMessage(invalidBellValueText(), QStringLiteral("Bell Info"), Operator::Icon::None);
        *code = failWith(err, QStringLiteral("Zil saatleri geçersiz: %1").arg(why));
        return std::nullopt;
    }
    return form;
}

// "silmeyi onaylar": the --yes of the commands that delete.
Option deleteConfirmationOption() {
    return yesOption(QStringLiteral("silmeyi onaylar"));
}

// The subcommands' handlers: each checks its call, then runs on the chosen
// terminals.

int runClockSubcommand(const SubcommandCall& call) {
    const QString verb = call.arguments[0];
    const bool json = call.options.isSet(jsonOption());
    if ((verb != u"get" && verb != u"set") || (verb == u"set" && json))
        return usageError(call.io.err, QStringLiteral("clock: get ya da set bekleniyor."),
                          QStringLiteral("clock"));
    // By place in the list: terminals at once end in any order.
    std::map<int, QJsonObject> times;
    std::mutex timesMutex;
    const int code = runOnChosenTerminals(call, [&](const QSqlRecord& row, const Console& io) {
        const auto keep = [&](const QJsonObject& reading) {
            std::lock_guard guard(timesMutex);
            times.emplace(io.job ? io.job->index() : int(times.size()), reading);
        };
        return runClockCommand(call.programDir, verb == u"set", row, io,
                               json ? keep : std::function<void(const QJsonObject&)>());
    });
    if (json) {
        QJsonArray array;
        for (const auto& [place, reading] : times)
            array.append(reading);
        call.io.out << QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
        call.io.out.flush();
    }
    return code;
}

// Runs the subcommand named name, which deletes, on the chosen terminals,
// and only with --yes; what says what it deletes ("Bu komut terminaldeki
// yöneticileri siler").
int runConfirmedDeletion(const SubcommandCall& call, const QString& name, const QString& what,
                         int (*onOneTerminal)(const QString&, const QSqlRecord&, const Console&)) {
    if (!call.options.isSet(deleteConfirmationOption()))
        return usageError(
            call.io.err,
            what + QStringLiteral("; onaylamak için --yes verin. Hiçbir şey gönderilmedi."), name);
    return runOnChosenTerminals(call, [&](const QSqlRecord& row, const Console& io) {
        return onOneTerminal(call.programDir, row, io);
    });
}

int runAdminClearSubcommand(const SubcommandCall& call) {
    return runConfirmedDeletion(call, QStringLiteral("admin-clear"),
                                QStringLiteral("Bu komut terminaldeki yöneticileri siler"),
                                runAdminClearCommand);
}

int runClearFingerprintsSubcommand(const SubcommandCall& call) {
    return runConfirmedDeletion(call, QStringLiteral("clear-fingerprints"),
                                QStringLiteral("Bu komut terminaldeki tüm parmakizlerini siler"),
                                runClearFingerprintsCommand);
}

int runBellsSubcommand(const SubcommandCall& call) {
    const QString verb = call.arguments[0];
    const qsizetype n = call.arguments.size();
    if (verb == u"get" && n == 1)
        return runOnChosenTerminals(call, [&](const QSqlRecord& row, const Console& io) {
            return runBellsGetCommand(call.programDir, row, io);
        });
    if (verb == u"set" && n == 2) {
        MaintenanceConsole op(call.io.err);
        int code = ExitDone;
        const std::optional<BellForm> form =
            scheduleToSend(call.arguments[1], op, call.io.err, &code);
        if (!form) return code;
        return runOnChosenTerminals(call, [&](const QSqlRecord& row, const Console& io) {
            return runBellsSetCommand(call.programDir, row, *form, io);
        });
    }
    return usageError(call.io.err, QStringLiteral("bells: get ya da set DOSYA bekleniyor."),
                      QStringLiteral("bells"));
}

} // namespace

std::vector<Subcommand> maintenanceSubcommands() {
    const Option yes = deleteConfirmationOption();
    return {
        {QStringLiteral("clock"),
         {QStringLiteral("get [--terminal AD | --all-terminals [--jobs N]] [--json]"),
          QStringLiteral("set [--terminal AD | --all-terminals [--jobs N]]")},
         QStringLiteral("terminal saatini okur (get) ya da bilgisayarınkine ayarlar (set)"),
         QStringLiteral(
             "get, \"Tarih-Saat Oku\": terminalin saatini saniyesiyle, bilgisayarın o anki "
             "saatini ve farkı (terminal ileri ise artı) yazar: \"Giriş: terminal 05.03.2024 "
             "08:00:07, bilgisayar 05.03.2024 08:00:00, fark +7 sn\". --json ile bir JSON "
             "dizisi: her terminal için terminal, terminal_time ve computer_time (ISO 8601), "
             "drift_seconds.\n\n"
             "set, \"Tarih-Saat Ayarla\": terminalin saatini bilgisayarınkine ayarlar.\n\n"
             "--all-terminals ile birkaç terminal aynı anda (--jobs N; varsayılan terminal "
             "sayısı, en çok 8); satırlar listedeki sırayla gelir."),
         {terminalOption(), allTerminalsOption(), jobsOption(), jsonOption()},
         1,
         1,
         runClockSubcommand},
        {QStringLiteral("admin-clear"),
         {QStringLiteral("--yes [--terminal AD]")},
         QStringLiteral("terminaldeki yöneticileri siler (\"Admin Sil\")"),
         QStringLiteral("\"Admin Sil\": terminaldeki yönetici kayıtlarını siler ve kaç "
                        "tanesinin silindiğini yazar. --yes olmadan hiçbir şey gönderilmez."),
         {terminalOption(), yes},
         0,
         0,
         runAdminClearSubcommand},
        {QStringLiteral("clear-fingerprints"),
         {QStringLiteral("--yes [--terminal AD]")},
         QStringLiteral("terminaldeki tüm parmakizlerini siler"),
         QStringLiteral("Terminaldeki tüm kayıtlı kullanıcıları (parmakizi, şifre, kart) "
                        "siler. --yes olmadan hiçbir şey gönderilmez."),
         {terminalOption(), yes},
         0,
         0,
         runClearFingerprintsSubcommand},
        {QStringLiteral("bells"),
         {QStringLiteral("get [--terminal AD]"), QStringLiteral("set DOSYA|- [--terminal AD]")},
         QStringLiteral("zil saatlerini JSON olarak okur (get) ya da gönderir (set)"),
         QStringLiteral(
             "get, zil programını yalnızca JSON olarak yazar: {\"ring_duration\": N, "
             "\"bells\": [{\"on\": 0|1, \"hour\": S, \"minute\": D}, ...8 tane]}.\n\n"
             "set, aynı biçimi DOSYA'dan ya da standart girdiden (-) okur ve gönderir; saat "
             "0-23, dakika 0-59, çalma süresi 0-255 değilse \"Invalid Value.\" yazar ve "
             "hiçbir şey göndermez."),
         {terminalOption()},
         1,
         2,
         runBellsSubcommand},
    };
}
