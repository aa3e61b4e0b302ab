// The real property service (posQOR_propertyd) in a test: on a loopback
// address of its own at the fixed port, with its database and log in the
// test's directory; and the exchanges as the clients make them.
#pragma once

#include "remoteProperty.h"

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

// A connected TCP socket to address:port, or -1.
int connectTo(const std::string& address, int port);

// Everything the peer sends until it closes, or what came before "<timeout>",
// "<reset>" or "<error>".
std::string readToEnd(int fd, int timeoutMs = 5000);

// One exchange: connect, send the bytes, read the reply up to the close;
// "<no connection>" when no connection could be made.
std::string roundTrip(const std::string& address, const std::string& request, int port = SERVER_PORT);

// A request line as the client library sends it: with the line feed and the
// NUL after it, except for the three kinds that go without the NUL.
std::string wire(const std::string& line);

class ServiceProcess
{
public:
    // options are given at every start, before the start's own.
    explicit ServiceProcess(std::string directory, std::vector<std::string> options = {});
    // A service still running is killed.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // The loopback address, empty when none was free.
    const std::string& address() const { return address_; }
    std::string databasePath() const { return directory_ + "/var/properties.db"; }
    // What the service wrote to standard error in all its runs.
    std::string log() const;

    // Starts the program with the extra options (and with the database under
    // root when root is given); true once it answers.
    bool start(const std::vector<std::string>& extra = {}, const std::string& root = "");
    // Sends the signal and returns the wait status; -1 when it was not running.
    int stop(int signal = SIGTERM);

    // One exchange of a request line (without its line feed).
    std::string ask(const std::string& line) const { return roundTrip(address_, wire(line)); }
    // Registers a terminal, as its own termsetup would.
    std::string registerTerminal(
        int number, const std::string& serial, const std::string& mac, const std::string& role) const;

private:
    std::string directory_;
    std::vector<std::string> options_;
    std::string address_;
    pid_t pid_ = -1;
};
