// The last receipt number kept in vle at the day closing.

#include "CommonLinkRig.h"
#include "DbTestSupport.h"

namespace velbrin::test {
namespace {

using CommonLinkTest = DbTest;

TEST_F(CommonLinkTest, StoreLastBonIdInsertsOnceThenUpdates)
{
    CommonLinkRig rig(*connection, dir.Path());
    TFormCommonLink& link = *rig.commonLink;
    for (int64_t n : {41, 57, 0}) {
        link.StoreLastBonId(n);
        EXPECT_EQ(Scalar("select count(*) from vle where vle_key='BonID'"), "1");
        EXPECT_EQ(Scalar("select vle_value from vle where vle_key='BonID'"), std::to_string(n));
    }
    EXPECT_EQ(Scalar("select vle_value from vle where vle_key='DB_Version'"), "300");
}

}  // namespace
}  // namespace velbrin::test
