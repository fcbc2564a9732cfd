// Runs the real link program for tests of the whole shell: a throw-away
// installation with its own settings store and runtime folder, the program
// started with extra environment, waited for with a time limit.
#pragma once

#include "app/P00_util.h"
#include "support/TestSupport.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>

namespace velbrin::test {

class LinkInstallation {
public:
    LinkInstallation() {
        root = dir.Path() + "/inst";
        runtime = dir.Path() + "/run";
        registry = dir.Path() + "/registry.ini";
        WriteWholeFile(registry, "[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=" + root + "\n");
        ForceDirectories(runtime);
        xdg = dir.Path() + "/xdg";
        ForceDirectories(xdg);
        ::chmod(xdg.c_str(), 0700);
#ifdef VELBRIN_TEMPLATE_DB
        // The empty database the program copies into place at its first start.
        ForceDirectories(root + "/Other/DB_Clear");
        CopyFileOverwrite(VELBRIN_TEMPLATE_DB, root + "/Other/DB_Clear/Zorvex.fdb");
#endif
    }
    void Ini(const std::string& text) {
        ForceDirectories(root + "/Appl");
        WriteWholeFile(root + "/Appl/LINK.INI", text);
    }
    std::string LinkLog() const {
        std::string p = root + "/Logs/LINK_log.txt";
        return FileExists(p) ? ReadWholeFile(p) : "";
    }

    TempDir dir;
    std::string root, runtime, registry, xdg;
};

// Polls until the condition holds or the time is up.
inline bool WaitFor(const std::function<bool()>& cond, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return cond();
}

class LinkProcess {
public:
    LinkProcess(const LinkInstallation& inst, std::map<std::string, std::string> env) {
        env["VELBRIN_REGISTRY"] = inst.registry;
        env["VELBRIN_RUNTIME_DIR"] = inst.runtime;
        env.try_emplace("XDG_RUNTIME_DIR", inst.xdg);
#ifdef VELBRIN_TEST_FIREBIRD_LOCK
        env.try_emplace("FIREBIRD_LOCK", VELBRIN_TEST_FIREBIRD_LOCK);
#endif
        pid_ = ::fork();
        if (pid_ == 0) {
            for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
            ::execl(VELBRIN_LINK_BINARY, "velbrin-link", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~LinkProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t Pid() const { return pid_; }
    bool Running() {
        Poll();
        return !exited_;
    }
    // The exit code, or -1 when the program did not end in time (or died by a signal).
    int WaitExit(int ms) {
        WaitFor([this] { return !Running(); }, ms);
        return exited_ ? code_ : -1;
    }
    void Stop() {
        if (Running()) ::kill(pid_, SIGTERM);
    }

private:
    void Poll() {
        if (exited_ || pid_ <= 0) return;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
    }
    pid_t pid_ = -1;
    bool exited_ = false;
    int code_ = -1;
};

}  // namespace velbrin::test
