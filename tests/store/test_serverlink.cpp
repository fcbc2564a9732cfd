// A whole receipt, cash, the day closing and the exports of the link through a
// Firebird server and the link's own user, with the rights that db/ grants it.
#include "FirebirdServer.h"
#include "ReceiptTestSupport.h"
#include "store/P31_payitem.h"

namespace velbrin::test {
namespace {

TEST_F(ReceiptTest, ReceiptDayClosingAndExportsRunThroughTheServersLinkUser) {
    FirebirdServer server;
    if (!server.Failure().empty()) GTEST_SKIP() << server.Failure();
    // The rig's database goes to the server: nothing may hold it embedded meanwhile.
    bon.reset();
    rig.store.reset();
    rig.zets.reset();
    rig.commonLink.reset();
    rig.connection.reset();
    const std::string file = rig.ini->DbPath();
    const TDbLogin user{"KASA1", "Kasa1-lozinka"};
    std::string output;
    ASSERT_EQ(server.MakeLinkUser(file, user, &output), 0) << output;
    rig.connection = std::make_unique<TFormConnection>(server.Path(file), user);
    rig.RebuildNeighbours();
    Restart();

    Article("A1", 2, "30");
    AbcHeader("ABC_7.zvx");
    AbcRow(1, "A1", "1", "Hleb", "30", "2");
    AbcRow(2, "KRAJBONA", "", "", "0", "0");
    bon->BeginReceipt();
    rig.Exec("update curr_abc set tax_id='S' where seq=0");
    Line(1)->Sell();
    bon->PayWholeTotal();
    bon->CloseAndArchive(true);
    EXPECT_EQ(rig.Scalar("select count(*) from sales"), "1");
    EXPECT_EQ(rig.ScalarMoney("select iznos from payments"), Money::FromUnits(60));

    rig.commonLink->CashMovement(Money::FromUnits(100));
    rig.zets->CloseDay();
    EXPECT_EQ(rig.Scalar("select count(*) from zets where dtm_tran is not null"), "1");
    rig.zets->ExportDateRange("010100", "311299");
    rig.zets->DeleteDateRange("010100", "311299");
    EXPECT_EQ(rig.Scalar("select count(*) from sales"), "0");
    EXPECT_EQ(rig.Scalar("select current_user from rdb$database"), "KASA1");
}

}  // namespace
}  // namespace velbrin::test
