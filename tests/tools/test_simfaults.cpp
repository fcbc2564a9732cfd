// Injected faults, retransmissions, state that survives a restart, and the
// program with its control socket.
#include "SimFixture.h"

#include "app/P00_util.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using velbrin::test::LineReply;
using Faults = velbrin::test::SimFixture;

extern char** environ;

TEST_F(Faults, RetransmissionIsAnsweredFromMemoryNotExecutedAgain)
{
    const std::string trace = dir.File("trace.txt");
    sim->Control("trace " + trace);
    Ok(107, "PA1,5.00,0.000,Kafa");
    Ok(48, "1,4826,1");
    const LineReply sale = Ok(52, "1#5.00");
    const LineReply again = line->Repeat();
    ASSERT_EQ(again.kind, LineReply::Answer);
    EXPECT_EQ(again.raw, sale.raw);
    const LineReply pay = Ok(53, "\tP5.00");
    EXPECT_EQ(line->Repeat().raw, pay.raw);
    const LineReply close = Ok(56);
    EXPECT_EQ(line->Repeat().raw, close.raw);
    EXPECT_EQ(JournalCount("SALE"), 1);
    EXPECT_EQ(JournalCount("PAY"), 1);
    EXPECT_EQ(JournalCount("CLOSE"), 1);
    EXPECT_EQ(sim->State().DayTotal(), 500);
    sim->Control("trace off");
    const std::string traced = velbrin::ReadWholeFile(trace);
    EXPECT_NE(traced.find(" RX seq=22 cmd=52 data=1#5.00\n"), std::string::npos) << traced;
    EXPECT_NE(traced.find(" repeated frame: previous answer\n"), std::string::npos);
    EXPECT_NE(traced.find(" RX seq=23 cmd=53 data=<09>P5.00\n"), std::string::npos);

    // The same command and data under a new sequence number is a new command.
    Ok(48, "1,4826,1");
    Ok(52, "1#5.00");
    Ok(52, "1#5.00");
    EXPECT_EQ(JournalCount("SALE"), 3);
}

TEST_F(Faults, BadChecksumIsRefusedWithNakAndNotExecuted)
{
    Ok(107, "PA1,5.00,0.000,Kafa");
    std::string frame = velbrin::test::BuildCommandFrame(0x50, 48, "1,4826,1");
    frame[frame.size() - 2] ^= 0x01;
    line->WriteBytes(frame);
    EXPECT_EQ(line->ReadReply().kind, LineReply::Nak);
    EXPECT_EQ(Ok(76, "T").Field(0), "0");
    EXPECT_EQ(JournalCount("OPEN"), 0);
}

TEST_F(Faults, EachInjectedFaultShowsOnTheLine)
{
    struct Case {
        const char* control;
        LineReply::Kind first;  // reply to the first command after the control line
        bool executed;          // whether that command was executed
        int syns;               // 0x16 bytes before the answer, at least
    };
    const Case cases[] = {
        {"noanswer 1", LineReply::Silence, false, 0},
        {"nak 1", LineReply::Nak, false, 0},
        {"lose 1", LineReply::Silence, true, 0},
        {"badsum 1", LineReply::Corrupt, true, 0},
        {"badlen 1", LineReply::Corrupt, true, 0},
        {"late 700", LineReply::Silence, true, 0},
        {"trunc 1", LineReply::Corrupt, true, 0},
        {"syn 5", LineReply::Answer, true, 5},
        {"delay 400", LineReply::Answer, true, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        sim->Control("reset");
        sim->Control(c.control);
        const int before = sim->CommandsExecuted();
        const LineReply r = line->Command(62, "", 400);
        EXPECT_EQ(r.kind, c.first);
        EXPECT_EQ(sim->CommandsExecuted() - before, c.executed ? 1 : 0);
        EXPECT_GE(r.syns, c.syns);
        // The fault is used up: the retransmission gets a sound answer.
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        const LineReply next = line->Repeat();
        EXPECT_EQ(next.kind, LineReply::Answer);
        EXPECT_EQ(next.seq, line->Seq());
        EXPECT_EQ(sim->CommandsExecuted() - before, 1);
    }
    // Answers that are sound frames but not the answer to this command.
    for (const char* control : {"badseq 1", "badcmd 1"}) {
        SCOPED_TRACE(control);
        sim->Control("reset");
        sim->Control(control);
        const LineReply wrong = line->Command(62);
        ASSERT_EQ(wrong.kind, LineReply::Answer);
        EXPECT_NE(wrong.seq == line->Seq() && wrong.cmd == 62, true);
        const LineReply right = line->Repeat();
        EXPECT_EQ(right.seq, line->Seq());
        EXPECT_EQ(right.cmd, 62);
    }
}

TEST_F(Faults, PaperDisplayAndCutFaults)
{
    Ok(107, "PA1,5.00,0.000,Kafa");
    sim->Control("paper off");
    LineReply r = line->Command(48, "1,4826,1");
    EXPECT_EQ(r.StatusHex(), "000001000038");
    r = line->Command(76, "T");  // a query still answers, with the paper bits
    EXPECT_EQ(r.data, "0,0,0,0");
    EXPECT_TRUE(r.Bit(2, 0));
    sim->Control("paper journal");
    EXPECT_EQ(line->Command(48, "1,4826,1").StatusHex(), "000005000038");
    EXPECT_EQ(JournalCount("OPEN"), 0);
    sim->Control("paper on");
    Ok(48, "1,4826,1");

    sim->Control("display off");
    EXPECT_EQ(line->Command(47, "Zdravo").StatusHex(), "280008000038");
    EXPECT_EQ(line->Command(62).StatusHex(), "080008000038");
    sim->Control("display on");
    Ok(33);

    sim->Control("cut 2");
    Ok(52, "1#5.00");
    Ok(53, "\tP5.00");
    EXPECT_EQ(line->Command(56, "", 300).kind, LineReply::Silence);
    EXPECT_EQ(line->Repeat(300).kind, LineReply::Silence);
    EXPECT_EQ(line->Command(76, "T", 300).kind, LineReply::Silence);
    sim->Control("cut off");
    EXPECT_EQ(Ok(76, "T").data, "1,1,500,500");
    Ok(56);
}

TEST_F(Faults, LinkMayCloseAndReopenThePort)
{
    Ok(62);
    const std::string device = sim->DevicePath();
    for (int i = 0; i < 3; ++i) {
        line.reset();
        line = std::make_unique<velbrin::test::SimTestLine>(device);
        EXPECT_EQ(Ok(76, "T").data, "0,0,0,0");
    }
}

TEST_F(Faults, StateSurvivesARestartOfTheSimulator)
{
    Ok(107, "PA1,5.00,0.000,Kafa");
    Ok(107, "PB2,1.20,0.000,Voda");
    Ok(48, "1,4826,1");
    Ok(52, "1#5.00");
    Ok(52, "2#1.20*2.000");
    Ok(53, "\tP3.00");
    sim->Control("clock -600");
    Restart();
    EXPECT_EQ(Ok(76, "T").data, "1,2,740,300");
    EXPECT_EQ(Ok(103).Field(0), "0");
    EXPECT_EQ(Ok(107, "I").Field(2), "2");
    EXPECT_EQ(sim->State().clockOffset, -600);
    Ok(53, "\tP4.40");
    Ok(56);
    Restart();
    EXPECT_EQ(Ok(76, "T").data, "0,2,740,740");
    Ok(69, "0a");
    Restart();
    EXPECT_EQ(Ok(76, "T").data, "0,0,0,0");
    EXPECT_EQ(Ok(69, "2").Field(0), "2");  // the next closing is number 2
    EXPECT_EQ(JournalCount("OPEN"), 1);
    EXPECT_EQ(JournalCount("CLOSE 1 7.40 7.40"), 1);
}

TEST_F(Faults, NoiseCorruptsSomeAnswersButNeverExecutesTwice)
{
    Ok(107, "PA1,0.10,0.000,Bombona");
    Ok(48, "1,4826,1");
    sim->Control("noise 0.01 7");
    int sold = 0, troubled = 0;
    for (int i = 0; i < 12; ++i) {
        LineReply r = line->Command(52, "1#0.10", 300);
        troubled += r.kind != LineReply::Answer;
        for (int retry = 0; retry < 8 && r.kind != LineReply::Answer; ++retry) {
            std::this_thread::sleep_for(std::chrono::milliseconds(320));
            r = line->Repeat(900);
        }
        if (r.kind == LineReply::Answer && r.seq == line->Seq() && !r.Bit(0, 5))
            ++sold;
    }
    sim->Control("noise off");
    // Every sale the line confirmed was printed once; corrupt frames were NAKed, not guessed at.
    EXPECT_GE(sold, 9);
    EXPECT_GT(troubled, 0);  // the noise did reach the line
    EXPECT_EQ(JournalCount("SALE"), static_cast<int>(sim->State().lines.size()));
    EXPECT_LE(JournalCount("SALE"), 12);
    EXPECT_GE(JournalCount("SALE"), sold);
}

namespace {

std::string ControlLine(const std::string& socketPath, const std::string& text)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return "no connection";
    }
    const std::string out = text + "\n";
    ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    std::string reply;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        reply.push_back(c);
    ::close(fd);
    return reply;
}

}  // namespace

TEST(SimProgram, ServesTheLinkPathAndTakesControlLines)
{
    velbrin::test::TempDir dir;
    const std::string state = dir.File("p.state"), link = dir.File("ttyFP"), control = dir.File("ctl");
    const char* argv[] = {FP550_SIM_PROGRAM, "--state", state.c_str(), "--link", link.c_str(),
                          "--control", control.c_str(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, FP550_SIM_PROGRAM, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    for (int i = 0; i < 100 && (access(link.c_str(), F_OK) != 0 || access(control.c_str(), F_OK) != 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        velbrin::test::SimTestLine line(link);
        EXPECT_EQ(ControlLine(control, "firmware 9.99XX 01JAN20 0000,0000"), "ok");
        EXPECT_EQ(ControlLine(control, "no such thing"), "error: unknown control line: no such thing");
        const LineReply r = line.Command(90, "1");
        EXPECT_EQ(r.kind, LineReply::Answer);
        EXPECT_EQ(r.data.substr(0, 24), "9.99XX 01JAN20 0000,0000");
        EXPECT_EQ(ControlLine(control, "nak 1"), "ok");
        EXPECT_EQ(line.Command(62).kind, LineReply::Nak);
        EXPECT_NE(ControlLine(control, "status").find("z=0"), std::string::npos);
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(access(link.c_str(), F_OK), 0);  // the link path is removed on the way out
    EXPECT_NE(velbrin::ReadWholeFile(state).find("firmware=9.99XX"), std::string::npos);
}

TEST_F(Faults, BaudGivesEveryByteItsTimeOnTheLineAndANakUnderTheLockToo)
{
    auto timed = [&](const std::function<LineReply()>& send, LineReply& r) {
        const auto start = std::chrono::steady_clock::now();
        r = send();
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    };
    LineReply r;
    const auto fast = timed([&] { return line->Command(62, "", 2000); }, r);
    ASSERT_EQ(r.kind, LineReply::Answer);
    // 1200 baud: 120 bytes a second, so a frame of 10 bytes and an answer of
    // more than 20 take a quarter of a second at least
    sim->Control("baud 1200");
    const auto slow = timed([&] { return line->Command(62, "", 2000); }, r);
    EXPECT_EQ(r.kind, LineReply::Answer);
    EXPECT_GE(slow, 250);
    EXPECT_LT(fast, slow);
    // the NAK of a refused frame is written while the simulator holds its lock
    sim->Control("nak 1");
    EXPECT_EQ(timed([&] { return line->Command(62, "", 2000); }, r) < 2000, true);
    EXPECT_EQ(r.kind, LineReply::Nak);
    sim->Control("baud off");
    EXPECT_LT(timed([&] { return line->Command(62, "", 2000); }, r), slow);
    EXPECT_THROW(sim->Control("baud 10"), std::invalid_argument);
    EXPECT_THROW(sim->Control("baud fast"), std::invalid_argument);
}
