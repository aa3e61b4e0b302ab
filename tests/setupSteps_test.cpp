// The rules of the setup steps: load-method decision, terminal number
// arithmetic, number lists, role counting, identity properties.
#include "bootIdentity.h"
#include "fakeServer.h"
#include "pacing.h"
#include "posConfigCommon.h"
#include "properties.h"
#include "sandbox.h"
#include "shellCommandLog.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// Runs body in a child process whose root is the sandbox's, so the
// once-per-process caches start empty; gives back what body returned and what
// the child wrote to standard error.
struct FreshResult {
    std::string value;
    std::string err;
    std::string out;
    int exitStatus = -1;
};

// expectedStatus: the exit status the child must end with (0 when body returns).
FreshResult inFreshProcess(const Sandbox& box, const std::function<std::string()>& body, int expectedStatus = 0)
{
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        return { "pipe failed", "", "", -1 };
    std::string errPath = box.dir() + "/fresh-stderr";
    std::string outPath = box.dir() + "/fresh-stdout";
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        ::setenv("POSQOR_ROOT", box.root().c_str(), 1);
        // The designed pauses are not waited for.
        setWaitHook([](unsigned long) {});
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(err, 2);
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::fflush(stdout);
        ::dup2(out, 1);
        std::string value = body();
        std::fflush(stdout);
        std::fflush(stderr);
        if (::write(pipeEnds[1], value.data(), value.size()) < 0)
            _exit(2);
        _exit(0);
    }
    ::close(pipeEnds[1]);
    std::string value;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        value.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == expectedStatus) << "child status " << status;
    auto readAll = [](const std::string& path) {
        std::string text;
        if (FILE* file = std::fopen(path.c_str(), "re")) {
            for (int c; (c = std::fgetc(file)) != EOF;)
                text += static_cast<char>(c);
            std::fclose(file);
        }
        return text;
    };
    return { value, readAll(errPath), readAll(outPath), WIFEXITED(status) ? WEXITSTATUS(status) : -1 };
}

std::vector<int> numbersOf(const int* array)
{
    if (array == nullptr)
        return {};
    return std::vector<int>(array + 1, array + 1 + array[0]);
}

int hardDriveAnswer = 0;
int hardDriveQuestions = 0;
int askHardDrive()
{
    ++hardDriveQuestions;
    return hardDriveAnswer;
}

} // namespace

// ---- Load method ------------------------------------------------------------

TEST(LoadMethod, DecisionFollowsMemoryImageSizeAndHardDrive)
{
    struct Row {
        const char* name;
        unsigned long memory;
        bool model7352;
        unsigned long image;
        int hardDrive;
        stnMethod expected;
        const char* message;
    };
    const Row rows[] = {
        { "7352 small image, 256 MB: minimum safety net, RAM disk", 262144, true, 100000, 1, StncRam,
            "*** More than 190MB Memory, using ram disk\n" },
        { "other model, 400 MB image, 512 MB, hard drive", 524288, false, 409600, 1, StnjHD,
            "*** Less than 600MB Memory, must use hard drive\n" },
        { "other model, 400 MB image, 512 MB, no hard drive", 524288, false, 409600, 0, Lite,
            "*** Less than 600MB Memory, no HD available - use Lite\n" },
        { "image 2000000 kB, 512 MB, hard drive: memory constrained", 524288, false, 2000000, 1, Lite,
            "*** Memory Constrained (less than 976MB), use Lite\n" },
        { "no image sizes: 500 MB minimum, 1 GB memory", 1048576, false, 0, 0, StnjRam,
            "*** More than 500MB Memory, using ram disk\n" },
        { "memory exactly the safety net takes the RAM disk", 614400, false, 409600, 0, StnjRam,
            "*** More than 600MB Memory, using ram disk\n" },
        { "7352 below the minimum with a hard drive", 131072, true, 0, 1, StncHD,
            "*** Less than 190MB Memory, must use hard drive\n" },
        { "memory exactly half the image is not constrained", 1000000, false, 2000000, 1, StnjHD,
            "*** Less than 2929MB Memory, must use hard drive\n" },
        { "huge image size does not wrap the safety net", 1048576, false, ULONG_MAX / 3 * 2 + 2000, 0, Lite, nullptr },
    };
    for (const Row& row : rows) {
        hardDriveAnswer = row.hardDrive;
        testing::internal::CaptureStderr();
        stnMethod method = chooseStnMethod(row.memory, row.model7352, row.image, askHardDrive);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(method, row.expected) << row.name;
        if (row.message != nullptr) {
            EXPECT_EQ(err, row.message) << row.name;
        }
    }
}

TEST(LoadMethod, HardDriveIsNotProbedWhenMemorySuffices)
{
    hardDriveQuestions = 0;
    testing::internal::CaptureStderr();
    chooseStnMethod(4194304, false, 409600, askHardDrive);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(hardDriveQuestions, 0);
}

TEST(LoadMethod, ModelIs7352WhenProductIdContainsIt)
{
    Sandbox box;
    struct Row {
        const char* productId;
        const char* expected;
    } rows[] = { { "4852-E7352", "1" }, { "7352", "1" }, { "4852-E66", "0" }, { "735", "0" }, { nullptr, "0" } };
    for (const Row& row : rows) {
        FreshResult result = inFreshProcess(box, [&] {
            productID = const_cast<char*>(row.productId);
            return std::to_string(is7352());
        });
        EXPECT_EQ(result.value, row.expected) << (row.productId ? row.productId : "(null)");
    }
}

// ---- Terminal numbers ---------------------------------------------------------

TEST(TerminalNumbers, LookupOrderIsLocalThenSerialThenMac)
{
    struct Row {
        const char* name;
        const char* local; // "TerminalNumber" in the loaded file, or ""
        const char* bySerial;
        const char* byMac;
        int expected;
        std::vector<std::string> asked; // request kinds, in order
    };
    const Row rows[] = {
        { "local number wins", "7", "8\n", "9\n", 7, {} },
        { "serial lookup with leading zeros", "", "007\n", "9\n", 7, { "TBS=" } },
        { "empty serial reply leads to the MAC", "", "\n", "12\n", 12, { "TBS=", "TBM=" } },
        { "zero is no number", "", "0\n", "12\n", 12, { "TBS=", "TBM=" } },
        { "a cut four-digit reply is not taken", "", "1234", "12\n", 12, { "TBS=", "TBM=" } },
    };
    for (const Row& row : rows) {
        Sandbox box;
        FakeServer server;
        ASSERT_TRUE(server.ok());
        server.setResponder([&](std::string_view line) {
            return FakeServer::answer(line.starts_with("TBS=") ? row.bySerial : row.byMac);
        });
        box.writeFile("/etc/opt/qor/retail/posQOR_configuration",
            *row.local ? std::string("TerminalNumber=") + row.local + "\n" : "x=1\n");
        std::string address = server.address();
        FreshResult result = inFreshProcess(box, [&] {
            static char mac[] = "00:11:22:33:44:55";
            TSERVER = address.data();
            DHCPCHADDR = mac;
            std::snprintf(SMBIOS_ID, sizeof SMBIOS_ID, "MT.1.SN.2");
            getProperties("/etc/opt/qor/retail/posQOR_configuration");
            int first = getTerminalNumber();
            // The second call answers from the cache.
            return std::to_string(first) + " " + std::to_string(getTerminalNumber());
        });
        EXPECT_EQ(result.value, std::to_string(row.expected) + " " + std::to_string(row.expected)) << row.name;
        std::vector<std::string> kinds;
        for (const std::string& request : server.requests(row.asked.size()))
            kinds.push_back(request.substr(0, 4));
        EXPECT_EQ(kinds, row.asked) << row.name;
        // A number found on the service is kept in the terminal's file.
        EXPECT_NE(box.readFile("/etc/opt/qor/retail/posQOR_configuration")
                      .find("TerminalNumber=" + std::to_string(row.expected) + "\n"),
            std::string::npos)
            << row.name;
    }
}

TEST(TerminalNumbers, FreeNumbersAreTheRangeWithoutKnownOnes)
{
    struct Row {
        const char* name;
        int lowest;
        int highest;
        const char* known; // nullptr: no list
        std::vector<int> expected;
    };
    const Row rows[] = {
        { "range 1-5, known 1,3,9", 1, 5, "1,3,9", { 2, 4, 5 } },
        { "failed list request offers all", 3, 6, nullptr, { 3, 4, 5, 6 } },
        { "empty list", 1, 3, "", { 1, 2, 3 } },
        { "every number taken", 1, 3, "1,2,3", {} },
        { "duplicates count once", 1, 4, "2,2,2", { 1, 3, 4 } },
        { "known outside the range ignored", 10, 12, "1,2,13,99", { 10, 11, 12 } },
        { "single number range", 7, 7, "8", { 7 } },
        { "lowest above highest gives none", 9, 3, "", {} },
        { "top of int range does not overflow", INT_MAX - 1, INT_MAX, "", { INT_MAX - 1, INT_MAX } },
    };
    for (const Row& row : rows) {
        int* known = row.known ? csvParseAtoI(row.known) : nullptr;
        EXPECT_EQ(freeTerminalNumbers(row.lowest, row.highest, known), row.expected) << row.name;
        std::free(known);
    }
}

TEST(TerminalNumbers, CsvParseFindsEveryDigitRun)
{
    struct Row {
        const char* text;
        std::vector<int> expected;
    };
    const Row rows[] = {
        { "", {} },
        { "3,7, 12", { 3, 7, 12 } },
        { "a1b22", { 1, 22 } },
        { "-5", { 5 } },
        { "007", { 7 } },
        { "1\xc3\xa9"
          "2",
            { 1, 2 } },
        { "12\n34\r\n", { 12, 34 } },
        { "no digits", {} },
        { "99999999999999999999,4", { INT_MAX, 4 } },
    };
    for (const Row& row : rows) {
        int* numbers = csvParseAtoI(row.text);
        ASSERT_NE(numbers, nullptr) << row.text;
        EXPECT_EQ(numbers[0], static_cast<int>(row.expected.size())) << row.text;
        EXPECT_EQ(numbersOf(numbers), row.expected) << row.text;
        std::free(numbers);
    }
}

TEST(TerminalNumbers, FindSearchesOnlyTheListedElements)
{
    int array[] = { 2, 5, 7, 9 };
    EXPECT_EQ(findIntInArray(array, 5), 1);
    EXPECT_EQ(findIntInArray(array, 7), 1);
    EXPECT_EQ(findIntInArray(array, 2), 0) << "element 0 is the count";
    EXPECT_EQ(findIntInArray(array, 9), 0) << "beyond the count";
    EXPECT_EQ(findIntInArray(nullptr, 5), 0);
}

TEST(TerminalNumbers, RangeBoundsDefaultAndRepair)
{
    struct Row {
        const char* name;
        const char* file;
        std::string expected; // "highest lowest"
        std::string messages;
    };
    const Row rows[] = {
        { "both set", "HighestTerminalNumber=20\nLowestTerminalNumber=5\n", "20 5", "" },
        { "highest missing: 99, message twice", "LowestTerminalNumber=5\n", "99 5",
            "Highest Terminal Number unknown, using 99\nHighest Terminal Number unknown, using 99\n" },
        { "lowest missing", "HighestTerminalNumber=20\n", "20 1", "Lowest terminal number unknown, using 1\n" },
        { "lowest 0 is unset", "HighestTerminalNumber=20\nLowestTerminalNumber=0\n", "20 1",
            "Lowest terminal number unknown, using 1\n" },
        { "lowest above highest becomes 1", "HighestTerminalNumber=10\nLowestTerminalNumber=50\n", "10 1",
            "Lowest terminal number 50 above highest 10, using 1\n" },
    };
    Sandbox box;
    for (const Row& row : rows) {
        box.writeFile("/etc/opt/qor/retail/posQOR_configuration", row.file);
        FreshResult result = inFreshProcess(box, [] {
            getProperties("/etc/opt/qor/retail/posQOR_configuration");
            int highest = getHighestTerminalNumber();
            int lowest = getLowestTerminalNumber();
            return std::to_string(highest) + " " + std::to_string(lowest);
        });
        EXPECT_EQ(result.value, row.expected) << row.name;
        EXPECT_EQ(result.err, row.messages) << row.name;
    }
}

// ---- Role catalogue -------------------------------------------------------------

TEST(RoleCatalogue, CountComesFromRoles4cOrRoleLines)
{
    // The second line would begin a read of its own if reads were not tied to
    // line starts.
    static const std::string overLong = "Role001=" + std::string(246, 'x') + "Role002=y\n";
    struct Row {
        const char* name;
        const char* roles4c; // nullptr: absent
        const char* roles; // nullptr: absent
        int expected;
    };
    const Row rows[] = {
        { "Roles4c count", "Roles.count=3\nRole001=A\nRole002=B\nRole003=C\n", nullptr, 3 },
        { "Roles4c wins over Roles", "Roles.count=2\n", "Role001=x\n", 2 },
        { "Roles4c without count defines none", "Role001=A\n", nullptr, 0 },
        { "negative count defines none", "Roles.count=-4\n", nullptr, 0 },
        { "Roles lines with an equals sign at the eighth byte", nullptr,
            "Role001=x\nRole01=y\nRoleABC=z\n# Role002=w\n", 2 },
        { "Roles without role lines", nullptr, "something=else\n", 0 },
        { "no catalogue at all counts one role", nullptr, nullptr, 1 },
        { "over-long line counts once", nullptr, overLong.c_str(), 1 },
    };
    for (const Row& row : rows) {
        Sandbox box;
        if (row.roles4c)
            box.writeFile("/etc/opt/qor/retail/Roles4c", row.roles4c);
        if (row.roles)
            box.writeFile("/etc/opt/qor/retail/Roles", row.roles);
        FreshResult result = inFreshProcess(box, [] { return std::to_string(getNumberOfDefinedRoles()); });
        EXPECT_EQ(result.value, std::to_string(row.expected)) << row.name;
    }
}

TEST(RoleCatalogue, BootEnvironmentArchiveIsUnpackedAndUsedUp)
{
    Sandbox box;
    box.writeFile("/tmp/catalogue/Roles", "Role001=a\n");
    box.makeDirectory("/etc/nlpos/linuxrc");
    std::string archive = box.path("/etc/nlpos/linuxrc/testball.tar.gz");
    ASSERT_EQ(std::system(("tar -czf '" + archive + "' -C '" + box.path("/tmp/catalogue") + "' Roles").c_str()), 0);
    box.removeFile("/etc/opt/qor/retail/Roles");

    inFreshProcess(box, [] {
        getQORConfiguration();
        return std::string();
    });
    EXPECT_EQ(box.readFile("/etc/opt/qor/retail/Roles"), "Role001=a\n");
    EXPECT_FALSE(box.exists("/etc/nlpos/linuxrc/testball.tar.gz"));
    EXPECT_FALSE(box.exists("/etc/nlpos/linuxrc/testball.tar"));
}

TEST(RoleCatalogue, BootDirectoryArchiveStays)
{
    Sandbox box;
    box.writeFile("/tmp/catalogue/Roles4c", "Roles.count=1\nRole001=a\n");
    box.makeDirectory("/tftpboot/boot");
    std::string archive = box.path("/tftpboot/boot/testball.tar.gz");
    ASSERT_EQ(std::system(("tar -czf '" + archive + "' -C '" + box.path("/tmp/catalogue") + "' Roles4c").c_str()), 0);

    inFreshProcess(box, [] {
        getQORConfiguration();
        return std::string();
    });
    EXPECT_EQ(box.readFile("/etc/opt/qor/retail/Roles4c"), "Roles.count=1\nRole001=a\n");
    EXPECT_TRUE(box.exists("/tftpboot/boot/testball.tar.gz"));
}

TEST(RoleCatalogue, ShellCommandTextsAreTheDesignedOnes)
{
    struct Row {
        const char* name;
        const char* archive; // where the catalogue archive lies, or null
        std::function<void()> step;
        int exitStatus;
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        { "boot environment archive", "/etc/nlpos/linuxrc/testball.tar.gz", [] { getQORConfiguration(); }, 0,
            { "mkdir -p /etc/opt/qor/retail >> /dev/null 2>&1", "gunzip /etc/nlpos/linuxrc/testball.tar.gz",
                "tar -mxf /etc/nlpos/linuxrc/testball.tar -C /etc/opt/qor/retail >> /dev/null 2>&1",
                "rm /etc/nlpos/linuxrc/testball.tar >> /dev/null 2>&1" } },
        { "boot directory archive", "/tftpboot/boot/testball.tar.gz", [] { getQORConfiguration(); }, 0,
            { "tar -mxzf /tftpboot/boot/testball.tar.gz -C /etc/opt/qor/retail >> /dev/null 2>&1" } },
        { "no catalogue on a terminal", nullptr, [] { getQORConfiguration(); }, 255, { "/sbin/reboot -f -i" } },
        { "every number taken on a terminal", nullptr, [] { noValidTerminalNumbersAvailable(); }, 253,
            [] {
                // Two minutes of alternating tones, then the reboot.
                std::vector<std::string> alarm = { "setterm -blen 1000" };
                for (int cycle = 0; cycle < 60; ++cycle) {
                    alarm.push_back("setterm -bfreq 800");
                    alarm.push_back("setterm -bfreq 600");
                }
                alarm.push_back("/sbin/reboot -f -i");
                return alarm;
            }() },
        { "role installed", nullptr, [] { setRole("/etc/opt/qor/retail/Role001"); }, 0,
            { "cp /etc/opt/qor/retail/Role001 /etc/opt/qor/retail/posQOR_configuration",
                "cat /etc/opt/qor/retail/posQOR_global >> /etc/opt/qor/retail/posQOR_configuration 2> /dev/null" } },
    };
    for (const Row& row : rows) {
        Sandbox box;
        // Taking the root out of a command gives the terminal's text only
        // when the root needed no quoting.
        ASSERT_EQ(box.root().find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-"),
            std::string::npos)
            << box.root();
        box.removeFile("/etc/opt/qor/retail/Roles");
        box.writeFile("/tmp/catalogue/Roles", "Role001=a\n");
        if (row.archive != nullptr) {
            std::string archive = box.path(row.archive);
            std::string directory = archive.substr(0, archive.rfind('/'));
            ASSERT_EQ(std::system(("mkdir -p '" + directory + "' && tar -czf '" + archive + "' -C '"
                          + box.path("/tmp/catalogue") + "' Roles")
                                      .c_str()),
                0)
                << row.name;
        }
        // The role file names the terminal's number, so no lookup is needed.
        box.writeFile("/etc/opt/qor/retail/Role001", "TerminalRole.name=a\nTerminalNumber=5\n");
        box.writeFile("/etc/opt/qor/retail/posQOR_global", "store=1\n");
        std::string logPath = box.dir() + "/shell-commands";
        inFreshProcess(
            box,
            [&] {
                recordShellCommands(logPath);
                row.step();
                return std::string();
            },
            row.exitStatus);
        EXPECT_EQ(recordedShellCommands(logPath, box.root()), row.expected) << row.name;
    }
}

TEST(RoleMenu, SingleUsableRoleIsTakenWithoutMenu)
{
    // Role 1 has no name and role 3 is missing its key: neither can be
    // registered, so only role 2 is left and no menu is needed.
    Sandbox box;
    box.writeFile("/etc/opt/qor/retail/Roles4c", "Roles.count=3\nRole001=\nRole002=Back office\n");
    FreshResult result = inFreshProcess(box, [] {
        std::string file = setRoleMenu();
        return file + "|" + roleMenuSelection;
    });
    EXPECT_EQ(result.value, "/etc/opt/qor/retail/Role002|Back office");
    EXPECT_EQ(result.out, "");
}

TEST(RoleMenu, CatalogueWithoutUsableRoleStopsTheRun)
{
    struct Row {
        const char* name;
        const char* roles4c;
    };
    const Row rows[] = {
        { "count 0", "Roles.count=0\nRole001=A\n" },
        { "count missing", "Role001=A\n" },
        { "roles without names", "Roles.count=2\nRole001=\n" },
    };
    for (const Row& row : rows) {
        Sandbox box;
        box.writeFile("/etc/opt/qor/retail/Roles4c", row.roles4c);
        FreshResult result = inFreshProcess(
            box,
            [] {
                setRoleMenu();
                return std::string("returned");
            },
            255);
        EXPECT_EQ(result.value, "") << row.name;
        EXPECT_NE(result.out.find("defines no role"), std::string::npos) << row.name << ": " << result.out;
    }
}

TEST(RoleCatalogue, CountIsComputedOncePerProcess)
{
    Sandbox box;
    box.writeFile("/etc/opt/qor/retail/Roles", "Role001=a\nRole002=b\n");
    FreshResult result = inFreshProcess(box, [&] {
        int first = getNumberOfDefinedRoles();
        box.writeFile("/etc/opt/qor/retail/Roles4c", "Roles.count=7\n");
        return std::to_string(first) + " " + std::to_string(getNumberOfDefinedRoles());
    });
    EXPECT_EQ(result.value, "2 2");
    EXPECT_NE(result.err.find("Identified 2 roles files\n"), std::string::npos);
}

TEST(RoleCatalogue, UnreadableRolesIsTracedAndCountsOne)
{
    Sandbox box;
    FreshResult result = inFreshProcess(box, [] { return std::to_string(getNumberOfDefinedRoles()); });
    EXPECT_EQ(result.value, "1");
    EXPECT_EQ(result.err, "Unable to read Roles file\n");
}

TEST(RoleCatalogue, RegisteredRoleIsLookedUpInCatalogueOrder)
{
    struct Row {
        const char* name;
        bool newCatalogue; // Roles4c present; else role files with Roles
        bool withoutRole002; // role file Role002 missing
        const char* registered;
        const char* expected; // path, or "" for none
        bool erased; // "RTN=5" sent
    };
    static const std::string longName(300, 'x');
    const Row rows[] = {
        { "Roles4c name", true, false, "Beta", "/etc/opt/qor/retail/Role002", false },
        { "Roles4c is case-sensitive", true, false, "beta", "", true },
        { "role file name", false, false, "Gamma", "/etc/opt/qor/retail/Role003", false },
        { "first missing role file ends the search", false, true, "Gamma", "", true },
        { "empty registration is no role", true, false, "", "", false },
        { "over-long registration is neither compared nor erased", true, false, longName.c_str(), "", false },
    };
    for (const Row& row : rows) {
        Sandbox box;
        FakeServer server;
        ASSERT_TRUE(server.ok());
        server.setResponder([&](std::string_view line) {
            if (line == "get=posClient.5.role")
                return FakeServer::answer(std::string(row.registered) + "\n");
            return FakeServer::answer("ok\n");
        });
        box.writeFile("/etc/opt/qor/retail/posQOR_configuration", "TerminalNumber=5\n");
        box.writeFile("/etc/opt/qor/retail/Roles", "Role001=a\nRole002=b\nRole003=c\n");
        if (row.newCatalogue)
            box.writeFile("/etc/opt/qor/retail/Roles4c", "Roles.count=3\nRole001=Alpha\nRole002=Beta\nRole003=Gamma\n");
        box.writeFile("/etc/opt/qor/retail/Role001", "TerminalRole.name=Alpha\n");
        if (!row.withoutRole002)
            box.writeFile("/etc/opt/qor/retail/Role002", "TerminalRole.name=Beta\n");
        box.writeFile("/etc/opt/qor/retail/Role003", "TerminalRole.name=Gamma\n");
        std::string address = server.address();
        FreshResult result = inFreshProcess(box, [&] {
            TSERVER = address.data();
            getProperties("/etc/opt/qor/retail/posQOR_configuration");
            char* path = getRole();
            std::string text = path ? path : "";
            std::free(path);
            return text;
        });
        EXPECT_EQ(result.value, row.expected) << row.name;
        std::vector<std::string> requests = server.requests(row.erased ? 2 : 1);
        bool erased = std::find(requests.begin(), requests.end(), std::string("RTN=5\n") + '\0') != requests.end();
        EXPECT_EQ(erased, row.erased) << row.name;
    }
}

TEST(RoleCatalogue, EmptyCatalogueNeverErasesTheRegistration)
{
    Sandbox box;
    FakeServer server;
    ASSERT_TRUE(server.ok());
    server.setResponder(
        [](std::string_view line) { return FakeServer::answer(line == "get=posClient.5.role" ? "Alpha\n" : "ok\n"); });
    box.writeFile("/etc/opt/qor/retail/posQOR_configuration", "TerminalNumber=5\n");
    box.writeFile("/etc/opt/qor/retail/Roles4c", "Roles.count=0\n");
    std::string address = server.address();
    FreshResult result = inFreshProcess(box, [&] {
        TSERVER = address.data();
        getProperties("/etc/opt/qor/retail/posQOR_configuration");
        char* path = getRole();
        return std::string(path ? path : "(none)");
    });
    EXPECT_EQ(result.value, "(none)");
    EXPECT_EQ(server.requests(1), std::vector<std::string> { std::string("get=posClient.5.role\n") + '\0' });
}

// ---- STN properties ------------------------------------------------------------

TEST(StnProperties, DriveSettingsOfEachMethodInOrder)
{
    struct Row {
        stnMethod method;
        const char* expected;
    };
    const Row rows[] = {
        { StnjHD,
            "HardDrive.0.number=0\nHardDrive.0.swapPartitionSize=500\nHardDrive.0.Partition.1.size=25\n"
            "HardDrive.0.Partition.1.mountPoint=/\nHardDrive.0.Partition.1.loadImage=posQOR_STNJ\n" },
        { StncHD,
            "HardDrive.0.number=0\nHardDrive.0.swapPartitionSize=100\nHardDrive.0.Partition.1.size=25\n"
            "HardDrive.0.Partition.1.mountPoint=/\nHardDrive.0.Partition.1.loadImage=posQOR_STNC\n" },
        { StncRam, "RAMDrive.1.mountPoint=/\nRAMDrive.1.loadImage=posQOR_STNC\n" },
        { StnjRam, "RAMDrive.1.mountPoint=/\nRAMDrive.1.loadImage=posQOR_STNJ\n" },
        { Lite, "keep=1\n" },
    };
    for (const Row& row : rows) {
        Sandbox box;
        box.writeFile("/etc/opt/qor/retail/posQOR_configuration", "keep=1\n");
        inFreshProcess(box, [&] {
            getProperties("/etc/opt/qor/retail/posQOR_configuration");
            appendPropertiesForSTN(row.method);
            appendPropertiesForSTN(StncRam); // a second call does nothing
            return std::string();
        });
        std::string expected = row.method == Lite ? row.expected : std::string("keep=1\n") + row.expected;
        EXPECT_EQ(box.readFile("/etc/opt/qor/retail/posQOR_configuration"), expected) << row.method;
    }
}

TEST(StnProperties, IdentityIsWrittenAsSevenKeysInOrder)
{
    Sandbox box;
    box.writeFile("/etc/opt/qor/retail/posQOR_configuration", "");
    inFreshProcess(box, [] {
        static char server[] = "10.0.0.1", mac[] = "00:11:22:33:44:55", bios[] = "BIOS 1", product[] = "4852-E66";
        TSERVER = server;
        DHCPCHADDR = mac;
        productBIOS = bios;
        productID = product;
        std::snprintf(SMBIOS_SerialNumber, sizeof SMBIOS_SerialNumber, "ABC1234");
        std::snprintf(SMBIOS_ID, sizeof SMBIOS_ID, "MT.1234567.SN.ABC1234");
        std::snprintf(STNID, sizeof STNID, "%s,%s", mac, SMBIOS_ID);
        getProperties("/etc/opt/qor/retail/posQOR_configuration");
        setSTNProperties();
        return std::string();
    });
    EXPECT_EQ(box.readFile("/etc/opt/qor/retail/posQOR_configuration"),
        "STN.ServerIPAddress=10.0.0.1\nSTN.MAC.0.Address=00:11:22:33:44:55\nSTN.Product.Bios=BIOS 1\n"
        "STN.Product.ID=4852-E66\nSTN.STNID=00:11:22:33:44:55,MT.1234567.SN.ABC1234\n"
        "STN.SerialNumber=ABC1234\nSTN.SMBIOS_ID=MT.1234567.SN.ABC1234\n");
}
