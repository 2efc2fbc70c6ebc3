#include "HeadlessCommands.h"

#include "DataFiles.h"
#include "MemoryCard.h"
#include "TransferCommands.h"
#include "app/AppError.h"
#include "app/Database.h"
#include "app/IniFile.h"
#include "terminal/TFP_CLOCK.h"
#include "terminal/session/TerminalSession.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>
#include <optional>

bool ConsoleOperator::askYesNo(const QString& text, const QString& title) {
    out_ << title << ": " << text << " -> Hayır\n";
    out_.flush();
    return false;
}

void ConsoleOperator::showMessage(const QString& text, const QString&, Icon) {
    out_ << text << '\n';
    out_.flush();
}

void ConsoleOperator::setStatus(const QString& text) {
    out_ << text << '\n';
    out_.flush();
}

namespace {

// Removes the named connection when the command ends.
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

// The row the grid would show for the name, or its first row; an empty
// record for an empty list, as "BAGLAN" gets then. nullopt: no such name.
std::optional<QSqlRecord> terminalRow(const QString& programDir, const QString& name) {
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

int failWith(QTextStream& err, const QString& text) {
    err << text << '\n';
    err.flush();
    return 1;
}

} // namespace

int runTransferCommand(const QString& programDir, bool all, const QString& terminalName,
                       QTextStream& out, QTextStream& err) {
    ConsoleOperator op(out);
    try {
        const std::optional<QSqlRecord> row = terminalRow(programDir, terminalName);
        if (!row)
            return failWith(err,
                            QStringLiteral("\"%1\" adlı terminal listede yok.").arg(terminalName));
        const QString settings = programDir + QStringLiteral("Settings.ini");
        const bool secondFile =
            readProfileString(settings, QStringLiteral("Options"), QStringLiteral("veriDosya2"),
                              QString()) == QStringLiteral("1");

        TFP_CLOCK clock;
        clock.setSettingsFile(settings);
        SessionState session;
        if (!connectCommand(clock, *row, session, op)) return 2;
        struct Disconnect {
            TFP_CLOCK& clock;
            SessionState& session;
            ~Disconnect() { disconnectTerminal(clock, session); }
        } disconnect{clock, session};

        const TransferResult r =
            all ? downloadAllRecords(clock, session.machineNumber, programDir, secondFile,
                                     FullDownload::Keep, op)
                : transferNewRecords(clock, session.machineNumber, programDir, secondFile, op);
        switch (r.outcome) {
        case TransferOutcome::Transferred:
        case TransferOutcome::NoRecords:
            return 0;
        case TransferOutcome::Busy:
            return failWith(err, dataFilesBusyText());
        case TransferOutcome::NoDevice:
            return failWith(err,
                            QStringLiteral("Terminal yanıt vermiyor: kilitlenemedi "
                                           "(EnableDevice başarısız); hiçbir kayıt okunmadı."));
        case TransferOutcome::ReadFailed:
            return failWith(err, QStringLiteral("Terminal kayıtları hazırlayamadı: %1")
                                     .arg(r.errorName.isEmpty() ? QStringLiteral("bilinmeyen hata")
                                                                : r.errorName));
        case TransferOutcome::Interrupted:
            return failWith(err, interruptedText(r.errorName, r.records));
        }
        return 1;
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
        if (!convertMemoryCardFile(file, programDir, op)) return failWith(err, dataFilesBusyText());
        return 0;
    } catch (const AppError& e) {
        return failWith(err, e.text());
    } catch (const std::exception& e) {
        return failWith(err, errorText(e));
    }
}
