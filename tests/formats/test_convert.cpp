#include <gtest/gtest.h>

#include <functional>

#include "FormatsTestData.h"
#include "app/P00_util.h"
#include "formats/P00_convert.h"
#include "formats/P01_dbf.h"
#include "support/TestSupport.h"

using namespace velbrin;
using velbrin::test::Error;
using velbrin::test::DataFile;
using velbrin::test::ReadDataFile;

namespace {


// Rows of a packet as "a|b|c" lines; an absent value is "-".
std::string Rows(const TDataPacket& p) {
    std::string out;
    for (std::size_t r = 0; r < p.RowCount(); ++r) {
        for (std::size_t f = 0; f < p.FieldCount(); ++f) {
            if (f > 0) out += "|";
            out += p.HasValue(r, f) ? p.Value(r, f) : "-";
        }
        out += "\n";
    }
    return out;
}

// Converts a file of the given name and content; returns the rows or the error.
std::string Convert(const std::string& name, const std::string& content) {
    test::TempDir dir;
    WriteWholeFile(dir.File(name), content);
    TFormConvert convert;
    std::string error = Error([&] { convert.ConvertInputFile(dir.File(name)); });
    if (error != "(no error)") return "error: " + error;
    EXPECT_EQ(convert.CDS.FieldCount(), 0u) << "CDS is left closed";
    TDataPacket p;
    p.LoadFromFile(ChangeFileExt(dir.File(name), ".zvx"));
    return Rows(p);
}

TEST(ConvertInput, FileKindsAndNames) {
    test::TempDir dir;
    TFormConvert convert;
    WriteWholeFile(dir.File("abc_0001.txt"), ReadDataFile("txt_abc_two_lines.txt"));
    convert.ConvertInputFile(dir.File("abc_0001.txt"));
    EXPECT_TRUE(FileExists(dir.File("abc_0001.zvx")));
    EXPECT_TRUE(FileExists(dir.File("abc_0001.txt")));

    // ART- and ABC_ share one layout.
    const std::string line = "1001,1,\"Sok Jabuka\",120.5,2\r\n";
    EXPECT_EQ(Convert("ART-1.CSV", line), Convert("ABC_1.CSV", line));
    EXPECT_EQ(Convert("ABC_1.CSV", line), "1001|1|Sok Jabuka|120.5|2\n");

    struct Case {
        const char* name;
        const char* expected;
    };
    const Case refused[] = {
        {"INVENT.CSV", "Exc-104 pattern imena file-a: INVENT.CSV"},
        {"abc.csv", "Exc-104 pattern imena file-a: ABC.CSV"},
        {"ABC", "Exc-104 pattern imena file-a: ABC"},
        {"XABC_1.CSV", "Exc-104 pattern imena file-a: XABC_1.CSV"},
    };
    for (const Case& c : refused) {
        WriteWholeFile(dir.File(c.name), line);
        EXPECT_EQ(Error([&] { convert.ConvertInputFile(dir.File(c.name)); }), c.expected);
        EXPECT_FALSE(FileExists(ChangeFileExt(dir.File(c.name), ".zvx"))) << "nothing written";
    }

    // A wrong or missing extension leaves the empty packet behind.
    for (const char* name : {"ABC_2.PDF", "CMD_3"}) {
        WriteWholeFile(dir.File(name), line);
        EXPECT_EQ(Error([&] { convert.ConvertInputFile(dir.File(name)); }),
                  "Pogresna ekstenzija file-a: " + dir.File(name));
        std::string kind = std::string(name).substr(0, 4);
        EXPECT_EQ(ReadWholeFile(ChangeFileExt(dir.File(name), ".zvx")),
                  TFormConvert::EmptyPacket(kind));
    }
    // A packet handed in as input is not overwritten by the empty packet.
    WriteWholeFile(dir.File("TXT_4.zvx"), "keep");
    EXPECT_EQ(Error([&] { convert.ConvertInputFile(dir.File("TXT_4.zvx")); }),
              "Pogresna ekstenzija file-a: " + dir.File("TXT_4.zvx"));
    EXPECT_EQ(ReadWholeFile(dir.File("TXT_4.zvx")), "keep");
    // A missing input fails and the empty packet remains.
    EXPECT_NE(Error([&] { convert.ConvertInputFile(dir.File("TXT_5.csv")); }).find("TXT_5.csv"),
              std::string::npos);
    EXPECT_EQ(ReadWholeFile(dir.File("TXT_5.zvx")), TFormConvert::EmptyPacket("TXT_"));
}

TEST(ConvertInput, CsvQuotingSplittingAndRequiredFields) {
    struct Case {
        const char* name;
        std::string content;
        std::string expected;
    };
    const Case cases[] = {
        {"ABC_1.CSV", ReadDataFile("csv_unquoted_space.csv"),
         "error: Red 1 : Field 'CENA': 'Jabuka' is not a valid number"},  // shifted by one item
        {"ABC_1.CSV", "1001,1,\"Sok \"\"Jabuka\"\", 1L\",120.50,2\r\n",
         "1001|1|Sok \"Jabuka\", 1L|120.5|2\n"},
        {"ABC_1.CSV", "1001,,Hleb,45,1\r\n", "error: Red 1 : Field 'TAX_ID' must have a value"},
        {"ABC_1.CSV", "1001,1,Hleb,45,1,\r\n", "1001|1|Hleb|45|1\n"},
        {"ABC_1.CSV", "1001,1,Hleb,45,1,,,\r\n", "1001|1|Hleb|45|1\n"},
        {"ABC_1.CSV", "1001,1,Hleb,45,1,,x\r\n",
         "error: Red 1 : item 7 'x' beyond the last of 5 fields"},
        {"ABC_1.CSV", "1001,1,Hleb,4.5.0,1\r\n",
         "error: Red 1 : Field 'CENA': '4.5.0' is not a valid number"},
        {"ABC_1.CSV", "1001,1,Hleb,45,1\r\n\r\n,,\r\n\"\"\r\n1002,2,Mleko,99.99,-1",
         "1001|1|Hleb|45|1\n1002|2|Mleko|99.99|-1\n"},
        {"ABC_1.CSV", "1,1,\"" + std::string(50, 'n') + "\",1,1\n",
         "1|1|" + std::string(40, 'n') + "|1|1\n"},
        {"CMD_1.CSV", "150\r\n", "150|-\n"},
        {"CMD_1.CSV", "150,\"  two  blanks \"\r\n", "150|  two  blanks \n"},
        {"CMD_1.CSV", ",text only\r\n", "error: Red 1 : item 3 'only' beyond the last of 2 fields"},
        {"CMD_1.CSV", ",\"text only\"\r\n", "error: Red 1 : Field 'KOMANDA' must have a value"},
        {"TXT_1.CSV", "\"Hvala na poseti\"\n\"\"\n\" \"\n", "Hvala na poseti\n \n"},
        {"TXT_1.CSV", std::string("a\0b\r\nc", 6), "a\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(Convert(c.name, c.content), c.expected) << c.content;
}

TEST(ConvertInput, TxtColumnsAreCutByWidthAndTrimmed) {
    struct Case {
        const char* name;
        std::string content;
        std::string expected;
    };
    const Case cases[] = {
        {"ABC_1.TXT", ReadDataFile("txt_abc_two_lines.txt"),
         "1001|1|Sok Jabuka 1L|120.5|2\n1002|2|Hleb|45|1.5\n"},
        {"ABC_1.TXT", ReadDataFile("txt_abc_line_71_chars.txt"),
         "error: Red 1 : Field 'KOLICINA' must have a value"},
        {"CMD_1.TXT", "150\r\n151Izvestaj\r\n   \r\n", "150|-\n151|Izvestaj\n"},
        {"TXT_1.TXT", "  Dobar dan  \r" + std::string(60, 'z') + "\n",
         "Dobar dan\n" + std::string(50, 'z') + "\n"},
        {"CMD_1.TXT", std::string(3'000'000, ' ') + "x\n", ""},
        {"ABC_1.TXT",
         "1001                1Sok                                          abc         1\r\n",
         "error: Red 1 : Field 'CENA': 'abc' is not a valid number"},
    };
    for (const Case& c : cases) EXPECT_EQ(Convert(c.name, c.content), c.expected) << c.name;
}

TEST(ConvertInput, XmlIsCopiedByPositionAndDbfByDescriptorOrder) {
    // Another packet with the layout's fields under other names and one more field.
    TDataPacket other;
    for (const char* name : {"A", "B", "C", "D", "E", "EXTRA"})
        other.AddField(TFieldDef::String(name, 40));
    std::size_t r = other.AppendRow();
    const char* values[] = {"1001", "1", "Sok", "120.50", "2", "ignored"};
    for (std::size_t f = 0; f < 6; ++f) other.SetValue(r, f, values[f]);
    other.AppendRow();  // a row without values is dropped
    EXPECT_EQ(Convert("ART-7.XML", other.SaveToText()), "1001|1|Sok|120.5|2\n");
    EXPECT_EQ(
        Convert(
            "CMD_7.XML",
            R"(<DATAPACKET><METADATA><FIELDS><FIELD attrname="X" fieldtype="string" WIDTH="3"/></FIELDS></METADATA><ROWDATA/></DATAPACKET>)"),
        "error: XML file has 1 fields, 2 are needed");
    EXPECT_NE(Convert("CMD_7.XML", "garbage").find("error: "), std::string::npos);

    test::TempDir dir;
    TDataPacket table;
    for (const char* name : {"KOD", "PS", "NAZIV"}) table.AddField(TFieldDef::String(name, 20));
    table.AddField(TFieldDef::Fixed("C", 10, 2));
    table.AddField(TFieldDef::Fixed("K", 10, 3));
    r = table.AppendRow();
    const char* row[] = {"1001", "1", "Sok Jabuka", "120.5", "2"};
    for (std::size_t f = 0; f < 5; ++f) table.SetValue(r, f, row[f]);
    DbfFile(dir.File("ABC_9.DBF"), table, DbfDate{2024, 1, 15});
    EXPECT_EQ(Convert("ABC_9.DBF", ReadWholeFile(dir.File("ABC_9.DBF"))),
              "1001|1|Sok Jabuka|120.5|2\n");
    EXPECT_EQ(Convert("ABC_9.DBF", ReadDataFile("dbf_header_claims_more_records.dbf")),
              "error: DBF Error - read file!");
}

TEST(ConvertExport, TxtFormattingOfIntegersDecimalsAndText) {
    TFormConvert convert;
    TDataPacket& p = convert.CDS;
    p.AddField(TFieldDef::Integer("I", "i4"));
    p.AddField(TFieldDef::Fixed("F", 10, 2));
    p.AddField(TFieldDef::String("S", 5));
    p.AddField(TFieldDef::Typed("D", "date"));
    p.AddField(TFieldDef::Integer("L", "i8"));
    std::size_t r = p.AppendRow();
    p.SetValue(r, 0, "7");
    p.SetValue(r, 1, "1.5");
    p.SetRawValue(r, 2, "ABCDEFG");
    p.SetValue(r, 3, "2024-01-15");
    p.SetValue(r, 4, "5");
    p.AppendRow();
    r = p.AppendRow();
    p.SetValue(r, 0, "-12345678");
    p.SetValue(r, 1, "-12345678.99");
    p.SetValue(r, 2, "AB");
    EXPECT_EQ(convert.TxtText(),
              "         7      1.50ABCDE\r\n"
              "         0      0.00     \r\n"
              " -12345678-12345678.99AB   \r\n");
}

TEST(ConvertExport, WritersMatchTheReferenceFiles) {
    test::TempDir dir;
    const std::string packet = dir.File("XA000001.xml");
    test::ExportPacket().SaveToFile(packet);
    EXPECT_EQ(ReadWholeFile(packet), ReadDataFile("export_packet.xml"));
    TFormConvert convert;
    struct Case {
        const char* format;
        const char* ext;
        const char* reference;
    };
    const Case cases[] = {
        {"CSV", ".csv", "export_packet.csv"},
        {"txt", ".txt", "export_packet.txt"},
        {"DBF", ".dbf", nullptr},
        {"whatever", ".dbf", nullptr},
    };
    for (const Case& c : cases) {
        convert.ConvertExportFile(packet, c.format);
        std::string written = ReadWholeFile(ChangeFileExt(packet, c.ext));
        if (c.reference) {
            EXPECT_EQ(written, ReadDataFile(c.reference)) << c.format;
        } else {
            // Only the date of writing differs from the reference.
            std::string reference = ReadDataFile("export_packet.dbf");
            ASSERT_EQ(written.size(), reference.size());
            EXPECT_EQ(written.substr(4), reference.substr(4));
        }
        EXPECT_TRUE(FileExists(packet));
        EXPECT_EQ(convert.CDS.FieldCount(), 0u);
    }
    for (const char* format : {"XML", "xml", "Xml"}) {
        test::TempDir other;
        test::ExportPacket().SaveToFile(other.File("XB.xml"));
        convert.ConvertExportFile(other.File("XB.xml"), format);
        EXPECT_FALSE(FileExists(other.File("XB.csv")) || FileExists(other.File("XB.dbf")) ||
                     FileExists(other.File("XB.txt")));
    }
    EXPECT_NE(Error([&] {
                  convert.ConvertExportFile(dir.File("missing.xml"), "CSV");
              }).find("missing.xml"),
              std::string::npos);
}

TEST(ConvertExport, CsvOfOneEmptyFieldIsTwoQuotes) {
    TFormConvert convert;
    convert.CDS.AddField(TFieldDef::String("TEKST", 5));
    convert.CDS.AppendRow();
    convert.CDS.SetValue(convert.CDS.AppendRow(), 0, "a b");
    EXPECT_EQ(convert.CsvText(), "\"\"\r\n\"a b\"\r\n");
}

}  // namespace
