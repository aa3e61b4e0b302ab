// talvd: records its pid, gives up root for the service's own user and group,
// and runs the remote property service as a child process until it ends.
#include "fileReplace.h"
#include "sysPath.h"
#include "uniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef TALVD_NO_MAIN
// TALVD_SERVICE_FIELDS: the service command chosen at build time
// (POSQOR_SERVICE_COMMAND), as comma-terminated text literals; empty for the
// Java service.
#include "talvdServiceCommand.h"
#endif

constexpr const char* TALVD_PIDFILE = "/var/run/talvd.pid";
const char* TALVD_USR = "talvd";
const char* TALVD_GRP = "daemon";

namespace
{

// The pid of the launcher itself, so that main can tell the launcher from the
// child that failed to start the service.
pid_t launcherPid = 0;

[[noreturn]] void removePidFileAndExit(int status)
{
    ::unlink(sysPath(TALVD_PIDFILE).c_str());
    std::exit(status);
}

} // namespace

// Writes the launcher's pid as "%d\n"; ends the process with 255 on failure.
void writePidFile()
{
    std::string path = sysPath(TALVD_PIDFILE);
    launcherPid = ::getpid();
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (file.get() < 0) {
        std::printf("Attempt to open %s for write failed. Errno = %d\n", path.c_str(), errno);
        std::exit(-1);
    }
    char text[32];
    int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(launcherPid));
    // A pid file that was created but not filled names no process; say so
    // rather than leave it half written.
    if (!writeAll(file.get(), std::string_view(text, static_cast<size_t>(length))) || file.close() != 0) {
        std::printf("Attempt to write %s failed. Errno = %d\n", path.c_str(), errno);
        ::unlink(path.c_str());
        std::exit(-1);
    }
}

// Switches to TALVD_GRP, then TALVD_USR; returns only when root is given up
// for good (or the service user is root itself).
void setUidGid()
{
    struct group* groupEntry = ::getgrnam(TALVD_GRP);
    if (groupEntry == nullptr) {
        std::printf("Attempt to access /etc/group entry for group %s failed\n", TALVD_GRP);
        removePidFileAndExit(-3);
    }
    gid_t groupId = groupEntry->gr_gid;
    std::string groupName = groupEntry->gr_name;

    // The supplementary groups inherited from root would survive setgid and
    // setuid; replace them with the service user's own (only the service
    // group when the user is unknown) while the right to do so is still here.
    if (::initgroups(TALVD_USR, groupId) != 0) {
        std::printf("talvd: initgroups failed. Errno = %d \n", errno);
        removePidFileAndExit(-4);
    }
    if (::setgid(groupId) != 0) {
        std::printf("talvd: setgid failed. Errno = %d \n", errno);
        removePidFileAndExit(-4);
    }
    std::printf("talvd: Group switched to %d (%s)\n", static_cast<int>(groupId), groupName.c_str());

    struct passwd* userEntry = ::getpwnam(TALVD_USR);
    if (userEntry == nullptr) {
        std::printf("talvd: Attempt to access /etc/passwd entry for user %s failed\n", TALVD_USR);
        removePidFileAndExit(-2);
    }
    uid_t userId = userEntry->pw_uid;
    std::string userName = userEntry->pw_name;
    if (::setuid(userId) != 0) {
        std::printf("talvd: setuid failed. Errno = %d \n", errno);
        removePidFileAndExit(-4);
    }
    // setuid as root changes the real, effective and saved ids together; make
    // sure nothing (a saved id, a kept capability) still leads back to root.
    if (userId != 0 && (::setuid(0) == 0 || ::seteuid(0) == 0 || (groupId != 0 && ::setgid(0) == 0))) {
        std::printf("talvd: root privileges could be regained after the switch\n");
        removePidFileAndExit(-4);
    }
    std::printf("talvd: User switched to %d (%s)\n", static_cast<int>(userId), userName.c_str());
}

// Runs "runpgm [-exec] pgmName [pgmArgs...]" from argv[1] on; the raw wait
// status of the program in the parent, -1 where it could not be started, 1
// for a syntax error.
int urunpgm(int argc, char** argv)
{
    int status = 0;
    bool execMode = false;
    bool isChild = false;
    int position = 1;

    while (position < argc && argv[position][0] == '-' && status == 0) {
        const char* flag = argv[position] + 1;
        if (std::strcmp(flag, "exec") == 0) {
            execMode = true;
        } else {
            std::printf("Unknown flag '%s'\n", flag);
            status = 1;
        }
        ++position;
    }
    if (position >= argc) {
        std::printf("Syntax: runpgm [-exec] pgmName [pgmArgs...]\n");
        return 1;
    }

    const char* program = argv[position];
    std::vector<char*> programArguments(argv + position, argv + argc);
    programArguments.push_back(nullptr);
    std::printf("Running: ");
    for (int i = position; i < argc; ++i)
        std::printf(" %s", argv[i]);
    std::printf("\n");
    // Nothing buffered may be written twice by a child or lost by an exec.
    std::fflush(stdout);

    if (execMode) {
        status = ::execvp(program, programArguments.data());
        std::printf("*P* Error %d (errno=%d) starting program %s\n", status, errno, program);
    } else {
        pid_t child = ::fork();
        if (child == 0) {
            isChild = true;
            std::printf("*C* Child created\n");
            std::fflush(stdout);
            status = ::execvp(program, programArguments.data());
            std::printf("*C* Error %d (errno=%d) starting program %s\n", status, errno, program);
        } else {
            std::printf("*P* Parent created child %d\n", static_cast<int>(child));
            std::fflush(stdout);
            int waitStatus = 0;
            pid_t ended;
            do {
                ended = child > 0 ? ::waitpid(child, &waitStatus, 0) : ::wait(&waitStatus);
            } while (ended < 0 && errno == EINTR);
            // No child to wait for (the fork failed): a failure, not a
            // status 0 of a program that never ran.
            if (ended < 0)
                waitStatus = -1;
            std::printf("*P* Child %d ended with status %d\n", static_cast<int>(ended), waitStatus);
            status = waitStatus;
        }
    }
    std::printf("*%c* %s exited, rc=%d (0x%X)\n", isChild ? 'C' : 'P', program, status, static_cast<unsigned>(status));
    std::fflush(stdout);
    return status;
}

#ifndef TALVD_NO_MAIN

namespace
{

// The Java service, the default when no service command was set at build time.
const char* const javaService[] = {
    "/usr/lib/java/jre/bin/java",
    "-classpath",
    "/opt/qor/retail/stn/lib/posQOR_RemotePropertiesServer.jar",
    "com.qor.retail.rpsvc.TALVDRemotePropertiesServer",
};

const char* const configuredService[] = { TALVD_SERVICE_FIELDS nullptr };

// The service's fields; absolute paths among them live under the system root.
std::vector<std::string> serviceCommand()
{
    std::vector<std::string> fields;
    if (configuredService[0] == nullptr) {
        for (const char* field : javaService)
            fields.push_back(sysPath(field));
    } else {
        for (const char* const* field = configuredService; *field != nullptr; ++field)
            fields.push_back(sysPath(*field));
    }
    return fields;
}

// The launcher's own exit status for a urunpgm result: the service's exit
// code, or 128 plus the signal that ended it, so that a service that failed
// or could not be started never reads as success.
int launcherStatus(int urunpgmResult)
{
    if (::getpid() != launcherPid || urunpgmResult == -1)
        return urunpgmResult & 0xFF;
    if (WIFEXITED(urunpgmResult))
        return WEXITSTATUS(urunpgmResult);
    if (WIFSIGNALED(urunpgmResult))
        return 128 + WTERMSIG(urunpgmResult);
    return urunpgmResult & 0xFF;
}

} // namespace

int main(int, char** argv)
{
#ifdef TALVD_ACCOUNT_FROM_ENVIRONMENT
    // Test build only: each test brings its own user and group.
    if (const char* user = std::getenv("POSQOR_TALVD_USR"))
        TALVD_USR = user;
    if (const char* group = std::getenv("POSQOR_TALVD_GRP"))
        TALVD_GRP = group;
#endif
    writePidFile();
    setUidGid();

    std::vector<std::string> fields = serviceCommand();
    std::vector<char*> vector;
    vector.push_back(argv[0]);
    for (std::string& field : fields)
        vector.push_back(field.data());
    vector.push_back(nullptr);
    return launcherStatus(urunpgm(static_cast<int>(vector.size()) - 1, vector.data()));
}

#endif
