#include "ReceiptTestSupport.h"

#include "app/P00_util.h"

namespace velbrin::test {
namespace {

class PayItem : public ReceiptTest {
protected:
    // An open receipt with one sold line of the given price.
    void ReceiptOf(const std::string& price)
    {
        Article("A1", 2, price);
        AbcHeader("ABC_1.zvx", "S");
        AbcRow(1, "A1", "1", "X", price, "1");
        AbcRow(2, "KRAJBONA", "", "", "0", "0");
        bon->BeginReceipt();
        Line(1)->Sell();
    }
};

TEST_F(PayItem, PaymentsOfOneReceiptAddUpInOneRowThatTheFirstCreates)
{
    ReceiptOf("30");
    TPayItem(*rig.store, *bon, Money::FromUnits(10), 3).Pay();
    const std::string firstStamp = rig.Scalar("select dtm_tran from curr_payments");
    rig.Exec("insert into curr_sales select * from curr_sales");  // a line more after the first payment
    TPayItem(*rig.store, *bon, Money::FromUnits(20), 1).Pay();

    EXPECT_EQ(rig.JournalCount("PAY 1 C 10.00"), 1);
    EXPECT_EQ(rig.JournalCount("PAY 1 P 20.00"), 1);
    EXPECT_EQ(bon->Paid(), Money::FromUnits(30));
    EXPECT_EQ(rig.ScalarInt("select count(*) from curr_payments"), 1);
    EXPECT_EQ(rig.Scalar("select zet_id || '|' || bon_id || '|' || usr_id || '|' || iznos || '|' || kusur || '|' || "
                         "pay_1 || '|' || pay_2 || '|' || pay_3 || '|' || pay_4 || '|' || pay_5 || '|' || pay_6 || "
                         "'|' || items_no || '|' || ind_popust || '|' || ind_storno || '|' || "
                         "coalesce(card_id, 'null') || '|' || coalesce(dtm_zet, 'null') from curr_payments"),
              "000001|1||30.0000|0.0000|20.0000|0.0000|10.0000|0.0000|0.0000|0.0000|1|N|N|null|null");
    EXPECT_EQ(rig.Scalar("select dtm_tran from curr_payments"), firstStamp);
    EXPECT_EQ(firstStamp.size(), 23u);
}

TEST_F(PayItem, CardIdIsNullWithoutOneAndItsFirstTwentyCharactersWithOne)
{
    struct Case {
        const char* card;  // nullptr: no CARD_ID row
        const char* stored;
    };
    const Case cases[] = {{nullptr, "null"}, {"K-42", "K-42"}, {"CARD-0123456789-ABCDEFGH", "CARD-0123456789-ABCD"}};
    for (const Case& c : cases) {
        rig.Exec("delete from curr_abc");
        rig.Exec("delete from curr_payments");
        AbcRow(1, "KRAJBONA", "", "", "0", "0");
        if (c.card) AbcRow(2, "CARD_ID", "", c.card, "0", "0");
        bon->ReadTrailer();
        TPayItem(*rig.store, *bon, Money::FromUnits(5), 1).StorePayment();
        EXPECT_EQ(rig.Scalar("select coalesce(card_id, 'null') from curr_payments"), c.stored);
        TPayItem(*rig.store, *bon, Money::FromUnits(5), 2).StorePayment();  // the update keeps it too
        EXPECT_EQ(rig.Scalar("select coalesce(card_id, 'null') from curr_payments"), c.stored);
    }
}

TEST_F(PayItem, AReceiptOfZeroIsPaidWithZeroAndACancelledLineMarksIt)
{
    ReceiptOf("4.20");
    TSaleItem::FindSaleToStorno(*rig.store, *bon, "A1", Money::Parse("-1"))->Storno();
    TPayItem(*rig.store, *bon, Money(), 1).Pay();
    EXPECT_EQ(rig.JournalCount("PAY 1 P 0.00"), 1);
    EXPECT_EQ(rig.Scalar("select iznos || '|' || pay_1 || '|' || items_no || '|' || ind_storno from curr_payments"),
              "0.0000|0.0000|1|D");
    rig.fp->CloseReceipt();
    EXPECT_EQ(rig.JournalCount("CLOSE 1 0.00 0.00"), 1);
}

TEST_F(PayItem, ARefusedPaymentStoresNothing)
{
    // No receipt is open: the printer refuses the payment.
    const std::string failure = Failure([&] { TPayItem(*rig.store, *bon, Money::FromUnits(3), 4).Pay(); });
    EXPECT_EQ(failure.rfind("Komanda 53 - Placanje\n", 0), 0u) << failure;
    EXPECT_EQ(rig.ScalarInt("select count(*) from curr_payments"), 0);
    EXPECT_EQ(bon->Paid(), Money());
    EXPECT_EQ(Failure([&] { TPayItem(*rig.store, *bon, Money::FromUnits(3), 5); }), "Nepoznat nacin placanja: 5");
}

}  // namespace
}  // namespace velbrin::test
