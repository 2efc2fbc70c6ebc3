#include "HeadlessTerminal.h"

#include "TerminalJobs.h"
#include "core/AppError.h"
#include "core/ConsoleOperator.h"
#include "core/Database.h"
#include "registry/TerminalCheck.h"

#include <QLocale>
#include <QSqlQuery>
#include <QThread>
#include <QUuid>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

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
    for (const QString& line : lines)
        out += name + QStringLiteral(": ") + line + u'\n';
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
    const int count = int(rows.size());
    jobs = std::clamp(jobs, 1, std::max(count, 1));
    const int progressFd = io.quiet ? -1 : ConsoleOperator::progressOnTerminal();
    struct Slot {
        std::unique_ptr<TerminalJob> job;
        bool started = false, finished = false;
        QString out, err;
        int code = ExitDone;
    };
    std::vector<Slot> places(size_t(rows.size()));
    for (int i = 0; i < count; ++i)
        places[size_t(i)].job =
            std::make_unique<TerminalJob>(i, terminalName(rows[size_t(i)]), progressFd >= 0);

    std::mutex mutex;
    std::condition_variable changed;
    int next = 0, workersLeft = jobs;
    const auto work = [&] {
        for (;;) {
            Slot* slot = nullptr;
            {
                std::lock_guard guard(mutex);
                if (next >= count || ConsoleOperator::interrupted()) break;
                slot = &places[size_t(next++)];
                slot->started = true;
            }
            QString out, err;
            QTextStream outStream(&out), errStream(&err);
            int code = ExitFailed;
            try {
                code = command(rows[size_t(slot->job->index())],
                               {outStream, errStream, io.quiet, slot->job.get()});
            } catch (const std::exception& e) {
                // The commands catch their own; nothing may leave a thread.
                code = failWith(errStream, errorText(e));
            }
            outStream.flush();
            errStream.flush();
            std::lock_guard guard(mutex);
            slot->out = std::move(out);
            slot->err = std::move(err);
            slot->code = code;
            slot->finished = true;
            changed.notify_all();
        }
        std::lock_guard guard(mutex);
        --workersLeft;
        changed.notify_all();
    };
    std::vector<std::unique_ptr<QThread>> threads;
    for (int j = 0; j < jobs; ++j) {
        threads.emplace_back(QThread::create(work));
        threads.back()->start();
    }

    // Everything reaches the screen from here, one terminal's lines together.
    int worst = ExitDone, printed = 0;
    {
        ProgressBoard board(progressFd);
        std::unique_lock lock(mutex);
        for (;;) {
            if (printed < count && places[size_t(printed)].finished) board.clear();
            for (; printed < count && places[size_t(printed)].finished; ++printed) {
                Slot& slot = places[size_t(printed)];
                io.out << slot.out;
                io.out.flush();
                io.err << prefixed(slot.job->name(), slot.err);
                io.err.flush();
                worst = worseExitCode(worst, slot.code);
            }
            if (workersLeft == 0) break;
            std::vector<const TerminalJob*> running;
            int finished = 0;
            for (const Slot& slot : places) {
                finished += slot.finished;
                if (slot.started && !slot.finished) running.push_back(slot.job.get());
            }
            board.draw(running, finished, count);
            changed.wait_for(lock, std::chrono::milliseconds(100));
        }
    }
    for (const auto& thread : threads)
        thread->wait();
    // Rows a Ctrl-C kept from starting.
    if (printed < count) worst = worseExitCode(worst, ExitCancelled);
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
    // Ctrl-C reaches a request the terminal hangs on.
    clock.setCancelCheck([] { return ConsoleOperator::interrupted(); });
}

HeadlessTerminal::~HeadlessTerminal() {
    if (clock.isConnected()) disconnectTerminal(clock, session);
}

int HeadlessTerminal::connect(const QSqlRecord& row) {
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
