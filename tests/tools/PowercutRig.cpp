#include "PowercutRig.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace velbrin::test {

namespace fs = std::filesystem;

std::string PowercutRig::Unusable() {
    if (::geteuid() != 0) return "needs root to mount a FUSE file system for other users";
    int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) return std::string("/dev/fuse: ") + std::strerror(errno);
    ::close(fd);
    // Root in a container may lack the right to mount (CAP_SYS_ADMIN, bit 21).
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("CapEff:", 0) == 0 &&
            (std::stoull(line.substr(7), nullptr, 16) >> 21 & 1) == 0) {
            return "no right to mount (CAP_SYS_ADMIN)";
        }
    }
    return {};
}

PowercutRig::PowercutRig() {
    char tmpl[] = "/tmp/velbrin-powercut-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    root_ = tmpl;
    backing_ = root_ + "/backing";
    mount_ = root_ + "/mnt";
    state_ = root_ + "/state";
    control_ = root_ + "/control";
    fs::create_directories(backing_);
    fs::create_directories(mount_);
}

PowercutRig::~PowercutRig() {
    Stop();
    std::error_code ec;
    fs::remove_all(root_, ec);
}

std::string PowercutRig::Mount(unsigned seed) {
    std::string seedText = std::to_string(seed);
    const char* argv[] = {VELBRIN_POWERCUTFS, "--backing", backing_.c_str(), "--mount",
                          mount_.c_str(),     "--state",   state_.c_str(),   "--control",
                          control_.c_str(),   "--seed",    seedText.c_str(), nullptr};
    ::unlink(control_.c_str());
    if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        pid_ = -1;
        return "cannot start " VELBRIN_POWERCUTFS;
    }
    // The control socket appears once the file system is mounted.
    for (int i = 0; i < 500; ++i) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return "the file system ended at once, status " + std::to_string(status);
        }
        if (fs::exists(control_)) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "no control socket after 5 s";
}

std::string PowercutRig::Control(const std::string& line) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, control_.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return "error connect: " + std::string(std::strerror(errno));
    }
    std::string out = line + "\n";
    std::string answer;
    if (::write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size())) {
        char c = 0;
        while (::read(fd, &c, 1) == 1 && c != '\n') answer += c;
    }
    ::close(fd);
    return answer;
}

std::string PowercutRig::Cut() {
    std::string answer = Control("cut");
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return answer;
}

int PowercutRig::Terminate() {
    int status = -1;
    if (pid_ > 0 && ::kill(pid_, SIGTERM) == 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return status;
}

void PowercutRig::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    ::umount2(mount_.c_str(), MNT_DETACH);  // after a failed test only
}

std::map<std::string, std::string> PowercutRig::BackingTree() const {
    std::map<std::string, std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(backing_)) {
        std::string rel = fs::relative(e.path(), backing_).string();
        if (e.is_directory()) {
            tree[rel] = "<dir>";
        } else {
            std::ifstream in(e.path(), std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            tree[rel] = bytes.str();
        }
    }
    return tree;
}

void PutFile(const std::string& path, const std::string& data, bool sync, int flags) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
    if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
    bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    if (sync) ok = ok && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) throw std::runtime_error(path + ": write: " + std::strerror(errno));
}

void SyncDir(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!ok) throw std::runtime_error(path + ": fsync: " + std::strerror(errno));
}

std::string Blocks(const std::string& letters) {
    std::string bytes;
    for (char c : letters) bytes.append(4096, c);
    return bytes;
}

}  // namespace velbrin::test
