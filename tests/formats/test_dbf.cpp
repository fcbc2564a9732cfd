#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "FormatsTestData.h"
#include "app/P00_util.h"
#include "formats/P01_dbf.h"
#include "support/TestSupport.h"

using namespace velbrin;
using velbrin::test::Error;
using velbrin::test::DataFile;
using velbrin::test::ReadDataFile;

namespace {

const DbfDate kDate{2024, 1, 15};


unsigned Byte(const std::string& b, std::size_t i) {
    return static_cast<unsigned char>(b[i]);
}
unsigned U16(const std::string& b, std::size_t i) {
    return Byte(b, i) | (Byte(b, i + 1) << 8);
}

std::string WriteAndRead(const TDataPacket& p, const std::string& path) {
    DbfFile(path, p, kDate);
    return ReadWholeFile(path);
}

TEST(DbfWriter, ThreeFieldTableMatchesTheReferenceBytes) {
    test::TempDir dir;
    std::string bytes = WriteAndRead(test::ThreeFieldPacket(), dir.File("t.dbf"));
    EXPECT_EQ(bytes, ReadDataFile("dbf_three_fields.dbf"));
    EXPECT_EQ(Byte(bytes, 0), 3u);
    EXPECT_EQ(Byte(bytes, 1), 124u);
    EXPECT_EQ(U16(bytes, 4), 2u);
    EXPECT_EQ(U16(bytes, 8), 129u);
    EXPECT_EQ(U16(bytes, 10), 41u);
    struct Desc {
        const char* name;
        char type;
        unsigned width, decimals;
    };
    const Desc expected[] = {
        {"ART_ID", 'C', 20, 0}, {"KOLICINA", 'N', 10, 3}, {"BON_ID", 'N', 10, 0}};
    for (std::size_t i = 0; i < 3; ++i) {
        std::size_t at = 32 + 32 * i;
        EXPECT_EQ(bytes.substr(at, 11),
                  std::string(expected[i].name).append(11 - std::strlen(expected[i].name), '\0'));
        EXPECT_EQ(bytes[at + 11], expected[i].type);
        EXPECT_EQ(Byte(bytes, at + 16), expected[i].width);
        EXPECT_EQ(Byte(bytes, at + 17), expected[i].decimals);
    }
    EXPECT_EQ(Byte(bytes, 128), 0x0Du);
    EXPECT_EQ(bytes.substr(129, 41), " 1001                12.5      7         ");
    EXPECT_EQ(bytes.size(), 129u + 2 * 41 + 1);
    EXPECT_EQ(Byte(bytes, bytes.size() - 1), 0x1Au);

    DbfFile read(dir.File("t.dbf"));
    ASSERT_EQ(read.RecordCount(), 2u);
    EXPECT_EQ(read.Record(0), "1001,12.5,7");
    EXPECT_EQ(read.Record(1),
              "\"\x8A"
              "argarepa \"\"A\"\"\",,-42");
}

TEST(DbfWriter, WideCharacterFieldsUseBytes16And17) {
    TDataPacket p;
    p.AddField(TFieldDef::String("NAPOMENA", 300));
    std::size_t r = p.AppendRow();
    std::string value = std::string(299, 'x') + "y";
    p.SetValue(r, 0, value);
    test::TempDir dir;
    std::string bytes = WriteAndRead(p, dir.File("w.dbf"));
    EXPECT_EQ(Byte(bytes, 32 + 16), 44u);
    EXPECT_EQ(Byte(bytes, 32 + 17), 1u);
    EXPECT_EQ(U16(bytes, 10), 301u);
    DbfFile read(dir.File("w.dbf"));
    EXPECT_EQ(read.Descriptors()[0].Width(), 300u);
    EXPECT_EQ(read.Record(0), value);
}

TEST(DbfWriter, TypesWithoutDeclaredSizeBecomeZeroWidthFields) {
    TDataPacket p;
    p.AddField(TFieldDef::Integer("BIG", "i8"));
    p.AddField(TFieldDef::Typed("DTM", "dateTime"));
    p.AddField(TFieldDef::String("KOD", 3));
    std::size_t r = p.AppendRow();
    p.SetValue(r, 0, "9000000000");
    p.SetValue(r, 1, "2024-01-15T10:11:12");
    p.SetValue(r, 2, "A1");
    test::TempDir dir;
    std::string bytes = WriteAndRead(p, dir.File("z.dbf"));
    EXPECT_EQ(U16(bytes, 10), 4u);
    EXPECT_EQ(bytes[32 + 11], 'C');
    EXPECT_EQ(U16(bytes, 32 + 16), 0u);
    EXPECT_EQ(bytes.substr(129, 4), " A1 ");
    EXPECT_EQ(DbfFile(dir.File("z.dbf")).Record(0), ",,A1");
}

TEST(DbfWriter, EmptyTableIsHeaderAndEndOfFileMark) {
    TDataPacket p = test::ThreeFieldPacket();
    p.ClearRows();
    test::TempDir dir;
    std::string bytes = WriteAndRead(p, dir.File("e.dbf"));
    EXPECT_EQ(bytes.size(), 130u);
    EXPECT_EQ(U16(bytes, 4), 0u);
    EXPECT_EQ(Byte(bytes, 129), 0x1Au);
    EXPECT_EQ(DbfFile(dir.File("e.dbf")).RecordCount(), 0u);
}

TEST(DbfWriter, RefusesWhatTheTableCannotHoldBeforeCreatingIt) {
    struct Case {
        std::function<TDataPacket()> make;
        const char* expected;
    };
    const Case cases[] = {
        {[] {
             TDataPacket p;
             for (int i = 0; i < 101; ++i)
                 p.AddField(TFieldDef::String("F" + std::to_string(i), 1));
             return p;
         },
         "DBF Error - more than 100 fields!"},
        {[] {
             TDataPacket p;
             p.AddField(TFieldDef::String("ELEVEN_CHAR", 1));
             return p;
         },
         "DBF Error - field name ELEVEN_CHAR is longer than 10 characters!"},
        {[] {
             TDataPacket p;
             p.AddField(TFieldDef::Fixed("CENA", 4, 2));
             p.SetValue(p.AppendRow(), 0, "-12.25");
             return p;
         },
         "DBF Error - value of CENA in record 1 is longer than its field!"},
        {[] {
             TDataPacket p;  // a loaded packet may hold a value longer than its WIDTH
             p.AddField(TFieldDef::String("KOD", 3));
             p.AppendRow();
             p.SetRawValue(p.AppendRow(), 0, "ABCDE");
             return p;
         },
         "DBF Error - value of KOD in record 2 is longer than its field!"},
    };
    test::TempDir dir;
    for (const Case& c : cases) {
        TDataPacket p = c.make();
        EXPECT_EQ(Error([&] { DbfFile(dir.File("r.dbf"), p, kDate); }), c.expected);
        EXPECT_FALSE(FileExists(dir.File("r.dbf")));
    }
}

// A writer that fails its n-th write (counting from 1), its seek, or its close.
class FailingOutput : public DbfOutput {
public:
    int failWrite = 0;
    bool failSeek = false, failClose = false;
    int writes = 0, closes = 0;
    bool Create(const std::string&) override { return true; }
    bool Write(std::string_view) override { return ++writes != failWrite; }
    bool Seek(std::uint64_t) override { return !failSeek; }
    bool SeekEnd() override { return true; }
    bool Close() override {
        ++closes;
        return !failClose;
    }
};

TEST(DbfWriter, EveryFailingStepClosesTheFileAndReportsItsText) {
    // Writes of the three-field table: header, 3 descriptors, 0x0D, records, header, 0x1A.
    struct Case {
        int failWrite;
        bool failSeek, failClose;
        const char* expected;
    };
    const Case cases[] = {
        {1, false, false, "DBF Error - fixed header!"},
        {3, false, false, "DBF Error - FieldRec"},
        {5, false, false, "DBF Error - 0x0D"},
        {6, false, false, "DBF Error - insert!"},
        {7, false, false, "DBF Error - fixed header!"},
        {0, true, false, "DBF Error - fixed header!"},
        {8, false, false, "DBF Error - 0x1A"},
        {0, false, true, "DBF Error - close file!"},
        {1, false, true, "DBF Error - fixed header! i Greska prilikom zatvaranja file-a!"},
        {6, false, true, "DBF Error - insert! i Greska prilikom zatvaranja file-a!"},
        {8, false, true, "DBF Error - 0x1A i Greska prilikom zatvaranja file-a!"},
    };
    for (const Case& c : cases) {
        FailingOutput out;
        out.failWrite = c.failWrite;
        out.failSeek = c.failSeek;
        out.failClose = c.failClose;
        EXPECT_EQ(Error([&] { DbfFile("x.dbf", test::ThreeFieldPacket(), kDate, &out); }),
                  c.expected);
        EXPECT_EQ(out.closes, 1) << c.expected;
    }
}

TEST(DbfWriter, RealFileSystemFailures) {
    EXPECT_EQ(Error([] { DbfFile("/nonexistent/dir/x.dbf", test::ThreeFieldPacket(), kDate); }),
              "DBF Error - create file!");
    if (FileExists("/dev/full")) {
        EXPECT_EQ(Error([] { DbfFile("/dev/full", test::ThreeFieldPacket(), kDate); }),
                  "DBF Error - fixed header!");
    }
}

TEST(DbfReader, ForeignTablesWithDeletedRecordsAndNumbers) {
    DbfFile read(DataFile("dbf_deleted_record.dbf"));
    ASSERT_EQ(read.RecordCount(), 2u);
    EXPECT_EQ(read.Record(0), "Alpha,12.5");
    EXPECT_EQ(read.Record(1), "Beta,3.0");
}

TEST(DbfReader, BadTablesFailCleanly) {
    struct Case {
        const char* file;
        const char* expected;
    };
    const Case cases[] = {
        {"dbf_header_claims_more_records.dbf", "DBF Error - read file!"},
        {"dbf_header_longer_than_file.dbf", "DBF Error - read file!"},
        {"dbf_shorter_than_header.dbf", "DBF Error - read file!"},
        {"dbf_record_length_zero.dbf", "DBF Error - read file!"},
        {"dbf_more_than_100_fields.dbf", "DBF Error - more than 100 fields!"},
        {"no_such_file.dbf", "DBF Error - open file!"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Error([&] { DbfFile read(DataFile(c.file)); }), c.expected) << c.file;
    EXPECT_EQ(Error([] { DbfFile read(VELBRIN_TEST_DATA); }), "DBF Error - open file!");
}

TEST(DbfReader, EveryPrefixOfAValidTableGivesACleanError) {
    const std::string bytes = ReadDataFile("dbf_three_fields.dbf");
    const std::size_t needed = 129 + 2 * 41;  // the end-of-file mark is not needed
    for (std::size_t n = 0; n <= bytes.size(); ++n) {
        DbfMemoryInput in(std::string_view(bytes).substr(0, n));
        if (n < needed) {
            EXPECT_EQ(Error([&] { DbfFile read("mem", &in); }), "DBF Error - read file!") << n;
        } else {
            DbfFile read("mem", &in);
            EXPECT_EQ(read.Record(0), "1001,12.5,7");
        }
    }
}

TEST(DbfReader, RecordTextEndsAtZeroAndShortRecordsGiveEmptyFields) {
    std::string bytes = ReadDataFile("dbf_three_fields.dbf");
    bytes[129 + 5] = '\0';  // inside ART_ID of the first record
    DbfMemoryInput in(bytes);
    DbfFile read("mem", &in);
    EXPECT_EQ(read.Record(0), "1001,,");
    EXPECT_THROW(read.Record(2), LinkError);
}

// A third-party reader must agree with our tables: Debian's dbfread under the
// system interpreter (the first python3 on the PATH may lack it).
TEST(DbfWriter, ThirdPartyReaderSeesTheSameTypesAndValues) {
    if (!FileExists("/usr/bin/python3") ||
        std::system("/usr/bin/python3 -c 'import dbfread' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-dbfread is not installed";
    test::TempDir dir;
    DbfFile(dir.File("t.dbf"), test::ExportPacket(), kDate);
    std::string command = std::string("/usr/bin/python3 ") + VELBRIN_DBF_READER_SCRIPT + " " +
                          dir.File("t.dbf") + " > " + dir.File("out.txt");
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(ReadWholeFile(dir.File("out.txt")),
              "ZET_ID C 6 0\nBON_ID N 10 0\nSEQ N 10 0\nPLU_NAZIV C 28 0\nCENA N 18 4\n"
              "IZNOS N 10 2\nNAPOMENA C 300 0\n"
              "'000012'|1|1|'Sok Jabuka 1L'|120.5|241|'kasa, 1'\n"
              "'000012'|1|2|'\xC5\xA0"
              "argarepa \"B\"'|45|-45|''\n"
              "'000012'|2|None|''|0.0001|None|'quote\"d'\n");
}

}  // namespace
