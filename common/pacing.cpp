#include "pacing.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace
{

std::function<void(unsigned long)>& waitHook()
{
    static std::function<void(unsigned long)> hook;
    return hook;
}

unsigned long waitScalePercent()
{
    const char* value = std::getenv("POSQOR_WAIT_SCALE");
    if (value == nullptr || *value == '\0')
        return 100;
    char* end = nullptr;
    long scale = std::strtol(value, &end, 10);
    // Anything but a whole number from 0 up leaves the waits as designed.
    return (end != value && *end == '\0' && scale >= 0) ? static_cast<unsigned long>(scale) : 100;
}

void logWait(unsigned long milliseconds)
{
    const char* logName = std::getenv("POSQOR_WAIT_LOG");
    if (logName == nullptr || *logName == '\0')
        return;
    int fd = ::open(logName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string line = "wait " + std::to_string(milliseconds) + "\n";
    ssize_t written = ::write(fd, line.data(), line.size());
    (void)written;
    ::close(fd);
}

} // namespace

void setWaitHook(std::function<void(unsigned long)> hook)
{
    waitHook() = std::move(hook);
}

void waitMilliseconds(unsigned long milliseconds)
{
    if (waitHook()) {
        waitHook()(milliseconds);
        return;
    }
    logWait(milliseconds);
    unsigned long real = milliseconds * waitScalePercent() / 100;
    timespec remaining { static_cast<time_t>(real / 1000), static_cast<long>(real % 1000) * 1000000L };
    while (remaining.tv_sec > 0 || remaining.tv_nsec > 0) {
        if (nanosleep(&remaining, &remaining) == 0 || errno != EINTR)
            break;
    }
}

void waitSeconds(unsigned int seconds)
{
    waitMilliseconds(static_cast<unsigned long>(seconds) * 1000UL);
}
