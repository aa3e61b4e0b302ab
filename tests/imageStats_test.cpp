// Image file name grammar, link names and the image sizes file.
#include "imageStats.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace
{

struct NameRow {
    const char* name;
    const char* root;
    int version, release, build, year, month, day, zip;
};

std::string describe(const IMAGE_STATS& s)
{
    return std::string("root=") + s.rootName + " " + std::to_string(s.version) + "." + std::to_string(s.release) + "."
        + std::to_string(s.build) + " " + std::to_string(s.year) + "-" + std::to_string(s.month) + "-"
        + std::to_string(s.day) + " zip=" + std::to_string(s.zip);
}

void expectParsed(const NameRow& row)
{
    IMAGE_STATS stats;
    parseImageStats(row.name, &stats);
    IMAGE_STATS expected {};
    std::snprintf(expected.rootName, sizeof expected.rootName, "%s", row.root);
    expected.version = row.version;
    expected.release = row.release;
    expected.build = row.build;
    expected.year = row.year;
    expected.month = row.month;
    expected.day = row.day;
    expected.zip = row.zip;
    EXPECT_EQ(describe(stats), describe(expected)) << "name =" << row.name << "=";
}

} // namespace

TEST(ImageNameGrammar, PublishedNamesGiveRootVersionDateAndZip)
{
    const NameRow rows[] = {
        { "posQOR_STNC-2.1.0-2005.06.15.gz", "posQOR_STNC", 2, 1, 0, 2005, 6, 15, 1 },
        { "posQOR_STNC-2.1.0-2005.06.15", "posQOR_STNC", 2, 1, 0, 2005, 6, 15, 0 },
        { "posQOR_STNC-2.1.0-2005.06.15.GZ", "posQOR_STNC", 2, 1, 0, 2005, 6, 15, 1 },
        { "posQOR_STNC-2.1", "posQOR_STNC", 2, 1, 0, 0, 0, 0, 0 },
        { "posQOR_STNC", "posQOR_STNC", 0, 0, 0, 0, 0, 0, 0 },
        { "posQOR_STNC-10.20.30-1999.12.31.gz", "posQOR_STNC", 10, 20, 30, 1999, 12, 31, 1 },
        // ".Gz" is neither of the two compressed endings.
        { "posQOR_STNC-2.1.0-2005.06.15.Gz", "posQOR_STNC", 2, 1, 0, 2005, 6, 15, 0 },
    };
    for (const NameRow& row : rows)
        expectParsed(row);
}

TEST(ImageNameGrammar, SeparatorsAfterTheRootAreInterchangeable)
{
    const NameRow rows[] = {
        { "img-1-2-3-2005-6-7", "img", 1, 2, 3, 2005, 6, 7, 0 },
        { "img-1.2.3.2005.6.7", "img", 1, 2, 3, 2005, 6, 7, 0 },
        { "img-1.2-3.2005-6.7", "img", 1, 2, 3, 2005, 6, 7, 0 },
        // Two separators in a row leave an empty field that reads 0.
        { "img-1..3", "img", 1, 0, 3, 0, 0, 0, 0 },
    };
    for (const NameRow& row : rows)
        expectParsed(row);
}

TEST(ImageNameGrammar, RootKeepsDashNotFollowedByDigitAndDropsDots)
{
    const NameRow rows[] = {
        { "my-image-1.0.0", "my-image", 1, 0, 0, 0, 0, 0, 0 },
        { "posQOR_STNC.gz", "posQOR_STNCgz", 0, 0, 0, 0, 0, 0, 1 },
        { "a.b.c-1.2.3", "abc", 1, 2, 3, 0, 0, 0, 0 },
        { "trailing-", "trailing-", 0, 0, 0, 0, 0, 0, 0 },
        { "-1.2.3", "", 1, 2, 3, 0, 0, 0, 0 },
        { "x--1", "x-", 1, 0, 0, 0, 0, 0, 0 }, // the first '-' is followed by '-', the second ends the root
        { "img-a.b.c", "img-abc", 0, 0, 0, 0, 0, 0, 0 },
    };
    for (const NameRow& row : rows)
        expectParsed(row);
}

TEST(ImageNameGrammar, NumbersAreReadAsLeadingDecimalsWithSigns)
{
    const NameRow rows[] = {
        { "img-2a.1b.0c-2005x.06y.15z", "img", 2, 1, 0, 2005, 6, 15, 0 },
        { "img-1.b.c", "img", 1, 0, 0, 0, 0, 0, 0 },
        { "img-1.+2.3", "img", 1, 2, 3, 0, 0, 0, 0 },
        // After the root every '-' separates, so no field carries a minus
        // sign; a plus sign and leading white space read as "%d" reads them.
        { "img-1. 7.3", "img", 1, 7, 3, 0, 0, 0, 0 },
        { "img-99999999999.1.1", "img", INT_MAX, 1, 1, 0, 0, 0, 0 },
        { "img-007.08.09", "img", 7, 8, 9, 0, 0, 0, 0 },
    };
    for (const NameRow& row : rows)
        expectParsed(row);
}

TEST(ImageNameGrammar, LineEndsStayInTheLastField)
{
    const NameRow rows[] = {
        { "posQOR_STNC-2.1.0-2005.06.15.gz\n", "posQOR_STNC", 2, 1, 0, 2005, 6, 15, 1 },
        { "posQOR_STNC-2.1.0-2005.06.15\r\n", "posQOR_STNC", 2, 1, 0, 2005, 6, 15, 0 },
        { "posQOR_STNC\n", "posQOR_STNC\n", 0, 0, 0, 0, 0, 0, 0 },
    };
    for (const NameRow& row : rows)
        expectParsed(row);
}

TEST(ImageNameGrammar, ChecksumNamesAndDirectoriesAreRefused)
{
    struct Row {
        const char* name;
        int result;
        const char* root;
    };
    const Row rows[] = {
        { "posQOR_STNC-2.1.0-2005.06.15.gz.md5", IMAGE_NAME_REFUSED, "" },
        { "md5sums", IMAGE_NAME_REFUSED, "" },
        { "images/posQOR_STNC-2.1.0", IMAGE_NAME_REFUSED, "" },
        { "/posQOR_STNC", IMAGE_NAME_REFUSED, "" },
        { "", IMAGE_NAME_REFUSED, "" },
        // Only the lower-case checksum ending is refused by the parser.
        { "posQOR_STNC-2.1.0-2005.06.15.MD5", IMAGE_NAME_OK, "posQOR_STNC" },
    };
    for (const Row& row : rows) {
        IMAGE_STATS stats;
        EXPECT_EQ(parseImageStats(row.name, &stats), row.result) << row.name;
        EXPECT_STREQ(stats.rootName, row.root) << row.name;
    }
    IMAGE_STATS stats;
    EXPECT_EQ(parseImageStats(nullptr, &stats), IMAGE_NAME_REFUSED);
}

TEST(ImageNameGrammar, NamesBeyondEightFieldsOrLongFieldsAreRefusedWhole)
{
    std::string root127(127, 'r');
    std::string root128(128, 'r');
    std::string field128 = "img-" + std::string(128, '1');
    struct Row {
        std::string name;
        int result;
        std::string root;
    };
    const Row rows[] = {
        { "img-1.2.3-2005.06.15.gz.bak", IMAGE_NAME_OUT_OF_RANGE, "" },
        { "img-1.2.3-2005.06.15.gz.", IMAGE_NAME_OUT_OF_RANGE, "" },
        { "posQOR_STNC-2.1.0-2005.06.15.gz.MD5", IMAGE_NAME_OUT_OF_RANGE, "" },
        { "img-1.2.3-2005.06.15.gz", IMAGE_NAME_OK, "img" },
        { root127 + "-1.0.0", IMAGE_NAME_OK, root127 },
        { root128, IMAGE_NAME_OUT_OF_RANGE, "" },
        // Dropped dots do not count towards the root's length.
        { root127 + ".", IMAGE_NAME_OK, root127 },
        { field128, IMAGE_NAME_OUT_OF_RANGE, "" },
    };
    for (const Row& row : rows) {
        IMAGE_STATS stats;
        EXPECT_EQ(parseImageStats(row.name.c_str(), &stats), row.result) << row.name;
        EXPECT_EQ(std::string(stats.rootName), row.root) << row.name;
        if (row.result != IMAGE_NAME_OK) {
            EXPECT_EQ(stats.version + stats.release + stats.build + stats.year + stats.month + stats.day + stats.zip, 0)
                << row.name;
        }
    }
}

TEST(ImageNameGrammar, GetImageStatsFillsEveryOutput)
{
    char root[MAX_IMAGE_NAME_LEN] = "stale";
    int v = -9, r = -9, b = -9, y = -9, m = -9, d = -9, z = -9;
    getImageStats("posQOR_STNJ-3.4.5-2006.01.02.gz", root, &v, &r, &b, &y, &m, &d, &z);
    EXPECT_STREQ(root, "posQOR_STNJ");
    EXPECT_EQ((std::vector<int> { v, r, b, y, m, d, z }), (std::vector<int> { 3, 4, 5, 2006, 1, 2, 1 }));
    getImageStats("dir/posQOR_STNJ-3.4.5", root, &v, &r, &b, &y, &m, &d, &z);
    EXPECT_STREQ(root, "");
    EXPECT_EQ((std::vector<int> { v, r, b, y, m, d, z }), (std::vector<int> { 0, 0, 0, 0, 0, 0, 0 }));
}

TEST(ImageLinkName, IsBuiltFromRootDateZipAndVersion)
{
    struct Row {
        const char* name;
        const char* base;
        const char* version;
        const char* link;
    };
    const Row rows[] = {
        { "posQOR_STNC-2.1.0-2005.06.15.gz", "posQOR_ilink_posQOR_STNCY2005M6D15Z1", "2.1.0",
            "posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.gz" },
        { "posQOR_STNC-2.1.0-2005.06.15", "posQOR_ilink_posQOR_STNCY2005M6D15Z0", "2.1.0",
            "posQOR_ilink_posQOR_STNCY2005M6D15Z0-2.1.0" },
        { "posQOR_STNC", "posQOR_ilink_posQOR_STNCY0M0D0Z0", "0.0.0", "posQOR_ilink_posQOR_STNCY0M0D0Z0-0.0.0" },
    };
    for (const Row& row : rows) {
        IMAGE_STATS stats;
        parseImageStats(row.name, &stats);
        EXPECT_EQ(getLinkBaseName(stats), row.base) << row.name;
        EXPECT_EQ(getVersionText(stats), row.version) << row.name;
        EXPECT_EQ(getLinkName(stats), row.link) << row.name;
    }
}

TEST(ImageLinkName, VersionTextFitsSixteenBytesOrIsFlagged)
{
    IMAGE_STATS stats;
    parseImageStats("img-12345.12345.1234", &stats); // 16 characters
    EXPECT_EQ(versionTextFits(stats), 0);
    parseImageStats("img-12345.12345.123", &stats); // 15 characters
    EXPECT_EQ(versionTextFits(stats), 1);
}

TEST(ImageSizesFile, FindsTheExactLinkNameOnly)
{
    const std::string sizes = "61440 posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.gz\n"
                              "  1024\tposQOR_ilink_posQOR_STNJY2006M1D2Z0-3.0.0\r\n"
                              "2048 posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.gz\n";
    struct Row {
        const char* link;
        unsigned long size;
    };
    const Row rows[] = {
        { "posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.gz", 61440 }, // the first pair wins
        { "posQOR_ilink_POSQOR_STNCY2005M6D15Z1-2.1.0.gz", 0 },
        { "posQOR_ilink_posQOR_STNJY2006M1D2Z0-3.0.0", 1024 },
        { "posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0", 0 },
        { "", 0 },
    };
    for (const Row& row : rows)
        EXPECT_EQ(findImageSize(sizes, row.link), row.size) << row.link;
}

TEST(ImageSizesFile, OverlongWordsSkipTheirPairAndKeepLaterPairsAligned)
{
    std::string longName(513, 'n');
    std::string sizes = "100 " + longName + "\n12345678901 tooBig\n300 wanted\nodd";
    EXPECT_EQ(findImageSize(sizes, longName.c_str()), 0UL);
    EXPECT_EQ(findImageSize(sizes, "tooBig"), 0UL);
    EXPECT_EQ(findImageSize(sizes, "wanted"), 300UL);
    EXPECT_EQ(findImageSize(sizes, "odd"), 0UL);
    EXPECT_EQ(findImageSize("abc name", "name"), 0UL); // a size word that is not a number reads 0
}

// The lookups below read files under a sandbox root; the root directory is
// taken once per process, so it is set before any test runs.
namespace
{
const Sandbox& sizesRoot()
{
    static Sandbox box;
    return box;
}
const bool rootSet = [] { return setenv("POSQOR_ROOT", sizesRoot().root().c_str(), 1) == 0; }();
} // namespace

TEST(ImageSizesFile, LookupReadsTheProductionFileUntilTestModeThenTheTestFile)
{
    ASSERT_TRUE(rootSet);
    const Sandbox& box = sizesRoot();
    const char* link = "posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.gz";
    box.writeFile("/etc/opt/qor/retail/posQOR_imageDirSizes.txt", std::string("61440 ") + link + "\n");
    box.writeFile("/tmp/posQOR_imageDirSizes.txt", std::string("77 ") + link + "\n");
    EXPECT_EQ(getRealImageSize(link), 61440UL);
    EXPECT_EQ(getRealImageSize("posQOR_ilink_posqor_stncY2005M6D15Z1-2.1.0.gz"), 0UL);
    useTestMode();
    EXPECT_STREQ(ImageFileSizeFileName, "/tmp/posQOR_imageDirSizes.txt");
    EXPECT_EQ(getRealImageSize(link), 77UL);

    box.removeFile("/tmp/posQOR_imageDirSizes.txt");
    testing::internal::CaptureStderr();
    EXPECT_EQ(getRealImageSize(link), 0UL);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Unable to open image file size file /tmp/posQOR_imageDirSizes.txt\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("Error: No such file or directory\n"), std::string::npos) << err;
}
