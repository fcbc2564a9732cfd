#include "store/P31_payitem.h"

#include "app/P00_appservices.h"

#include "app/P00_datetime.h"
#include "app/P00_inilink.h"
#include "app/P00_util.h"
#include "closing/P32_zets.h"
#include "printer/P00_fp.h"
#include "store/P31_bon.h"
#include "store/P31_storecontext.h"

#include <array>

namespace velbrin {

TPayItem::TPayItem(TStoreContext& ctx, TBon& bon, Money amount, int kind)
    : ctx_(ctx), bon_(bon), query_(ctx.connection), amount_(amount), kind_(kind)
{
    // Only kinds 1..4 have a letter on the printer and a column of their own.
    if (kind < 1 || kind > 4) throw LinkError("Nepoznat nacin placanja: " + std::to_string(kind));
}

void TPayItem::Pay()
{
    try {
        ctx_.fp.ClearDisplay();
    } catch (const LinkError&) {
        // Only the customer display's courtesy: a garbled answer to it must not
        // stop a payment; a lost line does.
        if (ctx_.app.Terminated()) throw;
    }
    try {
        ctx_.fp.AddPayment(TFormFP::PaymentData(kind_, amount_));
    } catch (const LinkError&) {
        // Taken by the printer behind a garbled answer: stored like any payment.
        if (!bon_.CarriedOutBehindUnreadAnswer(false, Money::FromRaw(-1), bon_.Paid() + amount_)) throw;
    }
    StorePayment();
    bon_.AddPaid(amount_);
}

void TPayItem::StorePayment()
{
    std::array<Money, 6> pay{};
    pay[kind_ - 1] = amount_;

    query_.SetSQL("select count(*) cnt from curr_payments");
    query_.Open();
    const int64_t rows = query_.AsInteger("cnt");
    query_.Close();

    if (rows > 0) {
        // The table holds only the current receipt's row: no condition needed.
        query_.SetSQL("update curr_payments set pay_1=pay_1+:pay_1, pay_2=pay_2+:pay_2, pay_3=pay_3+:pay_3, "
                      "pay_4=pay_4+:pay_4, pay_5=pay_5+:pay_5, pay_6=pay_6+:pay_6, card_id=:card_id");
    } else {
        Money total;
        try {
            total = bon_.ReceiptTotal();
        } catch (const LinkError&) {
            // The line went down after the printer took the payment: the row is
            // stored all the same, with the total of the receipt's own lines.
            total = bon_.LinesSum();
        }
        query_.SetSQL("select count(*) cnt, "
                      "sum(case when prc_popust <> 0 then 1 else 0 end) popust, "
                      "sum(case when ind_storno = 'D' then 1 else 0 end) storno from curr_sales");
        query_.Open();
        const int64_t items = query_.AsInteger("cnt");
        const bool popust = query_.AsInteger("popust") > 0;
        const bool storno = query_.AsInteger("storno") > 0;
        query_.Close();

        query_.SetSQL("insert into curr_payments(zet_id,trm_id,dtm_tran,dtm_zet,bon_id,usr_id,iznos,kusur,pay_1,"
                      "pay_2,pay_3,pay_4,pay_5,pay_6,card_id,items_no,ind_popust,ind_storno) values(:zet_id,:trm_id,"
                      ":dtm_tran,null,:bon_id,:usr_id,:iznos,0,:pay_1,:pay_2,:pay_3,:pay_4,:pay_5,:pay_6,:card_id,"
                      ":items_no,:ind_popust,:ind_storno)");
        query_.SetString("zet_id", ctx_.zets.CurrentDayId());
        query_.SetString("trm_id", ctx_.ini.TerminalNo());
        query_.SetString("dtm_tran", DateTime::Now().TranStamp());
        query_.SetInteger("bon_id", bon_.BonId());
        query_.SetString("usr_id", bon_.UsrId());
        query_.SetMoney("iznos", total);
        query_.SetInteger("items_no", items);
        query_.SetString("ind_popust", FlagText(popust));
        query_.SetString("ind_storno", FlagText(storno));
    }
    for (int i = 0; i < 6; ++i) query_.SetMoney("pay_" + std::to_string(i + 1), pay[i]);
    if (bon_.CardId().empty())
        query_.SetNull("card_id");
    else
        query_.SetString("card_id", bon_.CardId());
    query_.ExecSQL();
}

}  // namespace velbrin
