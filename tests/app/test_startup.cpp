#include "app/P00_maincycle.h"
#include "app/P00_startup.h"
#include "app/P00_util.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace velbrin;

TEST(StartupSequence, StopsAtTheFirstStepThatStopsOrTerminates) {
    enum Kind { Go, Stop, Raise, AskTerminate };
    struct Case { const char* name; std::vector<Kind> steps; bool result; int ran; std::string stoppedAt; int errors; };
    const Case cases[] = {
        {"all go", {Go, Go, Go}, true, 3, "", 0},
        {"a step says stop", {Go, Stop, Go}, false, 2, "s1", 0},
        {"a step raises", {Go, Raise, Go}, false, 2, "s1", 1},
        {"termination requested but the step went on", {AskTerminate, Go}, false, 1, "s0", 0},
        {"no steps", {}, true, 0, "", 0},
    };
    for (const Case& c : cases) {
        test::FakeAppServices app;
        TStartupSequence seq(app);
        int ran = 0;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            Kind k = c.steps[i];
            seq.Add("s" + std::to_string(i), [&ran, &app, k]() -> bool {
                ++ran;
                if (k == Raise) throw LinkError("Exc-1 broken");
                if (k == AskTerminate) app.Terminate();
                return k != Stop;
            });
        }
        EXPECT_EQ(seq.Run(), c.result) << c.name;
        EXPECT_EQ(ran, c.ran) << c.name;
        EXPECT_EQ(seq.StoppedAt(), c.stoppedAt) << c.name;
        EXPECT_EQ(app.errors.size(), static_cast<std::size_t>(c.errors)) << c.name;
        if (c.errors) {
            EXPECT_EQ(app.errors[0], "Exc-1 broken");
        }
    }
}

TEST(StartupSequence, StepsKeepTheirOrder) {
    test::FakeAppServices app;
    TStartupSequence seq(app);
    std::string trace;
    for (const char* n : {"log paths", "language", "timer"}) seq.Add(n, [&trace, n] { trace += n; trace += ';'; return true; });
    EXPECT_EQ(seq.StepNames(), (std::vector<std::string>{"log paths", "language", "timer"}));
    EXPECT_TRUE(seq.Run());
    EXPECT_EQ(trace, "log paths;language;timer;");
}

TEST(StartupSequence, TolerantStepSwallowsFailuresUnlessTerminationWasAsked) {
    struct Case { const char* name; bool raise; bool terminate; bool goOn; int processed; };
    const Case cases[] = {
        {"passes", false, false, true, 0},
        {"port cannot be opened", true, false, true, 1},
        {"link lost: asked to end and raised", true, true, false, 1},
        {"asked to end without raising", false, true, false, 0},
    };
    for (const Case& c : cases) {
        test::FakeAppServices app;
        bool goOn = TStartupSequence::RunTolerant(app, [&] {
            if (c.terminate) app.Terminate();
            if (c.raise) throw LinkError("Cannot open port COM1");
        });
        EXPECT_EQ(goOn, c.goOn) << c.name;
        EXPECT_EQ(app.processed, c.processed) << c.name;
        EXPECT_TRUE(app.errors.empty()) << c.name;
    }
}

TEST(MainCycle, ARaisingCycleLeavesTheTimerOffForGood) {
    test::FakeAppServices app;
    TMainCycle cycle(app);
    int runs = 0;
    bool fail = false;
    cycle.Add([&] {
        ++runs;
        if (fail) throw LinkError("Exc-7 cycle failed");
    });
    EXPECT_TRUE(cycle.Tick());
    EXPECT_TRUE(cycle.Tick());
    fail = true;
    EXPECT_FALSE(cycle.Tick());
    EXPECT_EQ(app.errors, (std::vector<std::string>{"Exc-7 cycle failed"}));
    fail = false;
    EXPECT_FALSE(cycle.Tick());  // no more exchange work in this run
    EXPECT_EQ(runs, 3);
    EXPECT_TRUE(cycle.Stopped());
}
