// Entry of the link: one instance per workstation, the forms in their order, the
// message loop. The exit code is 0 in every case.
#include "app/P00_marker.h"
#include "app/P00_msg.h"
#include "app/shell/P00_linkforms.h"
#include "app/shell/P00_qtappservices.h"

#include <QApplication>
#include <QCoreApplication>

#include <exception>
#include <memory>

int main(int argc, char** argv) {
    using namespace velbrin;
    try {
        TNamedMarker started("ZorvexStarted");
        if (!started.Acquire()) {
            // Another instance runs: ask it to the front, create no window.
            QCoreApplication core(argc, argv);
            TFormMainLINK::AskFirstInstanceToFront();
            return 0;
        }
        TMsgTable messages;
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        TQtAppServices services;
        std::unique_ptr<TLinkForms> forms;
        try {
            forms = std::make_unique<TLinkForms>(messages, services);
        } catch (const std::exception& e) {
            TQtAppServices::ErrorBox(e.what());
            return 0;
        }
        forms->Main().show();
        QApplication::exec();
        forms.reset();
    } catch (...) {
        // nothing may change the exit code
    }
    return 0;
}
