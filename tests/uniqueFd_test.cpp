// The descriptor owner: exactly one close per descriptor, at the right time.
#include "uniqueFd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace
{

bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

int openNull()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

TEST(UniqueFd, DestructorClosesTheDescriptor)
{
    int fd = openNull();
    ASSERT_GE(fd, 0);
    {
        UniqueFd owner(fd);
        EXPECT_TRUE(owner.valid());
        EXPECT_EQ(owner.get(), fd);
    }
    EXPECT_FALSE(isOpen(fd));
}

TEST(UniqueFd, MoveHandsTheDescriptorOnAndLeavesTheSourceEmpty)
{
    int fd = openNull();
    UniqueFd first(fd);
    UniqueFd second(std::move(first));
    EXPECT_EQ(first.get(), -1);
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), fd);
    EXPECT_TRUE(isOpen(fd));
}

TEST(UniqueFd, MoveAssignmentClosesTheDescriptorItReplaces)
{
    int old = openNull();
    int fresh = openNull();
    UniqueFd target(old);
    UniqueFd source(fresh);
    target = std::move(source);
    EXPECT_FALSE(isOpen(old));
    EXPECT_TRUE(isOpen(fresh));
    EXPECT_EQ(target.get(), fresh);
    EXPECT_EQ(source.get(), -1);
}

TEST(UniqueFd, ReleaseGivesUpOwnershipWithoutClosing)
{
    int fd = openNull();
    {
        UniqueFd owner(fd);
        EXPECT_EQ(owner.release(), fd);
        EXPECT_EQ(owner.get(), -1);
    }
    EXPECT_TRUE(isOpen(fd));
    ::close(fd);
}

TEST(UniqueFd, ResetClosesTheOldDescriptorAndKeepsErrno)
{
    int old = openNull();
    int fresh = openNull();
    UniqueFd owner(old);
    errno = ENOSPC;
    owner.reset(fresh);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(isOpen(old));
    EXPECT_EQ(owner.get(), fresh);
    owner.reset();
    EXPECT_FALSE(isOpen(fresh));
    EXPECT_FALSE(owner.valid());
}

TEST(UniqueFd, CloseReportsTheResultOnceAndLeavesTheOwnerEmpty)
{
    UniqueFd owner(openNull());
    EXPECT_EQ(owner.close(), 0);
    EXPECT_EQ(owner.get(), -1);
    // Nothing is closed twice.
    EXPECT_EQ(owner.close(), 0);

    // A descriptor that is no longer open: close's failure reaches the caller.
    int fd = openNull();
    ::close(fd);
    UniqueFd stale(fd);
    EXPECT_EQ(stale.close(), -1);
    EXPECT_EQ(errno, EBADF);
}

} // namespace
