// Feeds arbitrary bytes to the service's request framing and parser and
// checks what every caller relies on.
#include "remoteProperty.h"
#include "serviceRequest.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace
{

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view received(reinterpret_cast<const char*>(data), size);
    for (bool inputEnded : { false, true }) {
        int length = requestLength(received, inputEnded);
        check(length <= MAX_REQUEST);
        check(length >= REQUEST_TRUNCATED);
        if (inputEnded)
            check(length != REQUEST_INCOMPLETE);
        if (length <= 0)
            continue;
        check(static_cast<size_t>(length) <= size);
        std::string_view line = received.substr(0, received.find('\n'));
        check(line.size() < static_cast<size_t>(length));

        serviceRequest_s request;
        std::string reason;
        if (parseServiceRequest(line, request, reason) != 0) {
            check(!reason.empty());
            continue;
        }
        if (request.kind == REQUEST_STN || request.kind == REQUEST_RTN)
            check(request.number >= 1 && request.number <= MAX_TERMINAL_NUMBER);
        if (request.kind == REQUEST_STN) {
            // The three fields are the text after the number, split at two of its "=".
            std::string_view fields = line.substr(line.find('=', 4) + 1);
            check(request.serial + "=" + request.mac + "=" + request.role == fields);
        }
        for (const std::string* text : { &request.key, &request.value, &request.serial, &request.mac, &request.role })
            for (char c : *text)
                check(c != '\0' && c != '\n');
    }
    return 0;
}
