// Boot storm: N terminals boot at once and each asks the property service
// what a booting terminal asks (ping, TBS=, TBM=, its role, its reload flag;
// the new ones also GEN=, AKT= and STN=), one connection per request. The
// same storm runs against a minimal accept-reply-close server as baseline.
//
//   bootStorm_bench N [database directory]
#include "propertyService.h"
#include "serviceRequest.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

namespace
{

// A run that makes no progress for this long is abandoned.
constexpr int STALL_LIMIT_MS = 30000;
constexpr int REGISTRATION_ROUNDS = 3;
// Read-only storms per server, taken in turns.
constexpr int READ_PASSES = 5;

struct request_s {
    std::string bytes;
    bool changes = false; // a durable change (STN=)
};

struct terminal_s {
    std::vector<request_s> script;
    size_t step = 0;
    int fd = -1;
    bool connected = false;
    std::string reply;
    Clock::time_point started;
};

struct stormResult_s {
    std::vector<double> readMs;
    std::vector<double> changeMs;
    std::vector<std::string> changeReplies;
    double seconds = 0;
    int failures = 0;
};

std::string wire(const std::string& line)
{
    std::string kind = line.substr(0, 4);
    bool withoutNul = kind == "AKT=" || kind == "GEN=" || kind == "ping";
    return line + "\n" + (withoutNul ? "" : "\0"s);
}

std::string serialOf(int index)
{
    return "MT.POS500.SN.CZC" + std::to_string(100000 + index);
}

std::string macOf(int index)
{
    char mac[32];
    std::snprintf(mac, sizeof mac, "00:1b:21:%02x:%02x:%02x", (index >> 16) & 255, (index >> 8) & 255, index & 255);
    return mac;
}

int numberOf(int index)
{
    return index % MAX_TERMINAL_NUMBER + 1;
}

request_s read(const std::string& line)
{
    return { wire(line), false };
}

request_s registration(int index, const std::string& role)
{
    return { wire("STN=" + std::to_string(numberOf(index)) + "=" + serialOf(index) + "=" + macOf(index) + "=" + role),
        true };
}

// What terminal index asks on its boot.
std::vector<request_s> bootScript(int index, bool isNew)
{
    std::string number = std::to_string(numberOf(index));
    std::vector<request_s> script = { read("ping"), read("TBS=" + serialOf(index)), read("TBM=" + macOf(index)) };
    if (isNew) {
        script.push_back(read("GEN="));
        script.push_back(read("AKT="));
        script.push_back(registration(index, "Kasse"));
    }
    script.push_back(read("get=posClient." + number + ".role"));
    script.push_back(read("get=Terminal." + number + ".RELOAD_IMAGE"));
    return script;
}

int startRequest(int epoll, terminal_s& terminal, uint32_t index, const sockaddr_in& server)
{
    terminal.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (terminal.fd < 0)
        return -1;
    terminal.connected = false;
    terminal.reply.clear();
    terminal.started = Clock::now();
    int rc = ::connect(terminal.fd, reinterpret_cast<const sockaddr*>(&server), sizeof server);
    if (rc != 0 && errno != EINPROGRESS)
        return -1;
    epoll_event event {};
    event.events = EPOLLOUT;
    event.data.u32 = index;
    return ::epoll_ctl(epoll, EPOLL_CTL_ADD, terminal.fd, &event);
}

// Runs every terminal's script at once against the server; each request is
// one connection.
stormResult_s runStorm(const sockaddr_in& server, std::vector<terminal_s> terminals)
{
    stormResult_s result;
    int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    size_t active = 0;
    auto begin = Clock::now();
    for (uint32_t i = 0; i < terminals.size(); ++i) {
        if (terminals[i].script.empty())
            continue;
        if (startRequest(epoll, terminals[i], i, server) != 0) {
            std::fprintf(stderr, "cannot connect: %s\n", std::strerror(errno));
            std::exit(1);
        }
        ++active;
    }
    auto lastProgress = Clock::now();
    std::vector<epoll_event> events(1024);
    while (active > 0) {
        int count = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 1000);
        if (count <= 0 && Clock::now() - lastProgress > std::chrono::milliseconds(STALL_LIMIT_MS)) {
            std::fprintf(stderr, "no progress for %d ms with %zu terminals waiting\n", STALL_LIMIT_MS, active);
            std::exit(1);
        }
        for (int e = 0; e < count; ++e) {
            uint32_t index = events[e].data.u32;
            terminal_s& terminal = terminals[index];
            const request_s& request = terminal.script[terminal.step];
            bool finished = false;
            bool failed = false;
            if (!terminal.connected) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(terminal.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0) {
                    failed = true;
                } else {
                    terminal.connected = true;
                    ::send(terminal.fd, request.bytes.data(), request.bytes.size(), MSG_NOSIGNAL);
                    epoll_event event {};
                    event.events = EPOLLIN;
                    event.data.u32 = index;
                    ::epoll_ctl(epoll, EPOLL_CTL_MOD, terminal.fd, &event);
                }
            } else {
                char buffer[8192];
                ssize_t got = ::recv(terminal.fd, buffer, sizeof buffer, 0);
                if (got > 0)
                    terminal.reply.append(buffer, static_cast<size_t>(got));
                else if (got == 0)
                    finished = true;
                else if (errno != EAGAIN)
                    failed = true;
            }
            if (!finished && !failed)
                continue;
            lastProgress = Clock::now();
            double ms = std::chrono::duration<double, std::milli>(lastProgress - terminal.started).count();
            ::close(terminal.fd);
            if (failed || terminal.reply.empty() || terminal.reply.back() != '\n'
                || terminal.reply.compare(0, 6, "error:") == 0) {
                ++result.failures;
            } else if (request.changes) {
                result.changeMs.push_back(ms);
                result.changeReplies.push_back(terminal.reply);
            } else {
                result.readMs.push_back(ms);
            }
            if (++terminal.step == terminal.script.size()) {
                --active;
                continue;
            }
            if (startRequest(epoll, terminal, index, server) != 0) {
                std::fprintf(stderr, "cannot connect: %s\n", std::strerror(errno));
                std::exit(1);
            }
        }
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    ::close(epoll);
    return result;
}

void addUp(stormResult_s& total, const stormResult_s& pass)
{
    total.readMs.insert(total.readMs.end(), pass.readMs.begin(), pass.readMs.end());
    total.changeMs.insert(total.changeMs.end(), pass.changeMs.begin(), pass.changeMs.end());
    total.seconds += pass.seconds;
    total.failures += pass.failures;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t position = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[position];
}

std::vector<double> allLatencies(const stormResult_s& result)
{
    std::vector<double> all = result.readMs;
    all.insert(all.end(), result.changeMs.begin(), result.changeMs.end());
    return all;
}

double requestsPerSecond(const stormResult_s& result)
{
    return static_cast<double>(result.readMs.size() + result.changeMs.size()) / result.seconds;
}

void printLine(const char* label, const stormResult_s& result)
{
    std::vector<double> all = allLatencies(result);
    std::printf("  %-34s %9.0f req/s  p50 %7.2f ms  p99 %7.2f ms  (%zu requests, %.2f s, %d failed)\n", label,
        requestsPerSecond(result), percentile(all, 0.5), percentile(all, 0.99), all.size(), result.seconds,
        result.failures);
}

// The baseline: accept, read once, reply, close; nothing else.
class MinimalServer
{
public:
    MinimalServer()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4096);
        socklen_t length = sizeof address_;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address_), &length);
        thread_ = std::thread([this] {
            char buffer[1024];
            while (true) {
                int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) {
                    if (stop_)
                        return;
                    continue;
                }
                ::recv(fd, buffer, sizeof buffer, 0);
                ::send(fd, "ok\n", 3, MSG_NOSIGNAL);
                ::close(fd);
            }
        });
    }
    ~MinimalServer()
    {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    const sockaddr_in& address() const { return address_; }

private:
    int listener_ = -1;
    sockaddr_in address_ {};
    std::atomic<bool> stop_ { false };
    std::thread thread_;
};

// posQOR_propertyd's server, in this process, on a loopback port.
class ServiceUnderTest
{
public:
    explicit ServiceUnderTest(const std::string& databasePath)
    {
        std::string error;
        int listener = listenForService("127.0.0.1", 0, error);
        if (listener < 0) {
            std::fprintf(stderr, "cannot listen: %s\n", error.c_str());
            std::exit(1);
        }
        socklen_t length = sizeof address_;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address_), &length);
        options_.databasePath = databasePath;
        options_.maxConnections = 8192;
        thread_ = std::thread([this, listener] { runPropertyService(options_, listener); });
    }
    ~ServiceUnderTest()
    {
        requestServiceStop();
        thread_.join();
    }
    const sockaddr_in& address() const { return address_; }

private:
    serviceOptions_s options_;
    sockaddr_in address_ {};
    std::thread thread_;
};

std::vector<terminal_s> terminalsWith(int count, const std::function<std::vector<request_s>(int)>& script)
{
    std::vector<terminal_s> terminals(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        terminals[static_cast<size_t>(i)].script = script(i);
    return terminals;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || std::atoi(argv[1]) < 1) {
        std::fprintf(stderr, "usage: bootStorm_bench N [database directory]\n");
        return 2;
    }
    const int terminals = std::atoi(argv[1]);
    std::string directory = argc > 2 ? argv[2] : "/var/tmp";
    directory += "/bootStorm." + std::to_string(::getpid());
    std::filesystem::create_directories(directory);

    rlimit limit {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);

    // One terminal in five is new; the rest were registered before the storm.
    const int newTerminals = terminals / 5;
    const int knownTerminals = terminals - newTerminals;
    auto isNew = [knownTerminals](int i) { return i >= knownTerminals; };
    auto storm = [&](int i) { return bootScript(i, isNew(i)); };
    auto readsOnly = [](int i) { return bootScript(i, false); };

    std::printf("boot storm: %d terminals at once (%d known, %d new), database in %s\n", terminals, knownTerminals,
        newTerminals, directory.c_str());

    stormResult_s baselineStorm;
    stormResult_s serviceStorm;
    stormResult_s baselineReads;
    stormResult_s serviceReads;
    stormResult_s burst;
    {
        MinimalServer baseline;
        ServiceUnderTest service(directory + "/properties.db");
        runStorm(service.address(),
            terminalsWith(knownTerminals, [](int i) { return std::vector<request_s> { registration(i, "Kasse") }; }));
        baselineStorm = runStorm(baseline.address(), terminalsWith(terminals, storm));
        serviceStorm = runStorm(service.address(), terminalsWith(terminals, storm));
        // Short runs on a shared machine vary a lot: the read storms take
        // turns between the two servers and add up.
        for (int pass = 0; pass < READ_PASSES; ++pass) {
            addUp(baselineReads, runStorm(baseline.address(), terminalsWith(terminals, readsOnly)));
            addUp(serviceReads, runStorm(service.address(), terminalsWith(terminals, readsOnly)));
        }
        // Every terminal registers again and again (new role each time): one
        // durable change per request.
        burst = runStorm(service.address(), terminalsWith(std::min(terminals, MAX_TERMINAL_NUMBER), [](int i) {
            std::vector<request_s> script;
            for (int round = 0; round < REGISTRATION_ROUNDS; ++round)
                script.push_back(registration(i, "Role" + std::to_string(round)));
            return script;
        }));
    }
    std::filesystem::remove_all(directory);

    int ok = 0;
    int exist = 0;
    for (const auto& reply : serviceStorm.changeReplies) {
        ok += reply == "ok\n";
        exist += reply == "exist\n";
    }
    int burstOk = static_cast<int>(std::count(burst.changeReplies.begin(), burst.changeReplies.end(), "ok\n"));

    std::printf("full boot storm (known: 5 reads; new: 7 reads and STN=):\n");
    printLine("baseline accept-reply-close", baselineStorm);
    printLine("posQOR_propertyd", serviceStorm);
    std::printf("  ratio to baseline %.2f; registrations in the storm: %d ok, %d exist, p50 %.2f ms, p99 %.2f ms\n",
        requestsPerSecond(serviceStorm) / requestsPerSecond(baselineStorm), ok, exist,
        percentile(serviceStorm.changeMs, 0.5), percentile(serviceStorm.changeMs, 0.99));
    std::printf("reads only (every terminal known, 5 reads each, %d passes per server in turns):\n", READ_PASSES);
    printLine("baseline accept-reply-close", baselineReads);
    printLine("posQOR_propertyd", serviceReads);
    std::printf("  read ratio to baseline %.2f (target 0.5 or better)\n",
        requestsPerSecond(serviceReads) / requestsPerSecond(baselineReads));
    std::printf("durable registrations (%d terminals x %d STN= at once):\n", std::min(terminals, MAX_TERMINAL_NUMBER),
        REGISTRATION_ROUNDS);
    printLine("posQOR_propertyd", burst);
    std::printf("  %d acknowledged in %.2f s: %.0f registrations/s (target 1000 or better)\n", burstOk, burst.seconds,
        burstOk / burst.seconds);
    return 0;
}
