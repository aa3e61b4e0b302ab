#include "freeRam.h"

#include "procFile.h"

#include <charconv>
#include <cstdio>
#include <string>

mInfo_s mInfo = {};

namespace
{

constexpr const char* MEMINFO_PATH = "/proc/meminfo";
// The kernel's lines are short; a longer one is not a figure of ours.
constexpr std::size_t MAX_MEMINFO_LINE = 79;
constexpr std::size_t MAX_MEMINFO_SIZE = 64 * 1024;

struct Figure {
    std::string_view prefix;
    unsigned long mInfo_s::*field;
};

constexpr Figure FIGURES[] = {
    { "MemTotal:", &mInfo_s::totalMem },
    { "MemFree:", &mInfo_s::freeMem },
    { "SwapTotal:", &mInfo_s::totalSwap },
    { "SwapFree:", &mInfo_s::freeSwap },
};

// The unsigned decimal after the blanks of text; false when there is none.
bool parseNumber(std::string_view text, unsigned long& value)
{
    std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return false;
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    unsigned long number = 0;
    auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end == first)
        return false;
    value = number;
    return true;
}

void parseLine(std::string_view line, mInfo_s& info)
{
    for (const Figure& figure : FIGURES) {
        if (line.starts_with(figure.prefix)) {
            parseNumber(line.substr(figure.prefix.size()), info.*figure.field);
            return;
        }
    }
}

} // namespace

void parseMemInfo(std::string_view text, mInfo_s& info)
{
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.size() > MAX_MEMINFO_LINE) {
            std::fprintf(stderr, "meminfo line longer than %zu characters ignored\n", MAX_MEMINFO_LINE);
            continue;
        }
        parseLine(line, info);
    }
    if (info.totalMem > info.freeMem)
        info.usedMem = info.totalMem - info.freeMem;
    if (info.totalSwap > info.freeSwap)
        info.usedSwap = info.totalSwap - info.freeSwap;
}

unsigned long get_mInfo()
{
    std::string text;
    if (!readSystemFile(MEMINFO_PATH, MAX_MEMINFO_SIZE, text)) {
        std::fputs("Unable to open /proc/meminfo\n", stderr);
        return 0;
    }
    parseMemInfo(text, mInfo);
    std::fprintf(stderr, "MEM  : Total %ld   Used %ld    Free %ld\n", static_cast<long>(mInfo.totalMem),
        static_cast<long>(mInfo.usedMem), static_cast<long>(mInfo.freeMem));
    std::fprintf(stderr, "SWAP : Total %ld   Used %ld    Free %ld\n", static_cast<long>(mInfo.totalSwap),
        static_cast<long>(mInfo.usedSwap), static_cast<long>(mInfo.freeSwap));
    return 0;
}

unsigned long getTotalMemory()
{
    get_mInfo();
    return mInfo.totalMem;
}

unsigned long getTotalSwap()
{
    get_mInfo();
    return mInfo.totalSwap;
}

unsigned long getFreeMemory()
{
    get_mInfo();
    return mInfo.freeMem;
}

unsigned long getFreeSwap()
{
    get_mInfo();
    return mInfo.freeSwap;
}

unsigned long getUsedMemory()
{
    get_mInfo();
    return mInfo.usedMem;
}

unsigned long getUsedSwap()
{
    get_mInfo();
    return mInfo.usedSwap;
}
