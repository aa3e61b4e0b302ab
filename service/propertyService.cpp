#include "propertyService.h"

#include "remoteProperty.h"
#include "serviceRequest.h"
#include "serviceStore.h"
#include "sysPath.h"
#include "uniqueFd.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <queue>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

// How long a refused client may keep sending before its connection is
// closed, and how much of it is read, so the error reply reaches it instead
// of being lost to a reset.
constexpr int LINGER_MS = 1000;
constexpr size_t LINGER_BYTES = 64 * 1024;
// How long a clean stop waits for changes already accepted.
constexpr int STOP_GRACE_MS = 5000;
// Pause after the process ran out of descriptors before accepting again.
constexpr int ACCEPT_PAUSE_MS = 100;
// Linux cuts the backlog to somaxconn; ask for more than the default so a
// store-wide boot does not drop connections while the service is at its
// connection limit.
constexpr int LISTEN_BACKLOG = 4096;

std::atomic<int> stopEventFd { -1 };
std::atomic<bool> stopRequested { false };

enum connectionState { READING, PENDING, WRITING, DRAINING };

struct connection_s {
    UniqueFd socket;
    uint64_t id = 0;
    connectionState state = READING;
    std::string peer;
    std::string received;
    bool inputEnded = false; // the peer closed, or the wait for the NUL ran out
    bool awaitingNul = false; // the line feed came, its NUL has not
    bool lingerAfterReply = false;
    std::string reply;
    size_t sent = 0;
    size_t drained = 0;
    uint32_t events = 0; // what epoll watches for it; 0: not registered
    Clock::time_point deadline;
    bool hasDeadline = false;
};

struct writeJob_s {
    int fd = -1;
    uint64_t id = 0;
    std::string peer;
    serviceRequest_s request;
    std::string reply;
};

// Hand-over between the event loop and the writer thread.
struct writerQueue_s {
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<writeJob_s> pending;
    std::vector<writeJob_s> done;
    bool stop = false;
    UniqueFd doneEvent;
};

struct timer_s {
    Clock::time_point when;
    int fd;
    uint64_t id;
    bool operator>(const timer_s& other) const { return when > other.when; }
};

void signalEvent(int fd)
{
    uint64_t one = 1;
    ssize_t ignored = ::write(fd, &one, sizeof one);
    (void)ignored;
}

void clearEvent(int fd)
{
    uint64_t value;
    ssize_t ignored = ::read(fd, &value, sizeof value);
    (void)ignored;
}

std::string peerText(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

// The first line of a reply, for log lines.
std::string_view replyLine(const std::string& reply)
{
    std::string_view text(reply);
    return text.substr(0, text.find('\n'));
}

// Why a request was refused, from its error reply.
std::string refusalReason(const std::string& reply)
{
    std::string_view line = replyLine(reply);
    constexpr std::string_view prefix = "error: ";
    if (line.substr(0, prefix.size()) == prefix)
        line.remove_prefix(prefix.size());
    return std::string(line);
}

// Makes the queued changes durable, a group per transaction, so that one
// sync of the log covers every change that arrived while the last one ran.
void writerThread(writerQueue_s& queue, serviceStore_s& store)
{
    std::vector<writeJob_s> batch;
    while (true) {
        {
            std::unique_lock lock(queue.mutex);
            queue.wake.wait(lock, [&queue] { return !queue.pending.empty() || queue.stop; });
            if (queue.pending.empty())
                return;
            batch.swap(queue.pending);
        }
        std::vector<std::string> changes;
        bool begun = storeBegin(store) == 0;
        if (!begun)
            serviceLog("storage failure, cannot begin a transaction: " + storeError(store));
        for (writeJob_s& job : batch) {
            std::string change;
            int rc = -1;
            if (begun && storeSavepoint(store) == 0) {
                rc = answerRequest(store, job.request, job.reply, change);
                if (rc >= 0 && storeReleaseSavepoint(store) != 0)
                    rc = -1;
                if (rc < 0)
                    storeRollbackToSavepoint(store);
            }
            if (rc < 0) {
                if (begun)
                    serviceLog("storage failure for " + job.peer + ": " + storeError(store));
                job.reply = "error: storage failure\n";
            } else if (rc == 1) {
                serviceLog("refused " + job.peer + ": " + refusalReason(job.reply));
            } else if (!change.empty()) {
                changes.push_back(change);
            }
        }
        if (begun && storeCommit(store) != 0) {
            serviceLog("storage failure, commit failed: " + storeError(store));
            storeRollback(store);
            for (writeJob_s& job : batch)
                job.reply = "error: storage failure\n";
            changes.clear();
        }
        // Only what is durable is logged as a change.
        for (const std::string& change : changes)
            serviceLog(change);
        {
            std::lock_guard lock(queue.mutex);
            for (writeJob_s& job : batch)
                queue.done.push_back(std::move(job));
        }
        batch.clear();
        signalEvent(queue.doneEvent.get());
    }
}

class Server
{
public:
    Server(const serviceOptions_s& options, int listenSocket)
        : options_(options)
        , listener_(listenSocket)
    {
    }

    int run();

private:
    void acceptConnections();
    void handle(connection_s& connection, uint32_t events);
    void readRequest(connection_s& connection);
    void evaluate(connection_s& connection);
    void refuse(connection_s& connection, const std::string& reason, bool linger);
    void startReply(connection_s& connection, std::string reply, bool linger);
    void continueReply(connection_s& connection);
    void drain(connection_s& connection);
    void deliverWrites();
    void expireTimers();
    void beginStop();
    void closeConnection(connection_s& connection);
    void watch(connection_s& connection, uint32_t events);
    void arm(connection_s& connection, Clock::time_point when);
    void watchListener(bool on);
    int waitTimeout() const;
    connection_s* find(int fd, uint64_t id);

    const serviceOptions_s& options_;
    UniqueFd listener_;
    UniqueFd epoll_;
    UniqueFd stopEvent_;
    serviceStore_s readStore_;
    serviceStore_s writeStore_;
    writerQueue_s queue_;
    std::unordered_map<int, std::unique_ptr<connection_s>> connections_;
    std::priority_queue<timer_s, std::vector<timer_s>, std::greater<timer_s>> timers_;
    uint64_t nextId_ = 1;
    bool listening_ = false;
    bool acceptPaused_ = false;
    Clock::time_point acceptResume_;
    bool stopping_ = false;
    Clock::time_point stopDeadline_;
    size_t unfinished_ = 0; // connections in PENDING or WRITING
};

connection_s* Server::find(int fd, uint64_t id)
{
    auto found = connections_.find(fd);
    if (found == connections_.end() || found->second->id != id)
        return nullptr;
    return found->second.get();
}

void Server::watch(connection_s& connection, uint32_t events)
{
    if (connection.events == events)
        return;
    epoll_event event {};
    event.events = events;
    event.data.fd = connection.socket.get();
    if (events == 0)
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, connection.socket.get(), nullptr);
    else
        ::epoll_ctl(
            epoll_.get(), connection.events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, connection.socket.get(), &event);
    connection.events = events;
}

void Server::arm(connection_s& connection, Clock::time_point when)
{
    connection.deadline = when;
    connection.hasDeadline = true;
    timers_.push({ when, connection.socket.get(), connection.id });
}

void Server::watchListener(bool on)
{
    if (on == listening_ || listener_.get() < 0)
        return;
    if (on) {
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.fd = listener_.get();
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), &event);
    } else {
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listener_.get(), nullptr);
    }
    listening_ = on;
}

void Server::closeConnection(connection_s& connection)
{
    if (connection.state == PENDING || connection.state == WRITING)
        --unfinished_;
    // Closing the socket also takes it out of the epoll set.
    int fd = connection.socket.get();
    connections_.erase(fd);
    if (!stopping_ && !acceptPaused_ && static_cast<int>(connections_.size()) < options_.maxConnections)
        watchListener(true);
}

void Server::acceptConnections()
{
    while (static_cast<int>(connections_.size()) < options_.maxConnections) {
        sockaddr_in address {};
        socklen_t length = sizeof address;
        int fd
            = ::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                serviceLog(std::string("cannot accept more connections for now: ") + std::strerror(errno));
                watchListener(false);
                acceptPaused_ = true;
                acceptResume_ = Clock::now() + std::chrono::milliseconds(ACCEPT_PAUSE_MS);
            }
            return;
        }
        auto connection = std::make_unique<connection_s>();
        connection->socket.reset(fd);
        connection->id = nextId_++;
        connection->peer = peerText(address);
        connection_s& added = *connection;
        uint64_t id = added.id;
        connections_[fd] = std::move(connection);
        arm(added, Clock::now() + std::chrono::milliseconds(options_.idleTimeoutMs));
        // Clients send their request right after connecting, so it is often
        // there already; reading it now saves a trip through epoll.
        readRequest(added);
        if (connection_s* still = find(fd, id); still && still->state == READING)
            watch(*still, EPOLLIN | EPOLLRDHUP);
    }
    // At the limit the rest wait in the listen backlog until a slot frees.
    watchListener(false);
}

void Server::handle(connection_s& connection, uint32_t events)
{
    switch (connection.state) {
    case READING:
        readRequest(connection);
        break;
    case WRITING:
        if (events & (EPOLLERR | EPOLLHUP))
            closeConnection(connection);
        else
            continueReply(connection);
        break;
    case DRAINING:
        drain(connection);
        break;
    case PENDING:
        break;
    }
}

void Server::readRequest(connection_s& connection)
{
    char buffer[MAX_REQUEST + 1];
    size_t room = sizeof buffer - std::min(connection.received.size(), sizeof buffer - 1);
    ssize_t count = ::recv(connection.socket.get(), buffer, room, 0);
    if (count < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        closeConnection(connection);
        return;
    }
    if (count == 0)
        connection.inputEnded = true;
    else
        connection.received.append(buffer, static_cast<size_t>(count));
    evaluate(connection);
}

void Server::evaluate(connection_s& connection)
{
    int length = requestLength(connection.received, connection.inputEnded);
    if (length == REQUEST_INCOMPLETE) {
        if (connection.inputEnded) // cannot happen: an ended input is decided
            closeConnection(connection);
        else if (!connection.awaitingNul && connection.received.find('\n') != std::string::npos) {
            connection.awaitingNul = true;
            auto grace = Clock::now() + std::chrono::milliseconds(NUL_GRACE_MS);
            if (grace < connection.deadline)
                arm(connection, grace);
        }
        return;
    }
    if (length == REQUEST_TOO_LONG) {
        refuse(connection, "request longer than " + std::to_string(MAX_REQUEST) + " bytes", true);
        return;
    }
    if (length == REQUEST_TRUNCATED) {
        // A connection closed without a byte is a probe, not a request.
        if (connection.received.empty())
            closeConnection(connection);
        else
            refuse(connection, "request ended before its line feed", false);
        return;
    }
    if (connection.received.size() > static_cast<size_t>(length)) {
        refuse(connection, "data after the request", true);
        return;
    }
    std::string_view line(connection.received);
    line = line.substr(0, line.find('\n'));
    serviceRequest_s request;
    std::string reason;
    if (parseServiceRequest(line, request, reason) != 0) {
        refuse(connection, reason, false);
        return;
    }
    if (options_.logEveryRequest)
        serviceLog("request from " + connection.peer + ": " + std::string(line));
    if (requestChangesStore(request)) {
        watch(connection, 0);
        connection.state = PENDING;
        connection.hasDeadline = false;
        ++unfinished_;
        {
            std::lock_guard lock(queue_.mutex);
            queue_.pending.push_back(
                { connection.socket.get(), connection.id, connection.peer, std::move(request), {} });
        }
        queue_.wake.notify_one();
        return;
    }
    std::string reply;
    std::string change;
    int rc = answerRequest(readStore_, request, reply, change);
    if (rc < 0) {
        serviceLog("storage failure for " + connection.peer + ": " + storeError(readStore_));
        reply = "error: storage failure\n";
    } else if (rc == 1) {
        serviceLog("refused " + connection.peer + ": " + refusalReason(reply));
    }
    startReply(connection, std::move(reply), false);
}

void Server::refuse(connection_s& connection, const std::string& reason, bool linger)
{
    serviceLog("refused " + connection.peer + ": " + reason);
    startReply(connection, "error: " + reason + "\n", linger && !connection.inputEnded);
}

void Server::startReply(connection_s& connection, std::string reply, bool linger)
{
    if (connection.state != PENDING)
        ++unfinished_;
    connection.state = WRITING;
    connection.reply = std::move(reply);
    connection.sent = 0;
    connection.lingerAfterReply = linger;
    arm(connection, Clock::now() + std::chrono::milliseconds(options_.idleTimeoutMs));
    continueReply(connection);
}

void Server::continueReply(connection_s& connection)
{
    while (connection.sent < connection.reply.size()) {
        ssize_t count = ::send(connection.socket.get(), connection.reply.data() + connection.sent,
            connection.reply.size() - connection.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                watch(connection, EPOLLOUT);
                return;
            }
            if (errno == EINTR)
                continue;
            closeConnection(connection);
            return;
        }
        connection.sent += static_cast<size_t>(count);
    }
    if (!connection.lingerAfterReply) {
        closeConnection(connection);
        return;
    }
    --unfinished_;
    ::shutdown(connection.socket.get(), SHUT_WR);
    connection.state = DRAINING;
    watch(connection, EPOLLIN | EPOLLRDHUP);
    arm(connection, Clock::now() + std::chrono::milliseconds(LINGER_MS));
}

void Server::drain(connection_s& connection)
{
    char buffer[4096];
    ssize_t count = ::recv(connection.socket.get(), buffer, sizeof buffer, 0);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    connection.drained += count > 0 ? static_cast<size_t>(count) : 0;
    if (count <= 0 || connection.drained > LINGER_BYTES)
        closeConnection(connection);
}

void Server::deliverWrites()
{
    clearEvent(queue_.doneEvent.get());
    std::vector<writeJob_s> done;
    {
        std::lock_guard lock(queue_.mutex);
        done.swap(queue_.done);
    }
    for (writeJob_s& job : done) {
        connection_s* connection = find(job.fd, job.id);
        if (!connection)
            continue;
        if (options_.logEveryRequest)
            serviceLog("reply to " + connection->peer + ": " + std::string(replyLine(job.reply)));
        startReply(*connection, std::move(job.reply), false);
    }
}

void Server::expireTimers()
{
    auto now = Clock::now();
    if (acceptPaused_ && now >= acceptResume_) {
        acceptPaused_ = false;
        if (!stopping_ && static_cast<int>(connections_.size()) < options_.maxConnections)
            watchListener(true);
    }
    while (!timers_.empty() && timers_.top().when <= now) {
        timer_s timer = timers_.top();
        timers_.pop();
        connection_s* connection = find(timer.fd, timer.id);
        if (!connection || !connection->hasDeadline || connection->deadline != timer.when)
            continue;
        connection->hasDeadline = false;
        if (connection->state == READING && connection->awaitingNul) {
            // The NUL did not come: answer the line as it is.
            connection->inputEnded = true;
            evaluate(*connection);
        } else if (connection->state == READING) {
            refuse(*connection, "no complete request within " + std::to_string(options_.idleTimeoutMs) + " ms", false);
        } else {
            closeConnection(*connection);
        }
    }
}

int Server::waitTimeout() const
{
    auto now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    if (!timers_.empty())
        next = timers_.top().when;
    if (acceptPaused_)
        next = std::min(next, acceptResume_);
    if (stopping_)
        next = std::min(next, stopDeadline_);
    if (next == Clock::time_point::max())
        return -1;
    if (next <= now)
        return 0;
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
    return static_cast<int>(std::min<long long>(wait, 60 * 1000));
}

void Server::beginStop()
{
    if (stopping_)
        return;
    stopping_ = true;
    stopDeadline_ = Clock::now() + std::chrono::milliseconds(STOP_GRACE_MS);
    serviceLog("stopping");
    watchListener(false);
    listener_.reset();
    // Changes already accepted are finished and answered; the rest ends now.
    std::vector<connection_s*> idle;
    for (auto& [fd, connection] : connections_)
        if (connection->state == READING || connection->state == DRAINING)
            idle.push_back(connection.get());
    for (connection_s* connection : idle)
        closeConnection(*connection);
}

int Server::run()
{
    std::string error;
    if (storeOpen(writeStore_, options_.databasePath, error) != 0
        || storeOpen(readStore_, options_.databasePath, error) != 0) {
        serviceLog("cannot open the database " + options_.databasePath + ": " + error);
        return -1;
    }
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    stopEvent_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    queue_.doneEvent.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (epoll_.get() < 0 || stopEvent_.get() < 0 || queue_.doneEvent.get() < 0) {
        serviceLog(std::string("cannot set up the event loop: ") + std::strerror(errno));
        return -1;
    }
    for (int fd : { stopEvent_.get(), queue_.doneEvent.get() }) {
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event);
    }
    stopEventFd = stopEvent_.get();
    if (stopRequested)
        signalEvent(stopEvent_.get());
    watchListener(true);

    std::thread writer(writerThread, std::ref(queue_), std::ref(writeStore_));
    serviceLog("serving, database " + options_.databasePath);

    std::vector<epoll_event> events(256);
    while (!stopping_ || (unfinished_ > 0 && Clock::now() < stopDeadline_)) {
        int count = ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()), waitTimeout());
        if (count < 0 && errno != EINTR) {
            serviceLog(std::string("event loop failed: ") + std::strerror(errno));
            break;
        }
        for (int i = 0; i < count; ++i) {
            int fd = events[i].data.fd;
            if (fd == stopEvent_.get()) {
                clearEvent(fd);
                beginStop();
            } else if (fd == queue_.doneEvent.get()) {
                deliverWrites();
            } else if (listener_.get() >= 0 && fd == listener_.get()) {
                acceptConnections();
            } else if (auto found = connections_.find(fd); found != connections_.end()) {
                handle(*found->second, events[i].events);
            }
        }
        expireTimers();
    }

    {
        std::lock_guard lock(queue_.mutex);
        queue_.stop = true;
    }
    queue_.wake.notify_one();
    writer.join();
    stopEventFd = -1;
    stopRequested = false;
    connections_.clear();
    storeClose(readStore_);
    storeClose(writeStore_);
    serviceLog("stopped");
    return 0;
}

} // namespace

std::string defaultDatabasePath()
{
    return sysPath("/var/opt/qor/retail/posQOR_propertyd.db");
}

int listenForService(const std::string& address, int port, std::string& error)
{
    sockaddr_in socketAddress {};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return -1;
    }
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (listener.get() < 0) {
        error = std::strerror(errno);
        return -1;
    }
    int on = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) != 0
        || ::listen(listener.get(), LISTEN_BACKLOG) != 0) {
        error = address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return -1;
    }
    return listener.release();
}

int runPropertyService(const serviceOptions_s& options, int listenSocket)
{
    serviceOptions_s effective = options;
    if (effective.databasePath.empty())
        effective.databasePath = defaultDatabasePath();
    try {
        auto server = std::make_unique<Server>(effective, listenSocket);
        return server->run();
    } catch (const std::exception& failure) {
        // Out of memory or threads: nothing sensible is left to serve with.
        serviceLog(std::string("cannot run: ") + failure.what());
        return -1;
    }
}

void requestServiceStop()
{
    stopRequested = true;
    int fd = stopEventFd;
    if (fd >= 0)
        signalEvent(fd);
}

void serviceLog(const std::string& text)
{
    char stamp[32] = "";
    std::time_t now = std::time(nullptr);
    std::tm utc {};
    if (::gmtime_r(&now, &utc))
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string line = std::string(stamp) + " posQOR_propertyd: " + text + "\n";
    // One write per line, so lines of the two threads never interleave.
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}
