#include "exchange/P30_requestscan.h"

#include "app/P00_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velbrin {

bool TRequestScan::IsReleased(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool released = false;
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        released = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        // no leases here (network file system, or a file of another user)
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
            ::flock(fd, LOCK_UN);
            released = true;
        }
    }
    ::close(fd);
    return released;
}

std::string TRequestScan::KindOf(const std::string& fileName) { return UpperCase(LeftStr(fileName, 4)); }

std::string TRequestScan::FileNameOf(const std::string& entry) {
    return !entry.empty() && entry[0] == '0' ? entry.substr(1) : entry;
}

std::string TRequestScan::PacketName(const std::string& fileName) { return ChangeFileExt(fileName, ".zvx"); }

bool TRequestScan::IsPacket(const std::string& fileName) { return UpperCase(ExtractFileExt(fileName)) == ".ZVX"; }

std::vector<std::string> TRequestScan::WorkList(const std::string& dir) {
    std::vector<std::string> list;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return list;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        std::string path = JoinPath(dir, name);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (!IsReleased(path)) break;
        std::string kind = KindOf(name);
        if (kind == "ABC_" || kind == "ART-" || kind == "TXT_")
            list.push_back(name);
        else if (kind == "CMD_")
            list.push_back("0" + name);
    }
    ::closedir(d);
    auto less = [](const std::string& a, const std::string& b) { return UpperCase(a) < UpperCase(b); };
    std::stable_sort(list.begin(), list.end(), less);
    list.erase(std::unique(list.begin(), list.end(), [](const std::string& a, const std::string& b) {
                   return SameText(a, b);
               }),
               list.end());
    return list;
}

}  // namespace velbrin
