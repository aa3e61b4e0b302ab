#include "sandbox.h"

#include "sysPath.h"
#include "textFiles.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

void writeWholeFile(const std::string& path, std::string_view content, mode_t mode)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    ::chmod(path.c_str(), mode);
}

std::string realTool(const std::string& name)
{
    for (const char* dir : { "/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/" }) {
        std::string candidate = std::string(dir) + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return name;
}

} // namespace

Sandbox::Sandbox()
{
    std::string pattern = (fs::temp_directory_path() / "posqor-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir_ = buffer.data();
    root_ = dir_ + "/root";
    stubDir_ = dir_ + "/stubs";
    commandLog_ = dir_ + "/commands.log";
    waitLog_ = dir_ + "/waits.log";
    fs::create_directories(root_);
    fs::create_directories(stubDir_);

    for (const char* d : { "/tmp", "/etc/opt/qor/retail", "/config", "/var/lib/dhcpcd", "/usr/share/locale",
             "/var/opt/qor/retail/stn", "/var/run", "/sbin", "/usr/bin" })
        makeDirectory(d);
    writeFile("/dev/tty2", "");
    writeFile("/dev/mem", "");
    writeFile("/proc/partitions", "major minor  #blocks  name\n\n");
    writeFile("/proc/meminfo",
        "MemTotal:        1048576 kB\nMemFree:          524288 kB\n"
        "SwapTotal:             0 kB\nSwapFree:              0 kB\n");
    stubRootProgram("/sbin/reboot");
    for (const char* tool : { "setterm", "clear", "host", "hostname" })
        stubTool(tool);
    for (const char* tool : { "tar", "gunzip" })
        stubTool(tool, "exec " + realTool(tool) + " \"$@\"");

    env_["PATH"] = stubDir_ + ":/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
    env_["POSQOR_ROOT"] = root_;
    env_["POSQOR_WAIT_SCALE"] = "0";
    env_["POSQOR_WAIT_LOG"] = waitLog_;
    env_["HOME"] = dir_;
    env_["TERM"] = "xterm";
    // ASan and UBSan settings of the test run reach the programs too.
    for (const char* name : { "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS" }) {
        if (const char* value = std::getenv(name))
            env_[name] = value;
    }
}

Sandbox::~Sandbox()
{
    if (std::getenv("POSQOR_KEEP_SANDBOX") != nullptr)
        return;
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

std::string Sandbox::path(std::string_view absolutePath) const
{
    return root_ + std::string(absolutePath);
}

void Sandbox::writeFile(std::string_view absolutePath, std::string_view content, mode_t mode) const
{
    writeWholeFile(path(absolutePath), content, mode);
}

std::string Sandbox::readFile(std::string_view absolutePath) const
{
    return readText(path(absolutePath));
}

bool Sandbox::exists(std::string_view absolutePath) const
{
    std::error_code ignored;
    return fs::exists(path(absolutePath), ignored);
}

void Sandbox::removeFile(std::string_view absolutePath) const
{
    std::error_code ignored;
    fs::remove(path(absolutePath), ignored);
}

void Sandbox::makeDirectory(std::string_view absolutePath) const
{
    fs::create_directories(path(absolutePath));
}

void Sandbox::stubTool(const std::string& name, const std::string& body) const
{
    std::string script
        = "#!/bin/sh\nprintf '%s\\n' \"" + name + " $*\" >> " + shellQuote(commandLog_) + "\n" + body + "\n";
    writeWholeFile(stubDir_ + "/" + name, script, 0755);
}

void Sandbox::stubRootProgram(std::string_view absolutePath, const std::string& body) const
{
    std::string name(absolutePath);
    std::string script
        = "#!/bin/sh\nprintf '%s\\n' \"" + name + " $*\" >> " + shellQuote(commandLog_) + "\n" + body + "\n";
    writeWholeFile(path(absolutePath), script, 0755);
}

std::vector<std::string> Sandbox::commands() const
{
    std::vector<std::string> lines;
    std::istringstream in(readText(commandLog_));
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<unsigned long> Sandbox::waits() const
{
    std::vector<unsigned long> result;
    std::istringstream in(readText(waitLog_));
    std::string word;
    unsigned long milliseconds = 0;
    while (in >> word >> milliseconds)
        result.push_back(milliseconds);
    return result;
}

std::vector<std::string> Sandbox::environment() const
{
    std::vector<std::string> result;
    for (const auto& [name, value] : env_)
        result.push_back(name + "=" + value);
    return result;
}

std::string Sandbox::programPath(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return name;
    for (const char* sub : { "termsetup", "serversetup", "tools", "talvd", "service", "tests/programs" }) {
        std::string candidate = std::string(POSQOR_BINARY_DIR) + "/" + sub + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::string(POSQOR_BINARY_DIR) + "/" + name;
}

bool Sandbox::userNamespaceAvailable()
{
    static const bool available = [] {
        if (const char* setting = std::getenv("POSQOR_TEST_UNSHARE"); setting && std::string(setting) == "0")
            return false;
        return std::system("unshare -Ur true >/dev/null 2>&1") == 0;
    }();
    return available;
}

ProgramResult Sandbox::run(const std::string& program, const std::vector<std::string>& args, std::string_view stdinText,
    int timeoutSeconds) const
{
    std::string inPath = dir_ + "/stdin";
    std::string outPath = dir_ + "/stdout";
    std::string errPath = dir_ + "/stderr";
    writeWholeFile(inPath, stdinText, 0644);

    std::vector<std::string> argv;
    // Inside a user namespace a wrong path can never reboot or reconfigure
    // the machine that runs the tests.
    if (userNamespaceAvailable()) {
        argv = { "unshare", "-Ur", "--" };
    }
    argv.push_back(programPath(program));
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> envTexts = environment();
    std::vector<char*> cenv;
    for (auto& e : envTexts)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);
    std::string unsharePath = realTool("unshare");

    pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        ::setpgid(0, 0);
        int in = ::open(inPath.c_str(), O_RDONLY);
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::chdir(root_.c_str());
        const char* file = argv[0] == "unshare" ? unsharePath.c_str() : cargv[0];
        ::execve(file, cargv.data(), cenv.data());
        _exit(127);
    }
    // Both sides set the group, so a kill on timeout never races the child.
    ::setpgid(child, child);
    ProgramResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
        pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended == child)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(-child, SIGKILL);
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Reap what the program left running in its group (a supervisor's worker).
    ::kill(-child, SIGKILL);
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    result.out = readText(outPath);
    result.err = readText(errPath);
    result.trace = readFile("/dev/tty2");
    return result;
}

int freeLoopbackPort(const char* address)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = 0;
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        socklen_t length = sizeof sa;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) == 0)
            port = ntohs(sa.sin_port);
    }
    ::close(fd);
    return port;
}

int listenOnFreeLoopbackAddress(int port, std::string& address)
{
    // Spread the candidates by process id so parallel test programs rarely
    // try the same address.
    unsigned seed = static_cast<unsigned>(::getpid()) * 2654435761u;
    for (int attempt = 0; attempt < 2000; ++attempt) {
        unsigned value = seed + static_cast<unsigned>(attempt) * 7919u;
        unsigned b = 2 + (value >> 16) % 250;
        unsigned c = (value >> 8) % 250 + 1;
        unsigned d = value % 250 + 2;
        std::string candidate = "127." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d);
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, candidate.c_str(), &sa.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(fd, 128) == 0) {
            address = candidate;
            return fd;
        }
        ::close(fd);
    }
    return -1;
}
