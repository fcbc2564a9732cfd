// The book of the HTTP interface's requests: what a restart, a torn record and
// the keep time leave of it.
#include "app/P00_durable.h"
#include "app/P00_util.h"
#include "exchange/P30_apibook.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>


using namespace velbrin;

namespace {

long long now = 1000000;
long long Clock() { return now; }

TEST(ApiBookTest, KeysAnswersAndATornRecordAcrossARestart) {
    test::TempDir dir;
    TApiBook::TEntry e;
    {
        TApiBook book(dir.Path(), 1);
        book.SetNow(Clock);
        book.Load();
        ASSERT_EQ(book.Accept("k1", "d1", "ABC_", "", "<packet one/>", e), TApiBook::TAccepted::New);
        const std::string first = e.Name();
        EXPECT_TRUE(TApiBook::IsApiName(first));
        ASSERT_EQ(book.Accept("k2", "d2", "ART-", "R", "<packet two/>", e), TApiBook::TAccepted::New);
        EXPECT_EQ(e.Name().substr(0, 10), "ART-R@API-");
        EXPECT_TRUE(book.Deliver(ChangeFileExt(first, ".ok"), "12.30\r\n"));
        EXPECT_TRUE(book.Deliver(ChangeFileExt(first, ".err"), "later\r\n"));  // the first answer stays
        EXPECT_FALSE(book.Deliver("ABC_@API-7.ok", "x"));                     // no such request
    }
    // A power cut tore the last record: it is cut off, the rest is whole.
    const std::string log = JoinPath(dir.Path(), "Book.log");
    const std::string whole = ReadWholeFile(log);
    WriteWholeFile(log, whole + "Q 99 1 ABC_ - d3 k3 100\n<half");
    TApiBook book(dir.Path(), 1);
    book.SetNow(Clock);
    book.Load();
    EXPECT_EQ(ReadWholeFile(log).find("<half"), std::string::npos) << "written anew without it";
    const auto k1 = book.Find("k1");
    ASSERT_TRUE(k1 && k1->answered);
    EXPECT_EQ(k1->answerText, "12.30\r\n");
    EXPECT_EQ(k1->answerName.substr(k1->answerName.size() - 3), ".ok");
    EXPECT_FALSE(book.Find("k3"));
    const std::vector<TApiBook::TPending> pending = book.Pending();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].packet, "<packet two/>");
    EXPECT_EQ(book.Accept("k2", "d2", "ART-", "R", "", e), TApiBook::TAccepted::Same);
    EXPECT_EQ(book.Accept("k2", "other", "ART-", "R", "", e), TApiBook::TAccepted::OtherBody);
    // A new request never takes a number given before, whatever the clock says.
    ASSERT_EQ(book.Accept("k4", "d4", "TXT_", "", "<t/>", e), TApiBook::TAccepted::New);
    EXPECT_GT(e.seq, book.Find("k2")->seq);
}

TEST(ApiBookTest, AnsweredRequestsAreForgottenAfterTheKeepTimeAndWaitingOnesNever) {
    test::TempDir dir;
    TApiBook::TEntry e;
    {
        TApiBook book(dir.Path(), 1);
        book.SetNow(Clock);
        book.Load();
        book.Accept("done", "d", "ABC_", "", "<p/>", e);
        book.Deliver(ChangeFileExt(e.Name(), ".ok"), "1.00\r\n");
        book.Accept("waits", "d", "ABC_", "", "<p/>", e);
        for (std::size_t i = book.PendingCount(); i < TApiBook::kMaxPending; ++i)
            book.Accept("w" + std::to_string(i), "d", "TXT_", "", "<t/>", e);
        EXPECT_EQ(book.Accept("one-more", "d", "TXT_", "", "<t/>", e), TApiBook::TAccepted::Full);
        EXPECT_FALSE(book.Find("one-more"));
    }
    now += 2 * 3600 * 1000;
    TApiBook book(dir.Path(), 1);
    book.SetNow(Clock);
    book.Load();
    EXPECT_FALSE(book.Find("done"));
    EXPECT_TRUE(book.Find("waits"));
    EXPECT_EQ(book.PendingCount(), TApiBook::kMaxPending);
}

}  // namespace
