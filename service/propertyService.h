// The property service's server: one event loop for the connections and one
// writer thread that makes changes durable in groups.
#pragma once

#include <string>

// Bounds on what clients can take from the service.
constexpr int DEFAULT_IDLE_TIMEOUT_MS = 5000;
constexpr int DEFAULT_MAX_CONNECTIONS = 2048;
// How long the service waits for the NUL that follows the line feed of most
// requests before it answers without it.
constexpr int NUL_GRACE_MS = 200;

struct serviceOptions_s {
    std::string address = "0.0.0.0";
    int port = 46910;
    std::string databasePath; // empty: the default under /var/opt/qor/retail
    bool logEveryRequest = false; // also log the requests that change nothing
    int idleTimeoutMs = DEFAULT_IDLE_TIMEOUT_MS; // time a client has to send its request
    int maxConnections = DEFAULT_MAX_CONNECTIONS;
};

// The database path used when none is given.
std::string defaultDatabasePath();

// A listening socket (non-blocking, close-on-exec) on address and port
// (port 0: any free port); -1 with the reason in error.
int listenForService(const std::string& address, int port, std::string& error);

// Serves on the listening socket (which it closes at the end) until
// requestServiceStop(); 0 after a clean stop, -1 when the database cannot be
// opened (message on standard error).
int runPropertyService(const serviceOptions_s& options, int listenSocket);

// Asks the running service to stop; safe in a signal handler.
void requestServiceStop();

// Writes one log line ("<time> posQOR_propertyd: <text>") to standard error.
void serviceLog(const std::string& text);
