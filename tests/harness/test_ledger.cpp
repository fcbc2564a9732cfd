// The harness's own judgement: which journal receipts count as printed, and
// which disagreements between requests, answers, journal and database it calls
// faults. A harness that misses a double print proves nothing.
#include "tools/harness/HarnessLedger.h"
#include "tools/harness/HarnessRuns.h"

#include <gtest/gtest.h>

using namespace velbrin::harness;

namespace {

SentReceipt Sent(int k, long long total) {
    SentReceipt r;
    r.k = k;
    r.request = "ABC_" + std::to_string(k);
    r.name = r.request + ".zvx";
    r.total = total;
    return r;
}

// One closed receipt on the journal: tag line of k, one article, closed at total.
std::vector<std::string> Printed(int number, int k, long long total) {
    const std::string n = std::to_string(number);
    return {"OPEN " + n, "SALE " + n + " 1 " + Hundredths(kTagBase + k) + " 1.000 " + Hundredths(kTagBase + k),
            "SALE " + n + " 2 " + Hundredths(total - kTagBase - k) + " 1.000 x", "PAY " + n + " P " + Hundredths(total),
            "CLOSE " + n + " " + Hundredths(total) + " " + Hundredths(total)};
}

StoredReceipt Stored(long long bon, int k, long long total) {
    StoredReceipt r;
    r.day = "000001";
    r.bon = bon;
    r.tagK = k;
    r.salesSum = r.payTotal = r.paidLessChange = total;
    r.payRows = 1;
    return r;
}

template <class... V>
std::vector<std::string> Join(V... parts) {
    std::vector<std::string> out;
    (out.insert(out.end(), parts.begin(), parts.end()), ...);
    return out;
}

}  // namespace

TEST(HarnessLedger, VoidedFirstPrintOfARecoveredReceiptIsNotADoublePrint) {
    // Killed with the lines on the printer: voided, closed at 0, printed again.
    const std::vector<std::string> journal = Join(
        std::vector<std::string>{"OPEN 1", "SALE 1 1 1.05 1.000 1.05", "SALE 1 2 50.00 1.000 50.00",
                                 "VOID 1 1 1.05 1.000 -1.05", "VOID 1 2 50.00 1.000 -50.00", "PAY 1 P 0.00",
                                 "CLOSE 1 0.00 0.00"},
        Printed(2, 5, 5105));
    const auto parsed = ParseJournal(journal);
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0].tagK, 5);
    EXPECT_EQ(parsed[0].voids, 2);
    StoredBooks db;
    db.receipts["000001/1"] = Stored(1, -1, 0);
    db.receipts["000001/2"] = Stored(2, 5, 5105);
    db.salesTotal = db.paymentsTotal = 5105;
    const Verdict v = Compare({Sent(5, 5105)}, {{"ABC_5", {"ok 51.05\r\n"}}}, parsed, db, 5105);
    EXPECT_TRUE(v.Clean()) << v.faults.at(0);
    EXPECT_EQ(v.printed, 1);
}

TEST(HarnessLedger, EachDisagreementIsAFault) {
    struct Case {
        const char* name;
        AnswerBook answers;
        std::vector<std::string> journal;
        bool stored;          // the receipt is in the database
        long long dayTotal;   // the printer's
        const char* fault;    // a piece of the expected fault line
    };
    const std::vector<std::string> once = Printed(1, 7, 2007);
    const std::vector<Case> cases = {
        {"clean", {{"ABC_7", {"ok 20.07\r\n"}}}, once, true, 2007, nullptr},
        {"printed twice", {{"ABC_7", {"ok 20.07\r\n"}}}, Join(once, Printed(2, 7, 2007)), true, 4014, "printed 2 times"},
        {"answered twice", {{"ABC_7", {"ok 20.07\r\n", "err x\r\n"}}}, once, true, 2007, "answered 2 times"},
        {"no answer", {}, once, true, 2007, "no answer although it was printed"},
        {"wrong total", {{"ABC_7", {"ok 20.70\r\n"}}}, once, true, 2007, "expected the total 20.07"},
        {"error but printed", {{"ABC_7", {"err Nema papira\r\n"}}}, once, false, 2007, "error but printed"},
        {"not in the database", {{"ABC_7", {"ok 20.07\r\n"}}}, once, false, 2007, "stored 0 times"},
        {"left open", {{"ABC_7", {"err x\r\n"}}}, {"OPEN 1", "SALE 1 1 1.07 1.000 1.07"}, false, 0, "left open"},
        {"day totals", {{"ABC_7", {"ok 20.07\r\n"}}}, once, true, 3000, "day totals differ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StoredBooks db;
        if (c.stored) {
            db.receipts["000001/1"] = Stored(1, 7, 2007);
            db.salesTotal = db.paymentsTotal = 2007;
        }
        const Verdict v = Compare({Sent(7, 2007)}, c.answers, ParseJournal(c.journal), db, c.stored ? c.dayTotal : 0);
        if (c.fault == nullptr) {
            EXPECT_TRUE(v.Clean()) << v.faults.at(0);
            continue;
        }
        std::string all;
        for (const std::string& f : v.faults) all += f + "\n";
        EXPECT_NE(all.find(c.fault), std::string::npos) << all;
    }
}

TEST(HarnessLedger, AReceiptTheLinkCancelledMustBeStoredVoided) {
    // Tag 9 was cancelled by the link: printed and voided, stored with live lines.
    StoredBooks db;
    db.receipts["000001/1"] = Stored(1, 9, 0);
    db.receipts["000001/1"].salesSum = 12109;
    const Verdict v = Compare({}, {}, {}, db, 0, {9});
    std::string all;
    for (const std::string& f : v.faults) all += f + "\n";
    EXPECT_NE(all.find("tag 9, cancelled by the link, with lines not voided"), std::string::npos) << all;
}

TEST(HarnessLedger, PaymentRowsMustMatchTheLinesOfTheirReceipt) {
    StoredBooks db;
    db.receipts["000001/1"] = Stored(1, 7, 2007);
    db.receipts["000001/1"].payRows = 2;
    db.receipts["000001/2"] = Stored(2, -1, 0);
    db.receipts["000001/2"].paidLessChange = -1500;  // change recorded against nothing paid
    db.salesTotal = db.paymentsTotal = 2007;
    const Verdict v =
        Compare({Sent(7, 2007)}, {{"ABC_7", {"ok 20.07\r\n"}}}, ParseJournal(Printed(1, 7, 2007)), db, 2007);
    ASSERT_EQ(v.faults.size(), 2u);
    EXPECT_NE(v.faults[0].find("2 payment rows"), std::string::npos);
    EXPECT_NE(v.faults[1].find("paid less change -15.00"), std::string::npos);
}

TEST(HarnessStages, LastPrinterCommandNamesTheStage) {
    struct Case {
        std::string trace, stage;
    };
    const Case cases[] = {
        {"", "intake"},
        {"10 RX seq=20 cmd=33 data=\n11 TX seq=20 cmd=33 data=\n", "prepare"},
        {"10 RX seq=21 cmd=107 data=P7,A,1.00\n", "article define"},
        {"10 RX seq=21 cmd=107 data=C7,1.00\n", "article update"},
        {"10 RX seq=21 cmd=107 data=A7,1.000\n", "article stock"},
        {"10 RX seq=21 cmd=107 data=D7\n", "article delete"},
        {"10 RX seq=30 cmd=70 data=12.50\n", "cash"},
        {"10 RX seq=31 cmd=106 data=10\n", "drawer"},
        {"10 RX seq=32 cmd=69 data=0a\n", "z report"},
        {"10 RX seq=32 cmd=69 data=0a\n11 TX seq=32 cmd=69 data=1,0\n", "day closed, database and export"},
        {"10 RX seq=33 cmd=38 data=\n", "non-fiscal open"},
        {"10 RX seq=34 cmd=42 data=HT1.1\n", "text lines"},
        {"10 RX seq=35 cmd=39 data=\n", "non-fiscal close"},
        {"10 RX seq=22 cmd=48 data=1,4826,1\n11 TX seq=22 cmd=48 data=3\n12 RX seq=23 cmd=76 data=T\n", "open"},
        {"10 RX seq=24 cmd=52 data=3#1.00\n", "lines"},
        {"10 RX seq=25 cmd=52 data=-3#1.00\n", "voids"},
        {"10 RX seq=26 cmd=53 data=<09>P1.00\n", "payments"},
        {"10 RX seq=27 cmd=56 data=\n", "close"},
        {"10 RX seq=27 cmd=56 data=\n11 TX seq=27 cmd=56 data=4\n12 RX seq=28 cmd=76 data=T\n", "archive"},
    };
    for (const Case& c : cases) EXPECT_EQ(StageFromTrace(c.trace), c.stage) << c.trace;
}
