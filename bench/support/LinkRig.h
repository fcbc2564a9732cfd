// The real link program against the printer simulator program, installed and
// started the way tools/demo.sh does it: a throw-away installation with its own
// settings store, LINK.INI naming the simulator's port, offscreen Qt.
#pragma once

#include "app/P00_util.h"
#include "formats/P00_convert.h"
#include "formats/P01_datapacket.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace velbrin::bench {

using Clock = std::chrono::steady_clock;

#ifdef VELBRIN_BENCH_LINK
// The programs of this build tree and where the throw-away installations go
// (its disk sets what a commit costs).
struct LinkPrograms {
    std::string link = VELBRIN_BENCH_LINK;
    std::string sim = VELBRIN_BENCH_SIM;
    std::string templateDb = VELBRIN_BENCH_TEMPLATE_DB;
    std::string in = "/tmp";
};
#endif

inline double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

inline pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

inline void StopChild(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 1000; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// Waits (polling every 0.2 ms) until the file exists; the time it was seen.
inline Clock::time_point WaitForFile(const std::string& path, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!FileExists(path)) {
        if (Clock::now() > end) throw LinkError("no answer " + path);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return Clock::now();
}

inline std::string Packet(const std::string& kind,
                          const std::vector<std::vector<std::pair<std::string, std::string>>>& rows) {
    TDataPacket p;
    p.LoadFromText(TFormConvert::EmptyPacket(kind));
    for (const auto& values : rows) {
        const std::size_t r = p.AppendRow();
        for (const auto& [field, value] : values) p.SetValue(r, field, value);
    }
    return p.SaveToText();
}

// A one-line receipt whose price changes with k.
inline std::string OneLinePrice(int k) { return "1." + std::to_string(10 + k % 80); }
inline std::string Receipt(int k) {
    return Packet("ABC_", {{{"ART_ID", "1001"},
                            {"TAX_ID", "1"},
                            {"PLU_NAZIV", "ART 1001"},
                            {"CENA", OneLinePrice(k)},
                            {"KOLICINA", "1"}},
                           {{"ART_ID", "KRAJBONA"}, {"TAX_ID", "0"}, {"PLU_NAZIV", ""}, {"CENA", "0"}, {"KOLICINA", "0"}}});
}

// Written beside and renamed in, as the demo and the cash register do.
inline void Drop(const std::string& dir, const std::string& name, const std::string& bytes) {
    WriteWholeFile(JoinPath(dir, ".part"), bytes);
    if (::rename(JoinPath(dir, ".part").c_str(), JoinPath(dir, name).c_str()) != 0)
        throw LinkError("cannot rename into " + dir);
}

// One installation below in, with the simulator running; the link started by StartLink.
class LinkRig {
public:
    LinkRig(const std::string& in, const std::string& templateDb, const std::string& sim, bool watch) {
        std::string tmpl = in + "/velbrin-bench-link-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) throw LinkError("cannot make a folder in " + in);
        inst = tmpl;
        to = inst + "/Exch/Lnk/To_FP";
        from = inst + "/Exch/Lnk/From_FP";
        for (const char* dir : {"/run", "/firebird-lock", "/xdg", "/Appl", "/Other/DB_Clear"}) ForceDirectories(inst + dir);
        ::chmod((inst + "/xdg").c_str(), 0700);
        ForceDirectories(to);
        if (!CopyFileOverwrite(templateDb, inst + "/Other/DB_Clear/Zorvex.fdb"))
            throw LinkError("cannot copy " + templateDb);
        WriteWholeFile(inst + "/registry.ini",
                       "[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=" + inst + "\nRemote_Exch_Lnk=\n");
        env = {{"VELBRIN_REGISTRY", inst + "/registry.ini"}, {"VELBRIN_RUNTIME_DIR", inst + "/run"},
               {"FIREBIRD_LOCK", inst + "/firebird-lock"},   {"XDG_RUNTIME_DIR", inst + "/xdg"},
               {"QT_QPA_PLATFORM", "offscreen"},            {"VELBRIN_EXCHANGE_WATCH", watch ? "1" : "0"}};
        sim_ = Spawn({sim, "--state", inst + "/fp550.state", "--link", inst + "/ttyFP", "--control", inst + "/fp.sock"},
                     env);
        for (int i = 0; i < 500 && !FileExists(inst + "/ttyFP"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~LinkRig() {
        StopChild(link_);
        StopChild(sim_);
        std::error_code ec;
        std::filesystem::remove_all(inst, ec);
    }
    LinkRig(const LinkRig&) = delete;
    LinkRig& operator=(const LinkRig&) = delete;

    // LINK.INI names the simulator's port; extra lines follow.
    void WriteIni(const std::string& extra = "") const {
        WriteWholeFile(inst + "/Appl/LINK.INI", "[Portovi]\nFP=" + inst + "/ttyFP\n" + extra);
    }
    void StartLink(const std::string& program) { link_ = Spawn({program}, env); }
    pid_t LinkPid() const { return link_; }

    std::string inst, to, from;
    std::map<std::string, std::string> env;

private:
    pid_t sim_ = -1, link_ = -1;
};

}  // namespace velbrin::bench
