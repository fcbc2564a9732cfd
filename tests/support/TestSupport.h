// Helpers shared by the tests: a temporary directory that removes itself, and a
// fake of the application services that records what the core asked for.
#pragma once

#include "app/P00_appservices.h"
#include "app/P00_linkstatus.h"

#include <functional>
#include <string>
#include <vector>

namespace velbrin::test {

// The text of the LinkError that f raises, or "(no error)".
std::string Error(const std::function<void()>& f);

// Runs f in a child process as an unprivileged user when the test runs as root
// (root may write and open anywhere); returns what f returned.
std::string AsOrdinaryUser(const std::function<std::string()>& f);

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

class FakeAppServices : public TAppServices {
public:
    void Terminate() override { terminated = true; }
    bool Terminated() const override { return terminated; }
    void ProcessMessages() override { ++processed; }
    void ShowNumbered(int n) override { numbered.push_back(n); }
    void ShowText(const std::string& text) override {
        texts.push_back(text);
        if (onShowText) onShowText();
    }
    void ShowError(const std::string& text) override { errors.push_back(text); }
    void ShowNotice(const std::string& text) override { notices.push_back(text); }
    void Progress(TLinkText what, long done, long total) override {
        progress.push_back({what, done, total});
        if (onProgress) onProgress(progress.back());
    }
    void SetState(TLinkState state, bool on, const std::string& detail) override { status.Set(state, on, detail); }

    bool terminated = false;
    int processed = 0;
    std::vector<int> numbered;
    std::vector<std::string> texts;
    std::vector<std::string> errors;
    std::vector<std::string> notices;
    struct ProgressCall {
        TLinkText what;
        long done, total;
        bool operator==(const ProgressCall&) const = default;
    };
    std::vector<ProgressCall> progress;
    // What the operator or a stop request does meanwhile (e.g. terminated = true).
    std::function<void()> onShowText;
    std::function<void(const ProgressCall&)> onProgress;
    TLinkStatus status;  // what the tray would show
};

// Points VELBRIN_REGISTRY at a settings store in dir with the given install root
// (and remote exchange root, when not empty); restores the old value on destruction.
class ScopedRegistry {
public:
    ScopedRegistry(const std::string& dir, const std::string& installDir, const std::string& remoteExch = "");
    ~ScopedRegistry();

private:
    std::string old_;
    bool hadOld_ = false;
};

}  // namespace velbrin::test
