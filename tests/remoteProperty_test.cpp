// The remote property client against a scripted service: the exact request
// bytes, the results, the reply buffers, cut and silent replies, and (in fresh
// processes) the back-off, the name cache and the exit statuses.
#include "bootIdentity.h"
#include "fakeServer.h"
#include "remoteProperty.h"
#include "sandbox.h"
#include "textFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

using namespace std::string_literals;

namespace
{

FakeServer& server()
{
    static FakeServer instance;
    return instance;
}

// Every in-process test talks to the one server of this process: the client
// keeps the first resolved address for the rest of the process.
class RemoteProperty : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server().ok());
        static std::string address = server().address();
        TSERVER = address.data();
        server().script({});
        server().setResponder(nullptr);
        server().clearRequests();
    }

    // The single request the last operation sent.
    static std::string onlyRequest()
    {
        std::vector<std::string> requests = server().requests(1);
        return requests.size() == 1 ? requests[0] : "<" + std::to_string(requests.size()) + " requests>";
    }
};

struct OperationCase {
    const char* name;
    std::function<int(std::string& text)> call; // result; text: the reply left for the caller
    std::string reply;
    std::string request;
    int result;
    std::string text;
};

std::string textOf(const char* buffer)
{
    return buffer;
}

TEST_F(RemoteProperty, EveryOperationSendsItsRequestBytesAndGivesItsResult)
{
    const std::vector<OperationCase> cases = {
        { "get",
            [](std::string& t) {
                char b[256];
                int r = getRemoteProperty(b, 256, "posClient.3.role");
                t = textOf(b);
                return r;
            },
            "Kasse\n", "get=posClient.3.role\n\0"s, 0, "Kasse" },
        { "set", [](std::string&) { return setRemoteProperty("Terminal.3.RELOAD_IMAGE", "no"); }, "ok\n",
            "set=Terminal.3.RELOAD_IMAGE=no\n\0"s, 0, "" },
        { "sre", [](std::string&) { return setReturnErrorRemote("posClient.4.role", "Kasse"); }, "exist\n",
            "sre=posClient.4.role=Kasse\n\0"s, 2, "" },
        { "sts", [](std::string&) { return setRemoteTimestamp("Store.changed"); }, "ok\n", "sts=Store.changed\n\0"s, 0,
            "" },
        { "val",
            [](std::string& t) {
                char b[512];
                int r = getKeysMatchingValue(b, 512, "^Kasse$");
                t = textOf(b);
                return r;
            },
            "posClient.3.role,posClient.4.role\n", "val=^Kasse$\n\0"s, 0, "posClient.3.role,posClient.4.role" },
        { "STN", [](std::string&) { return setTerminalName("12", "MT.4800.SN.ABC", "00:11:22:33:44:55", "Kasse"); },
            "ok\n", "STN=12=MT.4800.SN.ABC=00:11:22:33:44:55=Kasse\n\0"s, 0, "" },
        { "TBS",
            [](std::string& t) {
                char b[4] = {};
                int l = 4;
                int r = getTerminalNumberForSerialNumber("MT.4800.SN.ABC", b, &l);
                t = textOf(b);
                return r;
            },
            "12\n", "TBS=MT.4800.SN.ABC\n\0"s, 0, "12" },
        { "TBM",
            [](std::string& t) {
                char b[4] = {};
                int l = 4;
                int r = getTerminalNumberForMac("00:11:22:33:44:55", b, &l);
                t = textOf(b);
                return r;
            },
            "7\n", "TBM=00:11:22:33:44:55\n\0"s, 0, "7" },
        { "AKT",
            [](std::string& t) {
                char b[4004];
                int l = 4004;
                int r = getAllKnownTerminals(b, &l);
                t = textOf(b);
                return r;
            },
            "1,2,12\n", "AKT=\n", 0, "1,2,12" },
        { "GEN",
            [](std::string& t) {
                char b[64];
                int l = 64;
                int r = getRegenerationTimestamp(b, &l);
                t = textOf(b);
                return r;
            },
            "1733612345678\n", "GEN=\n", 0, "1733612345678" },
        { "RTN", [](std::string&) { return removeTerminalNumber(12); }, "ok\n", "RTN=12\n\0"s, 0, "" },
        { "RTN negative", [](std::string&) { return removeTerminalNumber(-3); }, "ok\n", "RTN=-3\n\0"s, 0, "" },
        { "ping", [](std::string&) { return pingServer(7); }, "pong\n", "ping\n", 1, "" },
    };
    for (const OperationCase& row : cases) {
        SCOPED_TRACE(row.name);
        server().clearRequests();
        server().script({ FakeServer::answer(row.reply) });
        std::string text;
        EXPECT_EQ(row.call(text), row.result);
        EXPECT_EQ(onlyRequest(), row.request);
        EXPECT_EQ(text, row.text);
    }
}

struct ReplyCase {
    std::string reply;
    int result;
};

// Replies are recognised by their leading bytes; a peer that closes without
// a word is an empty reply.
TEST_F(RemoteProperty, ResultsFollowTheLeadingBytesOfTheReply)
{
    struct Table {
        const char* name;
        std::function<int()> call;
        std::vector<ReplyCase> rows;
    };
    const std::vector<Table> tables = {
        { "set", [] { return setRemoteProperty("k", "v"); },
            { { "ok\n", 0 }, { "ok", 0 }, { "okay\n", 0 }, { "o\n", -1 }, { "no\n", -1 }, { "exist\n", -1 },
                { "", -1 } } },
        { "sre", [] { return setReturnErrorRemote("k", "v"); },
            { { "ok\n", 0 }, { "exist\n", 2 }, { "exists", 2 }, { "exis\n", -1 }, { "", -1 } } },
        { "sts", [] { return setRemoteTimestamp("k"); }, { { "ok", 0 }, { "exist", -1 }, { "", -1 } } },
        { "STN", [] { return setTerminalName("1", "s", "m", "r"); },
            { { "ok\n", 0 }, { "exist\n", 2 }, { "existing", 2 }, { "refused\n", 1 }, { "o", 1 }, { "", 1 } } },
        { "RTN", [] { return removeTerminalNumber(5); },
            { { "ok\n", 0 }, { "exist\n", 2 }, { "gone\n", -1 }, { "", -1 } } },
        { "ping", [] { return pingServer(3); },
            { { "pong\n", 1 }, { "pong", 1 }, { "pongpong", 1 }, { "pon\n", 0 }, { "PONG\n", 0 }, { "", 0 } } },
    };
    for (const Table& table : tables) {
        for (const ReplyCase& row : table.rows) {
            SCOPED_TRACE(std::string(table.name) + " reply \"" + row.reply + "\"");
            server().script({ row.reply.empty() ? FakeServer::closeWithoutReply() : FakeServer::answer(row.reply) });
            EXPECT_EQ(table.call(), row.result);
        }
    }
}

TEST_F(RemoteProperty, InvalidArgumentsFailWithoutAConnection)
{
    char buffer[64] = {};
    int three = 3;
    int sixtyThree = 63;
    int zero = 0;
    int four = 4;
    const std::vector<std::pair<const char*, std::function<int()>>> cases = {
        { "TBS length 3", [&] { return getTerminalNumberForSerialNumber("s", buffer, &three); } },
        { "TBM length 3", [&] { return getTerminalNumberForMac("m", buffer, &three); } },
        { "TBS null key", [&] { return getTerminalNumberForSerialNumber(nullptr, buffer, &four); } },
        { "TBS null buffer", [&] { return getTerminalNumberForSerialNumber("s", nullptr, &four); } },
        { "TBM null length", [&] { return getTerminalNumberForMac("m", buffer, nullptr); } },
        { "GEN length 63", [&] { return getRegenerationTimestamp(buffer, &sixtyThree); } },
        { "AKT length 0", [&] { return getAllKnownTerminals(buffer, &zero); } },
        { "AKT null buffer", [&] { return getAllKnownTerminals(nullptr, &four); } },
        { "RTN 0", [] { return removeTerminalNumber(0); } },
        { "STN null number", [] { return setTerminalName(nullptr, "s", "m", "r"); } },
        { "STN null serial", [] { return setTerminalName("1", nullptr, "m", "r"); } },
        { "STN null macs", [] { return setTerminalName("1", "s", nullptr, "r"); } },
        { "STN null role", [] { return setTerminalName("1", "s", "m", nullptr); } },
        { "get null key", [&] { return getRemoteProperty(buffer, 64, nullptr); } },
        { "set null value", [] { return setRemoteProperty("k", nullptr); } },
    };
    server().setResponder([](std::string_view) { return FakeServer::answer("ok\n"); });
    for (const auto& [name, call] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(call(), -1);
    }
    EXPECT_EQ(server().connections(), 0u);
}

// "set=" + key + "=" + value + "\n" + NUL must fit the 532-byte request.
TEST_F(RemoteProperty, RequestThatDoesNotFitIsRefusedAndNeverSentCut)
{
    const std::string key(263, 'k');
    const std::string fits(262, 'v'); // 4 + 263 + 1 + 262 + 1 + NUL = 532
    const std::string tooLong(263, 'v'); // 533
    server().setResponder([](std::string_view) { return FakeServer::answer("ok\n"); });

    EXPECT_EQ(setRemoteProperty(key.c_str(), fits.c_str()), 0);
    std::vector<std::string> requests = server().requests(1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "set=" + key + "=" + fits + "\n" + '\0');

    EXPECT_EQ(setRemoteProperty(key.c_str(), tooLong.c_str()), -1);
    char buffer[512];
    EXPECT_EQ(getRemoteProperty(buffer, sizeof buffer, std::string(600, 'k').c_str()), -1);
    EXPECT_STREQ(buffer, "");
    // A line feed inside a field would end the request line early.
    EXPECT_EQ(setRemoteProperty("a\nset=b", "c"), -1);
    EXPECT_EQ(server().connections(), 1u);
}

struct BufferCase {
    const char* name;
    bool terminalNumber; // getTerminalNumberForSerialNumber, else getRemoteProperty
    std::string reply;
    int length; // reply buffer size given by the caller
    std::string bytes; // the whole buffer afterwards
    int lengthAfter; // the length afterwards (changed only by a removed line feed)
};

// The caller's buffer size bounds the reply; no byte beyond it is touched.
TEST_F(RemoteProperty, ReplyFillsTheCallersBufferAndNoMore)
{
    const std::vector<BufferCase> cases = {
        { "1-byte flag takes one byte", false, "TRUE\n", 1, "T", 1 },
        { "1-byte flag, empty reply", false, "\n", 1, "\0"s, 1 },
        { "3-byte reload flag", false, "yes\n", 3, "yes", 3 },
        { "3-byte reload flag, no", false, "no\n", 3, "no\0"s, 3 },
        { "string keeps its terminator", false, "abcdefgh\n", 8, "abcdefg\0"s, 8 },
        { "only one final line feed removed", false, "a\n\n", 8, "a\n\0\0\0\0\0\0"s, 8 },
        { "carriage return kept", false, "ok\r\n", 8, "ok\r\0\0\0\0\0"s, 8 },
        { "three digits", true, "123\n", 4, "123\0"s, 4 },
        { "four digits are cut to three", true, "1234\n", 4, "123\0"s, 4 },
        { "line feed removed sets the length", true, "7\n", 4, "7\0\0\0"s, 1 },
        { "no line feed leaves the length", true, "7", 4, "7\0\0\0"s, 4 },
    };
    for (const BufferCase& row : cases) {
        SCOPED_TRACE(row.name);
        server().script({ FakeServer::answer(row.reply) });
        std::string area(static_cast<std::size_t>(row.length) + 4, 'x');
        int length = row.length;
        int result = row.terminalNumber ? getTerminalNumberForSerialNumber("s", area.data(), &length)
                                        : getRemoteProperty(area.data(), length, "k");
        EXPECT_EQ(result, 0);
        EXPECT_EQ(area.substr(0, static_cast<std::size_t>(row.length)), row.bytes);
        EXPECT_EQ(area.substr(static_cast<std::size_t>(row.length)), "xxxx");
        EXPECT_EQ(length, row.lengthAfter);
    }
}

TEST_F(RemoteProperty, KnownTerminalsAnsweredOkGiveAnEmptyList)
{
    for (const char* reply : { "ok\n", "ok" }) {
        SCOPED_TRACE(reply);
        server().script({ FakeServer::answer(reply) });
        char buffer[4004];
        std::memset(buffer, 'x', sizeof buffer);
        int length = sizeof buffer;
        EXPECT_EQ(getAllKnownTerminals(buffer, &length), 0);
        EXPECT_STREQ(buffer, "");
    }
}

// Over a real network a long list arrives in several segments.
TEST_F(RemoteProperty, ReplyInSeveralSegmentsIsReceivedWhole)
{
    std::string list;
    for (int number = 1; list.size() < 3990; ++number)
        list += std::to_string(number) + ",";
    list.resize(4000, '9');
    const std::vector<std::pair<const char*, FakeServer::Reply>> cases = {
        { "three pieces",
            FakeServer::inPieces({ list.substr(0, 1000), list.substr(1000, 2000), list.substr(3000) + "\n" }, 30) },
        { "one byte then the rest", FakeServer::inPieces({ list.substr(0, 1), list.substr(1) + "\n" }, 30) },
        { "line feed alone", FakeServer::inPieces({ list, "\n" }, 30) },
        { "after a pause", FakeServer::slowly(list + "\n", 300) },
        { "open after the line feed", FakeServer::answerAndKeepOpen(list + "\n") },
    };
    for (const auto& [name, reply] : cases) {
        SCOPED_TRACE(name);
        server().script({ reply });
        std::vector<char> buffer(4004);
        int length = 4004;
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(getAllKnownTerminals(buffer.data(), &length), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        EXPECT_EQ(std::string(buffer.data()), list);
        EXPECT_EQ(length, 4000);
    }
}

TEST_F(RemoteProperty, PeerThatClosesWithoutReplyGivesAnEmptyReply)
{
    server().script({ FakeServer::closeWithoutReply() });
    char flag[1] = { 'x' };
    EXPECT_EQ(getRemoteProperty(flag, 1, "STNC.ForceInline"), 0);
    EXPECT_EQ(flag[0], '\0');
    EXPECT_EQ(onlyRequest(), "get=STNC.ForceInline\n\0"s);
}

// A server that accepts and never answers costs one bounded wait, not the boot.
TEST_F(RemoteProperty, SilentServerFailsTheExchangeAfterTheTimeLimit)
{
    server().script({ FakeServer::inPieces({ "T" }, 60 * 1000) });
    char flag[4] = { 'x', 'x', 'x', 'x' };
    testing::internal::CaptureStderr();
    auto started = std::chrono::steady_clock::now();
    int result = getRemoteProperty(flag, 3, "STNC.ForceInline");
    auto took = std::chrono::steady_clock::now() - started;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(std::string(flag, 4), "\0\0\0x"s);
    EXPECT_GE(took, std::chrono::seconds(15));
    EXPECT_LT(took, std::chrono::seconds(40));
    EXPECT_NE(err.find("no reply from \"" + server().address() + "\""), std::string::npos) << err;
    EXPECT_NE(err.find("Error on socket read rc=-1 errno=110\n"), std::string::npos) << err;
}

// ---- Whole processes: back-off, name cache and exit statuses ---------------

class RemotePropertyProcess : public ::testing::Test
{
protected:
    // An address in 127/8 where nothing listens.
    static std::string closedAddress()
    {
        std::string address;
        int fd = listenOnFreeLoopbackAddress(46910, address);
        if (fd >= 0)
            ::close(fd);
        return address;
    }

    Sandbox box;
};

TEST_F(RemotePropertyProcess, UnreachableServerEndsTheProcessWithStatus20AfterSixAttempts)
{
    std::string address = closedAddress();
    box.setEnv("TSERVER", address);
    ProgramResult result = box.run("remoteCall", { "set", "k", "v" });
    EXPECT_EQ(result.exitStatus, 20);
    EXPECT_EQ(result.out, "");
    std::string expected;
    for (unsigned sleep : { 50u, 100u, 200u, 400u, 800u, 1600u })
        expected += "connect to \"" + address + "\" rc=-1 errno=111 sleep=" + std::to_string(sleep) + "ms\n";
    expected += "max attempts exceeded, restarting\n";
    EXPECT_EQ(result.err, expected);
    EXPECT_EQ(box.waits(), (std::vector<unsigned long> { 50, 100, 200, 400, 800 }));
}

TEST_F(RemotePropertyProcess, PingOfAnUnreachableServerBacksOffAndCarriesOn)
{
    box.setEnv("TSERVER", closedAddress());
    ProgramResult result = box.run("remoteCall", { "ping", "10", "ping", "0" }, "", 3);
    // A maxAttempts of 0 never gives up: the second ping is still trying.
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.out, "ping=0\n");
    std::vector<unsigned long> waits = box.waits();
    ASSERT_GE(waits.size(), 9u + 12u);
    EXPECT_EQ(std::vector<unsigned long>(waits.begin(), waits.begin() + 9),
        (std::vector<unsigned long> { 50, 100, 200, 400, 800, 1000, 3000, 6000, 12000 }));
    // The never-ending ping caps its pauses at 30 s.
    EXPECT_EQ(std::vector<unsigned long>(waits.begin() + 9, waits.begin() + 21),
        (std::vector<unsigned long> { 50, 100, 200, 400, 800, 1000, 3000, 6000, 12000, 25000, 30000, 30000 }));
}

TEST_F(RemotePropertyProcess, PingAloneNeverEndsTheProcess)
{
    box.setEnv("TSERVER", closedAddress());
    ProgramResult result = box.run("remoteCall", { "ping", "10" });
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "ping=0\n");
    EXPECT_EQ(countOf(result.err, "connect to \""), 10);
    EXPECT_EQ(countOf(result.err, "max attempts"), 0);
    EXPECT_EQ(box.waits().size(), 9u);
}

struct NameCase {
    const char* name;
    std::vector<std::string> args;
    int exitStatus;
    std::string out;
    int failureMessages;
};

// The name is resolved at the first operation that finds it; a failed lookup
// is tried again next time, a successful one is kept for the process.
TEST_F(RemotePropertyProcess, ServerNameIsResolvedOnceAndUnresolvableNamesEndWith21)
{
    FakeServer service;
    ASSERT_TRUE(service.ok());
    service.setResponder([](std::string_view line) { return FakeServer::answer(line == "ping" ? "pong\n" : "val\n"); });
    const std::string good = service.address();
    const std::vector<NameCase> cases = {
        { "ping without a name carries on", { "tserver", "", "ping", "7", "tserver", good, "ping", "7" }, 0,
            "ping=0\nping=1\n", 1 },
        { "unset name", { "tserver-unset", "ping", "7", "get", "k", "16" }, 21, "ping=0\n", 2 },
        { "empty name ends a get", { "tserver", "", "get", "k", "16" }, 21, "", 1 },
        { "resolved name is kept", { "tserver", good, "ping", "7", "tserver", "", "get", "k", "16" }, 0,
            "ping=1\nget=0 val\n", 0 },
    };
    for (const NameCase& row : cases) {
        SCOPED_TRACE(row.name);
        ProgramResult result = box.run("remoteCall", row.args);
        EXPECT_EQ(result.exitStatus, row.exitStatus);
        EXPECT_EQ(result.out, row.out);
        EXPECT_EQ(countOf(result.err, "remoteProperty Failure to gethostbyname("), row.failureMessages) << result.err;
        EXPECT_EQ(countOf(result.err, "connect to"), 0);
    }
    EXPECT_TRUE(box.waits().empty());
}

} // namespace
