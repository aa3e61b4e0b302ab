// serversetup on a store server: its service answers on "localhost", so each
// run gets a network namespace of its own where the real property service
// listens on 127.0.0.1:46910; the menus are driven in a real terminal.
#include "sandbox.h"
#include "smbiosImage.h"
#include "terminal.h"
#include "textFiles.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <unistd.h>

using namespace std::chrono_literals;

namespace
{

const std::string MODEL = "4852E66";
const std::string SERIAL = "SRV0001";
const std::string SMBIOS_IDENTITY = "MT." + MODEL + ".SN." + SERIAL;
const std::string SERVER_MAC = "00:00:00:00:00:00";
const char* const LOG_FILE = "/var/opt/qor/retail/stn/sstn.log";
const char* const CONFIGURATION = "/etc/opt/qor/retail/posQOR_configuration";

// Runs in the namespace: brings up the loopback, starts the service, sends
// the requests of $WORK/before, runs serversetup ("$@"), sends the requests
// of $WORK/after, and ends with serversetup's status. With MODE=loop the
// setup runs until its log shows three runs ended with LOOP_STATUS.
const char* const HARNESS = R"(#!/bin/bash
ip link set lo up || exit 90
"$SERVICE" -a 127.0.0.1 -p 46910 -d "$WORK/service.db" 2>>"$WORK/service.log" &
service=$!
up=0
for i in $(seq 400); do
  if (exec 3<>/dev/tcp/127.0.0.1/46910) 2>/dev/null; then up=1; break; fi
  sleep 0.05
done
[ $up = 1 ] || exit 91
ask() {
  exec 3<>/dev/tcp/127.0.0.1/46910 || { echo "<no connection>"; return; }
  case "$1" in AKT=*|GEN=*|ping) printf '%s\n' "$1" >&3 ;; *) printf '%s\n\0' "$1" >&3 ;; esac
  reply=$(head -n 1 <&3)
  exec 3<&-
  printf '%s\n' "$reply"
}
requests() {
  [ -f "$WORK/$1" ] || return 0
  while IFS= read -r request; do ask "$request"; done < "$WORK/$1" > "$WORK/$1.replies"
}
requests before
if [ "$MODE" = loop ]; then
  "$@" > "$WORK/setup.out" 2>&1 &
  setup=$!
  for i in $(seq 600); do
    n=$(grep -c "Child process exited with rc=$LOOP_STATUS" "$POSQOR_ROOT/var/opt/qor/retail/stn/sstn.log" 2>/dev/null)
    [ "${n:-0}" -ge 3 ] && break
    sleep 0.05
  done
  kill -9 $setup
  rc=0
else
  "$@"
  rc=$?
fi
requests after
kill $service
wait $service
exit $rc
)";

std::string joinLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

// Presses Down until the menu's mark stands at entry; a key that arrives
// before the menu reads the keyboard is sent again.
bool moveMarkTo(Terminal& terminal, const std::string& entry)
{
    for (int press = 0; press < 20; ++press) {
        if (terminal.waitForText("* " + entry, 500ms))
            return true;
        terminal.sendKeys({ "Down" });
    }
    return false;
}

class ServerSetup : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char* program : { "serversetup", "posQOR_propertyd" }) {
            if (::access(Sandbox::programPath(program).c_str(), X_OK) != 0)
                GTEST_SKIP() << program << " not built";
        }
        if (!Sandbox::userNamespaceAvailable() && ::geteuid() != 0)
            GTEST_SKIP() << "a network namespace needs a user namespace or root";
        if (::access("/usr/sbin/ip", X_OK) != 0 && ::access("/sbin/ip", X_OK) != 0)
            GTEST_SKIP() << "ip is not available to bring up a namespace's loopback";
        box.writeFile(harnessPath(), HARNESS, 0755);
        box.setEnv("SERVICE", Sandbox::programPath("posQOR_propertyd"));
        box.makeDirectory("/work");
        box.setEnv("WORK", box.path("/work"));
        box.stubRootProgram("/usr/bin/posQOR_rebuildPosConfiguration");
        // The server's own name and address, as a store server answers them.
        box.stubTool("hostname", "echo 127.0.0.1");
        box.stubTool("host", "echo \"$1 has address 127.0.0.1\"");
        writeKernelSmbios(box, MODEL, SERIAL);
    }

    std::string harnessPath() const { return "/harness.sh"; }

    // Words in front of serversetup: a network namespace (and a user
    // namespace when the machine offers one) around the harness.
    std::vector<std::string> prefix() const
    {
        std::vector<std::string> words { "unshare", Sandbox::userNamespaceAvailable() ? "-Urn" : "-n", "--",
            "/bin/bash", box.path(harnessPath()) };
        return words;
    }

    void writeCatalogue(int roles, int highestNumber) const
    {
        const std::string retail = "/etc/opt/qor/retail/";
        const char* names[] = { "Cashier", "Manager", "Kiosk" };
        std::string catalogue = "Roles.count=" + std::to_string(roles) + "\n";
        for (int n = 1; n <= roles; ++n) {
            std::string number = "00" + std::to_string(n);
            catalogue += "Role" + number + "=" + names[n - 1] + "\nRole" + number + ".description=" + names[n - 1]
                + " role\n";
            box.writeFile(retail + "Role" + number, std::string("TerminalRole.name=") + names[n - 1] + "\n");
        }
        box.writeFile(retail + "Roles4c", catalogue);
        box.writeFile(retail + "posQOR_global",
            "LowestTerminalNumber=1\nHighestTerminalNumber=" + std::to_string(highestNumber) + "\n");
    }

    // Requests sent to the service before and after serversetup.
    void requestsBefore(const std::vector<std::string>& requests) const
    {
        box.writeFile("/work/before", joinLines(requests));
    }
    void requestsAfter(const std::vector<std::string>& requests) const
    {
        box.writeFile("/work/after", joinLines(requests));
    }
    std::vector<std::string> repliesAfter() const { return linesOf(box.readFile("/work/after.replies")); }

    // serversetup until its log shows three runs that ended with status.
    ProgramResult runUntilRetried(int status)
    {
        box.setEnv("MODE", "loop");
        box.setEnv("LOOP_STATUS", std::to_string(status));
        std::vector<std::string> args = prefix();
        args.erase(args.begin());
        args.push_back(Sandbox::programPath("serversetup"));
        return box.run("/usr/bin/unshare", args, "", 90);
    }

    Sandbox box;
};

TEST_F(ServerSetup, ReleasesOldNumberAndRegistersTheChosenOneAsTheServer)
{
    if (!Terminal::available())
        GTEST_SKIP() << "tmux is not available";
    writeCatalogue(3, 5);
    // Another terminal holds 1; the server itself was registered as 3 before.
    requestsBefore({ "STN=1=MT.X.SN.OTHER=00:11:22:33:44:55=Cashier",
        "STN=3=" + SMBIOS_IDENTITY + "=" + SERVER_MAC + "=Cashier" });
    requestsAfter({ "TBS=" + SMBIOS_IDENTITY, "get=posClient.4.isServer", "AKT=", "get=posClient.4.role" });

    Terminal terminal;
    TerminalOptions options;
    options.environment = box.environment();
    options.workingDirectory = box.root();
    options.prefix = prefix();
    ASSERT_TRUE(terminal.start(Sandbox::programPath("serversetup"), {}, options)) << terminal.error();

    // Always the role menu, although the service knew the server.
    ASSERT_TRUE(terminal.waitForText("Set Terminal Role", 20s)) << terminal.dump();
    ScreenPosition manager = terminal.find("Manager");
    ASSERT_GE(manager.row, 0) << terminal.dump();
    // Highest role number first: Kiosk, Manager, Cashier.
    ASSERT_TRUE(moveMarkTo(terminal, "Manager")) << terminal.dump();
    terminal.sendKeys({ "Enter" });
    ASSERT_TRUE(terminal.waitForText("Choose terminal number", 20s)) << terminal.dump();
    // The old number is free again; the other terminal's is not offered.
    ASSERT_TRUE(terminal.waitForText("Terminal Number 3")) << terminal.dump();
    EXPECT_LT(terminal.find("Terminal Number 1 ").row, 0) << terminal.dump();
    EXPECT_GE(terminal.find("Terminal Number 2").row, 0) << terminal.dump();
    ASSERT_TRUE(moveMarkTo(terminal, "Terminal Number 4")) << terminal.dump();
    terminal.sendKeys({ "Enter" });
    std::optional<int> status = terminal.waitForExit(30s);
    ASSERT_TRUE(status.has_value()) << terminal.dump();
    EXPECT_EQ(*status, 0) << terminal.dump() << box.readFile(LOG_FILE);

    // The number and role between blank lines.
    std::vector<std::string> screen = terminal.screen();
    int line = terminal.find("  4 - Manager").row;
    ASSERT_GT(line, 1) << terminal.dump();
    EXPECT_EQ(screen[line], "  4 - Manager") << terminal.dump();
    EXPECT_EQ(screen[line - 1], "") << terminal.dump();
    EXPECT_EQ(screen[line - 2], "") << terminal.dump();
    if (line + 2 < static_cast<int>(screen.size()) && screen[line + 1].empty()) {
        EXPECT_EQ(screen[line + 2], "") << terminal.dump();
    }

    std::vector<std::string> replies = repliesAfter();
    ASSERT_EQ(replies.size(), 4u) << box.readFile(LOG_FILE);
    EXPECT_EQ(replies[0], "4");
    EXPECT_EQ(replies[1], "1");
    EXPECT_NE(replies[2].find('1'), std::string::npos) << replies[2];
    EXPECT_NE(replies[2].find('4'), std::string::npos) << replies[2];
    EXPECT_EQ(replies[2].find('3'), std::string::npos) << "old number still known: " << replies[2];
    EXPECT_EQ(replies[3], "Manager");

    // The server's identity in its configuration file.
    std::string configuration = box.readFile(CONFIGURATION);
    for (const std::string& entry : std::vector<std::string> { "TerminalNumber=4", "STN.ServerIPAddress=localhost",
             "STN.MAC.0.Address=" + SERVER_MAC, "STN.Product.Bios=not implemented", "STN.Product.ID=" + MODEL,
             "STN.STNID=" + SERVER_MAC + "," + SMBIOS_IDENTITY, "STN.SMBIOS_ID=" + SMBIOS_IDENTITY,
             "TerminalRole.name=Manager" })
        EXPECT_NE(configuration.find(entry + "\n"), std::string::npos) << entry << "\n" << configuration;

    // The trace in the log file, the rebuild run first, no boot outputs.
    std::string log = box.readFile(LOG_FILE);
    EXPECT_EQ(log.rfind("termsetup - main() rev2\n", 0), 0u) << log;
    std::vector<std::string> commands = box.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.front(), "/usr/bin/posQOR_rebuildPosConfiguration");
    EXPECT_FALSE(box.exists("/etc/config.rc"));
    EXPECT_FALSE(box.exists("/config/etc/sysconfig/network/dhcp"));
}

TEST_F(ServerSetup, MissingRoleCatalogueRetriesWithStatus255InsteadOfRebooting)
{
    writeCatalogue(0, 5);
    box.removeFile("/etc/opt/qor/retail/Roles4c");
    ProgramResult result = runUntilRetried(255);
    ASSERT_FALSE(result.timedOut);
    std::string log = box.readFile(LOG_FILE);
    EXPECT_GE(countOf(log, "Child process exited with rc=255\n"), 3) << log;
    EXPECT_EQ(countOf(log, "termsetup - main() rev2\n"), 1) << log;
    for (const std::string& command : box.commands())
        EXPECT_EQ(command.find("/sbin/reboot"), std::string::npos) << command;
    std::vector<unsigned long> waits = box.waits();
    EXPECT_GE(std::count(waits.begin(), waits.end(), 6000ul), 3) << "the pause before each new run";
    // The fixed identity of the server, shown before the first run.
    std::string shown = box.readFile("/work/setup.out");
    EXPECT_NE(shown.find("TSERVER = localhost\nDHCPCHADDR = 00:00:00:00:00:00\nproductBIOS = not implemented\n"
                         "productID = "
                  + MODEL + "\n"),
        std::string::npos)
        << shown;
}

TEST_F(ServerSetup, FullNumberRangeRetriesWithStatus253InsteadOfRebooting)
{
    // One role: no role menu; both numbers of the range belong to others.
    // Without the rebuild command the run goes on all the same.
    box.removeFile("/usr/bin/posQOR_rebuildPosConfiguration");
    writeCatalogue(1, 2);
    requestsBefore({ "STN=1=MT.X.SN.ONE=00:11:22:33:44:01=Cashier", "STN=2=MT.X.SN.TWO=00:11:22:33:44:02=Cashier" });
    requestsAfter({ "TBS=" + SMBIOS_IDENTITY, "AKT=" });
    ProgramResult result = runUntilRetried(253);
    ASSERT_FALSE(result.timedOut);
    std::string log = box.readFile(LOG_FILE);
    EXPECT_GE(countOf(log, "Child process exited with rc=253\n"), 3) << log;
    for (const std::string& command : box.commands())
        EXPECT_EQ(command.find("/sbin/reboot"), std::string::npos) << command;
    std::vector<unsigned long> waits = box.waits();
    EXPECT_GE(std::count(waits.begin(), waits.end(), 7000ul), 3) << "the pause before each new run";
    std::vector<std::string> replies = repliesAfter();
    ASSERT_EQ(replies.size(), 2u);
    // The server got no number.
    EXPECT_TRUE(replies[0].empty() || replies[0] == "0") << replies[0];
}

} // namespace
