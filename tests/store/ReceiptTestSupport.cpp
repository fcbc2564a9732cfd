#include "ReceiptTestSupport.h"

#include "app/P00_util.h"
#include "store/P00_query.h"

namespace velbrin::test {

void ReceiptTest::AbcRow(int seq, const std::string& artId, const std::string& taxId, const std::string& name,
                         const std::string& cena, const std::string& kolicina)
{
    TSqlQuery q(*rig.connection);
    q.SetSQL("insert into curr_abc(seq,art_id,tax_id,plu_naziv,cena,kolicina) "
             "values(:seq,:art_id,:tax_id,:plu_naziv,:cena,:kolicina)");
    q.SetInteger("seq", seq);
    q.SetString("art_id", artId);
    q.SetString("tax_id", taxId);
    q.SetString("plu_naziv", name);
    q.SetMoney("cena", Money::Parse(cena));
    q.SetMoney("kolicina", Money::Parse(kolicina));
    q.ExecSQL();
}

void ReceiptTest::AbcHeader(const std::string& fileName, const std::string& mark)
{
    AbcRow(0, "FileName", mark, fileName, "0", "0");
}

void ReceiptTest::Article(const std::string& artId, int plu, const std::string& cena, bool alsoPrinter, char tax)
{
    TSqlQuery q(*rig.connection);
    q.SetSQL("insert into arts(art_id,tax_id,plu_id,plu_naziv,cena,update_typ) "
             "values(:art_id,:tax_id,:plu_id,:plu_naziv,:cena,'N')");
    q.SetString("art_id", artId);
    q.SetString("tax_id", std::to_string(tax - 'A'));
    q.SetString("plu_id", std::to_string(plu));
    q.SetString("plu_naziv", "ART " + std::to_string(plu));
    q.SetMoney("cena", Money::Parse(cena));
    q.ExecSQL();
    if (alsoPrinter)
        rig.PrinterCommand(107, std::string("P") + tax + std::to_string(plu) + "," + Money::Parse(cena).Format(2) +
                                    ",0.000,ART " + std::to_string(plu));
}

std::unique_ptr<TSaleItem> ReceiptTest::Line(int seq)
{
    TSqlQuery q(*rig.connection);
    q.SetSQL("select * from curr_abc where seq = " + std::to_string(seq));
    q.Open();
    if (q.Eof()) throw LinkError("no curr_abc row " + std::to_string(seq));
    return TSaleItem::FromReceiptRow(*rig.store, *bon, q);
}

std::unique_ptr<TSaleItem> ReceiptTest::ArticleItem(const std::string& artId, const std::string& taxId,
                                                    const std::string& name, const std::string& cena,
                                                    const std::string& kolicina)
{
    packet.Clear();
    packet.AddField(TFieldDef::String("ART_ID", 40));
    packet.AddField(TFieldDef::String("TAX_ID", 4));
    packet.AddField(TFieldDef::String("PLU_NAZIV", 100));
    packet.AddField(TFieldDef::Fixed("CENA", 18, 4));
    packet.AddField(TFieldDef::Fixed("KOLICINA", 18, 4));
    const std::size_t row = packet.AppendRow();
    packet.SetValue(row, "ART_ID", artId);
    packet.SetValue(row, "TAX_ID", taxId);
    packet.SetValue(row, "PLU_NAZIV", name);
    packet.SetValue(row, "CENA", cena);
    packet.SetValue(row, "KOLICINA", kolicina);
    return TSaleItem::FromArticleRow(*rig.store, packet, row);
}

std::string ReceiptTest::Failure(const std::function<void()>& op)
{
    try {
        op();
    } catch (const LinkError& e) {
        return e.Text();
    }
    return "no error";
}

}  // namespace velbrin::test
