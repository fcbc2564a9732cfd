// The answers of the link on their way to the cash register. Every answer is
// first written down durably here (OtherDir/Answers), numbered in the order it
// was written; recording it in the request journal is the moment its request
// counts as done. Delivery moves the answers into FromFpDir in that order, each
// exactly once, whenever FromFpDir takes files; while FromFpDir refuses files
// the answers wait and are tried again at the next cycle. An answer that
// FromFpDir does not take under its name (a folder in the way) waits and is
// told, and the answers behind it go on; one whose name can never be made
// there (left by an earlier version) is set aside in Undelivered/. A copy of each
// answer stays in Given/ for the last kKeptGiven answers, so that the same
// request file dropped again can be answered again.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace velbrin {

class TRequestJournal;

class TAnswerOutbox {
public:
    // Told when delivery stops (true) and when it goes again (false), with a
    // line for the link log.
    using StateChange = std::function<void(bool stopped, const std::string& why)>;

    TAnswerOutbox(std::string dir, std::function<std::string()> fromFpDir, TRequestJournal& journal);

    // Longest answer name: its hidden names on the way (".<seq>-<answer>.handed",
    // ".<seq>-<answer>.draft") stay within the 255 bytes of a file name.
    static constexpr std::size_t kMaxAnswerName = 200;
    static constexpr uint64_t kKeptGiven = 2000;
    // A name no longer than kMaxAnswerName: the name itself when it fits, else
    // its beginning, "~", a hash of the whole and its extension.
    static std::string FittingName(const std::string& name);

    const std::string& Dir() const { return dir_; }
    std::string GivenDir() const;
    std::string UndeliveredDir() const;
    // Told the link log's line of every answer set aside, or held by a name in the way.
    void OnTold(std::function<void(const std::string& line)> told) { onTold_ = std::move(told); }
    // The answer number seq as it was given: its name and bytes; nullopt when
    // its copy is gone.
    struct TGiven {
        std::string resultName, bytes;
    };
    std::optional<TGiven> Given(uint64_t seq) const;
    void OnDeliveryChange(StateChange change) { onChange_ = std::move(change); }
    // Told the name of every answer put into FromFpDir (the tray shows the last).
    void OnDelivered(std::function<void(const std::string& result)> delivered) { onDelivered_ = std::move(delivered); }
    // Answers of requests that came through the HTTP interface go to this
    // sink (durably) instead of the outbox and FromFpDir, apart from the
    // files' answers, so that a FromFpDir that refuses holds none of them.
    using ApiSink = std::function<void(const std::string& result, const std::string& bytes)>;
    void SetApiSink(ApiSink sink) { apiSink_ = std::move(sink); }

    // Writes the answer (bytes as they go out) for the request of this identity
    // ("" for answers of no request file) and records the request answered.
    // Raises when the outbox cannot hold it; then nothing is recorded.
    void Put(const std::string& resultName, const std::string& bytes, const std::string& requestId,
             const std::string& requestName);
    // Moves the waiting answers into FromFpDir in order; true when none waits.
    bool Deliver();
    // Start-up: answers recorded but not yet in place are put in place, drafts of
    // answers never recorded are dropped. A delivery cut short is finished by
    // the next Deliver, which never puts one answer in place twice.
    void Settle();
    // True when the outbox can take a file now.
    bool Writable() const;
    std::size_t Waiting() const;
    bool Stopped() const { return stopped_; }

    // The failure answer of a receipt that is being cancelled, held until the
    // receipt is archived and answered, so that a start in between answers it
    // with this text and not as a success.
    void HoldFailure(const std::string& receiptName, const std::string& text);
    std::optional<std::string> HeldFailure(const std::string& receiptName) const;
    void DropHeldFailure(const std::string& receiptName);
    // Names ("<receipt>.err") of the failures held now.
    std::vector<std::string> HeldFailures() const;

private:
    std::vector<std::string> Kept() const;
    // Answers moved into FromFpDir under a hidden name, not yet put in place.
    std::vector<std::string> Handed() const;
    std::string HandedPath(const std::string& kept) const;
    // Moves a kept answer under its hidden name in FromFpDir, both folders
    // synced; 0 or the errno of the failure.
    int HandOver(const std::string& kept);
    // Renames a handed answer to the name the cash register waits for; 0 or the errno.
    int Publish(const std::string& kept);
    // True when an errno of a move into FromFpDir concerns this one answer (a
    // folder under its name, a name too long), not FromFpDir as a whole.
    static bool OnlyThisAnswer(int err);
    // Moves the answer at path (kept or handed) into Undelivered/ and tells it.
    void SetAside(const std::string& path, const std::string& kept, int err);
    void KeepGiven(const std::string& kept, const std::string& bytes);
    void PruneGiven();
    std::string HeldPath(const std::string& receiptName) const;

    std::string dir_;
    std::function<std::string()> fromFpDir_;
    TRequestJournal& journal_;
    StateChange onChange_;
    std::function<void(const std::string&)> onDelivered_;
    std::function<void(const std::string&)> onTold_;
    ApiSink apiSink_;
    std::set<std::string> toldBlocked_;  // answers told to wait behind a name in the way
    int putsSincePrune_ = 0;
    bool stopped_ = false;
    bool draftsLeft_ = false;  // a recorded answer whose draft could not be renamed
};

}  // namespace velbrin
