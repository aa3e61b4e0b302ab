// Reading the small system files of the hardware discovery (/proc, /sys).
#pragma once

#include <cstddef>
#include <string>

// Reads the whole file at sysPath(absolutePath) into text, at most limit
// bytes; a longer file gives a message on standard error and its first limit
// bytes. false when the file cannot be opened (errno kept).
bool readSystemFile(const char* absolutePath, std::size_t limit, std::string& text);
