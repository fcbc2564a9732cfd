// The last receipt number kept in vle at the day closing.
#include "DbTestSupport.h"

#include "store/P30_commonlink.h"

namespace velbrin::test {
namespace {

using CommonLinkTest = DbTest;

TEST_F(CommonLinkTest, StoreLastBonIdInsertsOnceThenUpdates)
{
    TFormCommonLink link(*connection);
    for (int64_t n : {41, 57, 0}) {
        link.StoreLastBonId(n);
        EXPECT_EQ(Scalar("select count(*) from vle where vle_key='BonID'"), "1");
        EXPECT_EQ(Scalar("select vle_value from vle where vle_key='BonID'"), std::to_string(n));
    }
    EXPECT_EQ(Scalar("select vle_value from vle where vle_key='DB_Version'"), "300");
}

}  // namespace
}  // namespace velbrin::test
