#include "fakeServer.h"

#include "sandbox.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr int SERVICE_PORT = 46910;
// Bytes recorded per connection at most; a runaway client cannot fill memory.
constexpr std::size_t MAX_RECORDED = 1 << 20;

using Clock = std::chrono::steady_clock;

} // namespace

struct FakeServer::Connection {
    int fd = -1;
    std::size_t index = 0; // counted over the server's life
    bool replied = false; // the reply was chosen (the line feed came)
    Reply reply;
    std::size_t nextPiece = 0;
    Clock::time_point nextPieceAt;
    bool sendingDone = false;
};

FakeServer::Reply FakeServer::answer(std::string text)
{
    return Reply { { std::move(text) }, 0, true };
}

FakeServer::Reply FakeServer::answerAndKeepOpen(std::string text)
{
    return Reply { { std::move(text) }, 0, false };
}

FakeServer::Reply FakeServer::inPieces(std::vector<std::string> pieces, int pauseMilliseconds)
{
    return Reply { std::move(pieces), pauseMilliseconds, true };
}

FakeServer::Reply FakeServer::slowly(std::string text, int pauseMilliseconds)
{
    return Reply { { std::move(text) }, pauseMilliseconds, true };
}

FakeServer::Reply FakeServer::silence()
{
    return Reply { {}, 0, false };
}

FakeServer::Reply FakeServer::closeWithoutReply()
{
    return Reply { {}, 0, true };
}

std::function<FakeServer::Reply(std::string_view)> FakeServer::knownTerminal(int number, std::string role)
{
    std::string numberReply = std::to_string(number) + "\n";
    std::string roleRequest = "get=posClient." + std::to_string(number) + ".role";
    return [numberReply, roleRequest, role](std::string_view line) {
        if (line == "ping")
            return answer("pong\n");
        if (line.starts_with("TBS=") || line.starts_with("TBM="))
            return answer(numberReply);
        if (line == roleRequest)
            return answer(role + "\n");
        if (line.starts_with("get="))
            return answer("\n");
        return answer("ok\n");
    };
}

FakeServer::FakeServer()
{
    listenFd_ = listenOnFreeLoopbackAddress(SERVICE_PORT, address_);
    if (listenFd_ < 0)
        return;
    if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        return;
    }
    ::fcntl(listenFd_, F_SETFL, ::fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
    // Listening again after refuseConnections must not collide with the
    // connections that still hold the address.
    int reuse = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    thread_ = std::thread([this] { serve(); });
}

FakeServer::~FakeServer()
{
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake();
        thread_.join();
    }
    for (int fd : { listenFd_, wakeFds_[0], wakeFds_[1] }) {
        if (fd >= 0)
            ::close(fd);
    }
}

void FakeServer::wake()
{
    char byte = 1;
    ssize_t written = ::write(wakeFds_[1], &byte, 1);
    (void)written;
}

void FakeServer::script(std::vector<Reply> replies)
{
    std::lock_guard lock(mutex_);
    script_.assign(std::make_move_iterator(replies.begin()), std::make_move_iterator(replies.end()));
}

void FakeServer::enqueue(Reply reply)
{
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(reply));
}

void FakeServer::setResponder(std::function<Reply(std::string_view line)> responder)
{
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

void FakeServer::refuseConnections()
{
    // Linux takes a listening socket back to the bound, non-listening state on
    // shutdown; connection attempts are then refused.
    {
        std::lock_guard lock(mutex_);
        ::shutdown(listenFd_, SHUT_RD);
        listening_ = false;
    }
    wake();
}

bool FakeServer::acceptConnections()
{
    bool listening = false;
    {
        std::lock_guard lock(mutex_);
        listening_ = listening = ::listen(listenFd_, 128) == 0;
    }
    wake();
    return listening;
}

std::vector<std::string> FakeServer::requests(std::size_t count, int timeoutMilliseconds)
{
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds), [&] { return endedCount_ >= count; });
    return received_;
}

std::size_t FakeServer::connections()
{
    std::lock_guard lock(mutex_);
    return received_.size();
}

void FakeServer::clearRequests()
{
    std::lock_guard lock(mutex_);
    base_ += received_.size();
    received_.clear();
    ended_.clear();
    endedCount_ = 0;
}

FakeServer::Reply FakeServer::replyFor(const std::string& received)
{
    std::lock_guard lock(mutex_);
    if (!script_.empty()) {
        Reply reply = std::move(script_.front());
        script_.pop_front();
        return reply;
    }
    if (responder_) {
        std::string_view line(received);
        line = line.substr(0, line.find('\n'));
        return responder_(line);
    }
    return closeWithoutReply();
}

void FakeServer::serve()
{
    std::vector<Connection> open;
    // The request bytes of each open connection, kept here so the lock is
    // taken only to publish them.
    std::vector<std::string> pending;

    auto finish = [&](std::size_t position) {
        Connection& connection = open[position];
        ::close(connection.fd);
        {
            std::lock_guard lock(mutex_);
            if (connection.index >= base_) {
                received_[connection.index - base_] = pending[position];
                ended_[connection.index - base_] = true;
                ++endedCount_;
            }
        }
        changed_.notify_all();
        open.erase(open.begin() + static_cast<std::ptrdiff_t>(position));
        pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(position));
    };

    for (;;) {
        bool listening = false;
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                break;
            listening = listening_;
        }
        std::vector<pollfd> watched;
        watched.push_back({ wakeFds_[0], POLLIN, 0 });
        // A socket that does not listen reports a hang-up for ever; leave it out.
        watched.push_back({ listening ? listenFd_ : -1, POLLIN, 0 });
        int timeout = -1;
        auto now = Clock::now();
        for (const Connection& connection : open) {
            watched.push_back({ connection.fd, POLLIN, 0 });
            if (connection.replied && !connection.sendingDone) {
                auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(connection.nextPieceAt - now).count();
                int milliseconds = static_cast<int>(std::max<long long>(wait, 0));
                timeout = timeout < 0 ? milliseconds : std::min(timeout, milliseconds);
            }
        }
        int ready = ::poll(watched.data(), watched.size(), timeout);
        if (ready < 0 && errno != EINTR)
            break;

        if (watched[0].revents & POLLIN) {
            char drain[64];
            while (::read(wakeFds_[0], drain, sizeof drain) > 0) { }
        }
        if (watched[1].revents & POLLIN) {
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                Connection connection;
                connection.fd = fd;
                {
                    std::lock_guard lock(mutex_);
                    connection.index = base_ + received_.size();
                    received_.emplace_back();
                    ended_.push_back(false);
                }
                open.push_back(std::move(connection));
                pending.emplace_back();
            }
        }

        // Read what came; a connection whose client closed ends.
        for (std::size_t position = open.size(); position-- > 0;) {
            std::size_t slot = position + 2;
            if (slot >= watched.size() || watched[slot].revents == 0)
                continue;
            char buffer[4096];
            ssize_t count = ::recv(open[position].fd, buffer, sizeof buffer, 0);
            if (count > 0) {
                std::string& bytes = pending[position];
                bytes.append(
                    buffer, static_cast<std::size_t>(std::min<std::size_t>(count, MAX_RECORDED - bytes.size())));
                Connection& connection = open[position];
                if (!connection.replied && bytes.find('\n') != std::string::npos) {
                    connection.reply = replyFor(bytes);
                    connection.replied = true;
                    connection.nextPieceAt
                        = Clock::now() + std::chrono::milliseconds(connection.reply.pauseMilliseconds);
                }
                {
                    std::lock_guard lock(mutex_);
                    if (connection.index >= base_)
                        received_[connection.index - base_] = bytes;
                }
                if (bytes.size() >= MAX_RECORDED)
                    finish(position);
            } else if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                finish(position);
            }
        }

        // Send the pieces that are due.
        now = Clock::now();
        for (Connection& connection : open) {
            if (!connection.replied || connection.sendingDone || connection.nextPieceAt > now)
                continue;
            if (connection.nextPiece < connection.reply.pieces.size()) {
                const std::string& piece = connection.reply.pieces[connection.nextPiece++];
                std::size_t sent = 0;
                while (sent < piece.size()) {
                    ssize_t count = ::send(connection.fd, piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
                    if (count > 0) {
                        sent += static_cast<std::size_t>(count);
                    } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                        pollfd entry { connection.fd, POLLOUT, 0 };
                        ::poll(&entry, 1, 1000);
                    } else {
                        break;
                    }
                }
                connection.nextPieceAt = now + std::chrono::milliseconds(connection.reply.pauseMilliseconds);
            }
            if (connection.nextPiece >= connection.reply.pieces.size()) {
                connection.sendingDone = true;
                // Half-close: the client sees the end of the reply, and the
                // server still reads (and records) until the client closes.
                if (connection.reply.close)
                    ::shutdown(connection.fd, SHUT_WR);
            }
        }
    }

    while (!open.empty())
        finish(open.size() - 1);
}
