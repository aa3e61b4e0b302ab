// Client of the store server's remote property service: one request and one
// reply per TCP connection.
#pragma once

#include <functional>

constexpr int SERVER_PORT = 46910;
constexpr int MAX_REQUEST = 532;
constexpr int MAX_TIMEOUT_MS = 30 * 1000;

// The exchange: 0, -1 (send or receive failed), -20 (connection attempts
// exhausted), -21 (server name not resolvable); with
// maxAttemptsExceededAction 1 the last two end the process (20, 21).
int connectSendAndAwaitResponse(const char* requestBuffer, int* requestLength, char* resultBuffer, int* resultLength,
    int maxAttempts, int maxAttemptsExceededAction);
// The exchange with 6 attempts, ending the process when they run out.
int readAndWrite(const char* requestBuffer, int* requestLength, char* resultBuffer, int* resultLength);
// The exchange's reply handling, apart from the socket: receive(place, room)
// stores the next segment (count, 0 at the peer's close, -1 on failure);
// segments are taken until one ends the reply with a line feed, the peer
// closes or *resultLength bytes are in; a final line feed becomes NUL and sets
// *resultLength. Returns the bytes received, or -1.
int receiveReply(const std::function<long(char*, int)>& receive, char* resultBuffer, int* resultLength);

int getRemoteProperty(char* buffer, int length, const char* property);
int setRemoteProperty(const char* property, const char* value);
int setReturnErrorRemote(const char* property, const char* value);
int setRemoteTimestamp(const char* property);
int getKeysMatchingValue(char* buffer, int length, const char* regExp);
int setTerminalName(const char* terminalNumber, const char* serialNumber, const char* macs, const char* role);
int getTerminalNumberForSerialNumber(const char* serialNumber, char* terminalNumber, int* maxTerminalNumberLength);
int getTerminalNumberForMac(const char* mac, char* terminalNumber, int* maxTerminalNumberLength);
int getAllKnownTerminals(char* responseBuffer, int* responseBufferLength);
int getRegenerationTimestamp(char* responseBuffer, int* responseBufferLength);
int removeTerminalNumber(int terminalNumber);
// 1 when the service answered "pong", else 0; never ends the process.
int pingServer(int maxAttempts);
