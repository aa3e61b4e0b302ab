// The announcement of the terminal number and role that the operator chose.
#include "bootIdentity.h"
#include "pacing.h"
#include "posConfigCommon.h"
#include "prepareForNLS.h"
#include "properties.h"
#include "remoteProperty.h"

#include <cstdio>
#include <cstring>

namespace
{

constexpr unsigned int REFUSED_PAUSE_SECONDS = 5;

// A field of the "STN=" request must not end the request line early.
bool fitsRequestLine(const char* name, const char* value)
{
    if (value == nullptr) {
        std::fprintf(stderr, "announceTerminalRoleAndNumber: %s is not set\n", name);
        return false;
    }
    if (std::strpbrk(value, "\n\r") != nullptr) {
        std::fprintf(stderr, "announceTerminalRoleAndNumber: %s =%s= holds a line end, not registered\n", name, value);
        return false;
    }
    return true;
}

// 0 once the service has recorded number, identity, MAC address and role.
int registerTerminal(const char* number, const char* role)
{
    if (!fitsRequestLine("role", role) || !fitsRequestLine("TerminalNumber", number)
        || !fitsRequestLine("SMBIOS_ID", SMBIOS_ID) || !fitsRequestLine("DHCPCHADDR", DHCPCHADDR))
        return -1;
    return setTerminalName(number, SMBIOS_ID, DHCPCHADDR, role);
}

// The server's record is marked as the server's; a failed mark is not
// worth a new run, so its result is left alone.
void markServer(const char* number)
{
    char key[64];
    int length = std::snprintf(key, sizeof key, "posClient.%s.isServer", number);
    if (length < 0 || static_cast<size_t>(length) >= sizeof key) {
        std::fprintf(stderr, "announceTerminalRoleAndNumber: number =%s= too long for the server mark\n", number);
        return;
    }
    setRemoteProperty(key, "1");
}

} // namespace

void announceTerminalRoleAndNumber()
{
    const char* role = roleMenuSelection;
    const char* number = getProperty("TerminalNumber");
    if (registerTerminal(number, role) != 0) {
        std::printf("%s\n", _("Failed to set terminal number"));
        std::printf("%s\n", _("Please try again"));
        std::fflush(stdout);
        waitSeconds(REFUSED_PAUSE_SECONDS);
        cleanupAndExit(1);
    }
    if (which_STN == WHICH_STN_SSTN) {
        markServer(number);
        std::printf("\n\n%3.3s - %s\n\n", number, role);
        return;
    }
    std::printf("%3.3s - %s", number, role);
}
