#include "app/P00_maincycle.h"

#include <exception>

namespace velbrin {

bool TMainCycle::Tick() {
    if (stopped_) return false;
    try {
        for (const Work& w : work_) w();
        return true;
    } catch (const std::exception& e) {
        stopped_ = true;
        app_.SetState(TLinkState::Stopped, true, e.what());
        app_.ShowError(e.what());
    } catch (...) {
        stopped_ = true;
        app_.SetState(TLinkState::Stopped, true, "Unknown failure in the exchange cycle");
        app_.ShowError("Unknown failure in the exchange cycle");
    }
    return false;
}

}  // namespace velbrin
