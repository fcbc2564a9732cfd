#include "printer/P00_fpdef.h"

#include "app/P00_inilink.h"
#include "app/P00_util.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <chrono>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace velbrin {

namespace {

int64_t MonotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int64_t kNsPerMs = 1000000;

// Waits for an event until the monotonic deadline; returns the revents (0 on time-out).
// poll counts whole milliseconds, so the wait is rounded up and the deadline re-checked.
short WaitFor(int fd, short events, int64_t deadlineNs) {
    for (;;) {
        int64_t left = deadlineNs - MonotonicNs();
        if (left <= 0) return 0;
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, static_cast<int>((left + kNsPerMs - 1) / kNsPerMs));
        if (r > 0) return p.revents;
        if (r == 0) continue;
        if (errno != EINTR) return POLLERR;
    }
}

}  // namespace

std::string ComPortDevicePath(const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    if (!StartsWithNoCase(name, "COM")) return {};
    long long n = 0;
    if (!TryStrToInt(name.substr(3), n) || n < 1 || n > 256 || name.size() > 6) return {};
    return "/dev/ttyS" + std::to_string(n - 1);
}

bool ComPortNameQualifies(const std::string& name) {
    return StartsWithNoCase(name, "COM") || (!name.empty() && name[0] == '/');
}

TPosixComPort::TPosixComPort(std::string name, std::string language)
    : name_(std::move(name)), language_(std::move(language)) {}

TPosixComPort::~TPosixComPort() { Close(); }

std::string ComPortFailureText(const std::string& name, const std::string& what, int err, const std::string& rights,
                               const std::string& language) {
    TMsgTable texts;
    texts.SetLanguage(language);
    std::string text = "Port " + name;
    std::string device = ComPortDevicePath(name);
    if (!device.empty() && device != name) text += " (" + device + ")";
    text += ": " + what;
    if ((err == EACCES || err == EPERM) && !rights.empty())
        text += ": permission denied (" + rights + ")";
    else if (err == EACCES || err == EPERM)
        text += ": " + texts.Text(TLinkText::PortNoPermission);
    else if (err == EWOULDBLOCK || err == EBUSY)
        text += ": " + texts.Text(TLinkText::PortInUse);
    else if (err == ENOENT || err == ENXIO || err == ENODEV)
        text += ": " + std::string(std::strerror(err)) + " (" + texts.Text(TLinkText::PortNoDevice) + ")";
    else if (err != 0)
        text += ": " + std::string(std::strerror(err));
    return text;
}

namespace {

std::string OwnerName(uid_t uid) {
    const passwd* pw = ::getpwuid(uid);
    return pw ? pw->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    const group* gr = ::getgrgid(gid);
    return gr ? gr->gr_name : std::to_string(gid);
}

// True when the running process carries the group (it was in the session at login).
bool InSession(gid_t gid) {
    if (::getegid() == gid) return true;
    gid_t groups[256];
    const int n = ::getgroups(256, groups);
    return n > 0 && std::find(groups, groups + n, gid) != groups + n;
}

// True when the group database makes the user a member (perhaps only since the login).
bool MemberOf(gid_t gid) {
    const passwd* pw = ::getpwuid(::geteuid());
    if (!pw) return false;
    gid_t groups[256];
    int n = 256;
    if (::getgrouplist(pw->pw_name, pw->pw_gid, groups, &n) < 0) return false;
    return std::find(groups, groups + n, gid) != groups + n;
}

}  // namespace

std::string ComPortRightsText(const std::string& device) {
    struct stat st {};
    if (device.empty() || ::stat(device.c_str(), &st) != 0) return {};
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const std::string group = GroupName(st.st_gid);
    std::string text = device + " belongs to " + OwnerName(st.st_uid) + ":" + group + " with mode " + mode;
    if ((st.st_mode & 060) != 060)
        return text + "; its group may not read and write it: the device needs a udev rule giving it to the "
                      "dialout group with mode 0660";
    if (InSession(st.st_gid)) return text;
    if (MemberOf(st.st_gid))
        return text + "; the user is a member of " + group + ", but not yet in this session: log in again";
    return text + "; the user needs to be a member of the group " + group + ", then log in again";
}

void TPosixComPort::Fail(const std::string& what, int err) const {
    const std::string rights = err == EACCES || err == EPERM ? ComPortRightsText(ComPortDevicePath(name_)) : "";
    throw LinkError(ComPortFailureText(name_, what, err, rights, language_));
}

void TPosixComPort::FailOpen(TLinkText what, int err) const {
    TMsgTable texts;
    texts.SetLanguage(language_);
    Fail(texts.Text(what), err);
}

void TPosixComPort::Open() {
    if (IsOpen()) return;
    std::string device = ComPortDevicePath(name_);
    if (device.empty()) FailOpen(TLinkText::PortNotSerialName, 0);
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) FailOpen(TLinkText::PortCannotOpen, errno);
    // A serial port is exclusive, as on the workstations the link comes from: a
    // second program on the same line would take the printer's answers away.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        FailOpen(TLinkText::PortCannotOpen, EWOULDBLOCK);
    }
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        int err = errno;
        ::close(fd);
        FailOpen(TLinkText::PortNotSerial, err);
    }
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B19200);
    ::cfsetospeed(&t, B19200);
    t.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS | HUPCL);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    // Software flow control both ways; only XON may resume our output.
    t.c_iflag |= IXON | IXOFF;
    t.c_iflag &= ~IXANY;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        int err = errno;
        ::close(fd);
        Fail("cannot be set to 19200 8N1", err);
    }
    // DTR on, RTS off. A pseudo-terminal has no modem lines and answers ENOTTY.
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    if ((::ioctl(fd, TIOCMBIS, &dtr) != 0 && errno != ENOTTY && errno != EINVAL) ||
        (::ioctl(fd, TIOCMBIC, &rts) != 0 && errno != ENOTTY && errno != EINVAL)) {
        int err = errno;
        ::close(fd);
        Fail("modem lines cannot be set", err);
    }
    ::tcflush(fd, TCIOFLUSH);
    fd_ = fd;
}

void TPosixComPort::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TPosixComPort::Purge() {
    if (!IsOpen()) Fail("is not open", 0);
    if (::tcflush(fd_, TCIOFLUSH) != 0) Fail("purge failed", errno);
}

size_t TPosixComPort::Write(const uint8_t* bytes, size_t k) {
    if (!IsOpen()) Fail("is not open", 0);
    const int64_t deadline = MonotonicNs() + (kWriteTotalMs + kWritePerByteMs * static_cast<int64_t>(k)) * kNsPerMs;
    size_t sent = 0;
    while (sent < k) {
        ssize_t n = ::write(fd_, bytes + sent, k - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) Fail(errno == EIO ? "the line was hung up" : "write failed", errno == EIO ? 0 : errno);
        short ev = WaitFor(fd_, POLLOUT, deadline);
        if (ev == 0) break;  // write time limit: report what went out
        if (ev & (POLLHUP | POLLERR | POLLNVAL)) Fail("the line was hung up", 0);
    }
    return sent;
}

size_t TPosixComPort::Read(uint8_t* buffer, size_t k) {
    if (!IsOpen()) Fail("is not open", 0);
    const int64_t total = MonotonicNs() + (kReadTotalMs + kReadPerByteMs * static_cast<int64_t>(k)) * kNsPerMs;
    int64_t deadline = total;
    size_t got = 0;
    while (got < k) {
        short ev = WaitFor(fd_, POLLIN, deadline);
        if (ev == 0) break;
        if (ev & POLLIN) {
            ssize_t n = ::read(fd_, buffer + got, k - got);
            if (n > 0) {
                got += static_cast<size_t>(n);
                deadline = std::min(total, MonotonicNs() + kReadIntervalMs * kNsPerMs);
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n < 0 && errno != EIO) Fail("read failed", errno);
            Fail("the line was hung up", 0);  // end of file or EIO: the other end is gone
        }
        if (ev & (POLLHUP | POLLERR | POLLNVAL)) Fail("the line was hung up", 0);
    }
    return got;
}

TFormFPDef::TFormFPDef(TIniLink& ini) {
    std::string name = ini.PortName();
    if (ComPortNameQualifies(name)) {
        port_ = std::make_unique<TPosixComPort>(name, ini.Language());
        port_->Open();
    } else {
        port_ = std::make_unique<TPosixComPort>("COM1", ini.Language());
    }
}

TFormFPDef::TFormFPDef(std::unique_ptr<TComPort> port) : port_(std::move(port)) {}

TFormFPDef::~TFormFPDef() {
    if (port_) port_->Close();
}

}  // namespace velbrin
