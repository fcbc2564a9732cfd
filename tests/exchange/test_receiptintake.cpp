// Receipt files from intake to answer: structure checks, lines and voids,
// payments, and the refusal of a file while another receipt is unfinished.
#include "ExchangeRig.h"

#include "app/P00_util.h"

#include <sstream>

using namespace velbrin;
using namespace velbrin::test;

namespace {

class ReceiptIntakeTest : public ExchangeTest {};

std::vector<AbcRow> With(std::vector<AbcRow> rows, const std::vector<AbcRow>& more) {
    rows.insert(rows.end(), more.begin(), more.end());
    return rows;
}

TEST_F(ReceiptIntakeTest, StructureDecidesBeforeAnythingIsPrinted) {
    Start();
    struct Case {
        std::string label;
        std::vector<AbcRow> rows;
        std::string answer;  // "" = message 53 in the .err answer
        int sales;
    };
    std::vector<AbcRow> noEnd(3, Line("1001", "1.00"));
    std::vector<AbcRow> lowerEnd = {Line("1001", "1.00"), EndRow("Krajbona"), PayRow(3, "1.00")};
    std::vector<AbcRow> endFirst = {EndRow(), Line("1001", "1.00")};
    std::vector<AbcRow> twoEnds = {Line("1001", "1.00"), EndRow(), Line("1002", "2.00"), EndRow()};
    const std::vector<Case> cases = {
        {"250 lines", Lines(250, "1001", "1.00"), "250.00", 250},
        {"251 lines", Lines(251, "1001", "1.00"), "", 0},
        {"no end row", noEnd, "", 0},
        {"end row first", endFirst, "", 0},
        {"end row in other case", lowerEnd, "1.00", 1},
        {"the first end row counts", twoEnds, "1.00", 1},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = "ABC_" + std::to_string(++n);
        const int salesBefore = ReadBooks(rig->Journal()).sales;
        const int openedBefore = ReadBooks(rig->Journal()).opened;
        DropReceipt(name + ".zvx", c.rows);
        work->PollExchange();
        if (c.answer.empty()) {
            EXPECT_EQ(Answer(name + ".err"), Msg(53) + "\r\n");
            EXPECT_EQ(ReadBooks(rig->Journal()).opened, openedBefore) << "no receipt opened";
        } else {
            EXPECT_EQ(Answer(name + ".ok"), c.answer + "\r\n");
        }
        EXPECT_EQ(ReadBooks(rig->Journal()).sales - salesBefore, c.sales);
        EXPECT_EQ(rig->ScalarInt("select count(*) from curr_abc"), 0);
    }
    ExpectBooksBalance();
}

TEST_F(ReceiptIntakeTest, TrailerPaymentsMapOntoPaymentKinds) {
    Start();
    struct Case {
        std::string label;
        std::vector<AbcRow> rows;
        std::vector<std::string> paid;  // PAY lines of the journal: letter and amount
        std::string answer;
    };
    const std::vector<AbcRow> thirty = {Line("1001", "10.00", "3"), EndRow()};
    const std::vector<Case> cases = {
        {"no payment rows", thirty, {"P 30.00"}, "30.00"},
        {"PAY_1 above the total", With(thirty, {PayRow(1, "50.00")}), {"C 50.00"}, "30.00"},
        {"PAY_1, PAY_3 and the remainder", With(thirty, {PayRow(1, "10.00"), PayRow(3, "5.00")}),
         {"C 10.00", "P 5.00", "P 15.00"}, "30.00"},
        {"PAY_2 and PAY_4 in their kinds", With(thirty, {PayRow(2, "20.00"), PayRow(4, "10.00")}),
         {"D 20.00", "N 10.00"}, "30.00"},
        {"total 0", {Line("1009", "0.00"), EndRow()}, {"P 0.00"}, "0.00"},
        {"cashier, header text and card", With(thirty, {TrailerRow("USR_ID", "0042"), TrailerRow("USR_NAME", "Mara"),
                                                       TrailerRow("CMD159", "Hvala"), TrailerRow("CARD_ID", "C-1")}),
         {"P 30.00"}, "30.00"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = "ABC_" + std::to_string(++n);
        const std::size_t before = ReadBooks(rig->Journal()).payments.size();
        DropReceipt(name + ".zvx", c.rows);
        work->PollExchange();
        EXPECT_EQ(Answer(name + ".ok"), c.answer + "\r\n");
        const std::vector<std::string> all = ReadBooks(rig->Journal()).payments;
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()), c.paid);
    }
    EXPECT_EQ(rig->ScalarInt("select count(*) from payments where usr_id = '0042'"), 1);
    ExpectBooksBalance();
}

// Keywords count without their blanks and letter case, in the structure check,
// the line loops and the trailer alike: a receipt is never printed with part of
// its file ignored.
TEST_F(ReceiptIntakeTest, PaddedAndMixedCaseKeywordsAreReadLikeTheExactOnes) {
    Start();
    auto pay = [](const std::string& key, const std::string& amount) { return AbcRow{key, "0", "-", amount, "0"}; };
    const std::vector<AbcRow> thirty = {Line("1001", "10.00", "3")};
    struct Case {
        std::string label;
        std::vector<AbcRow> trailer;
        std::vector<std::string> paid;
    };
    const std::vector<Case> cases = {
        {"end row with a trailing blank", {EndRow("KRAJBONA "), PayRow(1, "30.00")}, {"C 30.00"}},
        {"end row with a leading blank", {EndRow(" KrajBona"), PayRow(2, "30.00")}, {"D 30.00"}},
        {"padded and mixed-case trailer keywords",
         {EndRow(), pay(" pay_1 ", "10.00"), pay("Pay_2  ", "20.00"), TrailerRow(" usr_id ", "0077"),
          TrailerRow("Usr_Name ", "Mara"), TrailerRow(" card_id", "C-9")},
         {"C 10.00", "D 20.00"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = "ABC_" + std::to_string(++n);
        const std::size_t before = ReadBooks(rig->Journal()).payments.size();
        DropReceipt(name + ".zvx", With(thirty, c.trailer));
        work->PollExchange();
        EXPECT_EQ(Answer(name + ".ok"), "30.00\r\n");
        const std::vector<std::string> all = ReadBooks(rig->Journal()).payments;
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()), c.paid);
    }
    EXPECT_EQ(rig->ScalarInt("select count(*) from payments where usr_id = '0077' and card_id = 'C-9'"), 1);
    ExpectBooksBalance();
}

TEST_F(ReceiptIntakeTest, LinesVoidsAndLinesThatFail) {
    Start();
    struct Case {
        std::string label;
        std::vector<AbcRow> rows;
        std::string answer;  // the .ok text, or the start of the .err text
        bool ok;
        int voids;
    };
    const std::vector<Case> cases = {
        {"void of a sale in the same receipt",
         {Line("1001", "5.00", "2"), Line("1002", "1.00"), Line("1001", "5.00", "-2"), EndRow()}, "1.00", true, 1},
        {"void without a matching sale",
         {Line("1001", "5.00", "1"), Line("1003", "5.00", "-2"), EndRow()}, "Exc-101 select - storno item not exist",
         false, 1},
        {"quantity 0", {Line("1001", "5.00"), Line("1004", "5.00", "0"), EndRow()}, "Red 2 : " + Msg(55), false, 0},
        {"fractional quantity", {Line("1005", "2.00", "1.5"), EndRow()}, "3.00", true, 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = "ABC_" + std::to_string(++n);
        const int voidsBefore = ReadBooks(rig->Journal()).voids;
        DropReceipt(name + ".zvx", c.rows);
        work->PollExchange();
        if (c.ok) {
            EXPECT_EQ(Answer(name + ".ok"), c.answer + "\r\n");
        } else {
            EXPECT_EQ(Answer(name + ".err").rfind(c.answer, 0), 0u) << Answer(name + ".err");
            EXPECT_EQ(Answer(name + ".ok"), "<none>");
        }
        EXPECT_EQ(ReadBooks(rig->Journal()).voids - voidsBefore, c.voids);
        EXPECT_EQ(rig->ScalarInt("select count(*) from curr_abc"), 0);
        EXPECT_EQ(rig->sim->Control("status").rfind("receipt=0 ", 0), 0u) << "no receipt left open";
    }
    EXPECT_EQ(rig->ScalarInt("select count(*) from sales where art_id = '1001' and ind_storno = 'D'"), 2)
        << "one voided by its receipt, one by the cancellation of the receipt that failed";
    ExpectBooksBalance();
}

TEST_F(ReceiptIntakeTest, UnfinishedReceiptInTheTableIsKeptWhenAnotherArrives) {
    Start();
    // What a start-up whose printer state could not be read leaves behind.
    rig->Exec("insert into curr_abc (seq, art_id, tax_id, plu_naziv, cena, kolicina) "
              "values (0, 'FileName', 'S', 'ABC_1.zvx', 0, 0)");
    rig->Exec("insert into curr_abc (seq, art_id, tax_id, plu_naziv, cena, kolicina) "
              "values (1, '1001', '1', 'Mleko', 12.5, 1)");
    DropReceipt("ABC_2.zvx", {Line("1001", "1.00"), EndRow()});
    work->PollExchange();
    const std::string err = Answer("ABC_2.err");
    EXPECT_NE(err.find("ABC_2.zvx not taken in"), std::string::npos) << err;
    EXPECT_NE(err.find("ABC_1.zvx"), std::string::npos) << err;
    EXPECT_FALSE(FileExists(ToFp("ABC_2.zvx")));
    EXPECT_EQ(rig->ScalarInt("select count(*) from curr_abc"), 2);
    EXPECT_EQ(rig->Scalar("select plu_naziv from curr_abc where seq = 0"), "ABC_1.zvx");
    EXPECT_EQ(ReadBooks(rig->Journal()).opened, 0);
}

// What the printer printed since line from, without the receipt numbers.
std::vector<std::string> PrintedSince(const std::vector<std::string>& journal, std::size_t from) {
    std::vector<std::string> out;
    for (std::size_t i = from; i < journal.size(); ++i) {
        std::istringstream in(journal[i]);
        std::string word, number, rest;
        in >> word >> number;
        std::getline(in, rest);
        out.push_back(word + rest);
    }
    return out;
}

// A till built with Free Pascal saves its receipts in its own packet dialect
// (tests/formats/lazarus): each prints and is answered as the same receipt in
// the link's own packet.
TEST_F(ReceiptIntakeTest, LazarusReceiptPrintsAsTheSameReceiptInTheLinksOwnPacket) {
    Start();
    const AbcRow chocolate = {"1002", "2", "\xC8OKOLADA \x8AUMSKA", "149.99", "1.234"};
    const std::vector<AbcRow> tail = {EndRow(), PayRow(1, "500")};
    const std::vector<AbcRow> receipt = With({Line("1001", "12.50", "2"), chocolate, Line("1003", "55", "3")}, tail);
    const std::vector<AbcRow> changed = With({Line("1001", "12.50", "2"), chocolate, Line("1003", "55", "4")}, tail);
    const std::vector<std::pair<std::string, std::vector<AbcRow>>> cases = {
        {"lazarus_abc_receipt.zvx", receipt},
        {"lazarus_abc_decimal_comma.zvx", receipt},
        {"lazarus_abc_deleted_and_modified_rows.zvx", changed},
    };
    int n = 0;
    for (const auto& [file, rows] : cases) {
        SCOPED_TRACE(file);
        const std::string lazarus = "ABC_" + std::to_string(++n), native = "ABC_" + std::to_string(++n);
        std::size_t from = rig->Journal().size();
        Drop(lazarus + ".zvx", ReadWholeFile(std::string(VELBRIN_TEST_DATA) + "/" + file));
        work->PollExchange();
        const std::vector<std::string> printed = PrintedSince(rig->Journal(), from);
        from = rig->Journal().size();
        DropReceipt(native + ".zvx", rows);
        work->PollExchange();
        EXPECT_EQ(printed, PrintedSince(rig->Journal(), from));
        EXPECT_EQ(ReadBooks(printed).sales, 3);
        EXPECT_EQ(Answer(lazarus + ".ok"), Answer(native + ".ok"));
        EXPECT_NE(Answer(lazarus + ".ok"), "<none>") << Answer(lazarus + ".err");
    }
    ExpectBooksBalance();
}

TEST_F(ReceiptIntakeTest, OversizedFileIsRefusedUnread) {
    Start();
    std::vector<AbcRow> rows(TFormLnkWork::kMaxAbcRows + 1, Line("1001", "1.00"));
    DropReceipt("ABC_1.zvx", rows);
    work->PollExchange();
    EXPECT_EQ(Answer("ABC_1.err"), Msg(53) + "\r\n");
    EXPECT_EQ(rig->ScalarInt("select count(*) from curr_abc"), 0);
    EXPECT_FALSE(FileExists(ToFp("ABC_1.zvx")));
}

}  // namespace
