// Packets of a till built with Free Pascal/Lazarus, as its TBufDataset saves
// them (tests/formats/lazarus/write_packets.pas wrote the lazarus_* files).
#include <gtest/gtest.h>

#include "FormatsTestData.h"
#include "app/P00_util.h"
#include "formats/P00_convert.h"
#include "formats/P01_datapacket.h"
#include "support/TestSupport.h"

using namespace velbrin;
using velbrin::test::Error;
using velbrin::test::ReadDataFile;

namespace {

using Rows = std::vector<std::vector<std::string>>;

// Every field of the kind's layout by name, decimals as numbers, "-" for absent.
std::vector<std::string> Records(const TDataPacket& p, const std::string& kind) {
    std::vector<std::string> out;
    for (std::size_t r = 0; r < p.RowCount(); ++r) {
        std::string line;
        for (const TFieldDef& f : TFormConvert::Layout(kind).Fields()) {
            const bool has = p.HasValue(r, p.FieldIndex(f.name));
            const bool decimal = f.kind == TFieldKind::FixedFmt;
            line += !has ? "-" : decimal ? p.MoneyValue(r, f.name).Format(f.decimals) : p.Value(r, f.name);
            line += "|";
        }
        out.push_back(line);
    }
    return out;
}

// The same rows in the link's own packet, read as the intake reads it.
std::vector<std::string> NativeRecords(const std::string& kind, const Rows& rows) {
    TDataPacket p;
    p.LoadFromText(TFormConvert::EmptyPacket(kind));
    for (const auto& values : rows) {
        std::size_t r = p.AppendRow();
        for (std::size_t f = 0; f < values.size(); ++f) p.SetValue(r, f, values[f]);
    }
    TDataPacket read;
    read.LoadFromText(p.SaveToText(), &TFormConvert::Layout(kind));
    return Records(read, kind);
}

std::vector<std::string> LoadedRecords(const std::string& xml, const std::string& kind) {
    TDataPacket p;
    p.LoadFromText(xml, &TFormConvert::Layout(kind));
    return Records(p, kind);
}

const std::string kChocolate = "\xC8OKOLADA \x8AUMSKA";  // Windows-1250
const Rows kReceipt = {{"1001", "1", "MLEKO 1L", "12.50", "2"},
                       {"1002", "2", kChocolate, "149.99", "1.234"},
                       {"1003", "1", "HLEB", "55", "3"},
                       {"KRAJBONA", "0", "-", "0", "0"},
                       {"PAY_1", "0", "-", "500", "0"}};

TEST(LazarusPackets, ReadIntoTheSameRecordsAsTheLinksOwnPackets) {
    struct Case {
        std::string file, kind;
        Rows rows;
    };
    const Case cases[] = {
        {"lazarus_abc_receipt.zvx", "ABC_", kReceipt},
        // A till with a decimal comma: 1,234 is a quantity, not a thousand.
        {"lazarus_abc_decimal_comma.zvx", "ABC_", kReceipt},
        {"lazarus_abc_deleted_and_modified_rows.zvx", "ABC_",
         {kReceipt[0], kReceipt[1], {"1003", "1", "HLEB BELI", "55", "4"}, kReceipt[3], kReceipt[4]}},
        {"lazarus_art_articles.zvx", "ART-",
         {{"2001", "1", "JOGURT", "89.90", "10"}, {"2002", "2", "SOK OD JABUKE", "120", "0"}}},
        {"lazarus_cmd_commands.zvx", "CMD_", {{"20", "DOBRO DOSLI"}, {"30"}, {"50", "1000.00"}}},
    };
    test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::vector<std::string> native = NativeRecords(c.kind, c.rows);
        EXPECT_EQ(LoadedRecords(ReadDataFile(c.file), c.kind), native);
        // The same file dropped as a foreign ".xml" input is converted alike.
        const std::string xml = dir.File(c.kind + "1.xml");
        WriteWholeFile(xml, ReadDataFile(c.file));
        TFormConvert convert;
        convert.ConvertInputFile(xml);
        EXPECT_EQ(LoadedRecords(ReadWholeFile(ChangeFileExt(xml, ".zvx")), c.kind), native);
    }
    // Free Pascal writes a decimal's scale as "width" and no precision: the layout gives both.
    TDataPacket p;
    p.LoadFromText(ReadDataFile("lazarus_abc_receipt.zvx"), &TFormConvert::Layout("ABC_"));
    EXPECT_EQ(p.Field(p.FieldIndex("CENA")).width, 10);
    EXPECT_EQ(p.Field(p.FieldIndex("KOLICINA")).decimals, 3);
}

std::string CommandPacket(const std::string& widthName, const std::string& changeLog, const std::string& rows) {
    return R"(<?xml version="1.0" encoding="utf-8"?><DATAPACKET Version="2.0"><METADATA><FIELDS>)"
           R"(<FIELD attrname="KOMANDA" fieldtype="string" )" + widthName + R"(="3"/>)"
           R"(<FIELD attrname="TEKST" fieldtype="string" )" + widthName + R"(="40"/>)"
           R"(</FIELDS><PARAMS CHANGE_LOG=")" + changeLog + R"("/></METADATA><ROWDATA>)" + rows +
           "</ROWDATA></DATAPACKET>";
}

TEST(LazarusPackets, ChangedRowsAreMergedAsTheirWriterReadsThem) {
    struct Case {
        std::string label, xml;
        std::vector<std::string> records;  // empty: refused with the error
        std::string error;
    };
    const std::string changed = R"(<ROW RowState="1" KOMANDA="50" TEKST="100"/><ROW RowState="8" TEKST="200"/>)";
    const Case cases[] = {
        {"Delphi keeps only the changed values", CommandPacket("WIDTH", "2 1 8", changed + R"(<ROW KOMANDA="20"/>)"),
         {"50|200|", "20|-|"}, ""},
        {"Free Pascal keeps the whole record: a value it lacks was cleared",
         CommandPacket("width", "2 1 8", R"(<ROW RowState="1" KOMANDA="50" TEKST="100"/><ROW RowState="8" KOMANDA="50"/>)"),
         {"50|-|"}, ""},
        {"a change without its original", CommandPacket("WIDTH", "", R"(<ROW RowState="8" TEKST="200"/>)"), {},
         "without the row they change"},
        {"an original without its change", CommandPacket("width", "", R"(<ROW RowState="1" KOMANDA="50"/>)"), {},
         "change that is missing"},
        {"a change log naming rows that are not there", CommandPacket("WIDTH", "9 1 8", changed), {}, "beyond"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.error.empty()) {
            EXPECT_EQ(LoadedRecords(c.xml, "CMD_"), c.records);
        } else {
            TDataPacket p;
            const std::string text = Error([&] { p.LoadFromText(c.xml); });
            EXPECT_NE(text.find(c.error), std::string::npos) << text;
        }
    }
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(LazarusPackets, APacketThatDoesNotFitItsKindIsRefusedByTheField) {
    const std::string receipt = ReadDataFile("lazarus_abc_receipt.zvx");
    const std::string commands = ReadDataFile("lazarus_cmd_commands.zvx");
    const std::string native = TFormConvert::EmptyPacket("ABC_");
    struct Case {
        std::string label, xml, kind, error;
    };
    const Case cases[] = {
        {"wrong type", Replaced(receipt, R"("CENA" fieldtype="fixedFMT")", R"("CENA" fieldtype="string")"), "ABC_",
         "Field CENA is string, not fixedFMT"},
        {"missing field",
         Replaced(receipt, R"(<FIELD width="3" attrname="KOLICINA" fieldname="KOLICINA" fieldtype="fixedFMT"/>)", ""),
         "ABC_", "Field 'KOLICINA' not found"},
        {"command under another name", Replaced(commands, R"(attrname="KOMANDA")", R"(attrname="KOD")"), "CMD_",
         "Field 'KOMANDA' not found"},
        {"given DECIMALS are checked", Replaced(native, R"(DECIMALS="2" WIDTH="10")", R"(DECIMALS="3" WIDTH="2")"),
         "ABC_", "Field CENA has a bad precision 2.3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TDataPacket p;
        const std::string text = Error([&] { p.LoadFromText(c.xml, &TFormConvert::Layout(c.kind)); });
        EXPECT_NE(text.find(c.error), std::string::npos) << text;
        EXPECT_EQ(p.FieldCount(), 0u);
    }
}

}  // namespace
