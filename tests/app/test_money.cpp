#include "app/P00_money.h"
#include "app/P00_util.h"

#include <gtest/gtest.h>

#include <clocale>

using velbrin::LinkError;
using velbrin::Money;

TEST(Money, ParsesDecimalTextExactly) {
    struct Case { const char* text; int64_t raw; };
    const Case cases[] = {
        {"0", 0},          {"12.5", 125000},      {"-12.50", -125000}, {" 7 ", 70000},
        {".5", 5000},      {"5.", 50000},         {"+3.0001", 30001},  {"1,234.56", 12345600},
        {"1,234,567", 12345670000}, {"0.00005", 1}, {"0.00004", 0},    {"-0.00005", -1},
        {"990000", 9900000000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Money::Parse(c.text).Raw(), c.raw) << c.text;
    }
}

TEST(Money, RefusesTextThatIsNotANumber) {
    for (const char* text : {"", " ", "abc", "1.2.3", "12,5", "1,23,456", ",123", "1e3", "-", ".", "12 5", "1,2345"}) {
        Money m;
        EXPECT_FALSE(Money::TryParse(text, m)) << text;
        EXPECT_THROW(Money::Parse(text), LinkError) << text;
    }
}

TEST(Money, FormatsWithPointWhateverTheLocale) {
    std::setlocale(LC_ALL, "de_DE.UTF-8");  // may not exist; the result must not depend on it
    EXPECT_EQ(Money::Parse("125.4").Format(2), "125.40");
    EXPECT_EQ(Money::Parse("2").Format(3), "2.000");
    EXPECT_EQ(Money::Parse("-20").Format(2), "-20.00");
    EXPECT_EQ(Money::Parse("0.005").Format(2), "0.01");
    EXPECT_EQ(Money::Parse("-0.005").Format(2), "-0.01");
    EXPECT_EQ(Money::Parse("-0.004").Format(2), "0.00");
    EXPECT_EQ(Money::Parse("1234567.891").FormatThousands(2), "1,234,567.89");
    EXPECT_EQ(Money::Parse("999.999").FormatThousands(2), "1,000.00");
    EXPECT_EQ(Money::FromRaw(INT64_MIN).Format(0).substr(0, 1), "-");
    std::setlocale(LC_ALL, "C");
}

TEST(Money, ProductIsCutToFourDecimals) {
    EXPECT_EQ(Money::Parse("0.333").MulTrunc(Money::Parse("3")).Raw(), 9990);
    EXPECT_EQ(Money::Parse("0.3333").MulTrunc(Money::Parse("0.3333")).Raw(), 1110);  // 0.11108889
    EXPECT_EQ(Money::Parse("-0.3333").MulTrunc(Money::Parse("0.3333")).Raw(), -1110);
    EXPECT_EQ(Money::FromHundredths(123456), Money::Parse("1234.56"));
}

TEST(Money, ValuesAtTheEdgeOfTheRangeAreRefusedNotWrapped) {
    struct Case { const char* text; bool ok; int64_t raw; };
    const Case cases[] = {
        {"922337203685477.5807", true, INT64_MAX},
        {"922337203685477.5808", false, 0},
        {"922337203685477.9999", false, 0},
        {"922337203685477.58074", true, INT64_MAX},  // rounds down into range
        {"922337203685477.58075", false, 0},         // rounds up out of range
        {"-922337203685477.5808", true, INT64_MIN},
        {"-922337203685477.5809", false, 0},
        {"922337203685478", false, 0},
        {"99999999999999999999999", false, 0},
        {"922,337,203,685,477.5807", true, INT64_MAX},
    };
    for (const Case& c : cases) {
        Money m;
        EXPECT_EQ(Money::TryParse(c.text, m), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(m.Raw(), c.raw) << c.text;
        }
    }
}

TEST(Money, FormatAndParseRoundTrip) {
    const int64_t raws[] = {0, 1, -1, 49, 50, 9999, 10000, -10001, 123456789, INT64_MAX, INT64_MIN + 1};
    for (int64_t raw : raws) {
        Money m = Money::FromRaw(raw);
        EXPECT_EQ(Money::Parse(m.Format(4)).Raw(), raw) << raw;
        EXPECT_EQ(Money::Parse(m.FormatThousands(4)).Raw(), raw) << raw;
    }
    EXPECT_EQ(Money::FromRaw(INT64_MAX).Format(2), "922337203685477.58");
    EXPECT_EQ(Money::FromRaw(INT64_MIN).Format(4), "-922337203685477.5808");
    EXPECT_EQ(Money::Parse("1.5").Format(7), "1.5000");  // more than four decimals are not invented
    EXPECT_EQ(Money::Parse("1.5").Format(-1), "2");
}
