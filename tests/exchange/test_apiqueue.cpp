// Requests of the HTTP interface in the exchange cycle, against the printer
// simulator and a real database: one queue with the files, a text a stopped
// run began, and names kept for the interface.
#include "RequestFilesRig.h"
#include "app/P00_safedir.h"
#include "app/P00_util.h"
#include "exchange/P30_apibook.h"
#include "exchange/P30_requestjournal.h"

using namespace velbrin;
using namespace velbrin::test;

namespace {

long long clockMs = 1000;
long long TestClock() { return clockMs; }

class ApiQueueTest : public RequestFilesTest {
protected:
    void StartWithApi() {
        StartTraced();
        rig->ini->WriteString("Api", "Port", "18089");
        work->OpenApiBook();
        ASSERT_NE(work->ApiBook(), nullptr);
        work->ApiBook()->SetNow(TestClock);
    }
    TApiBook::TEntry Post(const std::string& key, const std::string& kind, const std::string& packet) {
        TApiBook::TEntry e;
        EXPECT_EQ(work->ApiBook()->Accept(key, "d-" + key, kind, "", packet, e), TApiBook::TAccepted::New);
        return e;
    }
    std::string Answered(const std::string& key) {
        const auto e = work->ApiBook()->Find(key);
        return e && e->answered ? e->answerName + " " + e->answerText : "<none>";
    }
    int Printed(const std::string& what) const {
        int n = 0;
        for (const std::string& f : Frames()) n += f.find(what) != std::string::npos;
        return n;
    }
};

TEST_F(ApiQueueTest, FilesAndApiRequestsAreCarriedOutOnceInTheOrderTheyCame) {
    StartWithApi();
    // An API receipt that came before the file, and one that came after it.
    clockMs = 1000;
    Post("early", "ABC_", AbcPacket({Line("E", "2.00"), EndRow()}));
    DropReceipt("ABC_1.zvx", {Line("F", "3.00"), EndRow()});
    clockMs = TSafeDir(rig->ini->ToFpDir()).Facts("ABC_1.zvx").mtimeNs / 1000000 + 1000;
    Post("late", "ABC_", AbcPacket({Line("L", "4.00"), EndRow()}));
    work->PollExchange();
    std::vector<std::string> sales;
    for (const std::string& f : Frames())
        if (f.rfind("52 ", 0) == 0) sales.push_back(f);
    ASSERT_EQ(sales.size(), 3u);
    EXPECT_NE(sales[0].find("#2.00"), std::string::npos);
    EXPECT_NE(sales[1].find("#3.00"), std::string::npos);
    EXPECT_NE(sales[2].find("#4.00"), std::string::npos);
    EXPECT_EQ(Answered("early").substr(Answered("early").find(' ')), " 2.00\r\n");
    EXPECT_EQ(Answer("ABC_1.ok"), "3.00\r\n");
    // Nothing of the interface's goes into FromFpDir, and nothing runs twice.
    EXPECT_EQ(Answers(), std::vector<std::string>{"ABC_1.ok"});
    work->PollExchange();
    Restart();
    work->PollExchange();
    EXPECT_EQ(rig->JournalCount("SALE "), 3);
    ExpectBooksBalance();
}

TEST_F(ApiQueueTest, TextBegunByAStoppedRunIsAnsweredAndNeverPrintedAgain) {
    StartWithApi();
    const TApiBook::TEntry e = Post("text", "TXT_", TextPacket({"jednom"}));
    // The stopped run took it and printed part of it.
    TRequestJournal journal(JoinPath(rig->ini->OtherDir(), "Requests.journal"));
    journal.Load();
    journal.MarkTaken(TApiBook::IdOf(e), e.Name());
    Restart();
    work->OpenApiBook();
    work->PollExchange();
    EXPECT_EQ(Printed("jednom"), 0);
    EXPECT_NE(Answered("text").find(".err " + Msg(kMsgTextDropped)), std::string::npos) << Answered("text");
}

TEST_F(ApiQueueTest, FileNamedLikeAnApiRequestIsRefusedUnderAnotherName) {
    StartWithApi();
    const TApiBook::TEntry e = Post("mine", "ABC_", AbcPacket({Line("M", "5.00"), EndRow()}));
    const std::string posing = e.Name();  // the very name the interface's request carries
    Drop(posing, AbcPacket({Line("X", "9.00"), EndRow()}));
    work->PollExchange();
    EXPECT_EQ(Printed("#9.00"), 0);
    EXPECT_FALSE(FileExists(ToFp(posing)));
    const std::string refused = ChangeFileExt(posing.substr(0, posing.find("@API-")) + "@API_" +
                                                  posing.substr(posing.find("@API-") + 5), ".err");
    EXPECT_NE(Answer(refused), "<none>");
    EXPECT_EQ(Answered("mine").substr(Answered("mine").find(' ')), " 5.00\r\n");
}

}  // namespace
