// The registration and announcement of the chosen terminal number and role.
#include "bootIdentity.h"
#include "fakeServer.h"
#include "pacing.h"
#include "posConfigCommon.h"
#include "properties.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

namespace fs = std::filesystem;

struct ChildResult {
    int exitStatus = -1;
    std::string out;
};

// Runs body in a child process whose standard output (and every designed
// wait, as "[wait N]") goes to a file; a child that returns ends with 0.
ChildResult runInChild(const std::function<void()>& body)
{
    std::string outPath = fs::temp_directory_path() / ("announce-test-" + std::to_string(getpid()));
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (std::freopen(outPath.c_str(), "w", stdout) == nullptr)
            _exit(99);
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        setWaitHook([](unsigned long milliseconds) { std::printf("[wait %lu]", milliseconds); });
        body();
        _exit(0);
    }
    ChildResult result;
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    std::ifstream in(outPath);
    std::ostringstream text;
    text << in.rdbuf();
    result.out = text.str();
    fs::remove(outPath);
    return result;
}

class Announcement : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.ok());
        address_ = server_.address();
        mac_ = "00:11:22:33:44:55";
        TSERVER = address_.data();
        DHCPCHADDR = mac_.data();
        std::snprintf(SMBIOS_ID, sizeof SMBIOS_ID, "MT.1234567.SN.ABC1234");
        which_STN = WHICH_STN_HOOK;
        configuration_ = fs::temp_directory_path() / ("announce-config-" + std::to_string(getpid()));
    }
    void TearDown() override
    {
        TSERVER = DHCPCHADDR = nullptr;
        roleMenuSelection = nullptr;
        fs::remove(configuration_);
    }
    void setNumber(const std::string& number)
    {
        std::ofstream(configuration_) << "TerminalNumber=" << number << "\n";
        getProperties(configuration_.c_str());
    }

    FakeServer server_;
    std::string address_;
    std::string mac_;
    std::string configuration_;
};

TEST_F(Announcement, AcceptedRegistrationShowsNumberInThreeColumnsAndRole)
{
    const std::pair<const char*, const char*> cases[] = {
        { "5", "  5 - Cashier" },
        { "42", " 42 - Cashier" },
        { "1234", "123 - Cashier" },
    };
    static char role[] = "Cashier";
    roleMenuSelection = role;
    for (const auto& [number, shown] : cases) {
        server_.script({ FakeServer::answer("ok\n") });
        server_.clearRequests();
        setNumber(number);
        ChildResult result = runInChild([] { announceTerminalRoleAndNumber(); });
        EXPECT_EQ(result.exitStatus, 0) << number;
        EXPECT_EQ(result.out, shown) << number;
        EXPECT_EQ(server_.requests(1).at(0),
            std::string("STN=") + number + "=MT.1234567.SN.ABC1234=00:11:22:33:44:55=Cashier\n" + '\0')
            << number;
    }
}

TEST_F(Announcement, RefusedRegistrationEndsTheRunWithStatus1AfterFiveSeconds)
{
    const char* const replies[] = { "exist\n", "no\n" };
    static char role[] = "Cashier";
    roleMenuSelection = role;
    setNumber("7");
    for (const char* reply : replies) {
        server_.script({ FakeServer::answer(reply) });
        ChildResult result = runInChild([] { announceTerminalRoleAndNumber(); });
        EXPECT_EQ(result.exitStatus, 1) << reply;
        EXPECT_EQ(result.out, "Failed to set terminal number\nPlease try again\n[wait 5000]") << reply;
    }
}

TEST_F(Announcement, FieldsThatWouldSplitTheRequestAreRefusedWithoutSending)
{
    setNumber("7");
    static char roleWithLineFeed[] = "Cashier\nSTN=8=x=y=z";
    static char roleWithCarriageReturn[] = "Cashier\r";
    char* const roles[] = { roleWithLineFeed, roleWithCarriageReturn, nullptr };
    for (char* role : roles) {
        roleMenuSelection = role;
        server_.script({ FakeServer::answer("ok\n") });
        server_.clearRequests();
        ChildResult result = runInChild([] { announceTerminalRoleAndNumber(); });
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.out, "Failed to set terminal number\nPlease try again\n[wait 5000]");
        EXPECT_EQ(server_.connections(), 0u);
    }
}

} // namespace
