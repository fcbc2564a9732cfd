#include <gtest/gtest.h>

#include "formats/P01_commatext.h"

using namespace velbrin;

namespace {

using Items = std::vector<std::string>;

TEST(CommaText, ReadingSplitsAtCommasBlanksAndQuotes) {
    struct Case {
        const char* name;
        std::string line;
        Items items;
    };
    const Case cases[] = {
        {"plain", "a,b,c", {"a", "b", "c"}},
        {"unquoted space separates",
         "1001,1,Sok Jabuka,120",
         {"1001", "1", "Sok", "Jabuka", "120"}},
        {"quoted keeps blanks", "\" Sok Jabuka \",2", {" Sok Jabuka ", "2"}},
        {"doubled quotes", "\"a \"\"b\"\", c\"", {"a \"b\", c"}},
        {"adjacent commas", "1001,,x", {"1001", "", "x"}},
        {"trailing comma", "a,", {"a", ""}},
        {"trailing comma then blank", "a, ", {"a"}},
        {"only commas", ",,", {"", "", ""}},
        {"leading and inner blanks", "  a ,  b\t", {"a", "b"}},
        {"unterminated quote runs to end", "x,\"abc, d", {"x", "abc, d"}},
        {"quote inside unquoted item is text", "ab\"cd\"", {"ab\"cd\""}},
        {"two empty quotes", "\"\"", {""}},
        {"empty line", "", {}},
        {"blank line", " \t ", {}},
        {"NUL ends the text", std::string("a,b\0,c", 6), {"a", "b"}},
        {"Windows-1250 bytes are text", "\x8A\x9E,\xE8", {"\x8A\x9E", "\xE8"}},
    };
    for (const Case& c : cases) EXPECT_EQ(SplitCommaText(c.line), c.items) << c.name;
}

TEST(CommaText, WritingQuotesOnlyWhatNeedsIt) {
    struct Case {
        Items items;
        std::string line;
    };
    const Case cases[] = {
        {{""}, "\"\""},
        {{}, ""},
        {{"a", "b"}, "a,b"},
        {{"a", "", "c"}, "a,,c"},
        {{"", ""}, ","},
        {{"Sok Jabuka"}, "\"Sok Jabuka\""},
        {{"say \"hi\""}, "\"say \"\"hi\"\"\""},
        {{"1,5"}, "\"1,5\""},
        {{"tab\there"}, "\"tab\there\""},
        {{"\x01"}, "\"\x01\""},
        {{"\x8A"
          "abac"},
         "\x8A"
         "abac"},
    };
    for (const Case& c : cases) EXPECT_EQ(JoinCommaText(c.items), c.line);
}

TEST(CommaText, WrittenLinesReadBackAsTheSameItems) {
    const Items lists[] = {
        {""},
        {"a", ""},
        {"", ""},
        {"", "x", ""},
        {" lead", "trail ", "in side", "q\"q", "c,c", "\"\"", "12.5"},
    };
    for (const Items& items : lists) EXPECT_EQ(SplitCommaText(JoinCommaText(items)), items);
}

TEST(CommaText, ReaderHandlesAHugeLineOfCommasWithoutHoldingItems) {
    std::string line(2'000'000, ',');
    TCommaTextReader reader(line);
    std::string item;
    std::size_t count = 0;
    while (reader.Next(item)) {
        ASSERT_TRUE(item.empty());
        ++count;
    }
    EXPECT_EQ(count, line.size() + 1);
}

TEST(Lines, EndAtCrLfLoneLfLoneCrAndNul) {
    struct Case {
        std::string text;
        std::vector<std::string_view> lines;
    };
    const Case cases[] = {
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"a\r\rb", {"a", "", "b"}},
        {"a\n\r\nb", {"a", "", "b"}},
        {"\r\n", {""}},
        {"", {}},
        {std::string("a\r\nb\0c\r\nd", 9), {"a", "b"}},
    };
    for (const Case& c : cases) EXPECT_EQ(SplitLines(c.text), c.lines);
}

}  // namespace
