// The real posQOR_propertyd on its own loopback address: the replies as the
// clients see them, durability, races and hostile clients.
#include "bootIdentity.h"
#include "propertyService.h"
#include "remoteProperty.h"
#include "sandbox.h"
#include "serviceProcess.h"
#include "serviceRequest.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

namespace
{

// Whether the peer sent anything (or closed) within the time.
bool answersWithin(int fd, int milliseconds)
{
    pollfd wait { fd, POLLIN, 0 };
    return ::poll(&wait, 1, milliseconds) > 0;
}

class Service : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/serviceTestXXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
        service_ = std::make_unique<ServiceProcess>(directory_, std::vector<std::string> { "--idle-timeout", "0.5" });
        ASSERT_FALSE(service_->address().empty());
    }
    void TearDown() override
    {
        // A sanitizer build of the service reports its findings in the log.
        std::string log = service_->log();
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
        EXPECT_EQ(log.find("runtime error:"), std::string::npos) << log;
        service_.reset();
        std::filesystem::remove_all(directory_);
    }

    std::string ask(const std::string& line) { return service_->ask(line); }

    std::string directory_;
    std::unique_ptr<ServiceProcess> service_;
};

struct exchange_s {
    std::string request; // bytes as sent
    std::string reply; // exact reply, or a prefix when it ends with "*"
};

void expectReplies(const std::string& address, const std::vector<exchange_s>& exchanges)
{
    for (size_t i = 0; i < exchanges.size(); ++i) {
        std::string reply = roundTrip(address, exchanges[i].request);
        const std::string& expected = exchanges[i].reply;
        if (!expected.empty() && expected.back() == '*')
            EXPECT_EQ(reply.substr(0, expected.size() - 1), expected.substr(0, expected.size() - 1))
                << "step " << i << ": " << reply;
        else
            EXPECT_EQ(reply, expected) << "step " << i;
    }
}

TEST_F(Service, EveryKindAnswersAsTheClientsExpect)
{
    ASSERT_TRUE(service_->start());
    expectReplies(service_->address(),
        {
            { "ping\n", "pong\n" },
            { "get=STNC.ForceInline\n\0"s, "\n" },
            { "set=STNC.ForceInline=TRUE\n\0"s, "ok\n" },
            { "get=STNC.ForceInline\n\0"s, "TRUE\n" },
            { "sre=STNC.ForceInline=x\n\0"s, "exist\n" },
            { "AKT=\n", "\n" },
            { "STN=12=MT.M.SN.CZC12=00:11:22:33:44:55=Kasse=A\n\0"s, "ok\n" },
            { "STN=12=MT.M.SN.CZC99=00:11:22:33:44:99=Kasse\n\0"s, "exist\n" },
            { "TBS=MT.M.SN.CZC12\n\0"s, "12\n" },
            { "TBM=00:11:22:33:44:55\n\0"s, "12\n" },
            { "TBM=00:11:22:33:44:99\n\0"s, "\n" },
            { "get=posClient.12.role\n\0"s, "Kasse=A\n" },
            { "AKT=\n", "12\n" },
            { "val=^Kasse\n\0"s, "posClient.12.role\n" },
            { "RTN=12\n\0"s, "ok\n" },
            { "TBS=MT.M.SN.CZC12\n\0"s, "\n" },
            { "sts=stamp\n\0"s, "ok\n" },
        });
}

TEST_F(Service, MalformedRequestsGetOneErrorLineAndStoreNothing)
{
    ASSERT_TRUE(service_->start());
    expectReplies(service_->address(),
        {
            { "hello\n\0"s, "error: unknown request\n" },
            { "set=novalue\n\0"s, "error: *" },
            { "STN=0=s=00:11:22:33:44:55=r\n\0"s, "error: *" },
            { "STN=1000=s=00:11:22:33:44:55=r\n\0"s, "error: *" },
            { "RTN=abc\n\0"s, "error: *" },
            { "AKT=1\n", "error: *" },
            { "get=a\x01\x02\xff\n\0"s, "error: control character in request\n" },
            { "get=x\n\0junk"s, "error: data after the request\n" },
            { "AKT=\n", "\n" },
            { "val=.\n\0"s, "\n" },
        });
    EXPECT_NE(service_->log().find("refused"), std::string::npos);
}

TEST_F(Service, GenerationChangesWhenTheListChanges)
{
    ASSERT_TRUE(service_->start());
    std::string first = ask("GEN=");
    ASSERT_FALSE(first.empty());
    EXPECT_LE(first.size(), 64u);
    EXPECT_EQ(first.back(), '\n');
    EXPECT_EQ(ask("STN=12=MT.M.SN.CZC12=00:11:22:33:44:55=Kasse"), "ok\n");
    std::string second = ask("GEN=");
    EXPECT_NE(second, first);
    EXPECT_EQ(ask("RTN=12"), "ok\n");
    EXPECT_NE(ask("GEN="), second);
}

TEST_F(Service, ReplyWaitsForTheNulAfterTheLineFeed)
{
    ASSERT_TRUE(service_->start());
    ASSERT_EQ(ask("set=k=v"), "ok\n");
    int fd = connectTo(service_->address(), SERVER_PORT);
    ASSERT_GE(fd, 0);
    ::send(fd, "get=k\n", 6, MSG_NOSIGNAL);
    EXPECT_FALSE(answersWithin(fd, 50));
    ::send(fd, "\0", 1, MSG_NOSIGNAL);
    EXPECT_EQ(readToEnd(fd), "v\n");
    ::close(fd);
}

TEST_F(Service, LineWithoutItsNulIsAnsweredAfterAShortWait)
{
    ASSERT_TRUE(service_->start());
    ASSERT_EQ(ask("set=k=v"), "ok\n");
    EXPECT_EQ(roundTrip(service_->address(), "get=k\n"), "v\n");
}

TEST_F(Service, KindsWithoutNulAreAnsweredAtTheLineFeed)
{
    ASSERT_TRUE(service_->start());
    for (const char* request : { "ping\n", "AKT=\n", "GEN=\n" }) {
        int fd = connectTo(service_->address(), SERVER_PORT);
        ASSERT_GE(fd, 0);
        ::send(fd, request, 5, MSG_NOSIGNAL);
        EXPECT_TRUE(answersWithin(fd, NUL_GRACE_MS - 50)) << request;
        ::close(fd);
    }
}

TEST_F(Service, RecordsSurviveARestart)
{
    ASSERT_TRUE(service_->start());
    ASSERT_EQ(ask("STN=7=MT.M.SN.CZC7=00:11:22:33:44:07=Kasse"), "ok\n");
    ASSERT_EQ(ask("set=Terminal.7.RELOAD_IMAGE=yes"), "ok\n");
    std::string generation = ask("GEN=");
    EXPECT_EQ(WEXITSTATUS(service_->stop(SIGTERM)), 0);
    ASSERT_TRUE(service_->start());
    expectReplies(service_->address(),
        {
            { wire("TBS=MT.M.SN.CZC7"), "7\n" },
            { wire("TBM=00:11:22:33:44:07"), "7\n" },
            { wire("get=posClient.7.role"), "Kasse\n" },
            { wire("get=Terminal.7.RELOAD_IMAGE"), "yes\n" },
            { wire("GEN="), generation },
        });
}

TEST_F(Service, StopsCleanlyOnTermAndInterruptAndLogsChanges)
{
    for (int signal : { SIGTERM, SIGINT }) {
        ASSERT_TRUE(service_->start());
        ASSERT_EQ(ask("set=a=" + std::to_string(signal)), "ok\n");
        int status = service_->stop(signal);
        EXPECT_TRUE(WIFEXITED(status)) << signal;
        EXPECT_EQ(WEXITSTATUS(status), 0) << signal;
    }
    std::string log = service_->log();
    EXPECT_NE(log.find("posQOR_propertyd: set a=15\n"), std::string::npos) << log;
    EXPECT_NE(log.find("posQOR_propertyd: set a=2\n"), std::string::npos) << log;
    EXPECT_NE(log.find("stopped"), std::string::npos) << log;
}

TEST_F(Service, DefaultDatabaseLivesUnderTheRoot)
{
    ASSERT_TRUE(service_->start({}, directory_));
    ASSERT_EQ(ask("set=a=b"), "ok\n");
    EXPECT_TRUE(std::filesystem::exists(directory_ + "/var/opt/qor/retail/posQOR_propertyd.db"));
}

TEST_F(Service, RacingMachinesForOneNumberGetExactlyOneOk)
{
    ASSERT_TRUE(service_->start());
    constexpr int MACHINES = 40;
    std::vector<std::string> replies(MACHINES);
    std::atomic<bool> go { false };
    std::vector<std::thread> machines;
    for (int i = 0; i < MACHINES; ++i) {
        machines.emplace_back([&, i] {
            char mac[32];
            std::snprintf(mac, sizeof mac, "00:11:22:33:55:%02x", i);
            std::string request = wire("STN=33=MT.M.SN.CZC" + std::to_string(100 + i) + "=" + mac + "=Kasse");
            int fd = connectTo(service_->address(), SERVER_PORT);
            while (!go)
                std::this_thread::yield();
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            replies[i] = readToEnd(fd);
            ::close(fd);
        });
    }
    go = true;
    for (auto& machine : machines)
        machine.join();
    int ok = 0;
    int exist = 0;
    for (const auto& reply : replies) {
        ok += reply == "ok\n";
        exist += reply == "exist\n";
    }
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(exist, MACHINES - 1);
    EXPECT_EQ(ask("AKT="), "33\n");
}

TEST_F(Service, HostileClientsDoNotStopOthersBeingServed)
{
    ASSERT_TRUE(service_->start({ "--idle-timeout", "1" }));
    const std::string address = service_->address();
    // A slow client that sends one byte and then nothing.
    int slow = connectTo(address, SERVER_PORT);
    ::send(slow, "g", 1, MSG_NOSIGNAL);
    // A half-sent request: the client stops sending before the line feed.
    int half = connectTo(address, SERVER_PORT);
    ::send(half, "get=abc", 7, MSG_NOSIGNAL);
    ::shutdown(half, SHUT_WR);
    // An oversized request, and binary bytes.
    std::string oversized = "set=k=" + std::string(4000, 'x') + "\n\0"s;
    std::string binary = "\x80\x00\xff\x01\n\0"s;

    EXPECT_EQ(roundTrip(address, oversized).substr(0, 29), "error: request longer than 53");
    EXPECT_EQ(roundTrip(address, binary).substr(0, 7), "error: ");
    EXPECT_EQ(readToEnd(half).substr(0, 7), "error: ");
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(roundTrip(address, "ping\n"), "pong\n") << i;
    EXPECT_EQ(ask("get=k"), "\n");
    // The slow client is still held open, then sent away with an error.
    EXPECT_FALSE(answersWithin(slow, 0));
    EXPECT_EQ(readToEnd(slow, 5000).substr(0, 7), "error: ");
    ::close(slow);
    ::close(half);
}

TEST_F(Service, ClientsBeyondTheConnectionLimitWaitInsteadOfBeingDropped)
{
    ASSERT_TRUE(service_->start({ "--max-connections", "2" }));
    int first = connectTo(service_->address(), SERVER_PORT);
    int second = connectTo(service_->address(), SERVER_PORT);
    ::send(first, "g", 1, MSG_NOSIGNAL);
    ::send(second, "g", 1, MSG_NOSIGNAL);
    // Served once the idle ones are sent away.
    EXPECT_EQ(roundTrip(service_->address(), "ping\n"), "pong\n");
    ::close(first);
    ::close(second);
}

TEST_F(Service, EveryAcknowledgedRegistrationSurvivesAKill)
{
    constexpr int ROUNDS = 4;
    constexpr int WRITERS = 4;
    std::atomic<int> nextNumber { 1 };
    std::vector<int> acknowledged;
    std::mutex acknowledgedMutex;
    for (int round = 0; round < ROUNDS; ++round) {
        ASSERT_TRUE(service_->start()) << round;
        std::atomic<bool> running { true };
        std::vector<std::thread> writers;
        for (int w = 0; w < WRITERS; ++w) {
            writers.emplace_back([&] {
                while (running) {
                    int number = nextNumber++;
                    if (number > MAX_TERMINAL_NUMBER)
                        return;
                    char mac[32];
                    std::snprintf(mac, sizeof mac, "00:11:22:33:%02x:%02x", number / 256, number % 256);
                    std::string reply = roundTrip(service_->address(),
                        wire("STN=" + std::to_string(number) + "=MT.M.SN.CZC" + std::to_string(number) + "=" + mac
                            + "=Kasse"));
                    if (reply == "ok\n") {
                        std::lock_guard lock(acknowledgedMutex);
                        acknowledged.push_back(number);
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + 50 * round));
        int status = service_->stop(SIGKILL);
        running = false;
        for (auto& writer : writers)
            writer.join();
        EXPECT_TRUE(WIFSIGNALED(status));
    }
    ASSERT_TRUE(service_->start());
    ASSERT_FALSE(acknowledged.empty());
    std::string list = "," + ask("AKT=");
    list.back() = ',';
    for (int number : acknowledged) {
        EXPECT_NE(list.find("," + std::to_string(number) + ","), std::string::npos) << number;
        char mac[32];
        std::snprintf(mac, sizeof mac, "00:11:22:33:%02x:%02x", number / 256, number % 256);
        EXPECT_EQ(ask("TBM="s + mac), std::to_string(number) + "\n");
    }
}

// The client library of the setup programs, byte for byte as they send.
TEST_F(Service, ClientLibraryOperationsGetTheirResults)
{
    ASSERT_TRUE(service_->start());
    std::string server = service_->address();
    TSERVER = server.data();
    const char* serial = "MT.POS500.SN.CZC4711";
    const char* mac = "00:1b:21:00:47:11";

    EXPECT_EQ(pingServer(1), 1);
    EXPECT_EQ(setTerminalName("12", serial, mac, "Kasse=Bar"), 0);
    EXPECT_EQ(setTerminalName("12", "MT.POS500.SN.CZC0815", "00:1b:21:00:08:15", "Kasse"), 2);
    char number[4] = {};
    int length = sizeof number;
    EXPECT_EQ(getTerminalNumberForSerialNumber(serial, number, &length), 0);
    EXPECT_STREQ(number, "12");
    char byMac[4] = {};
    length = sizeof byMac;
    EXPECT_EQ(getTerminalNumberForMac(mac, byMac, &length), 0);
    EXPECT_STREQ(byMac, "12");
    char role[256] = {};
    EXPECT_EQ(getRemoteProperty(role, sizeof role, "posClient.12.role"), 0);
    EXPECT_STREQ(role, "Kasse=Bar");
    char known[4004] = {};
    length = sizeof known;
    EXPECT_EQ(getAllKnownTerminals(known, &length), 0);
    EXPECT_STREQ(known, "12");
    char before[64] = {};
    length = sizeof before;
    EXPECT_EQ(getRegenerationTimestamp(before, &length), 0);
    EXPECT_NE(before[0], '\0');

    EXPECT_EQ(setRemoteProperty("Terminal.12.RELOAD_IMAGE", "yes"), 0);
    char flag[3] = {};
    EXPECT_EQ(getRemoteProperty(flag, sizeof flag, "Terminal.12.RELOAD_IMAGE"), 0);
    EXPECT_EQ(std::string(flag, 3), "yes");
    EXPECT_EQ(setReturnErrorRemote("once", "1"), 0);
    EXPECT_EQ(setReturnErrorRemote("once", "2"), 2);
    EXPECT_EQ(setRemoteTimestamp("stamp"), 0);
    char keys[512] = {};
    EXPECT_EQ(getKeysMatchingValue(keys, sizeof keys, "^Kasse"), 0);
    EXPECT_STREQ(keys, "posClient.12.role");

    EXPECT_EQ(removeTerminalNumber(12), 0);
    char after[64] = {};
    length = sizeof after;
    EXPECT_EQ(getRegenerationTimestamp(after, &length), 0);
    EXPECT_NE(std::string(after), std::string(before));
    char gone[4] = {};
    length = sizeof gone;
    EXPECT_EQ(getTerminalNumberForSerialNumber(serial, gone, &length), 0);
    EXPECT_STREQ(gone, "");
    // No reply was cut short by a reset from a NUL left unread.
    EXPECT_EQ(service_->log().find("data after the request"), std::string::npos);
}

TEST(ServiceProgram, HelpNamesTheOptions)
{
    Sandbox sandbox;
    ProgramResult help = sandbox.run("posQOR_propertyd", { "--help" });
    EXPECT_EQ(help.exitStatus, 0);
    for (const char* option :
        { "--address", "--port", "--database", "--foreground", "--idle-timeout", "--max-connections", "46910" })
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    ProgramResult wrong = sandbox.run("posQOR_propertyd", { "--port", "70000" });
    EXPECT_EQ(wrong.exitStatus, 2);
    EXPECT_FALSE(wrong.err.empty());
}

TEST(ServiceProgram, UnusableDatabaseStopsTheStartWithAMessage)
{
    Sandbox sandbox;
    sandbox.writeFile("/blocker", "a file where a directory should be");
    std::string address;
    int fd = listenOnFreeLoopbackAddress(SERVER_PORT, address);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ProgramResult result
        = sandbox.run("posQOR_propertyd", { "-a", address, "-d", sandbox.path("/blocker/db") }, "", 20);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(result.err.find("cannot open the database"), std::string::npos) << result.err;
}

} // namespace
