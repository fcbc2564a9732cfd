// TSaleItem: one sale line of a receipt, or one article of an article file. It
// reads the line from a row, makes the printer's sale text, sells or cancels the
// line on the printer and records it in curr_sales, and keeps the printer's
// article table and arts in step. Printer first, database second.
#pragma once

#include "app/P00_money.h"
#include "store/P00_query.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace velbrin {

struct TStoreContext;
class TBon;
class TDataPacket;
class TFormConnection;

// The statements a sale line runs, each on a query of its own that keeps its
// prepared statement from one line to the next. The receipt holds one set for
// all its lines; an article-file item makes its own.
struct TSaleStatements {
    explicit TSaleStatements(TFormConnection& connection);
    TSqlQuery pluOfArticle;  // plu_id of an art_id in arts
    TSqlQuery priceOfArticle;
    TSqlQuery insertSale;
    TSqlQuery markStorno;
    TSqlQuery findStorno;
    TSqlQuery maxPlu;
    TSqlQuery insertArticle;
    TSqlQuery updatePrice;
    TSqlQuery deleteArticle;
};

class TSaleItem {
public:
    // A receipt line from the current row of a curr_abc select, with checking.
    static std::unique_ptr<TSaleItem> FromReceiptRow(TStoreContext& ctx, TBon& bon, const TSqlQuery& row);
    // The uncancelled sale of curr_sales that a storno line of quantity qty (< 0)
    // cancels; "Exc-101 select - storno item not exist" when there is none.
    static std::unique_ptr<TSaleItem> FindSaleToStorno(TStoreContext& ctx, TBon& bon, const std::string& artId,
                                                       Money qty);
    // An article of an article file: row `row` of the packet, without checking.
    static std::unique_ptr<TSaleItem> FromArticleRow(TStoreContext& ctx, const TDataPacket& packet, std::size_t row);

    TSaleItem(TStoreContext& ctx, TBon* bon);
    ~TSaleItem();
    TSaleItem(const TSaleItem&) = delete;
    TSaleItem& operator=(const TSaleItem&) = delete;

    // Fills the item from a row; with checking, a quantity of 0 is refused with
    // message 55. A tax group the printer does not have is refused with message 60
    // in either case.
    void LoadFromRow(const TSqlQuery& row, bool check);
    void LoadFromRow(const TDataPacket& packet, std::size_t row, bool check);

    const std::string& ArtId() const { return artId_; }
    int64_t PluId() const { return pluId_; }
    Money Kolicina() const { return kolicina_; }
    Money Cena() const { return cena_; }
    Money Iznos() const { return iznos_; }
    Money PrcPopust() const { return prcPopust_; }
    const std::string& TaxId() const { return taxId_; }
    const std::string& PluNaziv() const { return pluNaziv_; }
    // The line's time from its row, or a new one (distinct within the receipt).
    const std::string& DtmTran() const;
    const std::string& FpCommand() const { return fpCommand_; }

    // The sale text of printer command 52: PLU "#" price, and "*" quantity when
    // it is not 1 or when the full form is configured ("UvekPunNaziv").
    void BuildCommand();
    void Sell();
    void Storno();
    // The line amount: each product cut to four decimals, then to the nearest
    // hundredth with halves upward.
    void ComputeAmount();
    void InsertSale();
    void MarkStorno();

    void DefineArticle();
    void UpdatePrice();
    void DeleteArticle();
    void AddQuantity();

    // The highest PLU in arts; 1 when there is none or it cannot be read.
    static int64_t MaxPlu(TStoreContext& ctx);
    static int64_t MaxPlu(TFormConnection& connection);
    static char TaxLetter(int group);
    // The article name as the printer gets it: quotes removed, blanks collapsed,
    // at most 28 characters.
    static std::string CleanName(const std::string& name);

    // The columns of one row, whatever holds it (a select or an exchange packet).
    class Row;

    // The request row an article-file item belongs to, written down with each
    // of its printer commands (see TArticleInDoubt).
    void SetRequestRow(const std::string& owner) { owner_ = owner; }

private:
    std::string owner_;
    // One article command to the printer, written down first (but a define) and
    // settled when its answer is unreadable.
    void ProgramArticle(char op, int64_t plu, const std::string& data);
    void Load(const Row& row, bool check);
    void CheckTaxGroup() const;
    int TaxGroup() const;
    // Runs an operation, passing its failure on with the article as context.
    template <class F>
    void WithContext(F&& operation);
    static int64_t MaxPlu(TSqlQuery& q);

    TStoreContext& ctx_;
    TBon* bon_ = nullptr;
    std::unique_ptr<TSaleStatements> ownStatements_;
    TSaleStatements* st_ = nullptr;
    std::string artId_;
    int64_t pluId_ = 0;
    Money kolicina_;
    Money cena_;
    Money iznos_;
    Money prcPopust_;
    mutable std::string dtmTran_;  // taken when first asked for
    std::string fpCommand_;
    std::string taxId_;
    std::string pluNaziv_;
    // The price arts holds for the article, read with its PLU, so that an
    // unchanged price costs no second look-up.
    bool artsPriceKnown_ = false;
    Money artsPrice_;
};

}  // namespace velbrin
