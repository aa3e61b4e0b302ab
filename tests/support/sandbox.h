// Runs whole programs inside a temporary root directory (POSQOR_ROOT) with
// stub tools first on PATH, and captures what they leave behind.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct ProgramResult {
    int exitStatus = -1; // exit status, or -1 when ended by a signal
    int signal = 0; // the signal that ended it, or 0
    bool timedOut = false; // killed by the harness after the time limit
    std::string out; // standard output
    std::string err; // standard error (termsetup moves it to /dev/tty2)
    std::string trace; // content of <root>/dev/tty2 after the run
};

class Sandbox
{
public:
    // Creates the root with the fake system files every program expects:
    // /dev/tty2, /dev/mem (empty), /proc/partitions, /proc/meminfo, /tmp,
    // /etc/opt/qor/retail, /config, a /sbin/reboot stub, and stubs for
    // setterm, clear, host and hostname (logging only) and tar and gunzip
    // (logging, then the real tool).
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& root() const { return root_; }
    const std::string& dir() const { return dir_; }
    // The real path of a system path inside the root.
    std::string path(std::string_view absolutePath) const;

    void writeFile(std::string_view absolutePath, std::string_view content, mode_t mode = 0644) const;
    std::string readFile(std::string_view absolutePath) const;
    bool exists(std::string_view absolutePath) const;
    void removeFile(std::string_view absolutePath) const;
    void makeDirectory(std::string_view absolutePath) const;

    // A tool found on PATH: logs "name args..." to the command log, then runs
    // the shell text body (which sees the arguments as "$@").
    void stubTool(const std::string& name, const std::string& body = "") const;
    // A program at a system path inside the root (for example /sbin/reboot),
    // logging "<absolutePath> args..." and then running body.
    void stubRootProgram(std::string_view absolutePath, const std::string& body = "") const;
    // The command log, one entry per stub call, in call order.
    std::vector<std::string> commands() const;
    // The designed waits of the runs, in milliseconds, in order.
    std::vector<unsigned long> waits() const;

    void setEnv(const std::string& name, const std::string& value) { env_[name] = value; }
    void unsetEnv(const std::string& name) { env_.erase(name); }

    // Runs the program (a path, or a name found by programPath) with the
    // sandbox environment; stdinText is its standard input.
    ProgramResult run(const std::string& program, const std::vector<std::string>& args = {},
        std::string_view stdinText = "", int timeoutSeconds = 60) const;

    // Environment as "NAME=value" texts, as run() passes it.
    std::vector<std::string> environment() const;

    // The path of a built program (termsetup, posQOR_properties, ...).
    static std::string programPath(const std::string& name);
    // Whether runs can use a user namespace (unshare -Ur); tests may skip.
    static bool userNamespaceAvailable();

private:
    std::string dir_;
    std::string root_;
    std::string stubDir_;
    std::string commandLog_;
    std::string waitLog_;
    std::map<std::string, std::string> env_;
};

// A free TCP port on the loopback address, for a test's own server.
int freeLoopbackPort(const char* address = "127.0.0.1");

// A listening TCP socket on an unused loopback address (127.x.y.z) at the
// given port, so several servers can use the service's fixed port 46910 at
// once; the chosen address is stored in address. -1 when none could be had.
int listenOnFreeLoopbackAddress(int port, std::string& address);
