// Two shop days driven only through the exchange directory: articles loaded,
// fifty receipts of mixed kinds, cash in and out, a status report, the day
// closing with its export, and a second day. At the end the database, the
// exported files and the printer's own totals tell the same story.
#include <cctype>
#include <cstdio>
#include <map>

#include "RequestFilesRig.h"
#include "app/P00_util.h"
#include "formats/P01_datapacket.h"

using namespace velbrin;
using namespace velbrin::test;

namespace {

const std::vector<std::pair<std::string, std::string>> kArticles = {
    {"A1", "1.50"}, {"A2", "2.00"}, {"A3", "3.25"}, {"A4", "10.00"}, {"A5", "0.99"}};

class ShopDayTest : public RequestFilesTest {
protected:
    // Receipt i: two sale lines, every fourth with a sale voided again, and the
    // payment rows varying over every kind, with change and without.
    std::vector<AbcRow> Receipt(int i, Money& total) const {
        std::vector<AbcRow> rows;
        auto sell = [&](int article, int qty) {
            const auto& [art, price] = kArticles[static_cast<size_t>(article)];
            rows.push_back(Line(art, price, std::to_string(qty)));
            total += Money::Parse(price).MulTrunc(Money::Parse(std::to_string(qty)));
        };
        sell(i % 5, i % 3 + 1);
        sell((i + 2) % 5, 1);
        if (i % 4 == 0) {
            rows.push_back(Line("A3", "3.25", "2"));
            rows.push_back(Line("A3", "3.25", "-2"));
        }
        rows.push_back(EndRow());
        switch (i % 5) {
            case 1:
                rows.push_back(PayRow(1, "100.00"));
                break;
            case 2:
                rows.push_back(PayRow(2, "5.00"));
                break;
            case 3:
                rows.push_back(PayRow(3, "1.00"));
                rows.push_back(PayRow(4, "2.00"));
                break;
            case 4:
                rows.push_back(PayRow(4, "200.00"));
                break;
            default:
                break;
        }
        rows.push_back(TrailerRow("USR_NAME", "Kasir " + std::to_string(i % 3)));
        return rows;
    }

    // Receipts first..last, dropped ten at a time; returns their sum.
    Money SellReceipts(int first, int last) {
        Money sum;
        for (int i = first; i <= last; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "ABC_%04d", i);
            Money total;
            DropReceipt(std::string(name) + ".zvx", Receipt(i, total));
            expected[name] = total;
            sum += total;
            if (i % 10 == 0 || i == last) work->PollExchange();
        }
        return sum;
    }

    // The export packet in FromFpDir whose name begins with prefix + terminal.
    TDataPacket Export(const std::string& prefix) {
        TDataPacket p;
        for (const std::string& name : Answers())
            if (StartsWithNoCase(name, prefix) && name.size() > prefix.size() &&
                std::isdigit(static_cast<unsigned char>(name[prefix.size()])) &&
                SameText(ExtractFileExt(name), ".xml"))
                p.LoadFromFile(FromFp(name));
        return p;
    }
    static Money Sum(const TDataPacket& p, const std::string& field) {
        Money sum;
        for (size_t r = 0; r < p.RowCount(); ++r) sum += p.MoneyValue(r, field);
        return sum;
    }

    std::map<std::string, Money> expected;
};

TEST_F(ShopDayTest, DatabaseExportsAndPrinterAgreeAfterTwoDays) {
    Start({{{{"Osnovno", "ExportFormat"}, "XML"}, {{"Praxolt", "SaljiAnalitikeUvek"}, "D"}}, {}});
    std::vector<AbcRow> arts;
    for (const auto& [art, price] : kArticles)
        arts.push_back({art, "1", "Artikal " + art, price, "100"});
    Drop("ART-N0001.zvx", AbcPacket(arts));
    Drop("CMD_0001.zvx", CommandPacket({{"40", "Jelena"}, {"50", "500.00"}, {"30", ""}}));
    work->PollExchange();
    ASSERT_EQ(Answer("ART-N0001.ok"), "\r\n");
    ASSERT_EQ(Answer("CMD_0001.ok"), "\r\n");

    const Money day1 = SellReceipts(1, 50);
    Drop("CMD_0002.zvx", CommandPacket({{"60", "120.00"}, {"300", ""}}));
    Drop("TXT_0001.zvx", TextPacket({"Hvala", "Dovidjenja"}));
    work->PollExchange();
    ASSERT_EQ(Answer("CMD_0002.ok"), "\r\n");
    EXPECT_EQ(Answer("TXT_0001.ok"), "\r\n");
    const std::string report = Answer("F_300.ok");
    EXPECT_NE(report.find("\r\n5\r\n5\r\nOtvoren\r\n"), std::string::npos) << report;

    Drop("CMD_0003.zvx", CommandPacket({{"90", ""}}));
    work->PollExchange();
    ASSERT_EQ(Answer("CMD_0003.ok"), "\r\n");
    const TDataPacket za = Export("ZA"), zb = Export("ZB"), zc = Export("ZC");

    const Money day2 = SellReceipts(51, 55);
    Drop("CMD_0004.zvx", CommandPacket({{"50", "20.00"}, {"90", ""}}));
    work->PollExchange();
    ASSERT_EQ(Answer("CMD_0004.ok"), "\r\n");

    // Every receipt answered with its own total.
    for (const auto& [name, total] : expected)
        EXPECT_EQ(Answer(name + ".ok"), total.Format(2) + "\r\n") << name;
    EXPECT_EQ(Names(rig->ini->ToFpDir()), std::vector<std::string>{});

    // The printer's Z reports, the day records and the payments agree.
    ASSERT_EQ(rig->JournalCount("Z "), 2);
    const std::vector<std::pair<std::string, Money>> days = {{"000001", day1}, {"000002", day2}};
    for (const auto& [day, total] : days) {
        EXPECT_EQ(rig->ScalarMoney("select fp_iznos from zets where zet_id='" + day + "'"), total)
            << day;
        EXPECT_EQ(rig->ScalarMoney("select sum(iznos) from payments where zet_id='" + day + "'"),
                  total)
            << day;
        EXPECT_EQ(rig->ScalarMoney(
                      "select sum(iznos) from sales where ind_storno='N' and zet_id='" + day + "'"),
                  total)
            << day;
    }
    EXPECT_EQ(rig->JournalCount("Z 1 " + day1.Format(2) + " "), 1);
    EXPECT_EQ(rig->JournalCount("Z 2 " + day2.Format(2) + " "), 1);
    EXPECT_EQ(rig->ScalarInt("select br_bonova from zets where zet_id='000001'"), 50);
    EXPECT_EQ(rig->Scalar("select zet_id from zets where dtm_tran is null"), "000003");

    // The export of the first day holds what the database holds.
    EXPECT_EQ(zb.RowCount(), 50u);
    EXPECT_EQ(Sum(zb, "iznos"), day1);
    EXPECT_EQ(za.RowCount(),
              static_cast<size_t>(rig->ScalarInt(
                  "select count(*) from sales where ind_storno='N' and zet_id='000001'")));
    EXPECT_EQ(Sum(za, "iznos"), day1);
    ASSERT_EQ(zc.RowCount(), 1u);
    EXPECT_EQ(zc.MoneyValue(0, "fp_iznos"), day1);

    // Cash in and out on the printer and in the table.
    EXPECT_EQ(rig->JournalCount("CASH "), 3);
    EXPECT_EQ(rig->ScalarMoney("select sum(cash_in) from cash"), Money::Parse("520.00"));
    EXPECT_EQ(rig->ScalarMoney("select sum(cash_out) from cash"), Money::Parse("120.00"));

    const sim::SimState st = rig->sim->State();
    EXPECT_EQ(st.zNumber, 2);
    EXPECT_EQ(st.DayTotal(), 0);
    EXPECT_EQ(st.articles.size(), kArticles.size());
    EXPECT_EQ(st.drawerOpens, 1);
    EXPECT_EQ(rig->JournalCount("VOID "), 13);
    EXPECT_FALSE(rig->app.Terminated());
    ExpectBooksBalance();
}

}  // namespace
