// Image matching and the boot configuration writer, in-process against a
// sandbox root (reboot stub, setterm stub, logged waits) and a fake property
// service that keeps the remote values.
#include "vendorConfig.h"

#include "bootIdentity.h"
#include "fakeServer.h"
#include "imageStats.h"
#include "posConfigCommon.h"
#include "properties.h"
#include "sandbox.h"
#include "sysPath.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace
{

const char* const CONFIG_FILE = "/etc/opt/qor/retail/posQOR_configuration";
const char* const TARGET = "/etc/config.rc";
const std::string IDENTITY = "TerminalNumber=3\nSTN.ServerIPAddress=10.0.0.1\n";

// One sandbox root and one fake service per test process: the root directory
// and the server's host entry are both taken once per process.
struct World {
    Sandbox box;
    FakeServer server;
    std::string serverAddress;
    std::mutex mutex;
    std::map<std::string, std::string> remote;

    World()
    {
        for (const std::string& setting : box.environment()) {
            std::size_t equals = setting.find('=');
            setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
        }
        // The not-found path runs "/sbin/reboot -f -i"; it must reach the stub.
        if (sysRoot() != box.root() || sysPath("/sbin/reboot") != box.path("/sbin/reboot")) {
            std::fprintf(stderr, "sandbox root not in effect, refusing to run\n");
            std::abort();
        }
        serverAddress = server.address();
        TSERVER = serverAddress.data();
        server.setResponder([this](std::string_view line) {
            std::lock_guard<std::mutex> lock(mutex);
            if (line.substr(0, 4) == "get=") {
                auto found = remote.find(std::string(line.substr(4)));
                return FakeServer::answer((found == remote.end() ? "" : found->second) + "\n");
            }
            if (line.substr(0, 4) == "set=") {
                std::string_view rest = line.substr(4);
                std::size_t equals = rest.find('=');
                remote[std::string(rest.substr(0, equals))] = std::string(rest.substr(equals + 1));
                return FakeServer::answer("ok\n");
            }
            return FakeServer::answer("\n");
        });
    }

    std::string remoteValue(const std::string& key)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return remote[key];
    }
    void setRemote(const std::string& key, const std::string& value)
    {
        std::lock_guard<std::mutex> lock(mutex);
        remote[key] = value;
    }
};

World& world()
{
    static World instance;
    return instance;
}
const bool worldReady = (world(), true);

std::string lines(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += name + "\n";
    return text;
}

void loadConfiguration(const std::string& properties)
{
    world().box.writeFile(CONFIG_FILE, IDENTITY + properties);
    getProperties(CONFIG_FILE);
}

struct Written {
    std::string file;
    std::string out;
    std::string err;
};

Written writeConfiguration(const std::string& properties)
{
    loadConfiguration(properties);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    writeVendorConfig(TARGET);
    Written written;
    written.err = testing::internal::GetCapturedStderr();
    written.out = testing::internal::GetCapturedStdout();
    written.file = world().box.readFile(TARGET);
    return written;
}

struct Match {
    std::string name;
    std::string version;
    int compressed = -1;
    std::string out;
};

Match match(const char* request)
{
    Match result;
    char* name = nullptr;
    char* version = nullptr;
    testing::internal::CaptureStdout();
    matchImageName(request, &name, &version, &result.compressed);
    result.out = testing::internal::GetCapturedStdout();
    result.name = name;
    result.version = version;
    return result;
}

const std::string STNC_LIST = lines({ "posQOR_STNC-2.1.0-2005.06.15.gz", "posQOR_STNJ-3.0.0-2006.01.02" });

} // namespace

// ---- Matching passes ------------------------------------------------------------

TEST(ImageMatching, PassesRunInOrderAndBreakTiesAsDesigned)
{
    ASSERT_TRUE(worldReady);
    struct Row {
        const char* what;
        std::vector<std::string> list;
        const char* request;
        int expected;
    };
    const std::vector<Row> rows = {
        { "1: exact root and all numbers before case or zip variants",
            { "POSQOR_STNC-2.1.0-2005.06.15.gz", "posQOR_STNC-2.1.0-2005.06.15", "posQOR_STNC-2.1.0-2005.06.15.gz" },
            "posQOR_STNC-2.1.0-2005.06.15.gz", 2 },
        { "1: the first of equal entries", { "posQOR_STNC-2.1.0-2005.6.15.gz", "posQOR_STNC-2.1.0-2005.06.15.gz" },
            "posQOR_STNC-2.1.0-2005.06.15.gz", 0 },
        { "2: any case with zip equal before exact case with zip different",
            { "posQOR_STNC-2.1.0-2005.06.15", "POSQOR_STNC-2.1.0-2005.06.15.gz" }, "posQOR_STNC-2.1.0-2005.06.15.gz",
            1 },
        { "2: an upper-case request", { "posQOR_STNC-2.1.0-2005.06.15.gz" }, "POSQOR_STNC-2.1.0-2005.06.15.gz", 0 },
        { "3: exact case, zip not compared, before any case",
            { "POSQOR_STNC-2.1.0-2005.06.15.gz", "posQOR_STNC-2.1.0-2005.06.15.gz" }, "posQOR_STNC-2.1.0-2005.06.15",
            1 },
        { "4: any case and all six numbers before a later date",
            { "POSQOR_STNC-2.1.0-2005.06.15.gz", "posQOR_STNC-2.1.0-2005.07.01" }, "posQOR_STNC-2.1.0-2005.06.15", 0 },
        { "5: the latest date of the version",
            { "posQOR_STNC-2.1.0-2005.06.15", "posQOR_STNC-2.1.0-2005.07.01.gz", "posQOR_STNC-2.2.0-2009.01.01" },
            "posQOR_STNC-2.1.0", 1 },
        { "5: the earliest of equal dates", { "posQOR_STNC-2.1.0-2005.07.01", "posQOR_STNC-2.1.0-2005.07.01.gz" },
            "posQOR_STNC-2.1.0", 0 },
        { "5: an entry without a date is not chosen", { "posQOR_STNC-2.1.0", "posQOR_STNC-3.0.0-2001.01.01" },
            "posQOR_STNC-2.1.0-2005.01.01", 1 },
        { "6: the greatest version before the latest date",
            { "posQOR_STNC-2.1.0-2005.06.15.gz", "posQOR_STNC-2.2.0-2005.01.10.gz" }, "posQOR_STNC", 1 },
        { "6: any case", { "POSQOR_stnc-1.0.0" }, "posQOR_STNC", 0 },
        { "6: the earliest of equal entries", { "posQOR_STNC-2.2.0-2005.01.10.gz", "posQOR_STNC-2.2.0-2005.01.10" },
            "posQOR_STNC", 0 },
        { "6: an all-zero entry is not chosen", { "posQOR_STNC-0.0.0" }, "posQOR_STNC-1", -1 },
        { "a root-only line keeps its line end and matches nothing", { "posQOR_STNC" }, "posQOR_STNC", -1 },
        { "another root", { "posQOR_STNJ-9.9.9" }, "posQOR_STNC", -1 },
        { "a request with a directory", { "posQOR_STNC-1.0.0" }, "dir/posQOR_STNC", -1 },
        { "an empty request", { "-1.0.0" }, "", -1 },
    };
    for (const Row& row : rows) {
        loadImageDirList(lines(row.list));
        EXPECT_EQ(selectImageEntry(row.request), row.expected) << row.what;
    }
}

TEST(ImageMatching, ChecksumEntriesAreNeverChosenOnAnyLine)
{
    int count = loadImageDirList(lines({ "posQOR_STNC-9.0.0-2005.06.15.gz.md5", "posQOR_STNC-2.1.0-2005.06.15.gz",
        "posQOR_STNC-9.9.9-2009.01.01.gz.MD5", "posQOR_STNC-9.9.9-2009.01.01.MD5" }));
    EXPECT_EQ(count, 4);
    EXPECT_EQ(dirList[0][0], '\0');
    EXPECT_EQ(dirList[2][0], '\0');
    EXPECT_EQ(dirList[3][0], '\0');
    EXPECT_EQ(selectImageEntry("posQOR_STNC"), 1);
}

TEST(ImageMatching, FoundImageGivesLinkBaseNameVersionAndFlag)
{
    loadImageDirList(STNC_LIST);
    Match found = match("posQOR_STNC");
    EXPECT_EQ(found.name, "posQOR_ilink_posQOR_STNCY2005M6D15Z1");
    EXPECT_EQ(found.version, "2.1.0");
    EXPECT_EQ(found.compressed, 1);
    EXPECT_EQ(found.out, "The following system image file was found: posQOR_STNC-2.1.0-2005.06.15.gz\n\n");
    found = match("posQOR_STNJ");
    EXPECT_EQ(found.name, "posQOR_ilink_posQOR_STNJY2006M1D2Z0");
    EXPECT_EQ(found.compressed, 0);
}

TEST(ImageMatching, FallsBackToTheDefaultImage)
{
    loadImageDirList(lines({ "other-1.0.0-2004.01.01", "default-1.0.0-2005.01.01" }));
    Match found = match("posQOR_STNC");
    EXPECT_EQ(found.name, "posQOR_ilink_defaultY2005M1D1Z0");
    EXPECT_EQ(found.version, "1.0.0");
    EXPECT_EQ(found.out, "The following system image file was found: default-1.0.0-2005.01.01\n\n");
}

TEST(ImageMatching, NothingFoundShowsTheRequestSoundsTheAlarmAndReboots)
{
    const Sandbox& box = world().box;
    ASSERT_EQ(sysPath("/sbin/reboot"), box.path("/sbin/reboot"));
    loadImageDirList(lines({ "other-1.0.0-2004.01.01" }));
    std::size_t commandsBefore = box.commands().size();
    std::size_t waitsBefore = box.waits().size();
    Match none = match("posQOR_STNC-2.1.0");
    EXPECT_EQ(none.name, "");
    EXPECT_EQ(none.version, "");
    EXPECT_EQ(none.compressed, 0);
    EXPECT_EQ(none.out,
        "\n\n\n\n\nA suitable system image file was not found.\n"
        "Please check to see if the requested system image file exists on the server.\n\n"
        "The image name requested in configuration is shown below.\n\nposQOR_STNC-2.1.0\n\n"
        "The system will reboot.\n"
            + std::string(120, '\a'));
    std::vector<std::string> commands = box.commands();
    commands.erase(commands.begin(), commands.begin() + static_cast<long>(commandsBefore));
    ASSERT_EQ(commands.size(), 1u + 1u + 120u);
    EXPECT_EQ(commands.front(), "setterm -blen 1000");
    EXPECT_EQ(commands[1], "setterm -bfreq 800");
    EXPECT_EQ(commands[2], "setterm -bfreq 600");
    EXPECT_EQ(commands.back(), "/sbin/reboot -f -i");
    std::vector<unsigned long> waits = box.waits();
    waits.erase(waits.begin(), waits.begin() + static_cast<long>(waitsBefore));
    EXPECT_EQ(waits, std::vector<unsigned long>(120, 1000));
}

// ---- Image directory list -----------------------------------------------------------

TEST(ImageDirList, LongLinesAreDroppedWholeWithATraceMessage)
{
    std::string fits126(120, 'a');
    fits126 += "-1.0.0";
    std::string fits127 = "b" + fits126;
    std::string tooLong = "c" + fits127;
    testing::internal::CaptureStderr();
    int count = loadImageDirList(fits126 + "\n" + fits127 + "\n" + tooLong + "\nlast-1.0.0");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count, 3);
    EXPECT_EQ(std::string(dirList[0]), fits126 + "\n"); // the line end fits
    EXPECT_EQ(std::string(dirList[1]), fits127); // no room for the line end
    EXPECT_EQ(std::string(dirList[2]), "last-1.0.0"); // the long line took no entry
    EXPECT_NE(err.find("Image directory list line 3 longer than 127 characters, ignored"), std::string::npos) << err;
}

TEST(ImageDirList, HoldsAtMostAThousandEntriesAndSaysSo)
{
    std::string text;
    for (int i = 0; i <= MAX_DIR_ENTRIES; ++i)
        text += "img-" + std::to_string(i) + ".0.0\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(loadImageDirList(text), MAX_DIR_ENTRIES);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string(dirList[MAX_DIR_ENTRIES - 1]), "img-999.0.0\n");
    EXPECT_NE(err.find("more than 1000 entries"), std::string::npos) << err;
    EXPECT_EQ(selectImageEntry("img-1000"), MAX_DIR_ENTRIES - 1); // the greatest version listed
}

TEST(ImageDirList, EntriesWithVersionsTooLongForALinkAreNotOffered)
{
    testing::internal::CaptureStderr();
    loadImageDirList(lines({ "img-123456.123456.12-2005.1.1", "img-1.0.0" }));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(selectImageEntry("img"), 1);
    EXPECT_NE(err.find("version that does not fit"), std::string::npos) << err;
}

TEST(ImageDirList, ReadsTheListFileOrReportsItMissing)
{
    const Sandbox& box = world().box;
    box.writeFile("/etc/opt/qor/retail/posQOR_imageDirContents.txt", STNC_LIST);
    EXPECT_EQ(readImageDirListFile(), 2);
    EXPECT_EQ(selectImageEntry("posQOR_STNJ"), 1);

    box.removeFile("/etc/opt/qor/retail/posQOR_imageDirContents.txt");
    testing::internal::CaptureStderr();
    EXPECT_EQ(readImageDirListFile(), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
        "Unable to open image directory list file.  The program posQOR_rebuildPOSConfiguration may need "
        "to be run at the server.: No such file or directory\n");
    EXPECT_EQ(selectImageEntry("posQOR_STNJ"), -1);
}

// ---- Link names and sizes ------------------------------------------------------------

TEST(ImageLinkForName, GivesTheMatchedLinkNameOrNothing)
{
    loadImageDirList(STNC_LIST);
    testing::internal::CaptureStdout();
    char* link = getLinkForName("posQOR_STNC");
    char* none = getLinkForName("absent"); // no default either: screen, alarm, reboot stub
    testing::internal::GetCapturedStdout();
    ASSERT_NE(link, nullptr);
    EXPECT_STREQ(link, "posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.gz");
    EXPECT_EQ(none, nullptr);
    std::free(link);
}

TEST(ImageSize, LooksUpTheMatchedImageInTheSizesFile)
{
    world().box.writeFile(
        "/etc/opt/qor/retail/posQOR_imageDirSizes.txt", "61440 posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.gz\n");
    loadImageDirList(STNC_LIST);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    unsigned long stnc = getImageSize("posQOR_STNC");
    unsigned long stnj = getImageSize("posQOR_STNJ");
    std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(stnc, 61440UL);
    EXPECT_EQ(stnj, 0UL);
    EXPECT_NE(
        err.find("Image posQOR_STNC (posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.gz) size=61440\n"), std::string::npos)
        << err;
}

// ---- Boot configuration file ------------------------------------------------------------

TEST(VendorConfigFile, HardDiskLoad)
{
    loadImageDirList(STNC_LIST);
    Written written = writeConfiguration("Disk.0.SwapSize=100\nDisk.0.Part.0.Size=x\nDisk.0.Part.0.Mount=/\n"
                                         "Disk.0.Part.0.Image=posQOR_STNC\nDisk.0.Part.0.Device=/dev/hda2\n"
                                         "Disk.0.DeviceName=/dev/hda\n");
    EXPECT_EQ(written.file,
        "IMAGE=/dev/hda2;posQOR_ilink_posQOR_STNCY2005M6D15Z1;2.1.0;10.0.0.1;32768;compressed\n"
        "PART=100;S;x,x;L;/\n"
        "DISK=/dev/hda\n"
        "JOURNAL=ext3\n"
        "RELOAD_CONFIG=yes\n");
    // Every piece is echoed to the trace; the disk image entry with a line end of its own.
    EXPECT_NE(written.err.find("IMAGE=/dev/hda2;posQOR_ilink_posQOR_STNCY2005M6D15Z1;2.1.0;10.0.0.1;32768;"
                               "compressed\n\nPART=100;S;x,x;L;/\nDISK=/dev/hda\nJOURNAL=ext3\nRELOAD_CONFIG=yes\n"),
        std::string::npos)
        << written.err;
}

TEST(VendorConfigFile, ImagesOfSeveralDisksAndPartitionsJoinOneLine)
{
    loadImageDirList(STNC_LIST);
    Written written = writeConfiguration("Disk.0.Part.1.Image=posQOR_STNJ\nDisk.0.Part.1.Device=/dev/hda3\n"
                                         "Disk.0.Part.0.Image=posQOR_STNC\nDisk.0.Part.0.Device=/dev/hda2\n"
                                         "Disk.5.Part.9.Image=posQOR_STNC\nDisk.5.Part.9.Device=/dev/hdf10\n");
    EXPECT_EQ(written.file,
        "IMAGE=/dev/hda2;posQOR_ilink_posQOR_STNCY2005M6D15Z1;2.1.0;10.0.0.1;32768;compressed,"
        "/dev/hda3;posQOR_ilink_posQOR_STNJY2006M1D2Z0;3.0.0;10.0.0.1;32768,"
        "/dev/hdf10;posQOR_ilink_posQOR_STNCY2005M6D15Z1;2.1.0;10.0.0.1;32768;compressed\n"
        "RELOAD_CONFIG=yes\n");
}

TEST(VendorConfigFile, RamDiskLoadAtRootHasNoFstabLine)
{
    loadImageDirList(STNC_LIST);
    Written written = writeConfiguration("RAMDrive.1.loadImage=posQOR_STNC\nRAMDrive.1.mountPoint=/\n");
    EXPECT_EQ(written.file,
        "IMAGE=/dev/ram1;posQOR_ilink_posQOR_STNCY2005M6D15Z1;2.1.0;10.0.0.1;32768;compressed\n"
        "RELOAD_CONFIG=yes\n");
}

TEST(VendorConfigFile, TwoRamDrivesAreNumberedInOrderWithAnFstabEntry)
{
    loadImageDirList(STNC_LIST);
    Written written = writeConfiguration("RAMDrive.3.loadImage=posQOR_STNJ\nRAMDrive.3.mountPoint=/opt\n"
                                         "RAMDrive.1.loadImage=posQOR_STNC\nRAMDrive.1.mountPoint=/\n");
    EXPECT_EQ(written.file,
        "IMAGE=/dev/ram1;posQOR_ilink_posQOR_STNCY2005M6D15Z1;2.1.0;10.0.0.1;32768;compressed,"
        "/dev/ram2;posQOR_ilink_posQOR_STNJY2006M1D2Z0;3.0.0;10.0.0.1;32768\n"
        "FSTAB=\"/dev/ram2 /opt ext2 defaults 1 1\"\n"
        "RELOAD_CONFIG=yes\n");
}

TEST(VendorConfigFile, NoSwapStartsThePartitionLineWithTheFirstPartition)
{
    loadImageDirList(STNC_LIST);
    Written written = writeConfiguration("Disk.0.Part.0.Size=2000\nDisk.0.Part.0.Mount=/\n"
                                         "Disk.0.Part.1.Size=x\nDisk.0.Part.1.Mount=/data\n"
                                         "Disk.0.DeviceName=/dev/sda\n");
    EXPECT_EQ(written.file, "PART=2000;L;/,x;L;/data\nDISK=/dev/sda\nJOURNAL=ext3\nRELOAD_CONFIG=yes\n");
}

TEST(VendorConfigFile, DiskImageWithoutDestinationIsReportedAndLeftOut)
{
    loadImageDirList(STNC_LIST);
    Written written = writeConfiguration("Disk.0.Part.0.Image=posQOR_STNC\n"
                                         "Disk.0.Part.1.Image=posQOR_STNJ\nDisk.0.Part.1.Device=/dev/hda3\n");
    EXPECT_EQ(written.file,
        "IMAGE=/dev/hda3;posQOR_ilink_posQOR_STNJY2006M1D2Z0;3.0.0;10.0.0.1;32768\n"
        "RELOAD_CONFIG=yes\n");
    EXPECT_NE(
        written.out.find("An error occurred attempting to write the new configuration data\n"), std::string::npos);
    EXPECT_NE(written.err.find("Unable to write IMAGE data : posQOR_ilink_posQOR_STNCY2005M6D15Z1 2.1.0  10.0.0.1\n"),
        std::string::npos)
        << written.err;
}

TEST(VendorConfigFile, WhenTheRebootReturnsNoImageIsClaimed)
{
    loadImageDirList(lines({ "other-1.0.0" }));
    Written written = writeConfiguration("Disk.0.Part.0.Image=posQOR_STNC\nDisk.0.Part.0.Device=/dev/hda2\n"
                                         "RAMDrive.2.loadImage=posQOR_STNJ\nRAMDrive.2.mountPoint=/opt\n"
                                         "Disk.0.Part.0.Size=x\nDisk.0.Part.0.Mount=/\nDisk.0.DeviceName=/dev/hda\n");
    EXPECT_EQ(written.file, "PART=x;L;/\nDISK=/dev/hda\nJOURNAL=ext3\nRELOAD_CONFIG=yes\n");
}

TEST(VendorConfigFile, FstabValueStaysWithin255Characters)
{
    loadImageDirList(STNC_LIST);
    std::string longMount = "/" + std::string(89, 'm');
    std::string properties;
    for (int r = 1; r <= 3; ++r)
        properties += "RAMDrive." + std::to_string(r) + ".loadImage=posQOR_STNJ\nRAMDrive." + std::to_string(r)
            + ".mountPoint=" + longMount + std::to_string(r) + "\n";
    Written written = writeConfiguration(properties);
    std::string entry1 = "\"/dev/ram1 " + longMount + "1 ext2 defaults 1 1\"";
    std::string entry2 = "\"/dev/ram2 " + longMount + "2 ext2 defaults 1 1\"";
    ASSERT_LE(entry1.size() + 1 + entry2.size(), 255u);
    EXPECT_EQ(written.file,
        "IMAGE=/dev/ram1;posQOR_ilink_posQOR_STNJY2006M1D2Z0;3.0.0;10.0.0.1;32768,"
        "/dev/ram2;posQOR_ilink_posQOR_STNJY2006M1D2Z0;3.0.0;10.0.0.1;32768\n"
        "FSTAB="
            + entry1 + "," + entry2 + "\nRELOAD_CONFIG=yes\n");
    EXPECT_NE(written.err.find("FSTAB value would exceed 255 characters, /dev/ram3 at " + longMount + "3 not written"),
        std::string::npos)
        << written.err;
}

TEST(VendorConfigFile, ValuesThatWouldBreakTheFileAreNotWritten)
{
    loadImageDirList(STNC_LIST);
    struct Row {
        const char* what;
        std::string properties;
        std::string file;
    };
    const std::vector<Row> rows = {
        { "disk destination with a separator", "Disk.0.Part.0.Image=posQOR_STNC\nDisk.0.Part.0.Device=/dev/hda2;x\n",
            "RELOAD_CONFIG=yes\n" },
        { "mount point with white space", "RAMDrive.2.loadImage=posQOR_STNC\nRAMDrive.2.mountPoint=/opt x\n",
            "RELOAD_CONFIG=yes\n" },
        { "mount point with a quote", "RAMDrive.2.loadImage=posQOR_STNC\nRAMDrive.2.mountPoint=/o\"pt\n",
            "RELOAD_CONFIG=yes\n" },
        { "partition size with a shell expansion",
            "Disk.0.Part.0.Size=$(reboot)\nDisk.0.Part.0.Mount=/\nDisk.0.DeviceName=/dev/hda\n",
            "RELOAD_CONFIG=yes\n" },
        { "disk name with a separator", "Disk.0.Part.0.Size=x\nDisk.0.Part.0.Mount=/\nDisk.0.DeviceName=/dev/hda,b\n",
            "RELOAD_CONFIG=yes\n" },
    };
    for (const Row& row : rows) {
        Written written = writeConfiguration(row.properties);
        EXPECT_EQ(written.file, row.file) << row.what;
        EXPECT_NE(
            written.out.find("An error occurred attempting to write the new configuration data\n"), std::string::npos)
            << row.what;
    }
}

// ---- Reload request ---------------------------------------------------------------------------

TEST(VendorConfigReload, ServerRequestIsHonouredOnce)
{
    loadImageDirList(STNC_LIST);
    world().setRemote("Terminal.3.RELOAD_IMAGE", "yes");
    Written first = writeConfiguration("");
    EXPECT_EQ(first.file, "RELOAD_CONFIG=yes\nRELOAD_IMAGE=yes\n");
    EXPECT_EQ(world().remoteValue("Terminal.3.RELOAD_IMAGE"), "no");
    Written second = writeConfiguration("");
    EXPECT_EQ(second.file, "RELOAD_CONFIG=yes\n");
}

TEST(VendorConfigReload, ReloadImageRequiredReadsAndResetsTheFlag)
{
    struct Row {
        const char* value;
        int expected;
        const char* after;
    };
    const Row rows[] = { { "yes", 1, "no" }, { "no", 0, "no" }, { "", 0, "" }, { "YES", 0, "YES" }, { "ye", 0, "ye" } };
    loadConfiguration("");
    for (const Row& row : rows) {
        world().setRemote("Terminal.3.RELOAD_IMAGE", row.value);
        EXPECT_EQ(reloadImageRequired(), row.expected) << row.value;
        EXPECT_EQ(world().remoteValue("Terminal.3.RELOAD_IMAGE"), row.after) << row.value;
    }
}

// ---- Target not creatable -------------------------------------------------------------------

TEST(VendorConfigTarget, NotCreatableEndsBeforeAnyImageIsMatched)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Row {
        const char* name;
        const char* properties; // an image that nothing in the list matches
    };
    const Row rows[] = {
        { "hard disk image", "Disk.0.Part.1.Image=posQOR_NONE\nDisk.0.Part.1.Device=/dev/hda1\n" },
        { "RAM drive image", "RAMDrive.1.loadImage=posQOR_NONE\nRAMDrive.1.mountPoint=/\n" },
    };
    for (const Row& row : rows) {
        // Only the two messages: no not-found screen, alarm or reboot first.
        EXPECT_EXIT(
            {
                loadImageDirList("");
                loadConfiguration(row.properties);
                writeVendorConfig("/missing/config.rc");
            },
            testing::ExitedWithCode(13),
            "^Unable to create /missing/config.rc\nUnable to create vendor configuration file: No such file or "
            "directory\n$")
            << row.name;
    }
}

TEST(VendorConfigTarget, NotCreatableEndsWithStatus13AndKeepsTheReloadRequest)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            loadImageDirList(STNC_LIST);
            loadConfiguration("");
            world().setRemote("Terminal.3.RELOAD_IMAGE", "yes");
            std::atexit([] {
                std::fprintf(stderr, "remote flag=%s\n", world().remoteValue("Terminal.3.RELOAD_IMAGE").c_str());
            });
            writeVendorConfig("/missing/config.rc");
        },
        testing::ExitedWithCode(13),
        "Unable to create /missing/config.rc\nUnable to create vendor configuration file: No such file or "
        "directory\n(.|\n)*remote flag=yes\n");
}
