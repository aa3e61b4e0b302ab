#include "freeRam.h"

#include "privateRoot.h"
#include "sysPath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace
{

// Every sysPath() of this process lands in a private root.
const std::string testRoot = usePrivateRoot("freeRam_test");

const char* const KERNEL_MEMINFO = "MemTotal:        2048000 kB\n"
                                   "MemFree:          512000 kB\n"
                                   "MemAvailable:    1024000 kB\n"
                                   "Buffers:           10000 kB\n"
                                   "SwapCached:            0 kB\n"
                                   "SwapTotal:        409600 kB\n"
                                   "SwapFree:         400000 kB\n"
                                   "HugePages_Total:       0\n";

TEST(MemInfoParse, FiguresFromMeminfoText)
{
    struct Row {
        const char* name;
        std::string text;
        mInfo_s before;
        mInfo_s expected;
    };
    const mInfo_s zero = {};
    const mInfo_s earlier = { 100, 7, 50, 30, 3, 20 };
    const Row rows[] = {
        { "kernel layout", KERNEL_MEMINFO, zero, { 2048000, 1536000, 512000, 409600, 9600, 400000 } },
        { "no swap lines", "MemTotal: 1000 kB\nMemFree: 400 kB\n", zero, { 1000, 600, 400, 0, 0, 0 } },
        { "free equal to total keeps used", "MemTotal: 1000 kB\nMemFree: 1000 kB\n", earlier,
            { 1000, 7, 1000, 30, 10, 20 } },
        { "free above total keeps used", "MemTotal: 10 kB\nMemFree: 99 kB\nSwapTotal: 5 kB\nSwapFree: 9 kB\n", earlier,
            { 10, 7, 99, 5, 3, 9 } },
        { "absent lines keep earlier values", "Buffers: 1 kB\n", earlier, { 100, 50, 50, 30, 10, 20 } },
        { "tabs before the number", "MemTotal:\t\t777 kB\nMemFree:\t77 kB\n", zero, { 777, 700, 77, 0, 0, 0 } },
        { "no final newline", "MemTotal: 5 kB\nMemFree: 2", zero, { 5, 3, 2, 0, 0, 0 } },
        { "not a number keeps the value", "MemTotal: lots\nMemFree: 2 kB\n", earlier, { 100, 98, 2, 30, 10, 20 } },
        { "prefix only at line start", " MemTotal: 5 kB\nXMemFree: 1 kB\n", zero, zero },
        { "line beyond 79 characters ignored", "MemTotal: " + std::string(80, '9') + "\nMemFree: 4 kB\n", zero,
            { 0, 0, 4, 0, 0, 0 } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        mInfo_s info = row.before;
        testing::internal::CaptureStderr();
        parseMemInfo(row.text, info);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(info.totalMem, row.expected.totalMem);
        EXPECT_EQ(info.usedMem, row.expected.usedMem);
        EXPECT_EQ(info.freeMem, row.expected.freeMem);
        EXPECT_EQ(info.totalSwap, row.expected.totalSwap);
        EXPECT_EQ(info.usedSwap, row.expected.usedSwap);
        EXPECT_EQ(info.freeSwap, row.expected.freeSwap);
    }
}

void writeMeminfo(const char* text)
{
    std::filesystem::create_directories(sysPath("/proc"));
    std::ofstream(sysPath("/proc/meminfo"), std::ios::trunc) << text;
}

TEST(MemInfoFile, GettersReadTheFileAgainAndTraceTwoLines)
{
    writeMeminfo(KERNEL_MEMINFO);
    testing::internal::CaptureStderr();
    EXPECT_EQ(getTotalMemory(), 2048000u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
        "MEM  : Total 2048000   Used 1536000    Free 512000\n"
        "SWAP : Total 409600   Used 9600    Free 400000\n");

    writeMeminfo("MemTotal: 4000 kB\nMemFree: 1000 kB\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(getUsedMemory(), 3000u);
    EXPECT_EQ(getFreeMemory(), 1000u);
    EXPECT_EQ(getTotalSwap(), 409600u) << "swap figures of the earlier reading stay";
    EXPECT_EQ(getUsedSwap(), 9600u);
    EXPECT_EQ(getFreeSwap(), 400000u);
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 10) << trace;
}

TEST(MemInfoFile, MissingFileKeepsTheLastFiguresWithOneLinePerCall)
{
    std::filesystem::remove(sysPath("/proc/meminfo"));
    testing::internal::CaptureStderr();
    const unsigned long before = mInfo.totalMem;
    EXPECT_EQ(get_mInfo(), 0u);
    EXPECT_EQ(getTotalMemory(), before);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unable to open /proc/meminfo\nUnable to open /proc/meminfo\n");
}

} // namespace
