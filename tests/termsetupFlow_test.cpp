// termsetup from boot to boot configuration, in a sandbox root, against the
// real property service, with the menus driven in a real terminal.
#include "sandbox.h"
#include "serviceProcess.h"
#include "smbiosImage.h"
#include "terminal.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace
{

constexpr const char* MAC = "00:11:22:33:44:55";
constexpr const char* MODEL = "4852E66";
constexpr const char* SERIAL = "SN1234";
constexpr const char* SMBIOS_IDENTITY = "MT.4852E66.SN.SN1234";
constexpr const char* CONFIGURATION = "/etc/opt/qor/retail/posQOR_configuration";

// ---- The terminal ---------------------------------------------------------------

struct Machine {
    unsigned long memoryKb = 1048576;
    unsigned long diskMb = 0; // 0: no hard drive
    unsigned long stnjImageKb = 100000; // size of the STN image for this model
    int highestNumber = 5;
};

// A store's boot files and a terminal's hardware in the sandbox root.
void prepareTerminal(Sandbox& box, const ServiceProcess& service, const Machine& machine)
{
    box.setEnv("TSERVER", service.address());
    box.setEnv("DHCPCHADDR", MAC);
    box.setEnv("productBIOS", "BIOS 1.0");
    box.setEnv("productID", MODEL);
    writeKernelSmbios(box, MODEL, SERIAL);

    box.writeFile("/proc/meminfo",
        "MemTotal: " + std::to_string(machine.memoryKb) + " kB\nMemFree: 1000 kB\nSwapTotal: 0 kB\nSwapFree: 0 kB\n");
    std::string partitions = "major minor  #blocks  name\n\n";
    if (machine.diskMb > 0)
        partitions += "   8        0 " + std::to_string(machine.diskMb * 1024) + " sda\n";
    box.writeFile("/proc/partitions", partitions);

    const std::string retail = "/etc/opt/qor/retail/";
    box.writeFile(retail + "Roles4c",
        "Roles.count=3\nRole001=Cashier\nRole001.description=Checkout lane\n"
        "Role002=Manager\nRole002.description=Back office\n"
        "Role003=Kiosk\nRole003.description=Price check\n");
    box.writeFile(retail + "Role001", "TerminalRole.name=Cashier\nlane.printer=yes\n");
    box.writeFile(retail + "Role002", "TerminalRole.name=Manager\noffice.reports=yes\n");
    box.writeFile(retail + "Role003", "TerminalRole.name=Kiosk\nkiosk.mode=yes\n");
    box.writeFile(retail + "Roles", "Role001=Cashier\nRole002=Manager\nRole003=Kiosk\n");
    box.writeFile(retail + "posQOR_global",
        "LowestTerminalNumber=1\nHighestTerminalNumber=" + std::to_string(machine.highestNumber)
            + "\nstore.name=Main\n");
    box.writeFile(retail + "posQOR_default_stnc", "stn.default=yes\n");
    box.writeFile(retail + "posQOR_imageDirContents.txt",
        "posQOR_STNJ-2.1.0-2005.06.15.gz\nposQOR_STNC-2.1.0-2005.06.15.gz\ndefault-1.0.0-2005.01.01\n");
    box.writeFile(retail + "posQOR_imageDirSizes.txt",
        std::to_string(machine.stnjImageKb)
            + " posQOR_ilink_posQOR_STNJY2005M6D15Z1-2.1.0.gz\n"
              "150000 posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.gz\n");
}

// termsetup in a real terminal, with the sandbox's environment and root.
bool startInTerminal(Terminal& terminal, const Sandbox& box)
{
    TerminalOptions options;
    options.environment = box.environment();
    options.workingDirectory = box.root();
    if (Sandbox::userNamespaceAvailable())
        options.prefix = { "unshare", "-Ur", "--" };
    return terminal.start(Sandbox::programPath("termsetup"), {}, options);
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class TermsetupFlow : public testing::Test
{
protected:
    void SetUp() override
    {
        if (::access(Sandbox::programPath("termsetup").c_str(), X_OK) != 0
            || ::access(Sandbox::programPath("posQOR_propertyd").c_str(), X_OK) != 0)
            GTEST_SKIP() << "termsetup or posQOR_propertyd not built";
        ASSERT_FALSE(service.address().empty());
    }

    // Moves the menu's mark down to the entry and selects it. The menu drops
    // keys that arrive while it asks its callback, so each move is confirmed
    // on the screen before the next key.
    void select(Terminal& terminal, const std::string& title, const std::string& entry)
    {
        ASSERT_TRUE(terminal.waitForText(title, 20s)) << terminal.dump();
        ASSERT_TRUE(terminal.waitForText(entry)) << terminal.dump();
        for (int moves = 0; !terminal.waitForText("* " + entry, 1s); ++moves) {
            ASSERT_LT(moves, 40) << terminal.dump();
            terminal.sendKeys({ "Down" });
        }
        // The next screen is only this run's once the menu has gone.
        for (int tries = 0;; ++tries) {
            ASSERT_LT(tries, 10) << terminal.dump();
            terminal.sendKeys({ "Enter" });
            if (terminal.waitForTextGone(title, 2s))
                break;
        }
    }
    void chooseRole(Terminal& terminal, const std::string& role) { select(terminal, "Set Terminal Role", role); }
    void chooseNumber(Terminal& terminal, int number)
    {
        select(terminal, "Choose terminal number", "Terminal Number " + std::to_string(number));
    }

    Sandbox box;
    ServiceProcess service { box.dir() };
};

// ---- A new terminal ------------------------------------------------------------------

TEST_F(TermsetupFlow, NewTerminalChoosesRoleAndNumberAndIsRegistered)
{
    ASSERT_TRUE(service.start());
    prepareTerminal(box, service, { .memoryKb = 65536 });
    Terminal terminal;
    ASSERT_TRUE(startInTerminal(terminal, box)) << terminal.error();

    // Highest role number at the top: Kiosk, Manager, Cashier.
    ASSERT_TRUE(terminal.waitForText("Set Terminal Role", 20s)) << terminal.dump();
    ScreenPosition kiosk = terminal.find("Kiosk");
    ScreenPosition cashier = terminal.find("Cashier");
    EXPECT_LT(kiosk.row, terminal.find("Manager").row) << terminal.dump();
    EXPECT_LT(terminal.find("Manager").row, cashier.row) << terminal.dump();
    chooseRole(terminal, "Manager");
    ASSERT_TRUE(terminal.waitForText("Terminal Number 5", 20s)) << terminal.dump();
    chooseNumber(terminal, 3);
    std::optional<int> status = terminal.waitForExit(30s);
    ASSERT_TRUE(status.has_value()) << terminal.dump();
    EXPECT_EQ(*status, 0) << terminal.dump();
    EXPECT_TRUE(terminal.waitForText("  3 - Manager")) << terminal.dump();

    EXPECT_EQ(service.ask(std::string("TBS=") + SMBIOS_IDENTITY), "3\n");
    EXPECT_EQ(service.ask(std::string("TBM=") + MAC), "3\n");
    EXPECT_TRUE(contains(service.ask("AKT="), "3"));
    EXPECT_EQ(service.ask("get=posClient.3.role"), "Manager\n");

    std::string configuration = box.readFile(CONFIGURATION);
    EXPECT_TRUE(contains(configuration, "TerminalRole.name=Manager\noffice.reports=yes\n")) << configuration;
    EXPECT_TRUE(contains(configuration, "store.name=Main\n")) << configuration;
    EXPECT_TRUE(contains(configuration, "TerminalNumber=3\n")) << configuration;
    EXPECT_TRUE(contains(configuration, std::string("STN.STNID=") + MAC + "," + SMBIOS_IDENTITY + "\n"))
        << configuration;
    EXPECT_TRUE(
        contains(box.readFile("/config/etc/sysconfig/network/dhcp"), "DHCLIENT_HOSTNAME_OPTION=\"posClient3\"\n"));
    std::string trace = box.readFile("/dev/tty2");
    EXPECT_TRUE(contains(trace, "*** Less than 500MB Memory, no HD available - use Lite\n")) << trace;
}

TEST_F(TermsetupFlow, KnownTerminalBootsAgainWithoutMenu)
{
    ASSERT_TRUE(service.start());
    prepareTerminal(box, service, { .memoryKb = 65536 });
    ASSERT_EQ(service.registerTerminal(4, SMBIOS_IDENTITY, MAC, "Cashier"), "ok\n");

    ProgramResult result = box.run("termsetup", {}, "", 60);
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.trace;
    EXPECT_FALSE(contains(result.out, "Set Terminal Role")) << result.out;
    EXPECT_FALSE(contains(result.out, "Choose terminal number")) << result.out;
    std::string configuration = box.readFile(CONFIGURATION);
    EXPECT_TRUE(contains(configuration, "TerminalRole.name=Cashier\nlane.printer=yes\n")) << configuration;
    EXPECT_TRUE(contains(configuration, "TerminalNumber=4\n")) << configuration;
    EXPECT_EQ(box.readFile("/config/etc/opt/qor/retail/posQOR_configuration"), configuration);
    EXPECT_EQ(service.ask("get=posClient.4.role"), "Cashier\n");
}

TEST_F(TermsetupFlow, UnknownRegisteredRoleErasesTheRecordAndAsksAgain)
{
    ASSERT_TRUE(service.start());
    prepareTerminal(box, service, { .memoryKb = 65536 });
    ASSERT_EQ(service.registerTerminal(2, SMBIOS_IDENTITY, MAC, "cashier"), "ok\n");
    Terminal terminal;
    ASSERT_TRUE(startInTerminal(terminal, box)) << terminal.error();

    // The name differs from Cashier in letter case only: the record goes.
    chooseRole(terminal, "Cashier");
    EXPECT_FALSE(service.ask(std::string("TBS=") + SMBIOS_IDENTITY).starts_with("2")) << "record still held";
    chooseNumber(terminal, 1);
    std::optional<int> status = terminal.waitForExit(30s);
    ASSERT_TRUE(status.has_value()) << terminal.dump();
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(service.ask("get=posClient.1.role"), "Cashier\n");
    EXPECT_TRUE(contains(box.readFile("/dev/tty2"), "Registered role not found, erasing terminal records from server"));
}

TEST_F(TermsetupFlow, LongRoleNameIsRegisteredWhole)
{
    ASSERT_TRUE(service.start());
    prepareTerminal(box, service, { .memoryKb = 65536 });
    // The menu shows at most 32 characters of a name; the registration
    // carries all of it, so the next boot finds the role again.
    const std::string longName = "Self checkout with scale and coupon printer";
    box.writeFile("/etc/opt/qor/retail/Roles4c", "Roles.count=2\nRole001=Cashier\nRole002=" + longName + "\n");
    Terminal terminal;
    ASSERT_TRUE(startInTerminal(terminal, box)) << terminal.error();
    chooseRole(terminal, longName.substr(0, 32));
    chooseNumber(terminal, 1);
    ASSERT_EQ(terminal.waitForExit(30s), std::optional<int>(0)) << terminal.dump();
    EXPECT_EQ(service.ask("get=posClient.1.role"), longName + "\n");
    EXPECT_TRUE(contains(box.readFile(CONFIGURATION), "TerminalRole.name=Manager\n"));

    ProgramResult again = box.run("termsetup", {}, "", 60);
    EXPECT_EQ(again.exitStatus, 0);
    EXPECT_FALSE(contains(again.trace, "Registered role not found")) << again.trace;
}

// ---- Load method -----------------------------------------------------------------------

TEST_F(TermsetupFlow, EnoughMemoryLoadsTheStnImageIntoARamDisk)
{
    ASSERT_TRUE(service.start());
    prepareTerminal(box, service, { .memoryKb = 1048576, .stnjImageKb = 100000 });
    ProgramResult result = box.run("termsetup", {}, "", 60);
    ASSERT_EQ(result.exitStatus, 0) << result.out << result.trace;
    EXPECT_FALSE(contains(result.out, "Set Terminal Role")) << result.out;

    EXPECT_EQ(box.readFile("/etc/config.rc"),
        "IMAGE=/dev/ram1;posQOR_ilink_posQOR_STNJY2005M6D15Z1;2.1.0;" + service.address()
            + ";32768;compressed\nRELOAD_CONFIG=yes\n");
    std::string configuration = box.readFile(CONFIGURATION);
    EXPECT_TRUE(configuration.starts_with("stn.default=yes\nLowestTerminalNumber=1\n")) << configuration;
    EXPECT_TRUE(contains(configuration, "RAMDrive.1.mountPoint=/\nRAMDrive.1.loadImage=posQOR_STNJ\n"))
        << configuration;
    EXPECT_FALSE(contains(configuration, "\nTerminalNumber=")) << configuration;
    EXPECT_EQ(box.readFile("/config/etc/opt/qor/retail/posQOR_configuration"), configuration);
    EXPECT_TRUE(contains(box.readFile("/config/etc/sysconfig/network/dhcp"), "DHCLIENT_HOSTNAME_OPTION=\"\"\n"));
    EXPECT_TRUE(contains(result.trace, "*** More than 500MB Memory, using ram disk\n")) << result.trace;
    EXPECT_EQ(service.ask("AKT=").find_first_of("0123456789"), std::string::npos) << "nothing registered";
}

TEST_F(TermsetupFlow, LittleMemoryAndAHardDriveLoadTheStnImageOntoTheDisk)
{
    ASSERT_TRUE(service.start());
    prepareTerminal(box, service, { .memoryKb = 262144, .diskMb = 10240, .stnjImageKb = 400000 });
    ProgramResult result = box.run("termsetup", {}, "", 60);
    ASSERT_EQ(result.exitStatus, 0) << result.out << result.trace;
    EXPECT_FALSE(contains(result.out, "Set Terminal Role")) << result.out;

    EXPECT_EQ(box.readFile("/etc/config.rc"),
        "IMAGE=/dev/sda2;posQOR_ilink_posQOR_STNJY2005M6D15Z1;2.1.0;" + service.address()
            + ";32768;compressed\nPART=500;S;x,x;L;/\nDISK=/dev/sda\n"
              "JOURNAL=ext3\nRELOAD_CONFIG=yes\n");
    std::string configuration = box.readFile(CONFIGURATION);
    EXPECT_TRUE(contains(configuration,
        "HardDrive.0.number=0\nHardDrive.0.swapPartitionSize=500\n"
        "HardDrive.0.Partition.1.size=25\nHardDrive.0.Partition.1.mountPoint=/\n"
        "HardDrive.0.Partition.1.loadImage=posQOR_STNJ\n"))
        << configuration;
    EXPECT_TRUE(contains(result.trace, "*** Less than 585MB Memory, must use hard drive\n")) << result.trace;
}

TEST_F(TermsetupFlow, ForceInlineOverridesMemoryOnlyForAnUpperCaseT)
{
    ASSERT_TRUE(service.start());
    prepareTerminal(box, service, { .memoryKb = 1048576 });

    ASSERT_EQ(service.ask("set=STNC.ForceInline=true"), "ok\n");
    ProgramResult notForced = box.run("termsetup", {}, "", 60);
    EXPECT_EQ(notForced.exitStatus, 0);
    EXPECT_TRUE(contains(box.readFile("/etc/config.rc"), "IMAGE=/dev/ram1;")) << notForced.trace;

    ASSERT_EQ(service.ask("set=STNC.ForceInline=TRUE"), "ok\n");
    box.writeFile("/dev/tty2", "");
    Terminal terminal;
    ASSERT_TRUE(startInTerminal(terminal, box)) << terminal.error();
    chooseRole(terminal, "Kiosk");
    chooseNumber(terminal, 1);
    ASSERT_EQ(terminal.waitForExit(30s), std::optional<int>(0)) << terminal.dump();
    EXPECT_EQ(service.ask("get=posClient.1.role"), "Kiosk\n");
    EXPECT_TRUE(contains(box.readFile("/dev/tty2"), "*** Lite version forced\n"));
}

// ---- Terminal numbers ----------------------------------------------------------------------

TEST_F(TermsetupFlow, NumberMenuRefreshesWhenAnotherTerminalRegisters)
{
    ASSERT_TRUE(service.start());
    prepareTerminal(box, service, { .memoryKb = 65536 });
    Terminal terminal;
    ASSERT_TRUE(startInTerminal(terminal, box)) << terminal.error();
    chooseRole(terminal, "Kiosk");
    ASSERT_TRUE(terminal.waitForText("Terminal Number 1", 20s)) << terminal.dump();

    ASSERT_EQ(service.registerTerminal(1, "MT.X.SN.OTHER", "00:00:00:00:00:01", "Cashier"), "ok\n");
    // The menu checks about every ten seconds; the run then starts afresh.
    chooseRole(terminal, "Kiosk");
    ASSERT_TRUE(terminal.waitForText("Terminal Number 2", 20s)) << terminal.dump();
    EXPECT_FALSE(terminal.waitForText("Terminal Number 1", 500ms)) << terminal.dump();
    chooseNumber(terminal, 2);
    ASSERT_EQ(terminal.waitForExit(30s), std::optional<int>(0)) << terminal.dump();
    EXPECT_EQ(service.ask(std::string("TBM=") + MAC), "2\n");
    std::string trace = box.readFile("/dev/tty2");
    EXPECT_TRUE(contains(trace, "Known terminal list was modified, refreshing\n")) << trace;
    EXPECT_TRUE(contains(trace, "Child process exited with rc=5\n")) << trace;
}

TEST_F(TermsetupFlow, FullRangeSoundsTheAlarmAndReboots)
{
    ASSERT_TRUE(service.start());
    prepareTerminal(box, service, { .memoryKb = 65536, .highestNumber = 2 });
    ASSERT_EQ(service.registerTerminal(1, "MT.X.SN.A", "00:00:00:00:00:01", "Cashier"), "ok\n");
    ASSERT_EQ(service.registerTerminal(2, "MT.X.SN.B", "00:00:00:00:00:02", "Cashier"), "ok\n");
    // The "reboot" comes back with a wider range, as after an administrator
    // widened it.
    box.stubRootProgram(
        "/sbin/reboot", "echo HighestTerminalNumber=3 >> \"$POSQOR_ROOT/etc/opt/qor/retail/posQOR_global\"");
    Terminal terminal;
    ASSERT_TRUE(startInTerminal(terminal, box)) << terminal.error();
    chooseRole(terminal, "Kiosk");
    ASSERT_TRUE(terminal.waitForText("All valid terminal numbers are in use.", 20s)) << terminal.dump();

    chooseRole(terminal, "Kiosk");
    ASSERT_TRUE(terminal.waitForText("Terminal Number 3", 20s)) << terminal.dump();
    EXPECT_FALSE(terminal.waitForText("Terminal Number 2", 500ms)) << terminal.dump();
    chooseNumber(terminal, 3);
    ASSERT_EQ(terminal.waitForExit(30s), std::optional<int>(0)) << terminal.dump();

    std::vector<std::string> commands = box.commands();
    auto count = [&](const std::string& command) { return std::count(commands.begin(), commands.end(), command); };
    EXPECT_EQ(count("/sbin/reboot -f -i"), 1);
    EXPECT_EQ(count("setterm -bfreq 800"), 60);
    EXPECT_EQ(count("setterm -bfreq 600"), 60);
    std::vector<unsigned long> waits = box.waits();
    EXPECT_GE(std::count(waits.begin(), waits.end(), 1000UL), 120);
    EXPECT_EQ(service.ask(std::string("TBM=") + MAC), "3\n");
}

TEST_F(TermsetupFlow, RefusedRegistrationRetries)
{
    ASSERT_TRUE(service.start());
    prepareTerminal(box, service, { .memoryKb = 65536 });
    Terminal terminal;
    ASSERT_TRUE(startInTerminal(terminal, box)) << terminal.error();
    chooseRole(terminal, "Kiosk");
    ASSERT_TRUE(terminal.waitForText("* Terminal Number 1", 20s)) << terminal.dump();
    // Taken between two checks of the menu: the service refuses number 1.
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(service.registerTerminal(1, "MT.X.SN.OTHER", "00:00:00:00:00:01", "Cashier"), "ok\n");
    chooseNumber(terminal, 1);

    // The refused run pauses and ends; the next one asks again.
    chooseRole(terminal, "Kiosk");
    ASSERT_TRUE(terminal.waitForText("Terminal Number 2", 20s)) << terminal.dump();
    chooseNumber(terminal, 2);
    ASSERT_EQ(terminal.waitForExit(30s), std::optional<int>(0)) << terminal.dump();
    EXPECT_EQ(service.ask(std::string("TBM=") + MAC), "2\n");
    EXPECT_TRUE(contains(box.readFile("/dev/tty2"), "Child process exited with rc=1\n"));
    std::vector<unsigned long> waits = box.waits();
    EXPECT_NE(std::find(waits.begin(), waits.end(), 5000UL), waits.end()) << "the pause after the refusal";
}

// ---- Service availability --------------------------------------------------------------------

TEST_F(TermsetupFlow, ServiceDownAtFirstAndUpLater)
{
    ASSERT_TRUE(service.start());
    ASSERT_EQ(service.registerTerminal(6, SMBIOS_IDENTITY, MAC, "Kiosk"), "ok\n");
    service.stop();
    prepareTerminal(box, service, { .memoryKb = 65536, .highestNumber = 9 });

    auto run = std::async(std::launch::async, [&] { return box.run("termsetup", {}, "", 60); });
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(service.start());
    ProgramResult result = run.get();
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.trace;
    EXPECT_TRUE(contains(result.trace, "connect to \"" + service.address() + "\"")) << result.trace;
    EXPECT_TRUE(contains(box.readFile(CONFIGURATION), "TerminalRole.name=Kiosk\n"));
    EXPECT_TRUE(contains(box.readFile(CONFIGURATION), "TerminalNumber=6\n"));
}

// ---- Role catalogue ----------------------------------------------------------------------------

TEST_F(TermsetupFlow, CatalogueWithoutRolesStopsWithoutRegistering)
{
    ASSERT_TRUE(service.start());
    prepareTerminal(box, service, { .memoryKb = 65536 });
    box.writeFile("/etc/opt/qor/retail/Roles4c", "Roles.count=0\n");
    ProgramResult result = box.run("termsetup", {}, "", 5);
    EXPECT_TRUE(result.timedOut) << "the supervisor keeps retrying";
    EXPECT_TRUE(contains(result.out, "defines no role")) << result.out;
    EXPECT_FALSE(contains(result.out, "Set Terminal Role")) << result.out;
    EXPECT_EQ(service.ask("AKT=").find_first_of("0123456789"), std::string::npos) << "nothing registered";
}

TEST_F(TermsetupFlow, MissingCatalogueRebootsAndRetries)
{
    ASSERT_TRUE(service.start());
    prepareTerminal(box, service, { .memoryKb = 1048576 });
    box.removeFile("/etc/opt/qor/retail/Roles");
    box.removeFile("/etc/opt/qor/retail/Roles4c");
    // The reboot brings the archive in the boot directory.
    box.stubRootProgram("/sbin/reboot",
        "mkdir -p \"$POSQOR_ROOT/tftpboot/boot\" && tar -czf "
        "\"$POSQOR_ROOT/tftpboot/boot/testball.tar.gz\" -C \"$POSQOR_ROOT/tmp\" Roles");
    box.writeFile("/tmp/Roles", "Role001=Cashier\n");
    ProgramResult result = box.run("termsetup", {}, "", 60);
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.trace;
    EXPECT_TRUE(contains(result.out, "An error occurred opening data file testball.tar.gz\n")) << result.out;
    std::vector<std::string> commands = box.commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "/sbin/reboot -f -i"), 1);
    std::string unpack
        = "tar -mxzf " + box.path("/tftpboot/boot/testball.tar.gz") + " -C " + box.path("/etc/opt/qor/retail");
    EXPECT_EQ(std::count(commands.begin(), commands.end(), unpack), 1);
    EXPECT_TRUE(box.exists("/etc/opt/qor/retail/Roles"));
}

} // namespace
