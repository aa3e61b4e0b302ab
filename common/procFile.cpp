#include "procFile.h"

#include "sysPath.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

bool readSystemFile(const char* absolutePath, std::size_t limit, std::string& text)
{
    text.clear();
    int fd = ::open(sysPath(absolutePath).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // /proc and /sys files report no size: read until the end or the limit.
    char chunk[4096];
    while (text.size() <= limit) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    if (text.size() > limit) {
        std::fprintf(stderr, "%s is larger than %zu bytes; the rest is ignored\n", absolutePath, limit);
        text.resize(limit);
    }
    return true;
}
