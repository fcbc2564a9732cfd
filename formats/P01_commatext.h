// Comma text and line lists: the way CSV request files, CSV exports and DBF
// records (as handed on by DbfFile) carry a list of items in one line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velbrin {

// Reads the items of one comma-text line one at a time, so that a line of
// millions of commas costs no memory. An unquoted item ends at a comma or at
// any character 0..32; a quoted item runs to its closing quote ("" inside
// stands for one quote) or to the end of the line.
class TCommaTextReader {
public:
    explicit TCommaTextReader(std::string_view line);
    // Next item into item; false when the line holds no more items.
    bool Next(std::string& item);

private:
    void SkipBlanks();
    std::string_view line_;
    std::size_t pos_ = 0;
    bool pendingEmpty_ = false;  // a comma ended the line: one more empty item
};

// All items of a line.
std::vector<std::string> SplitCommaText(std::string_view line);
// Joins items into one line: quotes an item holding a blank, control character,
// quote or comma (doubling its quotes); a list of one empty item is "".
std::string JoinCommaText(const std::vector<std::string>& items);
// Appends one item, quoted when needed, without any separator.
void AppendCommaItem(std::string& line, std::string_view item);

// Splits text into lines ending at CR LF, lone LF or lone CR; a NUL ends the
// text. A last line without terminator counts; a final terminator adds none.
std::vector<std::string_view> SplitLines(std::string_view text);

// Reads a whole file that must not be larger than maxBytes; the size is checked
// before anything is allocated. Raises LinkError naming the file.
std::string ReadBoundedFile(const std::string& path, std::size_t maxBytes);

}  // namespace velbrin
