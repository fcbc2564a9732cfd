// The fiscal model as the link sees it over the line: receipts and their
// counters, non-fiscal receipts, the article table, reports and day closing.
#include "SimFixture.h"

#include <cstdlib>
#include <ctime>

using velbrin::test::LineReply;
using Printer = velbrin::test::SimFixture;

namespace {

// The receipt state as the link derives it from commands 76 and 103.
int TransactionState(velbrin::test::SimTestLine& line, LineReply* counters = nullptr)
{
    const LineReply t = line.Command(76, "T");
    if (t.kind != LineReply::Answer || t.Bit(0, 5))
        return 0;
    if (counters)
        *counters = t;
    if (t.Field(0) == "0")
        return t.Field(1) == "0" && t.Field(2) == "0" && t.Field(3) == "0" ? 1 : 2;
    const LineReply v = line.Command(103);
    return v.Field(0) == "1" ? 3 : 4;
}

}  // namespace

TEST_F(Printer, ReceiptRunsThroughTheFourStatesWithItsCounters)
{
    Ok(107, "PA1,10.00,0.000,Hleb");
    Ok(107, "PB2,2.50,0.000,Mleko");
    EXPECT_EQ(TransactionState(*line), 1);

    EXPECT_EQ(Ok(48, "1,4826,1").Field(0), "1");
    EXPECT_TRUE(line->Command(76, "T").Bit(2, 3));  // fiscal receipt open
    Ok(52, "1#10.00");
    Ok(52, "2#2.50*3.000");
    Ok(52, "-2#2.50*3.000");
    Ok(52, "2#2.55*2.000");
    LineReply c;
    EXPECT_EQ(TransactionState(*line, &c), 3);
    EXPECT_EQ(c.data, "1,4,1510,0");

    Refused(56);  // nothing paid yet
    Ok(53, "\tP10.00");
    EXPECT_EQ(TransactionState(*line, &c), 4);
    EXPECT_EQ(c.data, "1,4,1510,1000");
    Refused(52, "-1#10.00");  // no void after the first payment
    Refused(52, "1#10.00");   // nor a further sale
    Refused(56);              // 10.00 of 15.10 paid
    Ok(53, "\tD10.00");
    Ok(56);
    EXPECT_EQ(TransactionState(*line, &c), 2);
    EXPECT_EQ(c.data, "0,4,1510,2000");

    Ok(69, "0a");
    EXPECT_EQ(TransactionState(*line), 1);
    EXPECT_EQ(sim->Journal(),
              (std::vector<std::string>{"OPEN 1", "SALE 1 1 10.00 1.000 10.00", "SALE 1 2 2.50 3.000 7.50",
                                        "VOID 1 2 2.50 3.000 -7.50", "SALE 1 2 2.55 2.000 5.10", "PAY 1 P 10.00",
                                        "PAY 1 D 10.00", "CLOSE 1 15.10 20.00",
                                        "Z 1 15.10 10.00 5.10 0.00 0.00 0.00 0.00 0.00 0.00"}));
}

TEST_F(Printer, FiscalCommandsRefuseWhatThePrinterRefuses)
{
    Ok(107, "PC7,1.00,0.000,So");
    struct Step {
        int cmd;
        const char* data;
        bool accepted;
        int extraBit;  // bit of status byte 0 besides the general error, -1 none
    };
    const Step steps[] = {
        {52, "7#1.00", false, -1},      // no receipt open
        {53, "\tP1.00", false, -1},     // no receipt open
        {56, "", false, -1},            // no receipt open
        {48, "1,1111,1", false, -1},    // wrong password
        {48, "1,4826", false, 0},       // malformed
        {48, "1,4826,1", true, -1},
        {48, "1,4826,1", false, -1},    // already open
        {38, "", false, -1},            // a fiscal receipt is open
        {69, "0a", false, -1},          // no closing with an open receipt
        {70, "10.00", false, -1},       // no cash in with an open receipt
        {52, "8#1.00", false, -1},      // PLU not programmed
        {52, "7#abc", false, 0},        // price malformed
        {52, "7", false, 0},            // no price
        {52, "-7#1.00", false, -1},     // nothing to void
        {52, "7#1.00*2.000", true, -1},
        {52, "-7#1.00", false, -1},     // the quantity differs from the sale
        {52, "-7#1.00*2.000", true, -1},
        {52, "-7#1.00*2.000", false, -1},  // voided already
        {53, "P1.00", false, 0},        // no tab
        {53, "\t0.00", true, -1},       // type letter left out means cash
        {56, "", true, -1},             // total 0, paid 0
        {0x7E, "", false, 1},           // unknown command
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::to_string(s.cmd) + " " + s.data);
        const LineReply r = line->Command(s.cmd, s.data);
        ASSERT_EQ(r.kind, LineReply::Answer);
        EXPECT_EQ(!r.Bit(0, 5), s.accepted);
        for (int bit = 0; bit < 2; ++bit)
            EXPECT_EQ(r.Bit(0, bit), bit == s.extraBit);
    }
    EXPECT_EQ(JournalCount("SALE"), 1);
    EXPECT_EQ(JournalCount("VOID"), 1);
    EXPECT_EQ(JournalCount("CLOSE 1 0.00 0.00"), 1);
}

TEST_F(Printer, ArticleTableSubCommands)
{
    struct Step {
        const char* data;
        bool accepted;
        const char* answer;  // expected answer data, nullptr to skip
    };
    const Step steps[] = {
        {"I", true, "3000,32,0"},
        {"F", true, "F"},
        {"R1", true, "F"},
        {"PA5,1.50,2.000,Hleb beli", true, nullptr},
        {"PH1,3.00,0.000,Sok, 1l", true, nullptr},
        {"PB5,1.00,0.000,Dupli", false, nullptr},      // PLU already programmed
        {"PZ9,1.00,0.000,Los porez", false, nullptr},  // no such tax group
        {"PA9,1.00,0.000", false, nullptr},            // no name
        {"R1", true, "P,1,H,3.00,0.000,Sok, 1l"},
        {"I", true, "3000,32,2"},
        {"C5,1.75", true, nullptr},
        {"C6,1.75", false, nullptr},                   // not programmed
        {"A5,0.500", true, nullptr},
        {"R5", true, "P,5,A,1.75,2.500,Hleb beli"},
        {"F", true, "P,1,H,3.00,0.000,Sok, 1l"},
        {"N", true, "P,5,A,1.75,2.500,Hleb beli"},
        {"N", true, "F"},
        {"D1", true, nullptr},
        {"D1", false, nullptr},                        // gone already
        {"R1", true, "F"},
        {"F", true, "P,5,A,1.75,2.500,Hleb beli"},
        {"D5", true, nullptr},
        {"N", true, "F"},
        {"I", true, "3000,32,0"},
        {"X", false, nullptr},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.data);
        const LineReply r = line->Command(107, s.data);
        ASSERT_EQ(r.kind, LineReply::Answer);
        EXPECT_EQ(!r.Bit(0, 5), s.accepted);
        if (s.answer) {
            EXPECT_EQ(r.data, s.answer);
        }
    }
}

TEST_F(Printer, TaxGroupSwitchedOffRefusesProgramming)
{
    sim->Control("taxflags 101111111");
    EXPECT_EQ(Ok(83).Field(2), "101111111");
    Refused(107, "PB3,1.00,0.000,Pivo");
    Ok(107, "PC3,1.00,0.000,Pivo");
}

TEST_F(Printer, DailyClosingReturnsGroupTotalsAndZeroesTheDay)
{
    Ok(107, "PA1,1.00,0.000,A");
    Ok(107, "PC2,2.00,0.000,C");
    Ok(107, "PH3,3.00,0.000,H");
    for (int receipt = 0; receipt < 2; ++receipt) {
        Ok(48, "1,4826,1");
        Ok(52, "1#1.00*2.000");
        Ok(52, "2#2.00");
        Ok(52, "3#3.33");
        Ok(53, "\tC10.00");
        Ok(56);
    }
    Ok(70, "50.00");
    const LineReply x = Ok(69, "2");
    EXPECT_EQ(x.data, "1,1466,400,0,400,0,0,0,0,666");
    EXPECT_EQ(Ok(69, "2").data, x.data);  // an X report zeroes nothing

    const LineReply z = Ok(69, "0a");
    EXPECT_EQ(z.data, x.data);
    EXPECT_EQ(z.Field(1), "1466");
    EXPECT_EQ(z.Field(9), "666");
    EXPECT_EQ(Ok(69, "0a").data, "2,0,0,0,0,0,0,0,0,0");
    EXPECT_EQ(Ok(76, "T").data, "0,0,0,0");
    EXPECT_EQ(sim->State().DayTotal(), 0);
    EXPECT_EQ(JournalCount("Z "), 2);
    EXPECT_EQ(JournalCount("X "), 2);
    EXPECT_EQ(JournalCount("CASH 50.00"), 1);
}

TEST_F(Printer, NonFiscalReceiptDisplayAndSetUpCommands)
{
    Refused(42, "bez otvaranja");
    Refused(39);
    Ok(38);
    EXPECT_TRUE(line->Command(76, "T").Bit(2, 5));
    Refused(48, "1,4826,1");  // a non-fiscal receipt is open
    Ok(42, "ABC                         12");
    Ok(39);
    Ok(33);
    Ok(47, "Dobar dan");
    Ok(35, "Hvala");
    Ok(106, "10");
    Ok(80);
    Ok(70, "-20.00");
    Ok(43, "7Linija sedam");
    Refused(43, "9Van opsega");
    Ok(102, "1,4826,Petar Petrovic Njegos Drugi");
    Refused(102, "1,0000,Lopov");
    Ok(74, "W");
    Refused(109, "1");  // no receipt to copy yet
    Ok(111, "0");
    Ok(50, "010104,311220");
    Refused(79, "010104");
    Ok(79, "010104,311220");
    EXPECT_EQ(Ok(99).Field(0).size(), 12u);

    const auto st = sim->State();
    EXPECT_EQ(st.header[7], "Linija sedam");
    EXPECT_EQ(st.cashierName, "Petar Petrovic Njegos Dr");
    EXPECT_EQ(st.drawerOpens, 1);
    EXPECT_EQ(st.cashOut, 2000);
    EXPECT_EQ(JournalCount("NF_TEXT ABC                         12"), 1);
    EXPECT_EQ(JournalCount("REPORT 50 010104,311220"), 1);
    EXPECT_EQ(JournalCount("REPORT 79"), 1);
}

TEST_F(Printer, ClockDiagnosticsAndFiscalisation)
{
    auto clockAt = [](const std::string& text) {
        std::tm tm{};
        EXPECT_EQ(std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_mday, &tm.tm_mon, &tm.tm_year, &tm.tm_hour,
                              &tm.tm_min, &tm.tm_sec),
                  6) << text;
        tm.tm_mon -= 1;
        tm.tm_year += 100;
        tm.tm_isdst = -1;
        return std::mktime(&tm);
    };
    const LineReply c = Ok(62);
    EXPECT_EQ(c.data.size(), 17u);
    EXPECT_LE(std::abs(clockAt(c.data) - std::time(nullptr)), 2);
    sim->Control("clock +7200");
    EXPECT_LE(std::abs(clockAt(Ok(62).data) - std::time(nullptr) - 7200), 2);

    LineReply d = Ok(90, "1");
    EXPECT_EQ(d.data.substr(0, 24), "3.01CG 11JUN09 1530,91F7");
    EXPECT_EQ(d.Field(4), "ZK123456");
    EXPECT_TRUE(d.Bit(5, 3));
    sim->Control("fiscal off");
    sim->Control("firmware 2.10CG 10APR05 1030,35C2");
    d = Ok(90, "1");
    EXPECT_FALSE(d.Bit(5, 3));
    EXPECT_EQ(d.data.substr(0, 24), "2.10CG 10APR05 1030,35C2");
    EXPECT_EQ(d.Field(4), "ZK123456");
}

TEST_F(Printer, LedgerLinesJournalDrawerAndArticleProgrammingOnlyWhenAskedFor)
{
    Ok(107, "PA1,1.00,0.000,Hleb");
    Ok(106, "10");
    EXPECT_EQ(JournalCount("ART "), 0);
    EXPECT_EQ(JournalCount("DRAWER"), 0);
    sim->Control("ledger on");
    sim->Control("reset");  // kept across the faults being cleared
    Ok(107, "PB2,2.50,1.500,Mleko");
    Ok(107, "A2,3.250");
    Ok(107, "C2,2.60");
    Ok(107, "D1");
    Refused(107, "D1");  // nothing journalled for a refusal
    Ok(106, "25");
    EXPECT_EQ(JournalCount("ART P 2 B 2.50 1.500"), 1);
    EXPECT_EQ(JournalCount("ART A 2 3.250"), 1);
    EXPECT_EQ(JournalCount("ART C 2 2.60"), 1);
    EXPECT_EQ(JournalCount("ART D 1"), 1);
    EXPECT_EQ(JournalCount("DRAWER 25"), 1);
    sim->Control("ledger off");
    Ok(106, "26");
    EXPECT_EQ(JournalCount("DRAWER"), 1);
}
