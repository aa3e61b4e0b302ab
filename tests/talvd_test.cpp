// The service launcher: pid file, account switch, the service as a child, and
// the run-a-program routine. The launcher is run as real root (no user
// namespace), with accounts that each test creates and removes.
#include "sandbox.h"
#include "textFiles.h"

#define TALVD_NO_MAIN
#include "../talvd/main.cpp"

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <set>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <thread>

namespace
{

const char* const STUB_PATH = "/usr/lib/posqor-test/serviceStub";

// Runs an account tool, retrying while a parallel test holds the account
// database lock.
bool accountTool(const std::string& command)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        int status = std::system((command + " >/dev/null 2>&1").c_str());
        if (status == 0)
            return true;
        // useradd/groupadd: 10 = cannot lock the database.
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 10)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// A service group, a second group and a service user that belongs to both;
// names unique to this process, removed again at the end.
struct TestAccounts {
    std::string user, group, extraGroup;
    uid_t uid = 0;
    gid_t gid = 0, extraGid = 0;
    bool created = false;

    TestAccounts()
    {
        static std::atomic<int> counter { 0 };
        std::string stem = "pqt" + std::to_string(::getpid()) + "x" + std::to_string(counter++);
        user = stem + "u";
        group = stem + "g";
        extraGroup = stem + "s";
        created = accountTool("groupadd " + group) && accountTool("groupadd " + extraGroup)
            && accountTool("useradd -M -N -s /bin/false -g " + group + " -G " + extraGroup + " " + user);
        // Each lookup reuses one static record: take the id at once.
        if (struct passwd* entry = created ? ::getpwnam(user.c_str()) : nullptr)
            uid = entry->pw_uid;
        else
            created = false;
        if (struct group* entry = created ? ::getgrnam(group.c_str()) : nullptr)
            gid = entry->gr_gid;
        else
            created = false;
        if (struct group* entry = created ? ::getgrnam(extraGroup.c_str()) : nullptr)
            extraGid = entry->gr_gid;
        else
            created = false;
    }
    ~TestAccounts()
    {
        accountTool("userdel " + user);
        accountTool("groupdel " + extraGroup);
        accountTool("groupdel " + group);
    }
};

struct LauncherRun {
    int exitStatus = -1;
    pid_t pid = 0;
    std::string out;
    std::vector<std::string> lines;
};

// Runs the launcher directly as root in the sandbox root; prepare runs in the
// child just before the exec (to take away a capability).
LauncherRun runLauncher(const Sandbox& box, const std::string& program,
    const std::vector<std::string>& extraEnvironment, const std::function<void()>& prepare = {})
{
    std::string programPath = Sandbox::programPath(program);
    std::string outPath = box.dir() + "/launcher.out";
    std::vector<std::string> envTexts = box.environment();
    envTexts.insert(envTexts.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> environment;
    for (auto& text : envTexts)
        environment.push_back(text.data());
    environment.push_back(nullptr);
    std::vector<char*> arguments { programPath.data(), nullptr };

    LauncherRun run;
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        if (::chdir(box.root().c_str()) != 0)
            _exit(126);
        if (prepare)
            prepare();
        ::execve(programPath.c_str(), arguments.data(), environment.data());
        _exit(127);
    }
    run.pid = child;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) != child) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(-child, SIGKILL);
            ::waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readText(outPath);
    run.lines = linesOf(run.out);
    return run;
}

// The stub service records its arguments and credentials, then runs body.
void installStub(const Sandbox& box, const std::string& body)
{
    box.makeDirectory("/report");
    ::chmod(box.path("/report").c_str(), 0777);
    box.writeFile(STUB_PATH,
        "#!/bin/sh\n"
        "{ echo \"count:$#\"; for a in \"$@\"; do echo \"arg:$a\"; done;\n"
        "  grep -E '^(Uid|Gid|Groups|CapEff|CapPrm):' /proc/self/status; } > \"$POSQOR_ROOT/report/service\"\n"
            + body + "\n",
        0755);
}

class Launcher : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the launcher must run as real root";
        if (::access("/usr/sbin/useradd", X_OK) != 0)
            GTEST_SKIP() << "useradd is not available";
        accounts = std::make_unique<TestAccounts>();
        ASSERT_TRUE(accounts->created) << "could not create the test accounts";
        // The service runs as the test user: it must reach the stub.
        ::chmod(box.dir().c_str(), 0755);
    }

    std::vector<std::string> accountEnvironment() const
    {
        return { "POSQOR_TALVD_USR=" + accounts->user, "POSQOR_TALVD_GRP=" + accounts->group };
    }
    std::string stubPath() const { return box.path(STUB_PATH); }
    std::string groupLine() const
    {
        return "talvd: Group switched to " + std::to_string(accounts->gid) + " (" + accounts->group + ")";
    }
    std::string userLine() const
    {
        return "talvd: User switched to " + std::to_string(accounts->uid) + " (" + accounts->user + ")";
    }

    Sandbox box;
    std::unique_ptr<TestAccounts> accounts;
};

std::string statusField(const std::string& report, const std::string& name)
{
    for (const std::string& line : linesOf(report))
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(name.size() + 1);
    return "<missing " + name + ">";
}

std::set<std::string> words(const std::string& text)
{
    std::set<std::string> result;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        result.insert(word);
    return result;
}

TEST_F(Launcher, StartsServiceAsChildWithDesignedLinesAndKeepsItsPidFile)
{
    installStub(box, "exit 0");
    LauncherRun run = runLauncher(box, "talvd_test_stub", accountEnvironment());
    ASSERT_EQ(run.exitStatus, 0) << run.out;
    std::vector<std::string> parentLines, childLines;
    for (const std::string& line : run.lines)
        (line.rfind("*C*", 0) == 0 ? childLines : parentLines).push_back(line);
    ASSERT_EQ(parentLines.size(), 6u) << run.out;
    EXPECT_EQ(parentLines[0], groupLine());
    EXPECT_EQ(parentLines[1], userLine());
    EXPECT_EQ(parentLines[2], "Running:  " + stubPath() + " --port 46910 two words");
    ASSERT_EQ(parentLines[3].rfind("*P* Parent created child ", 0), 0u) << run.out;
    std::string servicePid = parentLines[3].substr(std::string("*P* Parent created child ").size());
    EXPECT_EQ(parentLines[4], "*P* Child " + servicePid + " ended with status 0");
    EXPECT_EQ(parentLines[5], "*P* " + stubPath() + " exited, rc=0 (0x0)");
    EXPECT_EQ(childLines, std::vector<std::string> { "*C* Child created" });
    // The pid file names the launcher, not the service, and stays.
    EXPECT_EQ(box.readFile("/var/run/talvd.pid"), std::to_string(run.pid) + "\n");
    EXPECT_NE(servicePid, std::to_string(run.pid));
}

TEST_F(Launcher, ServiceGetsItsArgumentsAsSeparateWords)
{
    installStub(box, "exit 0");
    runLauncher(box, "talvd_test_stub", accountEnvironment());
    std::vector<std::string> report = linesOf(box.readFile("/report/service"));
    ASSERT_GE(report.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(report.begin(), report.begin() + 4),
        (std::vector<std::string> { "count:3", "arg:--port", "arg:46910", "arg:two words" }));
}

TEST_F(Launcher, ServiceRunsWithOnlyTheServiceAccountsIdsAndNoWayBackToRoot)
{
    installStub(box, "exit 0");
    LauncherRun run = runLauncher(box, "talvd_test_stub", accountEnvironment());
    std::string report = box.readFile("/report/service");
    ASSERT_FALSE(report.empty()) << run.out;
    std::string uid = std::to_string(accounts->uid), gid = std::to_string(accounts->gid);
    // Real, effective, saved and file-system ids: no saved root id to return to.
    EXPECT_EQ(words(statusField(report, "Uid")), std::set<std::string> { uid });
    EXPECT_EQ(words(statusField(report, "Gid")), std::set<std::string> { gid });
    // The user's own groups, none inherited from root.
    EXPECT_EQ(
        words(statusField(report, "Groups")), (std::set<std::string> { gid, std::to_string(accounts->extraGid) }));
    EXPECT_EQ(words(statusField(report, "CapEff")), std::set<std::string> { "0000000000000000" });
    EXPECT_EQ(words(statusField(report, "CapPrm")), std::set<std::string> { "0000000000000000" });
}

TEST_F(Launcher, LauncherStatusFollowsHowTheServiceEnded)
{
    struct Row {
        const char* name;
        std::string body;
        int rawStatus;
        int launcherStatus;
    } rows[] = {
        { "clean exit", "exit 0", 0, 0 },
        { "exit code 7", "exit 7", 7 << 8, 7 },
        { "terminated", "kill -TERM $$", SIGTERM, 128 + SIGTERM },
        { "killed", "kill -KILL $$", SIGKILL, 128 + SIGKILL },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        installStub(box, row.body);
        LauncherRun run = runLauncher(box, "talvd_test_stub", accountEnvironment());
        EXPECT_EQ(run.exitStatus, row.launcherStatus) << run.out;
        char exited[64];
        std::snprintf(exited, sizeof exited, " exited, rc=%d (0x%X)", row.rawStatus, row.rawStatus);
        ASSERT_FALSE(run.lines.empty());
        EXPECT_EQ(run.lines.back(), "*P* " + stubPath() + exited);
    }
}

TEST_F(Launcher, ServiceThatCannotStartIsReportedByChildAndLauncherFails)
{
    LauncherRun run = runLauncher(box, "talvd_test_stub", accountEnvironment());
    EXPECT_EQ(run.exitStatus, 255) << run.out;
    std::vector<std::string> childLines;
    std::string parentEnd;
    for (const std::string& line : run.lines) {
        if (line.rfind("*C*", 0) == 0)
            childLines.push_back(line);
        if (line.find(" ended with status ") != std::string::npos)
            parentEnd = line.substr(line.find(" ended with status "));
    }
    EXPECT_EQ(childLines,
        (std::vector<std::string> { "*C* Child created", "*C* Error -1 (errno=2) starting program " + stubPath(),
            "*C* " + stubPath() + " exited, rc=-1 (0xFFFFFFFF)" }));
    EXPECT_EQ(parentEnd, " ended with status 65280");
    EXPECT_EQ(run.lines.back(), "*P* " + stubPath() + " exited, rc=65280 (0xFF00)");
}

void dropCapability(int capability)
{
    if (::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0)
        _exit(125);
}

TEST_F(Launcher, EachFailureBeforeTheServiceHasItsMessageStatusAndRemovesThePidFile)
{
    installStub(box, "exit 0");
    struct Row {
        const char* name;
        std::vector<std::string> environment;
        std::function<void()> prepare;
        std::function<std::vector<std::string>()> expectedLines;
        int exitStatus;
    } rows[] = {
        { "unknown group", { "POSQOR_TALVD_USR=" + accounts->user, "POSQOR_TALVD_GRP=" + accounts->group + "none" }, {},
            [&] {
                return std::vector<std::string> { "Attempt to access /etc/group entry for group " + accounts->group
                    + "none failed" };
            },
            253 },
        { "unknown user", { "POSQOR_TALVD_USR=" + accounts->user + "none", "POSQOR_TALVD_GRP=" + accounts->group }, {},
            [&] {
                return std::vector<std::string> { groupLine(),
                    "talvd: Attempt to access /etc/passwd entry for user " + accounts->user + "none failed" };
            },
            254 },
        { "group switch refused", accountEnvironment(), [] { dropCapability(CAP_SETGID); },
            [] { return std::vector<std::string> { "talvd: initgroups failed. Errno = 1 " }; }, 252 },
        { "user switch refused", accountEnvironment(), [] { dropCapability(CAP_SETUID); },
            [&] {
                return std::vector<std::string> { groupLine(), "talvd: setuid failed. Errno = 1 " };
            },
            252 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LauncherRun run = runLauncher(box, "talvd_test_stub", row.environment, row.prepare);
        EXPECT_EQ(run.exitStatus, row.exitStatus) << run.out;
        EXPECT_EQ(run.lines, row.expectedLines());
        EXPECT_FALSE(box.exists("/var/run/talvd.pid"));
        EXPECT_FALSE(box.exists("/report/service")) << "the service must not start";
    }
}

TEST_F(Launcher, UnwritablePidFileEndsWith255BeforeAnySwitch)
{
    std::filesystem::remove_all(box.path("/var/run"));
    LauncherRun run = runLauncher(box, "talvd_test_stub", accountEnvironment());
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_EQ(run.out, "Attempt to open " + box.path("/var/run/talvd.pid") + " for write failed. Errno = 2\n");
}

// The production build names the designed accounts: with no user "talvd" on
// the machine it switches to the group "daemon" and stops at the user.
TEST(LauncherProductionBuild, UsesTheDesignedGroupAndUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the launcher must run as real root";
    struct group* daemonGroup = ::getgrnam("daemon");
    if (daemonGroup == nullptr || ::getpwnam("talvd") != nullptr)
        GTEST_SKIP() << "needs group daemon and no user talvd";
    Sandbox box;
    LauncherRun run = runLauncher(box, "talvd", {});
    EXPECT_EQ(run.exitStatus, 254);
    EXPECT_EQ(run.lines,
        (std::vector<std::string> { "talvd: Group switched to " + std::to_string(daemonGroup->gr_gid) + " (daemon)",
            "talvd: Attempt to access /etc/passwd entry for user talvd failed" }));
    EXPECT_FALSE(box.exists("/var/run/talvd.pid"));
}

// ---- urunpgm in this process ----------------------------------------------

// Calls urunpgm with the texts as its vector and collects what it printed.
int captureUrunpgm(std::vector<std::string> texts, std::string& printed)
{
    std::vector<char*> vector;
    for (auto& text : texts)
        vector.push_back(text.data());
    vector.push_back(nullptr);
    char path[] = "/tmp/posqor-urunpgm-XXXXXX";
    int capture = ::mkstemp(path);
    std::fflush(stdout);
    int saved = ::dup(1);
    ::dup2(capture, 1);
    int result = urunpgm(static_cast<int>(texts.size()), vector.data());
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    ::close(capture);
    printed = readText(path);
    ::unlink(path);
    return result;
}

TEST(Urunpgm, OptionsProgramAndResultAsTheTableSays)
{
    struct Row {
        std::vector<std::string> vector;
        std::vector<std::string> expectedLines; // "*P* Parent..."/"*P* Child..." lines compared by prefix
        int result;
    } rows[] = {
        { { "talvd" }, { "Syntax: runpgm [-exec] pgmName [pgmArgs...]" }, 1 },
        { { "talvd", "-exec" }, { "Syntax: runpgm [-exec] pgmName [pgmArgs...]" }, 1 },
        { { "talvd", "-x" }, { "Unknown flag 'x'", "Syntax: runpgm [-exec] pgmName [pgmArgs...]" }, 1 },
        { { "talvd", "-x", "/bin/sh", "-c", "exit 3" },
            { "Unknown flag 'x'", "Running:  /bin/sh -c exit 3", "*P* Parent created child ", "*P* Child ",
                "*P* /bin/sh exited, rc=768 (0x300)" },
            3 << 8 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.vector.size() > 1 ? row.vector[1] : "no arguments");
        std::string printed;
        int result = captureUrunpgm(row.vector, printed);
        EXPECT_EQ(result, row.result);
        std::vector<std::string> lines;
        for (const std::string& line : linesOf(printed))
            if (line.rfind("*C*", 0) != 0)
                lines.push_back(line);
        ASSERT_EQ(lines.size(), row.expectedLines.size()) << printed;
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i].substr(0, row.expectedLines[i].size()), row.expectedLines[i]) << printed;
    }
}

TEST(Urunpgm, ExecModeReplacesTheProcessWithoutAChild)
{
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        std::string printed;
        std::vector<char*> vector;
        std::string texts[] = { "talvd", "-exec", "/bin/sh", "-c", "echo pid=$$; exit 4" };
        for (auto& text : texts)
            vector.push_back(text.data());
        vector.push_back(nullptr);
        std::string out = "/tmp/posqor-urunpgm-exec-" + std::to_string(::getpid());
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        urunpgm(5, vector.data());
        _exit(99);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    std::string out = "/tmp/posqor-urunpgm-exec-" + std::to_string(child);
    std::string printed = readText(out);
    ::unlink(out.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
    EXPECT_EQ(printed, "Running:  /bin/sh -c echo pid=$$; exit 4\npid=" + std::to_string(child) + "\n");
}

TEST(Urunpgm, ExecModeFailureIsReportedAndReturned)
{
    std::string printed;
    int result = captureUrunpgm({ "talvd", "-exec", "/nonexistent/program" }, printed);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(printed,
        "Running:  /nonexistent/program\n"
        "*P* Error -1 (errno=2) starting program /nonexistent/program\n"
        "*P* /nonexistent/program exited, rc=-1 (0xFFFFFFFF)\n");
}

} // namespace
