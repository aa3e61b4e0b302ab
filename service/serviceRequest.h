// The service's side of the remote property wire format: where a request
// ends on the connection, and what it asks for.
#pragma once

#include <string>
#include <string_view>

enum requestKind {
    REQUEST_PING,
    REQUEST_GET,
    REQUEST_SET,
    REQUEST_SRE,
    REQUEST_STS,
    REQUEST_VAL,
    REQUEST_STN,
    REQUEST_TBS,
    REQUEST_TBM,
    REQUEST_AKT,
    REQUEST_GEN,
    REQUEST_RTN,
};

// One parsed request; only the fields of its kind are filled.
struct serviceRequest_s {
    requestKind kind = REQUEST_PING;
    std::string key; // get, set, sre, sts: the property; val: the expression
    std::string value; // set, sre
    int number = 0; // STN, RTN
    std::string serial; // STN, TBS
    std::string mac; // STN, TBM
    std::string role; // STN
};

// Terminal numbers travel as at most three digits (the clients read lookup
// replies into four bytes), so the service keeps numbers 1 to 999 only.
constexpr int MAX_TERMINAL_NUMBER = 999;

// Results of requestLength besides a length.
constexpr int REQUEST_INCOMPLETE = 0;
constexpr int REQUEST_TOO_LONG = -1;
constexpr int REQUEST_TRUNCATED = -2;

// The byte count of the request at the start of received once it is complete:
// the line, its line feed and, for every kind except "AKT=", "GEN=" and
// "ping", the NUL that the clients send after the line feed. inputEnded says
// that no more bytes will come (the peer closed, or the wait for the NUL ran
// out); a request whose NUL never came is then complete without it. A NUL
// that arrived with one of the three kinds sent without it is counted too.
// REQUEST_INCOMPLETE while bytes are still due, REQUEST_TOO_LONG when the
// request cannot fit in MAX_REQUEST bytes, REQUEST_TRUNCATED when the input
// ended before the line feed.
int requestLength(std::string_view received, bool inputEnded);

// Parses one request line (without its line feed): 0, or -1 with the reason
// in reason and nothing else to be trusted in request.
int parseServiceRequest(std::string_view line, serviceRequest_s& request, std::string& reason);

// Splits the fields of "STN=" after the number: serial identity, MAC address
// and role. The MAC address is the first field after the serial identity that
// is shaped like a hardware address (six or more pairs of hex digits joined by
// ':' or '-', or three groups of four joined by '.') and has at least one more
// field after it; the serial identity is everything before it and the role
// everything after it, so both may contain "=". Without such a field (an
// empty or bare-hex MAC address) the serial identity is the first field, the
// MAC address the second and the role the rest. -1 with fewer than three
// fields.
int splitTerminalFields(std::string_view fields, std::string& serial, std::string& mac, std::string& role);

// Whether the text is a terminal number the service keeps (decimal digits
// only, 1 to MAX_TERMINAL_NUMBER); the number goes to number.
bool parseTerminalNumber(std::string_view text, int& number);
