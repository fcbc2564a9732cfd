// The books beside the receipts: cash movements, Z reports, drawer opens, stock,
// text lines, the article tables and the answers of command, article and text
// files. Each check must call its disagreement a fault, and a sound run none.
#include <gtest/gtest.h>

#include "tools/harness/HarnessLedger.h"

using namespace velbrin::harness;

namespace {

SentRequest Cash(const std::string& request, std::vector<long long> amounts,
                 std::vector<std::string> drawers = {}) {
    SentRequest r;
    r.kind = RequestKind::Command;
    r.request = request;
    r.name = request + ".zvx";
    r.cash = std::move(amounts);
    r.drawers = std::move(drawers);
    return r;
}

SentRequest Articles(const std::string& request, const std::string& op,
                     std::vector<std::string> codes, std::vector<long long> stock = {}) {
    SentRequest r;
    r.kind = RequestKind::Article;
    r.request = request;
    r.name = request + ".csv";
    r.op = op;
    r.articles = std::move(codes);
    r.stock = std::move(stock);
    return r;
}

SentRequest Text(const std::string& request, std::vector<std::string> marks) {
    SentRequest r;
    r.kind = RequestKind::Text;
    r.request = request;
    r.name = request + ".zvx";
    r.texts = std::move(marks);
    return r;
}

// A sound run: a deposit with a drawer open, a withdrawal, a day closing, an
// article defined and its stock added, a two-line text.
struct Books {
    std::vector<SentRequest> sent = {Cash("CMD_1", {1001}, {"1001"}),
                                     Cash("CMD_2", {-1102}),
                                     Cash("CMD_3", {}),  // code 90
                                     Articles("ART-N_4", "N", {"8040"}),
                                     Articles("ART-K_5", "K", {"8040"}, {5001}),
                                     Text("TXT_6", {"HT6.1", "HT6.2"})};
    AnswerBook answers = {{"CMD_1", {"ok \r\n"}},   {"CMD_2", {"ok \r\n"}},
                          {"CMD_3", {"ok \r\n"}},   {"ART-N_4", {"ok \r\n"}},
                          {"ART-K_5", {"ok \r\n"}}, {"TXT_6", {"ok \r\n"}}};
    std::vector<std::string> journal = {"CASH 10.01",
                                        "DRAWER 1001",
                                        "CASH -11.02",
                                        "Z 1 0.00 0.00",
                                        "ART P 12 A 20.00 0.000",
                                        "ART A 12 5.001",
                                        "NF_OPEN",
                                        "NF_TEXT HT6.1 tekst",
                                        "NF_TEXT HT6.2 tekst",
                                        "NF_CLOSE",
                                        "CASH 0.00"};  // the cash totals read: no movement
    StoredBooks db;
    std::map<int, long long> printerArticles = {{12, 2000}};  // the printer's table, from its state
    int unexplained = 0;
    Books() {
        sent[2].zReports = 1;
        db.cash = {1001, -1102};
        db.daysClosed = 1;
        db.arts["8040"] = {12, 2000};
    }
    std::string Faults() const {
        PrinterBooks printer = ReadPrinterBooks(journal);
        printer.articles = printerArticles;
        std::string all;
        for (const std::string& f : CompareRequests(sent, {"ABC_1"}, answers, printer, db, unexplained))
            all += f + "\n";
        return all;
    }
};

}  // namespace

TEST(HarnessRequestBooks, ASoundRunHasNoFault) {
    const Books b;
    EXPECT_EQ(b.Faults(), "");
    const PrinterBooks p = ReadPrinterBooks(b.journal);
    EXPECT_EQ(p.cash, (std::vector<long long>{1001, -1102}));
    EXPECT_EQ(p.zReports, 1);
    EXPECT_EQ(p.stockAdds.at(5001), 1);
    EXPECT_EQ(p.drawers.at("1001"), 1);
    EXPECT_EQ(p.texts.at("HT6.2"), 1);
}

TEST(HarnessRequestBooks, ARepairOfTheArticleTablesExplainsItsZReportAndLostStock) {
    // A difference the harness made: the link closed the day and emptied both
    // article tables, the stock row found no article, and one more Z report
    // than asked is its own. Without that difference it is a Z nobody asked for.
    Books b;
    b.journal.erase(b.journal.begin() + 5);
    b.journal.push_back("Z 2 0.00 0.00");
    b.db.daysClosed = 2;
    b.db.arts.clear();
    b.printerArticles.clear();
    b.unexplained = 1;
    EXPECT_EQ(b.Faults(), "");
    b.unexplained = 0;
    EXPECT_NE(b.Faults().find("Z reports printed: 2, asked: 1"), std::string::npos);
}

TEST(HarnessRequestBooks, ADrawerTheLinkCannotVouchForAfterAKillIsItsOwnAnswer) {
    // The drawer opened just before the kill: the next start cannot ask the
    // printer and says so, instead of opening it again.
    Books b;
    b.answers["CMD_1"] = {"err the drawer may have opened before the link stopped; it is not opened again\r\n"};
    EXPECT_EQ(b.Faults(), "");
    b.answers["CMD_1"] = {"err Komanda 106\r\n"};
    EXPECT_NE(b.Faults().find("CMD_1.zvx answered .err although every row was carried out"), std::string::npos);
}

TEST(HarnessRequestBooks, EachDisagreementIsAFault) {
    struct Case {
        const char* name;
        void (*spoil)(Books&);
        const char* fault;
    };
    const Case cases[] = {
        {"deposit made twice, recorded twice",
         [](Books& b) { b.journal.push_back("CASH 10.01"), b.db.cash.push_back(1001); },
         "cash 10.01 moved 2 times"},
        {"deposit made twice, recorded once", [](Books& b) { b.journal.push_back("CASH 10.01"); },
         "2 times on the printer, 1 rows in the database"},
        {"withdrawal answered ok, never made",
         [](Books& b) { b.journal.erase(b.journal.begin() + 2), b.db.cash.pop_back(); },
         "CMD_2.zvx answered ok but cash -11.02 never moved"},
        {"cash moved that nobody asked",
         [](Books& b) { b.journal.push_back("CASH 3.00"), b.db.cash.push_back(300); },
         "asked by no request"},
        {"deposit made but answered .err",
         [](Books& b) { b.answers["CMD_2"] = {"err Komanda 70\r\n"}; },
         "CMD_2.zvx answered .err although every row was carried out"},
        {"second Z report for one closing", [](Books& b) { b.journal.push_back("Z 2 0.00 0.00"); },
         "Z reports printed: 2, days closed in the database: 1"},
        {"day closing carried out again",
         [](Books& b) { b.journal.push_back("Z 2 0.00 0.00"), b.db.daysClosed = 2; },
         "Z reports printed: 2, asked: 1"},
        {"day closed in the database only", [](Books& b) { b.db.daysClosed = 2; },
         "Z reports printed: 1"},
        {"drawer opened twice", [](Books& b) { b.journal.push_back("DRAWER 1001"); },
         "drawer 1001 opened 2 times"},
        {"stock added twice", [](Books& b) { b.journal.push_back("ART A 12 5.001"); },
         "added 2 times"},
        {"stock answered ok, never added", [](Books& b) { b.journal.erase(b.journal.begin() + 5); },
         "ART-K_5.csv answered ok but stock of 8040 never added"},
        {"text line printed twice", [](Books& b) { b.journal.push_back("NF_TEXT HT6.1 tekst"); },
         "text line HT6.1 printed 2 times"},
        {"article defined again in the printer only",
         [](Books& b) { b.printerArticles[13] = 2000; },
         "article number 13 (20.00) in the printer, not in the database"},
        {"article in the database only",
         [](Books& b) {
             b.db.arts["8041"] = {14, 100};
         },
         "article 8041 (number 14) in the database, not in the printer"},
        {"article prices differ", [](Books& b) { b.db.arts["8040"].price = 2100; },
         "price 21.00 in the database"},
        {"answered twice", [](Books& b) { b.answers["TXT_6"].push_back("err x\r\n"); },
         "TXT_6.zvx answered 2 times"},
        {"no answer", [](Books& b) { b.answers.erase("ART-N_4"); }, "ART-N_4.csv has no answer"},
        {"text answered in a receipt's name",
         [](Books& b) { b.answers["ABC_2"] = {"ok 0.00\r\n"}; },
         "answer ABC_2 (ok 0.00) to a request never sent"},
        {"answer with a text", [](Books& b) { b.answers["CMD_1"] = {"ok 10.01\r\n"}; },
         "expected an empty success"},
        {"receipt cancelled by the link answered ok",
         [](Books& b) {
             SentRequest v;
             v.kind = RequestKind::Receipt;
             v.request = "ABC_V9";
             v.name = "ABC_V9.csv";
             v.cancelledReceipt = true;
             b.sent.push_back(v);
             b.answers["ABC_V9"] = {"ok 0.00\r\n"};
         },
         "ABC_V9.csv (cancelled by the link) answered as a success: ok 0.00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Books b;
        c.spoil(b);
        EXPECT_NE(b.Faults().find(c.fault), std::string::npos) << b.Faults();
    }
}
