// The power cut itself: rewrites the backing folder so that it holds only what
// the shadow tree says survives, so that the next mount (or the next program
// reading the folder) sees the disk as it would be after the machine lost power.
// Runs once the file system no longer answers the programs.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "tools/powercutfs/ShadowTree.h"

namespace velbrin::powercut {

class PowerCut {
public:
    // rng: torn writes (some unsynced blocks survive); nullptr: none does.
    PowerCut(ShadowTree& tree, std::mt19937_64* rng) : tree_(tree), rng_(rng) {}

    // Returns "" or the first fault met (the rest is still carried out).
    std::string Apply(const std::string& stateDir);

private:
    struct Entry {
        NodeId id;
        std::string path;  // durable path below the backing folder, "/a/b"
        bool dir;
        struct stat attr {};  // a folder's mode, owner and times
    };
    void Walk(NodeId folder, const std::string& path, std::vector<NodeId>& seen);
    void RestoreData();
    void Place(const std::string& stage);
    void Swap(const std::string& stage);
    void Fault(const std::string& what, int err);

    ShadowTree& tree_;
    std::mt19937_64* rng_;
    std::vector<Entry> entries_;  // folders before what they hold
    std::string fault_;
};

}  // namespace velbrin::powercut
