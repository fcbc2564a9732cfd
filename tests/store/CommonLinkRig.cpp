#include "CommonLinkRig.h"

#include "app/P00_util.h"
#include "store/P00_query.h"

#include <cstdlib>

namespace velbrin::test {

CommonLinkRig::CommonLinkRig(TFormConnection& connection, const std::string& dir, Printer printer)
    : registry(dir, dir + "/install")
{
    // Markers of parallel test programs must not meet in the machine's runtime directory.
    if (const char* old = std::getenv("VELBRIN_RUNTIME_DIR")) {
        oldRuntimeDir = old;
        hadRuntimeDir = true;
    }
    ::setenv("VELBRIN_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    ini = std::make_unique<TIniLink>();
    ini->WriteString("Osnovno", "TerminalNo", "000");
    ForceDirectories(ini->FromFpDir());
    std::string device = dir + "/no-printer";
    if (printer == Printer::Simulator) {
        sim = std::make_unique<sim::Fp550Simulator>(dir + "/fp550.state");
        device = sim->Start();
    }
    fpDef = std::make_unique<TFormFPDef>(std::make_unique<TPosixComPort>(device));
    fp = std::make_unique<TFormFP>(*fpDef, app);
    fp->SetLogPath(dir + "/FP550_log.txt");
    commonLink = std::make_unique<TFormCommonLink>(connection, *ini, *fp, messages, app, convert);
    commonLink->SetLogPath(dir + "/LINK_log.txt");
    zets = std::make_unique<TFormZets>(connection, *ini, *fp, *commonLink);
    commonLink->AttachZets(*zets);
}

CommonLinkRig::~CommonLinkRig()
{
    zets.reset();
    commonLink.reset();
    fp.reset();
    fpDef.reset();
    sim.reset();
    if (hadRuntimeDir)
        ::setenv("VELBRIN_RUNTIME_DIR", oldRuntimeDir.c_str(), 1);
    else
        ::unsetenv("VELBRIN_RUNTIME_DIR");
}

void CommonLinkRig::ProgramPrinterArticles(int first, int count)
{
    for (int plu = first; plu < first + count; ++plu)
        fp->ProgramArticle("PA" + std::to_string(plu) + ",1.00,0.000,Artikal " + std::to_string(plu));
}

void CommonLinkRig::InsertArts(TFormConnection& connection, int first, int count)
{
    TSqlQuery q(connection);
    q.SetSQL("insert into arts(art_id,tax_id,plu_id,plu_naziv,cena) values(:art,'A',:plu,:naziv,1)");
    for (int plu = first; plu < first + count; ++plu) {
        q.SetString("art", "ART" + std::to_string(plu));
        q.SetString("plu", std::to_string(plu));
        q.SetString("naziv", "Artikal " + std::to_string(plu));
        q.ExecSQL();
    }
}

void CommonLinkRig::SellOnPrinter(int plu)
{
    fp->OpenReceipt();
    const Money qty = Money::Parse("1");
    fp->SellItem(TFormFP::SaleData(plu, Money::Parse("1.00"), &qty));
    fp->AddPayment(TFormFP::PaymentData(1, Money::Parse("1.00")));
    fp->CloseReceipt();
}

}  // namespace velbrin::test
