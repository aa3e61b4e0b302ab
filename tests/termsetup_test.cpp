// termsetup: the identity, the boot outputs (DHCP settings, /config copies)
// and the ends of a run that cannot start.
#include "bootIdentity.h"
#include "fakeServer.h"
#include "fileReplace.h"
#include "posConfigCommon.h"
#include "prepareForNLS.h"
#include "privateRoot.h"
#include "properties.h"
#include "sandbox.h"
#include "shellCommandLog.h"
#include "smbios.h"
#include "sysPath.h"
#include "textFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// The in-process tests below write the program's files under this root; it
// must be set before the first path is made.
struct TestRoot {
    std::string path = usePrivateRoot("termsetup_test");
};
const TestRoot testRoot;

} // namespace

// The program's own functions, tested in this process.
#define main termsetupMain
#include "../termsetup/main.cpp"
#undef main

namespace
{

std::string dhcpFile(const std::string& hostName)
{
    return "DHCLIENT_BIN=\"\"\n"
           "DHCLIENT_DEBUG=\"yes\"\n"
           "DHCLIENT_SET_HOSTNAME=\"yes\"\n"
           "DHCLIENT_MODIFY_RESOLV_CONF=\"yes\"\n"
           "DHCLIENT_SET_DEFAULT_ROUTE=\"yes\"\n"
           "DHCLIENT_MODIFY_NTP_CONF=\"yes\"\n"
           "DHCLIENT_MODIFY_NIS_CONF=\"yes\"\n"
           "DHCLIENT_SET_DOMAINNAME=\"yes\"\n"
           "DHCLIENT_KEEP_SEARCHLIST=\"no\"\n"
           "DHCLIENT_LEASE_TIME=\"\"\n"
           "DHCLIENT_TIMEOUT=\"999999\"\n"
           "DHCLIENT_REBOOT_TIMEOUT=\"\"\n"
           "DHCLIENT_HOSTNAME_OPTION=\""
        + hostName
        + "\"\n"
          "DHCLIENT_CLIENT_ID=\""
        + hostName
        + "\"\n"
          "DHCLIENT_VENDOR_CLASS_ID=\"\"\n"
          "DHCLIENT_RELEASE_BEFORE_QUIT=\"no\"\n"
          "DHCLIENT_SCRIPT_EXE=\"\"\n"
          "DHCLIENT_ADDITIONAL_OPTIONS=\"\"\n"
          "DHCLIENT_SLEEP=\"0\"\n"
          "DHCLIENT_WAIT_AT_BOOT=\"5\"\n"
          "DHCLIENT_MODIFY_SMB_CONF=\"yes\"\n";
}

TEST(WriteDHCPConfig, HostNameFromPositiveTerminalNumberOnly)
{
    struct Case {
        const char* properties;
        const char* hostName;
    };
    const Case cases[] = {
        { "TerminalNumber=12\n", "posClient12" },
        { "TerminalNumber=7\n", "posClient7" },
        { "TerminalNumber=0\n", "" },
        { "TerminalNumber=-1\n", "" },
        { "TerminalNumber=\n", "" },
        { "Other=1\n", "" },
        { "TerminalNumber=012\n", "" },
        { "TerminalNumber=1\"; reboot; \"\n", "" },
    };
    std::string configuration = testRoot.path + "/configuration";
    std::filesystem::create_directories(sysPath("/config/etc/sysconfig/network"));
    for (const auto& c : cases) {
        ASSERT_EQ(replaceFileContents(configuration, c.properties), 0);
        getProperties(configuration.c_str());
        writeDHCPConfig();
        std::string written = readText(sysPath(DHCP_CONFIG_FILE));
        EXPECT_EQ(written, dhcpFile(c.hostName)) << c.properties;
        EXPECT_EQ(linesOf(written).size(), 21u) << c.properties;
    }
}

TEST(PrepareForSLRS, ShellCommandTextsAreTheDesignedOnes)
{
    // Taking the root out of a command gives the terminal's text only when
    // the root needed no quoting.
    ASSERT_EQ(testRoot.path.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-"),
        std::string::npos)
        << testRoot.path;
    FakeServer server;
    ASSERT_TRUE(server.ok());
    server.setResponder([](std::string_view) { return FakeServer::answer("no\n"); });
    std::string address = server.address();
    std::string configuration = testRoot.path + "/slrs-configuration";
    ASSERT_EQ(replaceFileContents(configuration, "TerminalNumber=7\n"), 0);
    std::filesystem::create_directories(sysPath("/etc"));
    std::string logPath = testRoot.path + "/slrs-commands";
    std::fflush(nullptr);
    // In a child: the terminal number and the server address stay out of
    // this process.
    pid_t child = ::fork();
    if (child == 0) {
        int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(quiet, 1);
        ::dup2(quiet, 2);
        TSERVER = address.data();
        getProperties(configuration.c_str());
        recordShellCommands(logPath);
        prepareForSLRS("/etc/config.rc");
        std::fflush(nullptr);
        _exit(0);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::vector<std::string> commands = recordedShellCommands(logPath, testRoot.path);
    const std::vector<std::string> expected = {
        "mkdir -p /config/etc/opt/qor/retail 2> /dev/null",
        "cp /etc/opt/qor/retail/posQOR_configuration /config/etc/opt/qor/retail/posQOR_configuration 2> /dev/null",
        "cp /etc/opt/qor/retail/Role* /config/etc/opt/qor/retail 2> /dev/null",
        "cp /etc/opt/qor/retail/posQOR_global /config/etc/opt/qor/retail 2> /dev/null",
        "mkdir -p /config/usr/sbin 2> /dev/null",
        "cp /etc/opt/qor/retail/posQOR_properties /config/usr/sbin/posQOR_properties 2> /dev/null",
        "mkdir -p /config/var/opt/qor/retail/config/repository/roles 2> /dev/null",
        "cp /etc/opt/qor/retail/Role* /config/var/opt/qor/retail/config/repository/roles",
        "cp /etc/opt/qor/retail/localtime /config/etc/localtime 2> /dev/null",
        "mkdir -p /config/var/opt/qor/retail/stn 2> /dev/null",
        "test -f /etc/opt/qor/retail/posDictionary.dat && mv /etc/opt/qor/retail/posDictionary.dat "
        "/config/var/opt/qor/retail/stn",
        "mkdir -p /config/etc/sysconfig/network 2> /dev/null",
    };
    EXPECT_EQ(commands, expected);
    EXPECT_EQ(readText(sysPath("/etc/config.rc")), "RELOAD_CONFIG=yes\n");
}

TEST(STNID, MacAddressCommaAndSmbiosIdentity)
{
    struct Case {
        std::string mac;
        std::string smbiosId;
        std::string expected;
    };
    const std::string longest(SMBIOS_ID_SIZE - 1, 'S');
    const std::string longMac(STNID_SIZE - 1 - 1 - longest.size(), 'm');
    const Case cases[] = {
        { "00:11:22:33:44:55", "MT.1234567.SN.ABC1234", "00:11:22:33:44:55,MT.1234567.SN.ABC1234" },
        { "00:11:22:33:44:55", "", "00:11:22:33:44:55," },
        { longMac, longest, longMac + "," + longest },
        { longMac + "mm", longest, (longMac + "mm," + longest).substr(0, STNID_SIZE - 1) },
    };
    for (const auto& c : cases) {
        std::string mac = c.mac;
        DHCPCHADDR = mac.data();
        std::snprintf(SMBIOS_ID, sizeof SMBIOS_ID, "%s", c.smbiosId.c_str());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        buildSTNID();
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::string(STNID), c.expected) << c.mac;
        bool cut = c.expected.size() == STNID_SIZE - 1 && c.expected != mac + "," + c.smbiosId;
        EXPECT_EQ(out.empty(), !cut) << "the console tells about a cut identity: " << c.mac;
        EXPECT_EQ(err.empty(), !cut) << "the trace tells about a cut identity: " << c.mac;
    }
    DHCPCHADDR = nullptr;
}

// ---- Whole program ------------------------------------------------------------

constexpr const char* RETAIL = "/etc/opt/qor/retail/";

// A terminal that the store already knows as number 4 with the role Cashier,
// served by a stand-in property service, with the store's catalogue and
// image lists in the root.
class TermsetupRun : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.ok());
        server_.setResponder(FakeServer::knownTerminal(4, "Cashier"));
        box_.setEnv("TSERVER", server_.address());
        box_.setEnv("DHCPCHADDR", "00:11:22:33:44:55");
        box_.setEnv("productBIOS", "BIOS 1.0");
        box_.setEnv("productID", "4852E66");
        const std::string retail = RETAIL;
        box_.writeFile(retail + "Roles4c",
            "Roles.count=2\nRole001=Cashier\nRole001.description=Lane\n"
            "Role002=Manager\nRole002.description=Office\n");
        box_.writeFile(retail + "Roles", "Role001=Cashier\nRole002=Manager\n");
        box_.writeFile(retail + "Role001", "TerminalRole.name=Cashier\n");
        box_.writeFile(retail + "Role002", "TerminalRole.name=Manager\n");
        box_.writeFile(retail + "posQOR_global", "LowestTerminalNumber=1\nHighestTerminalNumber=9\n");
        box_.writeFile(retail + "posQOR_imageDirContents.txt", "default-1.0.0-2005.01.01\n");
        box_.writeFile(retail + "posQOR_imageDirSizes.txt", "");
    }

    FakeServer server_;
    Sandbox box_;
};

TEST_F(TermsetupRun, WritesConfigCopiesAndDhcpFile)
{
    const char* const optional[] = { "posQOR_properties", "localtime", "posDictionary.dat" };
    for (const char* name : optional)
        box_.writeFile(std::string(RETAIL) + name, std::string(name) + " content\n");
    ProgramResult result = box_.run("termsetup");
    ASSERT_FALSE(result.timedOut) << result.out << result.trace;
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.trace;
    EXPECT_EQ(result.out.rfind("Running Vendor Extension Program\n"
                               "TSERVER = "
                      + server_.address()
                      + "\n"
                        "DHCPCHADDR = 00:11:22:33:44:55\n"
                        "productBIOS = BIOS 1.0\n"
                        "productID = 4852E66\n",
                  0),
        0u)
        << result.out;
    EXPECT_EQ(result.trace.rfind("termsetup - main() rev2\n", 0), 0u) << result.trace;

    const std::pair<const char*, const char*> copies[] = {
        { "/config/etc/opt/qor/retail/posQOR_configuration", "posQOR_configuration" },
        { "/config/etc/opt/qor/retail/Role001", "Role001" },
        { "/config/etc/opt/qor/retail/Role002", "Role002" },
        { "/config/etc/opt/qor/retail/posQOR_global", "posQOR_global" },
        { "/config/usr/sbin/posQOR_properties", "posQOR_properties" },
        { "/config/var/opt/qor/retail/config/repository/roles/Role001", "Role001" },
        { "/config/var/opt/qor/retail/config/repository/roles/Role002", "Role002" },
        { "/config/etc/localtime", "localtime" },
    };
    for (const auto& [copy, source] : copies) {
        EXPECT_TRUE(box_.exists(copy)) << copy;
        EXPECT_EQ(box_.readFile(copy), box_.readFile(std::string(RETAIL) + source)) << copy;
    }
    EXPECT_EQ(box_.readFile("/config/var/opt/qor/retail/stn/posDictionary.dat"), "posDictionary.dat content\n");
    EXPECT_FALSE(box_.exists(std::string(RETAIL) + "posDictionary.dat")) << "the dictionary is moved";
    EXPECT_EQ(box_.readFile("/config/etc/sysconfig/network/dhcp"), dhcpFile("posClient4"));
}

TEST_F(TermsetupRun, BootConfigurationGoesToTheFirstArgumentOrTheDefault)
{
    struct Case {
        std::vector<std::string> args;
        const char* written;
        const char* absent;
    };
    const Case cases[] = {
        { {}, "/etc/config.rc", "/tmp/boot.rc" },
        { { "/tmp/boot.rc" }, "/tmp/boot.rc", "/etc/config.rc" },
        { { "/tmp/boot.rc", "/tmp/second.rc" }, "/tmp/boot.rc", "/tmp/second.rc" },
    };
    for (const auto& c : cases) {
        box_.removeFile("/etc/config.rc");
        box_.removeFile("/tmp/boot.rc");
        ProgramResult result = box_.run("termsetup", c.args);
        EXPECT_EQ(result.exitStatus, 0) << c.written << result.trace;
        EXPECT_NE(box_.readFile(c.written).find("RELOAD_CONFIG=yes"), std::string::npos) << c.written;
        EXPECT_FALSE(box_.exists(c.absent)) << c.absent;
    }
}

TEST_F(TermsetupRun, MissingSourcesLeaveTheirCopiesAbsentAndTheRunGoesOn)
{
    ProgramResult result = box_.run("termsetup");
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.trace;
    EXPECT_FALSE(box_.exists("/config/usr/sbin/posQOR_properties"));
    EXPECT_FALSE(box_.exists("/config/etc/localtime"));
    EXPECT_FALSE(box_.exists("/config/var/opt/qor/retail/stn/posDictionary.dat"));
    EXPECT_EQ(box_.readFile("/config/etc/sysconfig/network/dhcp"), dhcpFile("posClient4"));
}

TEST_F(TermsetupRun, DhcpFileThatCannotBeCreatedIsReported)
{
    // A file where the directory should be: neither mkdir nor the write can
    // succeed.
    box_.writeFile("/config/etc/sysconfig/network", "not a directory\n");
    ProgramResult result = box_.run("termsetup");
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.trace;
    EXPECT_NE(result.out.find("The DHCP client settings file /config/etc/sysconfig/network/dhcp could not be written"),
        std::string::npos)
        << result.out;
    EXPECT_NE(
        result.trace.find("writeDHCPConfig: cannot write =/config/etc/sysconfig/network/dhcp="), std::string::npos)
        << result.trace;
}

void setBootEnvironment(Sandbox& box)
{
    box.setEnv("TSERVER", "10.1.2.3");
    box.setEnv("DHCPCHADDR", "00:11:22:33:44:55");
    box.setEnv("productBIOS", "BIOS 1.0");
    box.setEnv("productID", "4852E66");
}

TEST(TermsetupStart, BootEnvironmentWithoutServerOrMacEndsWithoutRestarts)
{
    struct Case {
        const char* name;
        const char* variable;
        const char* value; // null: unset
    };
    const Case cases[] = {
        { "serverUnset", "TSERVER", nullptr },
        { "serverEmpty", "TSERVER", "" },
        { "serverWithShellCode", "TSERVER", "10.0.0.1;/sbin/reboot" },
        { "macUnset", "DHCPCHADDR", nullptr },
        { "macWithLineEnd", "DHCPCHADDR", "00:11\nSTN=1" },
    };
    for (const auto& c : cases) {
        Sandbox box;
        setBootEnvironment(box);
        if (c.value == nullptr)
            box.unsetEnv(c.variable);
        else
            box.setEnv(c.variable, c.value);
        ProgramResult result = box.run("termsetup", {}, "", 20);
        ASSERT_FALSE(result.timedOut) << c.name;
        EXPECT_EQ(result.exitStatus, MISSING_BOOT_ENVIRONMENT) << c.name;
        EXPECT_NE(result.out.find(std::string("no usable ") + c.variable), std::string::npos) << c.name << result.out;
        EXPECT_NE(result.trace.find(std::string("termsetup: ") + c.variable + " unset or unusable"), std::string::npos)
            << c.name << result.trace;
        EXPECT_EQ(result.trace.find("Child process"), std::string::npos) << c.name;
        EXPECT_TRUE(box.waits().empty()) << c.name;
        EXPECT_FALSE(box.exists("/config/etc/sysconfig/network/dhcp")) << c.name;
        EXPECT_TRUE(box.commands().empty()) << c.name;
    }
}

TEST(TermsetupStart, MessagesComeFromTheCatalogueUnderTheRoot)
{
    Sandbox box;
    setBootEnvironment(box);
    std::string po = box.dir() + "/de.po";
    std::ofstream(po) << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
                         "msgid \"Running Vendor Extension Program\\n\"\n"
                         "msgstr \"Herstellererweiterung startet\\n\"\n";
    box.makeDirectory("/usr/share/locale/de/LC_MESSAGES");
    std::string command
        = "msgfmt -o '" + box.path("/usr/share/locale/de/LC_MESSAGES/posQOR_stnc.mo") + "' '" + po + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0)
        GTEST_SKIP() << "msgfmt not available";
    box.setEnv("LANG", "C.UTF-8");
    box.setEnv("LANGUAGE", "de");
    // Without a server the run ends right after its first lines.
    box.unsetEnv("TSERVER");
    ProgramResult result = box.run("termsetup", {}, "", 20);
    EXPECT_EQ(result.exitStatus, MISSING_BOOT_ENVIRONMENT);
    EXPECT_EQ(result.out.rfind("Herstellererweiterung startet\n", 0), 0u) << result.out;
}

} // namespace
