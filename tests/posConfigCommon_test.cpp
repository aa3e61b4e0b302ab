// The console and process utilities shared by both setup programs.
#include "bootIdentity.h"
#include "posConfigCommon.h"
#include "sandbox.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace
{

namespace fs = std::filesystem;

struct SupervisorCase {
    const char* name;
    std::vector<std::string> behaviours;
    std::string expectedTrace;
    std::vector<unsigned long> expectedWaits;
};

TEST(ForkAndWait, RestartsFailedWorkersUntilOneSucceeds)
{
    const SupervisorCase cases[] = {
        { "firstSucceeds", { "0" }, "", {} },
        { "exitStatus20", { "20", "0" }, "Child process exited with rc=20\n", { 1000 } },
        { "exitMinusOneIs255", { "-1", "0" }, "Child process exited with rc=255\n", { 1000 } },
        { "killedBySignal9", { "kill", "0" }, "Abnormal child process termination : 9\n", { 1000 } },
        { "repeatedQuickFailures", { "13", "13", "13", "0" },
            "Child process exited with rc=13\nChild process exited with rc=13\nChild process exited with rc=13\n",
            { 1000, 1000, 1000 } },
        { "slowFailureRestartsAtOnce", { "slow5", "0" }, "Child process exited with rc=5\n", {} },
    };
    for (const auto& c : cases) {
        Sandbox box;
        std::string counter = box.dir() + "/runs";
        std::vector<std::string> args { counter };
        args.insert(args.end(), c.behaviours.begin(), c.behaviours.end());
        ProgramResult result = box.run("supervisedWorker", args, "", 30);
        EXPECT_FALSE(result.timedOut) << c.name;
        EXPECT_EQ(result.exitStatus, 0) << c.name;
        EXPECT_EQ(result.err, c.expectedTrace) << c.name;
        EXPECT_EQ(result.out, "supervisor starts\n") << c.name;
        EXPECT_EQ(box.waits(), c.expectedWaits) << c.name;
        int runs = 0;
        std::ifstream(counter) >> runs;
        EXPECT_EQ(runs, static_cast<int>(c.behaviours.size())) << c.name;
    }
}

TEST(CleanupAndExit, EndsTheProcessWithTheStatus)
{
    EXPECT_EXIT(cleanupAndExit(13), testing::ExitedWithCode(13), "");
    EXPECT_EXIT(cleanupAndExit(0), testing::ExitedWithCode(0), "");
}

TEST(EnsureFileEndsWithLinefeed, AppendsOnlyWhereTheLastByteIsNoLineFeed)
{
    const std::pair<std::string, std::string> cases[] = {
        { "abc", "abc\n" },
        { "abc\n", "abc\n" },
        { "a=1\nb=2", "a=1\nb=2\n" },
        { "a=1\r", "a=1\r\n" },
        { "", "" },
        { "\n\n", "\n\n" },
    };
    std::string dir = fs::temp_directory_path() / ("linefeed-test-" + std::to_string(getpid()));
    fs::create_directories(dir);
    for (const auto& [before, after] : cases) {
        std::string path = dir + "/f";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << before;
        ensureFileEndsWithLinefeed(path.c_str());
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        EXPECT_EQ(text.str(), after) << '"' << before << '"';
    }
    std::string missing = dir + "/missing";
    ensureFileEndsWithLinefeed(missing.c_str());
    EXPECT_FALSE(fs::exists(missing));
    fs::remove_all(dir);
}

TEST(StrangeStrcmp, BackslashInSecondTextEscapesTheNextCharacter)
{
    struct Case {
        const char* a;
        const char* b;
        int expected;
    };
    const Case cases[] = {
        { "a:b", "a\\:b", 0 },
        { "a\\b", "a\\\\b", 0 },
        { "ab", "ac", -1 },
        { "abc", "ab", 1 },
        { "ab", "abc", -1 },
        { "", "", 0 },
        { "a\\", "a\\", 0 }, // a final backslash is compared as itself
        { "ab", "a\\", 1 }, // 'b' against the final backslash
        { "a", "\\a", 0 },
        { "\\", "\\\\", 0 },
        { "\\\\", "\\\\", 1 }, // b holds one escaped backslash; a has one more
        { "\xe9", "e", -1 }, // signed bytes: 0xe9 is negative
        { "x", "\\y", -1 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(strange_strcmp(c.a, c.b), c.expected) << '"' << c.a << "\" vs \"" << c.b << '"';
}

TEST(GetDiskName, NamesFromTheTableAndNullOutsideIt)
{
    EXPECT_STREQ(getDiskName(1, 2), "sdc");
    EXPECT_STREQ(getDiskName(0, 0), "hda");
    EXPECT_STREQ(getDiskName(0, 5), "hdf");
    EXPECT_STREQ(getDiskName(1, 5), "sdf");
    EXPECT_EQ(getDiskName(2, 0), nullptr);
    EXPECT_EQ(getDiskName(-1, 0), nullptr);
    EXPECT_EQ(getDiskName(0, MAX_UNIT), nullptr);
    EXPECT_EQ(getDiskName(1, -1), nullptr);
}

TEST(SayEnvTableVariables, PrintsFourValuesAndNullForUnset)
{
    char server[] = "10.0.0.1";
    char mac[] = "00:11:22:33:44:55";
    char product[] = "4852-E66";
    TSERVER = server;
    DHCPCHADDR = mac;
    productBIOS = nullptr;
    productID = product;
    testing::internal::CaptureStdout();
    sayEnvTableVariables();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
        "TSERVER = 10.0.0.1\nDHCPCHADDR = 00:11:22:33:44:55\n"
        "productBIOS = (null)\nproductID = 4852-E66\n");
    TSERVER = DHCPCHADDR = productID = nullptr;
}

} // namespace
