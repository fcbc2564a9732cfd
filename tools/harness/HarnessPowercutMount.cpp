#include "tools/harness/HarnessPowercutMount.h"

#include "app/P00_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace velbrin::harness {

PowercutMount::PowercutMount(std::string program, std::string backing, std::string mountPoint,
                             std::string outside)
    : program_(std::move(program)),
      backing_(std::move(backing)),
      mountPoint_(std::move(mountPoint)),
      control_(outside + "/powercut.sock"),
      output_(outside + "/powercutfs.out") {}

PowercutMount::~PowercutMount() {
    if (child_.Running()) {
        child_.Signal(SIGTERM);  // the program cuts and ends
        if (child_.Wait(20000) == -1 && child_.Running()) child_.Kill();
    }
    ::umount2(mountPoint_.c_str(), MNT_DETACH);  // only when the program died mounted
}

std::string PowercutMount::Unusable(const std::string& program) {
    if (program.empty() || ::access(program.c_str(), X_OK) != 0)
        return "velbrin-powercutfs was not built (fuse3 missing when the build was configured)";
    if (::geteuid() != 0) return "needs root to mount a FUSE file system the link may use";
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) return std::string("/dev/fuse: ") + std::strerror(errno);
    ::close(fd);
    // Root in a container may lack the right to mount (CAP_SYS_ADMIN, bit 21).
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("CapEff:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) >> 21 & 1) == 0)
            return "no right to mount (CAP_SYS_ADMIN)";
    return {};
}

void PowercutMount::Mount(unsigned seed) {
    ::unlink(control_.c_str());
    child_.Start({program_, "--backing", backing_, "--mount", mountPoint_, "--control", control_, "--seed",
                  std::to_string(seed)},
                 {}, output_);
    // The control socket appears once the file system is mounted.
    struct stat st {};
    if (!WaitUntil([&] { return ::stat(control_.c_str(), &st) == 0 || !child_.Running(); }, 10000) ||
        !child_.Running())
        throw LinkError("The power-cut file system did not mount (see " + output_ + ")");
}

std::string PowercutMount::Control(const std::string& line) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (control_.size() >= sizeof addr.sun_path) return "error control socket path too long";
    std::memcpy(addr.sun_path, control_.c_str(), control_.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "error socket";
    timeval tv{60, 0};  // a cut rewrites the backing folder before it answers
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string answer;
    const std::string out = line + "\n";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size())) {
        char c = 0;
        while (::read(fd, &c, 1) == 1 && c != '\n') answer += c;
    }
    ::close(fd);
    return answer.empty() ? "error no answer to " + line : answer;
}

std::map<std::string, long long> PowercutMount::Stats() {
    std::map<std::string, long long> stats;
    std::istringstream in(Control("stats"));
    for (std::string word; in >> word;) {
        const auto eq = word.find('=');
        long long v = 0;
        if (eq != std::string::npos && TryStrToInt(word.substr(eq + 1), v)) stats[word.substr(0, eq)] = v;
    }
    return stats;
}

std::string PowercutMount::Cut() {
    if (!child_.Running()) return "error not mounted";
    const auto stats = Stats();
    const auto value = [&](const char* key) { return stats.count(key) ? stats.at(key) : 0; };
    fileSyncs_ += value("fsync");
    folderSyncs_ += value("fsyncdir");
    const std::string answer = Control("cut");
    if (child_.Wait(60000) == -1 && child_.Running()) {
        child_.Kill();
        ::umount2(mountPoint_.c_str(), MNT_DETACH);
        return "error the file system did not end after its cut";
    }
    return answer;
}

bool PowercutMount::Frozen() { return child_.Running() && Stats()["frozen"] == 1; }

long long PowercutMount::FileSyncs() { return fileSyncs_ + (child_.Running() ? Stats()["fsync"] : 0); }

long long PowercutMount::FolderSyncs() { return folderSyncs_ + (child_.Running() ? Stats()["fsyncdir"] : 0); }

long long PowercutMount::Changes() { return child_.Running() ? Stats()["changes"] : 0; }

}  // namespace velbrin::harness
