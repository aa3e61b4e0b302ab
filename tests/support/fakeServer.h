// A scriptable stand-in for the remote property service, for tests.
//
// The server listens on its own loopback address (127.x.y.z) at the
// service's fixed port 46910, so a client reaches it with TSERVER set to
// address(), and tests running in parallel never meet. A thread of its own
// accepts connections; each connection takes the next scripted Reply (or
// asks the responder, or closes without a reply when neither is set), sends it
// once the request's line feed has arrived, and records every byte the client
// sent until the client closes.
//
//     FakeServer server;
//     ASSERT_TRUE(server.ok());
//     server.script({FakeServer::answer("pong\n"), FakeServer::closeWithoutReply()});
//     ... TSERVER = server.address() ..., run the client
//     std::vector<std::string> requests = server.requests(2);  // "ping\n", ...
//
// A responder plays a service for a whole-program run:
//
//     server.setResponder([](std::string_view line) {
//         if (line == "ping") return FakeServer::answer("pong\n");
//         if (line.starts_with("TBS=")) return FakeServer::answer("\n");
//         return FakeServer::answer("ok\n");
//     });
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class FakeServer
{
public:
    // What the server does on one connection.
    struct Reply {
        std::vector<std::string> pieces; // sent one after the other, each by one write
        int pauseMilliseconds = 0; // waited before each piece
        bool close = true; // end the sending side after the last piece
    };

    // The whole text in one piece, then the server closes its side.
    static Reply answer(std::string text);
    // The same text, but the connection stays open after it (the client must
    // stop at the reply's line feed).
    static Reply answerAndKeepOpen(std::string text);
    // The text in the given pieces with a pause before each one.
    static Reply inPieces(std::vector<std::string> pieces, int pauseMilliseconds = 50);
    // The text after a pause.
    static Reply slowly(std::string text, int pauseMilliseconds);
    // Reads the request and never answers nor closes (until the client does).
    static Reply silence();
    // Reads the request and closes without a reply.
    static Reply closeWithoutReply();
    // A responder for a whole-program run of a terminal that the service
    // knows as number with role: "pong" to a ping, the number to "TBS=" and
    // "TBM=", the role to "get=posClient.<number>.role", an empty value to
    // every other "get=", and "ok" to everything else.
    static std::function<Reply(std::string_view line)> knownTerminal(int number, std::string role);

    // Binds a free loopback address at port 46910 and starts serving.
    FakeServer();
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    // Whether the server could bind and start; address() is valid then.
    bool ok() const { return listenFd_ >= 0; }
    // The dotted loopback address for TSERVER.
    const std::string& address() const { return address_; }

    // Replaces the scripted replies: the next connections take them in order.
    void script(std::vector<Reply> replies);
    // Adds one reply at the end of the script.
    void enqueue(Reply reply);
    // Decides the reply of a connection once the script is used up; receives
    // the request line without its line feed (and without a NUL after it).
    void setResponder(std::function<Reply(std::string_view line)> responder);

    // Stops listening while keeping the address: connection attempts are
    // refused ("connection refused") until acceptConnections(), which says
    // whether the server listens again.
    void refuseConnections();
    bool acceptConnections();

    // The bytes each connection received, in the order of acceptance, once at
    // least `count` connections have ended (waits up to timeoutMilliseconds;
    // returns what there is then).
    std::vector<std::string> requests(std::size_t count, int timeoutMilliseconds = 5000);
    // Connections accepted so far.
    std::size_t connections();
    // Forgets the recorded requests (the script stays).
    void clearRequests();

private:
    struct Connection;
    void serve();
    void wake();
    Reply replyFor(const std::string& received);

    int listenFd_ = -1;
    int wakeFds_[2] = { -1, -1 };
    std::string address_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Reply> script_;
    std::function<Reply(std::string_view)> responder_;
    std::vector<std::string> received_; // per accepted connection since base_
    std::vector<bool> ended_;
    std::size_t base_ = 0; // connections accepted before clearRequests
    std::size_t endedCount_ = 0;
    bool stopping_ = false;
    bool listening_ = true;
    std::thread thread_;
};
