// Fuzz target for the image name parser and the image list matcher. The
// first line of the input is the request, the whole input is also parsed as
// one name, and the rest is loaded as an image directory list.
#include "imageStats.h"
#include "vendorConfig.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace
{

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void parseOneName(const std::string& name)
{
    IMAGE_STATS stats;
    int result = parseImageStats(name.c_str(), &stats);
    check(std::strlen(stats.rootName) < static_cast<std::size_t>(MAX_IMAGE_NAME_LEN));
    if (result != IMAGE_NAME_OK) {
        check(stats.rootName[0] == '\0' && stats.version == 0 && stats.zip == 0);
        return;
    }
    check(stats.zip == 0 || stats.zip == 1);
    std::string link = getLinkName(stats);
    check(link.compare(0, 13, "posQOR_ilink_") == 0);

    char root[MAX_IMAGE_NAME_LEN];
    int numbers[7];
    getImageStats(
        name.c_str(), root, &numbers[0], &numbers[1], &numbers[2], &numbers[3], &numbers[4], &numbers[5], &numbers[6]);
    check(std::strcmp(root, stats.rootName) == 0 && numbers[6] == stats.zip);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    parseOneName(input);

    std::size_t lineEnd = input.find('\n');
    std::string request = input.substr(0, lineEnd);
    std::string_view list
        = lineEnd == std::string::npos ? std::string_view() : std::string_view(input).substr(lineEnd + 1);
    parseOneName(request);

    int count = loadImageDirList(list);
    check(count >= 0 && count <= MAX_DIR_ENTRIES);
    for (int i = 0; i < MAX_DIR_ENTRIES; ++i)
        check(std::memchr(dirList[i], '\0', DIR_ENTRY_SIZE) != nullptr);
    int selected = selectImageEntry(request.c_str());
    check(selected >= -1 && selected < count);
    if (selected >= 0) {
        // A selected entry is a usable image name with the request's root.
        IMAGE_STATS wanted;
        IMAGE_STATS entry;
        check(parseImageStats(request.c_str(), &wanted) == IMAGE_NAME_OK);
        check(parseImageStats(dirList[selected], &entry) == IMAGE_NAME_OK && entry.rootName[0] != '\0');
        check(std::strlen(wanted.rootName) == std::strlen(entry.rootName));
        check(versionTextFits(entry) == 1);
        check(std::strstr(dirList[selected], "MD5") == nullptr);
    }
    return 0;
}
