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


TEST(DataPacket, EmptyPacketsOfEveryKindLoadAndSaveAsTheFixedText) {
    for (const char* kind : {"ABC_", "ART-", "TXT_", "CMD_"}) {
        TDataPacket p;
        p.LoadFromText(TFormConvert::EmptyPacket(kind));
        EXPECT_EQ(p.RowCount(), 0u);
        EXPECT_EQ(p.SaveToText(), TFormConvert::EmptyPacket(kind)) << kind;
    }
    TDataPacket abc;
    abc.LoadFromText(TFormConvert::EmptyPacket("ABC_"));
    ASSERT_EQ(abc.FieldCount(), 5u);
    EXPECT_EQ(abc.Field(3).name, "CENA");
    EXPECT_EQ(abc.Field(3).kind, TFieldKind::FixedFmt);
    EXPECT_EQ(abc.Field(3).width, 10);
    EXPECT_EQ(abc.Field(3).decimals, 2);
    EXPECT_TRUE(abc.Field(4).required);
}

TEST(DataPacket, SavedRowsLoadBackWithTypesAbsentValuesAndSpecialCharacters) {
    TDataPacket p = test::ExportPacket();
    std::size_t r = p.AppendRow();
    p.SetValue(r, "PLU_NAZIV", "<a & b>\r\n\t\x01 \x8A\x9E\xE8");
    std::string xml = p.SaveToText();
    EXPECT_EQ(
        xml.rfind(
            R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?><DATAPACKET Version="2.0">)",
            0),
        0u);
    EXPECT_NE(xml.find(R"(<FIELD attrname="BON_ID" fieldtype="i4"/>)"), std::string::npos);
    EXPECT_NE(xml.find(R"(<FIELD attrname="CENA" fieldtype="fixedFMT" DECIMALS="4" WIDTH="18"/>)"),
              std::string::npos);
    EXPECT_NE(xml.find("\xC5\xA0"), std::string::npos);  // Windows-1250 0x8A is UTF-8 in the file
    // The second row has no NAPOMENA: no attribute at all.
    EXPECT_NE(xml.find(R"(IZNOS="-45"/>)"), std::string::npos);

    TDataPacket q;
    q.LoadFromText(xml);
    ASSERT_EQ(q.FieldCount(), p.FieldCount());
    ASSERT_EQ(q.RowCount(), p.RowCount());
    for (std::size_t f = 0; f < p.FieldCount(); ++f) {
        EXPECT_EQ(q.Field(f).typeName, p.Field(f).typeName);
        EXPECT_EQ(q.Field(f).width, p.Field(f).width);
        EXPECT_EQ(q.Field(f).decimals, p.Field(f).decimals);
        for (std::size_t row = 0; row < p.RowCount(); ++row) {
            EXPECT_EQ(q.HasValue(row, f), p.HasValue(row, f)) << row << "/" << f;
            EXPECT_EQ(q.Value(row, f), p.Value(row, f)) << row << "/" << f;
        }
    }
    EXPECT_EQ(q.SaveToText(), xml);
}

TEST(DataPacket, AssignedValuesFollowTheFieldType) {
    struct Case {
        TFieldDef def;
        const char* text;
        const char* stored;  // nullptr: refused
    };
    const Case cases[] = {
        {TFieldDef::String("S", 5), "ABCDEFG", "ABCDE"},
        {TFieldDef::String("S", 5), "  a  ", "  a  "},
        {TFieldDef::String("S", 5), "", ""},
        {TFieldDef::Fixed("N", 10, 2), "12.50", "12.5"},
        {TFieldDef::Fixed("N", 10, 2), " 1,234.5 ", "1234.5"},
        {TFieldDef::Fixed("N", 10, 2), "-0.5", "-0.5"},
        {TFieldDef::Fixed("N", 10, 2), "1.005", "1.01"},
        {TFieldDef::Fixed("N", 10, 2), "12.00", "12"},
        {TFieldDef::Fixed("N", 10, 3), "-0.0001", "0"},
        {TFieldDef::Fixed("N", 10, 2), "99999999.99", "99999999.99"},
        {TFieldDef::Fixed("N", 10, 2), "100000000", nullptr},
        {TFieldDef::Fixed("N", 10, 2), "1,5", nullptr},
        {TFieldDef::Fixed("N", 10, 2), "abc", nullptr},
        {TFieldDef::Fixed("N", 10, 2), "1.5e3", nullptr},
        {TFieldDef::Integer("I", "i4"), " 42", "42"},
        {TFieldDef::Integer("I", "i4"), "2147483648", nullptr},
        {TFieldDef::Integer("I", "i2"), "-32768", "-32768"},
        {TFieldDef::Integer("I", "i2"), "32768", nullptr},
        {TFieldDef::Integer("I", "ui2"), "-1", nullptr},
        {TFieldDef::Integer("I", "i8"), "9000000000", "9000000000"},
        {TFieldDef::Integer("I", "i4"), "4.5", nullptr},
    };
    for (const Case& c : cases) {
        TDataPacket p;
        p.AddField(c.def);
        std::size_t r = p.AppendRow();
        if (c.stored == nullptr) {
            EXPECT_THROW(p.SetValue(r, 0, c.text), LinkError) << c.text;
            EXPECT_FALSE(p.HasValue(r, 0));
        } else {
            p.SetValue(r, 0, c.text);
            EXPECT_EQ(p.Value(r, 0), c.stored) << c.text;
            EXPECT_EQ(p.HasValue(r, 0), *c.stored != '\0') << c.text;
        }
    }
}

TEST(DataPacket, FieldsAreFoundWithoutCaseAndBadDefinitionsAreRefused) {
    TDataPacket p;
    p.AddField(TFieldDef::String("TEKST", 50));
    p.AddField(TFieldDef::Integer("KOMANDA"));
    EXPECT_EQ(p.FindField("tekst"), 0);
    EXPECT_EQ(p.FieldIndex("Komanda"), 1u);
    EXPECT_EQ(p.FindField("none"), -1);
    EXPECT_EQ(Error([&] { p.FieldIndex("none"); }), "Field 'none' not found");
    std::size_t r = p.AppendRow();
    p.SetValue(r, "komanda", "150");
    EXPECT_EQ(p.IntValue(r, "KOMANDA"), 150);
    EXPECT_EQ(p.Value(r, "tekst"), "");
    EXPECT_THROW(p.Value(r, 2), LinkError);
    EXPECT_THROW(p.Value(1, 0), LinkError);
    EXPECT_THROW(p.AddField(TFieldDef::String("LATE", 1)), LinkError);

    TDataPacket q;
    q.AddField(TFieldDef::String("A", 1));
    EXPECT_THROW(q.AddField(TFieldDef::String("a", 1)), LinkError);
    EXPECT_THROW(q.AddField(TFieldDef::String("1X", 1)), LinkError);
    EXPECT_THROW(q.AddField(TFieldDef::String("A B", 1)), LinkError);
    EXPECT_THROW(q.AddField(TFieldDef::String("", 1)), LinkError);
    EXPECT_THROW(q.AddField(TFieldDef::Fixed("F", 0, 0)), LinkError);
    EXPECT_THROW(q.AddField(TFieldDef::Fixed("F", 4, 5)), LinkError);
    for (std::size_t i = q.FieldCount(); i < TDataPacket::kMaxFields; ++i)
        q.AddField(TFieldDef::String("F" + std::to_string(i), 1));
    EXPECT_THROW(q.AddField(TFieldDef::String("ONE_MORE", 1)), LinkError);
}

TEST(DataPacket, MalformedPacketsAreRefusedWithAClearText) {
    struct Case {
        std::string xml;
        const char* expected;
    };
    const std::string head = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)";
    const Case cases[] = {
        {ReadDataFile("packet_not_xml.zvx"), "not an XML packet"},
        {"", "not an XML packet"},
        {head + "<DATAPACKET><METADATA>", "not an XML packet"},
        {ReadDataFile("packet_wrong_root.zvx"), "no DATAPACKET element"},
        {ReadDataFile("packet_no_metadata.zvx"), "no METADATA element"},
        {ReadDataFile("packet_no_rowdata.zvx"), "no ROWDATA element"},
        {head + "<DATAPACKET><METADATA/><ROWDATA/></DATAPACKET>", "no FIELDS element"},
        {ReadDataFile("packet_thousands_of_fields.zvx"), "more than 256 fields"},
        {head +
             R"(<DATAPACKET><METADATA><FIELDS><FIELD fieldtype="string"/></FIELDS></METADATA><ROWDATA/></DATAPACKET>)",
         "a FIELD without attrname"},
        {head +
             R"(<DATAPACKET><METADATA><FIELDS><FIELD attrname="A" fieldtype="string" WIDTH="x"/></FIELDS></METADATA><ROWDATA/></DATAPACKET>)",
         "bad WIDTH"},
        {head +
             R"(<DATAPACKET><METADATA><FIELDS><FIELD attrname="A" fieldtype="string" WIDTH="99999999999"/></FIELDS></METADATA><ROWDATA/></DATAPACKET>)",
         "bad WIDTH"},
        {head +
             R"(<DATAPACKET><METADATA><FIELDS><FIELD attrname="A" fieldtype="string"/><FIELD attrname="a" fieldtype="i4"/></FIELDS></METADATA><ROWDATA/></DATAPACKET>)",
         "defined twice"},
        {head +
             R"(<DATAPACKET><METADATA><FIELDS><FIELD attrname="A" fieldtype="string"/></FIELDS></METADATA><ROWDATA><ROW A=")" +
             "\xE4\xB8\xAD" + R"("/></ROWDATA></DATAPACKET>)",
         "cannot be converted"},
        {R"(<DATAPACKET><METADATA><FIELDS><FIELD attrname="A" fieldtype="string"/></FIELDS></METADATA><ROWDATA><ROW A=")" +
             std::string("\x81") + R"("/></ROWDATA></DATAPACKET>)",
         "cannot be converted"},  // a byte Windows-1250 lacks: the packet could not be saved again
    };
    for (const Case& c : cases) {
        TDataPacket p;
        std::string text = Error([&] { p.LoadFromText(c.xml); });
        EXPECT_EQ(text.rfind("Data packet: ", 0), 0u) << text;
        EXPECT_NE(text.find(c.expected), std::string::npos) << text;
        EXPECT_EQ(p.FieldCount(), 0u);
    }
    TDataPacket p;
    EXPECT_NE(
        Error([&] { p.LoadFromFile("/nonexistent/ABC_1.zvx"); }).find("/nonexistent/ABC_1.zvx"),
        std::string::npos);
}

TEST(DataPacket, EveryPrefixOfAValidPacketGivesACleanError) {
    const std::string xml = test::ExportPacket().SaveToText();
    for (std::size_t n = 0; n < xml.size(); ++n) {
        TDataPacket p;
        EXPECT_THROW(p.LoadFromText(std::string_view(xml).substr(0, n)), LinkError) << n;
    }
}

TEST(DataPacket, TextIsUtf8OnlyWhenThePacketDeclaresIt) {
    TDataPacket utf8, single;
    utf8.LoadFromText(ReadDataFile("packet_utf8.zvx"));
    single.LoadFromText(ReadDataFile("packet_single_byte_no_declaration.zvx"));
    EXPECT_EQ(utf8.Value(0, "TEKST"),
              "\x8A"
              "argarepa \x9E");
    EXPECT_EQ(single.Value(0, "TEKST"),
              "\x8A"
              "argarepa \x9E");
    // Saving always writes UTF-8 with its declaration.
    EXPECT_EQ(single.SaveToText(), utf8.SaveToText());
}

TEST(DataPacket, FileRoundTripAndUnknownRowAttributesIgnored) {
    test::TempDir dir;
    WriteWholeFile(
        dir.File("a.zvx"),
        R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?><DATAPACKET Version="2.0"><METADATA><FIELDS>)"
        R"(<FIELD attrname="TEKST" fieldtype="string" WIDTH="5"/></FIELDS><PARAMS LCID="0"/></METADATA>)"
        R"(<ROWDATA><ROW RowState="4" tekst="abc"/><ROW/></ROWDATA></DATAPACKET>)");
    TDataPacket p;
    p.LoadFromFile(dir.File("a.zvx"));
    ASSERT_EQ(p.RowCount(), 2u);
    EXPECT_EQ(p.Value(0, 0), "abc");
    EXPECT_FALSE(p.HasValue(1, 0));
    p.SaveToFile(dir.File("b.zvx"));
    TDataPacket q;
    q.LoadFromFile(dir.File("b.zvx"));
    EXPECT_EQ(q.Value(0, "TEKST"), "abc");
}

}  // namespace
