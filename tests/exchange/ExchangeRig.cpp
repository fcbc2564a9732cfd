#include "ExchangeRig.h"

#include <sys/mount.h>

#include "app/P00_util.h"
#include "store/P31_bon.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace velbrin::test {

AbcRow Line(const std::string& art, const std::string& cena, const std::string& kolicina, const std::string& tax) {
    return {art, tax, "ART " + art, cena, kolicina};
}

AbcRow EndRow(const std::string& key) { return {key, "0", "-", "0", "0"}; }

AbcRow PayRow(int n, const std::string& amount) { return {"PAY_" + std::to_string(n), "0", "-", amount, "0"}; }

AbcRow TrailerRow(const std::string& key, const std::string& text) { return {key, "0", text, "0", "0"}; }

std::vector<AbcRow> Lines(int n, const std::string& art, const std::string& cena) {
    std::vector<AbcRow> rows(static_cast<std::size_t>(n), Line(art, cena));
    rows.push_back(EndRow());
    return rows;
}

namespace {

void FillPacket(TDataPacket& p, const std::vector<AbcRow>& rows) {
    p.LoadFromText(TFormConvert::EmptyPacket("ABC_"));
    for (const AbcRow& r : rows) {
        const std::size_t i = p.AppendRow();
        p.SetValue(i, "ART_ID", r.art);
        p.SetValue(i, "TAX_ID", r.tax);
        p.SetValue(i, "PLU_NAZIV", r.name);
        p.SetValue(i, "CENA", r.cena);
        p.SetValue(i, "KOLICINA", r.kolicina);
    }
}

}  // namespace

std::string AbcPacket(const std::vector<AbcRow>& rows) {
    TDataPacket p;
    FillPacket(p, rows);
    return p.SaveToText();
}

std::string AbcCsv(const std::vector<AbcRow>& rows) {
    TFormConvert c;
    FillPacket(c.CDS, rows);
    return c.CsvText();
}

std::string AbcTxt(const std::vector<AbcRow>& rows) {
    TFormConvert c;
    FillPacket(c.CDS, rows);
    return c.TxtText();
}

void WriteAbcDbf(const std::vector<AbcRow>& rows, const std::string& path) {
    TFormConvert c;
    FillPacket(c.CDS, rows);
    c.WriteDbfFile(path);
}

JournalBooks ReadBooks(const std::vector<std::string>& journal) {
    JournalBooks b;
    for (const std::string& line : journal) {
        std::istringstream in(line);
        std::string word;
        in >> word;
        if (word == "OPEN") {
            ++b.opened;
        } else if (word == "SALE") {
            ++b.sales;
        } else if (word == "VOID") {
            ++b.voids;
        } else if (word == "PAY") {
            std::string number, type, amount;
            in >> number >> type >> amount;
            b.payments.push_back(type + " " + amount);
        } else if (word == "CLOSE") {
            std::string number, total;
            in >> number >> total;
            ++b.closed;
            b.closedTotal += Money::Parse(total);
        }
    }
    return b;
}

void ExchangeTest::Start(const LinkRigOptions& options) {
    rig = std::make_unique<LinkRig>(options);
    // Unforced writes: a test has no power cut to survive, and a synchronous disk
    // write per committed statement would make the 250-line receipts take minutes.
    rig->store.reset();
    rig->zets.reset();
    rig->commonLink.reset();
    rig->connection.reset();
    const std::string gfix = "gfix -write async -user SYSDBA -password " VELBRIN_TEST_DB_PASSWORD " '" +
                             rig->ini->DbPath() + "'";
    ASSERT_EQ(std::system(gfix.c_str()), 0) << gfix;
    rig->connection = std::make_unique<TFormConnection>(rig->ini->DbPath());
    rig->RebuildNeighbours();
    work = std::make_unique<TFormLnkWork>(*rig->store, convert, *rig->commonLink);
    work->CreateReceipt();
}

void ExchangeTest::Restart(const std::string& printerFault) {
    work.reset();
    rig->store.reset();
    rig->zets.reset();
    rig->fp.reset();
    rig->fpDef.reset();
    rig->app = FakeAppServices{};
    rig->sim->Control("reset");
    if (!printerFault.empty()) rig->sim->Control(printerFault);
    rig->fpDef = std::make_unique<TFormFPDef>(*rig->ini);
    rig->fp = std::make_unique<TFormFP>(*rig->fpDef, rig->app);
    rig->fp->SetLogPath(JoinPath(rig->ini->LogsDir(), "FP550_log.txt"));
    rig->fp->SetTaxGroupFlags(rig->fp->ReadTaxGroups());
    rig->RebuildNeighbours();
    work = std::make_unique<TFormLnkWork>(*rig->store, convert, *rig->commonLink);
    work->CreateReceipt();
    // As the program's start: the article table first, then the exchange.
    rig->commonLink->SyncArticles();
    work->RecoverExchange();
}

ExchangeTest::ReadOnlyView::~ReadOnlyView() { ::umount(dir.c_str()); }

std::unique_ptr<ExchangeTest::ReadOnlyView> ExchangeTest::ReadOnlyToFp() const {
    const std::string to = rig->ini->ToFpDir();
    if (::mount(to.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0) return nullptr;
    auto view = std::make_unique<ReadOnlyView>();
    view->dir = to;  // unmounted when the view goes, also when the remount fails
    if (::mount(nullptr, to.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) return nullptr;
    return view;
}

void ExchangeTest::TearDown() {
    work.reset();
    rig.reset();
}

std::string ExchangeTest::ToFp(const std::string& name) const { return JoinPath(rig->ini->ToFpDir(), name); }

std::string ExchangeTest::FromFp(const std::string& name) const { return JoinPath(rig->ini->FromFpDir(), name); }

void ExchangeTest::Drop(const std::string& name, const std::string& bytes) { WriteWholeFile(ToFp(name), bytes); }

void ExchangeTest::DropReceipt(const std::string& name, const std::vector<AbcRow>& rows) {
    Drop(name, AbcPacket(rows));
}

std::string ExchangeTest::Answer(const std::string& name) const {
    const std::string path = FromFp(name);
    return FileExists(path) ? ReadWholeFile(path) : std::string("<none>");
}

std::vector<std::string> ExchangeTest::Names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void ExchangeTest::ExpectBooksBalance() {
    const JournalBooks printed = ReadBooks(rig->Journal());
    EXPECT_EQ(printed.opened, printed.closed) << "a receipt was left open on the printer";
    EXPECT_EQ(rig->ScalarInt("select count(*) from payments"), printed.closed)
        << "every closed receipt is archived once";
    EXPECT_EQ(rig->ScalarInt("select count(distinct bon_id) from payments"), printed.closed);
    EXPECT_EQ(rig->ScalarMoney("select coalesce(sum(iznos), 0) from payments"), printed.closedTotal);
    EXPECT_EQ(rig->ScalarMoney("select coalesce(sum(iznos), 0) from sales where ind_storno = 'N'"),
              printed.closedTotal);
    EXPECT_EQ(rig->ScalarInt("select count(*) from curr_sales"), 0);
    EXPECT_EQ(rig->ScalarInt("select count(*) from curr_payments"), 0);
}

}  // namespace velbrin::test
