#include "formats/P01_datapacket.h"

#include <algorithm>
#include <limits>
#include <pugixml.hpp>
#include <unordered_map>

#include "app/P00_util.h"
#include "formats/P01_changelog.h"
#include "formats/P01_commatext.h"

namespace velbrin {

namespace {

const std::string kEmpty;

bool IsNameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool IsNameChar(char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Field names become XML attribute names of every row, so they must be XML names.
bool IsXmlName(std::string_view name) {
    if (name.empty() || !IsNameStart(name[0])) return false;
    return std::all_of(name.begin(), name.end(), IsNameChar);
}

std::string CutAtNul(std::string_view text) {
    std::size_t nul = text.find('\0');
    return std::string(nul == std::string_view::npos ? text : text.substr(0, nul));
}

// Shortest text of a decimal: no trailing zeros after the point, no "-0".
std::string ShortDecimal(std::string text) {
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    }
    if (text == "-0") text = "0";
    return text;
}

int ParseCount(const pugi::xml_attribute& attr, const char* what, const std::string& field) {
    if (!attr) return 0;
    long long v = 0;
    if (!TryStrToInt(attr.value(), v) || v < 0 || v > TDataPacket::kMaxWidth)
        throw LinkError("field " + field + " has a bad " + what + " '" + attr.value() + "'");
    return static_cast<int>(v);
}

// Packet text as the program holds it: Windows-1250. Single-byte text must
// already be Windows-1250, or the packet could not be saved.
std::string PacketText(const char* value, bool utf8) {
    if (utf8) return Utf8ToCp1250(value);
    Cp1250ToUtf8(value);
    return std::string(value);
}

// A field attribute whatever the case its writer spells it in.
pugi::xml_attribute FieldAttribute(pugi::xml_node field, const char* name) {
    for (pugi::xml_attribute a : field.attributes())
        if (SameText(a.name(), name)) return a;
    return {};
}

// A decimal written with a decimal comma; the Free Pascal writer never groups thousands.
std::string PointDecimal(std::string value) {
    std::size_t comma = value.find(',');
    if (comma != std::string::npos && value.find(',', comma + 1) == std::string::npos &&
        value.find('.') == std::string::npos)
        value[comma] = '.';
    return value;
}

TFieldDef FieldOf(pugi::xml_node f, bool utf8, const TDataPacket* layout, bool& freePascal) {
    std::string name = PacketText(FieldAttribute(f, "attrname").value(), utf8);
    if (name.empty()) throw LinkError("a FIELD without attrname");
    pugi::xml_attribute width = FieldAttribute(f, "WIDTH");
    pugi::xml_attribute decimals = FieldAttribute(f, "DECIMALS");
    const bool lowerWidth = std::string_view(width.name()) == "width";
    freePascal = freePascal || lowerWidth;
    TFieldDef def = TFieldDef::Typed(name, FieldAttribute(f, "fieldtype").value(),
                                     ParseCount(width, "WIDTH", name),
                                     ParseCount(decimals, "DECIMALS", name),
                                     SameText(FieldAttribute(f, "required").value(), "true"));
    if (def.kind != TFieldKind::FixedFmt || decimals) return def;
    // A decimal without DECIMALS: the file kind's layout knows its precision and
    // decimals; else a "width" that is not Delphi's "WIDTH" holds the decimals.
    long known = layout ? layout->FindField(name) : -1;
    if (known >= 0 && layout->Field(static_cast<std::size_t>(known)).kind == TFieldKind::FixedFmt) {
        def.width = layout->Field(static_cast<std::size_t>(known)).width;
        def.decimals = layout->Field(static_cast<std::size_t>(known)).decimals;
    } else if (!width || lowerWidth) {
        def.decimals = def.width;
        def.width = TDataPacket::kMaxPrecision;
    }
    return def;
}

struct StringWriter : pugi::xml_writer {
    std::string out;
    void write(const void* data, std::size_t size) override {
        out.append(static_cast<const char*>(data), size);
    }
};

}  // namespace

// --- field definitions ----------------------------------------------------------

TFieldKind TFieldDef::KindOf(std::string_view typeName) {
    if (typeName == "string") return TFieldKind::String;
    if (typeName == "fixedFMT" || typeName == "fixed") return TFieldKind::FixedFmt;
    if (typeName == "i2") return TFieldKind::Int16;
    if (typeName == "i4") return TFieldKind::Int32;
    if (typeName == "ui2") return TFieldKind::UInt16;
    if (typeName == "i8") return TFieldKind::Int64;
    return TFieldKind::Other;
}

TFieldDef TFieldDef::Typed(std::string name, std::string typeName, int width, int decimals,
                           bool required) {
    TFieldDef def;
    def.name = std::move(name);
    def.kind = KindOf(typeName);
    def.typeName = std::move(typeName);
    def.width = width;
    def.decimals = decimals;
    def.required = required;
    return def;
}

TFieldDef TFieldDef::String(std::string name, int width, bool required) {
    return Typed(std::move(name), "string", width, 0, required);
}

TFieldDef TFieldDef::Fixed(std::string name, int precision, int decimals, bool required) {
    return Typed(std::move(name), "fixedFMT", precision, decimals, required);
}

TFieldDef TFieldDef::Integer(std::string name, std::string typeName, bool required) {
    return Typed(std::move(name), std::move(typeName), 0, 0, required);
}

bool TFieldDef::IsShortInteger() const {
    return kind == TFieldKind::Int16 || kind == TFieldKind::Int32 || kind == TFieldKind::UInt16;
}

// --- structure ------------------------------------------------------------------

void TDataPacket::Clear() {
    fields_.clear();
    ClearRows();
}

void TDataPacket::ClearRows() {
    rows_ = 0;
    cells_.clear();
}

std::size_t TDataPacket::AddField(const TFieldDef& def) {
    if (rows_ > 0) throw LinkError("Field " + def.name + " cannot be added to a packet with rows");
    if (fields_.size() >= kMaxFields)
        throw LinkError("A data packet holds at most " + std::to_string(kMaxFields) + " fields");
    if (def.name.size() > kMaxNameLength || !IsXmlName(def.name))
        throw LinkError("Bad field name '" + def.name + "'");
    if (FindField(def.name) >= 0) throw LinkError("Field " + def.name + " is defined twice");
    if (def.typeName.empty() || !IsXmlName(def.typeName))
        throw LinkError("Field " + def.name + " has a bad type '" + def.typeName + "'");
    if (def.width < 0 || def.width > kMaxWidth || def.decimals < 0)
        throw LinkError("Field " + def.name + " has a bad width");
    if (def.kind == TFieldKind::FixedFmt &&
        (def.width < 1 || def.width > kMaxPrecision || def.decimals > def.width))
        throw LinkError("Field " + def.name + " has a bad precision " + std::to_string(def.width) +
                        "." + std::to_string(def.decimals));
    fields_.push_back(def);
    return fields_.size() - 1;
}

const TFieldDef& TDataPacket::Field(std::size_t index) const {
    if (index >= fields_.size())
        throw LinkError("Field index " + std::to_string(index) + " beyond the field list");
    return fields_[index];
}

long TDataPacket::FindField(std::string_view name) const {
    for (std::size_t i = 0; i < fields_.size(); ++i)
        if (SameText(fields_[i].name, name)) return static_cast<long>(i);
    return -1;
}

std::size_t TDataPacket::FieldIndex(std::string_view name) const {
    long i = FindField(name);
    if (i < 0) throw LinkError("Field '" + std::string(name) + "' not found");
    return static_cast<std::size_t>(i);
}

// --- rows -------------------------------------------------------------------------

std::size_t TDataPacket::AppendRow() {
    cells_.resize(cells_.size() + fields_.size());
    return rows_++;
}

void TDataPacket::Reserve(std::size_t rows) {
    cells_.reserve(cells_.size() + rows * fields_.size());
}

void TDataPacket::DeleteLastRow() {
    if (rows_ == 0) return;
    --rows_;
    cells_.resize(rows_ * fields_.size());
}

TDataPacket::Cell& TDataPacket::At(std::size_t row, std::size_t field) {
    if (row >= rows_) throw LinkError("Row " + std::to_string(row) + " beyond the last row");
    Field(field);
    return cells_[row * fields_.size() + field];
}

const TDataPacket::Cell& TDataPacket::At(std::size_t row, std::size_t field) const {
    return const_cast<TDataPacket*>(this)->At(row, field);
}

std::string TDataPacket::CheckedValue(const TFieldDef& def, std::string_view input) const {
    std::string text = CutAtNul(input);
    if (text.empty()) return text;
    switch (def.kind) {
        case TFieldKind::String:
            if (def.width > 0 && text.size() > static_cast<std::size_t>(def.width))
                text.resize(def.width);
            return text;
        case TFieldKind::FixedFmt: {
            Money m;
            if (!Money::TryParse(text, m))
                throw LinkError("Field '" + def.name + "': '" + text + "' is not a valid number");
            std::string fixed = m.Format(std::min(def.decimals, 4));
            std::size_t intDigits = fixed.find('.');
            if (intDigits == std::string::npos) intDigits = fixed.size();
            if (fixed[0] == '-') --intDigits;
            if (intDigits > static_cast<std::size_t>(std::max(def.width - def.decimals, 1)))
                throw LinkError("Field '" + def.name + "': '" + text + "' is out of range");
            return ShortDecimal(fixed);
        }
        case TFieldKind::Int16:
        case TFieldKind::Int32:
        case TFieldKind::UInt16:
        case TFieldKind::Int64: {
            long long v = 0;
            if (!TryStrToInt(text, v))
                throw LinkError("Field '" + def.name + "': '" + text +
                                "' is not a valid integer value");
            long long lo = std::numeric_limits<long long>::min(),
                      hi = std::numeric_limits<long long>::max();
            if (def.kind == TFieldKind::Int16) lo = -32768, hi = 32767;
            if (def.kind == TFieldKind::UInt16) lo = 0, hi = 65535;
            if (def.kind == TFieldKind::Int32)
                lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
            if (v < lo || v > hi)
                throw LinkError("Field '" + def.name + "': '" + text + "' is out of range");
            return std::to_string(v);
        }
        case TFieldKind::Other:
            break;
    }
    return text;
}

void TDataPacket::SetValue(std::size_t row, std::size_t field, std::string_view text) {
    Cell& cell = At(row, field);
    cell.text = CheckedValue(fields_[field], text);
    cell.present = !cell.text.empty();
}

void TDataPacket::SetValue(std::size_t row, std::string_view fieldName, std::string_view text) {
    SetValue(row, FieldIndex(fieldName), text);
}

void TDataPacket::SetRawValue(std::size_t row, std::size_t field, std::string_view text) {
    Cell& cell = At(row, field);
    cell.text = CutAtNul(text);
    cell.present = !cell.text.empty();
}

void TDataPacket::SetAbsent(std::size_t row, std::size_t field) {
    Cell& cell = At(row, field);
    cell.text.clear();
    cell.present = false;
}

bool TDataPacket::HasValue(std::size_t row, std::size_t field) const {
    return At(row, field).present;
}

const std::string& TDataPacket::Value(std::size_t row, std::size_t field) const {
    const Cell& cell = At(row, field);
    return cell.present ? cell.text : kEmpty;
}

const std::string& TDataPacket::Value(std::size_t row, std::string_view fieldName) const {
    return Value(row, FieldIndex(fieldName));
}

Money TDataPacket::MoneyValue(std::size_t row, std::string_view fieldName) const {
    const std::string& text = Value(row, fieldName);
    return text.empty() ? Money() : Money::Parse(text);
}

long long TDataPacket::IntValue(std::size_t row, std::string_view fieldName) const {
    const std::string& text = Value(row, fieldName);
    return text.empty() ? 0 : StrToInt(text);
}

// --- files ------------------------------------------------------------------------

void TDataPacket::CheckLayout(const TDataPacket& layout) const {
    for (const TFieldDef& want : layout.Fields()) {
        const TFieldDef& got = Field(FieldIndex(want.name));
        if (got.kind != want.kind)
            throw LinkError("Field " + want.name + " is " + got.typeName + ", not " + want.typeName);
    }
}

void TDataPacket::LoadFromText(std::string_view xml, const TDataPacket* layout) {
    Clear();
    try {
        if (xml.size() > kMaxFileBytes) throw LinkError("the packet is too large");
        pugi::xml_document doc;
        pugi::xml_parse_result parsed =
            doc.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_declaration,
                            pugi::encoding_utf8);
        if (!parsed)
            throw LinkError(std::string("not an XML packet (") + parsed.description() +
                            " at byte " + std::to_string(parsed.offset) + ")");
        // The link writes UTF-8; a packet that does not declare it is single-byte text.
        pugi::xml_node decl = doc.first_child();
        bool utf8 = decl.type() == pugi::node_declaration &&
                    SameText(decl.attribute("encoding").value(), "UTF-8");
        auto text = [utf8](const char* value) { return PacketText(value, utf8); };

        pugi::xml_node root = doc.document_element();
        if (std::string_view(root.name()) != "DATAPACKET") throw LinkError("no DATAPACKET element");
        pugi::xml_node meta = root.child("METADATA");
        if (!meta) throw LinkError("no METADATA element");
        pugi::xml_node fields = meta.child("FIELDS");
        if (!fields) throw LinkError("no FIELDS element");
        pugi::xml_node rowdata = root.child("ROWDATA");
        if (!rowdata) throw LinkError("no ROWDATA element");

        // The Free Pascal writer spells the field attributes in lower case, puts a
        // decimal's scale into "width" and no precision, keeps the whole record in
        // a changed row and formats decimals with the till's own decimal separator.
        bool freePascal = false;
        for (pugi::xml_node f : fields.children("FIELD")) {
            if (fields_.size() >= kMaxFields)
                throw LinkError("more than " + std::to_string(kMaxFields) + " fields");
            AddField(FieldOf(f, utf8, layout, freePascal));
        }
        if (layout) CheckLayout(*layout);

        std::unordered_map<std::string, std::size_t> byName;
        for (std::size_t i = 0; i < fields_.size(); ++i) byName.emplace(fields_[i].name, i);
        // Values of a row's attributes, over what the record already holds.
        auto fill = [&](std::size_t row, pugi::xml_node r) {
            for (pugi::xml_attribute a : r.attributes()) {
                auto it = byName.find(a.name());
                long index = it != byName.end() ? static_cast<long>(it->second) : FindField(a.name());
                if (index < 0) continue;
                std::string value = text(a.value());
                if (freePascal && fields_[static_cast<std::size_t>(index)].kind == TFieldKind::FixedFmt)
                    value = PointDecimal(std::move(value));
                SetRawValue(row, static_cast<std::size_t>(index), value);
            }
        };
        const TMergedRows merged =
            MergeRows(rowdata, meta.child("PARAMS").attribute("CHANGE_LOG").value(), freePascal);
        if (merged.unchanged) {
            Reserve(merged.rowCount);
            for (pugi::xml_node r : rowdata.children("ROW")) fill(AppendRow(), r);
            return;
        }
        Reserve(merged.records.size());
        std::vector<pugi::xml_node> chain;
        for (std::size_t record : merged.records) {
            // A changed row that holds only the changes goes over the row it changes.
            chain.clear();
            for (long p = static_cast<long>(record); p >= 0; p = merged.base[static_cast<std::size_t>(p)])
                chain.push_back(merged.rows[static_cast<std::size_t>(p)]);
            std::size_t row = AppendRow();
            for (auto r = chain.rbegin(); r != chain.rend(); ++r) fill(row, *r);
        }
    } catch (const LinkError& e) {
        Clear();
        throw LinkError("Data packet: " + e.Text());
    }
}

void TDataPacket::LoadFromFile(const std::string& path, const TDataPacket* layout) {
    try {
        LoadFromText(ReadBoundedFile(path, kMaxFileBytes), layout);
    } catch (const LinkError& e) {
        Clear();
        throw LinkError(path + ": " + e.Text());
    }
}

std::string TDataPacket::SaveToText() const {
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    decl.append_attribute("standalone") = "yes";
    pugi::xml_node root = doc.append_child("DATAPACKET");
    root.append_attribute("Version") = "2.0";
    pugi::xml_node meta = root.append_child("METADATA");
    pugi::xml_node fields = meta.append_child("FIELDS");
    std::vector<std::string> names;
    for (const TFieldDef& def : fields_) {
        pugi::xml_node f = fields.append_child("FIELD");
        names.push_back(Cp1250ToUtf8(def.name));
        f.append_attribute("attrname") = names.back().c_str();
        f.append_attribute("fieldtype") = def.typeName.c_str();
        if (def.required) f.append_attribute("required") = "true";
        if (def.kind == TFieldKind::FixedFmt) f.append_attribute("DECIMALS") = def.decimals;
        if (def.kind == TFieldKind::String || def.width > 0)
            f.append_attribute("WIDTH") = def.width;
    }
    meta.append_child("PARAMS").append_attribute("LCID") = "0";
    pugi::xml_node rowdata = root.append_child("ROWDATA");
    for (std::size_t r = 0; r < rows_; ++r) {
        pugi::xml_node row = rowdata.append_child("ROW");
        for (std::size_t f = 0; f < fields_.size(); ++f) {
            const Cell& cell = cells_[r * fields_.size() + f];
            if (cell.present)
                row.append_attribute(names[f].c_str()) = Cp1250ToUtf8(cell.text).c_str();
        }
    }
    StringWriter writer;
    doc.save(writer, "", pugi::format_raw, pugi::encoding_utf8);
    return std::move(writer.out);
}

void TDataPacket::SaveToFile(const std::string& path) const {
    WriteWholeFile(path, SaveToText());
}

}  // namespace velbrin
