// A statement on the shared connection, used like the query components of the
// link's forms: set the SQL text, set named parameters (":seq"), then Open a
// select and read its rows by column name, or ExecSQL a data-changing statement.
#pragma once

#include "app/P00_money.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velbrin {

class TFormConnection;
class TSqlConnection;
}  // namespace velbrin

namespace Firebird {
class IResultSet;
class ITransaction;
}  // namespace Firebird

namespace velbrin {

// One result column as the database describes it; enough to lay out an export packet.
struct TSqlField {
    enum class Kind { Integer, Fixed, Float, Text, Date, Other };
    std::string name;      // alias as the database gives it (upper case unless quoted)
    int sqlType = 0;       // SQL_VARYING, SQL_TEXT, SQL_LONG, SQL_INT64, ... without the null bit
    unsigned length = 0;   // bytes in the message; for texts the width in characters
    int scale = 0;         // 0 or negative: digits after the decimal point are -scale
    Kind kind = Kind::Other;
    // Decimal digits an integer of this storage size holds (4, 9 or 18); 0 for other kinds.
    int Precision() const;
};

// A query holds a reference to the connection and must end before it.
class TSqlQuery {
public:
    explicit TSqlQuery(TFormConnection& connection);
    ~TSqlQuery();
    TSqlQuery(const TSqlQuery&) = delete;
    TSqlQuery& operator=(const TSqlQuery&) = delete;

    // A new text closes the query and forgets its parameters; the same text keeps
    // the prepared statement and the parameter values, so a statement that runs
    // once per receipt line is prepared only once.
    void SetSQL(const std::string& sql);
    const std::string& SQL() const { return sql_; }
    // The text the database gets: every :name outside quotes replaced by "?".
    const std::string& PositionalSQL() const { return positionalSql_; }
    // Parameter names in order of appearance (a name used twice appears twice).
    const std::vector<std::string>& ParamNames() const { return paramNames_; }

    // Named parameters, matched without regard to case. Raises LinkError when the
    // statement has no parameter of that name.
    void SetString(const std::string& name, const std::string& value);
    void SetInteger(const std::string& name, int64_t value);
    void SetMoney(const std::string& name, Money value);
    void SetNull(const std::string& name);

    // Runs a select in a read-only read-committed transaction and stands on its first row.
    void Open();
    bool Active() const { return cursor_ != nullptr; }
    bool Eof() const { return eof_; }
    void Next();
    // Ends the select (and its transaction); harmless when not open.
    void Close();
    // Runs a data-changing statement in a transaction of its own and commits it,
    // or, while a TSqlTransaction is open on the connection, inside that one.
    // Returns the number of rows the statement changed.
    uint64_t ExecSQL();

    // Columns of the open select (also after it reached its end).
    int FieldCount() const { return static_cast<int>(fields_.size()); }
    const TSqlField& Field(int index) const;
    // Index of a column by name without regard to case; -1 when there is none.
    int FieldIndex(const std::string& name) const;

    // Values of the current row, by column name (raising LinkError when the column
    // does not exist) or by index. A NULL reads as empty text, 0 and zero money.
    bool IsNull(const std::string& name) const { return IsNull(IndexOf(name)); }
    std::string AsString(const std::string& name) const { return AsString(IndexOf(name)); }
    int64_t AsInteger(const std::string& name) const { return AsInteger(IndexOf(name)); }
    Money AsMoney(const std::string& name) const { return AsMoney(IndexOf(name)); }
    bool IsNull(int index) const;
    std::string AsString(int index) const;
    int64_t AsInteger(int index) const;
    Money AsMoney(int index) const;

private:
    struct Param;
    struct Statement;

    int IndexOf(const std::string& name) const;
    std::vector<int> PositionsOf(const std::string& name);
    void Prepare(Firebird::ITransaction* transaction);
    void CloseAfterFailure();
    void BuildInputMessage();
    const unsigned char* CurrentColumn(int index, bool& isNull) const;

    TSqlConnection& connection_;
    std::string sql_;
    std::string positionalSql_;
    std::vector<std::string> paramNames_;
    std::vector<Param> params_;
    std::unique_ptr<Statement> statement_;
    Firebird::IResultSet* cursor_ = nullptr;        // the open select
    Firebird::ITransaction* transaction_ = nullptr;  // its read-only transaction
    bool eof_ = true;
    std::vector<TSqlField> fields_;
    std::vector<unsigned> offsets_, nullOffsets_;
    std::vector<unsigned char> row_;
};

// Several data-changing statements committed together: while it is open every
// ExecSQL on the connection runs inside it; Commit makes them durable at once, and
// an end without Commit (a failure on the way) rolls every one of them back. A
// statement that fails inside it is undone by itself and the others stay. Selects
// keep their own transactions, so they do not see its rows before the commit.
class TSqlTransaction {
public:
    explicit TSqlTransaction(TFormConnection& connection);
    ~TSqlTransaction();
    TSqlTransaction(const TSqlTransaction&) = delete;
    TSqlTransaction& operator=(const TSqlTransaction&) = delete;

    void Commit();

private:
    void End();

    TSqlConnection& connection_;
    Firebird::ITransaction* transaction_ = nullptr;
};

// Replaces every :name outside quoted literals, quoted identifiers and comments by
// "?" and lists the names in order. A colon inside '2024-01-31 23:59:59' is text.
std::string ToPositionalSql(const std::string& sql, std::vector<std::string>& names);

}  // namespace velbrin
