#include "remoteProperty.h"

#include "bootIdentity.h"
#include "pacing.h"
#include "posConfigCommon.h"
#include "uniqueFd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace
{

// The exchange itself is bounded: a server that accepts and then never
// answers must not hold the terminal's boot for ever. Generous, because a
// store server under a boot storm can be slow.
constexpr int CONNECT_TIMEOUT_MS = 20 * 1000;
constexpr int EXCHANGE_TIMEOUT_MS = 20 * 1000;

constexpr unsigned int FIRST_BACKOFF_MS = 50;
constexpr int READ_AND_WRITE_ATTEMPTS = 6;

// Reply buffers of at most this many bytes hold only the leading bytes that
// their callers compare (the one-byte load-method flag, the three-byte reload
// flag) and are filled whole; larger buffers are used as strings and always
// keep a terminating NUL.
constexpr int LEADING_BYTES_BUFFER = 3;

constexpr int TERMINAL_NUMBER_BUFFER_MIN = 4;
constexpr int TIMESTAMP_BUFFER_MIN = 64;
constexpr int PING_REPLY_SIZE = 6;

// The resolved server address; kept for the rest of the process after the
// first successful lookup and never refreshed.
bool getHostByNameDone = false;
sockaddr_in serverAddress {};

using Clock = std::chrono::steady_clock;

const char* shown(const char* text)
{
    return text != nullptr ? text : "(null)";
}

int millisecondsLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until the socket is ready for events or the deadline passes; 1 when
// ready, 0 (errno ETIMEDOUT) when the time ran out, -1 on failure.
int awaitSocket(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd entry { fd, events, 0 };
        int ready = ::poll(&entry, 1, millisecondsLeft(deadline));
        if (ready > 0)
            return 1;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return 0;
        }
        if (errno != EINTR)
            return -1;
    }
}

bool resolveServer()
{
    if (getHostByNameDone)
        return true;
    if (TSERVER == nullptr || *TSERVER == '\0')
        return false;
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(TSERVER, nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    std::memcpy(&serverAddress, found->ai_addr, sizeof serverAddress);
    ::freeaddrinfo(found);
    serverAddress.sin_family = AF_INET;
    serverAddress.sin_port = htons(SERVER_PORT);
    getHostByNameDone = true;
    return true;
}

// One connection attempt within CONNECT_TIMEOUT_MS: 0, or -1 with errno.
int connectWithin(const UniqueFd& socket)
{
    int rc = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&serverAddress), sizeof serverAddress);
    if (rc == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return -1;
    auto deadline = Clock::now() + std::chrono::milliseconds(CONNECT_TIMEOUT_MS);
    if (awaitSocket(socket.get(), POLLOUT, deadline) <= 0)
        return -1;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return -1;
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

// Sends all bytes before the deadline; the count sent, or -1 with errno.
long sendAll(const UniqueFd& socket, const char* bytes, int length, Clock::time_point deadline)
{
    int sent = 0;
    while (sent < length) {
        long rc = ::send(socket.get(), bytes + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
        if (rc > 0) {
            sent += static_cast<int>(rc);
            continue;
        }
        if (rc < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        if (awaitSocket(socket.get(), POLLOUT, deadline) <= 0)
            return -1;
    }
    return sent;
}

// Builds "kind" + fields joined by "=" + "\n" in the zero-filled request
// buffer; the byte count to send (with the terminating NUL when withNul), or
// -1 (with a message) when the request does not fit or a field would end the
// line early. A refused request is never sent.
int buildRequest(
    char (&request)[MAX_REQUEST], std::string_view kind, std::initializer_list<const char*> fields, bool withNul)
{
    std::memset(request, 0, sizeof request);
    std::string text(kind);
    bool first = true;
    for (const char* field : fields) {
        if (!first)
            text += '=';
        first = false;
        if (std::strchr(field, '\n') != nullptr) {
            std::fprintf(stderr, "remoteProperty request \"%.4s\" refused: a field holds a line feed\n", text.c_str());
            return -1;
        }
        text += field;
    }
    text += '\n';
    // The line feed and the terminating NUL must both fit.
    if (text.size() + 1 > sizeof request) {
        std::fprintf(stderr, "remoteProperty request \"%.4s\" of %zu bytes does not fit in %d, not sent\n",
            text.c_str(), text.size() + 1, MAX_REQUEST);
        return -1;
    }
    std::memcpy(request, text.data(), text.size());
    return static_cast<int>(text.size()) + (withNul ? 1 : 0);
}

// One exchange through readAndWrite for a request of the given kind; -1
// without any exchange when the request is refused.
int exchange(
    std::string_view kind, std::initializer_list<const char*> fields, bool withNul, char* reply, int* replyLength)
{
    char request[MAX_REQUEST];
    int requestLength = buildRequest(request, kind, fields, withNul);
    if (requestLength < 0) {
        std::memset(reply, 0, static_cast<size_t>(*replyLength));
        return -1;
    }
    return readAndWrite(request, &requestLength, reply, replyLength);
}

// An exchange whose reply is text for the caller: the buffer's last byte
// stays outside the received bytes, so the reply is always terminated (except
// for buffers that hold only leading bytes). *length takes the reply's length when a final
// line feed was removed, as the transport does.
int textExchange(std::string_view kind, std::initializer_list<const char*> fields, bool withNul, char* buffer,
    int* length, bool leadingBytesOnly = false)
{
    int counted = leadingBytesOnly ? *length : *length - 1;
    int received = counted;
    if (counted < *length)
        buffer[counted] = '\0';
    int result = exchange(kind, fields, withNul, buffer, &received);
    if (received != counted)
        *length = received;
    return result;
}

bool begins(const char* reply, std::string_view prefix)
{
    return std::strncmp(reply, prefix.data(), prefix.size()) == 0;
}

// "ok" gives 0, "exist" gives existResult, anything else otherwise.
int okOrExist(int transport, const char* reply, int existResult, int otherwise)
{
    if (transport != 0)
        return -1;
    if (begins(reply, "ok"))
        return 0;
    if (begins(reply, "exist"))
        return existResult;
    return otherwise;
}

} // namespace

int receiveReply(const std::function<long(char*, int)>& receive, char* resultBuffer, int* resultLength)
{
    int capacity = *resultLength;
    int received = 0;
    // A reply may come in several segments: keep receiving until it ends with
    // a line feed, the peer closes, or the buffer is full.
    while (received < capacity && (received == 0 || resultBuffer[received - 1] != '\n')) {
        long count = receive(resultBuffer + received, capacity - received);
        if (count < 0)
            return -1;
        if (count == 0)
            break;
        if (count > capacity - received)
            count = capacity - received;
        received += static_cast<int>(count);
    }
    if (received > 0 && resultBuffer[received - 1] == '\n') {
        resultBuffer[received - 1] = '\0';
        *resultLength = received - 1;
    }
    return received;
}

int connectSendAndAwaitResponse(const char* requestBuffer, int* requestLength, char* resultBuffer, int* resultLength,
    int maxAttempts, int maxAttemptsExceededAction)
{
    if (requestBuffer == nullptr || requestLength == nullptr || *requestLength < 0 || *requestLength > MAX_REQUEST
        || resultBuffer == nullptr || resultLength == nullptr || *resultLength < 0) {
        std::fprintf(stderr, "remoteProperty: invalid request or reply buffer\n");
        return -1;
    }
    const int capacity = *resultLength;
    std::memset(resultBuffer, 0, static_cast<size_t>(capacity));

    if (!resolveServer()) {
        std::fprintf(stderr, "remoteProperty Failure to gethostbyname(%s)\n", shown(TSERVER));
        if (maxAttemptsExceededAction == 1)
            cleanupAndExit(21);
        return -21;
    }

    unsigned int backoff = FIRST_BACKOFF_MS;
    int attempts = 0;
    UniqueFd socket;
    for (;;) {
        socket = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!socket.valid()) {
            std::fprintf(stderr, "remoteProperty: no socket errno=%d\n", errno);
            return -1;
        }
        // A fresh socket per attempt: a socket whose connect timed out
        // cannot be connected again.
        int rc = connectWithin(socket);
        if (rc == 0)
            break;
        int error = errno;
        socket.reset();
        std::fprintf(stderr, "connect to \"%s\" rc=%d errno=%d sleep=%ums\n", shown(TSERVER), rc, error, backoff);
        if (++attempts == maxAttempts) {
            if (maxAttemptsExceededAction == 1) {
                std::fprintf(stderr, "max attempts exceeded, restarting\n");
                cleanupAndExit(20);
            }
            return -20;
        }
        if (backoff < 1000)
            waitMilliseconds(backoff);
        else
            waitSeconds(backoff / 1000);
        if (backoff < static_cast<unsigned int>(MAX_TIMEOUT_MS)) {
            backoff *= 2;
            if (backoff > static_cast<unsigned int>(MAX_TIMEOUT_MS))
                backoff = MAX_TIMEOUT_MS;
        }
    }

    auto deadline = Clock::now() + std::chrono::milliseconds(EXCHANGE_TIMEOUT_MS);
    long sent = sendAll(socket, requestBuffer, *requestLength, deadline);
    if (sent < 0) {
        int error = errno;
        if (error == ETIMEDOUT)
            std::fprintf(stderr, "remoteProperty: \"%s\" took no request within %d s\n", shown(TSERVER),
                EXCHANGE_TIMEOUT_MS / 1000);
        std::fprintf(stderr, "Error on socket write rc=%ld, errno=%d\n", sent, error);
        return -1;
    }

    int received = receiveReply(
        [&socket, deadline](char* place, int room) -> long {
            for (;;) {
                long count = ::recv(socket.get(), place, static_cast<size_t>(room), 0);
                if (count >= 0)
                    return count;
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    return -1;
                if (awaitSocket(socket.get(), POLLIN, deadline) <= 0)
                    return -1;
            }
        },
        resultBuffer, resultLength);
    if (received < 0) {
        int error = errno;
        // A cut reply must not pass for a whole one.
        std::memset(resultBuffer, 0, static_cast<size_t>(capacity));
        if (error == ETIMEDOUT)
            std::fprintf(stderr, "remoteProperty: no reply from \"%s\" within %d s\n", shown(TSERVER),
                EXCHANGE_TIMEOUT_MS / 1000);
        std::fprintf(stderr, "Error on socket read rc=%d errno=%d\n", received, error);
        return -1;
    }
    if (received == capacity && capacity > 0 && *resultLength == capacity) {
        char next = 0;
        if (::recv(socket.get(), &next, 1, MSG_PEEK | MSG_DONTWAIT) == 1 && next != '\n')
            std::fprintf(stderr, "remoteProperty reply longer than %d bytes, the rest is dropped\n", capacity);
    }
    return 0;
}

int readAndWrite(const char* requestBuffer, int* requestLength, char* resultBuffer, int* resultLength)
{
    return connectSendAndAwaitResponse(
        requestBuffer, requestLength, resultBuffer, resultLength, READ_AND_WRITE_ATTEMPTS, 1);
}

int getRemoteProperty(char* buffer, int length, const char* property)
{
    if (buffer == nullptr || length < 1)
        return -1;
    if (property == nullptr) {
        std::memset(buffer, 0, static_cast<size_t>(length));
        return -1;
    }
    return textExchange("get=", { property }, true, buffer, &length, length <= LEADING_BYTES_BUFFER);
}

int setRemoteProperty(const char* property, const char* value)
{
    if (property == nullptr || value == nullptr)
        return -1;
    char reply[MAX_REQUEST];
    int replyLength = MAX_REQUEST;
    int result = exchange("set=", { property, value }, true, reply, &replyLength);
    return okOrExist(result, reply, -1, -1);
}

int setReturnErrorRemote(const char* property, const char* value)
{
    if (property == nullptr || value == nullptr)
        return -1;
    char reply[MAX_REQUEST];
    int replyLength = MAX_REQUEST;
    int result = exchange("sre=", { property, value }, true, reply, &replyLength);
    return okOrExist(result, reply, 2, -1);
}

int setRemoteTimestamp(const char* property)
{
    if (property == nullptr)
        return -1;
    char reply[MAX_REQUEST];
    int replyLength = MAX_REQUEST;
    int result = exchange("sts=", { property }, true, reply, &replyLength);
    return okOrExist(result, reply, -1, -1);
}

int getKeysMatchingValue(char* buffer, int length, const char* regExp)
{
    if (buffer == nullptr || length < 1)
        return -1;
    if (regExp == nullptr) {
        std::memset(buffer, 0, static_cast<size_t>(length));
        return -1;
    }
    return textExchange("val=", { regExp }, true, buffer, &length);
}

int setTerminalName(const char* terminalNumber, const char* serialNumber, const char* macs, const char* role)
{
    if (terminalNumber == nullptr || serialNumber == nullptr || macs == nullptr || role == nullptr)
        return -1;
    char reply[MAX_REQUEST];
    int replyLength = MAX_REQUEST;
    int result = exchange("STN=", { terminalNumber, serialNumber, macs, role }, true, reply, &replyLength);
    // "exist" is tested first; any other reply refuses the registration.
    if (result != 0)
        return -1;
    if (begins(reply, "exist"))
        return 2;
    return begins(reply, "ok") ? 0 : 1;
}

namespace
{

int terminalNumberFor(std::string_view kind, const char* key, char* terminalNumber, int* maxTerminalNumberLength)
{
    if (key == nullptr || terminalNumber == nullptr || maxTerminalNumberLength == nullptr
        || *maxTerminalNumberLength < TERMINAL_NUMBER_BUFFER_MIN)
        return -1;
    return textExchange(kind, { key }, true, terminalNumber, maxTerminalNumberLength);
}

} // namespace

int getTerminalNumberForSerialNumber(const char* serialNumber, char* terminalNumber, int* maxTerminalNumberLength)
{
    return terminalNumberFor("TBS=", serialNumber, terminalNumber, maxTerminalNumberLength);
}

int getTerminalNumberForMac(const char* mac, char* terminalNumber, int* maxTerminalNumberLength)
{
    return terminalNumberFor("TBM=", mac, terminalNumber, maxTerminalNumberLength);
}

int getAllKnownTerminals(char* responseBuffer, int* responseBufferLength)
{
    if (responseBuffer == nullptr || responseBufferLength == nullptr || *responseBufferLength <= 0)
        return -1;
    int size = *responseBufferLength;
    int result = textExchange("AKT=", {}, false, responseBuffer, responseBufferLength);
    // "ok" stands for "no terminal known".
    if (result == 0 && begins(responseBuffer, "ok")) {
        std::memset(responseBuffer, 0, static_cast<size_t>(size));
        if (*responseBufferLength != size)
            *responseBufferLength = 0;
    }
    return result;
}

int getRegenerationTimestamp(char* responseBuffer, int* responseBufferLength)
{
    if (responseBuffer == nullptr || responseBufferLength == nullptr || *responseBufferLength < TIMESTAMP_BUFFER_MIN)
        return -1;
    return textExchange("GEN=", {}, false, responseBuffer, responseBufferLength);
}

int removeTerminalNumber(int terminalNumber)
{
    if (terminalNumber == 0)
        return -1;
    std::string number = std::to_string(terminalNumber);
    char reply[MAX_REQUEST];
    int replyLength = MAX_REQUEST;
    int result = exchange("RTN=", { number.c_str() }, true, reply, &replyLength);
    return okOrExist(result, reply, 2, -1);
}

int pingServer(int maxAttempts)
{
    char request[MAX_REQUEST];
    int requestLength = buildRequest(request, "ping", {}, false);
    char reply[PING_REPLY_SIZE];
    int replyLength = PING_REPLY_SIZE;
    int result = connectSendAndAwaitResponse(request, &requestLength, reply, &replyLength, maxAttempts, 0);
    return result == 0 && begins(reply, "pong") ? 1 : 0;
}
