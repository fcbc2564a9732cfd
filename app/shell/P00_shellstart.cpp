#include "app/shell/P00_shellstart.h"

#include <unistd.h>

#include <QString>
#include <QtGlobal>
#include <cstdio>

#include "app/P00_iniappl.h"
#include "app/P00_log.h"
#include "app/P00_msg.h"
#include "app/P00_starttext.h"
#include "app/P00_util.h"

namespace velbrin {

const char* const kLinkUsage =
    "usage: velbrin-link\n"
    "       velbrin-link --help | --version\n"
    "The link between the cash register's exchange folders and the FP-550 fiscal\n"
    "printer, as a tray program. It reads no other command line: the settings store\n"
    "(VELBRIN_REGISTRY, else /etc/helvane/velbrin.ini: Local_Install_Dir, Remote_Exch_Lnk)\n"
    "and <Local_Install_Dir>/Appl/LINK.INI say everything. Logs are in\n"
    "<Local_Install_Dir>/Logs. One copy runs per workstation; a second start brings\n"
    "the first to the front. It needs a display; the exit status is always 0.\n"
    "See velbrin-link(1).\n";

namespace {

QtMessageHandler g_previous = nullptr;

// The toolkit's warnings before the fatal one (which display could not be
// reached) pass through; its closing advice to reinstall is replaced by ours.
void OnToolkitMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtFatalMsg) {
        if (g_previous) g_previous(type, context, message);
        return;
    }
    const std::string text = NoDisplayText();
    std::fprintf(stderr, "%s\n", text.c_str());
    LogStartFailure(text);
    // The toolkit would abort right after this handler; nothing of the link runs yet
    // (no database, no port), and the markers are released with the process.
    std::fflush(stderr);
    ::_exit(0);
}

}  // namespace

std::string NoDisplayText() {
    TMsgTable messages;
    messages.SetLanguage(ConfiguredLanguage());
    return messages.Text(TLinkText::NoDisplay);
}

void LogStartFailure(const std::string& text) {
    std::string root = TIniAppl::ReadRegistryText("Local_Install_Dir");
    if (root.empty()) return;
    std::string logs = JoinPath(root, "Logs");
    if (!ForceDirectories(logs)) return;
    TLogFile(JoinPath(logs, "LINK_log.txt")).Write(OneLogEntry(text));
}

TNoDisplayGuard::TNoDisplayGuard() {
    g_previous = qInstallMessageHandler(OnToolkitMessage);
}

TNoDisplayGuard::~TNoDisplayGuard() {
    qInstallMessageHandler(g_previous);
}

}  // namespace velbrin
