#include "disk.h"

#include "privateRoot.h"
#include "properties.h"
#include "sysPath.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace
{

// Every sysPath() of this process lands in a private root.
const std::string testRoot = usePrivateRoot("disk_test");

const char* const CONFIGURATION = "/etc/opt/qor/retail/posQOR_configuration";

void writeRootFile(const std::string& absolutePath, const std::string& content)
{
    std::filesystem::path path = sysPath(absolutePath);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::trunc) << content;
}

std::string readRootFile(const std::string& absolutePath)
{
    std::ifstream in(sysPath(absolutePath));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The "Disk." keys of the configuration file as written.
std::map<std::string, std::string> diskKeys()
{
    std::map<std::string, std::string> keys;
    std::istringstream lines(readRootFile(CONFIGURATION));
    std::string line;
    while (std::getline(lines, line)) {
        auto equals = line.find('=');
        if (line.starts_with("Disk.") && equals != std::string::npos)
            keys[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return keys;
}

struct Drive {
    const char* devName;
    std::uint32_t megabytes;
};

// Loads the layout properties, lays the drives into the table as discovery
// does, then computes and records the scheme.
void runScheme(const std::string& layout, const std::vector<Drive>& drives)
{
    writeRootFile(CONFIGURATION, layout);
    getProperties(CONFIGURATION);
    for (disk_scheme_s& entry : disk)
        entry = disk_scheme_s {};
    for (std::size_t i = 0; i < drives.size(); ++i) {
        disk[i].devName = drives[i].devName;
        disk[i].diskSizeInMeg = drives[i].megabytes;
    }
    readDiskLayouts(disk);
    for (disk_scheme_s& entry : disk)
        if (entry.diskSizeInMeg != 0)
            computePartitionSizes(entry);
    testing::internal::CaptureStderr();
    setDiskProperties();
    testing::internal::GetCapturedStderr();
}

// ---- Partition list --------------------------------------------------------

TEST(PartitionsList, WholeDisksInListOrder)
{
    struct Row {
        const char* name;
        std::string text;
        std::vector<Drive> expected;
    };
    const Row rows[] = {
        { "heading, blank line, disk and partition",
            "major minor  #blocks  name\n\n   3     0   10241023 hda\n   3     1    1024000 hda1\n",
            { { "/dev/hda", 10000 } } },
        { "the twelve names only",
            "8 0 2048 sdf\n8 1 2048 sdf1\n3 0 3072 hdg\n9 0 4096 md0\n259 0 5120 nvme0n1\n"
            "3 64 6144 hdb\n202 0 7168 xvda\n8 96 8192 sdg\n7 0 9216 loop0\n3 0 10240 HDA\n"
            "8 0 11264 sda\n3 0 12288 hdx\n",
            { { "/dev/sdf", 2 }, { "/dev/hdb", 6 }, { "/dev/sda", 11 } } },
        { "seventh drive ignored",
            "3 0 1024 hda\n3 1 2048 hdb\n3 2 3072 hdc\n3 3 4096 hdd\n3 4 5120 hde\n3 5 6144 hdf\n8 0 7168 sda\n",
            { { "/dev/hda", 1 }, { "/dev/hdb", 2 }, { "/dev/hdc", 3 }, { "/dev/hdd", 4 }, { "/dev/hde", 5 },
                { "/dev/hdf", 6 } } },
        { "capacity truncated to whole MB", "8 0 2047 sda\n8 16 1023 sdb\n", { { "/dev/sda", 1 }, { "/dev/sdb", 0 } } },
        { "size that is no number", "8 0 lots sda\n", { { "/dev/sda", 0 } } },
        { "short last step skipped", "8 0 4096 sda\n8 16 4096\n", { { "/dev/sda", 4 } } },
        { "empty list", "", {} },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        disk_scheme_s table[MAX_DISKS];
        testing::internal::CaptureStderr();
        int found = readPartitionsList(row.text, table);
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(found, static_cast<int>(row.expected.size()));
        for (int i = 0; i < MAX_DISKS; ++i) {
            SCOPED_TRACE(i);
            if (i < found) {
                EXPECT_EQ(table[i].devName, row.expected[i].devName);
                EXPECT_EQ(table[i].diskSizeInMeg, row.expected[i].megabytes);
            } else {
                EXPECT_EQ(table[i].devName, "");
                EXPECT_EQ(table[i].diskSizeInMeg, 0u);
            }
        }
    }
}

TEST(PartitionsList, TraceNamesDriveAndSizeWordAsRead)
{
    disk_scheme_s table[MAX_DISKS];
    testing::internal::CaptureStderr();
    readPartitionsList("major minor #blocks name\n 3 0 0010241023 hda\n 3 1 99 hda1\n 8 0 4096 sda\n", table);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
        "Found drive 0. \"hda\" size 0010241023\nFound drive 1. \"sda\" size 4096\n");
}

// ---- Sizes -----------------------------------------------------------------

TEST(PartitionSizes, SharesOfWhatSwapLeaves)
{
    struct Row {
        const char* name;
        std::uint32_t capacity;
        std::uint32_t swap;
        std::vector<std::int32_t> shares; // partitions 0, 1, ...
        std::uint32_t swapAfter;
        std::vector<std::uint32_t> sizes;
    };
    const Row rows[] = {
        { "swap and one share", 10000, 100, { 0, 25 }, 100, { 0, 2475 } },
        { "two shares", 10000, 500, { 30, 70 }, 500, { 2850, 6650 } },
        { "swap as large as the drive dropped", 10000, 10000, { 50 }, 0, { 5000 } },
        { "swap larger than the drive dropped", 2000, 5000, { 100 }, 0, { 2000 } },
        { "tiny drive: first share takes the rest", 150, 100, { 0, 40, 60 }, 100, { 0, 50, 0 } },
        { "drive under 100 MB without swap", 99, 0, { 10, 10 }, 0, { 99, 0 } },
        { "shares above 100 % computed as given", 1000, 0, { 80, 80 }, 0, { 800, 800 } },
        { "negative share left out", 1000, 0, { -10, 50 }, 0, { 0, 500 } },
        { "no shares", 1000, 0, {}, 0, {} },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        disk_scheme_s entry {};
        entry.diskSizeInMeg = row.capacity;
        entry.swapSize = row.swap;
        for (std::size_t p = 0; p < row.shares.size(); ++p)
            entry.part[p].percentSize = row.shares[p];
        testing::internal::CaptureStderr();
        computePartitionSizes(entry);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(entry.swapSize, row.swapAfter);
        for (int p = 0; p < MAX_PARTS; ++p) {
            SCOPED_TRACE(p);
            std::uint32_t expected = p < static_cast<int>(row.sizes.size()) ? row.sizes[p] : 0;
            EXPECT_EQ(entry.part[p].size, expected);
        }
    }
}

// ---- Scheme properties -----------------------------------------------------

using Keys = std::map<std::string, std::string>;

TEST(PartitionScheme, DiskPropertiesForConfiguredLayouts)
{
    struct Row {
        const char* name;
        std::string layout;
        std::vector<Drive> drives;
        Keys expected;
    };
    const std::string drive0 = "HardDrive.0.number=0\n";
    const Row rows[] = {
        { "swap kept, last partition x",
            drive0
                + "HardDrive.0.swapPartitionSize=100\nHardDrive.0.Partition.1.size=25\n"
                  "HardDrive.0.Partition.1.mountPoint=/\nHardDrive.0.Partition.1.loadImage=posQOR_STNC\n",
            { { "/dev/hda", 10000 } },
            { { "Disk.0.SwapSize", "100" }, { "Disk.0.SwapDevice", "/dev/hda1" }, { "Disk.0.DeviceName", "/dev/hda" },
                { "Disk.0.Part.1.Size", "x" }, { "Disk.0.Part.1.Mount", "/" }, { "Disk.0.Part.1.Image", "posQOR_STNC" },
                { "Disk.0.Part.1.Device", "/dev/hda2" } } },
        { "two shares",
            drive0
                + "HardDrive.0.swapPartitionSize=500\nHardDrive.0.Partition.0.size=30\n"
                  "HardDrive.0.Partition.0.mountPoint=/\nHardDrive.0.Partition.1.size=70\n"
                  "HardDrive.0.Partition.1.mountPoint=/data\n",
            { { "/dev/hda", 10000 } },
            { { "Disk.0.SwapSize", "500" }, { "Disk.0.SwapDevice", "/dev/hda1" }, { "Disk.0.DeviceName", "/dev/hda" },
                { "Disk.0.Part.0.Size", "2850" }, { "Disk.0.Part.0.Mount", "/" }, { "Disk.0.Part.0.Image", "" },
                { "Disk.0.Part.0.Device", "/dev/hda2" }, { "Disk.0.Part.1.Size", "x" },
                { "Disk.0.Part.1.Mount", "/data" }, { "Disk.0.Part.1.Image", "" },
                { "Disk.0.Part.1.Device", "/dev/hda3" } } },
        { "share of 100 before the last is x too",
            drive0 + "HardDrive.0.Partition.0.size=100\nHardDrive.0.Partition.2.size=20\n", { { "/dev/sda", 10000 } },
            { { "Disk.0.DeviceName", "/dev/sda" }, { "Disk.0.Part.0.Size", "x" }, { "Disk.0.Part.0.Mount", "" },
                { "Disk.0.Part.0.Image", "" }, { "Disk.0.Part.0.Device", "/dev/sda1" }, { "Disk.0.Part.2.Size", "x" },
                { "Disk.0.Part.2.Mount", "" }, { "Disk.0.Part.2.Image", "" },
                { "Disk.0.Part.2.Device", "/dev/sda2" } } },
        { "tiny drive",
            drive0
                + "HardDrive.0.swapPartitionSize=100\nHardDrive.0.Partition.0.size=40\n"
                  "HardDrive.0.Partition.1.size=60\n",
            { { "/dev/hda", 150 } },
            { { "Disk.0.SwapSize", "100" }, { "Disk.0.SwapDevice", "/dev/hda1" }, { "Disk.0.DeviceName", "/dev/hda" },
                { "Disk.0.Part.0.Size", "x" }, { "Disk.0.Part.0.Mount", "" }, { "Disk.0.Part.0.Image", "" },
                { "Disk.0.Part.0.Device", "/dev/hda2" } } },
        { "swap dropped, first partition is number 1",
            drive0 + "HardDrive.0.swapPartitionSize=4000\nHardDrive.0.Partition.0.size=50\n", { { "/dev/hda", 4000 } },
            { { "Disk.0.DeviceName", "/dev/hda" }, { "Disk.0.Part.0.Size", "x" }, { "Disk.0.Part.0.Mount", "" },
                { "Disk.0.Part.0.Image", "" }, { "Disk.0.Part.0.Device", "/dev/hda1" } } },
        { "only drive number 2 configured goes to the first drive",
            "HardDrive.2.number=2\nHardDrive.2.Partition.0.size=100\nHardDrive.2.Partition.0.mountPoint=/\n",
            { { "/dev/hda", 8000 }, { "/dev/hdb", 8000 } },
            { { "Disk.0.DeviceName", "/dev/hda" }, { "Disk.0.Part.0.Size", "x" }, { "Disk.0.Part.0.Mount", "/" },
                { "Disk.0.Part.0.Image", "" }, { "Disk.0.Part.0.Device", "/dev/hda1" } } },
        { "numbers 1 and 4 compacted onto two drives",
            "HardDrive.1.number=1\nHardDrive.1.Partition.0.size=100\n"
            "HardDrive.4.number=4\nHardDrive.4.swapPartitionSize=64\nHardDrive.4.Partition.3.size=100\n",
            { { "/dev/hda", 8000 }, { "/dev/sdb", 8000 } },
            { { "Disk.0.DeviceName", "/dev/hda" }, { "Disk.0.Part.0.Size", "x" }, { "Disk.0.Part.0.Mount", "" },
                { "Disk.0.Part.0.Image", "" }, { "Disk.0.Part.0.Device", "/dev/hda1" }, { "Disk.1.SwapSize", "64" },
                { "Disk.1.SwapDevice", "/dev/sdb1" }, { "Disk.1.DeviceName", "/dev/sdb" },
                { "Disk.1.Part.3.Size", "x" }, { "Disk.1.Part.3.Mount", "" }, { "Disk.1.Part.3.Image", "" },
                { "Disk.1.Part.3.Device", "/dev/sdb2" } } },
        { "layout without a drive records an empty device name only",
            drive0 + "HardDrive.0.swapPartitionSize=100\nHardDrive.0.Partition.0.size=100\n", {},
            { { "Disk.0.DeviceName", "" } } },
        { "more layouts than drives",
            "HardDrive.0.number=0\nHardDrive.0.Partition.0.size=100\nHardDrive.3.number=3\n"
            "HardDrive.3.swapPartitionSize=100\n",
            { { "/dev/sda", 5000 } },
            { { "Disk.0.DeviceName", "/dev/sda" }, { "Disk.0.Part.0.Size", "x" }, { "Disk.0.Part.0.Mount", "" },
                { "Disk.0.Part.0.Image", "" }, { "Disk.0.Part.0.Device", "/dev/sda1" }, { "Disk.1.DeviceName", "" } } },
        { "no layout configured", "TerminalNumber=7\n", { { "/dev/hda", 10000 } }, {} },
        { "layout without partitions", drive0 + "HardDrive.0.swapPartitionSize=256\n", { { "/dev/hda", 10000 } },
            { { "Disk.0.SwapSize", "256" }, { "Disk.0.SwapDevice", "/dev/hda1" },
                { "Disk.0.DeviceName", "/dev/hda" } } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        runScheme(row.layout, row.drives);
        EXPECT_EQ(diskKeys(), row.expected);
    }
}

TEST(PartitionScheme, MountAndImageStayBorrowedFromTheTable)
{
    runScheme("HardDrive.0.number=0\nHardDrive.0.Partition.0.size=100\n"
              "HardDrive.0.Partition.0.loadImage=first\n",
        { { "/dev/hda", 9000 } });
    setPropertyString("HardDrive.0.Partition.0.loadImage", "second");
    EXPECT_STREQ(disk[0].part[0].load_image, "second");
}

TEST(PartitionScheme, DiagnosticDump)
{
    runScheme("HardDrive.0.number=0\nHardDrive.0.swapPartitionSize=100\n"
              "HardDrive.0.Partition.0.size=30\nHardDrive.0.Partition.0.allowSystemUpdates=1\n"
              "HardDrive.0.Partition.0.mountPoint=/\nHardDrive.0.Partition.0.loadImage=img\n"
              "HardDrive.0.Partition.1.size=70\nHardDrive.0.Partition.1.mountPoint=/d\n",
        { { "/dev/hda", 10100 } });
    testing::internal::CaptureStdout();
    sayPScheme();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
        "disk[0].devName= /dev/hda\n"
        "Disk 0 : /dev/hda (10100 MB)\n"
        "\tSwap Size 100 "
        "\tPartition 0 size=30% 3000 MB, Upd=Y mount point = /\n\t\timage :img:\n"
        "\tPartition 1 size=70% 7000 MB, Upd=N mount point = /d\n\t\timage ::\n");
}

// ---- Whole discovery -------------------------------------------------------

// Discovery runs once per process, so this test walks its whole life.
TEST(DiskDiscovery, PresenceAndSchemeFromProcPartitions)
{
    writeRootFile("/proc/partitions",
        "major minor  #blocks  name\n\n"
        "   3     0    3072000 hda\n   3     1    3071000 hda1\n"
        "   8     0    3073024 sda\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(isHardDrivePresent(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
        "Found drive 0. \"hda\" size 3072000\nFound drive 1. \"sda\" size 3073024\n"
        "Disk 0. Size=3000 Min=3000\nDisk 1. Size=3001 Min=3000\n");

    // Later calls do not discover again.
    writeRootFile("/proc/partitions", "8 0 99999999 sdc\n");
    disk[1].diskSizeInMeg = 3000;
    testing::internal::CaptureStderr();
    EXPECT_EQ(isHardDrivePresent(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
        "Disk 0. Size=3000 Min=3000\nDisk 1. Size=3000 Min=3000\nDisk 2. Size=0 Min=3000\n"
        "Disk 3. Size=0 Min=3000\nDisk 4. Size=0 Min=3000\nDisk 5. Size=0 Min=3000\n");

    writeRootFile(CONFIGURATION, "HardDrive.0.number=0\nHardDrive.0.Partition.0.size=100\n");
    getProperties(CONFIGURATION);
    testing::internal::CaptureStdout();
    getDiskPartition();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "disk.0.devname=/dev/hda\n");
    Keys expected = { { "Disk.0.DeviceName", "/dev/hda" }, { "Disk.0.Part.0.Size", "x" }, { "Disk.0.Part.0.Mount", "" },
        { "Disk.0.Part.0.Image", "" }, { "Disk.0.Part.0.Device", "/dev/hda1" } };
    EXPECT_EQ(diskKeys(), expected);
}

} // namespace

namespace
{

// Discovery without a partition list, then the scheme of a configured layout;
// ends the process with 0 when everything came out as expected.
[[noreturn]] void discoverWithoutList()
{
    std::filesystem::remove(sysPath("/proc/partitions"));
    writeRootFile(CONFIGURATION, "HardDrive.0.number=0\nHardDrive.0.swapPartitionSize=100\n");
    getProperties(CONFIGURATION);
    bool absent = isHardDrivePresent() == 0;
    testing::internal::CaptureStdout();
    getDiskPartition();
    bool printed = testing::internal::GetCapturedStdout() == "disk.0.devname=\n";
    bool recorded = diskKeys() == Keys { { "Disk.0.DeviceName", "" } };
    std::exit(absent && printed && recorded ? 0 : 1);
}

// A fresh process (the test program run again) for a discovery of its own.
TEST(DiskDiscoveryDeathTest, MissingPartitionsListGivesNoDriveAndEmptyDeviceName)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(discoverWithoutList(), testing::ExitedWithCode(0), "Unable to open /proc/partitions\n");
}

} // namespace
