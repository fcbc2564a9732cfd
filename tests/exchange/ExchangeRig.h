// The exchange engine on a whole link installation (LinkRig: database, printer
// simulator on a pty, the receipt store), with helpers to write receipt files in
// every encoding, read the answers and compare the books of the database with
// the simulator's journal.
#pragma once

#include "exchange/P30_lnkwork.h"
#include "formats/P00_convert.h"
#include "support/LinkRig.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace velbrin::test {

// One row of a receipt packet, values as the cash register writes them.
struct AbcRow {
    std::string art, tax, name, cena, kolicina;
};

AbcRow Line(const std::string& art, const std::string& cena, const std::string& kolicina = "1",
            const std::string& tax = "1");
AbcRow EndRow(const std::string& key = "KRAJBONA");
AbcRow PayRow(int n, const std::string& amount);
AbcRow TrailerRow(const std::string& key, const std::string& text);
// n sale lines of article art at the price, the end row, no trailer.
std::vector<AbcRow> Lines(int n, const std::string& art, const std::string& cena);

// The receipt as a zvx packet, and in each foreign encoding.
std::string AbcPacket(const std::vector<AbcRow>& rows);
std::string AbcCsv(const std::vector<AbcRow>& rows);
std::string AbcTxt(const std::vector<AbcRow>& rows);
void WriteAbcDbf(const std::vector<AbcRow>& rows, const std::string& path);

// Totals of what the simulator printed.
struct JournalBooks {
    int opened = 0, closed = 0, sales = 0, voids = 0;
    Money closedTotal;
    std::vector<std::string> payments;  // "type amount" of every PAY line, in order
};
JournalBooks ReadBooks(const std::vector<std::string>& journal);

class ExchangeTest : public ::testing::Test {
protected:
    // The installation, the engine and its receipt object; nothing recovered yet.
    void Start(const LinkRigOptions& options = {});
    // A new run of the link on the same database and printer: new port, printer,
    // engine and receipt object, the start-up recovery run.
    // A control line for the simulator applied after its faults were cleared, so
    // that the start meets it.
    void Restart(const std::string& printerFault = "");
    void TearDown() override;

    std::string ToFp(const std::string& name) const;
    std::string FromFp(const std::string& name) const;
    void Drop(const std::string& name, const std::string& bytes);
    void DropReceipt(const std::string& name, const std::vector<AbcRow>& rows);
    // Content of an answer in FromFpDir; "<none>" when there is none.
    std::string Answer(const std::string& name) const;
    // Names in a directory, sorted.
    static std::vector<std::string> Names(const std::string& dir);
    std::string Msg(int n) const { return rig->msg.GetMsg(n); }
    // ToFpDir made read-only for the link (a read-only bind mount over it) until
    // the returned object goes; null where it cannot be made (not root).
    struct ReadOnlyView {
        std::string dir;
        ~ReadOnlyView();
    };
    std::unique_ptr<ReadOnlyView> ReadOnlyToFp() const;

    // Every receipt the printer opened was closed once, and the archive of the
    // database holds exactly what the printer closed: receipts, payments, totals.
    void ExpectBooksBalance();

    std::unique_ptr<LinkRig> rig;
    TFormConvert convert;
    std::unique_ptr<TFormLnkWork> work;
};

}  // namespace velbrin::test
