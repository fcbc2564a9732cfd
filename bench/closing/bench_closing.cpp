// Export of a closed day of 100,000 sale lines (and 10,000 payments) in each
// export format: seconds and peak resident memory of the whole batch (ZA, ZB
// and ZC), each format in a process of its own so that one figure does not hide
// in another. The database is filled inside the engine by one statement.
#include "app/P00_appservices.h"
#include "app/P00_inilink.h"
#include "app/P00_msg.h"
#include "app/P00_util.h"
#include "closing/P32_zets.h"
#include "formats/P00_convert.h"
#include "printer/P00_fp.h"
#include "printer/P00_fpdef.h"
#include "store/P00_connection.h"
#include "store/P00_query.h"
#include "store/P30_commonlink.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

using namespace velbrin;

namespace {

constexpr int kLines = 100000;
constexpr const char* kStamp = "2024-01-31 23:05:10";

class QuietApp : public TAppServices {
public:
    void Terminate() override { terminated_ = true; }
    bool Terminated() const override { return terminated_; }
    void ProcessMessages() override {}
    void ShowNumbered(int n) override { std::fprintf(stderr, "message %d\n", n); }
    void ShowText(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void ShowError(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void ShowNotice(const std::string& text) override { ShowError(text); }

private:
    bool terminated_ = false;
};

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void Exec(TFormConnection& connection, const std::string& sql)
{
    TSqlQuery q(connection);
    q.SetSQL(sql);
    q.ExecSQL();
}

// Day 000001 closed with kLines sale lines and a tenth as many payments; day 000002 open.
void FillDatabase(const std::string& path)
{
    TFormConnection connection(path);
    Exec(connection, "insert into zets(zet_id,trm_id,dtm_tran,br_bonova,br_stavki,fp_iznos) values('000001','000','" +
                         std::string(kStamp) + "',10000," + std::to_string(kLines) + ",1234567.89)");
    Exec(connection, "insert into zets(zet_id,trm_id) values('000002','000')");
    // Rows made by the engine from two counters (a recursive query may not go deeper than 1024).
    const std::string numbers =
        " from (with recursive a(i) as (select 0 from rdb$database union all select i + 1 from a where i < 999),"
        " b(j) as (select 0 from rdb$database union all select j + 1 from b where j < 99)"
        " select a.i * 100 + b.j n from a cross join b) ";
    Exec(connection, "insert into sales select '000001','000','2024-01-31 10:00:00:000','" + std::string(kStamp) +
                         "',n / 10 + 1,'KAS1','ART' || mod(n, 5000),'A','Artikal broj ' || n,1.5,"
                         "mod(n, 9000) + 0.25,(mod(n, 9000) + 0.25) * 1.5,0,'N','PLU' || n" + numbers +
                         "where n < " + std::to_string(kLines));
    Exec(connection, "insert into payments select '000001','000','2024-01-31 10:00:00:000','" + std::string(kStamp) +
                         "',n + 1,'KAS1',100.5,0.5,101,0,0,0,0,0,'',10,'N','N'" + numbers +
                         "where n < " + std::to_string(kLines / 10));
}

bool MeasureExport(const std::string& format, const std::string& root, const std::string& dbPath)
{
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int code = 0;
        try {
            const std::string dir = root + "/" + format;
            ForceDirectories(dir);
            WriteWholeFile(dir + "/registry.ini",
                           "[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=" + dir + "/install\n");
            ::setenv("VELBRIN_REGISTRY", (dir + "/registry.ini").c_str(), 1);
            ::setenv("VELBRIN_RUNTIME_DIR", (dir + "/run").c_str(), 1);
            TIniLink ini;
            ini.WriteString("Osnovno", "ExportFormat", format);
            ForceDirectories(ini.FromFpDir());
            QuietApp app;
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
            zets.ExportClosedDay(kStamp);
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const double cpu = CpuSeconds() - cpuBefore;
            std::uintmax_t bytes = 0;
            for (const auto& entry : std::filesystem::directory_iterator(ini.FromFpDir())) bytes += entry.file_size();
            // CPU time beside the wall time: on a shared machine the wall time includes waiting for a core.
            std::printf("%-4s %7.2f s wall %7.2f s CPU %8.0f lines/s   peak RSS %7ld KB (%6ld KB before)   "
                        "files %5.1f MB\n",
                        format.c_str(), s, cpu, kLines / s, PeakKb(), before, bytes / 1e6);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", format.c_str(), e.what());
            code = 1;
        }
        std::fflush(stdout);
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main()
{
    if (std::getenv("FIREBIRD_LOCK") == nullptr) {
        ForceDirectories(VELBRIN_BENCH_FIREBIRD_LOCK);
        ::setenv("FIREBIRD_LOCK", VELBRIN_BENCH_FIREBIRD_LOCK, 0);
    }
    const std::string root = (std::filesystem::temp_directory_path() / "velbrin-bench-closing").string();
    std::filesystem::remove_all(root);
    ForceDirectories(root);
    const std::string dbPath = root + "/Zorvex.fdb";
    if (!CopyFileOverwrite(VELBRIN_TEMPLATE_DB, dbPath)) {
        std::fprintf(stderr, "cannot copy %s\n", VELBRIN_TEMPLATE_DB);
        return 1;
    }
    // The fill runs in a child too: the embedded engine lets one process at a time open the file.
    const pid_t pid = fork();
    if (pid == 0) {
        try {
            const auto start = std::chrono::steady_clock::now();
            FillDatabase(dbPath);
            std::printf("filled %d sale lines in %.1f s\n", kLines,
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "fill: %s\n", e.what());
            std::fflush(stdout);
            _exit(1);
        }
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    std::printf("closed day: %d sale lines, %d payments, one day record (ZA, ZB, ZC)\n", kLines, kLines / 10);
    bool ok = true;
    for (const char* format : {"XML", "TXT", "CSV", "DBF"}) ok = MeasureExport(format, root, dbPath) && ok;
    std::filesystem::remove_all(root);
    return ok ? 0 : 1;
}
