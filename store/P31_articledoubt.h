// The printer's article table changes before arts does: a stop between the two
// leaves one article in doubt. Every article command is written down durably
// (OtherDir/Article.pending) before the printer hears of it, so that the next
// start, or the link once its lost database answers again, settles that one
// article from the record and the printer's own answer about it, instead of
// taking the difference for one nobody can explain. The record also holds the
// stage of the article table's repair and of the deletion of every article,
// which resume where they stopped.
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
    // P define, C price, D delete, A stock added; Z the repair of the article
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
    // The last command written down; op '-' when there is none or it cannot be read.
    TArticleCommand Last() const;

    // The last single-article command, settled from the printer's answer about
    // its number: a define or price change the printer took is written into
    // arts, a delete it took is made in arts too. A record that the two tables
    // already agree on (the usual case: the command was finished) changes
    // nothing. True when arts was changed. Raises when the printer or the
    // database fails.
    bool SettleLast();
    // For the row owner begun by a run that stopped (after SettleLast): 1 when
    // it was carried out (its define is in arts, its stock shows added), 0 when
    // carrying it out now is right (it sent nothing, or what it sent is settled
    // or shows not taken), -1 when the printer's stock matches neither.
    int RowOutcome(const std::string& owner, const std::string& artId);

    std::string Path() const;

private:
    TFormConnection& connection_;
    TFormFP& fp_;
    TIniLink& ini_;
    TLogFile& linkLog_;
};

}  // namespace velbrin
