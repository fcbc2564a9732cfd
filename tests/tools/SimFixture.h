// A simulator on a fresh state file with the tests' own line attached.
#pragma once

#include "tools/fp550sim/Fp550Simulator.h"

#include "SimTestLine.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

namespace velbrin::test {

class SimFixture : public ::testing::Test {
protected:
    void SetUp() override { StartSim(); }
    void TearDown() override
    {
        line.reset();
        sim.reset();
    }
    void StartSim()
    {
        sim = std::make_unique<sim::Fp550Simulator>(statePath);
        line = std::make_unique<SimTestLine>(sim->Start());
    }
    void Restart()
    {
        line.reset();
        sim.reset();
        StartSim();
    }
    // A command the printer must accept.
    LineReply Ok(int cmd, const std::string& data = "")
    {
        LineReply r = line->Command(cmd, data);
        EXPECT_EQ(r.kind, LineReply::Answer) << cmd << " " << data;
        EXPECT_FALSE(r.Bit(0, 5)) << "refused: " << cmd << " " << data << " status " << r.StatusHex();
        return r;
    }
    // A command the printer must refuse with the general error bit.
    LineReply Refused(int cmd, const std::string& data = "")
    {
        LineReply r = line->Command(cmd, data);
        EXPECT_EQ(r.kind, LineReply::Answer) << cmd << " " << data;
        EXPECT_TRUE(r.Bit(0, 5)) << "accepted: " << cmd << " " << data;
        return r;
    }
    int JournalCount(const std::string& prefix) const
    {
        const auto j = sim->Journal();
        return static_cast<int>(std::count_if(j.begin(), j.end(), [&](const std::string& l) {
            return l.compare(0, prefix.size(), prefix) == 0;
        }));
    }

    TempDir dir;
    std::string statePath = dir.File("fp550.state");
    std::unique_ptr<sim::Fp550Simulator> sim;
    std::unique_ptr<SimTestLine> line;
};

}  // namespace velbrin::test
