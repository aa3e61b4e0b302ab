// Replacing the whole content of a file so that a power cut never leaves it
// empty or torn.
#pragma once

#include <string>
#include <string_view>

// Writes content to a temporary file beside path, flushes it to disk and
// renames it over path (keeping the old file's permissions, or 0666 less the
// umask for a new file). path is used as given: callers apply sysPath. A
// symbolic link at path is followed, so the file it names is replaced.
// Returns 0, or -1 with errno set and the old file untouched.
int replaceFileContents(const std::string& path, std::string_view content);

// Writes every byte of content to fd, again after an interrupted write.
// false with errno set when a write fails.
bool writeAll(int fd, std::string_view content);
