// The cash register of the power-cut run: a request counts as sent only once
// it is on disk under its name, and an answer counts as taken only once its
// removal is on disk and the cash register's own ledger (outside the file
// system that is cut) holds it. Written with the plain system calls, apart
// from the link's own helpers, so that a fault in those is not mirrored here.
#include "tools/harness/HarnessRig.h"

#include "app/P00_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velbrin::harness {

namespace {

bool SyncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Hex of the bytes: answers hold CR LF and, after a cut, maybe anything.
std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}

}  // namespace

void CashRegister::DropDurably(const std::string& name, const std::string& bytes) {
    const std::string part = inst_.ToFp() + "/.part";
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw LinkError("Cannot write " + part + ": " + std::strerror(errno));
    const bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
    const int cause = errno;
    ::close(fd);
    if (!written) throw LinkError("Cannot write " + part + ": " + std::strerror(cause));
    if (::rename(part.c_str(), (inst_.ToFp() + "/" + name).c_str()) != 0)
        throw LinkError("Cannot drop " + name + ": " + std::strerror(errno));
    if (!SyncPath(inst_.ToFp(), O_RDONLY | O_DIRECTORY))
        throw LinkError("Cannot sync To_FP after " + name + ": " + std::strerror(errno));
}

bool CashRegister::TakeDurably(const std::string& path, const std::string& name, const std::string& text) {
    // A removal that is not on disk may bring the answer back after a cut: then
    // it is not taken yet, and is taken when it is there again.
    if (::unlink(path.c_str()) != 0 || !SyncPath(inst_.FromFp(), O_RDONLY | O_DIRECTORY)) return false;
    const int fd = ::open(ledger_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const bool kept = fd >= 0 && WriteAll(fd, name + "\t" + Hex(text) + "\n") && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    // The ledger is on the harness's own disk: failing there is the harness's fault.
    if (!kept) throw LinkError("Cannot keep the answer " + name + " in " + ledger_ + ": " + std::strerror(errno));
    return true;
}

}  // namespace velbrin::harness
