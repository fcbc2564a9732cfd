#include "tools/harness/HarnessHostileRun.h"

#include "app/P00_util.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace velbrin::harness {

std::string Key(const std::string& name) { return UpperCase(ChangeFileExt(name, "")); }

std::map<std::string, std::string> CanaryState(const std::string& dir) {
    std::map<std::string, std::string> state;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec)) {
        struct stat st {};
        if (::lstat(e.path().c_str(), &st) != 0) continue;
        std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " +
                           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
        if (S_ISREG(st.st_mode)) what += " " + ReadWholeFile(e.path().string());
        state[e.path().string()] = what;
    }
    return state;
}

long long PeakKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0) return LeadingInt(Trim(line.substr(6)));
    return -1;
}

std::vector<SentRequest> HostileRun::NormalBatch() {
    std::vector<SentRequest> batch;
    batch.push_back(s_.NextReceiptRequest(batchNo_++ % 2 ? "csv" : "zvx"));
    s_.others.push_back(MakeCashFile(s_.nextK++, s_.rng));
    batch.push_back(s_.others.back());
    s_.others.push_back(MakeTextFile(s_.nextK++, s_.rng));
    batch.push_back(s_.others.back());
    s_.others.push_back(MakeArticleFile(s_.nextK++, 'N', s_.articlePool, s_.rng));
    batch.push_back(s_.others.back());
    return batch;
}

bool HostileRun::WaitTimed(const std::vector<SentRequest>& batch, std::map<std::string, long long>& dropped,
                           const std::string& behind) {
    std::map<std::string, long long> answered;
    const bool all = WaitUntil(
        [&] {
            s_.AnswerMessages();
            s_.cash.Collect();
            for (const SentRequest& r : batch)
                if (!answered.count(r.request) && s_.cash.Answered(r.request)) answered[r.request] = NowMs();
            return answered.size() == batch.size();
        },
        60000);
    for (const auto& [request, at] : answered) {
        const long long wait = at - dropped[request];
        if (wait > longestWaitMs) longestWaitMs = wait, longestWaitBehind = behind;
    }
    return all;
}

void HostileRun::Case(const std::string& kind, const std::function<std::vector<Expected>()>& make) {
    if (!only_.empty() && kind.find(only_) == std::string::npos) return;
    ++tried[kind];
    std::printf("  %s\n", kind.c_str());
    std::fflush(stdout);
    std::vector<Expected> expected;
    try {
        expected = make();
    } catch (const std::exception& e) {
        faults.push_back(kind + ": the case could not be set up: " + e.what());
        return;
    }
    for (const Expected& e : expected) own[e.key] = e;
    const std::vector<SentRequest> batch = NormalBatch();
    std::map<std::string, long long> dropped;
    for (const SentRequest& r : batch) {
        dropped[r.request] = NowMs();
        s_.cash.Drop(r.name, r.bytes);
    }
    normal += static_cast<int>(batch.size());
    if (!WaitTimed(batch, dropped, kind)) faults.push_back("normal requests behind " + kind + " were not answered");
    NotePeak();
    if (!s_.link.Running()) {
        faults.push_back(kind + " ended the link");
        s_.Nurse();
    }
}

void HostileRun::NotePeak() {
    if (s_.link.Running()) peakKb = std::max(peakKb, PeakKb(s_.link.Pid()));
}

void HostileRun::Finish(RunResult& result) {
    // The odd files' answers, once every writer is done.
    WaitUntil(
        [&] {
            s_.cash.Collect();
            return std::all_of(own.begin(), own.end(), [&](const auto& e) {
                return static_cast<int>(s_.cash.AnswersOf(e.first).size()) >= (e.second.sharedName ? 1 : e.second.answers);
            });
        },
        30000);
    int unanswered = 0, twice = 0;
    for (auto it = own.begin(); it != own.end();) {
        const auto& got = s_.cash.AnswersOf(it->first);
        const bool ok = std::any_of(got.begin(), got.end(), [](const std::string& a) { return a.rfind("ok", 0) == 0; });
        if (ok && it->second.sound) {
            it->second.sound();
            sound.insert(it->first);
            it = own.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [key, e] : own) {
        const auto& got = s_.cash.AnswersOf(key);
        const int least = e.sharedName ? 1 : e.answers;
        if (static_cast<int>(got.size()) < least) ++unanswered;
        if (static_cast<int>(got.size()) < least || static_cast<int>(got.size()) > e.answers)
            faults.push_back(e.what + ": " + std::to_string(got.size()) + " answers, expected " +
                             std::to_string(e.answers));
        for (const std::string& a : got)
            if (e.err != (a.rfind("err", 0) == 0)) faults.push_back(e.what + " answered " + Trim(a));
        if (got.size() == 2 && !e.err && got[0] != got[1]) ++twice;
    }
    result.figures.push_back("odd files unanswered: " + std::to_string(unanswered) +
                             ", answered again otherwise than at first: " + std::to_string(twice) +
                             "; requests whose packet's name was free again when they came: " +
                             std::to_string(sound.size()));
}

}  // namespace velbrin::harness
