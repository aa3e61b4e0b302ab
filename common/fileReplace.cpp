#include "fileReplace.h"

#include "uniqueFd.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

// The file that a write to path really changes: a symbolic link is followed
// so that replacing does not turn the link into a plain file.
std::string resolveTarget(const std::string& path)
{
    struct stat status {
    };
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
        return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return path;
    std::string target = resolved;
    std::free(resolved);
    return target;
}

mode_t modeForNewFile()
{
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Flushes the directory entry of the rename; a failure here loses nothing
// already written, so it is not reported.
void syncDirectory(const std::string& directory)
{
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0)
        ::fsync(fd.get());
}

} // namespace

bool writeAll(int fd, std::string_view content)
{
    while (!content.empty()) {
        ssize_t written = ::write(fd, content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        content.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

int replaceFileContents(const std::string& path, std::string_view content)
{
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    std::string target = resolveTarget(path);
    std::string::size_type slash = target.rfind('/');
    std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty()) {
        errno = EISDIR;
        return -1;
    }

    struct stat existing {
    };
    bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    mode_t mode = exists ? (existing.st_mode & 07777) : modeForNewFile();

    // A leading dot keeps the temporary file out of the "Role*" copies.
    std::string pattern = (slash == std::string::npos ? std::string() : directory + "/") + "." + base + ".XXXXXX";
    std::vector<char> temporary(pattern.begin(), pattern.end());
    temporary.push_back('\0');
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return -1;
    auto fail = [&temporary]() {
        int saved = errno;
        ::unlink(temporary.data());
        errno = saved;
        return -1;
    };
    // Keep the owner of a file that root rewrites; elsewhere this fails
    // harmlessly and the writer owns the new file.
    if (exists)
        (void)!::fchown(fd.get(), existing.st_uid, existing.st_gid);
    if (::fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), content) || ::fsync(fd.get()) != 0 || fd.close() != 0)
        return fail();
    if (::rename(temporary.data(), target.c_str()) != 0)
        return fail();
    syncDirectory(directory);
    return 0;
}
