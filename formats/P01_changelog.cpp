#include "formats/P01_changelog.h"

#include <string>

#include "app/P00_util.h"

namespace velbrin {

namespace {

constexpr unsigned char kOriginal = 1, kDeleted = 2, kChanged = 8;

std::string RowText(std::size_t row) { return "row " + std::to_string(row + 1); }

// The row each change log entry replaces, by the row that replaces it.
void ReadChangeLog(std::string_view log, std::vector<long>& replaces) {
    std::vector<long long> numbers;
    for (std::string_view rest = log; !rest.empty();) {
        std::size_t end = rest.find(' ');
        std::string_view item = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (item.empty()) continue;
        long long v = 0;
        if (!TryStrToInt(item, v) || v < 0) throw LinkError("bad CHANGE_LOG '" + std::string(log) + "'");
        numbers.push_back(v);
    }
    if (numbers.size() % 3 != 0) throw LinkError("bad CHANGE_LOG '" + std::string(log) + "'");
    const auto count = static_cast<long long>(replaces.size());
    for (std::size_t i = 0; i < numbers.size(); i += 3) {
        long long row = numbers[i], replaced = numbers[i + 1];
        // An entry of a record inserted and deleted again names no row.
        if (row == 0 || replaced == 0 || row == replaced) continue;
        if (row > count || replaced > count)
            throw LinkError("CHANGE_LOG names a row beyond the " + std::to_string(count) + " rows");
        replaces[static_cast<std::size_t>(row - 1)] = static_cast<long>(replaced - 1);
    }
}

}  // namespace

TMergedRows MergeRows(pugi::xml_node rowdata, std::string_view changeLog, bool wholeChangedRows) {
    TMergedRows merged;
    for (pugi::xml_node r = rowdata.child("ROW"); r; r = r.next_sibling("ROW")) {
        ++merged.rowCount;
        merged.unchanged = merged.unchanged && !r.attribute("RowState");
    }
    if (merged.unchanged) return merged;

    std::vector<unsigned char> state;
    for (pugi::xml_node r = rowdata.child("ROW"); r; r = r.next_sibling("ROW")) {
        long long s = 0;
        pugi::xml_attribute a = r.attribute("RowState");
        if (a && (!TryStrToInt(a.value(), s) || s < 0 || s > 255))
            throw LinkError(RowText(merged.rows.size()) + " has a bad RowState '" + a.value() + "'");
        merged.rows.push_back(r);
        state.push_back(static_cast<unsigned char>(s));
    }
    const std::size_t n = merged.rows.size();
    merged.base.assign(n, -1);
    std::vector<long> replaces(n, -1);
    ReadChangeLog(changeLog, replaces);
    std::vector<bool> replaced(n, false);
    for (std::size_t p = 0; p < n; ++p) {
        // Without an entry of its own a changed row follows its original.
        if ((state[p] & kChanged) && replaces[p] < 0) replaces[p] = static_cast<long>(p) - 1;
        if ((state[p] & kChanged) && replaces[p] < 0)
            throw LinkError(RowText(p) + " holds changes without the row they change");
        if (replaces[p] < 0) continue;
        const auto o = static_cast<std::size_t>(replaces[p]);
        if (o >= p) throw LinkError(RowText(p) + " replaces a row after it");
        if (state[o] & kDeleted) throw LinkError(RowText(p) + " changes the deleted " + RowText(o));
        if (replaced[o]) throw LinkError(RowText(o) + " is replaced twice");
        replaced[o] = true;
        if ((state[p] & kChanged) && !wholeChangedRows) merged.base[p] = replaces[p];
    }
    for (std::size_t p = 0; p < n; ++p) {
        if (replaced[p] || (state[p] & kDeleted)) continue;
        // The writer's reader refuses original values that no changed row follows.
        if (state[p] & kOriginal) throw LinkError(RowText(p) + " holds the original of a change that is missing");
        merged.records.push_back(p);
    }
    return merged;
}

}  // namespace velbrin
