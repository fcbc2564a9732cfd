// Power cuts: the link's whole installation on the power-cut file system, the
// power going at random moments (after a request is dropped, when its answer
// appears or was taken, in a start-up) and at random file operations, a share
// of them tearing unsynced blocks. A new installation is cut in its very first
// start, one that has worked a while after a few requests. After every cut the
// link must start again, answer every request once and truly, print nothing
// twice and keep its database, settings and day exports whole.
#include "app/P00_util.h"
#include "tools/harness/HarnessCutPhase.h"
#include "tools/harness/HarnessRuns.h"

#include <cstdio>

namespace velbrin::harness {

RunResult RunPowerCuts(const Tools& tools, const std::string& program, const std::string& root, int cuts,
                       unsigned seed) {
    RunResult result;
    result.name = "power cuts";
    if (const std::string why = PowercutMount::Unusable(program); !why.empty()) return Skip(result, why);
    CutFigures fig;
    const int fresh = std::max(1, cuts / 5);
    const std::pair<const char*, int> phases[] = {{"new installation", fresh}, {"worked installation", cuts - fresh}};
    for (const auto& [name, n] : phases) {
        if (n <= 0) continue;
        std::printf("  %s: %d cuts\n", name, n);
        std::fflush(stdout);
        CutPhase phase(tools, program, root + "/" + (name[0] == 'n' ? "new" : "worked"), name, seed, fig);
        phase.Run(n, name[0] == 'n');
        result.faults.insert(result.faults.end(), phase.Faults().begin(), phase.Faults().end());
    }
    result.figures = {"cuts tried: " + std::to_string(fig.moments + fig.operations) + " (at random moments " +
                          std::to_string(fig.moments) + ", of them in a start-up " + std::to_string(fig.startUps) +
                          "; at random file operations " + std::to_string(fig.operations) + "; torn " +
                          std::to_string(fig.torn) + "; operations armed but not reached " +
                          std::to_string(fig.unreached) + "), by kind and stage:"};
    for (const auto& [point, n] : fig.points) result.figures.push_back("  " + point + " " + std::to_string(n));
    result.figures.push_back("requests sent: " + std::to_string(fig.sent) + ", answered: " +
                             std::to_string(fig.answered) + ", lost: " + std::to_string(fig.lost) + ", double: " +
                             std::to_string(fig.doubled) + " (the same answer twice: " + std::to_string(fig.sameTwice) +
                             "), false answers: " + std::to_string(fig.falseAnswers));
    result.figures.push_back("day export files checked: " + std::to_string(fig.exportFiles) + " (whole sets " +
                             std::to_string(fig.exportSets) + "), days without their export: " +
                             std::to_string(fig.exportsLost));
    result.figures.push_back("syncs on the power-cut file system: files " + std::to_string(fig.fileSyncs) +
                             ", folders " + std::to_string(fig.folderSyncs));
    return result;
}

}  // namespace velbrin::harness
