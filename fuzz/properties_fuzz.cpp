// Feeds arbitrary bytes to the properties loader, then checks that the table
// it built stays within its limits and survives a rewrite and a new load
// unchanged.
#include "properties.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

extern PROPERTY prop[MAX_PROPERTIES];
extern PROPERTY_TABLE tPT;

namespace
{

std::string workDirectory;

void removeWorkDirectory()
{
    std::remove((workDirectory + "/p").c_str());
    rmdir(workDirectory.c_str());
}

// One private directory per process; tmpfs when there is one, because every
// rewrite is flushed to disk.
std::string workFile()
{
    if (workDirectory.empty()) {
        std::string pattern
            = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/properties-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        workDirectory = pattern;
        std::atexit(removeWorkDirectory);
    }
    return workDirectory + "/p";
}

std::vector<std::pair<std::string, std::string>> snapshot()
{
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < tPT.count; ++i)
        entries.emplace_back(prop[i].p, prop[i].v);
    return entries;
}

void writeInput(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size)
        std::abort();
    std::fclose(file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = workFile();
    writeInput(path, data, size);
    tPT.count = 0;
    getProperties(path.c_str());
    if (tPT.count < 0 || tPT.count > MAX_PROPERTIES)
        std::abort();
    for (int i = 0; i < tPT.count; ++i) {
        if (std::strlen(prop[i].p) >= MAX_PV_LEN || std::strlen(prop[i].v) >= MAX_PV_LEN)
            std::abort();
        if (std::strchr(prop[i].p, '=') != nullptr)
            std::abort();
    }
    // A table that was loaded completely is written back and must load as
    // the same entries.
    auto before = snapshot();
    if (before.empty() || tPT.count == MAX_PROPERTIES)
        return 0;
    std::string key = before.back().first;
    std::string value = before.back().second;
    if (setPropertyString(key.c_str(), value.c_str()) != 0)
        return 0;
    getProperties(path.c_str());
    if (snapshot() != before)
        std::abort();
    return 0;
}
