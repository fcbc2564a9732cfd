// The triggers of the exchange cycle in a real Qt event loop: the directory watch
// next to Timer1, with a cycle that opens a nested loop the way a modal dialog
// does, and a writer that keeps a request file open across several cycles.
#include "app/P00_util.h"
#include "app/shell/P00_cycletrigger.h"
#include "exchange/P30_requestscan.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>

namespace velbrin {
namespace {

// Runs the event loop until the condition holds or ms have passed.
bool SpinUntil(const std::function<bool()>& cond, int ms) {
    QElapsedTimer t;
    t.start();
    while (!cond() && t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return cond();
}

void Spin(int ms) {
    SpinUntil([] { return false; }, ms);
}

// A file renamed in whole, the way the cash register drops a request.
void Drop(const test::TempDir& dir, const std::string& name) {
    WriteWholeFile(dir.File(".part"), "request");
    ASSERT_EQ(::rename(dir.File(".part").c_str(), dir.File(name).c_str()), 0);
}

class CycleTriggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        timer1.setInterval(60 * 1000);
    }  // only the watch may start cycles here

    test::TempDir exch;
    QTimer timer1;
    int cycles = 0;
    int depth = 0;
    int deepest = 0;
    bool timerOnInCycle = false;
};

TEST_F(CycleTriggerTest, LandingStartsOneCycleAtOnceAndNeverInsideAnother) {
    std::function<void()> work;
    TCycleTrigger trigger(timer1, [&] {
        ++cycles;
        deepest = std::max(deepest, ++depth);
        timerOnInCycle = timerOnInCycle || timer1.isActive();
        if (work) work();
        --depth;
        return true;
    });
    trigger.Start(exch.Path());
    ASSERT_TRUE(trigger.Watching());
    ASSERT_TRUE(SpinUntil([&] { return cycles == 1; }, 2000))
        << "the first cycle runs at the start";
    Spin(50);
    EXPECT_EQ(cycles, 1);

    QElapsedTimer t;
    t.start();
    Drop(exch, "ABC_1.zvx");
    ASSERT_TRUE(SpinUntil([&] { return cycles == 2; }, 2000));
    EXPECT_LT(t.elapsed(), 1000) << "long before Timer1 (60 s here)";

    // Files that land while a cycle waits in a dialog: no cycle starts inside it,
    // and the whole burst makes one cycle after it.
    work = [&] {
        work = nullptr;
        for (int i = 0; i < 5; ++i) Drop(exch, "ABC_B" + std::to_string(i) + ".zvx");
        QEventLoop dialog;
        QTimer::singleShot(300, &dialog, &QEventLoop::quit);
        dialog.exec();
    };
    Drop(exch, "ABC_2.zvx");
    ASSERT_TRUE(SpinUntil([&] { return cycles == 4; }, 3000));
    Spin(200);
    EXPECT_EQ(cycles, 4) << "the landing that started the dialog's cycle, then one for the burst";
    EXPECT_EQ(deepest, 1);
    EXPECT_FALSE(timerOnInCycle) << "Timer1 is off while a cycle runs";
    EXPECT_TRUE(timer1.isActive()) << "and on again between cycles";
}

TEST_F(CycleTriggerTest, FileStillBeingWrittenWaitsUntilItsWriterClosesIt) {
    std::set<std::string> taken;
    TCycleTrigger trigger(timer1, [&] {
        ++cycles;
        for (const std::string& name : TRequestScan::WorkList(exch.Path())) {
            taken.insert(name);
            DeleteFileReport(exch.File(name));
        }
        return true;
    });
    // The cash register writes slowly: half the file now, the rest much later.
    const int writer =
        ::open(exch.File("TXT_SLOW.zvx").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, "<?xml", 5), 5);

    trigger.Start(exch.Path());
    // Cycles started by files landing beside it, with the slow file still open.
    for (int i = 0; i < 4; ++i) {
        const int before = cycles;
        Drop(exch, "ABC_" + std::to_string(i) + ".zvx");
        ASSERT_TRUE(SpinUntil([&] { return cycles > before; }, 2000));
        EXPECT_EQ(taken.count("TXT_SLOW.zvx"), 0u) << "taken while its writer still had it open";
    }
    EXPECT_GE(cycles, 4);

    ASSERT_EQ(::write(writer, " version", 8), 8);
    const int beforeClose = cycles;
    ::close(writer);
    ASSERT_TRUE(SpinUntil([&] { return taken.count("TXT_SLOW.zvx") == 1; }, 2000))
        << "closing the file starts a cycle that takes it";
    EXPECT_GT(cycles, beforeClose);
}

TEST_F(CycleTriggerTest, CyclesEndForGoodWhenOneFails) {
    TCycleTrigger trigger(timer1, [&] {
        ++cycles;
        return false;
    });
    trigger.Start(exch.Path());
    ASSERT_TRUE(SpinUntil([&] { return cycles == 1; }, 2000));
    Drop(exch, "ABC_1.zvx");
    Spin(200);
    EXPECT_EQ(cycles, 1);
    EXPECT_FALSE(timer1.isActive());
    EXPECT_FALSE(trigger.Watching());
}

TEST_F(CycleTriggerTest, TimerAloneWhenWatchIsTurnedOffOrImpossible) {
    ::setenv("VELBRIN_EXCHANGE_WATCH", "0", 1);
    timer1.setInterval(100);
    TCycleTrigger trigger(timer1, [&] {
        ++cycles;
        return true;
    });
    // wired as the main window wires it
    QObject::connect(&timer1, &QTimer::timeout, [&trigger] { trigger.TimerFired(); });
    trigger.Start(exch.Path());
    ::unsetenv("VELBRIN_EXCHANGE_WATCH");
    EXPECT_FALSE(trigger.Watching());
    ASSERT_TRUE(SpinUntil([&] { return cycles >= 3; }, 3000)) << "Timer1 keeps the cycles coming";

    timer1.disconnect();
    TCycleTrigger missing(timer1, [] { return true; });
    missing.Start(exch.File("no-such-dir"));
    EXPECT_FALSE(missing.Watching());
    EXPECT_TRUE(timer1.isActive());
}

}  // namespace
}  // namespace velbrin

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
