// The printer's article table changes before arts does: a stop between the two
// leaves one article in doubt. A define always takes the number after the
// highest in arts, so the printer's answer about that number tells of a define
// in doubt; every other article command (price, delete, stock) is written down
// durably (OtherDir/Article.pending) before the printer hears of it. The next
// start, or the link once its lost database answers again, settles that one
// article from the printer's own answer about it, instead of taking the
// difference for one nobody can explain. The record also holds the stage of the
// article table's repair and of the deletion of every article, which resume
// where they stopped.
#pragma once

#include "app/P00_money.h"

#include <cstdint>
#include <string>

namespace velbrin {

class TFormConnection;
class TFormFP;
class TIniLink;
class TLogFile;
struct TStoreContext;

struct TArticleCommand {
    // C price, D delete, A stock added (a define needs no record); Z the repair of the article
    // table (its day closing not yet known to be done), X every article being
    // deleted; '-' nothing in doubt.
    char op = '-';
    int64_t plu = 0;
    std::string artId;
    std::string taxId;
    std::string name;
    Money price;
    Money quantity;
    // Stock the printer held before an "A" (what it holds after tells whether it took it).
    Money stockBefore;
    // The request row the command belongs to (empty for a receipt's lines).
    std::string owner;
};

class TArticleInDoubt {
public:
    TArticleInDoubt(TFormConnection& connection, TFormFP& fp, TIniLink& ini, TLogFile& linkLog);
    explicit TArticleInDoubt(TStoreContext& ctx);

    // Raises LinkError when the record cannot be written: the command must then
    // not be sent.
    void Record(const TArticleCommand& command);
    void Clear() { Record(TArticleCommand{}); }
    // The last command written down (a stock command is kept apart, for
    // RowOutcome); op '-' when there is none or it cannot be read.
    TArticleCommand Last() const;

    // The article commands a stop may have cut off between the printer and arts,
    // settled from the printer's answer about that one article: a define the
    // printer took without its row is deleted again (its request defines it
    // anew), a price change it took is written into arts, a delete it took is
    // made in arts too. A record the two tables already agree on (the usual
    // case: the command was finished) changes nothing. True when a table was
    // changed. Raises when the printer or the database fails.
    bool SettleLast();
    // For the row owner begun by a run that stopped (after SettleLast): 1 when
    // its stock shows added, 0 when carrying it out now is right (it sent
    // nothing, or what it sent is settled or shows not taken), -1 when the
    // printer's stock matches neither.
    int RowOutcome(const std::string& owner, const std::string& artId);

    std::string Path() const;
    std::string StockPath() const;

private:
    TArticleCommand Read(const std::string& path) const;
    bool SettleDefine();
    TFormConnection& connection_;
    TFormFP& fp_;
    TIniLink& ini_;
    TLogFile& linkLog_;
};

}  // namespace velbrin
