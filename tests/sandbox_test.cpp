// The whole-program harness itself: stubs, root files and the time limit.
#include "sandbox.h"

#include <gtest/gtest.h>
#include <unistd.h>

TEST(Sandbox, RunsStubsAndCapturesOutputStatusAndCommands)
{
    Sandbox box;
    box.stubTool("hostname", "echo 10.0.0.5");
    box.writeFile("/etc/hello", "hi\n");
    ProgramResult result = box.run("/bin/sh",
        { "-c",
            "hostname -i; cat \"$POSQOR_ROOT/etc/hello\"; "
            "echo trace >&2; \"$POSQOR_ROOT/sbin/reboot\" -f -i; exit 7" });
    EXPECT_EQ(result.exitStatus, 7);
    EXPECT_EQ(result.out, "10.0.0.5\nhi\n");
    EXPECT_EQ(result.err, "trace\n");
    EXPECT_EQ(box.commands(), (std::vector<std::string> { "hostname -i", "/sbin/reboot -f -i" }));
}

TEST(Sandbox, KillsAProgramThatOutlivesItsTimeLimit)
{
    Sandbox box;
    ProgramResult result = box.run("/bin/sh", { "-c", "sleep 30" }, "", 1);
    EXPECT_TRUE(result.timedOut);
    EXPECT_NE(result.signal, 0);
}

TEST(Sandbox, ListensOnDistinctLoopbackAddresses)
{
    std::string first, second;
    int a = listenOnFreeLoopbackAddress(46910, first);
    int b = listenOnFreeLoopbackAddress(46910, second);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_NE(first, second);
    close(a);
    close(b);
}
