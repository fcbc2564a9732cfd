// Export of a closed day of 100,000 sale lines (and 10,000 payments) in each
// export format: seconds and peak resident memory of the whole batch (ZA, ZB
// and ZC), each format and way in a process of its own so that one figure does
// not hide in another. Two ways side by side: the export as the link runs it,
// rows streamed a batch at a time, and the earlier way, the whole result held as
// one packet, saved, read back and converted; their files must be the same bytes.
// The database is filled inside the engine by one statement.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/P00_inilink.h"
#include "app/P00_msg.h"
#include "app/P00_util.h"
#include "bench/support/BenchSupport.h"
#include "closing/P32_zets.h"
#include "formats/P00_convert.h"
#include "printer/P00_fp.h"
#include "printer/P00_fpdef.h"
#include "store/P00_connection.h"
#include "store/P00_query.h"
#include "store/P30_commonlink.h"

using namespace velbrin;
using namespace velbrin::bench;

namespace {

constexpr int kLines = 100000;
constexpr const char* kStamp = "2024-01-31 23:05:10";

void Exec(TFormConnection& connection, const std::string& sql) {
    TSqlQuery q(connection);
    q.SetSQL(sql);
    q.ExecSQL();
}

// Day 000001 closed with kLines sale lines and a tenth as many payments; day 000002 open.
void FillDatabase(const std::string& path) {
    TFormConnection connection(path);
    Exec(connection,
         "insert into zets(zet_id,trm_id,dtm_tran,br_bonova,br_stavki,fp_iznos) "
         "values('000001','000','" +
             std::string(kStamp) + "',10000," + std::to_string(kLines) + ",1234567.89)");
    Exec(connection, "insert into zets(zet_id,trm_id) values('000002','000')");
    // Rows made by the engine from two counters (a recursive query may not go deeper than 1024).
    const std::string numbers =
        " from (with recursive a(i) as (select 0 from rdb$database union all select i + 1 from a "
        "where i < 999),"
        " b(j) as (select 0 from rdb$database union all select j + 1 from b where j < 99)"
        " select a.i * 100 + b.j n from a cross join b) ";
    Exec(connection, "insert into sales select '000001','000','2024-01-31 10:00:00:000','" +
                         std::string(kStamp) +
                         "',n / 10 + 1,'KAS1','ART' || mod(n, 5000),'A','Artikal broj ' || n,1.5,"
                         "mod(n, 9000) + 0.25,(mod(n, 9000) + 0.25) * 1.5,0,'N','PLU' || n" +
                         numbers + "where n < " + std::to_string(kLines));
    Exec(connection, "insert into payments select '000001','000','2024-01-31 10:00:00:000','" +
                         std::string(kStamp) +
                         "',n + 1,'KAS1',100.5,0.5,101,0,0,0,0,0,'',10,'N','N'" + numbers +
                         "where n < " + std::to_string(kLines / 10));
}

const char* const kLastClosedDay =
    "zet_id=(select max(zet_id) from zets where dtm_tran is not null)";

// The export step before rows were streamed: the whole result in one packet,
// saved, loaded again by the conversion and written in the export format.
void WholePacketExport(TFormConnection& connection, TFormConvert& convert, const std::string& sql,
                       const std::string& file, const std::string& format) {
    TDataPacket packet;
    TSqlQuery query(connection);
    query.SetSQL(sql);
    query.Open();
    FillPacketFromQuery(query, packet);
    query.Close();
    packet.SaveToFile(file);
    packet.Clear();
    if (SameText(format, "XML")) return;
    convert.ConvertExportFile(file, format);
    DeleteFileReport(file);
}

enum class Way { Streamed, WholePacket };

// The batch's files by kind (ZA, ZB, ZC) and extension, their numbers aside.
std::map<std::string, std::string> FilesByKind(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        files[entry.path().filename().string().substr(0, 2) + entry.path().extension().string()] =
            entry.path().string();
    return files;
}

// Compared a piece at a time: the children are forked from this process and
// would otherwise inherit the memory of the comparison in their peak figures.
bool SameBytes(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 16), bb(1 << 16);
    while (fa && fb) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount() ||
            !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
    }
    return !fa && !fb;
}

bool MeasureExport(const std::string& format, Way way, const std::string& root,
                   const std::string& dbPath) {
    const std::string dir = root + "/" + format + (way == Way::Streamed ? "-streamed" : "-whole");
    return InOwnProcess(format.c_str(), [&] {
        ForceDirectories(dir);
        WriteWholeFile(dir + "/registry.ini",
                       "[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=" + dir + "/install\n");
        ::setenv("VELBRIN_REGISTRY", (dir + "/registry.ini").c_str(), 1);
        ::setenv("VELBRIN_RUNTIME_DIR", (dir + "/run").c_str(), 1);
        TIniLink ini;
        ini.WriteString("Osnovno", "ExportFormat", format);
        ForceDirectories(ini.FromFpDir());
        ConsoleApp app;
        TMsgTable messages;
        TFormConvert convert;
        TFormFPDef fpDef(std::make_unique<TPosixComPort>(dir + "/no-printer"));
        TFormFP fp(fpDef, app);
        TFormConnection connection(dbPath);
        TFormCommonLink common(connection, ini, fp, messages, app, convert);
        TFormZets zets(connection, ini, fp, common);
        common.AttachZets(zets);
        const long before = PeakKb();
        const double cpuBefore = CpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        if (way == Way::Streamed) {
            zets.ExportClosedDay(kStamp);
        } else {
            const std::string last = kLastClosedDay;
            const std::string out = ini.FromFpDir() + "/";
            WholePacketExport(
                connection, convert,
                "select * from sales where " + last + " and ind_storno='N' order by art_id",
                out + "ZA0001.xml", format);
            WholePacketExport(connection, convert, "select * from payments where " + last,
                              out + "ZB0001.xml", format);
            WholePacketExport(connection, convert, "select * from zets where " + last,
                              out + "ZC0001.xml", format);
        }
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = CpuSeconds() - cpuBefore;
        std::uintmax_t bytes = 0;
        for (const auto& entry : std::filesystem::directory_iterator(ini.FromFpDir()))
            bytes += entry.file_size();
        // CPU time beside the wall time: on a shared machine the wall time includes waiting for a
        // core.
        std::printf(
            "%-4s %-12s %7.2f s wall %7.2f s CPU %8.0f lines/s   peak RSS %7ld KB (%6ld KB before) "
            "  "
            "files %5.1f MB\n",
            format.c_str(), way == Way::Streamed ? "streamed" : "whole packet", s, cpu, kLines / s,
            PeakKb(), before, bytes / 1e6);
    });
}

// Both ways wrote the same files, byte for byte.
bool SameFiles(const std::string& format, const std::string& root) {
    const auto streamed = FilesByKind(root + "/" + format + "-streamed/install/Exch/Lnk/From_FP");
    const auto whole = FilesByKind(root + "/" + format + "-whole/install/Exch/Lnk/From_FP");
    bool same = streamed.size() == 3 && whole.size() == 3;
    for (const auto& [kind, path] : streamed)
        same = same && whole.count(kind) && SameBytes(path, whole.at(kind));
    std::printf("%-4s %zu files, %s\n", format.c_str(), streamed.size(),
                same ? "the same bytes both ways" : "FILES DIFFER");
    return same;
}

}  // namespace

int main() {
    if (std::getenv("FIREBIRD_LOCK") == nullptr) {
        ForceDirectories(VELBRIN_BENCH_FIREBIRD_LOCK);
        ::setenv("FIREBIRD_LOCK", VELBRIN_BENCH_FIREBIRD_LOCK, 0);
    }
    const std::string root =
        (std::filesystem::temp_directory_path() / "velbrin-bench-closing").string();
    std::filesystem::remove_all(root);
    ForceDirectories(root);
    const std::string dbPath = root + "/Zorvex.fdb";
    if (!CopyFileOverwrite(VELBRIN_TEMPLATE_DB, dbPath)) {
        std::fprintf(stderr, "cannot copy %s\n", VELBRIN_TEMPLATE_DB);
        return 1;
    }
    // The fill runs in a child too: the embedded engine lets one process at a time open the file.
    const bool filled = InOwnProcess("fill", [&] {
        const auto start = std::chrono::steady_clock::now();
        FillDatabase(dbPath);
        std::printf(
            "filled %d sale lines in %.1f s\n", kLines,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    });
    if (!filled) return 1;
    std::printf("closed day: %d sale lines, %d payments, one day record (ZA, ZB, ZC)\n", kLines,
                kLines / 10);
    bool ok = true;
    for (const char* format : {"XML", "TXT", "CSV", "DBF"}) {
        ok = MeasureExport(format, Way::WholePacket, root, dbPath) && ok;
        ok = MeasureExport(format, Way::Streamed, root, dbPath) && ok;
        ok = SameFiles(format, root) && ok;
    }
    std::filesystem::remove_all(root);
    return ok ? 0 : 1;
}
