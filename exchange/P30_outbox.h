// The answers of the link on their way to the cash register. Every answer is
// first written down durably here (OtherDir/Answers), numbered in the order it
// was written; recording it in the request journal is the moment its request
// counts as done. Delivery moves the answers into FromFpDir in that order, each
// exactly once, whenever FromFpDir takes files; one that FromFpDir refuses holds
// back the ones behind it and is tried again at the next cycle.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
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

    const std::string& Dir() const { return dir_; }
    void OnDeliveryChange(StateChange change) { onChange_ = std::move(change); }
    // Told the name of every answer put into FromFpDir (the tray shows the last).
    void OnDelivered(std::function<void(const std::string& result)> delivered) { onDelivered_ = std::move(delivered); }

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
    // Moves a kept answer under its hidden name in FromFpDir, both folders synced.
    bool HandOver(const std::string& kept);
    // Renames a handed answer to the name the cash register waits for.
    bool Publish(const std::string& kept);
    std::string HeldPath(const std::string& receiptName) const;

    std::string dir_;
    std::function<std::string()> fromFpDir_;
    TRequestJournal& journal_;
    StateChange onChange_;
    std::function<void(const std::string&)> onDelivered_;
    bool stopped_ = false;
    bool draftsLeft_ = false;  // a recorded answer whose draft could not be renamed
};

}  // namespace velbrin
