// The query-to-file step of the exports: the packet's layout from the columns,
// and which files remain for each export format and file name.
#include "CommonLinkRig.h"
#include "DbTestSupport.h"

#include "app/P00_util.h"
#include "formats/P00_convert.h"
#include "formats/P01_exportwriter.h"

#include <filesystem>
#include <set>

namespace velbrin::test {
namespace {

class QueryExportTest : public DbTest {
protected:
    QueryExportTest() : rig(*connection, dir.Path()), link(*rig.commonLink), out(rig.ini->FromFpDir()) {}

    std::set<std::string> FilesInOut() const
    {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(out)) names.insert(entry.path().filename());
        return names;
    }
    void ClearOut()
    {
        for (const auto& entry : std::filesystem::directory_iterator(out)) std::filesystem::remove_all(entry.path());
    }
    TDataPacket Load(const std::string& name)
    {
        TDataPacket p;
        p.LoadFromFile(JoinPath(out, name));
        return p;
    }

    // Sale lines made by the engine, row n with art_id 'A' || (10000 + n) so that
    // they sort by n: more than two export batches, texts the files must carry
    // exactly (Windows-1250 letters, quotes, commas, blanks, control characters,
    // markup) and NULLs.
    void FillSales(int rows)
    {
        Exec("insert into sales(zet_id,trm_id,dtm_zet,bon_id,art_id,tax_id,plu_naziv,kolicina,cena,iznos,"
             "ind_storno) select '000001','000',iif(mod(n, 3) = 0, null, '2024-01-31 23:05:10'),n / 10 + 1,"
             "'A' || (10000 + n),'B',case mod(n, 5) when 0 then '\x8A\x9A\xE8 \"x\", y' when 1 then "
             "' <a href=\"&\">' || ascii_char(9) || ascii_char(13) || ascii_char(10) || '''' when 2 then null "
             "else 'Artikal ' || n end,mod(n, 7) - 3.125,n * 10.5,-n * 0.0001,'N'"
             " from (with recursive a(i) as (select 0 from rdb$database union all select i + 1 from a where i < 999),"
             " b(j) as (select 0 from rdb$database union all select j + 1 from b where j < 1)"
             " select a.i * 2 + b.j n from a cross join b) where n < " +
             std::to_string(rows));
    }
    // The export as it was before its rows were streamed: the whole result held as
    // one packet, saved, read back and converted. The bytes of the file written.
    std::string WholePacketExport(const std::string& sql, const std::string& format)
    {
        TSqlQuery query(*connection);
        query.SetSQL(sql);
        query.Open();
        TDataPacket packet;
        FillPacketFromQuery(query, packet);
        query.Close();
        const std::string file = JoinPath(whole.Path(), "W.xml");
        packet.SaveToFile(file);
        if (format == "XML") return ReadWholeFile(file);
        TFormConvert().ConvertExportFile(file, format);
        return ReadWholeFile(ChangeFileExt(file, TExportWriter::Extension(format)));
    }

    CommonLinkRig rig;
    TFormCommonLink& link;
    std::string out;
    test::TempDir whole;
};

constexpr const char* kSalesInOrder = "select * from sales order by art_id";

TEST_F(QueryExportTest, StreamedFilesAreTheBytesOfTheWholePacketExport)
{
    const int rows = 2 * static_cast<int>(TFormCommonLink::kExportBatchRows) + 234;
    FillSales(rows);
    ASSERT_EQ(Scalar("select count(*) from sales"), std::to_string(rows));
    for (const char* format : {"XML", "CSV", "TXT", "DBF"}) {
        SCOPED_TRACE(format);
        ClearOut();
        rig.ini->WriteString("Osnovno", "ExportFormat", format);
        link.ExportQueryToFile(kSalesInOrder, JoinPath(out, "XA0001.xml"));
        const std::string ext = std::string(format) == "XML" ? ".xml" : TExportWriter::Extension(format);
        ASSERT_EQ(FilesInOut(), std::set<std::string>{"XA0001" + ext}) << "no partial file is left";
        const std::string streamed = ReadWholeFile(JoinPath(out, "XA0001" + ext));
        const std::string expected = WholePacketExport(kSalesInOrder, format);
        // A table is dated the day it is written: bytes 1 to 3 may differ across midnight.
        ASSERT_EQ(streamed.size(), expected.size());
        EXPECT_EQ(streamed[0], expected[0]);
        EXPECT_TRUE(streamed.substr(4) == expected.substr(4));
    }
}

TEST_F(QueryExportTest, ConversionFailingInALaterBatchLeavesTheCompletePacketOnly)
{
    FillSales(1200);
    // Nineteen characters do not fit the table's "N" field of 18.
    Exec("update sales set cena = -1234567890123.4567 where art_id = 'A10777'");
    rig.ini->WriteString("Osnovno", "ExportFormat", "DBF");
    EXPECT_EQ(test::Error([&] { link.ExportQueryToFile(kSalesInOrder, JoinPath(out, "XA0001.xml")); }),
              "DBF Error - value of CENA in record 778 is longer than its field!");
    ASSERT_EQ(FilesInOut(), std::set<std::string>{"XA0001.xml"});
    EXPECT_TRUE(ReadWholeFile(JoinPath(out, "XA0001.xml")) == WholePacketExport(kSalesInOrder, "XML"));
}

TEST_F(QueryExportTest, StatementFailingAfterTheFirstBatchLeavesNothing)
{
    FillSales(1200);
    for (const char* format : {"XML", "TXT"}) {
        SCOPED_TRACE(format);
        rig.ini->WriteString("Osnovno", "ExportFormat", format);
        // The line of receipt 70 (row 691) divides by zero while it is fetched.
        EXPECT_THROW(link.ExportQueryToFile("select art_id, 1 / (bon_id - 70) q from sales order by art_id",
                                            JoinPath(out, "XA0001.xml")),
                     LinkError);
        EXPECT_TRUE(FilesInOut().empty());
    }
}

TEST_F(QueryExportTest, PacketTakesItsFieldsFromTheColumnTypes)
{
    rig.ini->WriteString("Osnovno", "ExportFormat", "XML");
    link.ExportQueryToFile("select cast(7 as smallint) s, cast(8 as integer) i, cast(9000000000 as bigint) b, "
                           "cast(1.25 as numeric(9,2)) n, cast(-3.5 as numeric(18,4)) m, cast('ab' as varchar(12)) v, "
                           "cast('x' as char(3)) c, cast(null as varchar(5)) z from rdb$database",
                           JoinPath(out, "T1.xml"));
    const TDataPacket p = Load("T1.xml");
    struct Expected {
        const char* name;
        const char* type;
        int width, decimals;
        const char* value;  // nullptr: absent
    };
    const Expected fields[] = {
        {"S", "i2", 0, 0, "7"},         {"I", "i4", 0, 0, "8"},        {"B", "i8", 0, 0, "9000000000"},
        {"N", "fixedFMT", 9, 2, "1.25"}, {"M", "fixedFMT", 18, 4, "-3.5"}, {"V", "string", 12, 0, "ab"},
        {"C", "string", 3, 0, "x  "},    {"Z", "string", 5, 0, nullptr},
    };
    ASSERT_EQ(p.FieldCount(), std::size(fields));
    ASSERT_EQ(p.RowCount(), 1u);
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        const Expected& e = fields[i];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(p.Field(i).name, e.name);
        EXPECT_EQ(p.Field(i).typeName, e.type);
        EXPECT_EQ(p.Field(i).width, e.width);
        if (p.Field(i).kind == TFieldKind::FixedFmt) {
            EXPECT_EQ(p.Field(i).decimals, e.decimals);
        }
        EXPECT_EQ(p.HasValue(0, i), e.value != nullptr);
        if (e.value) {
            EXPECT_EQ(p.Value(0, i), e.value);
        }
    }
}

TEST_F(QueryExportTest, ArchiveColumnsAndWindows1250TextSurviveThePacket)
{
    Exec("insert into sales(zet_id,bon_id,art_id,plu_naziv,kolicina,cena,ind_storno) "
         "values('000003',12,'A1','\x8A\x9A\xE8 \"x\", y',1.5,1234567.8912,'N')");
    rig.ini->WriteString("Osnovno", "ExportFormat", "XML");
    link.ExportQueryToFile("select * from sales", JoinPath(out, "T2.xml"));
    const TDataPacket p = Load("T2.xml");
    ASSERT_EQ(p.RowCount(), 1u);
    EXPECT_EQ(p.FieldCount(), 15u);
    EXPECT_EQ(p.Field(0).name, "ZET_ID");
    EXPECT_EQ(p.Field(p.FieldIndex("BON_ID")).typeName, "i4");
    EXPECT_EQ(p.Value(0, "PLU_NAZIV"), "\x8A\x9A\xE8 \"x\", y");
    EXPECT_EQ(p.Value(0, "KOLICINA"), "1.5");
    EXPECT_EQ(p.Value(0, "CENA"), "1234567.8912");
    EXPECT_FALSE(p.HasValue(0, p.FieldIndex("DTM_ZET")));
    EXPECT_NE(ReadWholeFile(JoinPath(out, "T2.xml")).find("\xC5\xA0\xC5\xA1\xC4\x8D"), std::string::npos)
        << "the packet file is UTF-8";
}

TEST_F(QueryExportTest, FormatAndNameDecideWhichFilesRemain)
{
    struct Case {
        const char* file;
        const char* format;
        const char* extraAbcr;
        std::set<std::string> remain;
    };
    const Case cases[] = {
        {"XA0001.xml", "XML", "D,D,D,D", {"XA0001.xml"}},
        {"XA0001.xml", "xml", "N,N,N,N", {"XA0001.xml"}},
        {"XA0001.xml", "TXT", "N,N,N,N", {"XA0001.txt"}},
        {"XA0001.xml", "CSV", "N,N,N,N", {"XA0001.csv"}},
        {"XA0001.xml", "DBF", "N,N,N,N", {"XA0001.dbf"}},
        {"XA0001.xml", "TXT", "D,D,D,D", {"XA0001.txt"}},  // the fourth item is for receipts only
        {"cc0001.xml", "TXT", "N,N,N,N", {"cc0001.xml"}},  // "CC" packets are the export themselves
        {"zr0005.xml", "TXT", "N,N,N,D", {"zr0005.xml", "zr0005.txt"}},
        {"ZR0005.xml", "CSV", "D,D,D,d", {"ZR0005.csv"}},
        {"ZR0005.xml", "TXT", "D,D,D", {"ZR0005.txt"}},
        {"ZR0005.xml", "TXT", "", {"ZR0005.txt"}},
    };
    Exec("insert into arts(art_id,tax_id,plu_id,plu_naziv,cena) values('A','B','2','Hleb',45.5)");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.format + " " + c.extraAbcr);
        ClearOut();
        rig.ini->WriteString("Osnovno", "ExportFormat", c.format);
        rig.ini->WriteString("Praxolt", "ExtraABCR", c.extraAbcr);
        link.ExportQueryToFile("select * from arts", JoinPath(out, c.file));
        EXPECT_EQ(FilesInOut(), c.remain);
    }
}

TEST_F(QueryExportTest, FailedConversionLeavesThePacket)
{
    rig.ini->WriteString("Osnovno", "ExportFormat", "TXT");
    ASSERT_TRUE(ForceDirectories(JoinPath(out, "XA0001.txt")));  // the converted file cannot be written
    EXPECT_THROW(link.ExportQueryToFile("select * from arts", JoinPath(out, "XA0001.xml")), LinkError);
    EXPECT_TRUE(FileExists(JoinPath(out, "XA0001.xml")));
}

TEST_F(QueryExportTest, BadStatementRaisesAndWritesNothing)
{
    EXPECT_THROW(link.ExportQueryToFile("select * from no_such_table", JoinPath(out, "XA0001.xml")), LinkError);
    EXPECT_TRUE(FilesInOut().empty());
}

TEST_F(QueryExportTest, ArticleListGoesToArtikli)
{
    rig.InsertArts(*connection, 2, 3);
    rig.ini->WriteString("Osnovno", "ExportFormat", "XML");
    link.ExportArticles();
    const TDataPacket p = Load("Artikli.xml");
    ASSERT_EQ(p.FieldCount(), 4u);
    EXPECT_EQ(p.Field(3).name, "CENA");
    ASSERT_EQ(p.RowCount(), 3u);
    EXPECT_EQ(p.Value(0, "ART_ID"), "ART2");
    EXPECT_EQ(p.Value(2, "PLU_NAZIV"), "Artikal 4");
    rig.ini->WriteString("Osnovno", "ExportFormat", "CSV");
    link.ExportArticles();
    EXPECT_EQ(ReadWholeFile(JoinPath(out, "Artikli.csv")),
              "ART2,A,\"Artikal 2\",1\r\nART3,A,\"Artikal 3\",1\r\nART4,A,\"Artikal 4\",1\r\n");
}

}  // namespace
}  // namespace velbrin::test
