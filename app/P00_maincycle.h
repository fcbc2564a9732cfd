// One tick of the main timer. The shell stops Timer1, runs Tick and starts the
// timer again only when Tick returns true, so cycles never overlap and a modal
// dialog inside a cycle cannot let another one begin. A cycle that raises is
// shown in the standard error box and the timer stays off for the rest of the run.
#pragma once

#include "app/P00_appservices.h"

#include <functional>
#include <vector>

namespace velbrin {

class TMainCycle {
public:
    using Work = std::function<void()>;

    explicit TMainCycle(TAppServices& app) : app_(app) {}

    // The work of one cycle, in order (the exchange cycle joins here).
    void Add(Work work) { work_.push_back(std::move(work)); }
    bool Empty() const { return work_.empty(); }

    // Runs one cycle; true when the timer may start again.
    bool Tick();
    bool Stopped() const { return stopped_; }

private:
    TAppServices& app_;
    std::vector<Work> work_;
    bool stopped_ = false;
};

}  // namespace velbrin
