#include "tools/harness/HarnessRig.h"

#include "app/P00_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace velbrin::harness {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool WaitMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return true;
}

Child::~Child() {
    if (!exited_) Kill();
}

void Child::Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                  const std::string& outFile, int uid) {
    if (!exited_) throw LinkError("A child is still running: " + argv.at(0));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw LinkError(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        // Nothing outlives a harness that is itself killed.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (const auto& [k, v] : env) {
            if (v.empty())
                ::unsetenv(k.c_str());
            else
                ::setenv(k.c_str(), v.c_str(), 1);
        }
        const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::close(out);
        }
        ::setpgid(0, 0);
        if (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(uid)) != 0 ||
                         ::setuid(static_cast<uid_t>(uid)) != 0))
            ::_exit(126);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    exited_ = false;
    bySignal_ = false;
    code_ = -1;
}

void Child::Poll() {
    if (exited_ || pid_ <= 0) return;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        bySignal_ = WIFSIGNALED(status);
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
}

bool Child::Running() {
    Poll();
    return !exited_;
}

int Child::Wait(int ms) {
    WaitUntil([this] { return !Running(); }, ms);
    return exited_ ? code_ : -1;
}

void Child::Signal(int sig) {
    if (Running()) ::kill(pid_, sig);
}

void Child::Kill() {
    if (exited_ || pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exited_ = true;
    bySignal_ = true;
    code_ = -1;
}

Installation::Installation(const Tools& t, std::string r, std::string o)
    : tools(t), root(std::move(r)), outside(o.empty() ? root : std::move(o)) {
    runtime = outside + "/run";
    registry = outside + "/registry.ini";
    xdg = outside + "/xdg";
    ForceDirectories(runtime);
    ForceDirectories(xdg);
    ::chmod(xdg.c_str(), 0700);
    WriteWholeFile(registry, "[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=" + root + "\nRemote_Exch_Lnk=\n");
    ForceDirectories(root + "/Other/DB_Clear");
    if (!CopyFileOverwrite(tools.templateDb, root + "/Other/DB_Clear/Zorvex.fdb"))
        throw LinkError("Cannot copy the empty database " + tools.templateDb);
}

std::map<std::string, std::string> Installation::Env() const {
    std::map<std::string, std::string> env = {{"VELBRIN_REGISTRY", registry},
                                              {"VELBRIN_RUNTIME_DIR", runtime},
                                              {"XDG_RUNTIME_DIR", xdg},
                                              {"FIREBIRD_LOCK", tools.firebirdLock}};
    if (tools.display.empty()) {
        env["QT_QPA_PLATFORM"] = "offscreen";
    } else {
        env["DISPLAY"] = tools.display;
        env["QT_QPA_PLATFORM"] = "";
    }
    return env;
}

void Installation::WriteIni(const std::string& device, const std::string& extra) const {
    ForceDirectories(root + "/Appl");
    WriteWholeFile(root + "/Appl/LINK.INI", "[Portovi]\nFP=" + device + "\n" + extra);
}

Printer::Printer(const Installation& inst) : inst_(inst) {
    state_ = inst.outside + "/fp550.state";
    device_ = inst.outside + "/ttyFP";
    control_ = inst.outside + "/fp.sock";
    trace_ = inst.outside + "/fp550.trace";
}

Printer::~Printer() { Stop(); }

void Printer::Start() {
    child_.Start({inst_.tools.sim, "--state", state_, "--link", device_, "--control", control_}, {},
                 inst_.outside + "/fp550-sim.out");
    struct stat st {};
    if (!WaitUntil([&] { return ::lstat(device_.c_str(), &st) == 0 && ::stat(control_.c_str(), &st) == 0; }, 10000))
        throw LinkError("The printer simulator did not come up");
    Control("trace " + trace_);
}

void Printer::Stop() {
    if (!child_.Running()) return;
    child_.Signal(SIGTERM);
    if (child_.Wait(5000) == -1 && child_.Running()) child_.Kill();
}

std::string Printer::Control(const std::string& line) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (control_.size() >= sizeof addr.sun_path) throw LinkError("control socket path too long: " + control_);
    std::memcpy(addr.sun_path, control_.c_str(), control_.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw LinkError("socket failed");
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw LinkError("Cannot reach the printer's control socket " + control_);
    const std::string out = line + "\n";
    if (::send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
        throw LinkError("Cannot send a control line");
    std::string reply;
    char buf[512];
    while (reply.find('\n') == std::string::npos) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) throw LinkError("No reply to the control line " + line);
        reply.append(buf, static_cast<std::size_t>(n));
    }
    reply.resize(reply.find('\n'));
    if (reply.rfind("error:", 0) == 0) throw LinkError("Printer control '" + line + "': " + reply);
    return reply;
}

namespace {

// The value of "key=" in a status reply, in hundredths.
long long StatusAmount(const std::string& status, const std::string& key) {
    const auto at = status.find(key + "=");
    if (at == std::string::npos) throw LinkError("No " + key + " in the status: " + status);
    std::string text = status.substr(at + key.size() + 1);
    text = text.substr(0, text.find(' '));
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.erase(0, 1);
    const auto dot = text.find('.');
    long long v = StrToInt(text.substr(0, dot)) * 100;
    if (dot != std::string::npos) v += StrToInt(text.substr(dot + 1));
    return negative ? -v : v;
}

}  // namespace

long long Printer::DayTotal() { return StatusAmount(Control("status"), "day"); }

bool Printer::ReceiptOpen() { return StatusAmount(Control("status"), "receipt") != 0; }

void Link::Start() {
    child_.Start({inst_.tools.link}, inst_.Env(), inst_.outside + "/link.out", uid_);
    ++starts_;
}

bool Link::Held(const char* marker) const {
    const int fd = ::open((inst_.runtime + "/" + marker).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

bool Link::WaitUp(int ms) {
    return WaitUntil([&] { return Held("ZorvexStarted") || !child_.Running(); }, ms) && child_.Running();
}

bool Link::DialogShown() const { return Held("YellowMsg"); }

int Link::PressReturn() {
    if (inst_.tools.display.empty() || child_.Pid() <= 0) return 0;
    // Every visible window of the program is a message waiting for the operator.
    const std::string list = inst_.outside + "/windows.txt";
    const std::string cmd = "DISPLAY=" + inst_.tools.display + " timeout 5 xdotool search --onlyvisible --pid " +
                            std::to_string(child_.Pid()) + " > " + list + " 2>/dev/null";
    if (std::system(cmd.c_str()) != 0 || !FileExists(list)) return 0;
    std::istringstream in(ReadWholeFile(list));
    int pressed = 0;
    for (std::string w; in >> w;) {
        // No window manager runs on the display: focus the window, then type.
        const std::string key = "DISPLAY=" + inst_.tools.display + " timeout 5 sh -c 'xdotool windowfocus " + w +
                                " && sleep 0.2 && xdotool key Return' >/dev/null 2>&1";
        if (std::system(key.c_str()) == 0) ++pressed;
    }
    return pressed;
}

bool Link::Stop(int ms) {
    if (!child_.Running()) return true;
    child_.Signal(SIGTERM);
    if (child_.Wait(ms) != -1 || !child_.Running()) return true;
    child_.Kill();
    return false;
}

void CashRegister::Drop(const std::string& name, const std::string& bytes) {
    if (!ledger_.empty()) return DropDurably(name, bytes);
    const std::string part = inst_.ToFp() + "/.part";
    WriteWholeFile(part, bytes);
    if (::rename(part.c_str(), (inst_.ToFp() + "/" + name).c_str()) != 0)
        throw LinkError("Cannot drop " + name + ": " + std::strerror(errno));
}

std::vector<std::string> CashRegister::Collect() {
    std::vector<std::string> taken;
    DIR* d = ::opendir(inst_.FromFp().c_str());
    if (!d) return taken;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        names.push_back(n);
    }
    ::closedir(d);
    for (const std::string& n : names) {
        const std::string path = inst_.FromFp() + "/" + n;
        const std::string ext = UpperCase(ExtractFileExt(n));
        if (ext != ".OK" && ext != ".ERR") continue;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;  // a folder under an answer's name
        std::string text = ReadWholeFile(path);
        if (!ledger_.empty()) {
            if (!TakeDurably(path, n, text)) continue;
        } else {
            ::unlink(path.c_str());
        }
        const std::string base = UpperCase(ChangeFileExt(n, ""));
        if (base == "COMM") {
            commErr_.push_back(text);
        } else {
            answers_[base].push_back((ext == ".OK" ? "ok " : "err ") + text);
        }
        taken.push_back(n);
    }
    return taken;
}

const std::vector<std::string>& CashRegister::AnswersOf(const std::string& request) const {
    static const std::vector<std::string> none;
    const auto it = answers_.find(UpperCase(request));
    return it == answers_.end() ? none : it->second;
}

long long ResidentKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return LeadingInt(Trim(line.substr(6)));
    return -1;
}

int OpenFiles(pid_t pid) {
    DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

}  // namespace velbrin::harness
