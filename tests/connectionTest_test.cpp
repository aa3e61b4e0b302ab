// The connection test's pictures, addresses and ends: in this process against
// the fake service (with the waits recorded), and as a whole program for the
// paths that end the run.
#include "bootIdentity.h"
#include "connectionTest.h"
#include "fakeServer.h"
#include "pacing.h"
#include "remoteProperty.h"
#include "sandbox.h"
#include "shellCommandLog.h"
#include "textFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace
{

// One root and one service per test process: the root directory is fixed at
// the first path the process names, and the server address at the first
// lookup.
struct Shared {
    Sandbox box;
    FakeServer server;
    std::string address;
    Shared()
    {
        for (const std::string& entry : box.environment()) {
            std::size_t equals = entry.find('=');
            ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
        }
        address = server.address();
    }
};

Shared& shared()
{
    static Shared instance;
    return instance;
}

const char* const DHCP_INFO = "/var/lib/dhcpcd/dhcpcd-eth0.info";

std::string picture(const std::string& line1, const std::string& line2)
{
    return "\n" + line1 + "\n" + line2 + "\n";
}

class ConnectionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(shared().server.ok());
        Sandbox& box = shared().box;
        box.removeFile(DHCP_INFO);
        box.stubTool("hostname");
        box.stubTool("host");
        server().script({});
        server().setResponder([](std::string_view) { return FakeServer::answer("pong\n"); });
        server().clearRequests();
        serverName = shared().address;
        TSERVER = serverName.data();
        commandsBefore = box.commands().size();
        waits.clear();
        setWaitHook([this](unsigned long milliseconds) { waits.push_back(milliseconds); });
    }

    void TearDown() override
    {
        setWaitHook({});
        server().acceptConnections();
    }

    static FakeServer& server() { return shared().server; }
    static Sandbox& box() { return shared().box; }

    // Runs the connection test and keeps what it printed.
    void runConnectionTest()
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        connectionTest();
        err = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
    }

    // The commands run since the test began.
    std::vector<std::string> commandsRun() const
    {
        std::vector<std::string> all = box().commands();
        return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(commandsBefore), all.end());
    }

    std::string serverName;
    std::size_t commandsBefore = 0;
    std::vector<unsigned long> waits;
    std::string out;
    std::string err;
};

struct PictureCase {
    const char* name;
    void (*draw)(const char*, const char*);
    const char* myIP;
    const char* servIP;
    std::string line1;
    std::string line2;
};

TEST_F(ConnectionTest, PicturesAreTwoLinesOfTwentyCharacters)
{
    const std::vector<PictureCase> cases = {
        { "test", announceConnectionTest, "192.168.0.10", "192.168.0.1", "192.168.0.10--------",
            "-- ? ----192.168.0.1" },
        { "failed", announceConnectionFailed, "192.168.0.10", "192.168.0.1", "192.168.0.10--------",
            "--/ /----192.168.0.1" },
        { "ok", announceConnectionOK, "192.168.0.10", "192.168.0.1", "192.168.0.10--------", "---------192.168.0.1" },
        { "15-character server", announceConnectionTest, "10.1.2.3", "123.123.123.123", "10.1.2.3------------",
            "-- ? 123.123.123.123" },
        { "16-character own address", announceConnectionOK, "1234567890123456", "10.1.2.1", "1234567890123456----",
            "------------10.1.2.1" },
        { "own address cut at 16", announceConnectionOK, "1234567890123456789", "10.1.2.1", "1234567890123456----",
            "------------10.1.2.1" },
        { "server cut at 15", announceConnectionFailed, "", "abcdefghijklmnopqrst", "--------------------",
            "--/ /abcdefghijklmno" },
        { "initial texts", announceConnectionTest, "??? IP ???", "?? SIP ??",
            "??? IP ??"
            "?----------",
            "-- ? ------?? SIP ??" },
    };
    for (const PictureCase& row : cases) {
        SCOPED_TRACE(row.name);
        std::size_t before = box().commands().size();
        testing::internal::CaptureStdout();
        row.draw(row.myIP, row.servIP);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), picture(row.line1, row.line2));
        // The console is cleared before each picture.
        EXPECT_EQ(box().commands().size(), before + 1);
        EXPECT_EQ(box().commands().back(), "clear");
    }
}

TEST_F(ConnectionTest, MessageNumberSelectsTheIndicator)
{
    const std::vector<std::pair<int, std::string>> cases = { { 0, "-- ? " }, { 1, "--/ /" }, { 2, "-----" } };
    for (const auto& [number, start] : cases) {
        SCOPED_TRACE(number);
        testing::internal::CaptureStdout();
        announceConnectionXXX(number, "10.0.0.2", "10.0.0.1");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), picture("10.0.0.2------------", start + "-------10.0.0.1"));
    }
}

TEST_F(ConnectionTest, ServerAnsweringAtOnceShowsTestThenOkForOneSecondThenClears)
{
    box().writeFile(DHCP_INFO, "INTERFACE=eth0\nIPADDR=10.1.2.3\nNETMASK=255.255.255.0\nDHCPSIADDR=10.1.2.1\n");
    runConnectionTest();
    EXPECT_EQ(out,
        picture("10.1.2.3------------", "-- ? -------10.1.2.1")
            + picture("10.1.2.3------------", "------------10.1.2.1"));
    EXPECT_EQ(commandsRun(), (std::vector<std::string> { "clear", "clear", "clear" }));
    EXPECT_EQ(waits, (std::vector<unsigned long> { 1000 }));
    EXPECT_EQ(err,
        "In connectionTest, using /var/lib/dhcpcd/dhcpcd-eth0.info\n"
        "My_IP=10.1.2.3  Server_IP=10.1.2.1\n");
    EXPECT_EQ(server().requests(1), (std::vector<std::string> { "ping\n" }));
}

// Seven attempts with growing pauses, the failed picture, then the service
// comes up during the second round.
TEST_F(ConnectionTest, RefusedConnectionsShowFailedUntilTheServiceComesUp)
{
    box().writeFile(DHCP_INFO, "IPADDR=10.1.2.3\nDHCPSIADDR=10.1.2.1\n");
    server().refuseConnections();
    setWaitHook([this](unsigned long milliseconds) {
        waits.push_back(milliseconds);
        if (waits.size() == 8) {
            EXPECT_TRUE(server().acceptConnections());
        }
    });
    runConnectionTest();
    EXPECT_EQ(out,
        picture("10.1.2.3------------", "-- ? -------10.1.2.1")
            + picture("10.1.2.3------------", "--/ /-------10.1.2.1")
            + picture("10.1.2.3------------", "------------10.1.2.1"));
    EXPECT_EQ(waits, (std::vector<unsigned long> { 50, 100, 200, 400, 800, 1000, 50, 100, 1000 }));
    EXPECT_EQ(countOf(err, "connect to \"" + serverName + "\" rc=-1 errno=111 sleep="), 9);
    EXPECT_EQ(countOf(err, "max attempts"), 0);
}

// A service that closes without a pong fails a round at once; the pictures
// alternate, with a pause so the test does not spin.
TEST_F(ConnectionTest, ServiceAnsweringAfterFailedRoundsAlternatesThePictures)
{
    box().writeFile(DHCP_INFO, "IPADDR=10.1.2.3\nDHCPSIADDR=10.1.2.1\n");
    server().script({ FakeServer::closeWithoutReply(), FakeServer::answer("busy\n"), FakeServer::answer("pong\n") });
    runConnectionTest();
    std::string test = picture("10.1.2.3------------", "-- ? -------10.1.2.1");
    std::string failed = picture("10.1.2.3------------", "--/ /-------10.1.2.1");
    EXPECT_EQ(out, test + failed + test + picture("10.1.2.3------------", "------------10.1.2.1"));
    EXPECT_EQ(waits, (std::vector<unsigned long> { 1000, 1000 }));
    EXPECT_EQ(server().requests(3), (std::vector<std::string> { "ping\n", "ping\n", "ping\n" }));
}

TEST_F(ConnectionTest, ServerNameIsLookedUpWithTheHostCommand)
{
    // The client keeps the first address it resolved; resolve the service's
    // address first so the name below needs no name service.
    ASSERT_EQ(pingServer(1), 1);
    serverName = "posserver";
    TSERVER = serverName.data();
    box().stubTool("hostname", "echo 10.1.2.3");
    box().stubTool("host", "echo 'Using domain server:'; echo 'posserver has address 10.9.8.7'");
    commandsBefore = box().commands().size();
    std::string logPath = box().dir() + "/shell-commands";
    recordShellCommands(logPath);
    runConnectionTest();
    recordShellCommands("");
    EXPECT_EQ(out,
        picture("10.1.2.3------------", "-- ? -------10.9.8.7")
            + picture("10.1.2.3------------", "------------10.9.8.7"));
    EXPECT_EQ(commandsRun(), (std::vector<std::string> { "hostname -i", "host posserver", "clear", "clear", "clear" }));
    // The whole texts handed to the shell, as a terminal (no root) runs them.
    EXPECT_EQ(recordedShellCommands(logPath, box().root()),
        (std::vector<std::string> { "hostname -i > /tmp/myIPAddress.txt",
            "host posserver | tail -n1 | cut -f4 -d\\   > /tmp/myIPAddress.txt", "clear", "clear", "clear" }));
    EXPECT_EQ(err, "In connectionTest, using hostname -i\nMy_IP=10.1.2.3  Server_IP=10.9.8.7\n");
    EXPECT_FALSE(box().exists("/tmp/myIPAddress.txt"));
}

struct AddressCase {
    const char* name;
    const char* infoFile; // null: no DHCP information file
    const char* hostname; // body of the hostname stub
    std::string traceLine; // with "<server>" for the service's address
};

TEST_F(ConnectionTest, DisplayAddressesComeFromTheInfoFileOrHostnameAndServerAddress)
{
    const std::string longLine = std::string(79, 'C') + "IPADDR=6.6.6.6\n";
    const std::vector<AddressCase> cases = {
        { "both keys", "IPADDR=10.1.2.3\nDHCPSIADDR=10.1.2.1\n", "", "My_IP=10.1.2.3  Server_IP=10.1.2.1" },
        { "server key missing", "IPADDR=10.1.2.3\n", "", "My_IP=10.1.2.3  Server_IP=?? SIP ??" },
        { "no keys", "NETMASK=255.0.0.0\n", "", "My_IP=??? IP ???  Server_IP=?? SIP ??" },
        { "15 characters and line feed", "IPADDR=123.123.123.123\nDHCPSIADDR=10.1.2.1", "",
            "My_IP=123.123.123.123  Server_IP=10.1.2.1" },
        { "value cut to 15", "IPADDR=1234567890123456789\n", "", "My_IP=123456789012345  Server_IP=?? SIP ??" },
        { "key inside a long line", longLine.c_str(), "", "My_IP=??? IP ???  Server_IP=?? SIP ??" },
        { "hostname and numeric TSERVER", nullptr, "echo 10.1.2.3", "My_IP=10.1.2.3  Server_IP=<server>" },
        { "hostname prints nothing", nullptr, "true", "My_IP=?? IP ??  Server_IP=<server>" },
    };
    for (const AddressCase& row : cases) {
        SCOPED_TRACE(row.name);
        if (row.infoFile != nullptr)
            box().writeFile(DHCP_INFO, row.infoFile);
        else
            box().removeFile(DHCP_INFO);
        box().stubTool("hostname", row.hostname);
        commandsBefore = box().commands().size();
        runConnectionTest();
        std::string expected = row.traceLine;
        if (std::size_t at = expected.find("<server>"); at != std::string::npos)
            expected.replace(at, 8, serverName.substr(0, 15));
        EXPECT_NE(err.find(expected + "\n"), std::string::npos) << err;
        // A numeric TSERVER needs no lookup.
        for (const std::string& command : commandsRun())
            EXPECT_NE(command.rfind("host ", 0), 0u) << command;
    }
}

// ---- Whole program: the ends of a run ---------------------------------------

struct ExitCase {
    const char* name;
    const char* tserver; // null: unset
    const char* hostBody; // body of the host stub
    std::string message;
};

TEST(ConnectionTestProgram, UnusableServerNamesEndTheRunWithStatus20)
{
    const std::vector<ExitCase> cases = {
        { "unset", nullptr, "", "Connection Test failed: TSERVER is not set\n" },
        { "empty", "", "", "Connection Test failed: TSERVER is not set\n" },
        { "shell characters", "pos;touch owned", "", "Connection Test failed: pos;touch owned\n" },
        { "command substitution", "pos$(reboot)", "", "Connection Test failed: pos$(reboot)\n" },
        { "option", "-l", "", "Connection Test failed: -l\n" },
        { "lookup prints nothing", "posserver", "true", "Connection Test failed: /tmp/myIPAddress.txt\n" },
    };
    for (const ExitCase& row : cases) {
        SCOPED_TRACE(row.name);
        Sandbox box;
        box.stubTool("hostname", "echo 10.1.2.3");
        box.stubTool("host", row.hostBody);
        if (row.tserver != nullptr)
            box.setEnv("TSERVER", row.tserver);
        ProgramResult result = box.run("connectionCheck");
        EXPECT_EQ(result.exitStatus, 20);
        EXPECT_NE(result.err.find(row.message), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("connection test passed"), std::string::npos);
        EXPECT_FALSE(box.exists("/owned"));
        for (const std::string& command : box.commands()) {
            if (command.rfind("host ", 0) == 0) {
                EXPECT_EQ(command, "host posserver");
            }
        }
    }
}

} // namespace
