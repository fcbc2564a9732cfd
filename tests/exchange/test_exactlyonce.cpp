// Every request carried out once and answered once, whatever the exchange
// directories refuse and wherever the link stops: request files that cannot be
// removed, an answer directory that refuses files, rows of a command file begun
// by a run that stopped, and answers that recovery must not invent.
#include <unistd.h>

#include "RequestFilesRig.h"
#include "app/P00_durable.h"
#include "app/P00_util.h"
#include "exchange/P30_outbox.h"
#include "exchange/P30_requestjournal.h"
#include "printer/P00_fp.h"
#include "store/P30_commonlink.h"
#include "store/P31_bon.h"
#include "store/P31_payitem.h"
#include "store/P31_saleitem.h"

namespace velbrin::test {
namespace {

const std::vector<AbcRow> kOne = {Line("1001", "12.50"), EndRow()};

class ExactlyOnceTest : public RequestFilesTest {
protected:
    int Closed() { return ReadBooks(rig->Journal()).closed; }
    int CashRows() { return static_cast<int>(rig->ScalarInt("select count(*) from cash")); }
    int PrinterCashIn() { return static_cast<int>(rig->sim->State().cashIn); }
    // FromFpDir replaced by a plain file (refused even to root), and put back.
    void RefuseAnswers() {
        const std::string from = rig->ini->FromFpDir();
        ASSERT_EQ(::rename(from.c_str(), (from + ".away").c_str()), 0);
        WriteWholeFile(from, "");
    }
    void TakeAnswers() {
        const std::string from = rig->ini->FromFpDir();
        ASSERT_EQ(::unlink(from.c_str()), 0);
        ASSERT_EQ(::rename((from + ".away").c_str(), from.c_str()), 0);
    }
    // The request journal of the installation, to write what a stopped run left in it.
    std::unique_ptr<TRequestJournal> StoppedRunJournal() {
        auto journal = std::make_unique<TRequestJournal>(JoinPath(rig->ini->OtherDir(), "Requests.journal"));
        journal->Load();
        return journal;
    }
    // A command file carried out with fault on every answer to printer command
    // cmd; then the link is started again (a lost line has ended it) and runs a cycle.
    void CommandBehindFaultThenRestart(int cmd, const std::string& fault, const std::string& name,
                                       const std::string& packet) {
        rig->sim->Control("oncmd " + std::to_string(cmd));
        rig->sim->Control(fault);
        Drop(name, packet);
        work->PollExchange();
        rig->sim->Control("reset");
        Restart();
        work->PollExchange();
    }
};

// A fault on the answers to one command, and the answers the cash register gets.
struct AnswerFault {
    const char* fault;
    std::vector<std::string> answers;
};

TEST_F(ExactlyOnceTest, RequestsThatCannotBeRemovedAreCarriedOutOnceAndToldOnce) {
    StartTraced();
    DropReceipt("ABC_5.zvx", kOne);
    Drop("CMD_1.zvx", CommandPacket({{"50", "10.00"}}));
    Drop("TXT_1.zvx", TextPacket({"one"}));
    // A read-only view of ToFpDir: the link reads requests and cannot remove them.
    const auto readOnly = ReadOnlyToFp();
    if (!readOnly) GTEST_SKIP() << "needs a read-only bind mount (root)";
    for (int cycle = 0; cycle < 4; ++cycle) work->PollExchange();
    Restart();
    for (int cycle = 0; cycle < 2; ++cycle) work->PollExchange();
    EXPECT_EQ(Closed(), 1);
    EXPECT_EQ(CashRows(), 1);
    EXPECT_EQ(PrinterCashIn(), 1000);
    EXPECT_EQ(rig->JournalCount("NF_OPEN"), 1);
    EXPECT_EQ(Answers(), (std::vector<std::string>{"ABC_5.ok", "CMD_1.ok", "TXT_1.ok"}));
    EXPECT_EQ(rig->app.notices.size(), 1u) << "told once in this run";
}

TEST_F(ExactlyOnceTest, ConvertedReceiptWhoseOriginalAPowerCutBringsBackIsNotPrintedAgain) {
    Start();
    const std::string original = JoinPath(rig->ini->ToFpDir(), "ABC_9.csv");
    const std::string aside = JoinPath(rig->ini->OtherDir(), "ABC_9.csv.aside");
    Drop("ABC_9.csv", AbcCsv(kOne));
    // The same file (inode, time, bytes) as a cut that undid its removal brings back.
    ASSERT_EQ(::link(original.c_str(), aside.c_str()), 0);
    work->PollExchange();
    ASSERT_EQ(Closed(), 1);
    ASSERT_FALSE(FileExists(original));
    ASSERT_EQ(::link(aside.c_str(), original.c_str()), 0);
    Restart();
    work->PollExchange();
    work->PollExchange();
    EXPECT_EQ(Closed(), 1) << "printed once";
    EXPECT_FALSE(FileExists(original));
    EXPECT_EQ(Answers(), std::vector<std::string>{"ABC_9.ok"});

    // A stop before the conversion was recorded leaves the original and its packet:
    // the original is converted again, and the packet it replaced is not a request.
    Drop("CMD_3.zvx", CommandPacket({{"50", "10.00"}}));
    Drop("CMD_3.csv", "50,10.00\r\n");
    work->PollExchange();
    EXPECT_EQ(PrinterCashIn(), 1000);
    EXPECT_EQ(Answers(), (std::vector<std::string>{"ABC_9.ok", "CMD_3.ok"}));
}

TEST_F(ExactlyOnceTest, CommandAnsweredWhileFromFpDirRefusedIsNotCarriedOutAgainAfterARestart) {
    StartTraced();
    RefuseAnswers();
    Drop("CMD_1.zvx", CommandPacket({{"50", "10.00"}}));
    work->PollExchange();
    EXPECT_FALSE(FileExists(ToFp("CMD_1.zvx")));
    Restart();
    work->PollExchange();
    TakeAnswers();
    work->PollExchange();
    EXPECT_EQ(CashRows(), 1);
    EXPECT_EQ(PrinterCashIn(), 1000);
    EXPECT_EQ(Answers(), std::vector<std::string>{"CMD_1.ok"});
}

TEST_F(ExactlyOnceTest, NoRequestIsTakenWhileAnswersHaveNoPlaceToBeWrittenDown) {
    StartTraced();
    const std::string outbox = work->KeptAnswersDir();
    ASSERT_TRUE(DeleteFileReport(outbox) || ::rmdir(outbox.c_str()) == 0 || !DirectoryExists(outbox));
    WriteWholeFile(outbox, "");  // a file where the outbox should be
    DropReceipt("ABC_5.zvx", kOne);
    for (int cycle = 0; cycle < 3; ++cycle) work->PollExchange();
    EXPECT_TRUE(FileExists(ToFp("ABC_5.zvx"))) << "not taken";
    EXPECT_EQ(Closed(), 0);
    EXPECT_EQ(rig->app.notices.size(), 1u);
    EXPECT_TRUE(rig->app.errors.empty());
    ASSERT_TRUE(DeleteFileReport(outbox));
    work->PollExchange();
    EXPECT_EQ(Answers(), std::vector<std::string>{"ABC_5.ok"});
    EXPECT_EQ(Closed(), 1);
}

TEST_F(ExactlyOnceTest, RowsOfACommandFileDoneBeforeAStopAreNotRepeated) {
    struct Case {
        const char* label;
        bool printerTookSecond;  // the stop came after the printer took row 1
    };
    for (const Case c : {Case{"stopped after row 0", false}, Case{"stopped between printer and database", true}}) {
        SCOPED_TRACE(c.label);
        StartTraced();
        Drop("CMD_1.zvx", CommandPacket({{"50", "10.00"}, {"50", "20.00"}, {"60", "5.00"}}));
        // What a run that was stopped had done: row 0 wholly, and maybe row 1 on the printer only.
        const std::string id = FileIdentityOf(ToFp("CMD_1.zvx"));
        const std::unique_ptr<TRequestJournal> journal = StoppedRunJournal();
        journal->MarkRowBegun(id, 0, "2026-12-08 10:00:00:001");
        rig->commonLink->CashMovement(Money::FromUnits(10), "2026-12-08 10:00:00:001");
        journal->MarkRowDone(id, 0);
        if (c.printerTookSecond) {
            journal->MarkRowBegun(id, 1, "2026-12-08 10:00:00:002");
            rig->fp->CashInOut(Money::FromUnits(20));
        }
        Restart();
        work->PollExchange();
        EXPECT_EQ(PrinterCashIn(), 3000);
        EXPECT_EQ(rig->sim->State().cashOut, 500);
        EXPECT_EQ(CashRows(), 3);
        EXPECT_EQ(rig->ScalarMoney("select sum(cash_in) from cash"), Money::FromUnits(30));
        EXPECT_EQ(Answers(), std::vector<std::string>{"CMD_1.ok"});
        TearDown();
    }
}

TEST_F(ExactlyOnceTest, DrawerOpensOnceAcrossAStopOrAGarbledAnswer) {
    StartTraced();
    Drop("CMD_1.zvx", CommandPacket({{"10", "Dobar dan"}, {"30", ""}, {"70", ""}}));
    const std::string id = FileIdentityOf(ToFp("CMD_1.zvx"));
    const std::unique_ptr<TRequestJournal> journal = StoppedRunJournal();
    journal->MarkRowBegun(id, 0, "2026-12-08 10:00:00:001");
    journal->MarkRowDone(id, 0);
    journal->MarkRowBegun(id, 1, "2026-12-08 10:00:00:002");
    rig->fp->OpenDrawer("10");  // the stop came after the printer took the row
    Restart();
    work->PollExchange();
    EXPECT_EQ(rig->sim->State().drawerOpens, 1);
    ASSERT_EQ(Answers(), std::vector<std::string>{"CMD_1.err"});
    const std::string answer = JoinPath(rig->ini->FromFpDir(), "CMD_1.err");
    EXPECT_NE(ReadWholeFile(answer).find("drawer may have opened"), std::string::npos);
    // The cash register takes the answer and sends the row again: carried out as any other.
    ASSERT_EQ(::unlink(answer.c_str()), 0);
    Drop("CMD_1.zvx", CommandPacket({{"30", ""}}));
    work->PollExchange();
    EXPECT_EQ(rig->sim->State().drawerOpens, 2);
    // Behind a garbled answer the drawer opened: answered as done, so that it is not sent again.
    ASSERT_EQ(::unlink(JoinPath(rig->ini->FromFpDir(), "CMD_1.ok").c_str()), 0);
    rig->sim->Control("oncmd 106");
    rig->sim->Control("badsum 4");
    Drop("CMD_2.zvx", CommandPacket({{"30", ""}}));
    work->PollExchange();
    rig->sim->Control("reset");
    EXPECT_EQ(rig->sim->State().drawerOpens, 3);
    EXPECT_EQ(Answers(), std::vector<std::string>{"CMD_2.ok"});
}

TEST_F(ExactlyOnceTest, DayClosingStoppedBetweenTheZReportAndTheDatabaseIsNotPrintedAgain) {
    StartTraced();
    DropReceipt("ABC_1.zvx", kOne);
    work->PollExchange();
    Drop("CMD_1.zvx", CommandPacket({{"90", ""}}));
    const std::string id = FileIdentityOf(ToFp("CMD_1.zvx"));
    const std::unique_ptr<TRequestJournal> journal = StoppedRunJournal();
    journal->MarkRowBegun(id, 0, rig->zets->CurrentDayId());
    rig->fp->PrintDailyClosing();  // the stop came before the database half
    Restart();
    work->PollExchange();
    EXPECT_EQ(rig->JournalCount("Z "), 1);
    EXPECT_EQ(rig->ScalarInt("select count(*) from zets where dtm_tran is not null"), 1);
    EXPECT_EQ(rig->Scalar("select fp_iznos from zets where dtm_tran is not null"), "12.5000");
    EXPECT_EQ(Answers(), (std::vector<std::string>{"ABC_1.ok", "CMD_1.ok"}));
}

TEST_F(ExactlyOnceTest, AnyDayClosingCutBetweenTheZReportAndTheDatabaseIsFinishedAtTheNextStart) {
    StartTraced();
    DropReceipt("ABC_1.zvx", kOne);
    work->PollExchange();
    // As a closing of an ART-R file or of the start-up check leaves it when stopped.
    rig->Exec("insert into vle(vle_key, vle_value) values('ClosingBegun', '" + rig->zets->CurrentDayId() + "')");
    rig->fp->PrintDailyClosing();
    Restart();
    EXPECT_EQ(rig->ScalarInt("select count(*) from zets where dtm_tran is not null"), 1);
    EXPECT_EQ(rig->ScalarInt("select count(*) from vle where vle_key='ClosingBegun'"), 0);
    Drop("ART-R1.zvx", AbcPacket({{"NEW", "1", "Novi", "2.00", "0"}}));
    work->PollExchange();
    work->PollExchange();
    EXPECT_EQ(rig->JournalCount("Z "), 1) << "the day is closed: no second Z report";
}

TEST_F(ExactlyOnceTest, ZReportWhoseAnswerIsGarbledOrLostIsStoredAsTheClosingItWas) {
    // Garbled: settled from the printer at once. Lost: the line counts as gone,
    // the program ends, and its next start finishes the closing and answers it.
    for (const AnswerFault& c : {AnswerFault{"badsum 4", {"ABC_1.ok", "CMD_1.ok"}},
                                 AnswerFault{"lose 4", {"ABC_1.ok", "CMD_1.ok", "Comm.err"}}}) {
        SCOPED_TRACE(c.fault);
        StartTraced();
        DropReceipt("ABC_1.zvx", kOne);
        work->PollExchange();
        CommandBehindFaultThenRestart(69, c.fault, "CMD_1.zvx", CommandPacket({{"90", ""}}));
        EXPECT_EQ(rig->JournalCount("Z "), 1);
        EXPECT_EQ(Closed(), 1);
        EXPECT_EQ(rig->ScalarInt("select count(*) from zets where dtm_tran is not null"), 1);
        EXPECT_EQ(rig->ScalarInt("select count(*) from vle where vle_key='ClosingBegun'"), 0);
        EXPECT_EQ(Answers(), c.answers);
        TearDown();
    }
}

TEST_F(ExactlyOnceTest, DepositTakenBehindAGarbledOrLostAnswerIsAnsweredAndStoredOnce) {
    // Garbled: settled from the printer at once. Lost: the program ends with
    // Comm.err and the file waits; the next start finds the deposit in the
    // printer's figures, stores it and answers the file.
    for (const AnswerFault& c : {AnswerFault{"badsum 4", {"CMD_1.ok", "CMD_2.ok"}},
                                 AnswerFault{"lose 4", {"CMD_1.ok", "CMD_2.ok", "Comm.err"}}}) {
        SCOPED_TRACE(c.fault);
        StartTraced();
        Drop("CMD_1.zvx", CommandPacket({{"50", "10.00"}}));
        work->PollExchange();
        CommandBehindFaultThenRestart(70, c.fault, "CMD_2.zvx", CommandPacket({{"50", "20.00"}}));
        EXPECT_EQ(Answers(), c.answers);
        EXPECT_FALSE(FileExists(ToFp("CMD_2.zvx")));
        EXPECT_EQ(PrinterCashIn(), 3000);
        EXPECT_EQ(CashRows(), 2);
        EXPECT_EQ(rig->ScalarMoney("select sum(cash_in) from cash"), Money::FromUnits(30));
        TearDown();
    }
}

TEST_F(ExactlyOnceTest, ReceiptCancelledJustBeforeAStopIsAnsweredAsTheFailureItWas) {
    StartTraced();
    DropReceipt("ABC_7.zvx", kOne);
    work->LoadAbcFile("ABC_7.zvx");
    work->PrepareReceipt();
    TBon& bon = *work->Receipt();
    bon.BeginReceipt();
    rig->Exec("update curr_abc set tax_id='S' where seq=0");
    // As the failure handler does: the failure held, the receipt cancelled and
    // archived; the link stops before its answer is written.
    work->Outbox().HoldFailure("ABC_7.zvx", "Komanda 52 - Prodaja artikla");
    work->CancelReceipt();
    EXPECT_EQ(rig->ScalarInt("select count(*) from curr_abc"), 0);
    Restart();
    EXPECT_EQ(Answers(), std::vector<std::string>{"ABC_7.err"});
    EXPECT_EQ(Answer("ABC_7.err"), "Komanda 52 - Prodaja artikla\r\n");
}

TEST_F(ExactlyOnceTest, CancellationTellsWhetherItVoidedOrHadToCompleteTheReceipt) {
    for (const bool paidPart : {false, true}) {
        SCOPED_TRACE(paidPart ? "a payment had begun" : "nothing paid yet");
        StartTraced();
        DropReceipt("ABC_7.zvx", {Line("1001", "12.50"), EndRow(), PayRow(2, "4.00")});
        work->LoadAbcFile("ABC_7.zvx");
        work->PrepareReceipt();
        TBon& bon = *work->Receipt();
        bon.ReadTrailer();
        bon.BeginReceipt();
        rig->Exec("update curr_abc set tax_id='S' where seq=0");
        {
            TSqlQuery row(*rig->connection);
            row.SetSQL("select * from curr_abc where seq = 1");
            row.Open();
            std::unique_ptr<TSaleItem> line = TSaleItem::FromReceiptRow(*rig->store, bon, row);
            row.Close();
            line->Sell();
        }
        if (paidPart) TPayItem(*rig->store, bon, Money::FromUnits(4), 2).Pay();
        work->Outbox().HoldFailure("ABC_7.zvx", "Komanda 53 - Placanje");
        EXPECT_EQ(work->CancelReceipt(), paidPart);
        EXPECT_EQ(ReadBooks(rig->Journal()).closedTotal, paidPart ? Money::Parse("12.50") : Money());
        EXPECT_EQ(work->Outbox().HeldFailure("ABC_7.zvx").has_value(), !paidPart);
        TearDown();
    }
}

TEST_F(ExactlyOnceTest, ReceiptWhoseCancellationCannotCloseItWaitsAndIsNotClosedByTheNext) {
    struct Case {
        const char* name;
        std::vector<std::string> faults;
    };
    const Case cases[] = {
        {"every answer to the state question garbled", {"oncmd 76", "badsum 4"}},
        {"the close refused", {"refuse 56 1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartTraced();
        for (const std::string& fault : c.faults) rig->sim->Control(fault);
        // The void of a sale never made fails the receipt.
        DropReceipt("ABC_1.zvx", {Line("1001", "5.00", "1"), Line("1003", "5.00", "-2"), EndRow()});
        work->PollExchange();
        rig->sim->Control("reset");
        EXPECT_EQ(Answers(), std::vector<std::string>{}) << "not answered while the printer may hold it open";
        DropReceipt("ABC_2.zvx", kOne);
        work->PollExchange();
        EXPECT_EQ(Answers(), (std::vector<std::string>{"ABC_1.err", "ABC_2.ok"}));
        EXPECT_NE(Answer("ABC_1.err").find("Exc-101 select - storno item not exist"), std::string::npos)
            << Answer("ABC_1.err");
        EXPECT_EQ(Answer("ABC_2.ok"), "12.50\r\n");
        const JournalBooks books = ReadBooks(rig->Journal());
        EXPECT_EQ(books.closed, 2);
        EXPECT_EQ(books.closedTotal, Money::Parse("12.50")) << "the first receipt voided, not sold under the second";
        ExpectBooksBalance();
        TearDown();
    }
}

TEST_F(ExactlyOnceTest, TextCancellingAReceiptLeftOpenNeverAnswersInAReceiptsName) {
    StartTraced();
    DropReceipt("ABC_1.zvx", kOne);
    work->PollExchange();
    ASSERT_EQ(Answers(), std::vector<std::string>{"ABC_1.ok"});
    DeleteFileReport(FromFp("ABC_1.ok"));
    rig->fp->OpenReceipt();  // a fiscal receipt open when the text comes
    Drop("TXT_1.zvx", TextPacket({"one"}));
    work->PollExchange();
    Restart();
    work->PollExchange();
    EXPECT_EQ(Answers(), std::vector<std::string>{"TXT_1.err"});
}

}  // namespace
}  // namespace velbrin::test
