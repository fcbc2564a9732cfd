// A link installation with one receipt object, and helpers that put receipt
// lines, articles and printer receipts in place for the store's tests.
#pragma once

#include "formats/P01_datapacket.h"
#include "store/P31_bon.h"
#include "support/LinkRig.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace velbrin::test {

class ReceiptTest : public ::testing::Test {
protected:
    ReceiptTest() : bon(std::make_unique<TBon>(*rig.store)) {}

    // One curr_abc row; amounts as decimal text.
    void AbcRow(int seq, const std::string& artId, const std::string& taxId, const std::string& name,
                const std::string& cena, const std::string& kolicina);
    // The header row (seq 0) with the packet name and tax_id "0" or "S".
    void AbcHeader(const std::string& fileName, const std::string& mark = "0");
    // An arts row as if the article had been programmed earlier (the printer too
    // when alsoPrinter is set).
    void Article(const std::string& artId, int plu, const std::string& cena, bool alsoPrinter = true,
                 char tax = 'B');
    // The item of curr_abc row seq, built as the receipt intake builds it.
    std::unique_ptr<TSaleItem> Line(int seq);
    // An article item from a one-row packet (article files).
    std::unique_ptr<TSaleItem> ArticleItem(const std::string& artId, const std::string& taxId,
                                           const std::string& name, const std::string& cena,
                                           const std::string& kolicina);
    // The text of the LinkError that op raises, or "no error".
    static std::string Failure(const std::function<void()>& op);
    // A new program start: a fresh receipt object on the same database and printer.
    void Restart() { bon = std::make_unique<TBon>(*rig.store); }

    LinkRig rig;
    std::unique_ptr<TBon> bon;
    TDataPacket packet;
};

}  // namespace velbrin::test
