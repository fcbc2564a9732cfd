// One file, folder or symbolic link of the mounted tree, by an identity of its
// own (names move, backing inode numbers are reused). It knows its live names
// and, for a folder, both its live entries and the entries that would survive a
// power cut (those as of its last fsyncdir, or of the mount).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/powercutfs/DurableData.h"

namespace velbrin::powercut {

using NodeId = std::uint64_t;

struct ShadowNode {
    NodeId id = 0;
    bool dir = false;
    // (parent folder, name) of every live name; a folder has at most one.
    std::vector<std::pair<NodeId, std::string>> links;
    std::map<std::string, NodeId> live;     // folder: live entries
    std::map<std::string, NodeId> durable;  // folder: entries that survive a cut
    int durableRefs = 0;                    // durable entries naming this node
    int open = 0;                           // open handles of the programs
    // Regular files only: the bytes that survive a cut.
    std::unique_ptr<DurableData> data;
    // No live name left but still durable: a file is kept in the attic of the
    // state folder, a folder only as the mode and owner it had.
    bool inAttic = false;
    struct stat removed {};
};

}  // namespace velbrin::powercut
