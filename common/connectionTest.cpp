#include "connectionTest.h"

#include "bootIdentity.h"
#include "pacing.h"
#include "posConfigCommon.h"
#include "prepareForNLS.h"
#include "remoteProperty.h"
#include "sysPath.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>

namespace
{

constexpr std::size_t ADDRESS_SIZE = 16;
constexpr std::size_t LINE_SIZE = 21;
constexpr std::size_t LINE_WIDTH = LINE_SIZE - 1;
constexpr int INFO_LINE_SIZE = 80;
constexpr std::size_t COMMAND_SIZE = 256;
// The longest name the lookup command takes (the longest DNS name).
constexpr std::size_t MAX_HOST_NAME = 253;

constexpr const char* DHCP_INFO_FILE_NAME = "/var/lib/dhcpcd/dhcpcd-eth0.info";
constexpr const char* myIPFileName = "/tmp/myIPAddress.txt";

constexpr const char* INDICATORS[] = { " ? ", "/ /", "---" };
constexpr int MSG_TEST = 0;
constexpr int MSG_FAILED = 1;
constexpr int MSG_OK = 2;

constexpr int FIRST_PING_ATTEMPTS = 7;
constexpr int LATER_PING_ATTEMPTS = 10;
// A round of pings that fails this fast waited for nothing (the service
// closes at once, or the name does not resolve); pausing keeps the test from
// spinning on the console and the server.
constexpr auto QUICK_ROUND = std::chrono::seconds(1);
constexpr unsigned int QUICK_ROUND_PAUSE_SECONDS = 1;

using Address = char[ADDRESS_SIZE];

// Copies at most 15 characters of value, cut at its first line feed, so the
// text stays terminated within its 16 bytes.
void setAddress(Address& address, std::string_view value)
{
    value = value.substr(0, value.find('\n'));
    value = value.substr(0, ADDRESS_SIZE - 1);
    std::memset(address, 0, ADDRESS_SIZE);
    std::memcpy(address, value.data(), value.size());
}

// A name that "host" may see: letters, digits, dots, hyphens and
// underscores, beginning with a letter or digit (never an option).
bool isPlainHostName(const char* name)
{
    std::size_t length = std::strlen(name);
    if (length == 0 || length > MAX_HOST_NAME || !std::isalnum(static_cast<unsigned char>(name[0])))
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (!std::isalnum(c) && c != '.' && c != '-' && c != '_')
            return false;
    }
    return true;
}

// Runs a command through the shell; false (with a message) when it does not
// fit the 256-byte command buffer, and then it is not run at all.
bool runCommand(const std::string& command)
{
    if (command.size() >= COMMAND_SIZE) {
        std::fprintf(
            stderr, "connectionTest command of %zu bytes does not fit in %zu, not run\n", command.size(), COMMAND_SIZE);
        return false;
    }
    std::fflush(stdout);
    std::system(command.c_str());
    return true;
}

// Reads IPADDR= and DHCPSIADDR= from the DHCP client's information file;
// false when the file cannot be opened.
bool addressesFromDhcpInfo(Address& myIP, Address& serverIP)
{
    std::string fileName = sysPath(DHCP_INFO_FILE_NAME);
    FILE* file = std::fopen(fileName.c_str(), "re");
    if (file == nullptr)
        return false;
    std::fprintf(stderr, "In connectionTest, using /var/lib/dhcpcd/dhcpcd-eth0.info\n");
    char line[INFO_LINE_SIZE];
    bool foundMine = false;
    bool foundServer = false;
    bool atLineStart = true;
    while ((!foundMine || !foundServer) && std::fgets(line, sizeof line, file) != nullptr) {
        std::string_view text(line);
        // A long line comes in several reads; only its first read is a key.
        if (atLineStart) {
            if (text.starts_with("IPADDR=")) {
                setAddress(myIP, text.substr(7));
                foundMine = true;
            } else if (text.starts_with("DHCPSIADDR=")) {
                setAddress(serverIP, text.substr(11));
                foundServer = true;
            }
        }
        atLineStart = !text.empty() && text.back() == '\n';
    }
    std::fclose(file);
    return true;
}

void myAddressFromHostname(Address& myIP)
{
    std::fprintf(stderr, "In connectionTest, using hostname -i\n");
    std::string fileName = sysPath(myIPFileName);
    FILE* file = nullptr;
    if (runCommand("hostname -i > " + shellWord(fileName)))
        file = std::fopen(fileName.c_str(), "re");
    if (file == nullptr) {
        std::fprintf(stderr, "Error: connectionTest hostname -i\n");
    } else {
        char line[ADDRESS_SIZE] = {};
        if (std::fgets(line, sizeof line, file) == nullptr) {
            std::fprintf(stderr, "Error: connectionTest reading myIPFileName \n");
            setAddress(myIP, "?? IP ??");
        } else {
            setAddress(myIP, line);
        }
        std::fclose(file);
    }
    ::unlink(fileName.c_str());
}

void serverAddressFromLookup(Address& serverIP)
{
    if (std::isdigit(static_cast<unsigned char>(TSERVER[0]))) {
        setAddress(serverIP, TSERVER);
        return;
    }
    // TSERVER comes from the boot environment: it reaches the shell only as a
    // plain host name.
    if (!isPlainHostName(TSERVER)) {
        std::fprintf(stderr, "connectionTest: server name =%s= is not a plain host name\n", TSERVER);
        connectionExit(TSERVER);
    }
    std::string fileName = sysPath(myIPFileName);
    FILE* file = nullptr;
    if (runCommand(std::string("host ") + TSERVER + " | tail -n1 | cut -f4 -d\\   > " + shellWord(fileName)))
        file = std::fopen(fileName.c_str(), "re");
    if (file == nullptr)
        connectionExit(TSERVER);
    char line[ADDRESS_SIZE] = {};
    bool readOne = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    ::unlink(fileName.c_str());
    if (!readOne)
        connectionExit(myIPFileName);
    setAddress(serverIP, line);
}

// The first `width` characters of text, padded with '-' to `width`.
std::string paddedWithDashes(std::string_view text, std::size_t width)
{
    std::string line(text.substr(0, width));
    line.resize(width, '-');
    return line;
}

} // namespace

void announceConnectionXXX(int whichMsg, const char* myIP, const char* servIP)
{
    std::string_view mine = myIP != nullptr ? myIP : "";
    std::string_view server = servIP != nullptr ? servIP : "";
    // A longer server address would not fit the 20-character line.
    server = server.substr(0, ADDRESS_SIZE - 1);
    const char* indicator = whichMsg >= MSG_TEST && whichMsg <= MSG_OK ? INDICATORS[whichMsg] : INDICATORS[MSG_TEST];

    std::string line1Msg = paddedWithDashes(mine.substr(0, ADDRESS_SIZE), LINE_WIDTH);
    std::string line2Msg = "--";
    line2Msg += indicator;
    int dashes = 18 - static_cast<int>(server.size()) - 3;
    if (dashes > 0)
        line2Msg.append(static_cast<std::size_t>(dashes), '-');
    line2Msg += server;

    std::fflush(stdout);
    std::system("clear");
    std::printf("\n%s\n%s\n", line1Msg.c_str(), line2Msg.c_str());
    std::fflush(stdout);
    writeToLine1(line1Msg.c_str());
    writeToLine2(line2Msg.c_str());
}

void announceConnectionTest(const char* myIP, const char* servIP)
{
    announceConnectionXXX(MSG_TEST, myIP, servIP);
}

void announceConnectionFailed(const char* myIP, const char* servIP)
{
    announceConnectionXXX(MSG_FAILED, myIP, servIP);
}

void announceConnectionOK(const char* myIP, const char* servIP)
{
    announceConnectionXXX(MSG_OK, myIP, servIP);
}

void connectionExit(const char* exitMsg)
{
    std::fprintf(stderr, "Connection Test failed: %s\n", exitMsg != nullptr ? exitMsg : "");
    cleanupAndExit(20);
}

void connectionTest()
{
    // Without a server name no request can ever reach the service; the
    // supervisor starts the run again.
    if (TSERVER == nullptr || *TSERVER == '\0')
        connectionExit("TSERVER is not set");

    Address myIPAddress;
    Address serverIPAddress;
    setAddress(myIPAddress, "??? IP ???");
    setAddress(serverIPAddress, "?? SIP ??");
    if (!addressesFromDhcpInfo(myIPAddress, serverIPAddress)) {
        myAddressFromHostname(myIPAddress);
        serverAddressFromLookup(serverIPAddress);
    }
    std::fprintf(stderr, "My_IP=%s  Server_IP=%s\n", myIPAddress, serverIPAddress);

    for (;;) {
        auto started = std::chrono::steady_clock::now();
        announceConnectionTest(myIPAddress, serverIPAddress);
        if (pingServer(FIRST_PING_ATTEMPTS) == 1)
            break;
        announceConnectionFailed(myIPAddress, serverIPAddress);
        if (pingServer(LATER_PING_ATTEMPTS) == 1)
            break;
        if (std::chrono::steady_clock::now() - started < QUICK_ROUND)
            waitSeconds(QUICK_ROUND_PAUSE_SECONDS);
    }
    announceConnectionOK(myIPAddress, serverIPAddress);
    waitSeconds(1);
    ClearAllDisplays();
    std::fflush(stdout);
    std::system("clear");
}
