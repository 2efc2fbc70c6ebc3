#include "MyQuery.h"

#include "FormatSettings.h"
#include "OnFailure.h"

#include <cctype>

namespace v270::mysql {

namespace {

constexpr int64_t kMicrosPerDay = 86400LL * 1000000;

DateTimeParts PartsOf(int64_t microseconds) {
    int64_t days = microseconds / kMicrosPerDay;
    int64_t rest = microseconds % kMicrosPerDay;
    if (rest < 0) {
        rest += kMicrosPerDay;
        --days;
    }
    // A result's values tend to share their day: the last one is kept here
    // too, saving the call.
    thread_local int64_t lastDays = INT64_MIN;
    thread_local DateTimeParts lastDate;
    if (days != lastDays) {
        lastDate = DateFromDays(days);
        lastDays = days;
    }
    DateTimeParts p = lastDate;
    // A day's milliseconds fit 32 bits, whose arithmetic costs less.
    const uint32_t ms = static_cast<uint32_t>(rest / 1000);
    const uint32_t seconds = ms / 1000;
    p.hour = static_cast<int>(seconds / 3600);
    p.minute = static_cast<int>(seconds / 60 % 60);
    p.second = static_cast<int>(seconds % 60);
    p.millisecond = static_cast<int>(ms % 1000);
    return p;
}

// The text of a value as AsString gives it. A row's values come through
// here one after another: it sits in the loop that calls it.
[[gnu::always_inline]] inline void AppendValueText(TextBuilder& out, const uint8_t* rec,
                                                   const TMySQLFieldDesc& f,
                                                   const FormatSettings& fs) {
    using R = TMySQLRecordSet;
    if (R::IsNull(rec, f)) return;
    switch (f.Kind) {
    case TValueKind::Bytes:
        out.Put(R::Bytes(rec, f));
        return;
    case TValueKind::Boolean:
        out.Put(R::Load<uint8_t>(rec, f) ? "True" : "False");
        return;
    case TValueKind::Float:
        out.Float(R::Load<double>(rec, f), fs);
        return;
    case TValueKind::Date:
        out.Date(DateFromDays(R::Load<int32_t>(rec, f)), fs);
        return;
    case TValueKind::DateTime:
        out.DateAndTime(PartsOf(R::Load<int64_t>(rec, f)), fs);
        return;
    case TValueKind::Time:
        out.TimeSpan(R::Load<int64_t>(rec, f), fs);
        return;
    case TValueKind::UInt64:
        out.Unsigned(R::Load<uint64_t>(rec, f));
        return;
    default:
        out.Integer(R::IntegerValue(rec, f));
        return;
    }
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

// --- statement text --------------------------------------------------------

std::string TSQLLines::Text() const {
    std::string text;
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (i) text += "\r\n";
        text += lines_[i];
    }
    return text;
}

void TSQLLines::SetText(const std::string& text) {
    lines_.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines_.push_back(text.substr(start));
            break;
        }
        lines_.push_back(text.substr(start, end - start));
        start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
}

// --- field -----------------------------------------------------------------

const TMySQLFieldDesc& TField::Desc() const {
    query_->CheckActive();
    if (opening_ != query_->opening_)
        throw EDatabaseError("Cannot perform this operation on a closed dataset");
    return query_->records_->Fields()[index_];
}

const uint8_t* TField::Current(const TMySQLFieldDesc*& desc) const {
    desc = &Desc();
    const TMySQLRecordSet& r = *query_->records_;
    return r.RecordCount() == 0 ? nullptr : r.Record(query_->current_);
}

void TField::WrongType(const char* type) const {
    throw EDatabaseError("Cannot access field '" + FieldName() + "' as type " + type);
}

bool TField::IsNull() const {
    const TMySQLFieldDesc* f;
    const uint8_t* rec = Current(f);
    return !rec || TMySQLRecordSet::IsNull(rec, *f);
}

std::string TField::AsString() const {
    std::string text;
    AppendString(text);
    return text;
}

void TField::AppendString(std::string& out) const {
    const TMySQLFieldDesc* desc;
    const uint8_t* rec = Current(desc);
    TextBuilder text(out);
    if (rec) AppendValueText(text, rec, *desc, formatSettings());
}

int64_t TField::AsInteger() const {
    const TMySQLFieldDesc* desc;
    const uint8_t* rec = Current(desc);
    const TMySQLFieldDesc& f = *desc;
    if (!rec || TMySQLRecordSet::IsNull(rec, f)) return 0;
    switch (f.Kind) {
    case TValueKind::Bytes: {
        std::string_view text = TMySQLRecordSet::Bytes(rec, f);
        uint64_t magnitude = 0;
        bool negative = false;
        values::ParseInteger(text, true, magnitude, negative);
        if (magnitude > (negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX)))
            throw EDatabaseError("'" + std::string(text) + "' is not a valid integer value");
        return static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
    }
    case TValueKind::UInt64:
        if (TMySQLRecordSet::Load<uint64_t>(rec, f) > uint64_t(INT64_MAX))
            throw EDatabaseError("'" + AsString() + "' is not a valid integer value");
        return TMySQLRecordSet::Load<int64_t>(rec, f);
    case TValueKind::Float:
    case TValueKind::Date:
    case TValueKind::Time:
    case TValueKind::DateTime:
        WrongType("Integer");
    default:
        return TMySQLRecordSet::IntegerValue(rec, f);
    }
}

double TField::AsFloat() const {
    const TMySQLFieldDesc* desc;
    const uint8_t* rec = Current(desc);
    const TMySQLFieldDesc& f = *desc;
    if (!rec || TMySQLRecordSet::IsNull(rec, f)) return 0;
    switch (f.Kind) {
    case TValueKind::Float:
        return TMySQLRecordSet::Load<double>(rec, f);
    case TValueKind::Bytes:
        return values::ParseFloat(TMySQLRecordSet::Bytes(rec, f));
    case TValueKind::UInt64:
        return static_cast<double>(TMySQLRecordSet::Load<uint64_t>(rec, f));
    case TValueKind::Date:
    case TValueKind::Time:
    case TValueKind::DateTime:
        WrongType("Float");
    default:
        return static_cast<double>(TMySQLRecordSet::IntegerValue(rec, f));
    }
}

bool TField::AsBoolean() const {
    const TMySQLFieldDesc* desc;
    const uint8_t* rec = Current(desc);
    const TMySQLFieldDesc& f = *desc;
    if (!rec || TMySQLRecordSet::IsNull(rec, f)) return false;
    switch (f.Kind) {
    case TValueKind::Float:
    case TValueKind::Bytes:
    case TValueKind::Date:
    case TValueKind::Time:
    case TValueKind::DateTime:
        WrongType("Boolean");
    default:
        return TMySQLRecordSet::IntegerValue(rec, f) != 0;
    }
}

// --- query -----------------------------------------------------------------

TMyQuery::~TMyQuery() {
    Close();
    if (connection_) connection_->Detach(this);
}

void TMyQuery::SetConnection(TMyConnection* connection) {
    if (connection == connection_) return;
    Close();
    if (connection_) connection_->Detach(this);
    connection_ = connection;
    if (connection_) connection_->Attach(this);
}

void TMyQuery::CheckActive() const {
    if (!active_) throw EDatabaseError("Cannot perform this operation on a closed dataset");
}

void TMyQuery::ConnectForStatement() {
    if (!connection_) throw EDatabaseError("Connection is not defined");
    if (connection_->Connected()) return;
    if (!connection_->Options().AllowImplicitConnect())
        throw EDatabaseError("Connection is not active");
    connection_->Connect();
}

EMyError TMyQuery::Failure(const EMySqlException& e) {
    Close();
    return connection_->Error(e, this);
}

void TMyQuery::Open() {
    if (active_) return;
    ConnectForStatement();
    TMySQLConnection& c = *connection_->InternalConnection();
    // A new store each time: the connection may have a new session since.
    records_ = std::make_unique<TMySQLRecordSet>(c.Api(), c.Session());
    records_->Options = Options;
    records_->FetchRows = FetchRows;
    records_->CommandTimeout = CommandTimeout;
    try {
        // Any other failure passes as it is, the query closed.
        const OnFailure closeOnFailure([this]() noexcept { Close(); });
        if (!records_->Open(SQL.Text())) throw EDatabaseError("SQL statement doesn't return rows");
        rowsAffected_ = records_->RowsAffected();
        if (FetchAll)
            records_->FetchAll();
        else
            records_->FetchBlock();
    } catch (const EMySqlException& e) {
        throw Failure(e);
    }
    active_ = true;
    ++opening_;
    current_ = 0;
    eof_ = records_->RecordCount() == 0;
}

void TMyQuery::Close() {
    active_ = false;
    eof_ = true;
    current_ = 0;
    records_.reset();
}

void TMyQuery::ExecSQL() {
    ConnectForStatement();
    TMySQLConnection& c = *connection_->InternalConnection();
    TMySQLCommand command(c.Api(), c.Session(), SQL.Text());
    command.CommandTimeout = CommandTimeout;
    try {
        command.Execute();
    } catch (const EMySqlException& e) {
        throw connection_->Error(e, this);
    }
    rowsAffected_ = command.RowsAffected();
}

void TMyQuery::First() {
    CheckActive();
    current_ = 0;
    eof_ = records_->RecordCount() == 0;
}

void TMyQuery::Next() {
    CheckActive();
    if (eof_) return;
    if (current_ + 1 < records_->RecordCount()) {
        ++current_;
        return;
    }
    size_t got = 0;
    try {
        const OnFailure closeOnFailure([this]() noexcept { Close(); });
        got = records_->FetchBlock();
    } catch (const EMySqlException& e) {
        throw Failure(e);
    }
    if (got)
        ++current_;
    else
        eof_ = true;
}

size_t TMyQuery::RecordCount() const {
    CheckActive();
    return records_->RecordCount();
}

size_t TMyQuery::FieldCount() const {
    CheckActive();
    return records_->Fields().size();
}

TField TMyQuery::Fields(size_t index) const {
    if (index >= FieldCount()) throw EDatabaseError("List index out of bounds");
    return TField(this, index, opening_);
}

void TMyQuery::AppendRecordText(std::string& out, char separator) const {
    TextBuilder text(out);
    AppendRecordText(text, separator, formatSettings());
}

void TMyQuery::AppendRecordText(TextBuilder& text, char separator, const FormatSettings& fs) const {
    CheckActive();
    const TMySQLRecordSet& r = *records_;
    const uint8_t* rec = r.RecordCount() == 0 ? nullptr : r.Record(current_);
    if (!rec) {
        for (size_t i = 1; i < r.Fields().size(); ++i)
            text.Put(separator);
        return;
    }
    const TMySQLFieldDesc* f = r.Fields().data();
    const TMySQLFieldDesc* end = f + r.Fields().size();
    for (; f != end; ++f) {
        if (f != r.Fields().data()) text.Put(separator);
        AppendValueText(text, rec, *f, fs);
    }
}

TField TMyQuery::FieldByName(const std::string& name) const {
    CheckActive();
    const auto& fields = records_->Fields();
    for (size_t i = 0; i < fields.size(); ++i)
        if (SameNameIgnoringCase(fields[i].Name, name)) return TField(this, i, opening_);
    throw EDatabaseError("Field '" + name + "' not found");
}

} // namespace v270::mysql
