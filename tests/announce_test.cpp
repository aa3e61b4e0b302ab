// The registration and announcement of the chosen terminal number and role.
#include "fakeServer.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

constexpr const char* IDENTITY = "MT.1234567.SN.ABC1234";
constexpr const char* MAC = "00:11:22:33:44:55";

// Runs the announcement in its own process (the fake server's thread makes
// forking this one unsafe) with the terminal number in its properties file.
class Announcement : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.ok());
        box_.setEnv("TSERVER", server_.address());
        box_.setEnv("DHCPCHADDR", MAC);
    }
    ProgramResult announce(const std::string& number, const char* role)
    {
        box_.writeFile("/etc/opt/qor/retail/posQOR_configuration", "TerminalNumber=" + number + "\n");
        std::vector<std::string> args { "/etc/opt/qor/retail/posQOR_configuration", IDENTITY };
        if (role != nullptr)
            args.push_back(role);
        return box_.run("announceTerminal", args, "", 30);
    }

    FakeServer server_;
    Sandbox box_;
};

TEST_F(Announcement, AcceptedRegistrationShowsNumberInThreeColumnsAndRole)
{
    const std::pair<const char*, const char*> cases[] = {
        { "5", "  5 - Cashier" },
        { "42", " 42 - Cashier" },
        { "1234", "123 - Cashier" },
    };
    for (const auto& [number, shown] : cases) {
        server_.script({ FakeServer::answer("ok\n") });
        server_.clearRequests();
        ProgramResult result = announce(number, "Cashier");
        EXPECT_EQ(result.exitStatus, 0) << number;
        EXPECT_EQ(result.out, shown) << number;
        EXPECT_EQ(
            server_.requests(1).at(0), std::string("STN=") + number + "=" + IDENTITY + "=" + MAC + "=Cashier\n" + '\0')
            << number;
    }
}

TEST_F(Announcement, RefusedRegistrationEndsTheRunWithStatus1AfterFiveSeconds)
{
    const char* const replies[] = { "exist\n", "no\n" };
    for (const char* reply : replies) {
        std::size_t waitsBefore = box_.waits().size();
        server_.script({ FakeServer::answer(reply) });
        ProgramResult result = announce("7", "Cashier");
        EXPECT_EQ(result.exitStatus, 1) << reply;
        EXPECT_EQ(result.out, "Failed to set terminal number\nPlease try again\n") << reply;
        std::vector<unsigned long> waits = box_.waits();
        EXPECT_EQ(std::vector<unsigned long>(waits.begin() + static_cast<long>(waitsBefore), waits.end()),
            std::vector<unsigned long> { 5000 })
            << reply;
    }
}

TEST_F(Announcement, FieldsThatWouldSplitTheRequestAreRefusedWithoutSending)
{
    const char* const roles[] = { "Cashier\nSTN=8=x=y=z", "Cashier\r", nullptr };
    for (const char* role : roles) {
        server_.script({ FakeServer::answer("ok\n") });
        server_.clearRequests();
        ProgramResult result = announce("7", role);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.out, "Failed to set terminal number\nPlease try again\n");
        EXPECT_EQ(server_.connections(), 0u);
    }
}

} // namespace
