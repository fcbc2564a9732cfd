// The numbered operator messages in Serbian and English (Windows-1250 text).
#pragma once

#include <string>

namespace velbrin {

// Messages of the answer outbox: answers waiting, requests that cannot be
// removed, no place to write answers down.
constexpr int kMsgAnswersWait = 90;
constexpr int kMsgCannotRemoveRequests = 91;
constexpr int kMsgOutboxFull = 92;
// A non-fiscal text of a run that stopped, answered at the next start.
constexpr int kMsgTextDropped = 93;

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

private:
    std::string language_ = "SRB";
    std::string serbian_[kCount];
    std::string english_[kCount];
};

}  // namespace velbrin
