#include "tools/powercutfs/DurableData.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace velbrin::powercut {

namespace {

int WriteAll(int fd, const char* data, std::uint64_t len, std::uint64_t off) {
    while (len > 0) {
        ssize_t n = ::pwrite(fd, data, len, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        data += n;
        len -= static_cast<std::uint64_t>(n);
        off += static_cast<std::uint64_t>(n);
    }
    return 0;
}

// Reads up to len bytes; what lies past the end of the file reads as zeros.
int ReadPadded(int fd, char* data, std::uint64_t len, std::uint64_t off) {
    std::fill(data, data + len, '\0');
    std::uint64_t got = 0;
    while (got < len) {
        ssize_t n = ::pread(fd, data + got, len - got, static_cast<off_t>(off + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        got += static_cast<std::uint64_t>(n);
    }
    return 0;
}

bool Coin(std::mt19937_64& rng) {
    return (rng() & 1U) != 0;
}

}  // namespace

DurableData::DurableData(std::string blockFile, std::uint64_t durableSize)
    : blockFile_(std::move(blockFile)), durableSize_(durableSize) {}

DurableData::~DurableData() {
    Synced(durableSize_);
}

void DurableData::Touch(std::uint64_t off, std::uint64_t end) {
    for (std::uint64_t b = off / kBlock; b * kBlock < end; ++b) touched_.insert(b);
}

int DurableData::SaveBlock(int fd, std::uint64_t block) {
    std::uint64_t start = block * kBlock;
    if (start >= durableSize_ || saved_.count(block) != 0) return 0;
    if (blockFd_ < 0) {
        blockFd_ = ::open(blockFile_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (blockFd_ < 0) return errno;
        blockEnd_ = 0;
    }
    std::uint64_t len = std::min(kBlock, durableSize_ - start);
    std::vector<char> bytes(len);
    if (int err = ReadPadded(fd, bytes.data(), len, start)) return err;
    if (int err = WriteAll(blockFd_, bytes.data(), len, blockEnd_)) return err;
    saved_[block] = Saved{blockEnd_, len};
    blockEnd_ += len;
    return 0;
}

int DurableData::BeforeWrite(int fd, std::uint64_t off, std::uint64_t len) {
    if (len == 0) return 0;
    std::uint64_t end = off + len;
    for (std::uint64_t b = off / kBlock; b * kBlock < end; ++b) {
        if (int err = SaveBlock(fd, b)) return err;
    }
    Touch(off, end);
    return 0;
}

int DurableData::BeforeResize(int fd, std::uint64_t oldSize, std::uint64_t newSize) {
    // Bytes cut off are saved; bytes a growth adds were saved when they were cut
    // off (or lie past the durable size and have no durable content).
    if (newSize < oldSize) {
        for (std::uint64_t b = newSize / kBlock; b * kBlock < oldSize; ++b) {
            if (int err = SaveBlock(fd, b)) return err;
        }
    }
    Touch(std::min(oldSize, newSize), std::max(oldSize, newSize));
    return 0;
}

void DurableData::Synced(std::uint64_t liveSize) {
    durableSize_ = liveSize;
    saved_.clear();
    touched_.clear();
    if (blockFd_ >= 0) {
        ::close(blockFd_);
        ::unlink(blockFile_.c_str());
        blockFd_ = -1;
    }
    blockEnd_ = 0;
}

int DurableData::RestoreBlock(int fd, std::uint64_t block, std::uint64_t fillTo) {
    std::uint64_t start = block * kBlock;
    std::uint64_t pos = start;
    auto it = saved_.find(block);
    if (it != saved_.end()) {
        std::vector<char> bytes(it->second.len);
        if (int err = ReadPadded(blockFd_, bytes.data(), bytes.size(), it->second.at)) return err;
        if (int err = WriteAll(fd, bytes.data(), bytes.size(), start)) return err;
        pos += it->second.len;
    }
    // Past the durable size a block that did not survive is a hole.
    std::uint64_t end = std::min(start + kBlock, fillTo);
    if (pos < end) {
        std::vector<char> zeros(end - pos, '\0');
        return WriteAll(fd, zeros.data(), zeros.size(), pos);
    }
    return 0;
}

int DurableData::Restore(int fd, std::uint64_t liveSize, std::mt19937_64* rng) {
    std::uint64_t finalSize = durableSize_;
    if (rng != nullptr && Coin(*rng)) finalSize = liveSize;
    for (std::uint64_t b : touched_) {
        if (rng != nullptr && Coin(*rng)) continue;  // this block reached the disk
        if (int err = RestoreBlock(fd, b, finalSize)) return err;
    }
    if (::ftruncate(fd, static_cast<off_t>(finalSize)) != 0) return errno;
    Synced(finalSize);
    return 0;
}

}  // namespace velbrin::powercut
