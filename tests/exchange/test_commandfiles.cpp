// Command and text files through the exchange cycle, against the printer
// simulator and a real database.
#include <sys/stat.h>

#include <algorithm>
#include <ctime>

#include "RequestFilesRig.h"
#include "app/P00_util.h"

using namespace velbrin;
using namespace velbrin::test;

namespace {

class CommandFileTest : public RequestFilesTest {
protected:
    // The frames of the given printer commands, in order.
    std::vector<std::string> FramesOf(std::initializer_list<int> commands) const {
        std::vector<std::string> out;
        for (const std::string& f : Frames())
            for (int c : commands)
                if (f.rfind(std::to_string(c) + " ", 0) == 0) out.push_back(f);
        return out;
    }
};

TEST_F(CommandFileTest, EachRowReachesThePrinterWithItsData) {
    StartTraced();
    struct Case {
        std::vector<std::pair<std::string, std::string>> rows;
        std::vector<std::string> frames;  // of commands 35, 43, 47, 69, 79, 80, 102, 106, 111, 50
    };
    const std::vector<Case> cases = {
        // The cashier name first, then header line 1.
        {{{"40", "Marko"}, {"151", "PRODAVNICA 7"}}, {"102 1,4826,Marko", "43 1PRODAVNICA 7"}},
        // The drawer gets "10" for an empty or all-blank argument, anything else untrimmed.
        {{{"30", ""}, {"30", "   "}, {"30", " 5 "}}, {"106 10", "106 10", "106  5 "}},
        {{{"10", "Dobar dan"}, {"20", "Hvala"}, {"70", ""}}, {"47 Dobar dan", "35 Hvala", "80 "}},
        // Dates are cut by position, whatever stands between them.
        {{{"100", "010126x311226"}, {"80", ""}, {"200", ""}, {"205", ""}, {"295", ""}},
         {"79 010126,311226", "69 2", "111 0", "111 2", "50 010104,311220"}},
        {{{"157", "Linija sedam"}, {"125", "ne znamo"}, {"1", ""}}, {"43 7Linija sedam"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string name = "CMD_" + std::to_string(++n);
        Drop(name + ".zvx", CommandPacket(c.rows));
        const size_t before = FramesOf({35, 43, 47, 50, 69, 79, 80, 102, 106, 111}).size();
        work->PollExchange();
        std::vector<std::string> got = FramesOf({35, 43, 47, 50, 69, 79, 80, 102, 106, 111});
        got.erase(got.begin(), got.begin() + static_cast<long>(before));
        EXPECT_EQ(got, c.frames) << name;
        EXPECT_EQ(Answer(name + ".ok"), "\r\n") << name;
        EXPECT_FALSE(FileExists(ToFp(name + ".zvx"))) << name;
    }
    const sim::SimState st = rig->sim->State();
    EXPECT_EQ(st.cashierName, "Marko");
    EXPECT_EQ(st.header[1], "PRODAVNICA 7");
    EXPECT_EQ(st.drawerOpens, 3);
    EXPECT_EQ(rig->JournalCount("REPORT 79 010126,311226"), 1);
    EXPECT_EQ(rig->JournalCount("X "), 1);
}

TEST_F(CommandFileTest, DepositAndWithdrawalReachPrinterAndCashTable) {
    StartTraced();
    Drop("CMD_1.zvx", CommandPacket({{"50", "100.00"}, {"60", "12.50"}}));
    work->PollExchange();
    EXPECT_EQ(Answer("CMD_1.ok"), "\r\n");
    std::vector<std::string> cash;
    for (const std::string& f : Frames())
        if (f.rfind("70 ", 0) == 0) cash.push_back(f);
    EXPECT_EQ(cash, (std::vector<std::string>{"70 100.00", "70 -12.50"}));
    EXPECT_EQ(rig->JournalCount("CASH -12.50"), 1);
    EXPECT_EQ(rig->ScalarMoney("select cash_out from cash where cash_out <> 0"),
              Money::Parse("12.50"));
    EXPECT_EQ(rig->ScalarMoney("select cash_in from cash where cash_out <> 0"), Money());
    EXPECT_EQ(rig->ScalarMoney("select cash_in from cash where cash_in <> 0"),
              Money::Parse("100.00"));
    EXPECT_EQ(rig->ScalarMoney("select cash_out from cash where cash_in <> 0"), Money());
}

TEST_F(CommandFileTest, FailingRowStopsTheFileAndKeepsTheRowsBefore) {
    Start();
    struct Case {
        std::string name;
        std::vector<std::pair<std::string, std::string>> rows;
        std::string errorStart;
        int cashRows;
    };
    const std::vector<Case> cases = {
        {"CMD_1",
         {{"50", "1.00"}, {"50", "2.00"}, {"abc", ""}, {"50", "3.00"}},
         "'abc' is not a valid integer",
         2},
        // The printer refuses a duplicate before its first receipt.
        {"CMD_2", {{"50", "4.00"}, {"210", ""}, {"50", "5.00"}}, "Komanda 109", 3},
        {"CMD_3", {{"60", "x"}, {"50", "6.00"}}, "", 3},
    };
    for (const Case& c : cases) {
        Drop(c.name + ".zvx", CommandPacket(c.rows));
        work->PollExchange();
        const std::string answer = Answer(c.name + ".err");
        EXPECT_EQ(answer.rfind(c.errorStart, 0), 0u) << c.name << ": " << answer;
        EXPECT_EQ(answer.substr(answer.size() - 2), "\r\n");
        EXPECT_FALSE(FileExists(FromFp(c.name + ".ok"))) << c.name;
        EXPECT_FALSE(FileExists(ToFp(c.name + ".zvx"))) << c.name;
        EXPECT_EQ(rig->ScalarInt("select count(*) from cash"), c.cashRows) << c.name;
    }
    EXPECT_FALSE(rig->app.Terminated());
}

TEST_F(CommandFileTest, LostPrinterLineAnswersCommErr) {
    Start();
    SilenceAfter(0);
    Drop("CMD_1.zvx", CommandPacket({{"70", ""}}));
    work->PollExchange();
    EXPECT_TRUE(rig->app.Terminated());
    EXPECT_EQ(Answer("Comm.err").rfind("Komanda 80 - Zvucni signal\n", 0), 0u)
        << Answer("Comm.err");
    EXPECT_EQ(Answers(), std::vector<std::string>{"Comm.err"});
    EXPECT_TRUE(FileExists(ToFp("CMD_1.zvx"))) << "the file waits for the next start";
    Restart();
    work->PollExchange();
    EXPECT_EQ(Answers(), (std::vector<std::string>{"CMD_1.ok", "Comm.err"}));
    EXPECT_FALSE(FileExists(ToFp("CMD_1.zvx")));
}

// Modification time of a file in nanoseconds.
long long WrittenAt(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t crlf; (crlf = text.find("\r\n", at)) != std::string::npos; at = crlf + 2)
        lines.push_back(text.substr(at, crlf - at));
    if (at < text.size()) lines.push_back(text.substr(at) + "<no line end>");
    return lines;
}

TEST_F(CommandFileTest, StatusReportIsAnsweredAsF300BeforeTheFileItself) {
    Start();
    DropReceipt("ABC_1.zvx", {Line("7", "2.00"), Line("8", "3.00"), EndRow()});
    Drop("CMD_1.zvx", CommandPacket({{"300", ""}}));
    // The command file goes first and finds the day closed; then the receipt opens it.
    work->PollExchange();
    const std::vector<std::string> lines = Lines(Answer("F_300.ok"));
    ASSERT_EQ(lines.size(), 9u) << Answer("F_300.ok");
    EXPECT_EQ(lines[0], "Fiskalizovan");
    EXPECT_EQ(lines[1], "\"3.01CG 11JUN09 1530,91F7\"");
    EXPECT_EQ(lines[2].size(), 19u);
    EXPECT_EQ(lines[2].substr(0, 2), "20");
    EXPECT_EQ(lines[3], "111111111");
    EXPECT_EQ(lines[4], "123456");
    EXPECT_EQ(lines[5], "101234567");
    EXPECT_EQ(lines[6], "0");
    EXPECT_EQ(lines[7], "0");
    EXPECT_EQ(lines[8], "Zatvoren");
    EXPECT_EQ(Answer("CMD_1.ok"), "\r\n");
    EXPECT_LE(WrittenAt(FromFp("F_300.ok")), WrittenAt(FromFp("CMD_1.ok")))
        << "the report arrives before the file's own answer";
    EXPECT_EQ(Answer("ABC_1.ok"), "5.00\r\n");

    // With two articles programmed and the day open, and the answer replaced.
    Drop("CMD_3.zvx", CommandPacket({{"300", ""}}));
    work->PollExchange();
    const std::vector<std::string> again = Lines(Answer("F_300.ok"));
    ASSERT_EQ(again.size(), 9u);
    EXPECT_EQ(again[6], "2");
    EXPECT_EQ(again[7], "2");
    EXPECT_EQ(again[8], "Otvoren");
    EXPECT_EQ(Answer("CMD_3.ok"), "\r\n");
}

TEST_F(CommandFileTest, StatusReportFallsBackLineByLineWhenThePrinterFallsSilent) {
    Start();
    rig->Exec("insert into arts(art_id,tax_id,plu_id,plu_naziv,cena) values('A','1',2,'X',1)");
    struct Case {
        int frames;                      // answered before the line goes dead
        std::vector<std::string> lines;  // empty: no report
        std::string answer;
    };
    const std::vector<Case> cases = {
        // 62 and both readings of 90 answered; everything after falls back.
        {3,
         {"Fiskalizovan", "\"3.01CG 11JUN09 1530,91F7\"", "1899-12-30 00:00:00", "000000000", "",
          "", "-1", "1", "Otvoren"},
         "CMD_1.ok"},
        // Only 62 answered: the firmware text fails the row; no report.
        {1, {}, "Comm.err"},
        // Nothing answered: the first reading fails the row.
        {0, {}, "Comm.err"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SilenceAfter(c.frames);
        rig->app = FakeAppServices();
        for (const std::string& a : Answers()) DeleteFileReport(FromFp(a));
        Drop("CMD_1.zvx", CommandPacket({{"300", ""}}));
        work->PollExchange();
        EXPECT_TRUE(rig->app.Terminated()) << ++n;
        if (c.lines.empty()) {
            EXPECT_EQ(Answers(), std::vector<std::string>{"Comm.err"}) << n;
            EXPECT_TRUE(FileExists(ToFp("CMD_1.zvx"))) << n << ": the file waits for the next start";
            DeleteFileReport(ToFp("CMD_1.zvx"));
        } else {
            EXPECT_EQ(Lines(Answer("F_300.ok")), c.lines) << n;
            EXPECT_EQ(Answers(), (std::vector<std::string>{c.answer, "F_300.ok"})) << n;
            EXPECT_FALSE(rig->app.texts.empty()) << "each failing reading is shown";
        }
        EXPECT_FALSE(FileExists(ToFp("CMD_1.zvx")));
    }
}

TEST_F(CommandFileTest, DayClosingAndExportsWriteTheirFiles) {
    Start();
    DropReceipt("ABC_1.zvx", {Line("7", "2.00"), Line("8", "3.00", "-1"), EndRow()});
    work->PollExchange();
    ASSERT_EQ(Answer("ABC_1.ok"), "<none>") << "a void without sale fails";
    DropReceipt("ABC_2.zvx",
                {Line("7", "2.00"), Line("8", "3.00"), Line("8", "3.00", "-1"), EndRow()});
    work->PollExchange();
    ASSERT_EQ(Answer("ABC_2.ok"), "2.00\r\n");

    char today[8];
    const std::time_t now = std::time(nullptr);
    std::strftime(today, sizeof today, "%d%m%y", std::localtime(&now));
    const std::string range = std::string(today) + "," + today;
    struct Case {
        std::string komanda, tekst;
        std::vector<std::string> prefixes;  // of new files in FromFpDir
    };
    const std::vector<Case> cases = {
        {"240", "", {"XA", "XB"}},
        {"210", "", {}},
        {"90", "", {}},
        {"220", range, {"ZA", "ZB", "ZC"}},
        {"250", range, {"ZAS", "ZBS"}},
        {"230", range, {}},
        {"130", "", {"Artikli"}},
        {"140", "", {}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::vector<std::string> before = Answers();
        const std::string name = "CMD_" + std::to_string(++n);
        Drop(name + ".zvx", CommandPacket({{c.komanda, c.tekst}}));
        work->PollExchange();
        EXPECT_EQ(Answer(name + ".ok"), "\r\n") << c.komanda << ": " << Answer(name + ".err");
        std::vector<std::string> added;
        for (const std::string& a : Answers())
            if (std::find(before.begin(), before.end(), a) == before.end() && a != name + ".ok")
                added.push_back(a);
        ASSERT_EQ(added.size(), c.prefixes.size()) << c.komanda;
        for (size_t i = 0; i < added.size(); ++i)
            EXPECT_TRUE(StartsWithNoCase(added[i], c.prefixes[i])) << c.komanda << ": " << added[i];
        if (c.komanda == "90") {
            EXPECT_EQ(rig->JournalCount("Z "), 1);
            EXPECT_EQ(rig->ScalarInt("select count(*) from zets where dtm_tran is not null"), 1);
            EXPECT_EQ(rig->fp->ReadTransactionState(), 1);
        }
    }
    EXPECT_EQ(rig->ScalarInt("select count(*) from sales"), 0)
        << "the closed day's lines were deleted";
    EXPECT_EQ(rig->ScalarInt("select count(*) from payments"), 0);
    EXPECT_EQ(rig->ScalarInt("select count(*) from zets"), 2) << "day records stay";
    EXPECT_EQ(rig->JournalCount("DUPLICATE "), 1);
    EXPECT_EQ(rig->ScalarInt("select count(*) from arts"), 0);
    EXPECT_EQ(rig->sim->State().articles.size(), 0u);
}

TEST_F(CommandFileTest, TextFilesPrintOneNonFiscalReceipt) {
    Start();
    struct Case {
        std::vector<std::string> lines;
        std::vector<std::string> printed;
    };
    const std::vector<Case> cases = {
        // Every line is filled up to 30 characters.
        {{"Hvala na kupovini", "Dodjite opet"},
         {"NF_OPEN", "NF_TEXT Hvala na kupovini" + std::string(13, ' '),
          "NF_TEXT Dodjite opet" + std::string(18, ' '), "NF_CLOSE"}},
        {{}, {"NF_OPEN", "NF_CLOSE"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string name = "TXT_" + std::to_string(++n);
        const size_t before = rig->Journal().size();
        Drop(name + ".zvx", TextPacket(c.lines));
        work->PollExchange();
        std::vector<std::string> printed = rig->Journal();
        printed.erase(printed.begin(), printed.begin() + static_cast<long>(before));
        EXPECT_EQ(printed, c.printed) << name;
        EXPECT_EQ(Answer(name + ".ok"), "\r\n");
        EXPECT_FALSE(FileExists(ToFp(name + ".zvx")));
    }
}

TEST_F(CommandFileTest, TextFileFailingHalfwayIsAnsweredWithThePrinterText) {
    Start();
    SilenceAfter(3);  // open and two lines reach the printer
    Drop("TXT_1.zvx", TextPacket({"jedan", "dva", "tri", "cetiri"}));
    work->PollExchange();
    EXPECT_EQ(rig->JournalCount("NF_TEXT "), 2);
    const std::string answer = Answer("TXT_1.err");
    EXPECT_EQ(answer.rfind("Komanda 42 - Stampa nefiskalnog teksta\n", 0), 0u) << answer;
    EXPECT_EQ(Answers(), std::vector<std::string>{"TXT_1.err"})
        << "a text file never answers Comm.err";
    EXPECT_FALSE(FileExists(ToFp("TXT_1.zvx")));
}

TEST_F(CommandFileTest, OpenFiscalReceiptIsCancelledWhenATextFileFails) {
    Start();
    rig->PrinterCommand(107, "PB1,1.00,0.000,X");
    rig->PrinterCommand(48, "1,4826,1");
    rig->PrinterCommand(52, "1#1.00");
    Drop("TXT_1.zvx", TextPacket({"jedan"}));
    work->PollExchange();
    EXPECT_EQ(Answer("TXT_1.err").rfind("Komanda 38", 0), 0u) << Answer("TXT_1.err");
    EXPECT_EQ(rig->JournalCount("CLOSE "), 1);
    EXPECT_EQ(rig->fp->ReadTransactionState(), 2) << "the receipt was paid and closed";
}

}  // namespace
