// TPayItem: one payment of one kind on the open fiscal receipt. It announces the
// payment on the printer and adds it to the receipt's payment record in
// curr_payments, which the first payment of a receipt creates.
#pragma once

#include "app/P00_money.h"
#include "store/P00_query.h"

namespace velbrin {

struct TStoreContext;
class TBon;

class TPayItem {
public:
    // kind 1..4: cash "P", "D", card "C", "N"; its amount goes into pay_<kind>.
    TPayItem(TStoreContext& ctx, TBon& bon, Money amount, int kind);

    Money Amount() const { return amount_; }
    int Kind() const { return kind_; }

    // Printer (display cleared, command 53), then StorePayment, then the receipt's
    // paid sum. A printer failure changes nothing in the database.
    void Pay();
    // The payment into curr_payments only: added to the row, or the row of the
    // receipt inserted with the printer's total, the line count and indicators.
    void StorePayment();

private:
    TStoreContext& ctx_;
    TBon& bon_;
    TSqlQuery query_;
    Money amount_;
    int kind_;
};

}  // namespace velbrin
