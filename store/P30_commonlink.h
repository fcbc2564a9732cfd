// Operations shared by several parts of the link that concern the database and
// the printer together. For now: the last receipt number kept at the day closing.
#pragma once

#include "store/P00_query.h"

#include <cstdint>

namespace velbrin {

class TFormConnection;

class TFormCommonLink {
public:
    explicit TFormCommonLink(TFormConnection& connection);

    // Keeps n in vle under 'BonID' (inserted the first time, updated afterwards),
    // so that the next day's receipt numbering continues from it.
    void StoreLastBonId(int64_t n);

    TSqlQuery QSql;
};

}  // namespace velbrin
