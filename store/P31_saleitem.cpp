#include "store/P31_saleitem.h"

#include "app/P00_appservices.h"

#include "app/P00_datetime.h"
#include "app/P00_inilink.h"
#include "app/P00_msg.h"
#include "app/P00_util.h"
#include "closing/P32_zets.h"
#include "formats/P01_datapacket.h"
#include "printer/P00_fp.h"
#include "store/P31_articledoubt.h"
#include "store/P31_bon.h"
#include "store/P31_storecontext.h"

namespace velbrin {

namespace {

constexpr std::size_t kNameLength = 28;

const char* const kInsertSale =
    "insert into curr_sales(zet_id,trm_id,dtm_tran,dtm_zet,bon_id,usr_id,art_id,tax_id,plu_naziv,kolicina,cena,"
    "iznos,prc_popust,ind_storno,fp_command) values(:zet_id,:trm_id,:dtm_tran,null,:bon_id,:usr_id,:art_id,"
    ":tax_id,:plu_naziv,:kolicina,:cena,:iznos,:prc_popust,'N',:fp_command)";

}  // namespace

TSaleStatements::TSaleStatements(TFormConnection& connection)
    : pluOfArticle(connection),
      priceOfArticle(connection),
      insertSale(connection),
      markStorno(connection),
      findStorno(connection),
      maxPlu(connection),
      insertArticle(connection),
      updatePrice(connection),
      deleteArticle(connection)
{
}

class TSaleItem::Row {
public:
    virtual ~Row() = default;
    virtual bool Has(const std::string& column) const = 0;
    // The value of a column the row must have (raising otherwise).
    virtual std::string Text(const std::string& column) const = 0;
    virtual Money Amount(const std::string& column) const = 0;
};

namespace {

class QueryRow : public TSaleItem::Row {
public:
    explicit QueryRow(const TSqlQuery& q) : q_(q) {}
    bool Has(const std::string& column) const override { return q_.FieldIndex(column) >= 0; }
    std::string Text(const std::string& column) const override { return q_.AsString(column); }
    Money Amount(const std::string& column) const override { return q_.AsMoney(column); }

private:
    const TSqlQuery& q_;
};

class PacketRow : public TSaleItem::Row {
public:
    PacketRow(const TDataPacket& p, std::size_t row) : p_(p), row_(row) {}
    bool Has(const std::string& column) const override { return p_.FindField(column) >= 0; }
    std::string Text(const std::string& column) const override { return p_.Value(row_, p_.FieldIndex(column)); }
    Money Amount(const std::string& column) const override
    {
        p_.FieldIndex(column);  // a missing column raises
        return p_.MoneyValue(row_, column);
    }

private:
    const TDataPacket& p_;
    std::size_t row_;
};

}  // namespace

TSaleItem::TSaleItem(TStoreContext& ctx, TBon* bon) : ctx_(ctx), bon_(bon)
{
    if (bon_) {
        st_ = &bon_->SaleStatements();
    } else {
        ownStatements_ = std::make_unique<TSaleStatements>(ctx_.connection);
        st_ = ownStatements_.get();
    }
}

TSaleItem::~TSaleItem() = default;

std::unique_ptr<TSaleItem> TSaleItem::FromReceiptRow(TStoreContext& ctx, TBon& bon, const TSqlQuery& row)
{
    auto item = std::make_unique<TSaleItem>(ctx, &bon);
    item->LoadFromRow(row, true);
    return item;
}

std::unique_ptr<TSaleItem> TSaleItem::FindSaleToStorno(TStoreContext& ctx, TBon& bon, const std::string& artId,
                                                       Money qty)
{
    auto item = std::make_unique<TSaleItem>(ctx, &bon);
    TSqlQuery& q = item->st_->findStorno;
    q.SetSQL("select * from curr_sales where art_id = :art_id and kolicina = :kolicina and ind_storno='N'");
    q.SetString("art_id", artId);
    q.SetMoney("kolicina", qty.Abs());
    q.Open();
    try {
        if (q.Eof()) throw LinkError("Exc-101 select - storno item not exist");
        item->LoadFromRow(q, true);
    } catch (...) {
        q.Close();
        throw;
    }
    q.Close();
    return item;
}

std::unique_ptr<TSaleItem> TSaleItem::FromArticleRow(TStoreContext& ctx, const TDataPacket& packet, std::size_t row)
{
    auto item = std::make_unique<TSaleItem>(ctx, nullptr);
    item->LoadFromRow(packet, row, false);
    return item;
}

void TSaleItem::LoadFromRow(const TSqlQuery& row, bool check) { Load(QueryRow(row), check); }

void TSaleItem::LoadFromRow(const TDataPacket& packet, std::size_t row, bool check)
{
    Load(PacketRow(packet, row), check);
}

void TSaleItem::Load(const Row& row, bool check)
{
    artId_ = row.Text("art_id");
    cena_ = row.Amount("cena");
    kolicina_ = row.Amount("kolicina");
    if (check && kolicina_ == Money()) throw LinkError(ctx_.msg.GetMsg(55));
    if (row.Has("tax_id")) {
        taxId_ = row.Text("tax_id");
        CheckTaxGroup();
    }
    if (row.Has("plu_naziv")) pluNaziv_ = CleanName(row.Text("plu_naziv"));
    if (row.Has("dtm_tran")) dtmTran_ = row.Text("dtm_tran");
    if (row.Has("fp_command")) fpCommand_ = row.Text("fp_command");

    TSqlQuery& q = st_->pluOfArticle;
    q.SetSQL("select plu_id, cena from arts where art_id = :art_id");
    q.SetString("art_id", artId_);
    q.Open();
    long long plu = 0;
    const bool found = !q.Eof() && TryStrToInt(q.AsString("plu_id"), plu);
    artsPriceKnown_ = !q.Eof();
    artsPrice_ = artsPriceKnown_ ? q.AsMoney("cena") : Money();
    q.Close();
    pluId_ = found ? plu : 0;
}

const std::string& TSaleItem::DtmTran() const
{
    // A curr_abc row has no time: the line gets one when it is first needed (its
    // sale), since its time is what names it when it is cancelled later. Lines
    // only checked before the receipt opens take none: a distinct stamp may mean
    // waiting for the clock's next millisecond.
    if (dtmTran_.empty()) dtmTran_ = bon_ ? bon_->NextTranStamp() : DateTime::Now().TranStamp();
    return dtmTran_;
}

int TSaleItem::TaxGroup() const { return static_cast<int>(StrToInt(taxId_)); }

void TSaleItem::CheckTaxGroup() const
{
    const int group = TaxGroup();
    const std::string& flags = ctx_.fp.TaxGroupFlags();
    // A group the printer's flags do not cover (negative, or past their end) is
    // refused like one whose flag is "0": the printer has not said it exists.
    if (group < 0 || static_cast<std::size_t>(group) >= flags.size() || flags[group] == '0')
        throw LinkError(ctx_.msg.GetMsg(60));
}

std::string TSaleItem::CleanName(const std::string& name)
{
    return LeftStr(CollapseSpaces(StripQuotes(name)), kNameLength);
}

char TSaleItem::TaxLetter(int group) { return group >= 0 && group <= 7 ? static_cast<char>('A' + group) : 'E'; }

template <class F>
void TSaleItem::WithContext(F&& operation)
{
    try {
        operation();
    } catch (const LinkError& e) {
        throw LinkError("Artikal: " + artId_ + "\r\n" + e.Text());
    }
}

void TSaleItem::BuildCommand()
{
    if (kolicina_ < Money()) throw LinkError("Kolicina < 0 - sale or storno");
    const Money quantity = kolicina_.Abs();
    const bool withQuantity = quantity != Money::FromUnits(1) || ctx_.ini.ReadBool("Osnovno", "UvekPunNaziv");
    fpCommand_ = TFormFP::SaleData(pluId_, cena_, withQuantity ? &quantity : nullptr);
}

void TSaleItem::Sell()
{
    WithContext([this] {
        BuildCommand();
        ComputeAmount();
        try {
            ctx_.fp.SellItem(fpCommand_);
        } catch (const LinkError&) {
            // Sold behind a garbled answer: the receipt's amount has grown by the line.
            if (!bon_ || !bon_->CarriedOutBehindUnreadAnswer(false, bon_->LinesSum() + iznos_, Money::FromRaw(-1)))
                throw;
        }
        InsertSale();
    });
}

void TSaleItem::Storno()
{
    WithContext([this] {
        if (fpCommand_.empty()) BuildCommand();
        // The printer's void repeats the sale text with a leading "-".
        try {
            ctx_.fp.VoidItem(fpCommand_);
        } catch (const LinkError&) {
            // Voided behind a garbled answer: the receipt's amount has shrunk by the line.
            ComputeAmount();
            if (!bon_ || iznos_ <= Money() ||
                !bon_->CarriedOutBehindUnreadAnswer(false, bon_->LinesSum() - iznos_, Money::FromRaw(-1)))
                throw;
        }
        fpCommand_ = "-" + fpCommand_;
        MarkStorno();
    });
}

void TSaleItem::ComputeAmount()
{
    Money a = kolicina_.MulTrunc(cena_);
    if (prcPopust_ != Money()) a = a.MulTrunc(Money::FromUnits(1) + Money::FromRaw(prcPopust_.Raw() / 100));
    a += Money::FromRaw(50);  // + 0.005
    iznos_ = Money::FromRaw(a.Raw() / 100 * 100);
}

void TSaleItem::InsertSale()
{
    if (!bon_) throw LinkError("Exc-100 insert - sale without receipt");
    const std::string zetId = ctx_.zets.CurrentDayId();
    TSqlQuery& q = st_->insertSale;
    q.SetSQL(kInsertSale);
    q.SetString("zet_id", zetId);
    q.SetString("trm_id", ctx_.ini.TerminalNo());
    q.SetString("dtm_tran", DtmTran());
    q.SetInteger("bon_id", bon_->BonId());
    q.SetString("usr_id", bon_->UsrId());
    q.SetString("art_id", artId_);
    q.SetString("tax_id", taxId_);
    q.SetString("plu_naziv", pluNaziv_);
    q.SetMoney("kolicina", kolicina_);
    q.SetMoney("cena", cena_);
    q.SetMoney("iznos", iznos_);
    q.SetMoney("prc_popust", prcPopust_);
    q.SetString("fp_command", fpCommand_);
    q.ExecSQL();
}

void TSaleItem::MarkStorno()
{
    TSqlQuery& q = st_->markStorno;
    q.SetSQL("update curr_sales set ind_storno='D' where dtm_tran = :dtm_tran");
    q.SetString("dtm_tran", DtmTran());
    q.ExecSQL();
}

int64_t TSaleItem::MaxPlu(TSqlQuery& q)
{
    try {
        q.SetSQL("select max(cast(plu_id as integer)) maxPlu from arts");
        q.Open();
        const bool none = q.Eof() || q.IsNull("maxPlu");
        const int64_t value = none ? 1 : q.AsInteger("maxPlu");
        q.Close();
        return value;
    } catch (const LinkError&) {
        q.Close();
        return 1;
    }
}

int64_t TSaleItem::MaxPlu(TStoreContext& ctx) { return MaxPlu(ctx.connection); }

int64_t TSaleItem::MaxPlu(TFormConnection& connection)
{
    TSqlQuery q(connection);
    return MaxPlu(q);
}

void TSaleItem::ProgramArticle(char op, int64_t plu, const std::string& data)
{
    TArticleCommand c;
    c.op = op;
    c.plu = plu;
    c.artId = artId_;
    c.taxId = taxId_;
    c.name = pluNaziv_;
    c.price = cena_;
    c.quantity = kolicina_;
    c.owner = owner_;
    // A define needs no record: its number, the next after arts's highest, tells.
    if (op == 'A') c.stockBefore = ctx_.fp.ReadArticle(plu).quantity;
    if (op != 'P') TArticleInDoubt(ctx_).Record(c);
    try {
        ctx_.fp.ProgramArticle(data);
    } catch (const LinkError&) {
        if (!ctx_.fp.AnswerUnreadable() || ctx_.app.Terminated()) throw;
        // Stock is never sent twice: the printer's own stock tells whether it took it.
        if (op == 'A') {
            if (ctx_.fp.ReadArticle(plu).quantity != c.stockBefore + c.quantity) throw;
            return;
        }
        // A define, price change or delete whose answer came back unreadable is
        // sent once more as a new command: a price change is the same again, and
        // a define or delete the printer already carried out is refused now
        // (the number is taken, or gone), which tells that it was.
        try {
            ctx_.fp.ProgramArticle(data);
        } catch (const LinkError&) {
            if (op == 'C' || ctx_.fp.AnswerUnreadable() || ctx_.app.Terminated()) throw;
        }
    }
}

void TSaleItem::DefineArticle()
{
    WithContext([this] {
        const int64_t plu = MaxPlu(st_->maxPlu) + 1;
        ProgramArticle('P', plu,
                       std::string("P") + TaxLetter(TaxGroup()) + std::to_string(plu) + "," + cena_.Format(2) + "," +
                           kolicina_.Format(3) + "," + pluNaziv_);
        TSqlQuery& q = st_->insertArticle;
        q.SetSQL("insert into arts(art_id,tax_id,plu_id,plu_naziv,cena,update_typ) "
                 "values(:art_id,:tax_id,:plu_id,:plu_naziv,:cena,'N')");
        q.SetString("art_id", artId_);
        q.SetString("tax_id", taxId_);
        q.SetString("plu_id", std::to_string(plu));
        q.SetString("plu_naziv", pluNaziv_);
        q.SetMoney("cena", cena_);
        q.ExecSQL();
        pluId_ = plu;
        artsPriceKnown_ = true;
        artsPrice_ = cena_;
    });
}

void TSaleItem::UpdatePrice()
{
    WithContext([this] {
        if (!artsPriceKnown_) {
            TSqlQuery& q = st_->priceOfArticle;
            q.SetSQL("select cena from arts where art_id = :art_id");
            q.SetString("art_id", artId_);
            q.Open();
            artsPriceKnown_ = !q.Eof();
            artsPrice_ = artsPriceKnown_ ? q.AsMoney("cena") : Money();
            q.Close();
        }
        if (artsPriceKnown_ && artsPrice_ == cena_) return;
        ProgramArticle('C', pluId_, "C" + std::to_string(pluId_) + "," + cena_.Format(2));
        TSqlQuery& u = st_->updatePrice;
        u.SetSQL("update arts set cena = :cena where art_id = :art_id");
        u.SetMoney("cena", cena_);
        u.SetString("art_id", artId_);
        u.ExecSQL();
        artsPriceKnown_ = true;
        artsPrice_ = cena_;
    });
}

void TSaleItem::DeleteArticle()
{
    if (pluId_ == 0) return;
    WithContext([this] {
        ProgramArticle('D', pluId_, "D" + std::to_string(pluId_));
        TSqlQuery& q = st_->deleteArticle;
        q.SetSQL("delete from arts where plu_id = :plu_id");
        q.SetString("plu_id", std::to_string(pluId_));
        q.ExecSQL();
        pluId_ = 0;
        artsPriceKnown_ = false;
    });
}

void TSaleItem::AddQuantity()
{
    if (pluId_ == 0) return;
    WithContext([this] { ProgramArticle('A', pluId_, "A" + std::to_string(pluId_) + "," + kolicina_.Format(3)); });
}

}  // namespace velbrin
