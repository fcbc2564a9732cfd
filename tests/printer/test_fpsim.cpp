// Every printer operation against the printer simulator over a real
// pseudo-terminal, through the termios port.
#include "tools/fp550sim/Fp550Simulator.h"

#include "printer/P00_fp.h"
#include "support/TestSupport.h"

#include "app/P00_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace velbrin::test {
namespace {

class PromptingServices : public FakeAppServices {
public:
    void ShowNumbered(int n) override {
        FakeAppServices::ShowNumbered(n);
        if (onNumbered) onNumbered(n);
    }
    std::function<void(int)> onNumbered;
};

class PrinterOnSim : public ::testing::Test {
protected:
    void SetUp() override { fp.SetLogPath(dir.File("FP550_log.txt")); }

    int LogLines() const {
        if (!FileExists(dir.File("FP550_log.txt"))) return 0;
        std::string log = ReadWholeFile(dir.File("FP550_log.txt"));
        return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    }
    std::string Failure(const std::function<void()>& operation) {
        try {
            operation();
        } catch (const LinkError& e) {
            return e.Text();
        }
        return "no exception";
    }

    TempDir dir;
    sim::Fp550Simulator sim{dir.File("fp550.state")};
    std::string device = sim.Start();
    TFormFPDef def{std::make_unique<TPosixComPort>(device)};
    PromptingServices app;
    TFormFP fp{def, app};
};

TEST_F(PrinterOnSim, FiscalReceiptFromArticlesToDailyClosing) {
    const Money one = Money::FromUnits(1), two = Money::FromUnits(2);
    fp.ProgramArticle("PA1,2.50,100.000,MLEKO");
    fp.ProgramArticle("PB2,10.00,50.000,HLEB");
    fp.ProgramArticle("PA3,1.00,1.000,BRISATI");
    fp.ProgramArticle("C2,12.00");
    fp.ProgramArticle("A2,5.000");
    fp.ProgramArticle("D3");
    EXPECT_EQ(fp.CountArticles(), 2);
    EXPECT_EQ(fp.ReadTransactionState(), 1);

    fp.OpenReceipt();
    fp.SellItem(TFormFP::SaleData(1, Money::Parse("2.50"), &two));
    fp.SellItem(TFormFP::SaleData(2, Money::Parse("12.00"), &one));
    fp.VoidItem(TFormFP::SaleData(1, Money::Parse("2.50"), &two));
    EXPECT_EQ(fp.ReadTransactionState(), 3);
    EXPECT_EQ(fp.ReceiptAmount(), Money::FromUnits(12));
    fp.AddPayment(TFormFP::PaymentData(1, Money::FromUnits(20)));
    EXPECT_EQ(fp.ReadTransactionState(), 4);
    fp.CloseReceipt();
    EXPECT_EQ(fp.ReadTransactionState(), 2);
    EXPECT_EQ(fp.ReceiptItemCount(), 3);
    EXPECT_EQ(fp.ReceiptPaidAmount(), Money::FromUnits(20));
    fp.PrintDuplicate();

    fp.PrintDailyClosing();
    EXPECT_EQ(fp.AnswerField(1), "1200");
    EXPECT_EQ(fp.AnswerField(3), "1200");  // tax group B
    EXPECT_TRUE(fp.IsReceiptClosed());
    EXPECT_EQ(LogLines(), 0);
    EXPECT_TRUE(app.texts.empty());
}

TEST_F(PrinterOnSim, NonFiscalTextDevicesSetUpAndReports) {
    fp.OpenNonFiscal();
    fp.PrintNonFiscalText("ABC", "12");
    fp.CloseNonFiscal();
    fp.ClearDisplay();
    fp.DisplayUpper("Dobar dan");
    fp.DisplayLower("UKUPNO 12.00");
    fp.OpenDrawer("10");
    fp.Beep();
    fp.CashInOut(Money::FromUnits(50));
    fp.CashInOut(Money::FromUnits(-20));
    fp.SetHeaderLine(1, "PRODAVNICA");
    fp.SetCashierName("123456789012345678901234567890");
    fp.StatusWait();
    fp.PrintDailyReport("2");
    fp.PrintSoldArticles("0");
    fp.PrintTaxReport("010104", "311220");
    fp.PrintPeriodicReport("010104", "311220");
    fp.ReadCommand103();
    EXPECT_EQ(fp.AnswerField(0), "0");

    sim::SimState st = sim.State();
    EXPECT_EQ(st.cashIn, 5000);
    EXPECT_EQ(st.cashOut, 2000);
    EXPECT_EQ(st.drawerOpens, 1);
    EXPECT_EQ(st.header[1], "PRODAVNICA");
    EXPECT_EQ(st.cashierName, "123456789012345678901234");
    const auto journal = sim.Journal();
    EXPECT_NE(std::find(journal.begin(), journal.end(), "NF_TEXT ABC" + std::string(25, ' ') + "12"), journal.end());
    EXPECT_EQ(LogLines(), 0);
}

TEST_F(PrinterOnSim, PrinterInformation) {
    fp.TestLink();
    DateTime now = DateTime::Now(), printer = fp.GetPrinterDateTime();
    EXPECT_LT(std::abs(printer.TotalMilliseconds() - now.TotalMilliseconds()), 5000);
    EXPECT_TRUE(fp.IsDisplayConnected());
    EXPECT_EQ(fp.ReadTaxGroups(), "111111111");
    EXPECT_TRUE(fp.CheckFirmware());
    EXPECT_EQ(fp.ReadFirmwareVersion(), "3.01CG 11JUN09 1530,91F7");
    EXPECT_EQ(fp.ReadCommand90Field4(), "ZK123456");
    EXPECT_TRUE(fp.IsFiscalized());
    EXPECT_EQ(fp.ReadCommand99Value(), "101234567");
    EXPECT_TRUE(app.texts.empty());

    sim.Control("display off");
    sim.Control("fiscal off");
    sim.Control("firmware 2.10CG 10APR05 1030,35C3");
    EXPECT_FALSE(fp.IsDisplayConnected());
    EXPECT_FALSE(fp.IsFiscalized());
    EXPECT_FALSE(fp.CheckFirmware());
    EXPECT_EQ(app.texts, std::vector<std::string>{"Pogresan firmware: 2.10CG 10APR05 1030,35C3"});
}

TEST_F(PrinterOnSim, PaperOutIsAskedForUntilThePaperIsBack) {
    for (const char* roll : {"off", "journal"}) {
        sim.Control(std::string("paper ") + roll);
        size_t before = app.numbered.size();
        int logBefore = LogLines();
        app.onNumbered = [&](int) {
            if (app.numbered.size() - before == 3) sim.Control("paper on");
        };
        fp.OpenNonFiscal();
        EXPECT_EQ(app.numbered.size() - before, 3u) << roll;
        EXPECT_EQ(LogLines() - logBefore, 3) << roll << ": one line per failed repetition";
        fp.CloseNonFiscal();
    }
    std::string log = ReadWholeFile(dir.File("FP550_log.txt"));
    EXPECT_NE(log.find("; e=99;"), std::string::npos);
    EXPECT_NE(log.find("; e=98;"), std::string::npos);
    EXPECT_FALSE(app.terminated);
}

TEST_F(PrinterOnSim, RetransmissionsDoNotSellTwice) {
    fp.ProgramArticle("PA1,2.50,100.000,MLEKO");
    fp.OpenReceipt();
    for (const char* fault : {"badsum 1", "lose 1", "badseq 1", "nak 2", "syn 20"}) {
        sim.Control(fault);
        fp.SellItem("1#2.50");
    }
    EXPECT_EQ(sim.State().lines.size(), 5u);
    EXPECT_FALSE(app.terminated);
}

TEST_F(PrinterOnSim, LineCutMidReceiptEndsTheProgram) {
    fp.ProgramArticle("PA1,2.50,100.000,MLEKO");
    sim.Control("cut 2");
    fp.OpenReceipt();
    fp.SellItem("1#2.50");
    EXPECT_EQ(Failure([&] { fp.AddPayment("\tP2.50"); }),
              "Komanda 53 - Placanje\nStampac se ne javlja - proverite stampac i kabl!\n\nStatus: 000000000000");
    EXPECT_TRUE(app.terminated);
    EXPECT_EQ(LogLines(), 1);
    EXPECT_TRUE(sim.State().payments.empty());
}

TEST_F(PrinterOnSim, FourNaksEndTheProgram) {
    sim.Control("nak 4");
    EXPECT_EQ(Failure([&] { fp.Beep(); }),
              "Komanda 80 - Zvucni signal\nStampac javlja greske u komunikaciji - proverite kabl!\n\nStatus: 000000000000");
    EXPECT_TRUE(app.terminated);
}

}  // namespace
}  // namespace velbrin::test
