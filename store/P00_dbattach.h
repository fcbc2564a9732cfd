// An attach to a database server, waited for without holding up the link. Internal to store/.
#pragma once

#include <string>
#include <vector>

namespace Firebird {
class IMaster;
class IAttachment;
}  // namespace Firebird

namespace velbrin {

struct TDbAttachWait;

struct TAttachOutcome {
    Firebird::IAttachment* attachment = nullptr;
    std::string failure;     // the database's message when the attach failed
    bool gaveUp = false;     // the wait ended first: a stop request, or no answer in time
};

// Runs the attach on a thread of its own and waits for it in tenths of a second,
// asking wait.keepWaiting in between, so that the caller's event loop goes on
// (the tray is drawn, a stop request is seen). The client library ends the
// attach itself after the time-out in the parameter block; the wait ends two
// seconds later whatever it does. An attach the wait gave up on is detached by
// its thread when it ends.
TAttachOutcome AttachWaiting(Firebird::IMaster* master, const std::string& database,
                             std::vector<unsigned char> dpb, const TDbAttachWait& wait);

// True while an attach given up on is still under way (it ends within its
// time-out; the client library's shutdown would wait for it).
bool AbandonedAttachUnderWay();

}  // namespace velbrin
