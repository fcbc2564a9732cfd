#include "support/LinkRig.h"

#include "app/P00_util.h"

#include <gtest/gtest.h>

namespace velbrin::test {
namespace {

TEST(LinkRig, BuildsAnInstallationWhosePrinterAndDatabaseAnswer)
{
    LinkRig rig({{{{"Osnovno", "TerminalNo"}, "007"}}, {"taxflags 101111111"}});
    EXPECT_EQ(rig.Scalar("select vle_value from vle where vle_key='DB_Version'"), "300");
    EXPECT_EQ(rig.fp->TaxGroupFlags(), "101111111");
    EXPECT_EQ(rig.fp->ReadTransactionState(), 1);
    EXPECT_EQ(rig.zets->CurrentDayId(), "000001");
    EXPECT_EQ(rig.Scalar("select trm_id from zets"), "007");
    EXPECT_TRUE(DirectoryExists(rig.ini->ToFpDir()));
    EXPECT_TRUE(DirectoryExists(rig.ini->FromFpDir()));
    EXPECT_TRUE(FileExists(rig.ini->TemplateDbPath()));

    rig.PrinterCommand(48, "1,4826,1");
    EXPECT_EQ(rig.JournalCount("OPEN "), 1);
    EXPECT_EQ(rig.fp->ReadTransactionState(), 3);
    EXPECT_THROW(rig.PrinterCommand(48, "1,4826,1"), LinkError);
    EXPECT_EQ(rig.app.numbered.size(), 0u);
    rig.linkLog.Write("one line");
    ASSERT_EQ(rig.LinkLogLines().size(), 1u);
    EXPECT_NE(rig.LinkLogLines()[0].find("one line"), std::string::npos);

    // A new start finds the open receipt on the printer and the day in the database.
    rig.app.Terminate();
    rig.RestartLink();
    EXPECT_FALSE(rig.app.Terminated());
    EXPECT_EQ(rig.fp->ReadTransactionState(), 3);
    EXPECT_EQ(rig.zets->CurrentDayId(), "000001");
    EXPECT_EQ(&rig.store->fp, rig.fp.get());
}

}  // namespace
}  // namespace velbrin::test
