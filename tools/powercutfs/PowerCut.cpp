#include "tools/powercutfs/PowerCut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

namespace velbrin::powercut {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStage = "/.powercutfs-cut";

// A folder's entries, read before any of them is moved or removed.
std::vector<fs::path> Listing(const std::string& folder) {
    std::vector<fs::path> paths;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) paths.push_back(e.path());
    return paths;
}

}  // namespace

void PowerCut::Fault(const std::string& what, int err) {
    if (fault_.empty()) fault_ = what + ": " + std::strerror(err);
}

void PowerCut::Walk(NodeId folder, const std::string& path, std::vector<NodeId>& seen) {
    // A folder moved without syncing both sides can be durable under two names
    // (or inside itself): it comes back at the first one met.
    seen.push_back(folder);
    const ShadowNode* node = tree_.Get(folder);
    for (const auto& [name, id] : node->durable) {
        const ShadowNode* child = tree_.Get(id);
        if (child == nullptr) continue;
        if (child->dir && std::find(seen.begin(), seen.end(), id) != seen.end()) continue;
        Entry entry{id, path + "/" + name, child->dir};
        if (child->dir) {
            std::string at = tree_.Location(id);
            if (at.empty() || ::lstat(at.c_str(), &entry.attr) != 0) entry.attr = child->removed;
        }
        entries_.push_back(entry);
        if (child->dir) Walk(id, entry.path, seen);
    }
}

void PowerCut::RestoreData() {
    std::set<NodeId> files;
    for (const Entry& e : entries_) {
        if (!e.dir) files.insert(e.id);
    }
    // In node order, so that torn writes repeat with the same seed.
    for (NodeId id : files) {
        ShadowNode* node = tree_.Get(id);
        std::string at = tree_.Location(id);
        if (!node->data || at.empty()) continue;
        int fd = ::open(at.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            Fault("open " + at, errno);
            continue;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            Fault("stat " + at, errno);
        } else if (int err =
                       node->data->Restore(fd, static_cast<std::uint64_t>(st.st_size), rng_)) {
            Fault("restore " + at, err);
        } else {
            // Times are durable at once: putting the bytes back must not move
            // them, or a file the cut brings back would look like another one.
            const struct timespec times[2] = {st.st_atim, st.st_mtim};
            if (::futimens(fd, times) != 0) Fault("times " + at, errno);
        }
        ::close(fd);
    }
}

void PowerCut::Place(const std::string& stage) {
    std::map<NodeId, std::string> placed;
    for (const Entry& e : entries_) {
        std::string to = stage + e.path;
        if (e.dir) {
            if (::mkdir(to.c_str(), 0700) != 0) Fault("mkdir " + to, errno);
            continue;
        }
        auto it = placed.find(e.id);
        if (it != placed.end()) {
            // A second durable name of one file is a hard link, as it was.
            if (::link(it->second.c_str(), to.c_str()) != 0) Fault("link " + to, errno);
            continue;
        }
        std::string from = tree_.Location(e.id);
        if (from.empty() || ::rename(from.c_str(), to.c_str()) != 0) {
            Fault("move " + (from.empty() ? e.path : from), from.empty() ? ENOENT : errno);
            continue;
        }
        placed[e.id] = to;
    }
}

void PowerCut::Swap(const std::string& stage) {
    const std::string& backing = tree_.Backing();
    std::error_code ec;
    for (const fs::path& old : Listing(backing)) {
        if (old == fs::path(stage)) continue;
        fs::remove_all(old, ec);
        if (ec) Fault("remove " + old.string(), ec.value());
    }
    for (const fs::path& fresh : Listing(stage)) {
        std::string to = backing + "/" + fresh.filename().string();
        if (::rename(fresh.c_str(), to.c_str()) != 0) Fault("move " + to, errno);
    }
    if (::rmdir(stage.c_str()) != 0) Fault("rmdir " + stage, errno);
    // Folders get their mode, owner and times back once nothing more goes in.
    for (auto e = entries_.rbegin(); e != entries_.rend(); ++e) {
        if (!e->dir) continue;
        std::string at = backing + e->path;
        if (::lchown(at.c_str(), e->attr.st_uid, e->attr.st_gid) != 0) Fault("chown " + at, errno);
        if (::chmod(at.c_str(), e->attr.st_mode & 07777) != 0) Fault("chmod " + at, errno);
        const struct timespec times[2] = {e->attr.st_atim, e->attr.st_mtim};
        ::utimensat(AT_FDCWD, at.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
}

std::string PowerCut::Apply(const std::string& stateDir) {
    std::vector<NodeId> seen;
    Walk(tree_.Root(), "", seen);
    RestoreData();
    std::string stage = tree_.Backing() + kStage;
    std::error_code ec;
    fs::remove_all(stage, ec);
    if (::mkdir(stage.c_str(), 0700) != 0) {
        Fault("mkdir " + stage, errno);
        return fault_;
    }
    Place(stage);
    Swap(stage);
    // The attic and the saved blocks belong to the run that just ended.
    for (const fs::path& leftover : Listing(stateDir)) fs::remove_all(leftover, ec);
    return fault_;
}

}  // namespace velbrin::powercut
