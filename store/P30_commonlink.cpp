#include "store/P30_commonlink.h"

#include <string>

namespace velbrin {

TFormCommonLink::TFormCommonLink(TFormConnection& connection) : QSql(connection) {}

void TFormCommonLink::StoreLastBonId(int64_t n)
{
    QSql.SetSQL("select count(*) cnt from vle where vle_key='BonID'");
    QSql.Open();
    const int64_t count = QSql.AsInteger("cnt");
    QSql.Close();
    const std::string value = std::to_string(n);
    if (count == 0)
        QSql.SetSQL("insert into vle(vle_key,vle_value) values('BonID'," + value + ")");
    else
        QSql.SetSQL("update vle set vle_value=" + value + " where vle_key='BonID'");
    QSql.ExecSQL();
}

}  // namespace velbrin
