// Entry of the link: one instance per workstation, the forms in their order, the
// message loop. The exit code is 0 in every case.
#include "app/P00_marker.h"
#include "app/P00_msg.h"
#include "app/shell/P00_linkforms.h"
#include "app/shell/P00_qtappservices.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <exception>
#include <memory>

namespace {

// SIGTERM and SIGINT end the message loop like "Kraj rada", so the markers and
// the focus channel are removed on the way out.
int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    char c = 1;
    [[maybe_unused]] ssize_t n = ::write(stopPipe[1], &c, 1);
}

}  // namespace

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
        // Installed at once: a stop request that comes while Qt starts waits in the pipe.
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stopPipe) == 0) {
            std::signal(SIGTERM, OnStopSignal);
            std::signal(SIGINT, OnStopSignal);
        }
        TMsgTable messages;
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        TQtAppServices services;
        std::unique_ptr<QSocketNotifier> stopNotifier;
        if (stopPipe[0] >= 0) {
            stopNotifier = std::make_unique<QSocketNotifier>(stopPipe[0], QSocketNotifier::Read);
            QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, [&services] {
                char c = 0;
                [[maybe_unused]] ssize_t n = ::read(stopPipe[0], &c, 1);
                services.Terminate();  // also ends a start-up still under way
            });
        }
        std::unique_ptr<TLinkForms> forms;
        try {
            forms = std::make_unique<TLinkForms>(messages, services);
        } catch (const std::exception& e) {
            TQtAppServices::ErrorBox(e.what());
            return 0;
        }
        forms->Main().show();
        if (!services.Terminated()) QApplication::exec();
        forms.reset();
    } catch (...) {
        // nothing may change the exit code
    }
    return 0;
}
