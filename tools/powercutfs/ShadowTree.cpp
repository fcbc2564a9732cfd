#include "tools/powercutfs/ShadowTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velbrin::powercut {

namespace {

// "/a/b" -> ("/a", "b"); "/a" -> ("/", "a").
std::pair<std::string, std::string> SplitName(const std::string& path) {
    auto slash = path.find_last_of('/');
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    return {parent, path.substr(slash + 1)};
}

int Errno(int rc) {
    return rc == 0 ? 0 : errno;
}

}  // namespace

ShadowTree::ShadowTree(std::string backing, std::string stateDir)
    : backing_(std::move(backing)), stateDir_(std::move(stateDir)) {
    if (backing_.size() > 1 && backing_.back() == '/') backing_.pop_back();
    Add(S_IFDIR, 0);
    Scan(Root(), "");
    mountLinks_.clear();
}

void ShadowTree::Scan(NodeId folder, const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir((backing_ + (path.empty() ? "/" : path)).c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(d);
    }
    // Sorted, so that node numbers and with them torn writes repeat with a seed.
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        std::string child = path + "/" + name;
        struct stat st {};
        if (::lstat((backing_ + child).c_str(), &st) != 0) continue;
        NodeId id = 0;
        auto key = std::make_pair(st.st_dev, st.st_ino);
        if (!S_ISDIR(st.st_mode) && st.st_nlink > 1 && mountLinks_.count(key) != 0) {
            id = mountLinks_[key];
        } else {
            id = Add(st.st_mode & S_IFMT, static_cast<std::uint64_t>(st.st_size)).id;
            if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) mountLinks_[key] = id;
        }
        ShadowNode& node = nodes_.at(id);
        Attach(node, folder, name);
        nodes_.at(folder).durable[name] = id;
        ++node.durableRefs;
        if (node.dir) Scan(id, child);
    }
}

ShadowNode& ShadowTree::Add(mode_t type, std::uint64_t durableSize) {
    NodeId id = next_++;
    ShadowNode& node = nodes_[id];
    node.id = id;
    node.dir = S_ISDIR(type);
    if (S_ISREG(type)) {
        node.data =
            std::make_unique<DurableData>(stateDir_ + "/blocks-" + std::to_string(id), durableSize);
    }
    return node;
}

ShadowNode* ShadowTree::Get(NodeId id) {
    auto it = nodes_.find(id);
    return it == nodes_.end() ? nullptr : &it->second;
}

ShadowNode* ShadowTree::Find(const std::string& path) {
    ShadowNode* node = Get(Root());
    std::size_t pos = 0;
    while (node != nullptr && pos < path.size()) {
        std::size_t end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        std::string name = path.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty()) continue;
        if (!node->dir) return nullptr;
        auto it = node->live.find(name);
        node = it == node->live.end() ? nullptr : Get(it->second);
    }
    return node;
}

std::string ShadowTree::PathOf(NodeId id) const {
    if (id == Root()) return "";
    const ShadowNode& node = nodes_.at(id);
    if (node.links.empty()) return {};
    return PathOf(node.links.front().first) + "/" + node.links.front().second;
}

std::string ShadowTree::AtticPath(NodeId id) const {
    return stateDir_ + "/attic-" + std::to_string(id);
}

std::string ShadowTree::Location(NodeId id) const {
    const ShadowNode& node = nodes_.at(id);
    if (id == Root()) return backing_;
    if (node.inAttic) return AtticPath(id);
    if (node.links.empty()) return {};
    return backing_ + PathOf(id);
}

void ShadowTree::Attach(ShadowNode& node, NodeId parent, const std::string& name) {
    node.links.emplace_back(parent, name);
    nodes_.at(parent).live[name] = node.id;
}

void ShadowTree::Detach(ShadowNode& node, NodeId parent, const std::string& name) {
    auto it = std::find(node.links.begin(), node.links.end(), std::make_pair(parent, name));
    if (it != node.links.end()) node.links.erase(it);
    nodes_.at(parent).live.erase(name);
}

bool ShadowTree::KeepInAttic(const ShadowNode& node) const {
    return !node.dir && node.links.size() == 1 && node.durableRefs > 0;
}

void ShadowTree::Created(const std::string& path, mode_t type) {
    auto [parentPath, name] = SplitName(path);
    ShadowNode* parent = Find(parentPath);
    if (parent == nullptr) return;
    Attach(Add(type & S_IFMT, 0), parent->id, name);
}

int ShadowTree::Link(const std::string& from, const std::string& to) {
    ShadowNode* node = Find(from);
    ShadowNode* parent = Find(SplitName(to).first);
    if (node == nullptr || parent == nullptr) return ENOENT;
    if (node->dir) return EPERM;
    if (int err = Errno(::link(Live(from).c_str(), Live(to).c_str()))) return err;
    Attach(*node, parent->id, SplitName(to).second);
    return 0;
}

int ShadowTree::Unlink(const std::string& path) {
    auto [parentPath, name] = SplitName(path);
    ShadowNode* node = Find(path);
    if (node == nullptr) return ENOENT;
    if (node->dir) return EISDIR;
    bool keep = KeepInAttic(*node);
    // The attic is on the same file system: the rename keeps the inode, so
    // that handles still open write to the bytes a cut will bring back.
    int err = keep ? Errno(::rename(Live(path).c_str(), AtticPath(node->id).c_str()))
                   : Errno(::unlink(Live(path).c_str()));
    if (err != 0) return err;
    node->inAttic = keep;
    Detach(*node, Find(parentPath)->id, name);
    Forget(node->id);
    return 0;
}

int ShadowTree::Rmdir(const std::string& path) {
    auto [parentPath, name] = SplitName(path);
    ShadowNode* node = Find(path);
    if (node == nullptr) return ENOENT;
    if (!node->dir) return ENOTDIR;
    if (node->id == Root()) return EBUSY;
    struct stat st {};
    if (int err = Errno(::lstat(Live(path).c_str(), &st))) return err;
    if (int err = Errno(::rmdir(Live(path).c_str()))) return err;
    node->removed = st;
    Detach(*node, Find(parentPath)->id, name);
    Forget(node->id);
    return 0;
}

int ShadowTree::Rename(const std::string& from, const std::string& to, unsigned flags) {
    auto [fromParent, fromName] = SplitName(from);
    auto [toParent, toName] = SplitName(to);
    ShadowNode* src = Find(from);
    ShadowNode* dstParent = Find(toParent);
    if (src == nullptr || dstParent == nullptr) return ENOENT;
    if (!dstParent->dir) return ENOTDIR;
    ShadowNode* dst = Find(to);
    NodeId srcParentId = Find(fromParent)->id;
    NodeId dstParentId = dstParent->id;
    if (dst == src) {
        // Two names of one file (or one name twice): nothing changes.
        return Errno(::renameat2(AT_FDCWD, Live(from).c_str(), AT_FDCWD, Live(to).c_str(), flags));
    }
    bool attic = false;
    if (dst != nullptr && (flags & RENAME_EXCHANGE) == 0) {
        if (KeepInAttic(*dst)) {
            // A hard link keeps the replaced bytes without touching the name.
            if (int err = Errno(::link(Live(to).c_str(), AtticPath(dst->id).c_str()))) return err;
            attic = true;
        } else if (dst->dir) {
            ::lstat(Live(to).c_str(), &dst->removed);
        }
    }
    if (::renameat2(AT_FDCWD, Live(from).c_str(), AT_FDCWD, Live(to).c_str(), flags) != 0) {
        int err = errno;
        if (attic) ::unlink(AtticPath(dst->id).c_str());
        return err;
    }
    Detach(*src, srcParentId, fromName);
    if (dst != nullptr) Detach(*dst, dstParentId, toName);
    Attach(*src, dstParentId, toName);
    if (dst != nullptr && (flags & RENAME_EXCHANGE) != 0) {
        Attach(*dst, srcParentId, fromName);
    } else if (dst != nullptr) {
        dst->inAttic = attic;
        Forget(dst->id);
    }
    return 0;
}

void ShadowTree::DirSynced(ShadowNode& folder) {
    std::map<std::string, NodeId> old = folder.durable;
    folder.durable = folder.live;
    for (const auto& [name, id] : folder.durable) ++nodes_.at(id).durableRefs;
    for (const auto& [name, id] : old) --nodes_.at(id).durableRefs;
    for (const auto& [name, id] : old) {
        if (nodes_.count(id) != 0) Forget(id);
    }
}

void ShadowTree::SyncAll() {
    std::vector<NodeId> folders;
    for (const auto& [id, node] : nodes_) {
        if (node.dir && (id == Root() || !node.links.empty())) folders.push_back(id);
    }
    for (NodeId id : folders) {
        if (ShadowNode* folder = Get(id)) DirSynced(*folder);
    }
    for (auto& [id, node] : nodes_) {
        struct stat st {};
        std::string at = Location(id);
        if (node.data && !at.empty() && ::lstat(at.c_str(), &st) == 0) {
            node.data->Synced(static_cast<std::uint64_t>(st.st_size));
        }
    }
}

void ShadowTree::Closed(NodeId id) {
    if (ShadowNode* node = Get(id)) {
        --node->open;
        Forget(id);
    }
}

void ShadowTree::Forget(NodeId id) {
    ShadowNode& node = nodes_.at(id);
    if (id == Root() || !node.links.empty() || node.durableRefs > 0 || node.open > 0) return;
    if (node.inAttic) ::unlink(AtticPath(id).c_str());
    std::vector<NodeId> children;
    for (const auto& [name, child] : node.durable) children.push_back(child);
    nodes_.erase(id);
    for (NodeId child : children) {
        if (ShadowNode* c = Get(child)) {
            --c->durableRefs;
            Forget(child);
        }
    }
}

}  // namespace velbrin::powercut
