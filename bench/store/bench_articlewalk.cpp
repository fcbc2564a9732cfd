// Deleting every article of the printer, the way the start-up synchronisation
// does it when the database holds none of them: the walk of "find first" / "find
// next" over the printer's table with a delete after each find, against the
// simulator with the line time of the real printer's 19200-baud port.
//   bench_articlewalk [ARTICLES=5000] [BAUD=19200]   (BAUD 0: as fast as the pty)
// Prints the seconds, the commands sent and the time per article, and how often
// the progress window was told how far the work had come.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/P00_inilink.h"
#include "app/P00_msg.h"
#include "app/P00_util.h"
#include "bench/support/BenchSupport.h"
#include "formats/P00_convert.h"
#include "printer/P00_fp.h"
#include "printer/P00_fpdef.h"
#include "store/P00_connection.h"
#include "store/P30_commonlink.h"
#include "tools/fp550sim/Fp550Simulator.h"
#include "tools/fp550sim/SimState.h"

using namespace velbrin;
using namespace velbrin::bench;

int main(int argc, char** argv) {
    const int articles = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int baud = argc > 2 ? std::atoi(argv[2]) : 19200;
    if (std::getenv("FIREBIRD_LOCK") == nullptr) {
        ForceDirectories(VELBRIN_BENCH_FIREBIRD_LOCK);
        ::setenv("FIREBIRD_LOCK", VELBRIN_BENCH_FIREBIRD_LOCK, 0);
    }
    const std::string root =
        (std::filesystem::temp_directory_path() / "velbrin-bench-articlewalk").string();
    std::filesystem::remove_all(root);
    ForceDirectories(root);
    try {
        sim::SimState state;
        for (int plu = 1; plu <= articles; ++plu)
            state.articles[plu] = {plu, 'A', 100 + plu, 0, "ARTIKAL " + std::to_string(plu)};
        sim::SaveStateFile(root + "/printer.state", state);
        sim::Fp550Simulator printer(root + "/printer.state");
        const std::string device = printer.Start();
        if (baud > 0) printer.Control("baud " + std::to_string(baud));

        WriteWholeFile(root + "/registry.ini",
                       "[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=" + root + "/inst\n");
        ::setenv("VELBRIN_REGISTRY", (root + "/registry.ini").c_str(), 1);
        ::setenv("VELBRIN_RUNTIME_DIR", (root + "/run").c_str(), 1);
        TIniLink ini;
        ForceDirectories(root + "/inst/DataBase");
        if (!CopyFileOverwrite(VELBRIN_TEMPLATE_DB, ini.DbPath()))
            throw LinkError("cannot copy the template");
        ConsoleApp app;
        TMsgTable messages;
        TFormConvert convert;
        TFormFPDef fpDef(std::make_unique<TPosixComPort>(device));
        TFormFP fp(fpDef, app);
        TFormConnection connection(ini.DbPath());
        TFormCommonLink common(connection, ini, fp, messages, app, convert);

        const int framesBefore = printer.FramesReceived();
        const auto start = std::chrono::steady_clock::now();
        common.DeleteAllArticlesInPrinter();
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const int frames = printer.FramesReceived() - framesBefore;
        std::printf(
            "%d articles deleted by the find-next walk at %s: %.1f s (%.1f min), %d commands, "
            "%.1f ms per article, %.2f ms per command; %zu left; progress told %ld times\n",
            articles, baud > 0 ? (std::to_string(baud) + " baud").c_str() : "pty speed", s, s / 60,
            frames, 1000 * s / articles, 1000 * s / frames, printer.State().articles.size(),
            app.progressReports);
        printer.Stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_articlewalk: %s\n", e.what());
        return 1;
    }
    TSqlConnection::ShutdownClient();
    return 0;
}
