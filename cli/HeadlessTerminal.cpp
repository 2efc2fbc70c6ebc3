#include "HeadlessTerminal.h"

#include "TerminalJobs.h"
#include "WatchSubcommands.h"
#include "core/AppError.h"
#include "core/ConsoleOperator.h"
#include "core/Database.h"
#include "core/TerminalRunner.h"
#include "registry/TerminalCheck.h"

#include <QLocale>
#include <QSqlQuery>
#include <QUuid>

#include <algorithm>

namespace {

// Removes the named connection when the lookup ends.
class ScopedConnectionName {
  public:
    ScopedConnectionName() : name_(QStringLiteral("headless-") + QUuid::createUuid().toString()) {}
    ~ScopedConnectionName() {
        if (QSqlDatabase::contains(name_)) QSqlDatabase::removeDatabase(name_);
    }
    const QString& name() const { return name_; }

  private:
    QString name_;
};

QString folded(const QString& name) {
    return QLocale(QLocale::Turkish, QLocale::Turkey).toLower(name.trimmed());
}

QString quotedNames(const std::vector<QSqlRecord>& rows) {
    QStringList names;
    for (const QSqlRecord& row : rows)
        names << u'"' + escapedText(terminalName(row)) + u'"'; // never raw control codes
    return names.join(QStringLiteral(", "));
}

// Error lines of one terminal among several, each under its name.
QString prefixed(const QString& name, const QString& text) {
    QString out;
    const QStringList lines = text.split(u'\n', Qt::SkipEmptyParts);
    // A line that names the terminal already (a failed connection's
    // "Giriş (10.0.0.5:5005): ...") is not named twice.
    const QString named = name + QStringLiteral(": "), namedAt = name + QStringLiteral(" (");
    for (const QString& line : lines)
        out +=
            (line.startsWith(named) || line.startsWith(namedAt) ? QString() : named) + line + u'\n';
    return out;
}

} // namespace

std::vector<QSqlRecord> terminalRows(const QString& programDir) {
    ScopedConnectionName connection;
    std::vector<QSqlRecord> rows;
    {
        QSqlDatabase db =
            openDatabaseFile(connection.name(), programDir + QStringLiteral("Data.mdb"));
        QSqlQuery q =
            execSql(db, QStringLiteral("select * from Terminal order by Terminal collate TURKISH"));
        while (q.next())
            rows.push_back(q.record());
        q.finish();
        db.close();
    }
    return rows;
}

QString terminalName(const QSqlRecord& row) {
    return row.value(QStringLiteral("Terminal")).toString();
}

std::vector<QSqlRecord> rowsNamed(const std::vector<QSqlRecord>& rows, const QString& name) {
    std::vector<QSqlRecord> found;
    const QString wanted = folded(name);
    for (const QSqlRecord& row : rows) {
        if (folded(terminalName(row)) == wanted) found.push_back(row);
    }
    return found;
}

QString emptyListText() {
    return QStringLiteral("Terminal listesi boş.");
}

TerminalPick pickTerminal(const QString& programDir, const std::optional<QString>& name,
                          QTextStream& err, bool orAll) {
    std::vector<QSqlRecord> rows;
    try {
        rows = terminalRows(programDir);
    } catch (const AppError& e) {
        return {std::nullopt, failWith(err, e.text())};
    }
    if (rows.empty()) return {std::nullopt, failWith(err, emptyListText())};
    if (!name) {
        if (rows.size() == 1) return {rows.front(), ExitDone};
        return {std::nullopt,
                failWith(err,
                         QStringLiteral("Listede %1 terminal var; --terminal AD%2 ile seçin: %3")
                             .arg(rows.size())
                             .arg(orAll ? QStringLiteral(" ya da --all-terminals") : QString())
                             .arg(quotedNames(rows)),
                         ExitUsage)};
    }
    const std::vector<QSqlRecord> found = rowsNamed(rows, *name);
    if (found.size() == 1) return {found.front(), ExitDone};
    if (found.empty())
        return {std::nullopt,
                failWith(err,
                         QStringLiteral("\"%1\" adlı terminal listede yok. Listedekiler: %2")
                             .arg(*name, quotedNames(rows)),
                         ExitUsage)};
    return {std::nullopt,
            failWith(err,
                     QStringLiteral("\"%1\" adına %2 terminal uyuyor: %3. Adlar yalnız büyük/küçük "
                                    "harfle ayrılıyor; birini terminals edit ile yeniden "
                                    "adlandırın.")
                         .arg(*name)
                         .arg(found.size())
                         .arg(quotedNames(found)),
                     ExitUsage)};
}

int runEachTerminal(const std::vector<QSqlRecord>& rows, const TerminalCommand& command,
                    const Console& io) {
    int worst = ExitDone;
    for (const QSqlRecord& row : rows) {
        if (ConsoleOperator::interrupted()) return worseExitCode(worst, ExitCancelled);
        QString said;
        QTextStream saidStream(&said);
        const int code = command(row, {io.out, saidStream, io.quiet});
        saidStream.flush();
        io.err << prefixed(terminalName(row), said);
        io.err.flush();
        worst = worseExitCode(worst, code);
    }
    return worst;
}

int runTerminalsAtOnce(const std::vector<QSqlRecord>& rows, const TerminalCommand& command,
                       const Console& io, int jobs) {
    const int progressFd = io.quiet ? -1 : ConsoleOperator::progressOnTerminal();
    // What one terminal's command wrote, held until its turn on the screen.
    struct Said {
        QString out, err;
        int code = ExitFailed;
    };
    TerminalRunner runner({.atOnce = jobs, .showsProgress = progressFd >= 0, .stopWhen = [] {
                               return ConsoleOperator::interrupted();
                           }});
    for (const QSqlRecord& row : rows) {
        runner.add(terminalName(row), [&command, &io, row](TerminalJob& job) {
            Said said;
            QTextStream outStream(&said.out), errStream(&said.err);
            try {
                said.code = command(row, {outStream, errStream, io.quiet, &job});
            } catch (const std::exception& e) {
                // The commands catch their own; this one's lines still show.
                said.code = failWith(errStream, errorText(e));
            }
            outStream.flush();
            errStream.flush();
            job.setResult(std::move(said));
        });
    }

    // Everything reaches the screen from here, one terminal's lines together.
    int worst = ExitDone;
    ProgressBoard board(progressFd);
    const auto drawBoard = [&] {
        board.draw(runner.running(), runner.endedCount(), runner.size());
    };
    runner.deliverInOrder(
        [&](TerminalJob& job) {
            if (job.state() == TerminalJob::State::Skipped) { // kept from starting by Ctrl-C
                worst = worseExitCode(worst, ExitCancelled);
                return;
            }
            const Said* said = job.result<Said>();
            if (!said) { // its work threw what no catch above knows
                worst = worseExitCode(worst, ExitFailed);
                return;
            }
            board.clear();
            io.out << said->out;
            io.out.flush();
            io.err << prefixed(job.name(), said->err);
            io.err.flush();
            worst = worseExitCode(worst, said->code);
        },
        progressFd >= 0 ? std::function<void()>(drawBoard) : std::function<void()>());
    return worst;
}

int runOnChosenTerminals(const SubcommandCall& call, const TerminalCommand& command, int maxJobs) {
    const GivenOptions& given = call.options;
    const QString all = allTerminalsOption().name;
    const QString one = terminalOption().name;
    std::optional<int> jobs;
    if (given.isSet(jobsOption())) {
        bool number = false;
        jobs = given.value(jobsOption()).trimmed().toInt(&number);
        if (!number || *jobs < 1 || *jobs > kMaxJobs)
            return usageError(call.io.err,
                              QStringLiteral("--jobs 1 ile %1 arasında bir sayı olmalı: \"%2\"")
                                  .arg(kMaxJobs)
                                  .arg(given.value(jobsOption())),
                              {});
    }
    if (given.isSet(all)) {
        if (given.isSet(one))
            return usageError(call.io.err,
                              QStringLiteral("--terminal ile --all-terminals birlikte verilemez."),
                              {});
        std::vector<QSqlRecord> rows;
        try {
            rows = terminalRows(call.programDir);
        } catch (const AppError& e) {
            return failWith(call.io.err, e.text());
        }
        if (rows.empty()) return failWith(call.io.err, emptyListText());
        const int atOnce = std::min({jobs.value_or(std::min(int(rows.size()), kDefaultJobs)),
                                     int(rows.size()), std::max(maxJobs, 1)});
        if (atOnce <= 1) return runEachTerminal(rows, command, call.io);
        return runTerminalsAtOnce(rows, command, call.io, atOnce);
    }
    const TerminalPick pick = pickTerminal(
        call.programDir, given.isSet(one) ? std::optional(given.value(one)) : std::nullopt,
        call.io.err, call.offersAllTerminals);
    if (!pick.row) return pick.code;
    return command(*pick.row, call.io);
}

HeadlessTerminal::HeadlessTerminal(const QString& programDir, Operator& op)
    : programDir_(programDir), op_(op) {
    session.settingsFile = programDir + QStringLiteral("Settings.ini");
    // Ctrl-C, or the stop of the run this terminal's job is part of,
    // reaches a request the terminal hangs on.
    if (const TerminalJob* job = TerminalJob::current())
        clock.setCancelCheck(job->stopCheck());
    else
        clock.setCancelCheck([] { return ConsoleOperator::interrupted(); });
}

HeadlessTerminal::~HeadlessTerminal() {
    if (clock.isConnected()) disconnectTerminal(clock, session);
}

int HeadlessTerminal::connect(const QSqlRecord& row) {
    // A serial or USB line carries one connection: while the live capture
    // holds it, say so rather than fail to open it.
    if (row.value(QStringLiteral("Tip")).toString().trimmed().toLower() != u"ethernet") {
        if (const auto pid = liveCaptureHolding(programDir_, terminalName(row))) {
            op_.showMessage(QStringLiteral("\"%1\" terminalinin hattı canlı aktarımda (watch, "
                                           "süreç %2); komut çalıştırılmadı. Önce canlı aktarımı "
                                           "durdurun: systemctl stop v270-aktarim-watch")
                                .arg(escapedText(terminalName(row)))
                                .arg(*pid),
                            QString(), Operator::Icon::Warning);
            return ExitBusy;
        }
    }
    return connectCommand(clock, row, session, op_) ? ExitDone : ExitNotConnected;
}

int HeadlessTerminal::refusedLockCode() {
    int32_t code = SUCCESS;
    clock.GetLastError(code);
    return code == ERR_MULTIUSER ? ExitBusy : ExitFailed;
}

int unlessCancelled(int code) {
    return ConsoleOperator::interrupted() ? ExitCancelled : code;
}
