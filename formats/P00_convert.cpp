#include "formats/P00_convert.h"

#include <algorithm>
#include <map>

#include "app/P00_util.h"
#include "formats/P01_commatext.h"
#include "formats/P01_dbf.h"

namespace velbrin {

namespace {

const char* const kDeclaration = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)";

std::string Packet(const std::string& fields) {
    return std::string(kDeclaration) + R"(<DATAPACKET Version="2.0"><METADATA><FIELDS>)" + fields +
           R"(</FIELDS><PARAMS LCID="0"/></METADATA><ROWDATA/></DATAPACKET>)";
}

const std::map<std::string, std::string>& EmptyPackets() {
    static const std::string articles = Packet(
        R"(<FIELD attrname="ART_ID" fieldtype="string" required="true" WIDTH="20"/>)"
        R"(<FIELD attrname="TAX_ID" fieldtype="string" required="true" WIDTH="1"/>)"
        R"(<FIELD attrname="PLU_NAZIV" fieldtype="string" required="true" WIDTH="40"/>)"
        R"(<FIELD attrname="CENA" fieldtype="fixedFMT" required="true" DECIMALS="2" WIDTH="10"/>)"
        R"(<FIELD attrname="KOLICINA" fieldtype="fixedFMT" required="true" DECIMALS="3" WIDTH="10"/>)");
    static const std::map<std::string, std::string> packets = {
        {"ABC_", articles},
        {"ART-", articles},
        {"TXT_",
         Packet(R"(<FIELD attrname="TEKST" fieldtype="string" required="true" WIDTH="50"/>)")},
        {"CMD_",
         Packet(R"(<FIELD attrname="KOMANDA" fieldtype="string" required="true" WIDTH="3"/>)"
                R"(<FIELD attrname="TEKST" fieldtype="string" WIDTH="40"/>)")},
    };
    return packets;
}

std::string RecordContext(std::size_t number) {
    return "Red " + std::to_string(number) + " : ";
}

}  // namespace

std::string TFormConvert::KindOfName(const std::string& upperName) {
    for (const char* prefix : {"ABC_", "ART-", "TXT_", "CMD_"})
        if (upperName.compare(0, 4, prefix) == 0) return prefix;
    throw LinkError("Exc-104 pattern imena file-a: " + upperName);
}

const std::string& TFormConvert::EmptyPacket(const std::string& kind) {
    auto it = EmptyPackets().find(kind);
    if (it == EmptyPackets().end()) throw LinkError("Exc-104 pattern imena file-a: " + kind);
    return it->second;
}

const TDataPacket& TFormConvert::Layout(const std::string& kind) {
    static const std::map<std::string, TDataPacket> layouts = [] {
        std::map<std::string, TDataPacket> all;
        for (const auto& [name, text] : EmptyPackets()) all[name].LoadFromText(text);
        return all;
    }();
    auto it = layouts.find(kind);
    if (it == layouts.end()) throw LinkError("Exc-104 pattern imena file-a: " + kind);
    return it->second;
}

// --- input files ----------------------------------------------------------------

namespace {

// The checks of a foreign file's name: its kind, and that it is no packet itself.
std::string CheckedKind(const std::string& path) {
    const std::string kind = TFormConvert::KindOfName(UpperCase(ExtractFileName(path)));
    // A packet given as input would be overwritten by the packet made of it.
    if (ChangeFileExt(path, ".zvx") == path) throw LinkError("Pogresna ekstenzija file-a: " + path);
    return kind;
}

// Calls f for each line of text, as SplitLines cuts them, without holding them all.
template <class F>
void ForEachLine(std::string_view text, F f) {
    const std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    std::size_t start = 0, number = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            f(text.substr(start), ++number);
            return;
        }
        f(text.substr(start, end - start), ++number);
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
    }
}

}  // namespace

void TFormConvert::ConvertInputFile(const std::string& path) {
    const std::string kind = CheckedKind(path);
    const std::string zvx = ChangeFileExt(path, ".zvx");
    WriteWholeFile(zvx, EmptyPacket(kind));
    const std::string ext = UpperCase(ExtractFileExt(path));
    if (ext != ".CSV" && ext != ".TXT" && ext != ".DBF" && ext != ".XML")
        throw LinkError("Pogresna ekstenzija file-a: " + path);
    WriteWholeFile(zvx, ConvertInput(path, ReadBoundedFile(path, kMaxInputBytes)));
}

std::string TFormConvert::ConvertInput(const std::string& path, std::string_view bytes, std::size_t maxRecords) {
    const std::string kind = CheckedKind(path);
    const std::string ext = UpperCase(ExtractFileExt(path));
    CDS.Clear();
    CDS.LoadFromText(EmptyPacket(kind));
    maxRecords_ = maxRecords;
    std::string packet;
    try {
        if (ext == ".CSV")
            ReadCsvText(bytes);
        else if (ext == ".TXT")
            ReadTxtText(bytes);
        else if (ext == ".DBF")
            ReadDbfBytes(path, bytes);
        else if (ext == ".XML")
            ReadXmlText(path, bytes);
        else
            throw LinkError("Pogresna ekstenzija file-a: " + path);
        packet = CDS.SaveToText();
    } catch (...) {
        CDS.Clear();
        maxRecords_ = static_cast<std::size_t>(-1);
        throw;
    }
    CDS.Clear();
    maxRecords_ = static_cast<std::size_t>(-1);
    return packet;
}

void TFormConvert::BeginRecord(std::size_t number) {
    if (CDS.RowCount() >= maxRecords_)
        throw LinkError(RecordContext(number) + "more than " + std::to_string(maxRecords_) + " records");
    row_ = CDS.AppendRow();
    recordNumber_ = number;
    gotValue_ = false;
}

void TFormConvert::Assign(std::size_t field, std::string_view text, bool trim) {
    std::string value = trim ? TrimControl(text) : std::string(text);
    if (value.empty()) return;
    try {
        CDS.SetValue(row_, field, value);
    } catch (const LinkError& e) {
        throw LinkError(RecordContext(recordNumber_) + e.Text());
    }
    gotValue_ = gotValue_ || CDS.HasValue(row_, field);
}

void TFormConvert::EndRecord() {
    if (!gotValue_) {
        CDS.DeleteLastRow();
        return;
    }
    for (std::size_t f = 0; f < CDS.FieldCount(); ++f)
        if (CDS.Field(f).required && !CDS.HasValue(row_, f))
            throw LinkError(RecordContext(recordNumber_) + "Field '" + CDS.Field(f).name +
                            "' must have a value");
}

void TFormConvert::ReadTxtText(std::string_view text) {
    ForEachLine(text, [this](std::string_view line, std::size_t number) {
        BeginRecord(number);
        std::size_t pos = 0;
        for (std::size_t f = 0; f < CDS.FieldCount(); ++f) {
            std::size_t width = static_cast<std::size_t>(CDS.Field(f).width);
            if (pos < line.size()) Assign(f, line.substr(pos, width), true);
            pos += width;
        }
        EndRecord();
    });
}

void TFormConvert::ReadCommaLine(std::string_view line, std::size_t number) {
    BeginRecord(number);
    TCommaTextReader reader(line);
    std::string item;
    for (std::size_t j = 0; reader.Next(item); ++j) {
        if (item.empty()) continue;
        if (j >= CDS.FieldCount())
            throw LinkError(RecordContext(number) + "item " + std::to_string(j + 1) + " '" + item +
                            "' beyond the last of " + std::to_string(CDS.FieldCount()) + " fields");
        Assign(j, item, false);
    }
    EndRecord();
}

void TFormConvert::ReadCsvText(std::string_view text) {
    ForEachLine(text, [this](std::string_view line, std::size_t number) { ReadCommaLine(line, number); });
}

void TFormConvert::ReadTxtRecords(const std::string& path) {
    ReadTxtText(ReadBoundedFile(path, kMaxInputBytes));
}

void TFormConvert::ReadCsvRecords(const std::string& path) {
    ReadCsvText(ReadBoundedFile(path, kMaxInputBytes));
}

void TFormConvert::ReadDbfRecords(const std::string& path) {
    DbfFile dbf(path);
    CDS.Reserve(std::min(dbf.RecordCount(), maxRecords_));
    for (std::size_t i = 0; i < dbf.RecordCount(); ++i) ReadCommaLine(dbf.Record(i), i + 1);
}

void TFormConvert::ReadDbfBytes(const std::string& path, std::string_view bytes) {
    DbfMemoryInput input(bytes);
    DbfFile dbf(path, &input);
    CDS.Reserve(std::min(dbf.RecordCount(), maxRecords_));
    for (std::size_t i = 0; i < dbf.RecordCount(); ++i) ReadCommaLine(dbf.Record(i), i + 1);
}

void TFormConvert::ReadXmlRecords(const std::string& path) {
    ReadXmlText(path, ReadBoundedFile(path, kMaxInputBytes));
}

void TFormConvert::ReadXmlText(const std::string& path, std::string_view text) {
    TDataPacket input;
    try {
        input.LoadFromText(text);
    } catch (const LinkError& e) {
        throw LinkError(path + ": " + e.Text());
    }
    if (input.FieldCount() < CDS.FieldCount())
        throw LinkError("XML file has " + std::to_string(input.FieldCount()) + " fields, " +
                        std::to_string(CDS.FieldCount()) + " are needed");
    CDS.Reserve(std::min(input.RowCount(), maxRecords_));
    // Fields are matched by position: the input's names do not matter.
    for (std::size_t r = 0; r < input.RowCount(); ++r) {
        BeginRecord(r + 1);
        for (std::size_t f = 0; f < CDS.FieldCount(); ++f) Assign(f, input.Value(r, f), false);
        EndRecord();
    }
}

// --- export files -----------------------------------------------------------------

void TFormConvert::ConvertExportFile(const std::string& path, const std::string& format) {
    const std::string upper = UpperCase(format);
    if (upper == "XML") return;
    CDS.Clear();
    try {
        CDS.LoadFromFile(path);
        if (upper == "CSV")
            WriteCsvFile(path);
        else if (upper == "TXT")
            WriteTxtFile(path);
        else
            WriteDbfFile(path);
    } catch (...) {
        CDS.Clear();
        throw;
    }
    CDS.Clear();
}

std::unique_ptr<TExportWriter> TFormConvert::ExportWriter(const std::string& format) const {
    return TExportWriter::ForFormat(format);
}

std::string TFormConvert::CsvText() const {
    std::string out;
    for (std::size_t r = 0; r < CDS.RowCount(); ++r) AppendCsvLine(out, CDS, r);
    return out;
}

std::string TFormConvert::TxtText() const {
    std::string out;
    for (std::size_t r = 0; r < CDS.RowCount(); ++r) AppendTxtLine(out, CDS, r);
    return out;
}

void TFormConvert::WriteCsvFile(const std::string& path) const {
    WriteWholeFile(ChangeFileExt(path, ".csv"), CsvText());
}

void TFormConvert::WriteTxtFile(const std::string& path) const {
    WriteWholeFile(ChangeFileExt(path, ".txt"), TxtText());
}

void TFormConvert::WriteDbfFile(const std::string& path) const {
    DbfFile dbf(ChangeFileExt(path, ".dbf"), CDS);
}

}  // namespace velbrin
