#include "EnrollStore.h"

#include "core/AppError.h"
#include "core/Database.h"
#include "core/TextHelpers.h"

#include <QCryptographicHash>
#include <QSqlError>
#include <QVariant>
#include <QtEndian>

namespace {

QSqlQuery prepared(const QSqlDatabase& db, const QString& sql) {
    QSqlQuery q(db);
    // Forward only, or the driver keeps every row read in memory.
    q.setForwardOnly(true);
    if (!q.prepare(sql)) throwDatabaseError(q.lastError());
    return q;
}

void run(QSqlQuery& q) {
    if (!q.exec()) throwDatabaseError(q.lastError());
}

// A writer's dirty pages stay in memory until its commit: spilled into the
// file in the middle of a download, they would take the file's exclusive
// lock, and every other reader (the window's grid, a command in another
// process) would wait for the download. Best effort: without it the writer
// is as safe, only less kind to readers.
void holdPagesUntilCommit(const QSqlDatabase& db, bool hold) {
    QSqlQuery q(db);
    q.exec(hold ? QStringLiteral("pragma cache_spill = off")
                : QStringLiteral("pragma cache_spill = on"));
}

} // namespace

QString kartnoOf(int32_t enroll) {
    return ZeroPad(QString::number(enroll), 5);
}

EnrollStore::EnrollStore(QSqlDatabase data, QSqlDatabase log)
    : data_(std::move(data)), log_(std::move(log)) {}

void EnrollStore::clearEnrollments() {
    execSql(data_, QStringLiteral("delete from tblEnroll"));
}

void EnrollStore::clearNames() {
    execSql(log_, QStringLiteral("delete from temp"));
}

long long EnrollStore::enrollmentCount() const {
    QSqlQuery q = execSql(data_, QStringLiteral("select count(*) from tblEnroll"));
    return q.next() ? q.value(0).toLongLong() : 0;
}

QSqlQuery EnrollStore::nameList(const QString& search) const {
    QString text = search.trimmed();
    QString pattern;
    for (QChar c : text) {
        if (c == u'\\' || c == u'%' || c == u'_') pattern += u'\\';
        pattern += c;
    }
    if (text.isEmpty())
        return execSql(log_,
                       QStringLiteral("select rowid, kartno, isim from temp order by kartno"));
    return execSql(log_,
                   QStringLiteral("select rowid, kartno, isim from temp "
                                  "where isim like ? escape '\\' order by kartno"),
                   {pattern + u'%'});
}

EnrollStore::EnrollStore(const TfrmDM& dm)
    : EnrollStore(dm.ADOConnection1(), dm.ADOConnection2()) {}

void EnrollStore::renameUser(const QString& kartno, const QString& name) {
    execSql(log_, QStringLiteral("update temp set isim = ? where kartno = ?"), {name, kartno});
}

// ---- StoreDigest

void StoreDigest::add(const EnrollRow& row) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const auto number = [&](qint64 n) {
        const qint64 le = qToLittleEndian(n);
        hash.addData(QByteArrayView(reinterpret_cast<const char*>(&le), sizeof le));
    };
    number(row.key.enroll);
    number(row.key.emachine);
    number(row.key.backup);
    number(row.privilege);
    // A NULL column and a value differ, whatever the value.
    hash.addData(row.password ? QByteArrayView("I") : QByteArrayView("N"));
    number(row.password.value_or(0));
    hash.addData(row.fpdata.isNull() ? QByteArrayView("N") : QByteArrayView("T"));
    hash.addData(row.fpdata.toUtf8());
    // A sum of the rows' hashes: the same rows in any order give the same digest.
    const QByteArray h = hash.result();
    for (int i = 0; i < 2; ++i)
        sum_[i] += qFromLittleEndian<quint64>(h.constData() + 8 * i);
    ++rows_;
}

QString StoreDigest::value() const {
    return QStringLiteral("%1%2")
        .arg(sum_[0], 16, 16, QLatin1Char('0'))
        .arg(sum_[1], 16, 16, QLatin1Char('0'))
        .toUpper();
}

// ---- EnrollWriter

EnrollWriter::EnrollWriter(EnrollStore& store) : store_(store) {
    QSqlQuery q = prepared(store_.data(), QStringLiteral("select EnrollNumber, EMachineNumber, "
                                                         "FingerNumber from tblEnroll"));
    run(q);
    while (q.next())
        keys_.insert({q.value(0).toInt(), q.value(1).toInt(), q.value(2).toInt()});
    q.finish();
    insertEnroll_ = prepared(store_.data(),
                             QStringLiteral("insert into tblEnroll (EMachineNumber, EnrollNumber, "
                                            "FingerNumber, Privilige, Password, FPdata) "
                                            "values (?, ?, ?, ?, ?, ?)"));
    insertName_ =
        prepared(store_.log(), QStringLiteral("insert into temp (kartno, isim) values (?, ?)"));
}

EnrollWriter::~EnrollWriter() {
    if (!open_) return;
    // Not committed: the store goes back to what it was before the writer.
    QSqlDatabase data = store_.data(), log = store_.log();
    data.rollback();
    log.rollback();
    holdPagesUntilCommit(data, false);
    holdPagesUntilCommit(log, false);
}

void EnrollWriter::begin() {
    QSqlDatabase data = store_.data(), log = store_.log();
    holdPagesUntilCommit(data, true);
    holdPagesUntilCommit(log, true);
    const auto fail = [&](const QSqlError& error) {
        holdPagesUntilCommit(data, false);
        holdPagesUntilCommit(log, false);
        throwDatabaseError(error);
    };
    if (!data.transaction()) fail(data.lastError());
    if (!log.transaction()) {
        const QSqlError error = log.lastError();
        data.rollback();
        fail(error);
    }
    open_ = true;
}

void EnrollWriter::clearStore() {
    if (!open_) begin();
    execSql(store_.data(), QStringLiteral("delete from tblEnroll"));
    execSql(store_.log(), QStringLiteral("delete from temp"));
    keys_.clear();
}

void EnrollWriter::commit() {
    if (!open_) return;
    QSqlDatabase data = store_.data(), log = store_.log();
    if (!data.commit()) {
        const QSqlError error = data.lastError();
        throwDatabaseError(error); // the destructor rolls both back
    }
    // Data.mdb holds the new rows now; a Log.mdb that refuses leaves the old
    // names, and the store is not marked complete.
    open_ = false;
    holdPagesUntilCommit(data, false);
    const bool logCommitted = log.commit();
    const QSqlError error = log.lastError();
    if (!logCommitted) log.rollback();
    holdPagesUntilCommit(log, false);
    if (!logCommitted) throwDatabaseError(error);
}

void EnrollWriter::add(const EnrollRow& row) {
    if (!open_) begin();
    insertEnroll_.bindValue(0, row.key.emachine);
    insertEnroll_.bindValue(1, row.key.enroll);
    insertEnroll_.bindValue(2, row.key.backup);
    insertEnroll_.bindValue(3, row.privilege);
    insertEnroll_.bindValue(4, row.password ? QVariant(*row.password) : QVariant());
    insertEnroll_.bindValue(5, row.fpdata.isNull() ? QVariant() : QVariant(row.fpdata));
    run(insertEnroll_);
    keys_.insert(row.key);
    digest_.add(row);
}

void EnrollWriter::addName(const QString& kartno, const QString& name) {
    if (!open_) begin();
    insertName_.bindValue(0, kartno);
    insertName_.bindValue(1, name.isNull() ? QStringLiteral("") : name); // empty, not NULL
    run(insertName_);
}

// ---- EnrollReader

EnrollReader::EnrollReader(const EnrollStore& store)
    : query_(prepared(store.data(), QStringLiteral("select EnrollNumber, EMachineNumber, "
                                                   "FingerNumber, Privilige, Password, FPdata "
                                                   "from tblEnroll"))) {
    run(query_);
}

namespace {

// The column's value as a 32-bit integer, or why it is not one.
std::optional<int32_t> int32Of(const QVariant& v, const char* column, QString& problem) {
    bool ok = false;
    const qlonglong n = v.typeId() == QMetaType::Double ? 0 : v.toLongLong(&ok);
    if (!ok || n < INT32_MIN || n > INT32_MAX) {
        if (problem.isEmpty())
            problem =
                QStringLiteral("%1 sütununda geçersiz değer: %2")
                    .arg(QLatin1String(column), v.isNull() ? QStringLiteral("NULL") : v.toString());
        return std::nullopt;
    }
    return static_cast<int32_t>(n);
}

} // namespace

bool EnrollReader::next(EnrollRow& row) {
    QString problem;
    const bool more = next(row, problem);
    if (!problem.isEmpty()) throw AppError(QStringLiteral("tblEnroll: ") + problem);
    return more;
}

bool EnrollReader::next(EnrollRow& row, QString& problem) {
    problem.clear();
    if (!query_.next()) {
        if (query_.lastError().isValid()) throwDatabaseError(query_.lastError());
        return false;
    }
    row.key.enroll = int32Of(query_.value(0), "EnrollNumber", problem).value_or(0);
    row.key.emachine = int32Of(query_.value(1), "EMachineNumber", problem).value_or(0);
    row.key.backup = int32Of(query_.value(2), "FingerNumber", problem).value_or(0);
    row.privilege = int32Of(query_.value(3), "Privilige", problem).value_or(0);
    const QVariant password = query_.value(4);
    row.password = password.isNull()
                       ? std::nullopt
                       : std::optional<int32_t>(int32Of(password, "Password", problem).value_or(0));
    const QVariant fpdata = query_.value(5);
    row.fpdata = fpdata.isNull() ? QString() : fpdata.toString();
    return true;
}

QString EnrollReader::keyText() const {
    const auto text = [&](int column) {
        const QVariant v = query_.value(column);
        return v.isNull() ? QStringLiteral("NULL") : v.toString();
    };
    return QStringLiteral("EnrollNumber %1, EMachineNumber %2, FingerNumber %3")
        .arg(text(0), text(1), text(2));
}
