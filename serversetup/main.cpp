// serversetup: gives the store server a role and a terminal number of its own
// in the store's terminal records, like any terminal, and marks its record as
// the server's. It writes no boot outputs.
#include "bootIdentity.h"
#include "connectionTest.h"
#include "posConfigCommon.h"
#include "prepareForNLS.h"
#include "properties.h"
#include "smbios.h"
#include "sysPath.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace
{

constexpr const char* LOG_FILE = "/var/opt/qor/retail/stn/sstn.log";
constexpr const char* REBUILD_COMMAND = "/usr/bin/posQOR_rebuildPosConfiguration";

// The boot identity of the server: the service runs on this machine, and the
// server has no boot environment of its own.
char serverAddress[] = "localhost";
char serverMacAddress[] = "00:00:00:00:00:00";
char serverBios[] = "not implemented";

// The trace goes to the log file, emptied at every start. When it cannot be
// opened the trace stays where standard error already was.
void openLog()
{
    int fd = ::open(sysPath(LOG_FILE).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::dup2(fd, STDERR_FILENO);
        if (fd != STDERR_FILENO)
            ::close(fd);
    }
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

} // namespace

// Sets the server's fixed identity, reads the SMBIOS tables and builds STNID.
void getSTNID()
{
    TSERVER = serverAddress;
    DHCPCHADDR = serverMacAddress;
    productBIOS = serverBios;
    getSMBIOS();
    std::string identity = std::string(DHCPCHADDR) + "," + SMBIOS_ID;
    if (identity.size() >= STNID_SIZE) {
        std::fprintf(stderr, "STNID of %zu characters cut to %d: =%s=\n", identity.size(),
            static_cast<int>(STNID_SIZE - 1), identity.c_str());
        identity.resize(STNID_SIZE - 1);
    }
    std::memcpy(STNID, identity.c_str(), identity.size() + 1);
    productID = SMBIOS_ModelType;
}

int main(int, char**)
{
    which_STN = WHICH_STN_SSTN;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    openLog();
    std::fprintf(stderr, "termsetup - main() rev2\n");
    prepareForNLS();

    // The store's configuration files are rebuilt first; how that went does
    // not change what this run does.
    int ignored = std::system(shellPath(REBUILD_COMMAND).c_str());
    (void)ignored;

    getSTNID();
    sayEnvTableVariables();
    forkAndWait();

    connectionTest();
    getQORConfiguration();
    std::printf("STNID = %s\n", STNID);
    storeRoleFile();
    getTerminalNumber();
    setSTNProperties();
    return 0;
}
