// The rows of a data packet saved with changes that were not merged into it.
// Such a packet keeps every change as rows marked by a RowState attribute
// (bits: 1 the original values of a changed record, 2 deleted, 4 inserted,
// 8 changed values) and ties each change to the row it replaces in the PARAMS
// attribute CHANGE_LOG: triples "row replaced-row kind", rows counted from 1,
// 0 for none, kind 2, 4 or 8. A row without RowState is an unchanged record.
#pragma once

#include <cstddef>
#include <pugixml.hpp>
#include <string_view>
#include <vector>

namespace velbrin {

struct TMergedRows {
    // No row marks a change: every ROW is a record as it stands, and the vectors
    // below stay empty, so that a large packet costs no more memory.
    bool unchanged = true;
    std::size_t rowCount = 0;
    std::vector<pugi::xml_node> rows;  // every ROW, in order
    // Per row: the row whose values a changed row holds only the changes to; -1 for none.
    std::vector<long> base;
    std::vector<std::size_t> records;  // the rows that are records after the merge, in order
};

// Merges the change log as the writer's own reader does: a deleted row and the
// original of a changed row are no record, a changed row is the record once.
// With wholeChangedRows a changed row holds the whole record, else only the
// fields that changed, over its original. Raises LinkError for a change log or
// row states that contradict each other.
TMergedRows MergeRows(pugi::xml_node rowdata, std::string_view changeLog, bool wholeChangedRows);

}  // namespace velbrin
