// TBon: settling the receipt a stopped run, or a lost database, left half done,
// from the printer's transaction state and what the database holds.
#include "store/P31_bon.h"

#include "app/P00_log.h"
#include "app/P00_util.h"
#include "printer/P00_fp.h"
#include "store/P31_payitem.h"
#include "store/P31_saleitem.h"
#include "store/P31_storecontext.h"

namespace velbrin {

namespace {

bool IsEndRow(const std::string& artId) { return UpperCase(Trim(artId)) == "KRAJBONA"; }

}  // namespace

bool TBon::StoreLineTakenByPrinter(int printerItems, Money printerAmount)
{
    // Each receipt row the database carried out was one item on the printer: a
    // sale is a row of curr_sales, a storno marks one of them cancelled.
    query_.SetSQL("select count(*) cnt, coalesce(sum(case when ind_storno = 'D' then 1 else 0 end), 0) voided "
                  "from curr_sales");
    query_.Open();
    const int64_t done = query_.AsInteger("cnt") + query_.AsInteger("voided");
    query_.Close();
    // The printer stops at the first failure: one row at most is missing.
    if (printerItems != done + 1) return false;
    TSqlQuery rows(ctx_.connection);
    rows.SetSQL("select * from curr_abc where seq > 0 order by seq");
    rows.Open();
    std::unique_ptr<TSaleItem> row;
    try {
        for (int64_t index = 0; !rows.Eof() && !IsEndRow(rows.AsString("art_id")); rows.Next(), ++index) {
            if (index < done) continue;
            row = TSaleItem::FromReceiptRow(ctx_, *this, rows);
            break;
        }
    } catch (...) {
        rows.Close();
        throw;
    }
    rows.Close();
    if (!row) return false;
    // The printer's amount must show that very row taken, or nothing is stored.
    const Money sum = LinesSum();
    if (row->Kolicina() > Money()) {
        row->BuildCommand();
        row->ComputeAmount();
        if (printerAmount != sum + row->Iznos()) return false;
        row->InsertSale();
    } else {
        std::unique_ptr<TSaleItem> sale = TSaleItem::FindSaleToStorno(ctx_, *this, row->ArtId(), row->Kolicina());
        sale->ComputeAmount();
        if (printerAmount != sum - sale->Iznos()) return false;
        sale->MarkStorno();
    }
    ctx_.linkLog.Write(std::to_string(bonId_) + " the line " + Trim(row->ArtId()) +
                       " the printer took before its record was stored is stored now");
    return true;
}

void TBon::Recover()
{
    if (!AbcIsEmpty()) ReadTrailer();
    const int state = ctx_.fp.ReadTransactionState();
    const Money printerAmount = ctx_.fp.ReceiptAmount();
    const Money printerPaid = ctx_.fp.ReceiptPaidAmount();
    const int printerItems = ctx_.fp.ReceiptItemCount();
    // A step that fails is passed over, unless the database is gone: then the
    // printer is driven no further, and the settling is done again once it answers.
    auto ignoring = [this](auto&& step) {
        try {
            step();
        } catch (const LinkError&) {
            if (DbLost()) throw;
        }
    };
    switch (state) {
    case 1:
        LoadLastBonId();
        ReadHeader();
        break;
    case 2: {
        LoadLastBonId();
        ReadHeader();
        if (AbcIsEmpty() || !AbcWasSent()) break;
        // The printer completed the receipt of curr_abc; only the archiving is missing.
        ++bonId_;
        const Money stored = PaidSum();
        // A payment the printer took but the database never got is stored, so
        // that the archive's payments add up to the printer's.
        if (stored < printerPaid) TPayItem(ctx_, *this, printerPaid - stored, 1).StorePayment();
        if (stored != printerAmount) {
            paid_ = printerPaid;
            StoreChange();
        }
        ArchiveReceipt(true);
        break;
    }
    case 3:
        LoadLastBonId();
        ++bonId_;
        ReadHeader();
        // Every line the printer voids is on record with the receipt.
        ignoring([&] { StoreLineTakenByPrinter(printerItems, printerAmount); });
        ignoring([this] { StornoAll(); });
        ignoring([this] { PayWholeTotal(); });
        ignoring([this] { CloseAndArchive(false); });
        break;
    case 4:
        LoadLastBonId();
        ++bonId_;
        ReadHeader();
        paid_ = PaidSum();
        if (paid_ != printerPaid) {
            TPayItem(ctx_, *this, printerPaid - paid_, 1).StorePayment();
            paid_ = printerPaid;
        }
        ignoring([this] { PayWholeTotal(); });
        ignoring([this] { CloseAndArchive(true); });
        break;
    default:
        break;  // state unknown: the receipt number stays as it was
    }
}

}  // namespace velbrin
