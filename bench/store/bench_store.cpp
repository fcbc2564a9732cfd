// Rate of single-statement inserts, each committed on its own, on the embedded
// engine with forced writes on as the empty database ships; and of the
// read-only selects that run per receipt line.
#include "app/P00_util.h"
#include "store/P00_connection.h"
#include "store/P00_query.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

using namespace velbrin;

namespace {

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 500;
    if (std::getenv("FIREBIRD_LOCK") == nullptr) {
        ForceDirectories(VELBRIN_BENCH_FIREBIRD_LOCK);
        ::setenv("FIREBIRD_LOCK", VELBRIN_BENCH_FIREBIRD_LOCK, 0);
    }
    const std::string dir = (std::filesystem::temp_directory_path() / "velbrin-bench-store").string();
    ForceDirectories(dir);
    // A second argument names the folder of the database copy (its disk sets the commit cost).
    const std::string path = (argc > 2 ? std::string(argv[2]) : dir) + "/Zorvex.fdb";
    if (!CopyFileOverwrite(VELBRIN_TEMPLATE_DB, path)) {
        std::fprintf(stderr, "cannot copy %s\n", VELBRIN_TEMPLATE_DB);
        return 1;
    }
    try {
        auto start = std::chrono::steady_clock::now();
        TFormConnection connection(path);
        std::printf("first attach: %.1f ms\n", Seconds(start) * 1000);

        TSqlQuery insert(connection);
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) {
            insert.SetSQL("insert into curr_sales(zet_id,trm_id,dtm_tran,bon_id,art_id,tax_id,plu_naziv,kolicina,"
                          "cena,iznos,prc_popust,ind_storno,fp_command) values('000001','000',:dtm_tran,1,"
                          ":art_id,'2',:plu_naziv,:kolicina,:cena,:iznos,0,'N',:fp_command)");
            insert.SetString("dtm_tran", "2027-03-01 09:05:03:" + std::to_string(100 + i % 900));
            insert.SetString("art_id", "ART" + std::to_string(i));
            insert.SetString("plu_naziv", "Article name " + std::to_string(i));
            insert.SetMoney("kolicina", Money::FromUnits(1));
            insert.SetMoney("cena", Money::Parse("12.50"));
            insert.SetMoney("iznos", Money::Parse("12.50"));
            insert.SetString("fp_command", std::to_string(i + 2) + "#12.50");
            insert.ExecSQL();
        }
        double s = Seconds(start);
        std::printf("insert + commit (forced writes on): %d in %.2f s, %.0f per second, %.3f ms each\n", count, s,
                    count / s, s * 1000 / count);

        // A receipt file of 250 rows taken into curr_abc: one commit per row, and all
        // rows in one transaction with one commit.
        constexpr int kRows = 250;
        TSqlQuery abc(connection);
        auto intake = [&](bool together) {
            TSqlQuery clear(connection);
            clear.SetSQL("delete from curr_abc");
            clear.ExecSQL();
            const uint64_t commits0 = connection.SQLConnection1.Commits();
            const auto t = std::chrono::steady_clock::now();
            std::unique_ptr<TSqlTransaction> batch;
            if (together) batch = std::make_unique<TSqlTransaction>(connection);
            for (int i = 0; i < kRows; ++i) {
                abc.SetSQL("insert into curr_abc( seq, art_id, tax_id, plu_naziv, cena, kolicina)  "
                           "values(:seq,:art_id,:tax_id,:plu_naziv,:cena,:kolicina)");
                abc.SetInteger("seq", i);
                abc.SetString("art_id", "ART" + std::to_string(i));
                abc.SetString("tax_id", "1");
                abc.SetString("plu_naziv", "Article name " + std::to_string(i));
                abc.SetMoney("cena", Money::Parse("12.50"));
                abc.SetMoney("kolicina", Money::FromUnits(1));
                abc.ExecSQL();
            }
            if (batch) batch->Commit();
            const double took = Seconds(t);
            std::printf("curr_abc intake of %d rows, %-22s %8.2f ms, %.3f ms per row, %llu commits\n", kRows,
                        together ? "one transaction:" : "one commit per row:", took * 1000, took * 1000 / kRows,
                        static_cast<unsigned long long>(connection.SQLConnection1.Commits() - commits0));
        };
        intake(false);
        intake(true);

        TSqlQuery select(connection);
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) {
            select.SetSQL("select plu_id, cena from arts where art_id=:art_id");
            select.SetString("art_id", "ART" + std::to_string(i));
            select.Open();
            select.Close();
        }
        s = Seconds(start);
        std::printf("select (read-only transaction): %d in %.2f s, %.3f ms each\n", count, s, s * 1000 / count);
    } catch (const LinkError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::filesystem::remove_all(dir);
    return 0;
}
