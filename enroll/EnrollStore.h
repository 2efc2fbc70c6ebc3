#pragma once

// The enrollment store: the enrollments of the last download in tblEnroll
// (Data.mdb), and the users of that download with their names in temp
// (Log.mdb), one temp row per enrollment. Every value goes into SQL as a
// bound parameter. Database errors throw AppError with the database's text.

#include "core/TfrmDM.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <cstdint>
#include <optional>
#include <set>
#include <tuple>

// What identifies an enrollment on a terminal.
struct EnrollKey {
    int32_t enroll = 0;
    int32_t emachine = 0;
    int32_t backup = 0;
    auto operator<=>(const EnrollKey&) const = default;
};

// One row of tblEnroll.
struct EnrollRow {
    EnrollKey key;
    int32_t privilege = 0;
    std::optional<int32_t> password; // passwords and cards (backups 10, 11)
    QString fpdata;                  // template text (the other backups); null when none
    bool operator==(const EnrollRow&) const = default;
};

// Backups 10 and 11 carry the password value; every other one a template.
inline bool carriesPassword(int32_t backup) {
    return backup == 10 || backup == 11;
}

// temp's kartno for an enroll number: zero-filled to five characters, never cut.
QString kartnoOf(int32_t enroll);

class EnrollStore {
  public:
    // data: Data.mdb (tblEnroll); log: Log.mdb (temp).
    EnrollStore(QSqlDatabase data, QSqlDatabase log);
    // On the data module's two connections.
    explicit EnrollStore(const TfrmDM& dm);

    const QSqlDatabase& data() const { return data_; }
    const QSqlDatabase& log() const { return log_; }

    // Outside a download's writer: each its own statement, committed at once.
    void clearEnrollments();
    void clearNames();
    long long enrollmentCount() const;

    // The names list: rowid, kartno and isim of the temp rows whose name
    // begins with the search text (blanks around it removed; the text is
    // taken literally, Turkish-aware, without regard to letter case), in
    // kartno order. Executed and positioned before the first row.
    QSqlQuery nameList(const QString& search) const;

    // Every temp row of the user named by kartno gets the name.
    void renameUser(const QString& kartno, const QString& name);

  private:
    QSqlDatabase data_;
    QSqlDatabase log_;
};

// What identifies the rows of tblEnroll as a download wrote them: their
// number and a digest that does not depend on their order.
class StoreDigest {
  public:
    void add(const EnrollRow& row);
    qint64 rows() const { return rows_; }
    // 32 hexadecimal digits.
    QString value() const;

  private:
    qint64 rows_ = 0;
    quint64 sum_[2] = {0, 0};
};

// Writes into the store in one transaction on each file: nothing it writes
// is seen by another connection, or survives a kill, before commit(). A
// writer that ends without commit() (a cancel, a failed download, an error)
// rolls both files back, so the store stays exactly as it was.
class EnrollWriter {
  public:
    explicit EnrollWriter(EnrollStore& store);
    ~EnrollWriter();
    EnrollWriter(const EnrollWriter&) = delete;
    EnrollWriter& operator=(const EnrollWriter&) = delete;

    // Empties tblEnroll and temp, for a download that replaces the store.
    void clearStore();
    // Whether tblEnroll holds the key (as it stood when the writer began,
    // plus what the writer added).
    bool contains(const EnrollKey& key) const { return keys_.count(key) != 0; }
    void add(const EnrollRow& row);
    void addName(const QString& kartno, const QString& name);
    // Makes everything written durable, Data.mdb first.
    void commit();
    // The rows added by this writer.
    const StoreDigest& digest() const { return digest_; }

  private:
    void begin();

    EnrollStore& store_;
    bool open_ = false;
    std::set<EnrollKey> keys_;
    StoreDigest digest_;
    QSqlQuery insertEnroll_;
    QSqlQuery insertName_;
};

// Reads tblEnroll in its natural order.
class EnrollReader {
  public:
    explicit EnrollReader(const EnrollStore& store);
    // False at the end. A value that is not a 32-bit integer throws AppError.
    bool next(EnrollRow& row);
    // As next, but a value that is not a 32-bit integer is told in problem
    // (empty when there is none) instead of thrown; the rest of the row is
    // read all the same. Database errors still throw.
    bool next(EnrollRow& row, QString& problem);
    // The key of the row read last as stored, for the operator:
    // "EnrollNumber 42, EMachineNumber 1, FingerNumber 0".
    QString keyText() const;

  private:
    QSqlQuery query_;
};
