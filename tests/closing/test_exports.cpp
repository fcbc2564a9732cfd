// The day exports and the deletion of archived days on a real database; the
// converted files are read back by third-party readers.
#include "CommonLinkRig.h"
#include "DbTestSupport.h"

#include "app/P00_util.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>

namespace velbrin::test {
namespace {

class ExportsTest : public DbTest {
protected:
    ExportsTest() : rig(*connection, dir.Path()), zets(*rig.zets), out(rig.ini->FromFpDir())
    {
        rig.ini->WriteString("Osnovno", "ExportFormat", "XML");
    }

    void AddSale(const std::string& zet, int bon, const std::string& art, const std::string& stamp,
                 const char* storno = "N")
    {
        Exec("insert into sales(zet_id,trm_id,bon_id,art_id,dtm_zet,ind_storno,kolicina,cena,iznos) values('" + zet +
             "','000'," + std::to_string(bon) + ",'" + art + "'," + (stamp.empty() ? "null" : "'" + stamp + "'") +
             ",'" + storno + "',1,2,2)");
    }
    void AddPayment(const std::string& zet, int bon, const std::string& stamp, const char* storno = "N")
    {
        Exec("insert into payments(zet_id,trm_id,bon_id,dtm_zet,iznos,ind_storno) values('" + zet + "','000'," +
             std::to_string(bon) + "," + (stamp.empty() ? "null" : "'" + stamp + "'") + ",2,'" + storno + "')");
    }
    void AddDay(const std::string& zet, const std::string& stamp)
    {
        Exec("insert into zets(zet_id,trm_id,dtm_tran) values('" + zet + "','000'," +
             (stamp.empty() ? "null" : "'" + stamp + "'") + ")");
    }
    std::set<std::string> FilesInOut() const
    {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(out)) names.insert(entry.path().filename());
        return names;
    }
    void ClearOut()
    {
        for (const auto& entry : std::filesystem::directory_iterator(out)) std::filesystem::remove(entry.path());
    }
    // Values of one column of an exported packet, row by row (sorted when asked:
    // some exports have no order).
    std::vector<std::string> Column(const std::string& file, const std::string& field, bool sorted = false)
    {
        TDataPacket p;
        p.LoadFromFile(JoinPath(out, file));
        std::vector<std::string> values;
        for (std::size_t r = 0; r < p.RowCount(); ++r) values.push_back(p.Value(r, field));
        if (sorted) std::sort(values.begin(), values.end());
        return values;
    }
    std::string Seq() { return Scalar("select vle_value from vle where vle_key='SEQ_OUT'"); }

    CommonLinkRig rig;
    TFormZets& zets;
    std::string out;
};

using Values = std::vector<std::string>;

// Lines closed on the first and last moment of January, and on the days around it.
TEST_F(ExportsTest, DateRangeHoldsEveryStampOfItsLastDayAndNoneOfTheNext)
{
    const struct {
        const char* zet;
        const char* stamp;
    } days[] = {{"000001", "2023-12-31 23:59:59"},
                {"000002", "2024-01-01 00:00:00"},
                {"000003", "2024-01-31 23:59:59"},
                {"000004", "2024-02-01 00:00:00"}};
    int bon = 1;
    for (const auto& d : days) {
        AddDay(d.zet, d.stamp);
        AddSale(d.zet, bon, std::string("A") + d.zet, d.stamp);
        AddSale(d.zet, bon, std::string("S") + d.zet, d.stamp, "D");
        AddPayment(d.zet, bon, d.stamp);
        AddPayment(d.zet, bon + 100, d.stamp, "D");
        ++bon;
    }
    struct Case {
        const char* from;
        const char* to;
        Values zets;
    };
    const Case cases[] = {
        {"010124", "310124", {"000002", "000003"}},
        {"310124", "310124", {"000003"}},
        {"310124", "010124", {}},  // reversed: nothing
        {"010224", "010224", {"000004"}},
        {"311223", "010224", {"000001", "000002", "000003", "000004"}},
    };
    int seq = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.from) + "-" + c.to);
        ClearOut();
        zets.ExportDateRange(c.from, c.to);
        const std::string n = std::to_string(++seq);
        EXPECT_EQ(FilesInOut(), (std::set<std::string>{"ZA000" + n + ".xml", "ZB000" + n + ".xml",
                                                       "ZC000" + n + ".xml"}));
        Values arts;
        for (const std::string& z : c.zets) arts.push_back("A" + z);
        EXPECT_EQ(Column("ZA000" + n + ".xml", "ART_ID"), arts) << "voided lines stay out";
        EXPECT_EQ(Column("ZB000" + n + ".xml", "ZET_ID").size(), 2 * c.zets.size());
        EXPECT_EQ(Column("ZC000" + n + ".xml", "ZET_ID", true), c.zets);

        ClearOut();
        zets.ExportStornoRange(c.from, c.to);
        const std::string m = std::to_string(++seq);
        EXPECT_EQ(FilesInOut(), (std::set<std::string>{"ZAS000" + m + ".xml", "ZBS000" + m + ".xml"}));
        Values voided, voidedBons;
        for (const std::string& z : c.zets) {
            voided.push_back("S" + z);
            voidedBons.push_back(std::to_string(StrToInt(z) + 100));
        }
        EXPECT_EQ(Column("ZAS000" + m + ".xml", "ART_ID"), voided);
        EXPECT_EQ(Column("ZBS000" + m + ".xml", "BON_ID", true), voidedBons);
    }
}

TEST_F(ExportsTest, RangeTextsOtherThanSixDigitsAreRefusedBeforeAnythingHappens)
{
    AddDay("000001", "2024-01-10 20:00:00");
    AddSale("000001", 1, "A", "2024-01-10 20:00:00");
    for (const char* bad : {"", "01012", "0101245", "01a124", "01-124", " 10124", "01'124", "0101\xB9"}) {
        SCOPED_TRACE(bad);
        for (int which = 0; which < 2; ++which) {
            const std::string from = which == 0 ? bad : "010124";
            const std::string to = which == 0 ? "310124" : bad;
            EXPECT_THROW(zets.ExportDateRange(from, to), LinkError);
            EXPECT_THROW(zets.ExportStornoRange(from, to), LinkError);
            EXPECT_THROW(zets.DeleteDateRange(from, to), LinkError);
        }
    }
    EXPECT_TRUE(FilesInOut().empty());
    EXPECT_EQ(Seq(), "") << "no number spent";
    EXPECT_EQ(Scalar("select count(*) from sales"), "1");
    const auto range = TFormZets::RangeBounds("050324", "310124");
    EXPECT_EQ(range.lo, "2024-03-05");
    EXPECT_EQ(range.hi, "2024-01-310");
}

TEST_F(ExportsTest, DeletingARangeKeepsTheOpenDayAndTheDayRecords)
{
    AddDay("000001", "2024-01-10 20:00:00");
    AddDay("000002", "2024-02-10 20:00:00");
    AddDay("000003", "");
    AddSale("000001", 1, "IN", "2024-01-10 20:00:00");
    AddPayment("000001", 1, "2024-01-10 20:00:00");
    AddSale("000002", 2, "OUT", "2024-02-10 20:00:00");
    AddPayment("000002", 2, "2024-02-10 20:00:00");
    AddSale("000003", 3, "OPEN", "");
    AddPayment("000003", 3, "");
    // A stray stamp on an open-day line: the day's number still protects it.
    AddSale("000003", 4, "OPEN2", "2024-01-15 10:00:00");
    zets.DeleteDateRange("010124", "310124");
    TSqlQuery q(*connection);
    Values left;
    q.SetSQL("select art_id from sales order by art_id");
    for (q.Open(); !q.Eof(); q.Next()) left.push_back(q.AsString(0));
    q.Close();
    EXPECT_EQ(left, (Values{"OPEN", "OPEN2", "OUT"}));
    EXPECT_EQ(Scalar("select count(*) from payments"), "2");
    EXPECT_EQ(Scalar("select count(*) from payments where zet_id='000001'"), "0");
    EXPECT_EQ(Scalar("select count(*) from zets"), "3");
}

TEST_F(ExportsTest, CurrentDayExportsAreNumberedOneAfterAnother)
{
    AddDay("000004", "2024-01-10 20:00:00");
    AddDay("000005", "");
    AddSale("000004", 1, "OLD", "2024-01-10 20:00:00");
    AddSale("000005", 2, "B", "");
    AddSale("000005", 3, "A", "");
    AddSale("000005", 3, "V", "", "D");
    AddPayment("000005", 2, "");
    zets.ExportCurrentDay();
    zets.ExportCurrentDay();
    EXPECT_EQ(FilesInOut(), (std::set<std::string>{"XA0001.xml", "XB0001.xml", "XA0002.xml", "XB0002.xml"}));
    EXPECT_EQ(Column("XA0002.xml", "ART_ID"), (Values{"A", "B"}));
    EXPECT_EQ(Column("XB0002.xml", "BON_ID"), (Values{"2"}));
    EXPECT_EQ(Seq(), "2");
}

TEST_F(ExportsTest, SequenceStartsAgainWhenItsValueIsNoNumber)
{
    struct Case {
        const char* stored;  // nullptr: no row
        int64_t next;
    };
    for (const Case& c : {Case{nullptr, 1}, Case{"abc", 1}, Case{"", 1}, Case{"41", 42}, Case{" 7 ", 8},
                          Case{"12x", 1}}) {
        SCOPED_TRACE(c.stored ? c.stored : "(none)");
        Exec("delete from vle where vle_key='SEQ_OUT'");
        if (c.stored) Exec(std::string("insert into vle(vle_key,vle_value) values('SEQ_OUT','") + c.stored + "')");
        EXPECT_EQ(zets.NextExportSeq(), c.next);
        EXPECT_EQ(Seq(), std::to_string(c.next));
        EXPECT_EQ(Scalar("select count(*) from vle where vle_key='SEQ_OUT'"), "1");
    }
}

TEST_F(ExportsTest, ClosedDayNamesCarryTheDateOnlyWithExportLongName)
{
    AddDay("000001", "2024-01-30 21:00:00");
    AddDay("000002", "2024-01-31 23:05:10");
    AddDay("000003", "");
    AddSale("000001", 1, "OLDER", "2024-01-30 21:00:00");
    AddSale("000002", 2, "LAST", "2024-01-31 23:05:10");
    AddSale("000003", 3, "OPEN", "");
    rig.ini->WriteString("Osnovno", "ExportFormat", "TXT");
    struct Case {
        const char* longName;
        const char* suffix;
    };
    for (const Case& c : {Case{"N", ""}, Case{"D", "_2024-01-31"}, Case{"da", "_2024-01-31"}, Case{"Ne", ""}}) {
        SCOPED_TRACE(c.longName);
        ClearOut();
        Exec("update or insert into vle(vle_key,vle_value) values('SEQ_OUT','16') matching(vle_key)");
        rig.ini->WriteString("Osnovno", "ExportLongName", c.longName);
        zets.ExportClosedDay("2024-01-31 23:05:10");
        const std::string base = std::string("00017") + c.suffix + ".txt";
        EXPECT_EQ(FilesInOut(), (std::set<std::string>{"ZA" + base, "ZB" + base, "ZC" + base}));
        const std::string za = ReadWholeFile(JoinPath(out, "ZA" + base));
        EXPECT_NE(za.find("LAST"), std::string::npos) << "the last closed day";
        EXPECT_EQ(za.find("OLDER"), std::string::npos);
        EXPECT_EQ(za.find("OPEN"), std::string::npos);
    }
}

TEST_F(ExportsTest, ReceiptExportKeepsThePacketOnlyWhenTheFourthExtraItemIsD)
{
    AddDay("000001", "");
    AddSale("000001", 5, "A", "");
    AddSale("000001", 5, "V", "", "D");
    AddSale("000001", 6, "OTHER", "");
    rig.ini->WriteString("Osnovno", "ExportFormat", "TXT");
    struct Case {
        const char* extra;
        std::set<std::string> remain;
    };
    const Case cases[] = {
        {"D,D,D,D", {"ZR0005.xml", "ZR0005.txt"}},
        {"N,N,N,D", {"ZR0005.xml", "ZR0005.txt"}},
        {"D,D,D,N", {"ZR0005.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra);
        ClearOut();
        rig.ini->WriteString("Praxolt", "ExtraABCR", c.extra);
        zets.ExportReceipt(5);
        EXPECT_EQ(FilesInOut(), c.remain);
    }
    rig.ini->WriteString("Osnovno", "ExportFormat", "XML");
    zets.ExportReceipt(5);
    EXPECT_EQ(Column("ZR0005.xml", "ART_ID"), (Values{"A"}));
    EXPECT_EQ(Seq(), "") << "receipt exports are not numbered from SEQ_OUT";
}

TEST_F(ExportsTest, TerminalNumberWithAPathSeparatorIsRefused)
{
    rig.ini->WriteString("Osnovno", "TerminalNo", "../x");
    EXPECT_THROW(zets.ExportCurrentDay(), LinkError);
    EXPECT_TRUE(FilesInOut().empty());
}

TEST_F(DbTest, ClosingExportsTheClosedDayOnlyWithSaljiAnalitikeUvek)
{
    CommonLinkRig rig(*connection, dir.Path(), CommonLinkRig::Printer::Simulator);
    rig.ini->WriteString("Osnovno", "ExportFormat", "XML");
    struct Case {
        const char* flag;
        bool exported;
    };
    int seq = 0;
    for (const Case& c : {Case{"Da", true}, Case{"da", true}, Case{"N", false}, Case{"Ne", false}, Case{"", false}}) {
        SCOPED_TRACE(c.flag);
        rig.ini->WriteString("Praxolt", "SaljiAnalitikeUvek", c.flag);
        const std::string day = rig.zets->CurrentDayId();
        rig.zets->CloseDay();
        const std::string name = "ZC000" + std::to_string(seq + 1) + ".xml";
        EXPECT_EQ(FileExists(JoinPath(rig.ini->FromFpDir(), name)), c.exported);
        if (c.exported) {
            ++seq;
            TDataPacket p;
            p.LoadFromFile(JoinPath(rig.ini->FromFpDir(), name));
            ASSERT_EQ(p.RowCount(), 1u);
            EXPECT_EQ(p.Value(0, "ZET_ID"), day) << "the day just closed";
        }
    }
}

// ---------------------------------------------------------------------------
// Third-party readers

// Runs /usr/bin/python3 with a script; its output, one row per line, values
// separated by "|".
std::string RunPython(const std::string& script, const std::string& file)
{
    const std::string command = std::string(VELBRIN_SYSTEM_PYTHON) + " -c '" + script + "' '" + file + "' 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return "popen failed";
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    ::pclose(pipe);
    return text;
}

class ReaderTest : public ExportsTest {
protected:
    // The open day's lines as the database has them, every column as text the
    // readers can be compared with.
    std::vector<std::vector<std::string>> DatabaseRows()
    {
        std::vector<std::vector<std::string>> rows;
        TSqlQuery q(*connection);
        q.SetSQL("select * from sales where ind_storno='N' order by art_id");
        for (q.Open(); !q.Eof(); q.Next()) {
            std::vector<std::string> row;
            for (int c = 0; c < q.FieldCount(); ++c) row.push_back(q.AsString(c));
            rows.push_back(row);
        }
        return rows;
    }
    // Reader output against the database: numbers compared as numbers, texts as texts.
    void Compare(const std::string& output)
    {
        const auto expected = DatabaseRows();
        std::istringstream lines(output);
        std::size_t r = 0;
        for (std::string line; std::getline(lines, line); ++r) {
            ASSERT_LT(r, expected.size()) << output;
            std::vector<std::string> cells;
            std::istringstream items(line);
            for (std::string cell; std::getline(items, cell, '\x1f');) cells.push_back(cell);
            if (!line.empty() && line.back() == '\x1f') cells.push_back("");
            ASSERT_EQ(cells.size(), expected[r].size()) << line;
            for (std::size_t c = 0; c < cells.size(); ++c) {
                const std::string& want = expected[r][c];
                if (c == 4 || (c >= 9 && c <= 12))
                    EXPECT_EQ(Money::Parse(cells[c]), Money::Parse(want)) << r << "," << c;
                else
                    EXPECT_EQ(cells[c], want) << r << "," << c;
            }
        }
        EXPECT_EQ(r, expected.size()) << output;
    }
    void FillDay()
    {
        AddDay("000001", "");
        Exec("insert into sales values('000001','000','2024-03-01 10:00:00:123','2024-03-01 21:00:00',7,'KAS1',"
             "'A1','A','\x8A" "argarepa, \"mlada\" 1kg',1.5,120.25,180.375,0,'N','S1')");
        Exec("insert into sales values('000001','000','2024-03-01 10:00:01:000','2024-03-01 21:00:00',7,'KAS1',"
             "'B2','E','\xC8" "aj',-2,0.0001,-0.0002,12.5,'N','S2')");
        Exec("insert into sales values('000001','000','2024-03-01 10:00:02:000','2024-03-01 21:00:00',8,'KAS2',"
             "'C3','B','x',1234567.8912,99999.99,3,100,'N','S3')");
    }
};

TEST_F(ReaderTest, DbfExportReadsBackWithDbfread)
{
    FillDay();
    rig.ini->WriteString("Osnovno", "ExportFormat", "DBF");
    zets.ExportCurrentDay();
    const std::string script =
        "import sys, dbfread\n"
        "t = dbfread.DBF(sys.argv[1], encoding=\"cp1250\")\n"
        "for rec in t:\n"
        "  sys.stdout.buffer.write(\"\\x1f\".join(str(v) for v in rec.values()).encode(\"cp1250\") + b\"\\n\")\n";
    Compare(RunPython(script, JoinPath(out, "XA0001.dbf")));
}

TEST_F(ReaderTest, CsvExportReadsBackWithPythonCsv)
{
    FillDay();
    rig.ini->WriteString("Osnovno", "ExportFormat", "CSV");
    zets.ExportCurrentDay();
    const std::string script =
        "import sys, csv\n"
        "with open(sys.argv[1], newline=\"\", encoding=\"cp1250\") as f:\n"
        "  for row in csv.reader(f):\n"
        "    sys.stdout.buffer.write(\"\\x1f\".join(row).encode(\"cp1250\") + b\"\\n\")\n";
    Compare(RunPython(script, JoinPath(out, "XA0001.csv")));
}

}  // namespace
}  // namespace velbrin::test
