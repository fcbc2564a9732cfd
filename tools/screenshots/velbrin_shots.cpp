// Draws the important-message dialog and the printer status window, each into a
// PNG file in the folder given, on a throw-away installation with a simulated
// printer. Needs a display (tools/screenshots.sh runs it under Xvfb).
#include "app/P00_inilink.h"
#include "app/P00_log.h"
#include "app/P00_msg.h"
#include "app/P00_util.h"
#include "app/P00_yellowmsg.h"
#include "app/shell/P00_formyellowmsg.h"
#include "app/status/P00_formfpstatus.h"
#include "tools/fp550sim/Fp550Simulator.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace velbrin;

namespace {

bool Save(QWidget& w, const std::string& path) {
    bool ok = w.grab().save(QString::fromStdString(path), "PNG");
    std::printf("%s %s\n", ok ? "wrote" : "could not write", path.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: velbrin-shots OUTPUT_FOLDER\n");
        return 2;
    }
    const std::string out = argv[1];
    char tmpl[] = "/tmp/velbrin-shots-XXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    const std::string root = tmpl;
    WriteWholeFile(root + "/store.ini", "[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=" + root + "/inst\n");
    ::setenv("VELBRIN_REGISTRY", (root + "/store.ini").c_str(), 1);
    ::setenv("VELBRIN_RUNTIME_DIR", (root + "/run").c_str(), 1);

    sim::Fp550Simulator printer(root + "/fp550.state");
    ForceDirectories(root + "/inst/Appl");
    WriteWholeFile(root + "/inst/Appl/LINK.INI", "[Portovi]\nFP=" + printer.Start() + "\n");

    QApplication app(argc, argv);
    bool ok = true;
    {
        TMsgTable messages;
        TIniLink ini;
        TLogFile log;
        TYellowMsg logic(messages, ini, log);
        TFormYellowMsg dialog(logic);
        QTimer::singleShot(500, &dialog, [&] {
            ok = Save(dialog, out + "/yellowmsg.png") && ok;
            dialog.accept();
        });
        dialog.ShowNumbered(TYellowMsg::kPaperOutMessage);
    }
    {
        TFpStatusProbe probe;
        TFormFPStatus form(probe);
        form.Refresh();
        QTimer::singleShot(500, &form, [&] {
            ok = Save(form, out + "/status.png") && ok;
            form.accept();
        });
        form.exec();
    }
    printer.Stop();
    std::system(("rm -rf '" + root + "'").c_str());
    return ok ? 0 : 1;
}
