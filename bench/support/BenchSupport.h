// What the benchmarks share: an application that writes its messages to the
// console, this process's peak memory and CPU time, and a step run in a process
// of its own so that its peak memory is its own.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <functional>
#include <string>

#include "app/P00_appservices.h"

namespace velbrin::bench {

class ConsoleApp : public TAppServices {
public:
    void Terminate() override { terminated_ = true; }
    bool Terminated() const override { return terminated_; }
    void ProcessMessages() override {}
    void ShowNumbered(int n) override { std::fprintf(stderr, "message %d\n", n); }
    void ShowText(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void ShowError(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void ShowNotice(const std::string& text) override { ShowError(text); }
    // How often a progress window would have been told how far the work had come.
    void Progress(TLinkText, long done, long total) override {
        if (done < total) ++progressReports;
    }
    long progressReports = 0;

private:
    bool terminated_ = false;
};

inline long PeakKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

inline double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs body in a child process; true when it ends without an error, which is
// printed under the name what.
inline bool InOwnProcess(const char* what, const std::function<void()>& body) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int code = 0;
        try {
            body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", what, e.what());
            code = 1;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace velbrin::bench
