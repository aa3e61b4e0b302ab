// Feeds the client's reply handling with arbitrary replies cut into arbitrary
// segments: the first byte picks the buffer size, each following pair of
// "length byte, bytes" is one segment as a receive call would store it.
#include "remoteProperty.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // Sizes of the callers' buffers: 1, 3, 4, 6, 64 ... up to 255 bytes.
    const int capacity = data[0];
    std::size_t position = 1;
    // Guard bytes on both sides catch any write outside the buffer even
    // without a sanitizer.
    constexpr int GUARD = 16;
    std::vector<char> area(static_cast<std::size_t>(capacity) + 2 * GUARD, '\x5a');
    char* buffer = area.data() + GUARD;
    std::memset(buffer, 0, static_cast<std::size_t>(capacity));
    int resultLength = capacity;
    std::size_t delivered = 0;

    int received = receiveReply(
        [&](char* place, int room) -> long {
            if (place != buffer + delivered || room != capacity - static_cast<int>(delivered) || room <= 0)
                std::abort();
            if (position >= size)
                return 0; // the peer closed
            std::size_t want = data[position++];
            if (want == 0xff)
                return -1; // a failed receive
            std::size_t count = want;
            if (count > static_cast<std::size_t>(room))
                count = static_cast<std::size_t>(room);
            if (count > size - position)
                count = size - position;
            if (count == 0)
                return 0;
            std::memcpy(place, data + position, count);
            position += count;
            delivered += count;
            return static_cast<long>(count);
        },
        buffer, &resultLength);

    for (int i = 0; i < GUARD; ++i) {
        if (area[static_cast<std::size_t>(i)] != '\x5a' || buffer[capacity + i] != '\x5a')
            std::abort();
    }
    if (received < 0)
        return 0;
    if (received != static_cast<int>(delivered) || received > capacity)
        std::abort();
    // A final line feed was removed exactly when the length changed.
    bool endedWithLineFeed = resultLength != capacity;
    if (endedWithLineFeed) {
        if (received == 0 || resultLength != received - 1 || buffer[received - 1] != '\0')
            std::abort();
    } else if (received > 0 && buffer[received - 1] == '\n') {
        std::abort();
    }
    return 0;
}
