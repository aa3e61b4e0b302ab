#include "serviceProcess.h"

#include "remoteProperty.h"
#include "sandbox.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

int connectTo(const std::string& address, int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in socketAddress {};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string readToEnd(int fd, int timeoutMs)
{
    std::string reply;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        pollfd wait { fd, POLLIN, 0 };
        if (left <= 0 || ::poll(&wait, 1, left) <= 0)
            return reply + "<timeout>";
        char buffer[8192];
        ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
        if (count < 0)
            return reply + (errno == ECONNRESET ? "<reset>" : "<error>");
        if (count == 0)
            return reply;
        reply.append(buffer, static_cast<size_t>(count));
    }
}

std::string roundTrip(const std::string& address, const std::string& request, int port)
{
    int fd = connectTo(address, port);
    if (fd < 0)
        return "<no connection>";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply = readToEnd(fd);
    ::close(fd);
    return reply;
}

std::string wire(const std::string& line)
{
    std::string kind = line.substr(0, 4);
    bool withoutNul = kind == "AKT=" || kind == "GEN=" || kind == "ping";
    return withoutNul ? line + "\n" : line + "\n" + '\0';
}

ServiceProcess::ServiceProcess(std::string directory, std::vector<std::string> options)
    : directory_(std::move(directory))
    , options_(std::move(options))
{
    int fd = listenOnFreeLoopbackAddress(SERVER_PORT, address_);
    if (fd >= 0)
        ::close(fd);
}

ServiceProcess::~ServiceProcess()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::string ServiceProcess::log() const
{
    std::ifstream in(directory_ + "/service.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ServiceProcess::start(const std::vector<std::string>& extra, const std::string& root)
{
    std::vector<std::string> args = { Sandbox::programPath("posQOR_propertyd"), "-a", address_ };
    if (root.empty())
        args.insert(args.end(), { "-d", databasePath() });
    args.insert(args.end(), options_.begin(), options_.end());
    args.insert(args.end(), extra.begin(), extra.end());
    std::string logPath = directory_ + "/service.log";
    pid_ = ::fork();
    if (pid_ == 0) {
        int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(log, 2);
        if (!root.empty())
            ::setenv("POSQOR_ROOT", root.c_str(), 1);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    auto end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
        if (roundTrip(address_, "ping\n") == "pong\n")
            return true;
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int ServiceProcess::stop(int signal)
{
    // Never kill(-1, ...): that would reach every process of the user.
    if (pid_ <= 0)
        return -1;
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
}

std::string ServiceProcess::registerTerminal(
    int number, const std::string& serial, const std::string& mac, const std::string& role) const
{
    return ask("STN=" + std::to_string(number) + "=" + serial + "=" + mac + "=" + role);
}
