// velbrin-status: shows the identification and status bits of the printer on
// the port that LINK.INI names, in a window or (--text) on the terminal.
// While the link runs, it is asked for its state and the printer's last answer.
// Exit code 0 when the printer (or the running link) answered, 1 when nothing
// could be read, 2 on a wrong command line or a window without a display.
#include "app/P00_util.h"
#include "app/P00_version.h"
#include "app/status/P00_formfpstatus.h"
#include "app/status/P00_fpstatus.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char* const kUsage =
    "usage: velbrin-status [--text]\n"
    "       velbrin-status --help | --version\n"
    "  Reads command 90 (identification) and 74 (status) from the printer on the\n"
    "  port named by LINK.INI [Portovi] FP (settings store: VELBRIN_REGISTRY, else\n"
    "  /etc/helvane/velbrin.ini). While the link runs it holds the port: then the\n"
    "  link is asked for its state and the printer's last answer instead.\n"
    "  --text  print the reading instead of showing the window\n";

std::string ForTerminal(const std::string& cp1250) {
    try {
        return velbrin::Cp1250ToUtf8(cp1250);
    } catch (...) {
        return cp1250;
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace velbrin;
    if (AnswersHelpOrVersion(argc, argv, "velbrin-status", kUsage)) return 0;
    bool text = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--text") {
            text = true;
        } else if (arg.rfind("--", 0) == 0) {
            // single-dash options (-platform, -geometry, ...) are Qt's own
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    TFpStatusProbe probe;
    if (text) {
        TFpStatusReading r = probe.Read();
        std::fputs(ForTerminal(FormatStatusText(r)).c_str(), stdout);
        return r.answered || r.fromLink ? 0 : 1;
    }
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
        std::fputs("velbrin-status: no display here; use --text\n", stderr);
        return 2;
    }
    QApplication app(argc, argv);
    TFormFPStatus form(probe);
    form.Refresh();
    form.exec();
    return 0;
}
