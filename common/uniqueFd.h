// The one owner of a file descriptor, socket, pipe end or event descriptor.
#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

// Owns one descriptor and closes it when the owner goes; -1 is empty. Moving
// hands the descriptor on and leaves the source empty.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : fd_(fd)
    {
    }
    UniqueFd(UniqueFd&& other) noexcept
        : fd_(other.release())
    {
    }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    // The descriptor, or -1.
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // The descriptor, no longer owned (and not closed).
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held, keeping errno for the caller's message, and
    // owns fd instead.
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }
    // Closes now and gives close's result (-1 with errno), which tells after
    // writing whether the data reached the file; 0 when empty.
    int close()
    {
        if (fd_ < 0)
            return 0;
        return ::close(release());
    }

private:
    int fd_ = -1;
};
