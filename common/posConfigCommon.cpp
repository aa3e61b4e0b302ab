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

namespace {

// A worker that ends sooner than this is restarted only after a pause, so a
// worker that fails at once cannot turn the supervisor into a busy loop.
constexpr auto QUICK_FAILURE = std::chrono::seconds(1);
constexpr unsigned long RESTART_PAUSE_MS = 1000;

const char diskNames[2][MAX_UNIT][4] = {
    {"hda", "hdb", "hdc", "hdd", "hde", "hdf"},
    {"sda", "sdb", "sdc", "sdd", "sde", "sdf"},
};

} // namespace

void forkAndWait()
{
    for (;;) {
        auto started = std::chrono::steady_clock::now();
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
    bool previousWasEscape = false;
    while (*a != '\0' && *b != '\0') {
        if (*b == '\\' && !previousWasEscape && b[1] != '\0') {
            ++b;
            previousWasEscape = true;
            continue;
        }
        previousWasEscape = false;
        signed char ca = static_cast<signed char>(*a);
        signed char cb = static_cast<signed char>(*b);
        if (ca > cb)
            return 1;
        if (ca < cb)
            return -1;
        ++a;
        ++b;
    }
    signed char ca = static_cast<signed char>(*a);
    signed char cb = static_cast<signed char>(*b);
    if (ca > cb)
        return 1;
    if (ca < cb)
        return -1;
    return 0;
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

// ============================================================================
// Terminal number assignment
// ============================================================================

// ============================================================================
// Load method and STN properties
// ============================================================================

// ============================================================================
// Image size of a configured image (boot images)
// ============================================================================
