#include "HeadlessTerminal.h"

#include "Subcommand.h"
#include "core/Database.h"

#include <QSqlQuery>
#include <QUuid>

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

std::optional<QSqlRecord> findTerminalRow(const QString& programDir, const QString& name) {
    ScopedConnectionName connection;
    std::optional<QSqlRecord> found;
    {
        QSqlDatabase db =
            openDatabaseFile(connection.name(), programDir + QStringLiteral("Data.mdb"));
        QSqlQuery q =
            execSql(db, QStringLiteral("select * from Terminal order by Terminal collate TURKISH"));
        while (q.next()) {
            if (name.isEmpty() || q.value(QStringLiteral("Terminal")).toString() == name) {
                found = q.record();
                break;
            }
        }
        if (!found && name.isEmpty()) found = QSqlRecord();
        q.finish();
        db.close();
    }
    return found;
}

HeadlessTerminal::HeadlessTerminal(const QString& programDir, Operator& op)
    : programDir_(programDir), op_(op) {
    session.settingsFile = programDir + QStringLiteral("Settings.ini");
}

HeadlessTerminal::~HeadlessTerminal() {
    if (clock.isConnected()) disconnectTerminal(clock, session);
}

int HeadlessTerminal::connect(const QString& name, QTextStream& err) {
    const std::optional<QSqlRecord> row = findTerminalRow(programDir_, name);
    if (!row) return failWith(err, QStringLiteral("\"%1\" adlı terminal listede yok.").arg(name));
    return connectCommand(clock, *row, session, op_) ? ExitDone : ExitNotConnected;
}
