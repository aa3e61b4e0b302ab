// The real-terminal driver that the menu tests build on.
#include "terminal.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace
{

class TerminalDriver : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!Terminal::available())
            GTEST_SKIP() << "tmux is not available";
    }

    static TerminalOptions withPath()
    {
        TerminalOptions options;
        options.environment = { "PATH=/usr/bin:/bin" };
        return options;
    }
};

// Whether the process has ended: gone, or a zombie left for whoever adopts
// it to reap.
bool hasEnded(pid_t pid)
{
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t end = text.rfind(')');
    return end == std::string::npos || (end + 2 < text.size() && text[end + 2] == 'Z');
}

} // namespace

TEST_F(TerminalDriver, ProgramSeesOnlyTheGivenEnvironmentAndTheTerminalType)
{
    ::setenv("POSQOR_TERMINAL_TEST_LEAK", "leaked", 1);
    Terminal terminal;
    TerminalOptions options = withPath();
    options.environment.push_back("GIVEN=yes");
    options.environment.push_back("TERM=dumb");
    ASSERT_TRUE(terminal.start("/bin/sh",
        { "-c",
            "echo \"given=$GIVEN leak=${POSQOR_TERMINAL_TEST_LEAK-none} "
            "term=$TERM tmux=${TMUX-none}\"" },
        options))
        << terminal.error();
    EXPECT_TRUE(terminal.waitForText("given=yes leak=none term=screen tmux=none")) << terminal.dump();
    ::unsetenv("POSQOR_TERMINAL_TEST_LEAK");
}

TEST_F(TerminalDriver, ReportsTheExitStatusAndKeepsTheLastScreen)
{
    Terminal terminal;
    ASSERT_TRUE(terminal.start("/bin/sh", { "-c", "echo last words; exit 4" }, withPath())) << terminal.error();
    EXPECT_EQ(terminal.waitForExit(), 4);
    EXPECT_EQ(terminal.row(0), "last words");
    EXPECT_NE(terminal.terminalModesAfterExit().find("icanon"), std::string::npos);
}

TEST_F(TerminalDriver, TypedTextAndNamedKeysReachTheProgram)
{
    Terminal terminal;
    ASSERT_TRUE(terminal.start("/bin/sh", { "-c", "read line; echo \"got <$line>\"; sleep 5" }, withPath()))
        << terminal.error();
    ASSERT_TRUE(terminal.typeText("a b;'c"));
    ASSERT_TRUE(terminal.sendKeys({ "Enter" }));
    EXPECT_TRUE(terminal.waitForText("got <a b;'c>")) << terminal.dump();
}

TEST_F(TerminalDriver, TerminalsRunningAtTheSameTimeAreSeparate)
{
    Terminal first;
    Terminal second;
    ASSERT_TRUE(first.start("/bin/sh", { "-c", "echo first; sleep 5" }, withPath())) << first.error();
    ASSERT_TRUE(second.start("/bin/sh", { "-c", "echo second; sleep 5" }, withPath())) << second.error();
    EXPECT_TRUE(first.waitForText("first"));
    EXPECT_TRUE(second.waitForText("second"));
    EXPECT_EQ(first.find("second").row, -1);
    EXPECT_EQ(second.find("first").row, -1);
}

TEST_F(TerminalDriver, EndingTheDriverEndsTheProgram)
{
    pid_t program = 0;
    {
        Terminal terminal;
        ASSERT_TRUE(terminal.start("/bin/sh", { "-c", "echo $$; exec sleep 60" }, withPath())) << terminal.error();
        ASSERT_TRUE(terminal.waitUntil([](const auto& lines) { return !lines[0].empty(); })) << terminal.dump();
        program = static_cast<pid_t>(std::atoi(terminal.row(0).c_str()));
        ASSERT_GT(program, 0);
    }
    bool gone = false;
    for (int attempt = 0; attempt < 100 && !gone; ++attempt) {
        gone = hasEnded(program);
        if (!gone)
            std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(gone);
}
