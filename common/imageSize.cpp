#include "imageStats.h"
#include "sysPath.h"
#include "uniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

const char* const ImageFileSizeProductionFileName = "/etc/opt/qor/retail/posQOR_imageDirSizes.txt";
const char* const ImageFileSizeTestFileName = "/tmp/posQOR_imageDirSizes.txt";
const char* ImageFileSizeFileName = ImageFileSizeProductionFileName;

namespace
{

// Words of the sizes file: a size of at most 10 digits and a link name of at
// most 512 characters. A longer word is reported and its pair skipped as a
// whole, so the pairs that follow stay aligned.
constexpr std::size_t MAX_SIZE_WORD_LEN = 10;
constexpr std::size_t MAX_LINK_WORD_LEN = 512;
// One line per published image; far more than a store server lists.
constexpr std::size_t MAX_SIZES_FILE_BYTES = 4 * 1024 * 1024;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view nextWord(std::string_view text, std::size_t& at)
{
    while (at < text.size() && isSpace(text[at]))
        ++at;
    std::size_t start = at;
    while (at < text.size() && !isSpace(text[at]))
        ++at;
    return text.substr(start, at - start);
}

// The size word read as unsigned decimal; 0 when it does not start with a digit.
unsigned long sizeValue(std::string_view word)
{
    std::string text(word);
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return 0;
    return std::strtoul(text.c_str(), nullptr, 10);
}

} // namespace

unsigned long findImageSize(std::string_view sizesText, const char* linkName)
{
    if (linkName == nullptr)
        return 0;
    std::string_view wanted(linkName);
    std::size_t at = 0;
    for (;;) {
        std::string_view size = nextWord(sizesText, at);
        std::string_view name = nextWord(sizesText, at);
        if (name.empty())
            return 0;
        if (size.size() > MAX_SIZE_WORD_LEN || name.size() > MAX_LINK_WORD_LEN) {
            std::fprintf(stderr, "Image size entry =%.*s %.*s= longer than %zu/%zu characters, ignored\n",
                static_cast<int>(std::min<std::size_t>(size.size(), 20)), size.data(),
                static_cast<int>(std::min<std::size_t>(name.size(), 60)), name.data(), MAX_SIZE_WORD_LEN,
                MAX_LINK_WORD_LEN);
            continue;
        }
        if (name == wanted)
            return sizeValue(size);
    }
}

unsigned long getRealImageSize(const char* imageFileName)
{
    UniqueFd file(::open(sysPath(ImageFileSizeFileName).c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        int error = errno;
        std::fprintf(stderr, "Unable to open image file size file %s\n", ImageFileSizeFileName);
        std::fprintf(stderr, "Error: %s\n", std::strerror(error));
        return 0;
    }
    std::string text;
    char buffer[8192];
    for (;;) {
        ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > MAX_SIZES_FILE_BYTES) {
            std::fprintf(stderr, "Image file size file %s larger than %zu bytes, the rest is ignored\n",
                ImageFileSizeFileName, MAX_SIZES_FILE_BYTES);
            // Do not let the cut split the last word into a false entry.
            text.resize(MAX_SIZES_FILE_BYTES);
            while (!text.empty() && !isSpace(text.back()))
                text.pop_back();
            break;
        }
    }
    return findImageSize(text, imageFileName);
}

void useTestMode()
{
    ImageFileSizeFileName = ImageFileSizeTestFileName;
}
