// The application services the core receives, realised with Qt: the event loop,
// the important-message dialog and the standard error box.
#pragma once

#include "app/P00_appservices.h"

namespace velbrin {

class TFormYellowMsg;

class TQtAppServices : public TAppServices {
public:
    // The dialog exists only from the sixth form on; until then messages go to the error box.
    void SetDialog(TFormYellowMsg* dialog) { dialog_ = dialog; }

    void Terminate() override;
    bool Terminated() const override { return terminated_; }
    void ProcessMessages() override;
    void ShowNumbered(int n) override;
    void ShowText(const std::string& text) override;
    void ShowError(const std::string& text) override;
    void ShowNotice(const std::string& text) override;

    // The standard error box, also usable before any form exists.
    static void ErrorBox(const std::string& text);

private:
    TFormYellowMsg* dialog_ = nullptr;
    bool terminated_ = false;
};

}  // namespace velbrin
