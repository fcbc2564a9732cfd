#include "app/P00_msg.h"

#include <gtest/gtest.h>

using velbrin::TLinkText;
using velbrin::TMsgTable;

TEST(MsgTable, OnlyExactEngSelectsEnglish) {
    struct Case { const char* language; bool english; };
    const Case cases[] = {{"ENG", true}, {"eng", false}, {"Eng", false}, {"DE", false}, {"SRB", false}, {"", false}};
    for (const Case& c : cases) {
        TMsgTable t;
        t.SetLanguage(c.language);
        EXPECT_EQ(t.GetMsg(3).rfind(c.english ? "No paper on BON" : "Nestalo je papira", 0), 0u) << c.language;
    }
}

TEST(MsgTable, EmptySlotsAndNumbersOutsideTheTable) {
    TMsgTable t;
    for (int n : {7, 49, 61, 99, 100, 1000, -1}) EXPECT_EQ(t.GetMsg(n), "") << n;
    t.SetLanguage("ENG");
    for (int n : {7, 100}) EXPECT_EQ(t.GetMsg(n), "") << n;
    for (int n : {0, 1, 2, 3, 4, 5, 6, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60}) EXPECT_NE(t.GetMsg(n), "") << n;
}

TEST(MsgTable, TextsAreWindows1250ByteForByte) {
    TMsgTable t;
    EXPECT_EQ(t.GetMsg(54), "Polje CENA \x96 mora biti od 0.01 do 990000");
    EXPECT_EQ(t.GetMsg(56), "Polje IZNOS stavke \x96 mora biti u opsegu od 0 do 9900000");
    EXPECT_EQ(t.GetMsg(1).substr(0, t.GetMsg(1).find('\n')), "Prekid komunikacije sa FP-550!");
    EXPECT_EQ(t.GetMsg(6), "Ovaj FP-550 NIJE fiskalizovan!\nRadite na sopstvenu odgovornost!");
    t.SetLanguage("ENG");
    EXPECT_EQ(t.GetMsg(55).substr(0, 33), "Field KOLICINA / QUANTITY\x96must be");
    EXPECT_EQ(t.GetMsg(56), "Field IZNOS / AMOUNT  \x96 must be from 0 till 9900000");
    EXPECT_EQ(t.GetMsg(50), "Akction requires CLOSING A DAY!");
}

TEST(MsgTable, LinkTextsFollowTheLanguageAndExistInBoth) {
    TMsgTable srb, eng, lower;
    eng.SetLanguage("ENG");
    lower.SetLanguage("eng");
    for (int i = 0; i < static_cast<int>(TLinkText::Count); ++i) {
        const TLinkText id = static_cast<TLinkText>(i);
        EXPECT_FALSE(srb.Text(id).empty()) << i;
        EXPECT_FALSE(eng.Text(id).empty()) << i;
        EXPECT_NE(srb.Text(id), eng.Text(id)) << i;
        EXPECT_EQ(lower.Text(id), srb.Text(id)) << i;
        // plain ASCII like the numbered messages: the same bytes in Windows-1250 and UTF-8
        for (unsigned char ch : srb.Text(id) + eng.Text(id)) EXPECT_LT(ch, 0x80) << i;
    }
    EXPECT_EQ(eng.Text(TLinkText::StatePrinterSilent), "Printer not answering");
}
