// Entry of the link: one instance per workstation, the forms in their order, the
// message loop. The exit code is 0 in every case.
#include "app/P00_iniappl.h"
#include "app/P00_log.h"
#include "app/P00_marker.h"
#include "app/P00_msg.h"
#include "app/P00_starttext.h"
#include "app/P00_startup.h"
#include "app/P00_util.h"
#include "app/P00_version.h"
#include "app/shell/P00_linkforms.h"
#include "app/shell/P00_qtappservices.h"
#include "app/shell/P00_shellstart.h"
#include "store/P00_connection.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

namespace {

// SIGTERM and SIGINT end the message loop like "Kraj rada", so the markers, the
// focus channel and the database are closed on the way out. The two signals are
// blocked in every thread from the first moment and read from a signal descriptor:
// no handler runs, so the database engine cannot start its own shutdown on them
// in another thread while the link is still detaching (they would deadlock).
int OpenStopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    if (::pthread_sigmask(SIG_BLOCK, &stops, nullptr) != 0) return -1;
    return ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
}

// A start marker that cannot be opened would otherwise end every start in
// silence: the reason goes to stderr and the link log, and into a box when there
// is a display.
void ReportBlockedStart(const velbrin::TNamedMarker& marker, int argc, char** argv) {
    using namespace velbrin;
    TMsgTable messages;
    messages.SetLanguage(ConfiguredLanguage());
    const std::string text = MarkerFailureText(TNamedMarker::PathOf(marker.Name()), marker.OpenFailure(), messages);
    std::fprintf(stderr, "%s\n", Cp1250ToUtf8(text).c_str());
    LogStartFailure(text);
    if (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")) {
        QApplication app(argc, argv);
        TQtAppServices::ErrorBox(text);
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace velbrin;
    if (AnswersHelpOrVersion(argc, argv, "velbrin-link", kLinkUsage)) return 0;
    bool clientLeft = false;  // the database client still waits for a server
    try {
        TNamedMarker started("ZorvexStarted");
        if (!started.Acquire() && !started.OpenFailure().empty()) {
            ReportBlockedStart(started, argc, argv);
            return 0;
        }
        if (!started.Held()) {
            // Another instance runs: ask it to the front, create no window.
            QCoreApplication core(argc, argv);
            TFormMainLINK::AskFirstInstanceToFront();
            return 0;
        }
        // Blocked at once: a stop request that comes while Qt starts waits for the loop.
        int stopFd = OpenStopSignals();
        TMsgTable messages;
        auto noDisplay = std::make_unique<TNoDisplayGuard>();
        QApplication app(argc, argv);
        noDisplay.reset();
        QApplication::setQuitOnLastWindowClosed(false);
        TQtAppServices services;
        bool startFailed = false;
        std::unique_ptr<QSocketNotifier> stopNotifier;
        if (stopFd >= 0) {
            stopNotifier = std::make_unique<QSocketNotifier>(stopFd, QSocketNotifier::Read);
            QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, [&services, &startFailed, stopFd] {
                signalfd_siginfo info{};
                while (::read(stopFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                }
                services.Terminate();  // also ends a start-up still under way
                // The box of a failed start runs before the message loop, where a
                // quit request has no effect: end the box itself, or the program
                // would outlive the session that asked it to stop.
                if (startFailed) QCoreApplication::exit(0);
            });
        }
        ChooseEmbeddedLockDir(TIniAppl::ReadRegistryText("Local_Install_Dir"));
        std::unique_ptr<TLinkForms> forms;
        try {
            forms = std::make_unique<TLinkForms>(messages, services);
        } catch (const std::exception& e) {
            LogStartFailure(e.what());
            startFailed = true;
            // A stop request during the start ends it without a box to wait on.
            if (!services.Terminated()) TQtAppServices::ErrorBox(e.what());
            clientLeft = !TSqlConnection::ShutdownClient();
        }
        if (forms) {
            forms->Main().show();
            if (!services.Terminated()) QApplication::exec();
            forms.reset();
            clientLeft = !TSqlConnection::ShutdownClient();
        }
    } catch (...) {
        // nothing may change the exit code
    }
    // Everything of the link is closed and its markers released; only the exit
    // handlers of the database client would still wait for a silent server.
    if (clientLeft) {
        std::fflush(nullptr);
        ::_exit(0);
    }
    return 0;
}
