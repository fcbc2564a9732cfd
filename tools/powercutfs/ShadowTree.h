// The live tree of the backing folder together with its durable shadow. The
// backing folder holds the live files; this class carries out the name changes
// on it (so that a file whose last live name goes but which is still durable
// somewhere is kept in the attic instead of being lost) and keeps both views.
// Paths are those of the mount: "/" is the backing folder.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <unordered_map>

#include "tools/powercutfs/ShadowNode.h"

namespace velbrin::powercut {

class ShadowTree {
public:
    // Everything found in backing is durable. stateDir must exist, outside backing.
    ShadowTree(std::string backing, std::string stateDir);
    ShadowTree(const ShadowTree&) = delete;
    ShadowTree& operator=(const ShadowTree&) = delete;

    std::string Live(const std::string& path) const { return backing_ + path; }
    const std::string& Backing() const { return backing_; }
    // The node a live path names, or nullptr.
    ShadowNode* Find(const std::string& path);
    ShadowNode* Get(NodeId id);
    NodeId Root() const { return 1; }
    // Where a node's live bytes are now: a live name or the attic; "" if none.
    std::string Location(NodeId id) const;

    // After the name path was created live (mkdir, create, mknod, symlink).
    void Created(const std::string& path, mode_t type);
    // Name changes, carried out on the backing folder. Return 0 or an errno value.
    int Link(const std::string& from, const std::string& to);
    int Unlink(const std::string& path);
    int Rmdir(const std::string& path);
    int Rename(const std::string& from, const std::string& to, unsigned flags);

    // fsyncdir: the folder's live entries become its durable ones.
    void DirSynced(ShadowNode& folder);
    // Every folder and file as it is live (a clean shutdown).
    void SyncAll();
    void Opened(ShadowNode& node) { ++node.open; }
    void Closed(NodeId id);

    const std::unordered_map<NodeId, ShadowNode>& Nodes() const { return nodes_; }

private:
    void Scan(NodeId folder, const std::string& path);
    ShadowNode& Add(mode_t type, std::uint64_t durableSize);
    std::string PathOf(NodeId id) const;
    void Attach(ShadowNode& node, NodeId parent, const std::string& name);
    void Detach(ShadowNode& node, NodeId parent, const std::string& name);
    // Whether a file's bytes must go to the attic when its live name goes: it
    // is its last live name and a durable name still refers to the file.
    bool KeepInAttic(const ShadowNode& node) const;
    // Drops a node nothing refers to any more (no name, live or durable, and
    // no open handle), with what only its durable entries kept.
    void Forget(NodeId id);
    std::string AtticPath(NodeId id) const;

    std::string backing_;
    std::string stateDir_;
    NodeId next_ = 1;
    std::unordered_map<NodeId, ShadowNode> nodes_;
    // Files with several names at mount: (device, inode) to node.
    std::map<std::pair<dev_t, ino_t>, NodeId> mountLinks_;
};

}  // namespace velbrin::powercut
