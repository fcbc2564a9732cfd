#include "formats/P00_convert.h"

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

void TFormConvert::ConvertInputFile(const std::string& path) {
    const std::string name = UpperCase(ExtractFileName(path));
    const std::string ext = UpperCase(ExtractFileExt(path));
    const std::string kind = KindOfName(name);
    const std::string zvx = ChangeFileExt(path, ".zvx");
    // A packet given as input would be overwritten by the empty packet below.
    if (zvx == path) throw LinkError("Pogresna ekstenzija file-a: " + path);

    WriteWholeFile(zvx, EmptyPacket(kind));
    CDS.Clear();
    CDS.LoadFromFile(zvx);
    try {
        if (ext == ".CSV")
            ReadCsvRecords(path);
        else if (ext == ".TXT")
            ReadTxtRecords(path);
        else if (ext == ".DBF")
            ReadDbfRecords(path);
        else if (ext == ".XML")
            ReadXmlRecords(path);
        else
            throw LinkError("Pogresna ekstenzija file-a: " + path);
        CDS.SaveToFile(zvx);
    } catch (...) {
        CDS.Clear();
        throw;
    }
    CDS.Clear();
}

void TFormConvert::BeginRecord(std::size_t number) {
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
    std::vector<std::string_view> lines = SplitLines(text);
    CDS.Reserve(lines.size());
    for (std::size_t n = 0; n < lines.size(); ++n) {
        std::string_view line = lines[n];
        BeginRecord(n + 1);
        std::size_t pos = 0;
        for (std::size_t f = 0; f < CDS.FieldCount(); ++f) {
            std::size_t width = static_cast<std::size_t>(CDS.Field(f).width);
            if (pos < line.size()) Assign(f, line.substr(pos, width), true);
            pos += width;
        }
        EndRecord();
    }
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
    std::vector<std::string_view> lines = SplitLines(text);
    CDS.Reserve(lines.size());
    for (std::size_t n = 0; n < lines.size(); ++n) ReadCommaLine(lines[n], n + 1);
}

void TFormConvert::ReadTxtRecords(const std::string& path) {
    ReadTxtText(ReadBoundedFile(path, kMaxInputBytes));
}

void TFormConvert::ReadCsvRecords(const std::string& path) {
    ReadCsvText(ReadBoundedFile(path, kMaxInputBytes));
}

void TFormConvert::ReadDbfRecords(const std::string& path) {
    DbfFile dbf(path);
    CDS.Reserve(dbf.RecordCount());
    for (std::size_t i = 0; i < dbf.RecordCount(); ++i) ReadCommaLine(dbf.Record(i), i + 1);
}

void TFormConvert::ReadXmlRecords(const std::string& path) {
    TDataPacket input;
    try {
        input.LoadFromText(ReadBoundedFile(path, kMaxInputBytes));
    } catch (const LinkError& e) {
        throw LinkError(path + ": " + e.Text());
    }
    if (input.FieldCount() < CDS.FieldCount())
        throw LinkError("XML file has " + std::to_string(input.FieldCount()) + " fields, " +
                        std::to_string(CDS.FieldCount()) + " are needed");
    CDS.Reserve(input.RowCount());
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
