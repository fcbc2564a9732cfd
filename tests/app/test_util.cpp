#include "app/P00_datetime.h"
#include "app/P00_util.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace velbrin;

TEST(TextHelpers, CollapseAndStripCleanArticleNames) {
    EXPECT_EQ(CollapseSpaces(StripQuotes("  Sok  \"Jabuka\"   1L ")), "Sok Jabuka 1L");
    EXPECT_EQ(StripQuotes("a'b`c\"d"), "abcd");
    EXPECT_EQ(CollapseSpaces(""), "");
    EXPECT_EQ(CollapseSpaces("   "), "");
}

TEST(TextHelpers, FlagsAndDayNumbers) {
    EXPECT_TRUE(FlagIsSet("da"));
    EXPECT_TRUE(FlagIsSet("D"));
    EXPECT_FALSE(FlagIsSet("yes"));
    EXPECT_FALSE(FlagIsSet(""));
    EXPECT_EQ(FormatDayId(1), "000001");
    EXPECT_EQ(FormatDayId(1000), "001000");
    EXPECT_EQ(FormatDayId(1234567), "1234567");
}

TEST(TextHelpers, IntegersAndNames) {
    long long v = 0;
    EXPECT_TRUE(TryStrToInt(" 42 ", v));
    EXPECT_EQ(v, 42);
    EXPECT_FALSE(TryStrToInt("4a", v));
    EXPECT_FALSE(TryStrToInt("99999999999999999999", v));
    EXPECT_EQ(LeadingInt("12abc"), 12);
    EXPECT_EQ(LeadingInt("x"), 0);
    EXPECT_EQ(ChangeFileExt("/a/ABC_1.csv", ".zvx"), "/a/ABC_1.zvx");
    EXPECT_EQ(ChangeFileExt("ABC_5", ".zvx"), "ABC_5.zvx");
    EXPECT_EQ(ChangeFileExt("/a.b/ABC_5", ".ok"), "/a.b/ABC_5.ok");
    EXPECT_EQ(ExtractFileExt("/a/abc_1.TxT"), ".TxT");
}

TEST(Encoding, Cp1250RoundTripsThroughUtf8) {
    std::string cp = "\x8A" "abac \x9E" "ut \x96 \xE8";  // Š, ž, en dash, č
    std::string utf = Cp1250ToUtf8(cp);
    EXPECT_EQ(utf, "\xC5\xA0" "abac \xC5\xBE" "ut \xE2\x80\x93 \xC4\x8D");
    EXPECT_EQ(Utf8ToCp1250(utf), cp);
    EXPECT_THROW(Utf8ToCp1250("\xE4\xB8\xAD"), LinkError);  // a character Windows-1250 lacks
}

TEST(Files, MoveSucceedsOnlyWhenCopyAndDeleteDo) {
    test::TempDir dir;
    WriteWholeFile(dir.File("a"), "x");
    EXPECT_TRUE(MoveFileTo(dir.File("a"), dir.File("b")));
    EXPECT_FALSE(FileExists(dir.File("a")));
    EXPECT_EQ(ReadWholeFile(dir.File("b")), "x");
    EXPECT_FALSE(MoveFileTo(dir.File("missing"), dir.File("c")));
    EXPECT_FALSE(CopyFileOverwrite(dir.File("b"), dir.File("no/such/dir/c")));
    EXPECT_TRUE(ForceDirectories(dir.File("p/q/r")));
}

TEST(DateTimeStamps, TransactionAndClosingTexts) {
    DateTime dt;
    ASSERT_TRUE(DateTime::TryMake(2027, 3, 1, 9, 5, 3, 7, dt));
    EXPECT_EQ(dt.TranStamp(), "2027-03-01 09:05:03:007");
    EXPECT_EQ(dt.TranStamp().size(), 23u);
    EXPECT_EQ(dt.ZetStamp(), "2027-03-01 09:05:03");
    EXPECT_EQ(DateTime::Zero().ZetStamp(), "1899-12-30 00:00:00");
    EXPECT_EQ(DateTime::Zero().TotalMilliseconds(), 0);
    EXPECT_FALSE(DateTime::TryMake(2026, 2, 29, 0, 0, 0, 0, dt));
    EXPECT_TRUE(DateTime::TryMake(2024, 2, 29, 23, 59, 59, 0, dt));
    DateTime a, b;
    DateTime::TryMake(2026, 12, 31, 23, 59, 0, 0, a);
    DateTime::TryMake(2027, 1, 1, 0, 1, 0, 0, b);
    EXPECT_EQ(b.TotalMilliseconds() - a.TotalMilliseconds(), 120000);
}

TEST(TextHelpers, LongDigitStringsAreNotIntegers) {
    struct Case { const char* text; bool ok; long long value; };
    const Case cases[] = {
        {"9223372036854775807", true, INT64_MAX},
        {"9223372036854775808", false, 0},
        {"18446744073709551617", false, 0},  // would wrap to 1
        {"18446744073709551646", false, 0},  // would wrap to 30
        {"-9223372036854775807", true, -INT64_MAX},
        {"+17", true, 17},
    };
    for (const Case& c : cases) {
        long long v = -5;
        EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(TextHelpers, CollapseTrimsBlanksOfAnyKindAtTheEnds) {
    EXPECT_EQ(CollapseSpaces("\tSok  1L\r"), "Sok 1L");
    EXPECT_EQ(CollapseSpaces(" a \t b "), "a \t b");
}
