// The properties command as scripts call it: arguments, usage, local files
// and the remote property service (a fake one and the real one).
#include "fakeServer.h"
#include "sandbox.h"
#include "serviceProcess.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

const char* const DEFAULT_FILE = "/etc/opt/qor/retail/posQOR_configuration";

std::string usageText(const std::string& programName)
{
    return "Usage : " + programName
        + " [-r[Server IP Address]] [-sSet Value ] [-fProperties File Name] [-u] Property\n"
          "\n"
          "-r            : Connect to default remote server\n"
          "-r192.168.1.1 : Connect to server 192.168.1\n"
          "-sColor       : Set the specified property to value=Color\n"
          "-f~/test.prop : Use properties file ~/test.prop\n"
          "-u            : Underscores represent dots in property name (for scripts)\n"
          "Exit status 6 : the property could not be set, or the remote service failed\n"
          "\n";
}

std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const auto& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text.empty() ? "(no arguments)" : text;
}

class PropertiesCommand : public ::testing::Test
{
protected:
    ProgramResult run(const std::vector<std::string>& args) const { return box.run("posQOR_properties", args); }
    Sandbox box;
};

TEST_F(PropertiesCommand, ArgumentsThatEndInTheUsageTextAndTheirStatus)
{
    box.writeFile(DEFAULT_FILE, "Color=Red\n");
    struct Row {
        std::vector<std::string> args;
        int status;
    } rows[] = {
        { {}, 1 },
        // Options that name no property.
        { { "-u" }, 1 },
        { { "-fother.prop" }, 1 },
        { { "-sBlue" }, 1 },
        { { "-f", "Color" }, 2 },
        { { "-s", "Color" }, 3 }, // the value must be attached
        { { "-h" }, 4 },
        { { "--h" }, 4 },
        { { "-help", "Color" }, 4 },
        { { "--help" }, 4 },
        { { "Color", "-hx" }, 4 },
        // Left to right: the first faulty option decides.
        { { "-s", "-f" }, 3 },
        { { "-f", "-s" }, 2 },
        { { "-h", "-f" }, 4 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(joined(row.args));
        ProgramResult result = run(row.args);
        EXPECT_EQ(result.exitStatus, row.status);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, usageText(Sandbox::programPath("posQOR_properties")));
    }
    EXPECT_EQ(box.readFile(DEFAULT_FILE), "Color=Red\n");
}

TEST_F(PropertiesCommand, LocalReadsByPrefixRules)
{
    box.writeFile(DEFAULT_FILE, "# the terminal\nSTN.ServerIPAddress=10.1.2.3\nColor=Red\n-x=dash\nEmpty=\n");
    box.writeFile("/etc/other.prop", "Color=Green\n");
    struct Row {
        std::vector<std::string> args;
        std::string out;
    } rows[] = {
        { { "Color" }, "Red\n" },
        { { "-u", "STN_ServerIPAddress" }, "10.1.2.3\n" },
        { { "STN_ServerIPAddress", "-uxyz" }, "10.1.2.3\n" }, // -uxyz counts as -u, after the name too
        { { "STN_ServerIPAddress" }, "\n" }, // no -u: underscores stay
        { { "Missing" }, "\n" },
        { { "Empty" }, "\n" },
        { { "-x" }, "dash\n" }, // an unknown option is a property name
        { { "Missing", "Color" }, "Red\n" }, // a later name replaces an earlier one
        { { "-f/etc/other.prop", "Color" }, "Green\n" },
        { { "-f/etc/missing.prop", "-f/etc/other.prop", "Color" }, "Green\n" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(joined(row.args));
        ProgramResult result = run(row.args);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.out, row.out);
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(PropertiesCommand, LocalSetRewritesTheFileAndPrintsOk)
{
    box.writeFile("/etc/my.prop", "# colours\nColor=Red\r\n\nSize=3\n");
    ProgramResult changed = run({ "-f/etc/my.prop", "-sBlue", "Color" });
    EXPECT_EQ(changed.exitStatus, 0);
    EXPECT_EQ(changed.out, "ok\n");
    EXPECT_EQ(box.readFile("/etc/my.prop"), "Color=Blue\nSize=3\n");

    ProgramResult added = run({ "-f/etc/my.prop", "-u", "-s1", "Terminal_7_Flag" });
    EXPECT_EQ(added.out, "ok\n");
    EXPECT_EQ(box.readFile("/etc/my.prop"), "Color=Blue\nSize=3\nTerminal.7.Flag=1\n");
}

TEST_F(PropertiesCommand, SetWithoutFileFlagChangesTheDefaultFile)
{
    box.writeFile(DEFAULT_FILE, "Color=Red\n");
    ProgramResult result = run({ "-sBlue", "Color" });
    EXPECT_EQ(result.out, "ok\n");
    EXPECT_EQ(box.readFile(DEFAULT_FILE), "Color=Blue\n");
}

TEST_F(PropertiesCommand, UnopenableFileEndsWithStatus4AndItsName)
{
    struct Row {
        std::vector<std::string> args;
        std::string fileName;
    } rows[] = {
        { { "-f/etc/missing.prop", "Key" }, "/etc/missing.prop" },
        { { "-f/etc/missing.prop", "-sX", "Key" }, "/etc/missing.prop" },
        { { "-fmissing", "Key" }, "missing" },
        { { "Key" }, DEFAULT_FILE },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(joined(row.args));
        ProgramResult result = run(row.args);
        EXPECT_EQ(result.exitStatus, 4);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "An error occurred opening data file " + row.fileName + "\n");
        EXPECT_FALSE(box.exists(row.fileName[0] == '/' ? row.fileName : "/" + row.fileName));
    }
}

TEST_F(PropertiesCommand, FailedLocalSetEndsWithStatus6WithoutOk)
{
    box.writeFile(DEFAULT_FILE, "Color=Red\n");
    // A key that the file format cannot hold is refused by the store.
    ProgramResult result = run({ "-sBlue", "Co=lor" });
    EXPECT_EQ(result.exitStatus, 6);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err, "");
    EXPECT_EQ(box.readFile(DEFAULT_FILE), "Color=Red\n");
}

// ---- remote mode against the fake service -------------------------------

class PropertiesCommandRemote : public PropertiesCommand
{
protected:
    void SetUp() override { ASSERT_TRUE(server.ok()); }
    std::string serverOption() const { return "-r" + server.address(); }
    FakeServer server;
};

TEST_F(PropertiesCommandRemote, RequestsRepliesOutputAndStatus)
{
    struct Row {
        const char* name;
        std::vector<std::string> args;
        FakeServer::Reply reply;
        std::string request;
        std::string out;
        int status;
    } rows[] = {
        { "read", { "Color" }, FakeServer::answer("Blue\n"), std::string("get=Color\n\0", 11), "Blue\n", 0 },
        { "read of an unknown key", { "Nothing" }, FakeServer::answer("\n"), std::string("get=Nothing\n\0", 13), "\n",
            0 },
        { "read without reply", { "Nothing" }, FakeServer::closeWithoutReply(), std::string("get=Nothing\n\0", 13),
            "\n", 0 },
        { "longest value", { "Color" }, FakeServer::answer(std::string(511, 'v') + "\n"),
            std::string("get=Color\n\0", 11), std::string(511, 'v') + "\n", 0 },
        { "value too long for the reply buffer", { "Color" }, FakeServer::answer(std::string(512, 'v') + "\n"),
            std::string("get=Color\n\0", 11), "", 6 },
        { "value far beyond the reply buffer", { "Color" }, FakeServer::answer(std::string(2000, 'v') + "\n"),
            std::string("get=Color\n\0", 11), "", 6 },
        { "set confirmed", { "-sBlue", "Color" }, FakeServer::answer("ok\n"), std::string("set=Color=Blue\n\0", 16),
            "ok\n", 0 },
        { "set refused", { "-sBlue", "Color" }, FakeServer::answer("error\n"), std::string("set=Color=Blue\n\0", 16),
            "", 6 },
        { "set without reply", { "-sBlue", "Color" }, FakeServer::closeWithoutReply(),
            std::string("set=Color=Blue\n\0", 16), "", 6 },
        { "underscores", { "-u", "-s1", "posClient_3_isServer" }, FakeServer::answer("ok\n"),
            std::string("set=posClient.3.isServer=1\n\0", 28), "ok\n", 0 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        server.clearRequests();
        server.script({ row.reply });
        std::vector<std::string> args { serverOption() };
        args.insert(args.end(), row.args.begin(), row.args.end());
        ProgramResult result = run(args);
        EXPECT_EQ(result.exitStatus, row.status) << result.err;
        EXPECT_EQ(result.out, row.out);
        EXPECT_EQ(server.requests(1), std::vector<std::string> { row.request });
    }
}

TEST_F(PropertiesCommandRemote, RemoteModeIgnoresTheLocalFile)
{
    box.writeFile(DEFAULT_FILE, "Color=Red\n");
    server.script({ FakeServer::answer("ok\n") });
    ProgramResult result = run({ serverOption(), "-sBlue", "Color" });
    EXPECT_EQ(result.out, "ok\n");
    EXPECT_EQ(box.readFile(DEFAULT_FILE), "Color=Red\n");
}

TEST_F(PropertiesCommandRemote, BareRTakesTheServerFromTheDefaultFileEvenWithF)
{
    box.writeFile(DEFAULT_FILE, "STN.ServerIPAddress=" + server.address() + "\n");
    box.writeFile("/etc/other.prop", "STN.ServerIPAddress=10.255.255.254\n");
    server.script({ FakeServer::answer("Blue\n") });
    ProgramResult result = run({ "-f/etc/other.prop", "-r", "Color" });
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "Blue\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(server.requests(1), std::vector<std::string> { std::string("get=Color\n\0", 11) });
}

TEST_F(PropertiesCommandRemote, BareRWithoutAddressInTheDefaultFileEndsWithStatus5)
{
    box.writeFile(DEFAULT_FILE, "Color=Red\nSTN.ServerIPAddress=\n");
    ProgramResult result = run({ "-r", "Color" });
    EXPECT_EQ(result.exitStatus, 5);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Unable to locate ServerIPAddress\n");
    EXPECT_EQ(server.connections(), 0u);
}

bool listensOnServicePort(const std::string& host)
{
    int fd = connectTo(host, 46910);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
}

bool somethingListensOnLocalServicePort()
{
    return listensOnServicePort("127.0.0.1");
}

TEST_F(PropertiesCommand, BareRWithoutDefaultFileUsesTheLocalMachine)
{
    if (somethingListensOnLocalServicePort())
        GTEST_SKIP() << "a service listens on 127.0.0.1:46910";
    ProgramResult result = run({ "-r", "Color" });
    EXPECT_EQ(result.err.rfind("Using IP Address 127.0.0.1\n", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("connect to \"127.0.0.1\""), std::string::npos) << result.err;
    EXPECT_EQ(result.exitStatus, 20);
}

TEST_F(PropertiesCommandRemote, UnreachableOrUnknownServerEndsWith20Or21)
{
    server.refuseConnections();
    struct Row {
        std::vector<std::string> args;
        int status;
    } rows[] = {
        { { serverOption(), "Color" }, 20 },
        { { serverOption(), "-sBlue", "Color" }, 20 },
        { { "-rbad..name", "Color" }, 21 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(joined(row.args));
        ProgramResult result = run(row.args);
        EXPECT_EQ(result.exitStatus, row.status) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

TEST_F(PropertiesCommandRemote, FieldsThatWouldBreakTheRequestLineAreNotSent)
{
    struct Row {
        std::vector<std::string> args;
    } rows[] = {
        { { "-sBlue", "Co=lor" } },
        { { "-sBlue", "Color\nset=Other" } },
        { { "-sBl\nue", "Color" } },
        { { "Color\nset=Other=1" } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(joined(row.args));
        std::vector<std::string> args { serverOption() };
        args.insert(args.end(), row.args.begin(), row.args.end());
        ProgramResult result = run(args);
        EXPECT_EQ(result.exitStatus, 6);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(server.connections(), 0u);
}

// ---- remote mode against the real service -------------------------------

TEST_F(PropertiesCommand, SetThenReadOnTheRealService)
{
    if (::access(Sandbox::programPath("posQOR_propertyd").c_str(), X_OK) != 0)
        GTEST_SKIP() << "posQOR_propertyd not built";
    ServiceProcess service(box.dir());
    ASSERT_TRUE(service.start());
    box.writeFile(DEFAULT_FILE, "STN.ServerIPAddress=" + service.address() + "\n");
    std::string server = "-r" + service.address();
    struct Row {
        std::vector<std::string> args;
        std::string out;
    } rows[] = {
        { { server, "Store.Colour" }, "\n" },
        { { server, "-sBlue", "Store.Colour" }, "ok\n" },
        { { server, "Store.Colour" }, "Blue\n" },
        { { "-r", "-u", "-sGreen", "Store_Colour" }, "ok\n" },
        { { "-r", "Store.Colour" }, "Green\n" },
        { { server, "-sred value with = sign", "Store.Colour" }, "ok\n" },
        { { "-r", "-u", "Store_Colour" }, "red value with = sign\n" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(joined(row.args));
        ProgramResult result = run(row.args);
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.out, row.out);
    }
    // The local file is not touched by remote operations.
    EXPECT_EQ(box.readFile(DEFAULT_FILE), "STN.ServerIPAddress=" + service.address() + "\n");
}

} // namespace
