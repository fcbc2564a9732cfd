// The zvx data packet: the one internal form of every exchange and export
// record set. A field list (name, type, width, decimals, required) and rows
// of text values, loaded from and saved to the UTF-8 XML packet file.
//
// Values are held as Windows-1250 text, one byte per character; the packet
// file is UTF-8. A value may be absent (the row has no attribute for it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/P00_money.h"

namespace velbrin {

// What a field's fieldtype name means to the readers and writers.
enum class TFieldKind {
    String,    // "string": text of at most WIDTH characters
    FixedFmt,  // "fixedFMT" (also "fixed"): decimal, WIDTH digits, DECIMALS after the point
    Int16,     // "i2"
    Int32,     // "i4"
    UInt16,    // "ui2"
    Int64,     // "i8"
    Other,     // any other fieldtype ("r8", "date", ...): kept as text
};

struct TFieldDef {
    std::string name;      // attrname
    std::string typeName;  // fieldtype exactly as written
    TFieldKind kind = TFieldKind::String;
    int width = 0;     // WIDTH: maximum length, or the precision of a decimal; 0 = none
    int decimals = 0;  // DECIMALS of a decimal field
    bool required = false;

    static TFieldDef String(std::string name, int width, bool required = false);
    static TFieldDef Fixed(std::string name, int precision, int decimals, bool required = false);
    // typeName "i2", "i4", "ui2" or "i8".
    static TFieldDef Integer(std::string name, std::string typeName = "i4", bool required = false);
    // Any fieldtype name; the kind follows from it.
    static TFieldDef Typed(std::string name, std::string typeName, int width = 0, int decimals = 0,
                           bool required = false);
    static TFieldKind KindOf(std::string_view typeName);
    // The three integer kinds that exports format as "%10d" and DBF "N" 10.
    bool IsShortInteger() const;
};

class TDataPacket {
public:
    // Bounds that keep a malformed packet from exhausting the program.
    static constexpr std::size_t kMaxFields = 256;
    static constexpr std::size_t kMaxNameLength = 128;
    static constexpr int kMaxWidth = 65535;
    static constexpr int kMaxPrecision = 32;
    static constexpr std::size_t kMaxFileBytes = 512u * 1024 * 1024;

    // --- structure ---------------------------------------------------------
    void Clear();      // no fields, no rows
    void ClearRows();  // keeps the fields
    // Adds a field at the end; only while the packet has no rows. Raises LinkError
    // for an empty, duplicate (case-insensitive) or non-XML name, or a bad width.
    std::size_t AddField(const TFieldDef& def);
    std::size_t FieldCount() const { return fields_.size(); }
    const TFieldDef& Field(std::size_t index) const;
    const std::vector<TFieldDef>& Fields() const { return fields_; }
    // Index of the field, names compared without case; -1 when none.
    long FindField(std::string_view name) const;
    // Like FindField, but raises LinkError "Field 'name' not found".
    std::size_t FieldIndex(std::string_view name) const;

    // --- rows ----------------------------------------------------------------
    std::size_t RowCount() const { return rows_; }
    // Appends a row with every value absent; returns its index.
    std::size_t AppendRow();
    // Makes room for rows more rows, so that filling a large packet does not move it.
    void Reserve(std::size_t rows);
    // Removes the last row (a record that turned out empty).
    void DeleteLastRow();

    // Sets a value as a field assignment does: empty text makes it absent; a
    // string is cut to its width (and at a NUL); a decimal must be a number with
    // "." as decimal point (rounded to its decimals, at most four, and within its
    // precision) and is kept as its shortest text (12.5); an integer must fit its
    // kind. Raises LinkError "Field 'NAME': ..." for a value the field cannot take.
    void SetValue(std::size_t row, std::size_t field, std::string_view text);
    void SetValue(std::size_t row, std::string_view fieldName, std::string_view text);
    // Stores text as it stands, without the checks (used by the loader).
    void SetRawValue(std::size_t row, std::size_t field, std::string_view text);
    void SetAbsent(std::size_t row, std::size_t field);

    bool HasValue(std::size_t row, std::size_t field) const;
    // The value as text; empty when absent.
    const std::string& Value(std::size_t row, std::size_t field) const;
    const std::string& Value(std::size_t row, std::string_view fieldName) const;
    // Numeric reads; an absent value reads as 0, text that is no number raises LinkError.
    Money MoneyValue(std::size_t row, std::string_view fieldName) const;
    long long IntValue(std::size_t row, std::string_view fieldName) const;

    // --- files -----------------------------------------------------------------
    // Replaces fields and rows by the packet in text / in the file. Raises LinkError
    // naming what is wrong; the packet is left empty then. A packet saved with
    // changes not merged gives the records after the merge. With a layout (the
    // fields of a file kind) every field of it must be there by name and type,
    // and a decimal without DECIMALS takes its precision and decimals from it.
    void LoadFromText(std::string_view xml, const TDataPacket* layout = nullptr);
    void LoadFromFile(const std::string& path, const TDataPacket* layout = nullptr);
    std::string SaveToText() const;
    void SaveToFile(const std::string& path) const;

private:
    struct Cell {
        std::string text;
        bool present = false;
    };
    Cell& At(std::size_t row, std::size_t field);
    const Cell& At(std::size_t row, std::size_t field) const;
    std::string CheckedValue(const TFieldDef& def, std::string_view text) const;
    void CheckLayout(const TDataPacket& layout) const;

    std::vector<TFieldDef> fields_;
    std::size_t rows_ = 0;
    std::vector<Cell> cells_;  // row-major, FieldCount() per row
};

}  // namespace velbrin
