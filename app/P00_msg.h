// The numbered operator messages in Serbian and English (Windows-1250 text).
#pragma once

#include <string>
#include <vector>

namespace velbrin {

// Messages of the answer outbox: answers waiting, requests that cannot be
// removed, no place to write answers down.
constexpr int kMsgAnswersWait = 90;
constexpr int kMsgCannotRemoveRequests = 91;
constexpr int kMsgOutboxFull = 92;
// A non-fiscal text of a run that stopped, answered at the next start.
constexpr int kMsgTextDropped = 93;
// One of several receipts found waiting at start, none of them taken in yet.
constexpr int kMsgReceiptNotTakenAtStart = 94;
// The database stopped answering while the link worked ("%1": the database,
// its server and the failure); requests wait until it answers again.
constexpr int kMsgDbLost = 95;
// A closed day whose totals differ between printer and database.
constexpr int kMsgDayTotalsDiffer = 96;
// A database older than the receipt and day numbers the link has issued.
constexpr int kMsgDatabaseOlder = 97;
// Texts the link shows the operator beside the numbered messages: its state in
// the tray, progress of long printer work, a display or port it cannot use, an
// answer it cannot deliver. They follow the language like the numbered ones but
// keep slots 0..99 as they are (the cash register knows those numbers).
enum class TLinkText {
    NoDisplay,          // the tray program found no display to show itself on
    StateStarting,
    StateWorking,       // + time of the last answer, or "no request yet"
    StateNoRequestYet,
    StateWaitingOperator,
    StatePrinterSilent,
    StateAnswersWaiting,
    StateStopped,
    StateDbConnecting,  // + the server's name
    StateDbLost,        // + the server's or the database's name
    ProgressTitle,
    ProgressArticleSync,
    ProgressArticleDelete,
    ProgressArticleFile,
    ProgressDayClosing,
    PortNotSerialName,  // "Port NAME: ..." phrases of a port that cannot be opened
    PortCannotOpen,
    PortNotSerial,
    PortNoPermission,
    PortInUse,
    PortNoDevice,
    AnswerWaits,        // "The answer X waits in D until F takes it": X, D, F follow
    AnswerNotCopied,
    IniCannotRead,      // why LINK.INI cannot be taken whole (message 76)
    IniNulBytes,
    IniCannotParse,
    Count
};

class TMsgTable {
public:
    static constexpr int kCount = 100;

    TMsgTable();
    // "SRB" until start-up sets the configured language; only the exact value
    // "ENG" selects the English texts.
    void SetLanguage(const std::string& language) { language_ = language; }
    const std::string& Language() const { return language_; }
    // Message n (0..99) in the configured language, the Serbian text where the
    // English one is empty; empty text for any other n.
    std::string GetMsg(int n) const;
    // One of the link's own texts in the configured language.
    std::string Text(TLinkText id) const;

private:
    std::string language_ = "SRB";
    std::string serbian_[kCount];
    std::string english_[kCount];
};

}  // namespace velbrin
