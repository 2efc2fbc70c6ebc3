#include "PersonnelNames.h"

#include "MySqlText.h"
#include "PersonnelConnection.h"
#include "core/AppError.h"
#include "core/Database.h"
#include "core/Operator.h"
#include "core/TextHelpers.h"
#include "mysql/MyQuery.h"
#include "session/TerminalSession.h"

#include <QHash>
#include <QScopeGuard>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <vector>

using v270::mysql::TMyConnection;
using v270::mysql::TMyQuery;

namespace {

// Kartno values a statement looks up. Below the server's threshold for
// turning a long IN list into a join, so it reads rows as for one value.
constexpr int kBatchSize = 500;

// A text that two kartno values equal to each other by the column's
// collation surely share: no case, no accents, no trailing blanks. Values
// sharing it go in different statements, so that each row the server
// returns answers one value only.
QString collationKey(const QString& kartno) {
    QString key;
    for (QChar c : FoldTurkish(kartno).normalized(QString::NormalizationForm_KD)) {
        if (c.category() != QChar::Mark_NonSpacing) key += c;
    }
    while (key.endsWith(u' '))
        key.chop(1);
    return key.toCaseFolded();
}

// One kartno value to look up.
struct Lookup {
    QString kartno;
    int listRows = 0;   // rows of the names list with it
    bool found = false; // a personel row answered it
    QString name;       // that row's name; empty when it has none
};

// Closes the connection when the fill ends, however it ends.
class ClosingConnection {
  public:
    explicit ClosingConnection(TMyConnection& c) : c_(c) {}
    ~ClosingConnection() {
        try {
            c_.Close();
        } catch (...) {
            // An event handler's failure must not hide the fill's own outcome.
        }
    }
    ClosingConnection(const ClosingConnection&) = delete;
    ClosingConnection& operator=(const ClosingConnection&) = delete;

  private:
    TMyConnection& c_;
};

// The names of one batch: "select field(kartno, v1, v2, ...) ... where kartno
// in (v1, v2, ...)" gives each row the number of the value it matched; the
// first row for a number, in the server's order, names that value.
void lookUp(TMyConnection& connection, TMyQuery& query, const std::vector<Lookup*>& batch) {
    std::vector<Lookup*> sent;
    std::string values;
    for (Lookup* l : batch) {
        const std::optional<std::string> bytes = toLatin5(l->kartno);
        if (!bytes) continue; // no personel row can hold it
        if (!values.empty()) values += ',';
        values += quotedLiteral(connection, *bytes);
        sent.push_back(l);
    }
    if (sent.empty()) return;
    query.Close();
    // One line as it stands: a literal may hold a line break of its own.
    query.SQL.Clear();
    query.SQL.Add("select field(kartno," + values + ") as n, ad, soyad from personel " +
                  "where kartno in (" + values + ")");
    query.Open();
    const v270::mysql::TField n = query.FieldByName("n");
    const v270::mysql::TField ad = query.FieldByName("ad");
    const v270::mysql::TField soyad = query.FieldByName("soyad");
    std::vector<bool> answered(sent.size(), false);
    for (query.First(); !query.Eof(); query.Next()) {
        const int64_t index = n.AsInteger() - 1;
        if (index < 0 || index >= int64_t(sent.size()) || answered[index]) continue;
        answered[index] = true;
        sent[index]->found = true;
        sent[index]->name = personnelName(fromLatin5(ad.AsString()), fromLatin5(soyad.AsString()));
    }
    query.Close();
}

// Writes the names found into temp in one transaction: the fill replaces
// names only when every lookup went through. By kartno, not by row: a
// download may have put other users on the rows the list was read from.
int storeNames(EnrollStore& store, const std::vector<Lookup>& lookups) {
    QSqlDatabase log = store.log();
    if (!log.transaction()) throwDatabaseError(log.lastError());
    auto rollback = qScopeGuard([&] { log.rollback(); });
    QSqlQuery update(log);
    if (!update.prepare(QStringLiteral("update temp set isim = ? where kartno = ?")))
        throwDatabaseError(update.lastError());
    int renamed = 0;
    for (const Lookup& l : lookups) {
        if (l.name.isEmpty()) continue;
        update.bindValue(0, l.name);
        update.bindValue(1, l.kartno);
        if (!update.exec()) throwDatabaseError(update.lastError());
        renamed += update.numRowsAffected();
    }
    if (!log.commit()) throwDatabaseError(log.lastError());
    rollback.dismiss();
    return renamed;
}

// The values of the names list under search, each once, in the list's order.
std::vector<Lookup> listedLookups(EnrollStore& store, const QString& search, int& listRows) {
    std::vector<Lookup> lookups;
    QHash<QString, size_t> byKartno;
    QSqlQuery list = store.nameList(search);
    while (list.next()) {
        const QString kartno = list.value(1).toString(); // NULL reads as ""
        auto it = byKartno.constFind(kartno);
        if (it == byKartno.constEnd()) {
            it = byKartno.insert(kartno, lookups.size());
            lookups.push_back({kartno, 0, false, {}});
        }
        ++lookups[*it].listRows;
        ++listRows;
    }
    return lookups;
}

// Rounds: the n-th value of each collation key goes in round n.
std::vector<std::vector<Lookup*>> lookupRounds(std::vector<Lookup>& lookups) {
    std::vector<std::vector<Lookup*>> rounds;
    QHash<QString, size_t> seen;
    for (Lookup& l : lookups) {
        const size_t round = seen[collationKey(l.kartno)]++;
        if (round >= rounds.size()) rounds.resize(round + 1);
        rounds[round].push_back(&l);
    }
    return rounds;
}

// Looks every value up, batch by batch, until done or cancelled; false
// when cancelled.
bool lookUpAll(TMyConnection& connection, TMyQuery& query,
               const std::vector<std::vector<Lookup*>>& rounds, Operator& op) {
    int done = 0;
    try {
        for (const std::vector<Lookup*>& round : rounds) {
            for (size_t first = 0; first < round.size(); first += kBatchSize) {
                if (op.cancelRequested()) return false;
                const std::vector<Lookup*> batch(round.begin() + first,
                                                 round.begin() +
                                                     std::min(round.size(), first + kBatchSize));
                if (!connection.Connected()) connection.Connect();
                lookUp(connection, query, batch);
                done += static_cast<int>(batch.size());
                op.setProgress(done);
            }
        }
    } catch (const v270::mysql::EDatabaseError& e) {
        throw AppError(mySqlErrorReport(e));
    }
    return true;
}

// The list rows left as they were, by why.
void countUnnamedRows(const std::vector<Lookup>& lookups, FillResult& result) {
    for (const Lookup& l : lookups) {
        if (!l.found)
            result.unmatchedRows += l.listRows;
        else if (l.name.isEmpty())
            result.emptyNameRows += l.listRows;
    }
}

} // namespace

bool ApplyMySqlSettings(TMyConnection& connection, const PersonnelSettings& settings,
                        Operator& op) {
    if (setPersonnelConnection(connection, settings)) return true;
    op.showMessage(QStringLiteral("Veritabanına bağlanamadı...."), QStringLiteral("UYARI"),
                   Operator::Icon::None);
    return false;
}

QString personnelName(const QString& ad, const QString& soyad) {
    return (ad + u' ' + soyad).trimmed();
}

FillResult fillNames(TMyConnection& connection, TMyQuery& query, const PersonnelSettings& settings,
                     EnrollStore& store, const QString& search, Operator& op) {
    BusyCursor busy(op);
    ApplyMySqlSettings(connection, settings, op);
    ClosingConnection closing(connection);

    FillResult result;
    std::vector<Lookup> lookups = listedLookups(store, search, result.listRows);
    op.setProgressRange(0, static_cast<int>(lookups.size()));
    result.cancelled = !lookUpAll(connection, query, lookupRounds(lookups), op);
    // A cancel during the last lookup still leaves the list as it was.
    if (!result.cancelled && op.cancelRequested()) result.cancelled = true;
    if (!result.cancelled) {
        result.renamedRows = storeNames(store, lookups);
        // What was not looked up is not "not found".
        countUnnamedRows(lookups, result);
    }
    op.setStatus(fillResultLines(result).join(QStringLiteral("  ")));
    return result;
}

QStringList fillResultLines(const FillResult& result) {
    if (result.cancelled)
        return {QStringLiteral("İptal edildi."),
                QStringLiteral("Hiçbir isim yazılmadı; isim listesi olduğu gibi duruyor.")};
    QStringList lines = {
        QStringLiteral("İsmi yazılan satır: %1").arg(result.renamedRows),
        QStringLiteral("Personel kaydı bulunamayan satır: %1").arg(result.unmatchedRows)};
    if (result.emptyNameRows > 0)
        lines << QStringLiteral("Personel kaydında adı ve soyadı boş olan satır: %1")
                     .arg(result.emptyNameRows);
    return lines;
}
