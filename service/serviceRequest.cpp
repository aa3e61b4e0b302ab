#include "serviceRequest.h"

#include "remoteProperty.h"

#include <cctype>
#include <vector>

namespace
{

// The kinds that the clients send without a NUL after the line feed.
bool kindCarriesNul(std::string_view received)
{
    std::string_view kind = received.substr(0, 4);
    return kind != "AKT=" && kind != "GEN=" && kind != "ping";
}

bool isHexDigit(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// Groups of groupLength hex digits joined by separator, at least minimumGroups.
bool isHexGroups(std::string_view text, char separator, size_t groupLength, size_t minimumGroups)
{
    size_t groups = 0;
    size_t position = 0;
    while (true) {
        if (text.size() - position < groupLength)
            return false;
        for (size_t i = 0; i < groupLength; ++i)
            if (!isHexDigit(text[position + i]))
                return false;
        position += groupLength;
        ++groups;
        if (position == text.size())
            return groups >= minimumGroups;
        if (text[position] != separator)
            return false;
        ++position;
    }
}

bool isHardwareAddress(std::string_view text)
{
    return isHexGroups(text, ':', 2, 6) || isHexGroups(text, '-', 2, 6)
        || (isHexGroups(text, '.', 4, 3) && text.size() == 14);
}

std::string joinFields(const std::vector<std::string_view>& fields, size_t first, size_t end)
{
    std::string text;
    for (size_t i = first; i < end; ++i) {
        if (i > first)
            text += '=';
        text += fields[i];
    }
    return text;
}

// A property name: not empty and without "=", which separates it from the
// value in "set=" and "sre=".
bool isPropertyName(std::string_view key)
{
    return !key.empty() && key.find('=') == std::string_view::npos;
}

} // namespace

int requestLength(std::string_view received, bool inputEnded)
{
    size_t lineFeed = received.find('\n');
    if (lineFeed == std::string_view::npos) {
        if (received.size() >= static_cast<size_t>(MAX_REQUEST))
            return REQUEST_TOO_LONG;
        return inputEnded ? REQUEST_TRUNCATED : REQUEST_INCOMPLETE;
    }
    size_t length = lineFeed + 1;
    if (received.size() > length) {
        // A NUL that came with a kind that goes without it is taken too.
        if (received[length] == '\0')
            ++length;
    } else if (kindCarriesNul(received) && !inputEnded) {
        // The NUL may still be on its way; replying and closing before it
        // arrives would reset the connection under the client's reply.
        return length + 1 > static_cast<size_t>(MAX_REQUEST) ? REQUEST_TOO_LONG : REQUEST_INCOMPLETE;
    }
    if (length > static_cast<size_t>(MAX_REQUEST))
        return REQUEST_TOO_LONG;
    return static_cast<int>(length);
}

bool parseTerminalNumber(std::string_view text, int& number)
{
    if (text.empty() || text.size() > 9)
        return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > MAX_TERMINAL_NUMBER)
        return false;
    number = value;
    return true;
}

int splitTerminalFields(std::string_view fields, std::string& serial, std::string& mac, std::string& role)
{
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        size_t separator = fields.find('=', start);
        parts.push_back(
            fields.substr(start, separator == std::string_view::npos ? std::string_view::npos : separator - start));
        if (separator == std::string_view::npos)
            break;
        start = separator + 1;
    }
    if (parts.size() < 3)
        return -1;
    size_t macField = 1;
    for (size_t i = 1; i + 1 < parts.size(); ++i) {
        if (isHardwareAddress(parts[i])) {
            macField = i;
            break;
        }
    }
    serial = joinFields(parts, 0, macField);
    mac = std::string(parts[macField]);
    role = joinFields(parts, macField + 1, parts.size());
    return 0;
}

int parseServiceRequest(std::string_view line, serviceRequest_s& request, std::string& reason)
{
    request = serviceRequest_s {};
    for (char c : line) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
            reason = "control character in request";
            return -1;
        }
    }
    if (line == "ping") {
        request.kind = REQUEST_PING;
        return 0;
    }
    std::string_view kind = line.substr(0, 4);
    std::string_view rest = line.size() > 4 ? line.substr(4) : std::string_view();
    auto refuse = [&reason](const char* why) {
        reason = why;
        return -1;
    };

    if (kind == "get=") {
        if (rest.empty())
            return refuse("get without a property name");
        request.kind = REQUEST_GET;
        request.key = rest;
        return 0;
    }
    if (kind == "set=" || kind == "sre=") {
        size_t separator = rest.find('=');
        if (separator == std::string_view::npos)
            return refuse("set without \"=\" between name and value");
        if (separator == 0)
            return refuse("set without a property name");
        request.kind = kind == "set=" ? REQUEST_SET : REQUEST_SRE;
        request.key = rest.substr(0, separator);
        request.value = rest.substr(separator + 1);
        return 0;
    }
    if (kind == "sts=") {
        if (!isPropertyName(rest))
            return refuse("sts without a valid property name");
        request.kind = REQUEST_STS;
        request.key = rest;
        return 0;
    }
    if (kind == "val=") {
        if (rest.empty())
            return refuse("val without an expression");
        request.kind = REQUEST_VAL;
        request.key = rest;
        return 0;
    }
    if (kind == "STN=") {
        size_t separator = rest.find('=');
        if (separator == std::string_view::npos)
            return refuse("STN without serial, MAC and role fields");
        if (!parseTerminalNumber(rest.substr(0, separator), request.number))
            return refuse("STN with a terminal number outside 1 to 999");
        if (splitTerminalFields(rest.substr(separator + 1), request.serial, request.mac, request.role) != 0)
            return refuse("STN without serial, MAC and role fields");
        request.kind = REQUEST_STN;
        return 0;
    }
    if (kind == "TBS=") {
        request.kind = REQUEST_TBS;
        request.serial = rest;
        return 0;
    }
    if (kind == "TBM=") {
        request.kind = REQUEST_TBM;
        request.mac = rest;
        return 0;
    }
    if (kind == "AKT=" || kind == "GEN=") {
        if (!rest.empty())
            return refuse("AKT or GEN with unexpected text");
        request.kind = kind == "AKT=" ? REQUEST_AKT : REQUEST_GEN;
        return 0;
    }
    if (kind == "RTN=") {
        if (!parseTerminalNumber(rest, request.number))
            return refuse("RTN with a terminal number outside 1 to 999");
        request.kind = REQUEST_RTN;
        return 0;
    }
    return refuse("unknown request");
}
