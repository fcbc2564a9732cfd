// The application services the core receives, realised with Qt: the event loop,
// the important-message dialog and the standard error box.
#pragma once

#include "app/P00_appservices.h"
#include "app/P00_linkstatus.h"

#include <functional>

namespace velbrin {

class TFormYellowMsg;
class TFormProgress;

class TQtAppServices : public TAppServices {
public:
    // The dialog exists only from the sixth form on; until then messages go to the error box.
    void SetDialog(TFormYellowMsg* dialog) { dialog_ = dialog; }
    // The window of long printer work; without one, the work goes on unseen.
    void SetProgressWindow(TFormProgress* window) { progress_ = window; }

    void Terminate() override;
    bool Terminated() const override { return terminated_; }
    void ProcessMessages() override;
    void ShowNumbered(int n) override;
    void ShowText(const std::string& text) override;
    void ShowError(const std::string& text) override;
    void ShowNotice(const std::string& text) override;
    void SetState(TLinkState state, bool on, const std::string& detail) override;
    void AnswerDelivered(const std::string& name) override;
    void Progress(TLinkText what, long done, long total) override;

    const TLinkStatus& Status() const { return status_; }
    // Called after every change of what the tray shows.
    void OnStateChange(std::function<void()> changed) { changed_ = std::move(changed); }

    // The standard error box, also usable before any form exists.
    static void ErrorBox(const std::string& text);

private:
    // A modal message is open while `show` runs: the tray says so meanwhile.
    void WhileWaiting(const std::string& what, const std::function<void()>& show);
    void Changed();

    TFormYellowMsg* dialog_ = nullptr;
    TFormProgress* progress_ = nullptr;
    bool terminated_ = false;
    TLinkStatus status_;
    std::function<void()> changed_;
};

}  // namespace velbrin
