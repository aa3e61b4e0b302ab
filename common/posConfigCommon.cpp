#include "posConfigCommon.h"

#include "bootIdentity.h"
#include "choice.h"
#include "pacing.h"
#include "prepareForNLS.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

const char* posConfigFileName = "/etc/opt/qor/retail/posQOR_configuration";
const char* posConfigGlobalFileName = "/etc/opt/qor/retail/posQOR_global";
const char* defaultPropertiesFileName = "/etc/opt/qor/retail/posQOR_default_stnc";

// ============================================================================
// Console and process utilities
// ============================================================================

namespace
{

// A worker that ends sooner than this is restarted only after a pause, so a
// worker that fails at once cannot turn the supervisor into a busy loop.
constexpr auto QUICK_FAILURE = std::chrono::seconds(1);
constexpr unsigned long RESTART_PAUSE_MS = 1000;

const char diskNames[2][MAX_UNIT][4] = {
    { "hda", "hdb", "hdc", "hdd", "hde", "hdf" },
    { "sda", "sdb", "sdc", "sdd", "sde", "sdf" },
};

} // namespace

void forkAndWait()
{
    for (;;) {
        auto started = std::chrono::steady_clock::now();
        // Output still buffered here would be written again by every worker.
        std::fflush(nullptr);
        pid_t child = fork();
        if (child == 0)
            return;
        if (child < 0) {
            std::fprintf(stderr, "Cannot create child process errno=%d, retrying\n", errno);
            waitMilliseconds(RESTART_PAUSE_MS);
            continue;
        }
        int status = 0;
        pid_t ended;
        do {
            ended = waitpid(child, &status, 0);
        } while (ended < 0 && errno == EINTR);
        if (ended < 0) {
            std::fprintf(stderr, "Cannot wait for child process errno=%d\n", errno);
            std::exit(1);
        }
        if (WIFSIGNALED(status)) {
            std::fprintf(stderr, "Abnormal child process termination : %x\n", static_cast<unsigned>(status));
        } else if (WIFEXITED(status)) {
            if (WEXITSTATUS(status) == 0)
                std::exit(0);
            std::fprintf(stderr, "Child process exited with rc=%d\n", WEXITSTATUS(status));
        } else {
            continue;
        }
        if (std::chrono::steady_clock::now() - started < QUICK_FAILURE)
            waitMilliseconds(RESTART_PAUSE_MS);
    }
}

void cleanupAndExit(int exitValue)
{
    choiceCleanup();
    std::exit(exitValue);
}

void ensureFileEndsWithLinefeed(const char* fileName)
{
    if (fileName == nullptr)
        return;
    FILE* file = std::fopen(fileName, "r+be");
    if (file == nullptr)
        return;
    int last = EOF;
    if (std::fseek(file, -1, SEEK_END) == 0)
        last = std::fgetc(file);
    std::fclose(file);
    // An empty file has no last byte and stays empty.
    if (last == EOF || last == '\n')
        return;
    FILE* append = std::fopen(fileName, "abe");
    if (append == nullptr)
        return;
    std::fputc('\n', append);
    std::fclose(append);
}

void sayEnvTableVariables()
{
    auto shown = [](const char* value) { return value ? value : "(null)"; };
    std::printf("TSERVER = %s\n", shown(TSERVER));
    std::printf("DHCPCHADDR = %s\n", shown(DHCPCHADDR));
    std::printf("productBIOS = %s\n", shown(productBIOS));
    std::printf("productID = %s\n", shown(productID));
}

const char* getDiskName(int busTech, int unit)
{
    if (busTech < 0 || busTech > 1 || unit < 0 || unit >= MAX_UNIT)
        return nullptr;
    return diskNames[busTech][unit];
}

int pauseForKey()
{
    std::printf("%s", _("Press any key to continue\n"));
    std::fflush(stdout);
    std::getchar();
    return 0;
}

int strange_strcmp(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        // A backslash in b escapes the character after it while a has
        // characters left; that character is then compared as itself.
        if (*a != '\0' && *b == '\\' && b[1] != '\0')
            ++b;
        signed char ca = static_cast<signed char>(*a);
        signed char cb = static_cast<signed char>(*b);
        if (ca != cb)
            return ca > cb ? 1 : -1;
        if (ca == '\0')
            return 0;
    }
}

// ============================================================================
// Alarm
// ============================================================================

void alarmTone(int nSeconds, const char* videoMsg, const char* posDisplayMsg)
{
    if (which_STN == WHICH_STN_STNC)
        ClearAllDisplays();
    if (videoMsg != nullptr) {
        std::printf("%s\n", videoMsg);
        std::fflush(stdout);
    }
    std::system("setterm -blen 1000");
    auto oneSecond = [posDisplayMsg] {
        if (which_STN == WHICH_STN_STNC && posDisplayMsg != nullptr) {
            for (int i = 0; i < 4; ++i) {
                waitMilliseconds(250);
                marquee(posDisplayMsg);
            }
        } else {
            waitSeconds(1);
        }
    };
    for (int cycle = 0; cycle < nSeconds / 2; ++cycle) {
        std::system("setterm -bfreq 800");
        std::fputc('\a', stdout);
        std::fflush(stdout);
        oneSecond();
        std::system("setterm -bfreq 600");
        std::fputc('\a', stdout);
        std::fflush(stdout);
        oneSecond();
    }
}

// ============================================================================
// Role catalogue and role selection
// ============================================================================

#include "disk.h"
#include "freeRam.h"
#include "properties.h"
#include "remoteProperty.h"
#include "sysPath.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace
{

constexpr const char* ROLE_DIRECTORY = "/etc/opt/qor/retail";
constexpr const char* ROLES4C = "/etc/opt/qor/retail/Roles4c";
constexpr const char* ROLES_FILE = "/etc/opt/qor/retail/Roles";
constexpr const char* LINUXRC_ARCHIVE = "/etc/nlpos/linuxrc/testball.tar.gz";
constexpr const char* LINUXRC_TAR = "/etc/nlpos/linuxrc/testball.tar";
constexpr const char* TFTPBOOT_ARCHIVE = "/tftpboot/boot/testball.tar.gz";
constexpr const char* REBOOT_PROGRAM = "/sbin/reboot";

// Shell commands that copy a file are formed in this many bytes.
constexpr std::size_t COMMAND_SIZE = 128;
// The older catalogue is read line by line, at most this many bytes a read.
constexpr int ROLES_LINE_SIZE = 255;
// A catalogue cannot name more roles than the property table can hold.
constexpr int MAX_ROLES = MAX_PROPERTIES;
// Registered role names are read into this many bytes.
constexpr int ROLE_NAME_SIZE = 256;
// Seconds the operator has to read why the run cannot go on.
constexpr unsigned int STOP_PAUSE_SECONDS = 6;
// A reboot that returns is given this long to take effect before the run
// ends and the supervisor starts it again.
constexpr unsigned int REBOOT_GRACE_SECONDS = 10;

int numberOfDefinedRoles = -1;
// This machine's terminal number once found or chosen; 0 while unknown.
int terminalNumber = 0;

// One role of the catalogue. The offered roles are kept in a list ordered
// from the highest role number down, so no node needs a link of its own.
struct rsp_s {
    std::string roleFileName;
    std::string roleName;
    std::string roleDescription;
};
// Chosen roles live until the process ends: setRoleMenu hands out pointers
// into them.
std::deque<rsp_s> roleEntries;

void runCommand(const std::string& command)
{
    std::fflush(stdout);
    std::system(command.c_str());
}

bool fileExists(const char* absolutePath)
{
    return ::access(sysPath(absolutePath).c_str(), F_OK) == 0;
}

// Runs "/sbin/reboot -f -i"; when the machine is still running afterwards the
// run ends with exitValue once the reboot had time to take effect, so the
// flow never goes on without what it stopped for.
[[noreturn]] void rebootAndEnd(int exitValue)
{
    runCommand(shellPath(REBOOT_PROGRAM) + " -f -i");
    waitSeconds(REBOOT_GRACE_SECONDS);
    std::fprintf(stderr, "reboot did not take effect, ending the run\n");
    cleanupAndExit(exitValue);
}

// Copies source over the terminal's configuration file and appends the
// store-wide file, each part ending in a line feed. The copy command is
// formed in COMMAND_SIZE bytes as it would run without a root; a command
// that does not fit is not run, and the run ends.
void installConfiguration(const char* source)
{
    char command[COMMAND_SIZE];
    std::string sourceWord = shellWord(source);
    std::string targetWord = shellWord(posConfigFileName);
    int length = std::snprintf(command, sizeof command, "cp %s %s", sourceWord.c_str(), targetWord.c_str());
    std::fprintf(stderr, "\ncp =%s= (dec %d)    =%s=\n", source, static_cast<int>(source[0]), posConfigFileName);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) {
        std::fprintf(stderr, "copy command longer than %zu bytes, not run: cp %s %s\n", COMMAND_SIZE - 1,
            sourceWord.c_str(), targetWord.c_str());
        std::printf(_("The configuration file %s cannot be copied: its name is too long.\n"), source);
        waitSeconds(STOP_PAUSE_SECONDS);
        cleanupAndExit(-1);
    }
    std::string configuration = sysPath(posConfigFileName);
    runCommand("cp " + shellPath(source) + " " + shellWord(configuration));
    ensureFileEndsWithLinefeed(configuration.c_str());
    runCommand("cat " + shellPath(posConfigGlobalFileName) + " >> " + shellWord(configuration) + " 2> /dev/null");
    ensureFileEndsWithLinefeed(configuration.c_str());
}

std::string roleKey(const char* format, int number)
{
    char key[128];
    std::snprintf(key, sizeof key, format, number);
    return key;
}

// Stops the run when the catalogue offers no role to choose: the terminal is
// not registered with an empty role. The supervisor starts the run again, so
// a repaired catalogue is picked up.
[[noreturn]] void stopForMissingRoles()
{
    std::printf(
        _("The role catalogue in %s defines no role (check Roles.count and the role names).\n"), ROLE_DIRECTORY);
    std::printf("%s", _("The terminal cannot be configured until the store server provides roles.\n"));
    std::fprintf(stderr, "no role to choose, ending the run\n");
    waitSeconds(STOP_PAUSE_SECONDS);
    cleanupAndExit(-1);
}

// A role can be offered when it has a name that fits on one request line.
bool isUsableRoleName(const std::string& name)
{
    return !name.empty() && name.find_first_of("\r\n") == std::string::npos;
}

} // namespace

void getQORConfiguration()
{
    if (fileExists(LINUXRC_ARCHIVE)) {
        runCommand("mkdir -p " + shellPath(ROLE_DIRECTORY) + " >> /dev/null 2>&1");
        runCommand("gunzip " + shellPath(LINUXRC_ARCHIVE));
        runCommand("tar -mxf " + shellPath(LINUXRC_TAR) + " -C " + shellPath(ROLE_DIRECTORY) + " >> /dev/null 2>&1");
        runCommand("rm " + shellPath(LINUXRC_TAR) + " >> /dev/null 2>&1");
        return;
    }
    if (fileExists(TFTPBOOT_ARCHIVE)) {
        runCommand(
            "tar -mxzf " + shellPath(TFTPBOOT_ARCHIVE) + " -C " + shellPath(ROLE_DIRECTORY) + " >> /dev/null 2>&1");
        return;
    }
    // A store that ships only the newer catalogue has one as well.
    if (fileExists(ROLES_FILE) || fileExists(ROLES4C))
        return;
    std::printf(_("An error occurred opening data file %s\n"), "testball.tar.gz");
    waitSeconds(STOP_PAUSE_SECONDS);
    if (which_STN == WHICH_STN_SSTN)
        cleanupAndExit(-1);
    rebootAndEnd(-1);
}

int getNumberOfDefinedRoles()
{
    if (numberOfDefinedRoles >= 0)
        return numberOfDefinedRoles;
    int count = 0;
    if (isExist(ROLES4C)) {
        getProperties(ROLES4C);
        count = getPropertyInt("Roles.count");
    } else if (FILE* roles = std::fopen(sysPath(ROLES_FILE).c_str(), "re")) {
        char line[ROLES_LINE_SIZE] = "";
        bool atLineStart = true;
        for (;;) {
            char* rc = std::fgets(line, sizeof line, roles);
            std::fprintf(stderr, "scanf rc=%p *%s*\n", static_cast<void*>(rc), line);
            if (rc == nullptr)
                break;
            // Only the first piece of a line longer than one read can name a role.
            if (atLineStart && std::strncmp(line, "Role", 4) == 0 && std::strlen(line) > 7 && line[7] == '=')
                ++count;
            std::size_t length = std::strlen(line);
            bool lineEnds = length > 0 && line[length - 1] == '\n';
            if (!lineEnds && atLineStart && length == sizeof line - 1)
                std::fprintf(stderr, "Roles line longer than %d bytes, rest ignored\n", ROLES_LINE_SIZE - 1);
            atLineStart = lineEnds;
        }
        std::fclose(roles);
        std::fprintf(stderr, "Identified %d roles files\n", count);
    } else {
        std::fprintf(stderr, "Unable to read Roles file\n");
        count = 1;
    }
    if (count < 0) {
        std::fprintf(stderr, "Role count %d below 0, using 0\n", count);
        count = 0;
    } else if (count > MAX_ROLES) {
        std::fprintf(stderr, "Role count %d above %d, using %d\n", count, MAX_ROLES, MAX_ROLES);
        count = MAX_ROLES;
    }
    numberOfDefinedRoles = count;
    return numberOfDefinedRoles;
}

char* getRole()
{
    int number = getTerminalNumber();
    if (number == 0)
        return nullptr;
    std::string key = roleKey("posClient.%d.role", number);
    // Room for one byte beyond the limit, so a longer name shows as such.
    char registered[ROLE_NAME_SIZE + 2] = {};
    if (getRemoteProperty(registered, ROLE_NAME_SIZE + 1, key.c_str()) != 0 || registered[0] == '\0')
        return nullptr;
    if (std::strlen(registered) >= ROLE_NAME_SIZE) {
        // A cut name must not be compared, nor the records erased for it.
        std::fprintf(stderr, "Registered role of %s longer than %d bytes, ignored\n", key.c_str(), ROLE_NAME_SIZE - 1);
        return nullptr;
    }
    int count = getNumberOfDefinedRoles();
    if (count == 0) {
        // An empty catalogue says nothing about the registered role.
        std::fprintf(stderr, "No role defined, registered role =%s= not checked\n", registered);
        return nullptr;
    }
    std::string found;
    if (isExist(ROLES4C)) {
        std::fprintf(stderr, "Found new %s\n", ROLES4C);
        getProperties(ROLES4C);
        for (int n = 1; n <= count && found.empty(); ++n) {
            std::string roleNumberKey = roleKey("Role%03d", n);
            const char* name = getPropertyString(roleNumberKey.c_str());
            std::fprintf(stderr, "%d.%s : comparing =%s= to =%s=\n", n, roleNumberKey.c_str(), name, registered);
            if (std::strcmp(name, registered) == 0)
                found = roleKey("/etc/opt/qor/retail/Role%03d", n);
        }
    } else {
        for (int n = 1; n <= count && found.empty(); ++n) {
            std::string path = roleKey("/etc/opt/qor/retail/Role%03d", n);
            if (!isExist(path.c_str()))
                break;
            getProperties(path.c_str());
            const char* name = getPropertyString("TerminalRole.name");
            std::fprintf(stderr, "Compare =%s= to =%s=\n", name, registered);
            if (std::strcmp(name, registered) == 0)
                found = path;
        }
    }
    if (found.empty()) {
        std::fprintf(stderr, "Registered role not found, erasing terminal records from server\n");
        removeTerminalNumber(number);
        // The number is no longer this machine's: the next lookup starts over.
        terminalNumber = 0;
        return nullptr;
    }
    char* result = strdup(found.c_str());
    std::fprintf(stderr, "Registered role value is =%s= (ptr %p)\n", found.c_str(), static_cast<void*>(result));
    return result;
}

char* setRoleMenu()
{
    int count = getNumberOfDefinedRoles();
    // The offered roles, highest role number first.
    std::vector<rsp_s> offered;
    bool newCatalogue = isExist(ROLES4C);
    if (newCatalogue)
        getProperties(ROLES4C);
    for (int n = 1; n <= count; ++n) {
        rsp_s entry;
        entry.roleFileName = roleKey("/etc/opt/qor/retail/Role%03d", n);
        if (newCatalogue) {
            entry.roleName = getPropertyString(roleKey("Role%03d", n).c_str());
            entry.roleDescription = getPropertyString(roleKey("Role%03d.description", n).c_str());
        } else {
            // A missing role file would only repeat the role loaded before it.
            if (!isExist(entry.roleFileName.c_str())) {
                std::fprintf(stderr, "Role file %s missing, not offered\n", entry.roleFileName.c_str());
                continue;
            }
            getProperties(entry.roleFileName.c_str());
            entry.roleName = getPropertyString("TerminalRole.name");
            entry.roleDescription = getPropertyString("TerminalRole.description");
        }
        if (!isUsableRoleName(entry.roleName)) {
            std::fprintf(stderr, "Role %d has no usable name =%s=, not offered\n", n, entry.roleName.c_str());
            continue;
        }
        offered.insert(offered.begin(), std::move(entry));
    }
    if (offered.empty())
        stopForMissingRoles();

    std::size_t chosen = 0;
    if (offered.size() > 1) {
        CHOICES* choices = choiceAlloc(static_cast<int>(offered.size()));
        if (choices == nullptr) {
            std::fprintf(stderr, "No memory for the role menu\n");
            cleanupAndExit(-1);
        }
        // The menu cuts long option texts in place; the role keeps its full
        // name for the registration.
        std::vector<std::string> options;
        options.reserve(offered.size());
        for (std::size_t i = 0; i < offered.size(); ++i) {
            options.push_back(offered[i].roleName);
            choices->choices[i].option = options.back().data();
            choices->choices[i].description = offered[i].roleDescription.data();
            choices->choices[i].callerParm = static_cast<int>(i);
        }
        int position = choice(_("Set Terminal Role"), choices, zero);
        if (position >= 0 && position < choices->inUseNumberOfChoices)
            chosen = static_cast<std::size_t>(choices->choices[position].callerParm);
        choiceFree(choices);
    }
    rsp_s& role = roleEntries.emplace_back(std::move(offered[chosen]));
    roleMenuSelection = strdup(role.roleName.c_str());
    std::fprintf(stderr, "Role file name is =%s=\n", role.roleFileName.c_str());
    return role.roleFileName.data();
}

int zero()
{
    return 0;
}

void setRole(const char* roleFileName)
{
    if (roleFileName == nullptr || roleFileName[0] == '\0' || std::strcmp(roleFileName, "null") == 0) {
        std::fprintf(stderr, "roleFileName was null\n");
        doSTN();
        return;
    }
    installConfiguration(roleFileName);
    getProperties(posConfigFileName);
    int number = getTerminalNumber();
    if (number != 0)
        setPropertyInt("TerminalNumber", number);
}

void storeRoleFile()
{
    char* roleFileName = getRole();
    setRole(roleFileName);
    std::free(roleFileName);
    getProperties(posConfigFileName);
}

// ============================================================================
// Terminal number assignment
// ============================================================================

namespace
{

// Replies to "TBS=" and "TBM=" are read into this many bytes: three digits
// and the line feed.
constexpr int LOOKUP_REPLY_SIZE = 4;
// The reply to "AKT=" is read into this many bytes.
constexpr int KNOWN_LIST_SIZE = 4004;
constexpr int TIMESTAMP_SIZE = 64;
// Number lookups answer with three digits at most, so no higher number can
// be offered.
constexpr int MAX_TERMINAL_NUMBER = 999;
constexpr int OPTION_SIZE = 32;
// The server retries after this pause when every number is in use.
constexpr unsigned int FULL_RANGE_PAUSE_SECONDS = 7;

char regenerationTimestamp[TIMESTAMP_SIZE];

// The number the service records for this machine under "TBS=" or "TBM=";
// 0 for none.
int lookupTerminalNumber(int (*lookup)(const char*, char*, int*), const char* identity, const char* request)
{
    // One byte more than a reply may hold, and the terminator after it, so a
    // reply that is too long shows as such instead of being cut.
    char reply[LOOKUP_REPLY_SIZE + 2] = {};
    int length = LOOKUP_REPLY_SIZE + 1;
    if (lookup(identity, reply, &length) != 0)
        return 0;
    if (std::strlen(reply) >= LOOKUP_REPLY_SIZE) {
        std::fprintf(stderr, "%s reply =%s= longer than %d digits, ignored\n", request, reply, LOOKUP_REPLY_SIZE - 1);
        return 0;
    }
    int number = 0;
    if (std::sscanf(reply, "%d", &number) != 1 || number < 0)
        return 0;
    return number;
}

} // namespace

int getTerminalNumber()
{
    if (terminalNumber != 0)
        return terminalNumber;
    if (which_STN != WHICH_STN_SSTN)
        terminalNumber = getPropertyInt("TerminalNumber");
    bool foundOnService = false;
    if (terminalNumber == 0) {
        terminalNumber = lookupTerminalNumber(getTerminalNumberForSerialNumber, SMBIOS_ID, "TBS=");
        if (terminalNumber == 0)
            terminalNumber = lookupTerminalNumber(getTerminalNumberForMac, DHCPCHADDR, "TBM=");
        foundOnService = terminalNumber != 0;
    }
    if (foundOnService) {
        if (which_STN == WHICH_STN_HOOK) {
            setPropertyInt("TerminalNumber", terminalNumber);
        } else {
            removeTerminalNumber(terminalNumber);
            terminalNumber = 0;
        }
    }
    if (terminalNumber == 0) {
        doSTN();
        terminalNumber = getPropertyInt("TerminalNumber");
    }
    return terminalNumber;
}

std::vector<int> freeTerminalNumbers(int lowest, int highest, const int* known)
{
    std::vector<int> numbers;
    for (int number = std::max(lowest, 1); number <= highest; ++number) {
        if (!findIntInArray(known, number))
            numbers.push_back(number);
        if (number == INT_MAX)
            break;
    }
    return numbers;
}

int setTerminalNumberMenu()
{
    int highest = getHighestTerminalNumber();
    int lowest = getLowestTerminalNumber();
    if (highest > MAX_TERMINAL_NUMBER) {
        std::fprintf(stderr, "Highest terminal number %d above %d, offering up to %d\n", highest, MAX_TERMINAL_NUMBER,
            MAX_TERMINAL_NUMBER);
        highest = MAX_TERMINAL_NUMBER;
    }

    // The timestamp is taken before the list, so a change in between shows up
    // at the first check.
    std::memset(regenerationTimestamp, 0, sizeof regenerationTimestamp);
    int timestampLength = TIMESTAMP_SIZE;
    getRegenerationTimestamp(regenerationTimestamp, &timestampLength);

    // Room for one byte beyond the limit, so a longer list shows as such.
    char list[KNOWN_LIST_SIZE + 2] = {};
    int listLength = KNOWN_LIST_SIZE + 1;
    int* known = nullptr;
    if (getAllKnownTerminals(list, &listLength) == 0) {
        std::size_t length = std::strlen(list);
        if (length >= static_cast<std::size_t>(KNOWN_LIST_SIZE)) {
            // The list may end in a cut number; that one is not trusted.
            std::fprintf(
                stderr, "Known terminal list longer than %d bytes, last number dropped\n", KNOWN_LIST_SIZE - 1);
            while (length > 0 && list[length - 1] >= '0' && list[length - 1] <= '9')
                list[--length] = '\0';
        }
        known = csvParseAtoI(list);
    }
    std::fprintf(stderr, "highest=%d, lowest=%d\n", highest, lowest);

    std::vector<int> numbers = freeTerminalNumbers(lowest, highest, known);
    std::free(known);
    if (numbers.empty()) {
        noValidTerminalNumbersAvailable();
        cleanupAndExit(-3);
    }

    CHOICES* choices = choiceAlloc(static_cast<int>(numbers.size()));
    if (choices == nullptr) {
        std::fprintf(stderr, "No memory for the terminal number menu\n");
        cleanupAndExit(-1);
    }
    std::vector<std::array<char, OPTION_SIZE>> options(numbers.size());
    static char description[] = " ";
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        std::snprintf(options[i].data(), OPTION_SIZE, "%s %d", _("Terminal Number"), numbers[i]);
        choices->choices[i].option = options[i].data();
        choices->choices[i].description = description;
        choices->choices[i].callerParm = numbers[i];
    }
    int position = choice(_("Choose terminal number"), choices, checkTimestamp);
    int number = 0;
    if (position >= 0 && position < choices->inUseNumberOfChoices)
        number = choices->choices[position].callerParm;
    choiceFree(choices);
    setPropertyInt("TerminalNumber", number);
    return number;
}

int checkTimestamp()
{
    char current[TIMESTAMP_SIZE] = {};
    int length = TIMESTAMP_SIZE;
    getRegenerationTimestamp(current, &length);
    if (std::memcmp(current, regenerationTimestamp, TIMESTAMP_SIZE) != 0) {
        std::fprintf(stderr, "Known terminal list was modified, refreshing\n");
        return 5;
    }
    return 0;
}

int getHighestTerminalNumber()
{
    int highest = getPropertyInt("HighestTerminalNumber");
    if (highest > 0)
        return highest;
    std::fprintf(stderr, "Highest Terminal Number unknown, using 99\n");
    return 99;
}

int getLowestTerminalNumber()
{
    int lowest = getPropertyInt("LowestTerminalNumber");
    if (lowest <= 0) {
        std::fprintf(stderr, "Lowest terminal number unknown, using 1\n");
        lowest = 1;
    }
    int highest = getHighestTerminalNumber();
    if (lowest > highest) {
        std::fprintf(stderr, "Lowest terminal number %d above highest %d, using 1\n", lowest, highest);
        return 1;
    }
    return lowest;
}

int* csvParseAtoI(const char* s)
{
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    std::string_view text = s != nullptr ? s : "";
    int count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isDigit(text[i]) && (i == 0 || !isDigit(text[i - 1])))
            ++count;
    }
    auto* numbers = static_cast<int*>(std::malloc(sizeof(int) * (static_cast<std::size_t>(count) + 1)));
    if (numbers == nullptr)
        return nullptr;
    numbers[0] = count;
    int filled = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (!isDigit(text[i])) {
            ++i;
            continue;
        }
        // Runs too long for an int stay at INT_MAX, a number no range holds.
        long long value = 0;
        for (; i < text.size() && isDigit(text[i]); ++i)
            value = std::min<long long>(value * 10 + (text[i] - '0'), INT_MAX);
        numbers[++filled] = static_cast<int>(value);
    }
    return numbers;
}

int findIntInArray(const int* iArrayPtr, int i)
{
    if (iArrayPtr == nullptr)
        return 0;
    for (int n = 1; n <= iArrayPtr[0]; ++n) {
        if (iArrayPtr[n] == i)
            return 1;
    }
    return 0;
}

void noValidTerminalNumbersAvailable()
{
    std::string inUse = _("All valid terminal numbers are in use.");
    std::string remedy = _("Remove unused terminal numbers or expand the range of valid numbers to continue.");
    std::string screenMessage = inUse + "\n" + remedy + "\n\n";
    std::string displayMessage = inUse + "   ...   " + remedy + "   ";
    if (which_STN == WHICH_STN_SSTN) {
        waitSeconds(FULL_RANGE_PAUSE_SECONDS);
        cleanupAndExit(-3);
    }
    alarmTone(120, screenMessage.c_str(), displayMessage.c_str());
    rebootAndEnd(-3);
}

// ============================================================================
// Load method and STN properties
// ============================================================================

namespace
{

constexpr unsigned long STNC_SAFETY_NET_MIN = 194560; // kB, 190 MB
constexpr unsigned long STNJ_SAFETY_NET_MIN = 512000; // kB, 500 MB

struct PropertySetting {
    const char* name;
    const char* value;
};

constexpr PropertySetting STNC_HD_PROPERTIES[] = {
    { "HardDrive.0.number", "0" },
    { "HardDrive.0.swapPartitionSize", "100" },
    { "HardDrive.0.Partition.1.size", "25" },
    { "HardDrive.0.Partition.1.mountPoint", "/" },
    { "HardDrive.0.Partition.1.loadImage", "posQOR_STNC" },
};
constexpr PropertySetting STNJ_HD_PROPERTIES[] = {
    { "HardDrive.0.number", "0" },
    { "HardDrive.0.swapPartitionSize", "500" },
    { "HardDrive.0.Partition.1.size", "25" },
    { "HardDrive.0.Partition.1.mountPoint", "/" },
    { "HardDrive.0.Partition.1.loadImage", "posQOR_STNJ" },
};
constexpr PropertySetting STNC_RAM_PROPERTIES[] = {
    { "RAMDrive.1.mountPoint", "/" },
    { "RAMDrive.1.loadImage", "posQOR_STNC" },
};
constexpr PropertySetting STNJ_RAM_PROPERTIES[] = {
    { "RAMDrive.1.mountPoint", "/" },
    { "RAMDrive.1.loadImage", "posQOR_STNJ" },
};

int is7352Cache = -1;

} // namespace

stnMethod chooseStnMethod(unsigned long totalMemory, bool model7352, unsigned long imageSize, int (*hardDrivePresent)())
{
    unsigned long minimum = model7352 ? STNC_SAFETY_NET_MIN : STNJ_SAFETY_NET_MIN;
    // One and a half times the image; a size too large for that needs more
    // memory than any machine has.
    unsigned long safetyNet = imageSize <= ULONG_MAX / 3 * 2 ? imageSize + imageSize / 2 : ULONG_MAX;
    safetyNet = std::max(safetyNet, minimum);
    if (totalMemory >= safetyNet) {
        std::fprintf(stderr, "*** More than %luMB Memory, using ram disk\n", safetyNet / 1024);
        return model7352 ? StncRam : StnjRam;
    }
    if (!hardDrivePresent()) {
        std::fprintf(stderr, "*** Less than %luMB Memory, no HD available - use Lite\n", safetyNet / 1024);
        return Lite;
    }
    if (totalMemory < imageSize / 2) {
        std::fprintf(stderr, "*** Memory Constrained (less than %luMB), use Lite\n", imageSize / 2048);
        return Lite;
    }
    std::fprintf(stderr, "*** Less than %luMB Memory, must use hard drive\n", safetyNet / 1024);
    return model7352 ? StncHD : StnjHD;
}

stnMethod determineStnMethod()
{
    unsigned long totalMemory = getTotalMemory();
    char forceInline[2] = {};
    getRemoteProperty(forceInline, 1, "STNC.ForceInline");
    if (forceInline[0] == 'T') {
        std::fprintf(stderr, "*** Lite version forced\n");
        return Lite;
    }
    bool model7352 = is7352() != 0;
    unsigned long imageSize = getImageSize(model7352 ? "posQOR_STNC" : "posQOR_STNJ");
    return chooseStnMethod(totalMemory, model7352, imageSize, isHardDrivePresent);
}

void doSTN()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    std::fprintf(stderr, "in doSTN()\n");
    runCommand("setterm -blank 0");
    stnMethod method = Lite;
    if (which_STN == WHICH_STN_HOOK)
        method = determineStnMethod();
    bool loadStn = which_STN == WHICH_STN_HOOK && method != Lite;
    const char* configuration;
    if (loadStn) {
        std::fprintf(stderr, "Should load stn\n");
        configuration = defaultPropertiesFileName;
    } else {
        configuration = setRoleMenu();
    }
    installConfiguration(configuration);
    getProperties(posConfigFileName);
    setSTNProperties();
    if (loadStn) {
        appendPropertiesForSTN(method);
    } else {
        setTerminalNumberMenu();
        announceTerminalRoleAndNumber();
    }
    runCommand("setterm -blank 10");
}

void setSTNProperties()
{
    setPropertyString("STN.ServerIPAddress", TSERVER);
    setPropertyString("STN.MAC.0.Address", DHCPCHADDR);
    setPropertyString("STN.Product.Bios", productBIOS);
    setPropertyString("STN.Product.ID", productID);
    setPropertyString("STN.STNID", STNID);
    setPropertyString("STN.SerialNumber", SMBIOS_SerialNumber);
    setPropertyString("STN.SMBIOS_ID", SMBIOS_ID);
}

int is7352()
{
    if (is7352Cache < 0)
        is7352Cache = productID != nullptr && std::strstr(productID, "7352") != nullptr ? 1 : 0;
    return is7352Cache;
}

void appendPropertiesForSTN(stnMethod method)
{
    static bool done = false;
    if (done)
        return;
    done = true;
    std::fprintf(stderr, "Setting properties for STN (method-%d)\n", static_cast<int>(method));
    std::span<const PropertySetting> settings;
    switch (method) {
    case StncHD:
        settings = STNC_HD_PROPERTIES;
        break;
    case StncRam:
        settings = STNC_RAM_PROPERTIES;
        break;
    case StnjHD:
        settings = STNJ_HD_PROPERTIES;
        break;
    case StnjRam:
        settings = STNJ_RAM_PROPERTIES;
        break;
    default:
        break;
    }
    for (const PropertySetting& setting : settings)
        setPropertyString(setting.name, setting.value);
    std::fprintf(stderr, "DONE setting properties for STN\n");
}

// ============================================================================
// Image size of a configured image (boot images)
// ============================================================================

#include "imageStats.h"
#include "vendorConfig.h"

unsigned long getImageSize(const char* imgName)
{
    const char* requested = imgName != nullptr ? imgName : "";
    char* linkName = getLinkForName(requested);
    if (linkName == nullptr) {
        std::fprintf(stderr, "Unable to determine image size for %s\n", requested);
        return 0;
    }
    unsigned long size = getRealImageSize(linkName);
    std::fprintf(stderr, "Image %s (%s) size=%lu\n", requested, linkName, size);
    std::free(linkName);
    return size;
}
