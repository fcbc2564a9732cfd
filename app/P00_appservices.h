// What the core asks of the application shell. The Qt program implements it
// with its event loop and dialogs; tests use a fake that records and answers at once.
#pragma once

#include <string>

namespace velbrin {

class TAppServices {
public:
    virtual ~TAppServices() = default;
    // Ask the application to terminate; it ends once control is back in its message loop.
    virtual void Terminate() = 0;
    virtual bool Terminated() const = 0;
    // Let pending window messages be processed (a termination request takes effect).
    virtual void ProcessMessages() = 0;
    // The important-message dialog: numbered message n, or a free text (Windows-1250). Modal.
    virtual void ShowNumbered(int n) = 0;
    virtual void ShowText(const std::string& text) = 0;
    // The standard error box (an exception that left the start-up or a cycle).
    virtual void ShowError(const std::string& text) = 0;
    // The error box shown without waiting for the operator: the cycle goes on
    // (answers that cannot be delivered, requests that cannot be removed).
    virtual void ShowNotice(const std::string& text) = 0;
};

}  // namespace velbrin
