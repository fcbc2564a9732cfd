// The request journal and the answer outbox on their own: what survives a stop
// at any point of writing an answer down and delivering it.
#include "app/P00_durable.h"
#include "app/P00_util.h"
#include "exchange/P30_outbox.h"
#include "exchange/P30_requestjournal.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velbrin::test {
namespace {

class OutboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        ForceDirectories(from());
        journal.Load();
    }
    std::string from() const { return dir.Path() + "/From_FP"; }
    std::string kept() const { return dir.Path() + "/Answers"; }
    std::vector<std::string> Delivered() const { return ListPlainFiles(from(), 100); }

    TempDir dir;
    TRequestJournal journal{dir.Path() + "/Requests.journal"};
    TAnswerOutbox outbox{kept(), [this] { return from(); }, journal};
};

TEST_F(OutboxTest, JournalSurvivesAReadAfterAStopMidAppendAndCompactionKeepsTheNumbering) {
    journal.MarkTaken("1:10:5:7", "ABC_1.zvx");
    journal.MarkAnswered(4, "1:11:5:7", "CMD_1.zvx");
    journal.MarkRowBegun("1:12:9:9", 0, "2026-12-08 10:00:00:001");
    journal.MarkRowDone("1:12:9:9", 0);
    journal.MarkRowBegun("1:12:9:9", 1, "2026-12-08 10:00:00:002");
    AppendDurably(journal.Path(), "R 1:12:9:9 1");  // cut before its line end
    TRequestJournal again(journal.Path());
    again.Load();
    EXPECT_TRUE(again.CarriedOut("1:10:5:7"));
    EXPECT_TRUE(again.CarriedOut("1:11:5:7"));
    EXPECT_FALSE(again.CarriedOut("1:10:5:8")) << "same name, rewritten file";
    EXPECT_EQ(again.RowsDone("1:12:9:9"), 1);
    EXPECT_EQ(again.RowInDoubt("1:12:9:9", 1), "2026-12-08 10:00:00:002");
    EXPECT_EQ(again.LastSeq(), 4u);

    // The torn line is cut off before the next record: appended to it, the two
    // would read as one record under a wrong identity.
    again.MarkTaken("1:13:5:7", "ABC_2.zvx");
    TRequestJournal reread(journal.Path());
    reread.Load();
    EXPECT_TRUE(reread.CarriedOut("1:13:5:7"));
    EXPECT_TRUE(reread.Rejected().empty());

    again.Compact({"1:12:9:9"});
    TRequestJournal compacted(journal.Path());
    compacted.Load();
    EXPECT_FALSE(compacted.CarriedOut("1:10:5:7"));
    EXPECT_EQ(compacted.RowsDone("1:12:9:9"), 1);
    EXPECT_EQ(compacted.LastSeq(), 4u) << "answer numbers never go back";
}

TEST_F(OutboxTest, JournalLinesAPowerCutSpoiledAreSkippedAndOlderJournalsStillRead) {
    struct Case {
        std::string label, text, id;
        bool carriedOut;
        std::size_t rejected;
    };
    const std::string sealed = "T 10:5:7:ab ABC_1.zvx #";
    const std::vector<Case> cases = {
        {"a journal of an earlier version, identities with their device", "T 2049:10:5:7:ab ABC_1.zvx\n",
         "10:5:7:ab", true, 0},
        {"a line the cut filled with zeros", std::string("D 41 \0\0\0\0\0\0\n", 12), "", false, 1},
        {"a line that is not what its checksum says", sealed + "00000000\n", "10:5:7:ab", false, 1},
        {"an unsealed line after sealed ones", "", "10:5:7:cd", false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        DeleteFileReport(journal.Path());
        if (c.text.empty()) {
            journal.Load();
            journal.MarkTaken("10:5:7:ab", "ABC_1.zvx");
            AppendDurably(journal.Path(), "T 10:5:7:cd ABC_2.zvx\n");
        } else {
            WriteWholeFile(journal.Path(), c.text);
        }
        TRequestJournal read(journal.Path());
        read.Load();
        if (!c.id.empty()) {
            EXPECT_EQ(read.CarriedOut(c.id), c.carriedOut);
        }
        EXPECT_EQ(read.Rejected().size(), c.rejected);
        EXPECT_FALSE(read.Answered(41));
    }
}

TEST_F(OutboxTest, AnAnswerLeftUnderBothNamesByACutIsDeliveredOnce) {
    outbox.Put("ABC_1.ok", "1.00\r\n", "", "ABC_1.zvx");
    outbox.Put("ABC_2.ok", "2.00\r\n", "", "ABC_2.zvx");
    // A cut after the hand-over's rename reached From_FP's disk and before the
    // kept name's removal did: the same file under both names.
    const std::string kept1 = ListPlainFiles(kept(), 10).front();
    ASSERT_EQ(::link((kept() + "/" + kept1).c_str(), (from() + "/." + kept1 + ".handed").c_str()), 0);
    EXPECT_TRUE(outbox.Deliver());
    EXPECT_EQ(Delivered(), (std::vector<std::string>{"ABC_1.ok", "ABC_2.ok"}));
    // The cash register takes ABC_1; nothing brings it back.
    DeleteFileReport(from() + "/ABC_1.ok");
    EXPECT_TRUE(outbox.Deliver());
    EXPECT_EQ(Delivered(), std::vector<std::string>{"ABC_2.ok"});
    EXPECT_EQ(outbox.Waiting(), 0u);
}

TEST_F(OutboxTest, AnswersWaitWhileFromFpDirRefusesAndGoInTheOrderWritten) {
    std::vector<std::pair<bool, std::string>> changes;
    outbox.OnDeliveryChange([&](bool stopped, const std::string&) { changes.push_back({stopped, ""}); });
    ::rmdir(from().c_str());
    WriteWholeFile(from(), "");
    outbox.Put("ABC_2.ok", "1.00\r\n", "", "ABC_2.zvx");
    outbox.Put("ABC_1.ok", "2.00\r\n", "", "ABC_1.zvx");
    EXPECT_FALSE(outbox.Deliver());
    EXPECT_FALSE(outbox.Deliver());
    EXPECT_EQ(outbox.Waiting(), 2u);
    DeleteFileReport(from());
    ForceDirectories(from());
    // Only the first waits when the folder takes one name and not the other.
    ForceDirectories(from() + "/ABC_1.ok");
    EXPECT_FALSE(outbox.Deliver());
    EXPECT_EQ(Delivered(), std::vector<std::string>{"ABC_2.ok"});
    ::rmdir((from() + "/ABC_1.ok").c_str());
    EXPECT_TRUE(outbox.Deliver());
    EXPECT_EQ(ReadWholeFile(from() + "/ABC_1.ok"), "2.00\r\n");
    EXPECT_EQ(changes.size(), 2u) << "told once when it stops and once when it goes again";
}

TEST_F(OutboxTest, AnAnswerFromFpDirCannotTakeHoldsNoneBehindIt) {
    std::vector<std::string> told;
    outbox.OnTold([&](const std::string& line) { told.push_back(line); });
    // Left by an earlier version: a name whose hidden name in From_FP cannot be made.
    const std::string longName = std::string(240, 'x') + ".err";
    ForceDirectories(kept());
    WriteWholeFile(kept() + "/0000000001-" + longName, "old\r\n");
    journal.MarkAnswered(1, "", "old");
    outbox.Put("ABC_2.ok", "2.00\r\n", "", "ABC_2.zvx");
    outbox.Put("ABC_3.ok", "3.00\r\n", "", "ABC_3.zvx");
    ForceDirectories(from() + "/ABC_2.ok");  // a folder in the way of one answer's name
    EXPECT_FALSE(outbox.Deliver());
    EXPECT_EQ(Delivered(), std::vector<std::string>{"ABC_3.ok"});
    EXPECT_EQ(ListPlainFiles(outbox.UndeliveredDir(), 10), std::vector<std::string>{"0000000001-" + TAnswerOutbox::FittingName(longName)});
    EXPECT_FALSE(outbox.Stopped()) << "From_FP takes files";
    EXPECT_FALSE(outbox.Deliver());
    EXPECT_EQ(told.size(), 2u) << "each told once";
    ::rmdir((from() + "/ABC_2.ok").c_str());
    EXPECT_TRUE(outbox.Deliver());
    EXPECT_EQ(ReadWholeFile(from() + "/ABC_2.ok"), "2.00\r\n");
    // A copy of every answer given, for the same request dropped again.
    EXPECT_EQ(outbox.Given(3)->bytes, "3.00\r\n");
    EXPECT_EQ(outbox.Given(3)->resultName, "ABC_3.ok");
}

TEST_F(OutboxTest, AFileMadeAtOnceWhereAnotherWasRemovedIsNotTakenForIt) {
    // Same inode (reused), same size and the same coarse time: only name and bytes differ.
    auto sameTime = [](const std::string& path) {
        const struct timespec t[2] = {{1, 0}, {1, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), t, 0);
    };
    const std::string a = dir.Path() + "/ART-D_1.zvx", b = dir.Path() + "/ART-D_2.zvx";
    WriteWholeFile(a, "x1");
    sameTime(a);
    const std::string first = FileIdentityOf(a);
    DeleteFileReport(a);
    WriteWholeFile(b, "x1");
    sameTime(b);
    EXPECT_NE(FileIdentityOf(b), first);
    DeleteFileReport(b);
    WriteWholeFile(a, "x2");
    sameTime(a);
    const std::string other = FileIdentityOf(a);
    EXPECT_NE(other, first);
    // Whether the file system hands out the freed inode again is its own affair.
    EXPECT_EQ(FileIdentityOf(a), other) << "the same file looked at again";
}

TEST_F(OutboxTest, StartUpPutsRecordedDraftsInPlaceAndDropsTheOthers) {
    ForceDirectories(kept());
    // A stop after the draft was recorded, and one before.
    WriteFileDurably(kept() + "/.0000000007-ABC_7.ok.draft", "7.00\r\n");
    journal.MarkAnswered(7, "1:7:1:1", "ABC_7.zvx");
    WriteFileDurably(kept() + "/.0000000008-ABC_8.ok.draft", "8.00\r\n");
    outbox.Settle();
    EXPECT_TRUE(outbox.Deliver());
    EXPECT_EQ(Delivered(), std::vector<std::string>{"ABC_7.ok"});
    EXPECT_TRUE(ListPlainFiles(kept(), 100, true).empty());
}

TEST_F(OutboxTest, AnyNameGoesThroughTheJournalUnchangedAndEarlierJournalsReadAsBefore) {
    const std::vector<std::string> names = {
        "ABC_1\n.zvx", " ABC_2.zvx ", "ABC_%41.zvx", "ABC_ #00000000.zvx", "ABC_\r\t\x01\x7f.zvx", "ABC_\xC8\xFF.zvx"};
    for (std::size_t i = 0; i < names.size(); ++i)
        journal.MarkAnswered(i + 1, "1:" + std::to_string(i) + ":1:1", names[i]);
    TRequestJournal read(journal.Path());
    read.Load();
    EXPECT_TRUE(read.Rejected().empty());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_TRUE(read.CarriedOut("1:" + std::to_string(i) + ":1:1")) << i;
        EXPECT_EQ(read.FirstAnswer("1:" + std::to_string(i) + ":1:1").name, names[i]) << i;
    }
    EXPECT_EQ(read.LastAnswered(), names.back());
    // The answers stay known after their files went, for a while.
    read.Compact({});
    EXPECT_TRUE(read.CarriedOut("1:0:1:1"));
    EXPECT_EQ(read.FirstAnswer("1:0:1:1").name, names[0]);

    // An earlier version's raw names, then escaped ones; a torn last line.
    WriteWholeFile(journal.Path(), ReadWholeFile(std::string(VELBRIN_TEST_DATA) + "/journal_odd_names.journal"));
    read.Load();
    EXPECT_TRUE(read.Rejected().empty());
    EXPECT_EQ(read.FirstAnswer("10:5:7:ab").name, "ABC_50%41.zvx");
    EXPECT_EQ(read.FirstAnswer("11:5:7:ab").name, " ABC_2.zvx ");
    EXPECT_TRUE(read.CarriedOut("12:1:1:aa"));
    EXPECT_EQ(read.RowInDoubt("14:1:1:1", 0), "");
    EXPECT_TRUE(read.AnyRowFailed("14:1:1:1"));
    EXPECT_EQ(read.LastSeq(), 5u);
}

}  // namespace
}  // namespace velbrin::test
