// Throughput of the exchange file conversions: a 100,000-row receipt CSV into a
// packet, and a 100,000-row export packet into TXT, CSV and DBF. Prints rows per
// second and the peak resident memory of each step, run in a process of its own
// so that one step's memory does not hide in another's figure.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "app/P00_util.h"
#include "bench/support/BenchSupport.h"
#include "formats/P00_convert.h"

using namespace velbrin;
using namespace velbrin::bench;

namespace {

constexpr int kRows = 100000;

// Runs step in a process of its own, which prints its time and peak memory.
bool Measure(const char* what, const std::function<void()>& step) {
    return InOwnProcess(what, [&] {
        const auto start = std::chrono::steady_clock::now();
        step();
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%-28s %8.3f s %10.0f rows/s   peak RSS %7ld KB\n", what, s, kRows / s,
                    PeakKb());
    });
}

std::string ReceiptCsv() {
    std::string csv;
    char line[160];
    for (int i = 0; i < kRows; ++i) {
        std::snprintf(line, sizeof line, "%d,%d,\"Artikal broj %d\",%d.%02d,%d.%03d\r\n",
                      100000 + i, i % 4 + 1, i, i % 5000, i % 100, i % 7 + 1, i % 1000);
        csv += line;
    }
    return csv;
}

TDataPacket ExportPacket() {
    TDataPacket p;
    p.AddField(TFieldDef::String("ZET_ID", 6));
    p.AddField(TFieldDef::String("TRM_ID", 10));
    p.AddField(TFieldDef::String("DTM_TRAN", 23));
    p.AddField(TFieldDef::Integer("BON_ID", "i4"));
    p.AddField(TFieldDef::String("ART_ID", 20));
    p.AddField(TFieldDef::String("PLU_NAZIV", 28));
    p.AddField(TFieldDef::Fixed("KOLICINA", 18, 4));
    p.AddField(TFieldDef::Fixed("CENA", 18, 4));
    p.AddField(TFieldDef::Fixed("IZNOS", 18, 4));
    p.AddField(TFieldDef::String("IND_STORNO", 1));
    for (int i = 0; i < kRows; ++i) {
        std::size_t r = p.AppendRow();
        p.SetValue(r, 0, "000042");
        p.SetValue(r, 1, "1");
        p.SetValue(r, 2, "2024-01-15 10:11:12:345");
        p.SetValue(r, 3, std::to_string(i / 5 + 1));
        p.SetValue(r, 4, std::to_string(100000 + i));
        p.SetValue(r, 5,
                   "Artikal \x8A"
                   "abac " +
                       std::to_string(i));
        p.SetValue(r, 6, std::to_string(i % 7 + 1) + ".5");
        p.SetValue(r, 7, std::to_string(i % 5000) + ".99");
        p.SetValue(r, 8, std::to_string(i % 9000) + ".49");
        p.SetValue(r, 9, i % 10 == 0 ? "D" : "N");
    }
    return p;
}

}  // namespace

int main() {
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/velbrin-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    bool ok = true;
    std::printf("rows per step: %d\n", kRows);
    ok = ok && Measure("writing the test files", [&] {
             WriteWholeFile(dir + "/ABC_1.CSV", ReceiptCsv());
             ExportPacket().SaveToFile(dir + "/XA000001.xml");
         });
    ok = ok && Measure("receipt CSV -> packet",
                       [&] { TFormConvert().ConvertInputFile(dir + "/ABC_1.CSV"); });
    for (const char* format : {"TXT", "CSV", "DBF"}) {
        std::string what = std::string("export packet -> ") + format;
        ok = ok && Measure(what.c_str(), [&] {
                 TFormConvert().ConvertExportFile(dir + "/XA000001.xml", format);
             });
    }
    if (ok) {
        for (const char* name : {"ABC_1.CSV", "ABC_1.zvx", "XA000001.xml", "XA000001.txt",
                                 "XA000001.csv", "XA000001.dbf"})
            std::printf("%-14s %10ju bytes\n", name,
                        static_cast<std::uintmax_t>(fs::file_size(dir + "/" + name)));
    }
    fs::remove_all(dir);
    return ok ? 0 : 1;
}
