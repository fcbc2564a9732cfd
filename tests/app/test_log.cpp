#include "app/P00_log.h"
#include "app/P00_util.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>

using namespace velbrin;

namespace {
const std::string kStamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";
}

TEST(LogFile, EntriesAreStoredByteForByte) {
    struct Case { const char* name; std::string text; std::string pattern; };
    const Case cases[] = {
        {"one line", "Kabl DISPLAY-ja", kStamp + " Kabl DISPLAY-ja\r\n"},
        {"empty text", "", kStamp + " \r\n"},
        {"several lines", "a\nb\n\nc", kStamp + " a\r\nb\r\n\r\nc\r\n"},
        {"8-bit text unchanged", "Gre\x9A" "ka", kStamp + " Gre\x9A" "ka\r\n"},
        {"line feed at the end", "x\n", kStamp + " x\r\n\r\n"},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        TLogFile log(dir.File("LINK_log.txt"));
        log.Write(c.text);
        std::string bytes = ReadWholeFile(dir.File("LINK_log.txt"));
        EXPECT_TRUE(std::regex_match(bytes, std::regex(c.pattern))) << c.name << ": [" << bytes << "]";
    }
}

TEST(LogFile, EveryWriteAppendsOneEntry) {
    test::TempDir dir;
    TLogFile log(dir.File("FP550_log.txt"));
    log.Write("first");
    log.Write("first");
    EXPECT_TRUE(std::regex_match(ReadWholeFile(dir.File("FP550_log.txt")),
                                 std::regex(kStamp + " first\r\n" + kStamp + " first\r\n")));
}

TEST(LogFile, MissingFoldersAreCreated) {
    test::TempDir dir;
    TLogFile log(dir.File("Logs/deeper/LINK_log.txt"));
    log.Write("x");
    EXPECT_TRUE(FileExists(dir.File("Logs/deeper/LINK_log.txt")));
}

TEST(LogFile, NothingIsWrittenAndNothingRaisedWhenTheLogCannotBeWritten) {
    test::TempDir dir;
    ForceDirectories(dir.File("isdir"));
    WriteWholeFile(dir.File("file"), "");
    const std::string paths[] = {"", " ", dir.File("isdir"), dir.File("file/below/x.txt"), "/proc/velbrin/x.txt"};
    for (const std::string& p : paths) {
        TLogFile log(p);
        EXPECT_NO_THROW(log.Write("lost")) << p;
    }
    EXPECT_EQ(ReadWholeFile(dir.File("file")), "");
    TLogFile unset;
    EXPECT_NO_THROW(unset.Write("dropped before the path is set"));
}
