#include "store/P00_query.h"

#include "app/P00_util.h"
#include "store/P00_connection.h"
#include "store/P00_fberror.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velbrin {

using namespace Firebird;

namespace {

constexpr unsigned kCharSetWin1250 = 51;

// Selects read in read-only read-committed transactions (cheap and never blocked);
// changes run in read-committed transactions that wait on lock conflicts.
const unsigned char kReadTpb[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_read_committed,
                                  isc_tpb_rec_version, isc_tpb_wait};
const unsigned char kWriteTpb[] = {isc_tpb_version3, isc_tpb_write, isc_tpb_read_committed,
                                   isc_tpb_rec_version, isc_tpb_wait};

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '$'; }

int64_t PowerOfTen(int n)
{
    int64_t p = 1;
    for (int i = 0; i < n && i < 18; ++i) p *= 10;
    return p;
}

std::string ScaledToText(int64_t value, int scale)
{
    if (scale >= 0) return std::to_string(value * PowerOfTen(scale));
    const int decimals = -scale;
    const bool negative = value < 0;
    // Work on the magnitude as unsigned so that the lowest int64 is formatted too.
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    const uint64_t unit = static_cast<uint64_t>(PowerOfTen(decimals));
    std::string fraction = std::to_string(magnitude % unit);
    fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), '0');
    return (negative ? "-" : "") + std::to_string(magnitude / unit) + "." + fraction;
}

}  // namespace

std::string ToPositionalSql(const std::string& sql, std::vector<std::string>& names)
{
    names.clear();
    std::string out;
    out.reserve(sql.size());
    std::size_t i = 0;
    const std::size_t n = sql.size();
    while (i < n) {
        const char c = sql[i];
        if (c == '\'' || c == '"') {
            // Quoted literal or identifier; a doubled quote stays inside it.
            std::size_t j = i + 1;
            while (j < n) {
                if (sql[j] == c) {
                    if (j + 1 < n && sql[j + 1] == c) {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            const std::size_t end = j < n ? j + 1 : n;
            out.append(sql, i, end - i);
            i = end;
        } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            const std::size_t eol = sql.find('\n', i);
            const std::size_t end = eol == std::string::npos ? n : eol;
            out.append(sql, i, end - i);
            i = end;
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            const std::size_t close = sql.find("*/", i + 2);
            const std::size_t end = close == std::string::npos ? n : close + 2;
            out.append(sql, i, end - i);
            i = end;
        } else if (c == ':' && i + 1 < n && IsNameStart(sql[i + 1])) {
            std::size_t j = i + 1;
            while (j < n && IsNameChar(sql[j])) ++j;
            names.push_back(sql.substr(i + 1, j - i - 1));
            out += '?';
            i = j;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

int TSqlField::Precision() const
{
    switch (sqlType) {
    case SQL_SHORT: return 4;
    case SQL_LONG: return 9;
    case SQL_INT64: return 18;
    default: return 0;
    }
}

struct TSqlQuery::Param {
    enum class Kind { Unset, Null, Text, Integer, Money } kind = Kind::Unset;
    std::string text;
    int64_t value = 0;
};

// The prepared statement with the message layouts that go with it.
struct TSqlQuery::Statement {
    IStatement* statement = nullptr;
    uint64_t generation = 0;  // the attachment it was prepared under
    IMessageMetadata* output = nullptr;
    IMessageMetadata* input = nullptr;
    std::vector<unsigned char> inputBuffer;
    // Layout of `input`: per parameter 0 for an integer, 1 for money, else the
    // room of a text. A statement run once per line keeps its layout while the
    // values fit, instead of building a new one for every execution.
    std::vector<unsigned> inputShape;
    std::vector<unsigned> offsets, nullOffsets;

    void Release()
    {
        if (input != nullptr) input->release();
        if (output != nullptr) output->release();
        if (statement != nullptr) statement->release();
        input = output = nullptr;
        statement = nullptr;
    }
    ~Statement() { Release(); }
};

TSqlQuery::TSqlQuery(TFormConnection& connection) : connection_(connection.SQLConnection1) {}

TSqlQuery::~TSqlQuery()
{
    try {
        Close();
    } catch (const LinkError&) {
        // Ending a read-only select cannot lose data; nothing to report at destruction.
    }
}

void TSqlQuery::SetSQL(const std::string& sql)
{
    Close();
    if (statement_ != nullptr && sql == sql_) return;
    statement_.reset();
    fields_.clear();
    sql_ = sql;
    positionalSql_ = ToPositionalSql(sql, paramNames_);
    params_.assign(paramNames_.size(), Param{});
}

std::vector<int> TSqlQuery::PositionsOf(const std::string& name)
{
    std::vector<int> positions;
    for (std::size_t i = 0; i < paramNames_.size(); ++i)
        if (SameText(paramNames_[i], name)) positions.push_back(static_cast<int>(i));
    if (positions.empty()) throw LinkError("Parametar '" + name + "' ne postoji u upitu: " + sql_);
    return positions;
}

void TSqlQuery::SetString(const std::string& name, const std::string& value)
{
    for (int i : PositionsOf(name)) params_[i] = Param{Param::Kind::Text, value, 0};
}

void TSqlQuery::SetInteger(const std::string& name, int64_t value)
{
    for (int i : PositionsOf(name)) params_[i] = Param{Param::Kind::Integer, {}, value};
}

void TSqlQuery::SetMoney(const std::string& name, Money value)
{
    for (int i : PositionsOf(name)) params_[i] = Param{Param::Kind::Money, {}, value.Raw()};
}

void TSqlQuery::SetNull(const std::string& name)
{
    for (int i : PositionsOf(name)) params_[i] = Param{Param::Kind::Null, {}, 0};
}

void TSqlQuery::Prepare(ITransaction* transaction)
{
    if (statement_ != nullptr && statement_->generation == connection_.Generation()) return;
    // Prepared under an attachment that was lost and made anew: it went with it.
    statement_.reset();
    if (sql_.empty()) throw LinkError("Upit nema SQL tekst");
    fb::Status status(connection_.Master());
    ThrowStatusWrapper* st = status.Ptr();
    auto prepared = std::make_unique<Statement>();
    prepared->generation = connection_.Generation();
    prepared->statement = connection_.Attachment()->prepare(st, transaction, 0, positionalSql_.c_str(),
                                                            TSqlConnection::kDialect,
                                                            IStatement::PREPARE_PREFETCH_METADATA);
    prepared->output = prepared->statement->getOutputMetadata(st);
    const unsigned count = prepared->output->getCount(st);
    fields_.clear();
    offsets_.clear();
    nullOffsets_.clear();
    for (unsigned i = 0; i < count; ++i) {
        TSqlField field;
        field.name = prepared->output->getAlias(st, i);
        field.sqlType = static_cast<int>(prepared->output->getType(st, i) & ~1u);
        field.length = prepared->output->getLength(st, i);
        field.scale = prepared->output->getScale(st, i);
        switch (field.sqlType) {
        case SQL_SHORT:
        case SQL_LONG:
        case SQL_INT64: field.kind = field.scale < 0 ? TSqlField::Kind::Fixed : TSqlField::Kind::Integer; break;
        case SQL_FLOAT:
        case SQL_DOUBLE: field.kind = TSqlField::Kind::Float; break;
        case SQL_TEXT:
        case SQL_VARYING: field.kind = TSqlField::Kind::Text; break;
        case SQL_TYPE_DATE:
        case SQL_TIMESTAMP: field.kind = TSqlField::Kind::Date; break;
        default: field.kind = TSqlField::Kind::Other; break;
        }
        fields_.push_back(field);
        offsets_.push_back(prepared->output->getOffset(st, i));
        nullOffsets_.push_back(prepared->output->getNullOffset(st, i));
    }
    row_.assign(prepared->output->getMessageLength(st), 0);
    statement_ = std::move(prepared);
}

// Lays out the input message from the values set: texts as WIN1250 VARCHAR,
// integers as BIGINT and money as BIGINT with scale -4, so the database converts
// to each column's own type exactly.
void TSqlQuery::BuildInputMessage()
{
    Statement& s = *statement_;
    if (params_.empty()) {
        if (s.input != nullptr) s.input->release();
        s.input = nullptr;
        s.inputShape.clear();
        return;
    }
    for (std::size_t i = 0; i < params_.size(); ++i) {
        if (params_[i].kind == Param::Kind::Unset)
            throw LinkError("Parametar '" + paramNames_[i] + "' nema vrednost");
        if (params_[i].text.size() > 32765) throw LinkError("Parametar '" + paramNames_[i] + "' je predugacak");
    }
    // Texts get room in steps of 64 bytes, so that the next line's values mostly
    // fit the layout already made.
    std::vector<unsigned> shape(params_.size());
    bool fits = s.input != nullptr && s.inputShape.size() == params_.size();
    for (std::size_t i = 0; i < params_.size(); ++i) {
        const Param& p = params_[i];
        if (p.kind == Param::Kind::Integer || p.kind == Param::Kind::Money) {
            shape[i] = p.kind == Param::Kind::Money ? 1 : 0;
            fits = fits && s.inputShape[i] == shape[i];
        } else {
            const unsigned need = static_cast<unsigned>(std::max<std::size_t>(p.text.size(), 1));
            shape[i] = std::min(32765u, (need + 63) / 64 * 64);
            fits = fits && s.inputShape[i] >= 2 && s.inputShape[i] >= need;
        }
    }
    fb::Status status(connection_.Master());
    ThrowStatusWrapper* st = status.Ptr();
    if (!fits) {
        if (s.input != nullptr) s.input->release();
        s.input = nullptr;
        s.inputShape.clear();
        IMetadataBuilder* builder = connection_.Master()->getMetadataBuilder(st, static_cast<unsigned>(params_.size()));
        try {
            for (unsigned i = 0; i < params_.size(); ++i) {
                if (shape[i] >= 2) {
                    builder->setType(st, i, SQL_VARYING + 1);
                    builder->setLength(st, i, shape[i]);
                    builder->setCharSet(st, i, kCharSetWin1250);
                } else {
                    builder->setType(st, i, SQL_INT64 + 1);
                    builder->setLength(st, i, sizeof(int64_t));
                    builder->setScale(st, i, shape[i] == 1 ? -4 : 0);
                }
            }
            s.input = builder->getMetadata(st);
            builder->release();
        } catch (...) {
            builder->release();
            throw;
        }
        s.inputShape = shape;
        s.offsets.assign(params_.size(), 0);
        s.nullOffsets.assign(params_.size(), 0);
        for (unsigned i = 0; i < params_.size(); ++i) {
            s.offsets[i] = s.input->getOffset(st, i);
            s.nullOffsets[i] = s.input->getNullOffset(st, i);
        }
        s.inputBuffer.assign(s.input->getMessageLength(st), 0);
    }
    for (std::size_t i = 0; i < params_.size(); ++i) {
        const Param& p = params_[i];
        unsigned char* data = s.inputBuffer.data() + s.offsets[i];
        const int16_t nullFlag = p.kind == Param::Kind::Null ? -1 : 0;
        std::memcpy(s.inputBuffer.data() + s.nullOffsets[i], &nullFlag, sizeof nullFlag);
        if (p.kind == Param::Kind::Text) {
            const uint16_t length = static_cast<uint16_t>(p.text.size());
            std::memcpy(data, &length, sizeof length);
            std::memcpy(data + sizeof length, p.text.data(), p.text.size());
        } else if (p.kind == Param::Kind::Integer || p.kind == Param::Kind::Money) {
            std::memcpy(data, &p.value, sizeof p.value);
        }
    }
}

void TSqlQuery::Open()
{
    Close();
    fb::Status status(connection_.Master());
    ThrowStatusWrapper* st = status.Ptr();
    try {
        transaction_ = connection_.Attachment()->startTransaction(st, sizeof kReadTpb, kReadTpb);
        Prepare(transaction_);
        BuildInputMessage();
        Statement& s = *statement_;
        cursor_ = s.statement->openCursor(st, transaction_, s.input,
                                          s.input != nullptr ? s.inputBuffer.data() : nullptr, s.output, 0);
        eof_ = false;
        Next();
    } catch (const FbException& error) {
        const std::string text = fb::Failure(connection_, error);
        CloseAfterFailure();
        fb::Raise(connection_, text);
    } catch (...) {
        Close();
        throw;
    }
}

void TSqlQuery::Next()
{
    if (cursor_ == nullptr || eof_) return;
    fb::Status status(connection_.Master());
    ThrowStatusWrapper* st = status.Ptr();
    try {
        eof_ = cursor_->fetchNext(st, row_.data()) != IStatus::RESULT_OK;
    } catch (const FbException& error) {
        const std::string text = fb::Failure(connection_, error);
        CloseAfterFailure();
        fb::Raise(connection_, text);
    }
}

void TSqlQuery::Close()
{
    eof_ = true;
    IResultSet* cursor = cursor_;
    ITransaction* transaction = transaction_;
    cursor_ = nullptr;
    transaction_ = nullptr;
    fb::Status status(connection_.Master());
    ThrowStatusWrapper* st = status.Ptr();
    std::string failure;
    if (cursor != nullptr) {
        try {
            cursor->close(st);
        } catch (const FbException& error) {
            failure = fb::Failure(connection_, error);
            cursor->release();
        }
    }
    if (transaction != nullptr) {
        try {
            transaction->commit(st);
        } catch (const FbException& error) {
            const std::string text = fb::Failure(connection_, error);
            if (failure.empty()) failure = text;
            try {
                transaction->rollback(st);
            } catch (const FbException&) {
                transaction->release();
            }
        }
    }
    if (!failure.empty()) fb::Raise(connection_, failure);
}

void TSqlQuery::CloseAfterFailure()
{
    try {
        Close();
    } catch (const LinkError&) {
        // The failure that led here is the one to report.
    }
}

uint64_t TSqlQuery::ExecSQL()
{
    Close();
    fb::Status status(connection_.Master());
    ThrowStatusWrapper* st = status.Ptr();
    ITransaction* shared = connection_.WorkTransaction();
    ITransaction* transaction = nullptr;
    try {
        transaction = shared != nullptr ? shared : connection_.Attachment()->startTransaction(st, sizeof kWriteTpb, kWriteTpb);
        Prepare(transaction);
        BuildInputMessage();
        Statement& s = *statement_;
        const bool hasOutput = !fields_.empty();
        s.statement->execute(st, transaction, s.input, s.input != nullptr ? s.inputBuffer.data() : nullptr,
                             hasOutput ? s.output : nullptr, hasOutput ? row_.data() : nullptr);
        const uint64_t changed = s.statement->getAffectedRecords(st);
        if (shared == nullptr) {
            transaction->commit(st);
            connection_.CountCommit();
        }
        return changed;
    } catch (const FbException& error) {
        const std::string text = fb::Failure(connection_, error);
        // A statement that fails inside a shared transaction is undone by itself;
        // the transaction is its owner's to end.
        if (transaction != nullptr && shared == nullptr) {
            try {
                transaction->rollback(st);
            } catch (const FbException&) {
                transaction->release();
            }
        }
        fb::Raise(connection_, text);
    } catch (...) {
        if (transaction != nullptr && shared == nullptr) {
            try {
                transaction->rollback(st);
            } catch (const FbException&) {
                transaction->release();
            }
        }
        throw;
    }
}

TSqlTransaction::TSqlTransaction(TFormConnection& connection) : connection_(connection.SQLConnection1)
{
    if (connection_.WorkTransaction() != nullptr) throw LinkError("Transakcija je vec otvorena");
    fb::Status status(connection_.Master());
    try {
        transaction_ = connection_.Attachment()->startTransaction(status.Ptr(), sizeof kWriteTpb, kWriteTpb);
    } catch (const FbException& error) {
        fb::Raise(connection_, error);
    }
    connection_.SetWorkTransaction(transaction_);
}

TSqlTransaction::~TSqlTransaction()
{
    if (transaction_ == nullptr) return;
    ITransaction* transaction = transaction_;
    End();
    fb::Status status(connection_.Master());
    try {
        transaction->rollback(status.Ptr());
    } catch (const FbException&) {
        // A lost attachment has dropped the transaction with it.
        transaction->release();
    }
}

void TSqlTransaction::End()
{
    transaction_ = nullptr;
    connection_.SetWorkTransaction(nullptr);
}

void TSqlTransaction::Commit()
{
    if (transaction_ == nullptr) throw LinkError("Transakcija nije otvorena");
    fb::Status status(connection_.Master());
    try {
        transaction_->commit(status.Ptr());
    } catch (const FbException& error) {
        // Not committed: the destructor rolls it back.
        fb::Raise(connection_, error);
    }
    End();
    connection_.CountCommit();
}

const TSqlField& TSqlQuery::Field(int index) const
{
    if (index < 0 || index >= FieldCount()) throw LinkError("Kolona " + std::to_string(index) + " ne postoji");
    return fields_[static_cast<std::size_t>(index)];
}

int TSqlQuery::FieldIndex(const std::string& name) const
{
    for (std::size_t i = 0; i < fields_.size(); ++i)
        if (SameText(fields_[i].name, name)) return static_cast<int>(i);
    return -1;
}

int TSqlQuery::IndexOf(const std::string& name) const
{
    const int index = FieldIndex(name);
    if (index < 0) throw LinkError("Kolona '" + name + "' ne postoji u upitu: " + sql_);
    return index;
}

const unsigned char* TSqlQuery::CurrentColumn(int index, bool& isNull) const
{
    Field(index);  // raises for an index out of range
    if (cursor_ == nullptr || eof_) throw LinkError("Nema tekuceg reda u upitu: " + sql_);
    int16_t nullFlag = 0;
    std::memcpy(&nullFlag, row_.data() + nullOffsets_[static_cast<std::size_t>(index)], sizeof nullFlag);
    isNull = nullFlag != 0;
    return row_.data() + offsets_[static_cast<std::size_t>(index)];
}

bool TSqlQuery::IsNull(int index) const
{
    bool isNull = false;
    CurrentColumn(index, isNull);
    return isNull;
}

namespace {

bool ReadInteger(const TSqlField& field, const unsigned char* data, int64_t& value)
{
    switch (field.sqlType) {
    case SQL_SHORT: { int16_t v; std::memcpy(&v, data, sizeof v); value = v; return true; }
    case SQL_LONG: { int32_t v; std::memcpy(&v, data, sizeof v); value = v; return true; }
    case SQL_INT64: { int64_t v; std::memcpy(&v, data, sizeof v); value = v; return true; }
    default: return false;
    }
}

double ReadDouble(const TSqlField& field, const unsigned char* data)
{
    if (field.sqlType == SQL_FLOAT) {
        float v;
        std::memcpy(&v, data, sizeof v);
        return v;
    }
    double v;
    std::memcpy(&v, data, sizeof v);
    return v;
}

}  // namespace

std::string TSqlQuery::AsString(int index) const
{
    bool isNull = false;
    const unsigned char* data = CurrentColumn(index, isNull);
    if (isNull) return {};
    const TSqlField& field = fields_[static_cast<std::size_t>(index)];
    int64_t integer = 0;
    if (ReadInteger(field, data, integer)) return ScaledToText(integer, field.scale);
    switch (field.sqlType) {
    case SQL_TEXT: return std::string(reinterpret_cast<const char*>(data), field.length);
    case SQL_VARYING: {
        uint16_t length;
        std::memcpy(&length, data, sizeof length);
        return std::string(reinterpret_cast<const char*>(data) + sizeof length, length);
    }
    case SQL_FLOAT:
    case SQL_DOUBLE: {
        char text[40];
        std::snprintf(text, sizeof text, "%.15g", ReadDouble(field, data));
        return text;
    }
    case SQL_TYPE_DATE:
    case SQL_TIMESTAMP: {
        ISC_DATE date;
        std::memcpy(&date, data, sizeof date);
        unsigned y = 0, m = 0, d = 0, h = 0, n = 0, s = 0, f = 0;
        connection_.Util()->decodeDate(date, &y, &m, &d);
        char text[32];
        if (field.sqlType == SQL_TYPE_DATE) {
            std::snprintf(text, sizeof text, "%04u-%02u-%02u", y, m, d);
        } else {
            ISC_TIME time;
            std::memcpy(&time, data + sizeof date, sizeof time);
            connection_.Util()->decodeTime(time, &h, &n, &s, &f);
            std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", y, m, d, h, n, s);
        }
        return text;
    }
    default:
        throw LinkError("Kolona '" + field.name + "' ima tip koji link ne cita (" + std::to_string(field.sqlType) + ")");
    }
}

int64_t TSqlQuery::AsInteger(int index) const
{
    bool isNull = false;
    const unsigned char* data = CurrentColumn(index, isNull);
    if (isNull) return 0;
    const TSqlField& field = fields_[static_cast<std::size_t>(index)];
    int64_t integer = 0;
    if (ReadInteger(field, data, integer)) {
        if (field.scale < 0) return integer / PowerOfTen(-field.scale);
        return integer * PowerOfTen(field.scale);
    }
    if (field.kind == TSqlField::Kind::Float) return static_cast<int64_t>(ReadDouble(field, data));
    return StrToInt(Trim(AsString(index)));
}

Money TSqlQuery::AsMoney(int index) const
{
    bool isNull = false;
    const unsigned char* data = CurrentColumn(index, isNull);
    if (isNull) return Money{};
    const TSqlField& field = fields_[static_cast<std::size_t>(index)];
    int64_t integer = 0;
    if (ReadInteger(field, data, integer)) {
        const int shift = 4 + field.scale;  // digits to add (positive) or drop (negative)
        if (shift >= 0) return Money::FromRaw(integer * PowerOfTen(shift));
        return Money::Parse(ScaledToText(integer, field.scale));
    }
    return Money::Parse(Trim(AsString(index)));
}

}  // namespace velbrin
