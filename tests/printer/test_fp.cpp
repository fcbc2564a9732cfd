#include "FakePort.h"

#include "printer/P00_fp.h"
#include "support/TestSupport.h"

#include "app/P00_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace velbrin::test {
namespace {

const char* const kCashierHint =
    "\n\nVerovatno u stampacu sifra kasira NIJE '4826'!\n\nPozovite servisera da uradi reset i vrati sifru na '4826'!\n";

struct PrinterRig {
    FakeClock clock;
    FakePort* port;
    TFormFPDef def;
    FakeAppServices app;
    TFormFP fp;

    PrinterRig() : port(new FakePort(clock)), def(std::unique_ptr<TComPort>(port)), fp(def, app, clock) {}

    std::string Failure(const std::function<void()>& operation) {
        try {
            operation();
        } catch (const LinkError& e) {
            return e.Text();
        }
        return "no exception";
    }
};

constexpr std::array<uint8_t, 6> kGeneralError{0x20, 0, 0, 0, 0, 0};
constexpr std::array<uint8_t, 6> kNoPaper{0, 0, 0x01, 0, 0, 0};

TEST(FormFP, OperationsSendTheirCommandDataAndCaption) {
    const Money quantity = Money::Parse("3");
    struct Case {
        std::function<void(TFormFP&)> run;
        int command;
        std::string data;
        std::string caption;
    };
    const std::vector<Case> cases = {
        {[](TFormFP& f) { f.OpenReceipt(); }, 48, "1,4826,1", std::string("Komanda 48 - Otvaranje racuna") + kCashierHint},
        {[](TFormFP& f) { f.SellItem("5#1.00"); }, 52, "5#1.00", "Komanda 52 - Prodaja artikla"},
        {[&](TFormFP& f) { f.VoidItem(TFormFP::SaleData(17, Money::Parse("2.5"), &quantity)); }, 52, "-17#2.50*3.000",
         "Komanda 52 - Storno"},
        {[](TFormFP& f) { f.AddPayment(TFormFP::PaymentData(2, Money::FromUnits(150))); }, 53, "\tD150.00",
         "Komanda 53 - Placanje"},
        {[](TFormFP& f) { f.CloseReceipt(); }, 56, "", "Komanda 56 - Zatvaranje racuna"},
        {[](TFormFP& f) { f.PrintDuplicate(); }, 109, "1", "Komanda 109 - Duplikat racuna"},
        {[](TFormFP& f) { f.ReadReceiptStatus(); }, 76, "T", "Komanda 76"},
        {[](TFormFP& f) { f.ReadCommand103(); }, 103, "", "Komanda 103"},
        {[](TFormFP& f) { f.OpenNonFiscal(); }, 38, "", "Komanda 38 - Otvaranje nefiskalnog racuna"},
        {[](TFormFP& f) { f.PrintNonFiscalText("ABC", "12"); }, 42, "ABC" + std::string(25, ' ') + "12",
         "Komanda 42 - Stampa nefiskalnog teksta"},
        {[](TFormFP& f) { f.PrintNonFiscalText(std::string(30, 'L'), ""); }, 42, std::string(30, 'L'),
         "Komanda 42 - Stampa nefiskalnog teksta"},
        {[](TFormFP& f) { f.PrintNonFiscalText(std::string(20, 'L'), std::string(15, 'R')); }, 42,
         std::string(20, 'L') + std::string(15, 'R'), "Komanda 42 - Stampa nefiskalnog teksta"},
        {[](TFormFP& f) { f.CloseNonFiscal(); }, 39, "", "Komanda 39 - Zatvaranje nefiskalnog racuna"},
        {[](TFormFP& f) { f.ClearDisplay(); }, 33, "", "Komanda 33 - Brisanje displeja"},
        {[](TFormFP& f) { f.DisplayUpper(" Hvala "); }, 47, " Hvala ", "Komanda 47 - Display gore"},
        {[](TFormFP& f) { f.DisplayLower("UKUPNO 12.50"); }, 35, "UKUPNO 12.50", "Komanda 35 - Display dole"},
        {[](TFormFP& f) { f.OpenDrawer("10"); }, 106, "10", "Komanda 106 - Otvaranje fioke"},
        {[](TFormFP& f) { f.Beep(); }, 80, "", "Komanda 80 - Zvucni signal"},
        {[](TFormFP& f) { f.CashInOut(Money::FromUnits(-20)); }, 70, "-20.00", "Komanda 70 - Depozit"},
        {[](TFormFP& f) { f.CashInOut(Money::Parse("1234.5")); }, 70, "1234.50", "Komanda 70 - Depozit"},
        {[](TFormFP& f) { f.SetHeaderLine(3, "PRODAVNICA"); }, 43, "3PRODAVNICA", "Komanda 43 - Podesavanje zaglavlja"},
        {[](TFormFP& f) { f.SetCashierName("123456789012345678901234567890"); }, 102,
         "1,4826,123456789012345678901234", std::string("Komanda 102 - Promena imena kasira") + kCashierHint},
        {[](TFormFP& f) { f.PrintDailyClosing(); }, 69, "0a", "Komanda 69 - Zatvaranje dana neuspesno"},
        {[](TFormFP& f) { f.PrintDailyReport("2"); }, 69, "2", "Komanda 69 - Stampa preseka stanja 2"},
        {[](TFormFP& f) { f.PrintSoldArticles("0"); }, 111, "0", "Komanda 111 - Artikli prodati u danu"},
        {[](TFormFP& f) { f.PrintTaxReport("010104", "311220"); }, 50, "010104,311220",
         "Komanda 50 - Izvestaj porezi u periodu"},
        {[](TFormFP& f) { f.PrintPeriodicReport("010104", "311220"); }, 79, "010104,311220",
         "Komanda 79 - Periodican izvestaj"},
        {[](TFormFP& f) { f.ProgramArticle("PA17,2.50,1.000,MLEKO"); }, 107, "PA17,2.50,1.000,MLEKO",
         "Komanda 107 - Dupli naziv"},
        {[](TFormFP& f) { f.ReadArticleInfo(); }, 107, "I", "Komanda 107I"},
        {[](TFormFP& f) { f.ReadDateTime(); }, 62, "", "Komanda 62"},
        {[](TFormFP& f) { f.StatusWait(); }, 74, "W", "Komanda 74"},
        {[](TFormFP& f) { f.ReadCommand83(); }, 83, "", "Komanda 83"},
        {[](TFormFP& f) { f.ReadDiagnostics(); }, 90, "1", "Komanda 90"},
        {[](TFormFP& f) { f.ReadCommand99(); }, 99, "", "Komanda 99"},
    };
    for (const Case& c : cases) {
        PrinterRig r;
        r.port->answers = {{"", {}}, {"", kGeneralError}};
        c.run(r.fp);
        EXPECT_EQ(r.Failure([&] { c.run(r.fp); }), c.caption + "\nGreska 100!\n\nStatus: 200000000000");
        ASSERT_EQ(r.port->commands.size(), 2u) << c.caption;
        for (const auto& [command, data] : r.port->commands) {
            EXPECT_EQ(command, c.command) << c.caption;
            EXPECT_EQ(data, c.data) << c.caption;
        }
        EXPECT_FALSE(r.app.terminated) << c.caption;
    }
}

TEST(FormFP, DataBuilders) {
    const Money three = Money::Parse("3"), half = Money::Parse("0.5");
    EXPECT_EQ(TFormFP::SaleData(17, Money::Parse("2.5"), &three), "17#2.50*3.000");
    EXPECT_EQ(TFormFP::SaleData(4, Money::Parse("99.999"), nullptr), "4#100.00");
    EXPECT_EQ(TFormFP::SaleData(4, Money::Parse("1"), &half), "4#1.00*0.500");
    const std::pair<int, const char*> payments[] = {{1, "\tP9.90"}, {2, "\tD9.90"}, {3, "\tC9.90"},
                                                    {4, "\tN9.90"}, {5, "\t9.90"},  {0, "\t9.90"}};
    for (const auto& [type, data] : payments) EXPECT_EQ(TFormFP::PaymentData(type, Money::Parse("9.9")), data);
}

TEST(FormFP, PaperOutIsAskedForUntilThePrinterTakesTheCommand) {
    TempDir dir;
    PrinterRig r;
    r.fp.SetLogPath(dir.File("FP550_log.txt"));
    r.port->answers = {{"", kNoPaper}, {"", {0, 0, 0x05, 0, 0, 0}}, {"", kNoPaper}, {"", {}}};
    r.fp.SellItem("1#1.00");
    EXPECT_EQ(r.app.numbered, (std::vector<int>{3, 3, 3}));
    EXPECT_EQ(r.port->commands.size(), 4u);
    std::string log = ReadWholeFile(dir.File("FP550_log.txt"));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);
    EXPECT_FALSE(r.app.terminated);
}

TEST(FormFP, FailuresEndTheProgramOnlyWhenTheLineIsLost) {
    const std::string nak = "\x15";
    struct Case {
        std::vector<FakePort::Reply> replies;
        std::vector<ScriptedAnswer> answers;
        bool terminate;
        std::string text;
        std::vector<int> numbered;
    };
    const Case cases[] = {
        {{}, {}, true, "Stampac se ne javlja - proverite stampac i kabl!", {}},
        {{{nak}, {nak}, {nak}, {nak}}, {}, true, "Stampac javlja greske u komunikaciji - proverite kabl!", {}},
        {{{"\x01"}, {"\x01"}, {"\x01"}, {"\x01"}}, {}, true, "Stampac je prestao da se javlja - proverite stampac i kabl!", {}},
        {{{"\x01\x40"}, {"\x01\x40"}, {"\x01\x40"}, {"\x01\x40"}}, {}, true,
         "Stampac je prestao da se javlja - proverite stampac i kabl!", {}},
        {{{"\x01\x10"}}, {}, false, "Stampac je vratio duzinu 16 - van opsega!", {}},
        {{}, {{"", {0x28, 0, 0, 0, 0, 0}}}, false, "Povezite Display za kupca sa Stampacem!", {}},
        {{}, {{"", kNoPaper}}, true, "Stampac se ne javlja - proverite stampac i kabl!", {3}},  // paper out, then silence
        {{}, {{"", kNoPaper}, {"", kGeneralError}}, false, "Greska 100!", {3}},
    };
    for (const Case& c : cases) {
        PrinterRig r;
        r.port->replies.assign(c.replies.begin(), c.replies.end());
        r.port->answers.assign(c.answers.begin(), c.answers.end());
        std::string text = r.Failure([&] { r.fp.Beep(); });
        EXPECT_EQ(text.substr(0, text.find("\n\nStatus: ")), "Komanda 80 - Zvucni signal\n" + c.text);
        EXPECT_EQ(r.app.terminated, c.terminate) << c.text;
        EXPECT_EQ(r.app.numbered, c.numbered) << c.text;
    }
}

TEST(FormFP, PortFailuresCarryTheCaption) {
    PrinterRig r;
    r.port->openError = "Port COM1 (/dev/ttyS0): cannot be opened: No such file or directory";
    EXPECT_EQ(r.Failure([&] { r.fp.Beep(); }), "Komanda 80 - Zvucni signal\n" + r.port->openError);
}

TEST(FormFP, ReadTransactionState) {
    struct Case {
        std::vector<ScriptedAnswer> answers;
        int state;
        int items;
        const char* amount;
        const char* paid;
        size_t shown;
    };
    const Case cases[] = {
        {{{"0,0,0,0", {}}}, 1, 0, "0", "0", 0},
        {{{"0,0,1250,0", {}}}, 2, 0, "12.5", "0", 0},
        {{{"0,3,0,0", {}}}, 2, 3, "0", "0", 0},
        {{{"0,0,0,1", {}}}, 2, 0, "0", "0.01", 0},
        {{{"1,2,500,0", {}}, {"1", {}}}, 3, 2, "5", "0", 0},
        {{{"1,2,500,500", {}}, {"0", {}}}, 4, 2, "5", "5", 0},
        {{{"1,2,500,0", {}}, {"1", kGeneralError}}, 0, 2, "5", "0", 1},
        {{{"2,0,0,0", {}}}, 0, 0, "0", "0", 0},
        {{{"0,x,0,0", {}}}, 0, 0, "0", "0", 1},
        {{{"", kGeneralError}}, 0, 0, "0", "0", 1},
    };
    for (const Case& c : cases) {
        PrinterRig r;
        r.port->answers.assign(c.answers.begin(), c.answers.end());
        const std::string what = c.answers[0].data;
        EXPECT_EQ(r.fp.ReadTransactionState(), c.state) << what;
        EXPECT_EQ(r.fp.ReceiptItemCount(), c.items) << what;
        EXPECT_EQ(r.fp.ReceiptAmount(), Money::Parse(c.amount)) << what;
        EXPECT_EQ(r.fp.ReceiptPaidAmount(), Money::Parse(c.paid)) << what;
        EXPECT_EQ(r.app.texts.size(), c.shown) << what;
        EXPECT_EQ(r.port->commands[0], (std::pair<int, std::string>{76, "T"}));
        if (c.answers.size() > 1) {
            EXPECT_EQ(r.port->commands.at(1), (std::pair<int, std::string>{103, ""}));
        }
    }
}

TEST(FormFP, ValuesReadFromAnswers) {
    const std::array<uint8_t, 6> fiscalised{0, 0, 0, 0, 0, 0x08}, noDisplay{0x08, 0, 0, 0, 0, 0};
    const std::string firmware = "3.01CG 11JUN09 1530,91F7,0000,SRB,ZK123456,18";
    struct Case {
        const char* name;
        ScriptedAnswer answer;
        std::function<std::string(TFormFP&)> read;
        std::string expected;
        std::string shown;
    };
    auto flag = [](bool b) { return std::string(b ? "true" : "false"); };
    const std::vector<Case> cases = {
        {"date and time", {"06-12-26 21:55:13", {}}, [](TFormFP& f) { return f.GetPrinterDateTime().ZetStamp(); },
         "2026-12-06 21:55:13", ""},
        {"impossible date", {"31-02-26 10:00:00", {}}, [](TFormFP& f) { return f.GetPrinterDateTime().ZetStamp(); },
         "1899-12-30 00:00:00", ""},
        {"no date", {"garbage", {}}, [](TFormFP& f) { return f.GetPrinterDateTime().ZetStamp(); },
         "1899-12-30 00:00:00", ""},
        {"display connected", {"06-12-26 21:55:13", {}}, [&](TFormFP& f) { return flag(f.IsDisplayConnected()); },
         "true", ""},
        {"display missing", {"", noDisplay}, [&](TFormFP& f) { return flag(f.IsDisplayConnected()); }, "false", ""},
        {"display missing with error", {"", {0x28, 0, 0, 0, 0, 0}},
         [&](TFormFP& f) { return flag(f.IsDisplayConnected()); }, "false", ""},
        {"accepted firmware", {firmware, {}}, [&](TFormFP& f) { return flag(f.CheckFirmware()); }, "true", ""},
        {"older accepted firmware", {"2.10CG 10APR05 1030,35C2", {}},
         [&](TFormFP& f) { return flag(f.CheckFirmware()); }, "true", ""},
        {"wrong firmware", {"3.01CG 11JUN09 1530,91F8,0000", {}}, [&](TFormFP& f) { return flag(f.CheckFirmware()); },
         "false", "Pogresan firmware: 3.01CG 11JUN09 1530,91F8"},
        {"short firmware", {"3.01CG", {}}, [&](TFormFP& f) { return flag(f.CheckFirmware()); }, "false",
         "Pogresan firmware: 3.01CG"},
        {"firmware version", {firmware, {}}, [](TFormFP& f) { return f.ReadFirmwareVersion(); },
         "3.01CG 11JUN09 1530,91F7", ""},
        {"field 4", {firmware, {}}, [](TFormFP& f) { return f.ReadCommand90Field4(); }, "ZK123456", ""},
        {"fiscalised", {firmware, fiscalised}, [&](TFormFP& f) { return flag(f.IsFiscalized()); }, "true", ""},
        {"not fiscalised", {firmware, {}}, [&](TFormFP& f) { return flag(f.IsFiscalized()); }, "false", ""},
        {"tax groups", {"0,0,111100000", {}}, [](TFormFP& f) { return f.ReadTaxGroups(); }, "111100000", ""},
        {"article count", {"0,0,37", {}}, [](TFormFP& f) { return std::to_string(f.CountArticles()); }, "37", ""},
        {"article count without digits", {"0,0,x", {}}, [](TFormFP& f) { return std::to_string(f.CountArticles()); },
         "0", ""},
        {"command 99", {"ABCDEFGHIJKL,2", {}}, [](TFormFP& f) { return f.ReadCommand99Value(); }, "ABCDEFGHI", ""},
    };
    for (const Case& c : cases) {
        PrinterRig r;
        r.port->answers = {c.answer};
        EXPECT_EQ(c.read(r.fp), c.expected) << c.name;
        EXPECT_EQ(r.app.texts, c.shown.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.shown})
            << c.name;
    }
}

TEST(FormFP, FallbackValuesAfterALostLine) {
    struct Case {
        const char* name;
        std::function<std::string(TFormFP&)> read;
        std::string expected;
        const char* caption;
    };
    auto flag = [](bool b) { return std::string(b ? "true" : "false"); };
    const std::vector<Case> cases = {
        {"date", [](TFormFP& f) { return f.GetPrinterDateTime().ZetStamp(); }, "1899-12-30 00:00:00", "Komanda 62"},
        {"tax groups", [](TFormFP& f) { return f.ReadTaxGroups(); }, "000000000", "Komanda 83"},
        {"articles", [](TFormFP& f) { return std::to_string(f.CountArticles()); }, "-1", "Komanda 107I"},
        {"firmware", [&](TFormFP& f) { return flag(f.CheckFirmware()); }, "false", "Komanda 90"},
        {"field 4", [](TFormFP& f) { return f.ReadCommand90Field4(); }, "", "Komanda 90"},
        {"fiscalised", [&](TFormFP& f) { return flag(f.IsFiscalized()); }, "false", "Komanda 90"},
        {"command 99", [](TFormFP& f) { return f.ReadCommand99Value(); }, "", "Komanda 99"},
        {"transaction", [](TFormFP& f) { return std::to_string(f.ReadTransactionState()); }, "0", "Komanda 76"},
        {"closed", [&](TFormFP& f) { return flag(f.IsReceiptClosed()); }, "false", "Komanda 76"},
    };
    for (const Case& c : cases) {
        PrinterRig r;
        EXPECT_EQ(c.read(r.fp), c.expected) << c.name;
        ASSERT_EQ(r.app.texts.size(), 1u) << c.name;
        EXPECT_EQ(r.app.texts[0],
                  std::string(c.caption) + "\nStampac se ne javlja - proverite stampac i kabl!\n\nStatus: 000000000000");
        EXPECT_TRUE(r.app.terminated) << c.name;
    }
    PrinterRig display;
    EXPECT_TRUE(display.fp.IsDisplayConnected());
    EXPECT_TRUE(display.app.texts.empty());
    PrinterRig version;
    EXPECT_EQ(version.Failure([&] { version.fp.ReadFirmwareVersion(); }),
              "Komanda 90\nStampac se ne javlja - proverite stampac i kabl!\n\nStatus: 000000000000");
}

TEST(FormFP, TestLinkReactsOnlyToALostLine) {
    PrinterRig lost;
    EXPECT_EQ(lost.Failure([&] { lost.fp.TestLink(); }),
              "Stampac se ne javlja - proverite stampac i kabl!\n\nStatus: 000000000000");
    EXPECT_EQ(lost.app.numbered, std::vector<int>{1});
    EXPECT_TRUE(lost.app.terminated);

    PrinterRig busy;
    busy.port->answers = {{"", kNoPaper}};
    EXPECT_EQ(busy.Failure([&] { busy.fp.TestLink(); }), "no exception");
    EXPECT_TRUE(busy.app.numbered.empty());  // no paper prompt either
    EXPECT_EQ(busy.port->commands, (std::vector<std::pair<int, std::string>>{{62, ""}}));
    EXPECT_FALSE(busy.app.terminated);
}

TEST(StatusWindow, DecodesTwelveHexDigits) {
    struct Case {
        std::string text;
        std::vector<std::pair<int, int>> set;
    };
    const Case cases[] = {
        {"000000000000", {}},
        {"200005000008", {{0, 5}, {2, 0}, {2, 2}, {5, 3}}},
        {"3F0000000000", {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}}},
        {"0a0A00000000", {{0, 1}, {0, 3}, {1, 1}, {1, 3}}},
        {"G1zz00000000", {{0, 0}}},             // other characters count as 0
        {"FF0000000000", {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}}},  // bits 6, 7 have no box
        {"20000500000", {}},                    // 11 characters tick nothing
        {"2000050000080", {}},
    };
    for (const Case& c : cases) {
        auto bits = DecodeStatusHex(c.text);
        for (int i = 0; i < 6; ++i)
            for (int j = 0; j < 6; ++j)
                EXPECT_EQ(bits[i][j], std::find(c.set.begin(), c.set.end(), std::pair{i, j}) != c.set.end())
                    << c.text << " " << i << "," << j;
    }
    EXPECT_STREQ(StatusBitCaption(5, 3), "IsFiscalized");
    EXPECT_STREQ(StatusGroupCaption(4), "4 - FiscalMemory");
}

}  // namespace
}  // namespace velbrin::test
