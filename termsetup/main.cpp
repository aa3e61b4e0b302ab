// termsetup: the vendor extension that the boot environment runs on every
// terminal boot. It identifies the machine, settles its terminal number and
// role with the store server, and leaves the boot configuration, the /config
// copies and the DHCP client settings for the platform.
#include "bootIdentity.h"
#include "connectionTest.h"
#include "disk.h"
#include "fileReplace.h"
#include "posConfigCommon.h"
#include "prepareForNLS.h"
#include "properties.h"
#include "smbios.h"
#include "sysPath.h"
#include "vendorConfig.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace
{

constexpr const char* DEFAULT_TARGET = "/etc/config.rc";
constexpr const char* TRACE_DEVICE = "/dev/tty2";
constexpr const char* DHCP_CONFIG_FILE = "/config/etc/sysconfig/network/dhcp";
// Status of a run that cannot start because the boot environment lacks the
// server address or the MAC address; no worker is started, so nothing
// retries what cannot change.
constexpr int MISSING_BOOT_ENVIRONMENT = 2;

// Trace output goes to the second console. When it cannot be opened the
// trace stays where standard error already was.
void openTrace()
{
    int fd = ::open(sysPath(TRACE_DEVICE).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0666);
    if (fd >= 0) {
        ::dup2(fd, STDERR_FILENO);
        if (fd != STDERR_FILENO)
            ::close(fd);
    }
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

// A server address the shell commands and the connection may use: a host
// name or an address, nothing the shell would read as code.
bool isUsableServerAddress(const char* text)
{
    return text != nullptr && *text != '\0'
        && std::strspn(text, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-_:") == std::strlen(text);
}

// A MAC address text that can join the identity and the service requests:
// visible characters, no '=' (the requests' field separator).
bool isUsableMacAddress(const char* text)
{
    if (text == nullptr || *text == '\0')
        return false;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c <= ' ' || *c > '~' || *c == '=')
            return false;
    }
    return true;
}

// Ends the program before the supervisor starts when the boot environment
// does not name the server or the MAC address: no run could succeed.
void requireBootEnvironment()
{
    const char* missing = nullptr;
    if (!isUsableServerAddress(TSERVER))
        missing = "TSERVER";
    else if (!isUsableMacAddress(DHCPCHADDR))
        missing = "DHCPCHADDR";
    if (missing == nullptr)
        return;
    std::printf(_("The boot environment gives no usable %s; the terminal cannot be set up\n"), missing);
    std::fprintf(stderr, "termsetup: %s unset or unusable =%s=, ending with status %d\n", missing,
        std::getenv(missing) ? std::getenv(missing) : "(null)", MISSING_BOOT_ENVIRONMENT);
    cleanupAndExit(MISSING_BOOT_ENVIRONMENT);
}

// STNID: DHCPCHADDR, a comma and SMBIOS_ID. An identity too long for it is
// cut to what fits, and the cut is reported.
void buildSTNID()
{
    std::string identity = std::string(DHCPCHADDR ? DHCPCHADDR : "") + "," + SMBIOS_ID;
    if (identity.size() >= STNID_SIZE) {
        std::printf(
            _("The machine identity is longer than %d characters and was cut\n"), static_cast<int>(STNID_SIZE - 1));
        std::fprintf(stderr, "STNID of %zu characters cut to %d: =%s=\n", identity.size(),
            static_cast<int>(STNID_SIZE - 1), identity.c_str());
        identity.resize(STNID_SIZE - 1);
    }
    std::memcpy(STNID, identity.c_str(), identity.size() + 1);
}

// One line of the DHCP client settings: KEY="value".
void addSetting(std::string& text, const char* key, const std::string& value)
{
    text += key;
    text += "=\"";
    text += value;
    text += "\"\n";
}

} // namespace

void getEnvTableVariablesVH()
{
    TSERVER = std::getenv("TSERVER");
    DHCPCHADDR = std::getenv("DHCPCHADDR");
    productBIOS = std::getenv("productBIOS");
    productID = std::getenv("productID");
}

void getSTNID()
{
    getSMBIOS();
    buildSTNID();
}

void writeDHCPConfig()
{
    // "posClient" and the number, for a positive number without leading
    // zero. The file is read by the shell: anything but digits stays out.
    const char* number = getProperty("TerminalNumber");
    bool positive = number[0] > '0' && std::strspn(number, "0123456789") == std::strlen(number);
    std::string hostName = positive ? std::string("posClient") + number : std::string();
    std::string text;
    addSetting(text, "DHCLIENT_BIN", "");
    addSetting(text, "DHCLIENT_DEBUG", "yes");
    addSetting(text, "DHCLIENT_SET_HOSTNAME", "yes");
    addSetting(text, "DHCLIENT_MODIFY_RESOLV_CONF", "yes");
    addSetting(text, "DHCLIENT_SET_DEFAULT_ROUTE", "yes");
    addSetting(text, "DHCLIENT_MODIFY_NTP_CONF", "yes");
    addSetting(text, "DHCLIENT_MODIFY_NIS_CONF", "yes");
    addSetting(text, "DHCLIENT_SET_DOMAINNAME", "yes");
    addSetting(text, "DHCLIENT_KEEP_SEARCHLIST", "no");
    addSetting(text, "DHCLIENT_LEASE_TIME", "");
    addSetting(text, "DHCLIENT_TIMEOUT", "999999");
    addSetting(text, "DHCLIENT_REBOOT_TIMEOUT", "");
    addSetting(text, "DHCLIENT_HOSTNAME_OPTION", hostName);
    addSetting(text, "DHCLIENT_CLIENT_ID", hostName);
    addSetting(text, "DHCLIENT_VENDOR_CLASS_ID", "");
    addSetting(text, "DHCLIENT_RELEASE_BEFORE_QUIT", "no");
    addSetting(text, "DHCLIENT_SCRIPT_EXE", "");
    addSetting(text, "DHCLIENT_ADDITIONAL_OPTIONS", "");
    addSetting(text, "DHCLIENT_SLEEP", "0");
    addSetting(text, "DHCLIENT_WAIT_AT_BOOT", "5");
    addSetting(text, "DHCLIENT_MODIFY_SMB_CONF", "yes");
    // Without this file the installed system still boots with the default
    // DHCP settings; a new run would not make the file writable, so report
    // it and go on.
    if (replaceFileContents(sysPath(DHCP_CONFIG_FILE), text) != 0) {
        std::printf(_("The DHCP client settings file %s could not be written\n"), DHCP_CONFIG_FILE);
        std::fprintf(stderr, "writeDHCPConfig: cannot write =%s=: %s\n", DHCP_CONFIG_FILE, std::strerror(errno));
    }
}

void prepareForSLRS(const char* target)
{
    writeVendorConfig(target);

    const std::string retail = shellPath("/etc/opt/qor/retail");
    const std::string configRetail = shellPath("/config/etc/opt/qor/retail");
    const std::string roles = shellPath("/config/var/opt/qor/retail/config/repository/roles");
    const std::string commands[] = {
        "mkdir -p " + configRetail + " 2> /dev/null",
        "cp " + retail + "/posQOR_configuration " + configRetail + "/posQOR_configuration 2> /dev/null",
        "cp " + retail + "/Role* " + configRetail + " 2> /dev/null",
        "cp " + retail + "/posQOR_global " + configRetail + " 2> /dev/null",
        "mkdir -p " + shellPath("/config/usr/sbin") + " 2> /dev/null",
        "cp " + retail + "/posQOR_properties " + shellPath("/config/usr/sbin/posQOR_properties") + " 2> /dev/null",
        "mkdir -p " + roles + " 2> /dev/null",
        "cp " + retail + "/Role* " + roles,
        "cp " + retail + "/localtime " + shellPath("/config/etc/localtime") + " 2> /dev/null",
        "mkdir -p " + shellPath("/config/var/opt/qor/retail/stn") + " 2> /dev/null",
        "test -f " + retail + "/posDictionary.dat && mv " + retail + "/posDictionary.dat "
            + shellPath("/config/var/opt/qor/retail/stn"),
        "mkdir -p " + shellPath("/config/etc/sysconfig/network") + " 2> /dev/null",
    };
    // Each command's result is left alone: a missing source only leaves its
    // copy absent.
    for (const std::string& command : commands) {
        int ignored = std::system(command.c_str());
        (void)ignored;
    }
    writeDHCPConfig();
}

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    openTrace();
    std::fprintf(stderr, "termsetup - main() rev2\n");
    const char* target = argc >= 2 ? argv[1] : DEFAULT_TARGET;
    prepareForNLS();
    std::printf("%s", _("Running Vendor Extension Program\n"));
    getEnvTableVariablesVH();
    sayEnvTableVariables();
    requireBootEnvironment();
    getSTNID();
    forkAndWait();

    connectionTest();
    getQORConfiguration();
    std::printf("STNID = %s\n", STNID);
    storeRoleFile();
    getTerminalNumber();
    getDiskPartition();
    setSTNProperties();

    prepareForSLRS(target);
    return 0;
}
