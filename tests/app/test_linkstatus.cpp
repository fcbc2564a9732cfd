#include <gtest/gtest.h>

#include "app/P00_linkstatus.h"

using namespace velbrin;

namespace {

TMsgTable English() {
    TMsgTable t;
    t.SetLanguage("ENG");
    return t;
}

}  // namespace

TEST(LinkStatus, ConditionsWinInOrderAndTheBaseStateReturnsWhenTheyClear) {
    const TMsgTable eng = English();
    TLinkStatus s;
    EXPECT_EQ(s.Shown(), TLinkState::Starting);
    EXPECT_TRUE(s.Set(TLinkState::Working, true, ""));
    EXPECT_EQ(s.Text(eng), "Working; no request yet");

    EXPECT_TRUE(s.Set(TLinkState::AnswersWaiting, true, "2 answers wait"));
    EXPECT_TRUE(s.Set(TLinkState::WaitingForOperator, true, "MSG - 1003"));
    EXPECT_TRUE(s.Set(TLinkState::PrinterSilent, true, "Otvaranje racuna\nKomunikacija prekinuta"));
    EXPECT_EQ(s.Text(eng), "Printer not answering: Otvaranje racuna");  // only the first line
    // a condition under the one shown changes nothing on the screen
    EXPECT_FALSE(s.Set(TLinkState::AnswersWaiting, true, "3 answers wait"));
    EXPECT_FALSE(s.Set(TLinkState::PrinterSilent, true, "Otvaranje racuna"));

    EXPECT_TRUE(s.Set(TLinkState::PrinterSilent, false, ""));
    EXPECT_EQ(s.Shown(), TLinkState::WaitingForOperator);
    EXPECT_TRUE(s.Set(TLinkState::WaitingForOperator, false, ""));
    EXPECT_EQ(s.Text(eng), "Answers waiting: From_FP refuses them: 3 answers wait");
    EXPECT_TRUE(s.Set(TLinkState::Stopped, true, "Cannot read the directory /x"));
    EXPECT_EQ(s.Shown(), TLinkState::Stopped);
    EXPECT_FALSE(s.Set(TLinkState::PrinterSilent, false, ""));   // was not on
    EXPECT_FALSE(s.Set(TLinkState::AnswersWaiting, false, ""));  // cleared under Stopped
    EXPECT_EQ(s.Text(eng), "Stopped after an error: Cannot read the directory /x");
}

TEST(LinkStatus, WorkingNamesTheLastAnswerAndItsTimeInTheOperatorsLanguage) {
    TLinkStatus s;
    s.Set(TLinkState::Working, true, "");
    EXPECT_TRUE(s.AnswerDelivered("ABC_0001.ok", "2026-12-08 09:12:03"));
    EXPECT_EQ(s.Text(English()), "Working; last answer at 09:12:03 (ABC_0001.ok)");
    EXPECT_EQ(s.Text(TMsgTable()), "Radi; poslednji odgovor u 09:12:03 (ABC_0001.ok)");
    EXPECT_EQ(s.Tooltip(English(), "Velbrin - LINK v7.4.44"),
              "Velbrin - LINK v7.4.44\nWorking; last answer at 09:12:03 (ABC_0001.ok)");
    // an answer while a message is open is kept, but the tray keeps the message
    s.Set(TLinkState::WaitingForOperator, true, "MSG - 1003");
    EXPECT_FALSE(s.AnswerDelivered("ABC_0002.err", "2026-12-08 09:13:00"));
    s.Set(TLinkState::WaitingForOperator, false, "");
    EXPECT_EQ(s.Text(English()), "Working; last answer at 09:13:00 (ABC_0002.err)");
}

TEST(LinkStatus, StatusAnswerKeepsEachValueOnOneLine) {
    TStatusAnswer a;
    a.state = "printer-not-answering";
    a.text = "Printer not answering: line\nsecond=line";
    a.tray = "yes";
    a.lastAnswer = "2026-12-08 09:12:03 ABC_1.ok";
    a.port = "/dev/ttyUSB0";
    a.identification = "3.01CG 11JUN09 1530,91F7,00000000,1,ZK123456,50123456";
    a.command = "74";
    a.status = "000000000038";
    a.data = "a=b,c";
    const TStatusAnswer b = ParseStatusAnswer(FormatStatusAnswer(a));
    EXPECT_EQ(b.state, a.state);
    EXPECT_EQ(b.text, "Printer not answering: line second=line");
    EXPECT_EQ(b.tray, "yes");
    EXPECT_EQ(b.lastAnswer, a.lastAnswer);
    EXPECT_EQ(b.port, a.port);
    EXPECT_EQ(b.identification, a.identification);
    EXPECT_EQ(b.command, "74");
    EXPECT_EQ(b.status, a.status);
    EXPECT_EQ(b.data, "a=b,c");  // only the first "=" separates
    // an answer cut short or from another program reads as empty fields
    EXPECT_EQ(ParseStatusAnswer("garbage\nstate\n").state, "");
}
