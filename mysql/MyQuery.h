#pragma once
// The query component: a statement over a TMyConnection, its records read
// into a record store, navigation and field values.

#include "MyConnection.h"
#include "MySqlRecordSet.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace v270::mysql {

class TMyQuery;
class TextBuilder;
struct FormatSettings;

// A field of the current record. It stays tied to the opening of the query
// it came from: after Close it raises instead of reading freed records.
class TField {
  public:
    const std::string& FieldName() const { return Desc().Name; }
    TFieldType DataType() const { return Desc().DataType; }
    uint32_t Size() const { return Desc().Size; }
    bool Required() const { return Desc().Required; }

    bool IsNull() const;
    // Empty for NULL; strings, memos and blobs their bytes unchanged;
    // numbers, dates and times by the process's format settings.
    std::string AsString() const;
    // The same text added to out: nothing is allocated for it but out's
    // own growth.
    void AppendString(std::string& out) const;
    // Integer and boolean fields, and the text of string fields; 0 for NULL.
    int64_t AsInteger() const;
    // Float and integer fields, and the text of string fields; 0 for NULL.
    double AsFloat() const;
    // Boolean and integer fields; false for NULL.
    bool AsBoolean() const;

  private:
    friend class TMyQuery;
    TField(const TMyQuery* query, size_t index, uint64_t opening)
        : query_(query), index_(index), opening_(opening) {}
    const TMySQLFieldDesc& Desc() const;
    // The current record, or null when the result has no records, and the
    // descriptor: the query is checked once for both.
    const uint8_t* Current(const TMySQLFieldDesc*& desc) const;
    [[noreturn]] void WrongType(const char* type) const;

    const TMyQuery* query_;
    size_t index_;
    uint64_t opening_;
};

// The statement text as a list of lines.
class TSQLLines {
  public:
    void Clear() { lines_.clear(); }
    void Add(const std::string& line) { lines_.push_back(line); }
    size_t Count() const { return lines_.size(); }
    const std::string& operator[](size_t i) const { return lines_[i]; }
    // The lines joined by CR LF.
    std::string Text() const;
    // Splits at CR LF, LF or CR.
    void SetText(const std::string& text);

  private:
    std::vector<std::string> lines_;
};

class TMyQuery : public TMyComponent {
  public:
    TMyQuery() = default;
    ~TMyQuery() override;
    TMyQuery(const TMyQuery&) = delete;
    TMyQuery& operator=(const TMyQuery&) = delete;

    TMyConnection* Connection() const { return connection_; }
    void SetConnection(TMyConnection* connection);

    TSQLLines SQL;
    bool FetchAll = true;   // every row is read at Open
    size_t FetchRows = 25;  // records a block
    int CommandTimeout = 0; // read limit of a statement in seconds; 0 = a year
    TMySQLRecordSetOptions Options;

    // Connects when needed, runs the statement and reads its records.
    // Raises EMyError for a failed statement, EDatabaseError "SQL statement
    // doesn't return rows" when there is no result set, and EDatabaseError
    // for a value that cannot be converted; the query stays closed then.
    void Open();
    // Drops the records (reading and dropping the rows not yet read); the
    // connection stays open.
    void Close();
    bool Active() const { return active_; }
    void SetActive(bool value) { value ? Open() : Close(); }
    // Runs the statement without a result set.
    void ExecSQL();
    int64_t RowsAffected() const { return rowsAffected_; }

    void First();
    void Next();
    // True past the last record, for a result without records, and while closed.
    bool Eof() const { return !active_ || eof_; }
    size_t RecordCount() const;
    size_t FieldCount() const;
    TField Fields(size_t index) const;
    // The current record's values, each as AsString gives it, with the
    // separator between them (nothing for a result without records).
    void AppendRecordText(std::string& out, char separator) const;
    // The same into a builder, which may go on from record to record (and
    // look each format up once for all of them), by the settings given.
    void AppendRecordText(TextBuilder& out, char separator, const FormatSettings& settings) const;
    // Letter case does not matter; raises "Field '%s' not found".
    TField FieldByName(const std::string& name) const;

  private:
    friend class TMyConnection;
    friend class TField;
    void ConnectForStatement();
    void CheckActive() const;
    // Closes this query; e as the connection raises it, for the caller to
    // throw.
    EMyError Failure(const EMySqlException& e);

    TMyConnection* connection_ = nullptr;
    std::unique_ptr<TMySQLRecordSet> records_;
    size_t current_ = 0;
    bool eof_ = true;
    bool active_ = false;
    uint64_t opening_ = 0;
    int64_t rowsAffected_ = -1;
};

} // namespace v270::mysql
