// The imagelink command as a program: printed link names and exit statuses.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

struct Row {
    std::vector<std::string> args;
    std::string out;
};

void expectRows(const std::vector<Row>& rows)
{
    Sandbox box;
    for (const Row& row : rows) {
        ProgramResult result = box.run("imagelink", row.args);
        std::string shown = row.args.empty() ? "(none)" : row.args[0];
        EXPECT_EQ(result.exitStatus, 0) << shown;
        EXPECT_EQ(result.out, row.out) << shown;
    }
}

} // namespace

TEST(Imagelink, PrintsTheLinkNameOfAnImageFile)
{
    expectRows({
        { { "posQOR_STNC-2.1.0-2005.06.15.gz" }, "posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.gz\n" },
        { { "posQOR_STNC-2.1.0-2005.06.15" }, "posQOR_ilink_posQOR_STNCY2005M6D15Z0-2.1.0\n" },
        { { "posQOR_STNC" }, "posQOR_ilink_posQOR_STNCY0M0D0Z0-0.0.0\n" },
        { { "my-image-1.0.0-2007.1.2.GZ" }, "posQOR_ilink_my-imageY2007M1D2Z1-1.0.0.gz\n" },
        // Further arguments are ignored unless the second is exactly "-fz".
        { { "posQOR_STNC-2.1.0-2005.06.15.gz", "-FZ", "more" }, "posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.gz\n" },
    });
}

TEST(Imagelink, ChecksumFilesPrintTheImageLinkWithLowerCaseMd5Ending)
{
    expectRows({
        { { "posQOR_STNC-2.1.0-2005.06.15.gz.md5" }, "posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.md5\n" },
        { { "posQOR_STNC-2.1.0-2005.06.15.gz.MD5" }, "posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.md5\n" },
        { { "posQOR_STNC-2.1.0-2005.06.15.md5" }, "posQOR_ilink_posQOR_STNCY2005M6D15Z0-2.1.0.md5\n" },
    });
}

TEST(Imagelink, ForceModePrintsOnlyChecksumFilesAlwaysCompressed)
{
    expectRows({
        { { "posQOR_STNC-2.1.0-2005.06.15.md5", "-fz" }, "posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.md5\n" },
        { { "posQOR_STNC-2.1.0-2005.06.15.MD5", "-fz" }, "posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.md5\n" },
        { { "posQOR_STNC-2.1.0-2005.06.15.gz", "-fz" }, "" },
        { { "posQOR_STNC", "-fz" }, "" },
    });
}

TEST(Imagelink, UnusableNamesPrintNothingAndSucceed)
{
    expectRows({
        { { "images/posQOR_STNC-2.1.0-2005.06.15.gz" }, "" }, { { "" }, "" }, { { ".md5" }, "" },
        { { "img-1.2.3-2005.06.15.gz.bak" }, "" }, // more fields than the grammar has
        { { std::string(122, 'r') + "-1.0.0" }, "" }, // 128 characters, one over the 127 used
        { { "img-12345.12345.123456-2005.1.1" }, "" }, // version text longer than a link name holds
    });
}

TEST(Imagelink, NamesUpToTheLimitArePrinted)
{
    std::string root(121, 'r');
    expectRows({ { { root + "-1.0.0" }, "posQOR_ilink_" + root + "Y0M0D0Z0-1.0.0\n" } });
}

TEST(Imagelink, WithoutArgumentPrintsUsageAndFails)
{
    Sandbox box;
    ProgramResult result = box.run("imagelink");
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "Usage: " + Sandbox::programPath("imagelink") + " ImageFileName\n");
}
