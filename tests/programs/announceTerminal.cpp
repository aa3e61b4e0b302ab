// Registers and announces a terminal in a fresh process, as doSTN does:
//   announceTerminal <properties file> <SMBIOS_ID> [role]
// TSERVER and DHCPCHADDR come from the environment; without a role argument
// no role was chosen.
#include "bootIdentity.h"
#include "posConfigCommon.h"
#include "properties.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 3)
        return 64;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    TSERVER = std::getenv("TSERVER");
    DHCPCHADDR = std::getenv("DHCPCHADDR");
    std::snprintf(SMBIOS_ID, sizeof SMBIOS_ID, "%s", argv[2]);
    roleMenuSelection = argc > 3 ? argv[3] : nullptr;
    getProperties(argv[1]);
    announceTerminalRoleAndNumber();
    return 0;
}
