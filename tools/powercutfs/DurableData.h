// The durable bytes of one regular file, kept as the difference from its live
// bytes in the backing folder: the size it had at its last sync and, for each
// 4 KiB block overwritten or cut off since, the bytes the block held then.
// Blocks are copied only when first changed after a sync, into a private file
// in the state folder, so that a large database costs a copy of the pages it
// touches between two syncs and not of the whole file.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>

namespace velbrin::powercut {

class DurableData {
public:
    static constexpr std::uint64_t kBlock = 4096;

    // blockFile: where the saved blocks go (created on first use).
    // durableSize: the size that survives a cut before any sync.
    DurableData(std::string blockFile, std::uint64_t durableSize);
    ~DurableData();
    DurableData(const DurableData&) = delete;
    DurableData& operator=(const DurableData&) = delete;

    // Before bytes [off, off+len) of the live file (read through fd) change.
    // Returns 0 or an errno value; on error the live file must not be changed.
    int BeforeWrite(int fd, std::uint64_t off, std::uint64_t len);
    // Before the live file's size goes from oldSize to newSize.
    int BeforeResize(int fd, std::uint64_t oldSize, std::uint64_t newSize);
    // The live bytes (of size liveSize) are now the durable ones.
    void Synced(std::uint64_t liveSize);
    bool Clean(std::uint64_t liveSize) const {
        return touched_.empty() && liveSize == durableSize_;
    }

    // Turns the live file (fd, of size liveSize) into its durable bytes. With
    // rng (torn writes), each changed block keeps its live bytes or goes back
    // to its durable ones at random, and so does the size.
    int Restore(int fd, std::uint64_t liveSize, std::mt19937_64* rng);

    std::uint64_t DurableSize() const { return durableSize_; }

private:
    int SaveBlock(int fd, std::uint64_t block);
    int RestoreBlock(int fd, std::uint64_t block, std::uint64_t fillTo);
    void Touch(std::uint64_t off, std::uint64_t end);

    struct Saved {
        std::uint64_t at;   // offset in the block file
        std::uint64_t len;  // bytes of the block below the durable size
    };
    std::string blockFile_;
    int blockFd_ = -1;
    std::uint64_t blockEnd_ = 0;
    std::uint64_t durableSize_;
    std::map<std::uint64_t, Saved> saved_;  // by block number
    std::set<std::uint64_t> touched_;       // blocks changed since the last sync
};

}  // namespace velbrin::powercut
