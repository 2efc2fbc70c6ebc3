#include "HeadlessTerminal.h"

#include "Subcommand.h"
#include "core/AppError.h"
#include "core/Database.h"

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

std::optional<QSqlRecord> findTerminalRow(const QString& programDir, const QString& name) {
    const std::vector<QSqlRecord> rows = terminalRows(programDir);
    if (name.isEmpty()) return rows.empty() ? QSqlRecord() : rows.front();
    for (const QSqlRecord& row : rows) {
        if (row.value(QStringLiteral("Terminal")).toString() == name) return row;
    }
    return std::nullopt;
}

QCommandLineOption allTerminalsOption() {
    return QCommandLineOption(QStringLiteral("all-terminals"),
                              QStringLiteral("Listedeki her terminalde, sırayla."));
}

int runOnChosenTerminals(const SubcommandCall& call,
                         const std::function<int(const TerminalChoice&)>& command) {
    const QString name = call.parser.value(QStringLiteral("terminal"));
    if (!call.parser.isSet(QStringLiteral("all-terminals"))) return command(name);
    if (call.parser.isSet(QStringLiteral("terminal")))
        return failWith(call.err, QStringLiteral("--terminal ile --all-terminals birlikte "
                                                 "verilemez."));
    std::vector<QSqlRecord> rows;
    try {
        rows = terminalRows(call.programDir);
    } catch (const AppError& e) {
        return failWith(call.err, e.text());
    }
    if (rows.empty()) return failWith(call.err, QStringLiteral("Terminal listesi boş."));
    int worst = ExitDone;
    for (const QSqlRecord& row : rows) {
        call.out << "== " << row.value(QStringLiteral("Terminal")).toString() << " ==\n";
        call.out.flush();
        worst = worseExitCode(worst, command(row));
    }
    return worst;
}

HeadlessTerminal::HeadlessTerminal(const QString& programDir, Operator& op)
    : programDir_(programDir), op_(op) {
    session.settingsFile = programDir + QStringLiteral("Settings.ini");
}

HeadlessTerminal::~HeadlessTerminal() {
    if (clock.isConnected()) disconnectTerminal(clock, session);
}

int HeadlessTerminal::connect(const TerminalChoice& choice, QTextStream& err) {
    const std::optional<QSqlRecord> row =
        choice.row ? choice.row : findTerminalRow(programDir_, choice.name);
    if (!row)
        return failWith(err, QStringLiteral("\"%1\" adlı terminal listede yok.").arg(choice.name));
    return connectCommand(clock, *row, session, op_) ? ExitDone : ExitNotConnected;
}
