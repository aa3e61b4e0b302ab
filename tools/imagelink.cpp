// imagelink: prints the link name under which a boot image file, or its
// checksum file, is offered to terminals.
#include "imageStats.h"
#include "prepareForNLS.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace
{

// Only names that fit the parser's fields are used; a longer one would be
// cut into a different name, so it is refused with a message.
constexpr std::size_t MAX_IMAGE_FILE_NAME_LEN = MAX_IMAGE_NAME_LEN - 1;

// Cuts the name at the first occurrence of ending; true when it occurred.
bool cutAt(std::string& name, const char* ending)
{
    std::size_t at = name.find(ending);
    if (at == std::string::npos)
        return false;
    name.resize(at);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    prepareForNLS();
    if (argc < 2) {
        std::printf(_("Usage: %s ImageFileName\n"), argv[0]);
        return 1;
    }
    bool forceMode = argc > 2 && std::strcmp(argv[2], "-fz") == 0;
    std::string name = argv[1];
    if (name.size() > MAX_IMAGE_FILE_NAME_LEN) {
        std::fprintf(
            stderr, "imagelink: image file name longer than %zu characters, no link name\n", MAX_IMAGE_FILE_NAME_LEN);
        return 0;
    }

    bool checksumMode = cutAt(name, ".md5");
    checksumMode = cutAt(name, ".MD5") || checksumMode;

    IMAGE_STATS stats;
    if (parseImageStats(name.c_str(), &stats) != IMAGE_NAME_OK || stats.rootName[0] == '\0')
        return 0;
    if (forceMode && !checksumMode)
        return 0;
    if (!versionTextFits(stats)) {
        std::fprintf(stderr, "imagelink: version of %s does not fit a link name\n", name.c_str());
        return 0;
    }
    if (forceMode)
        stats.zip = 1;
    const char* ending = checksumMode ? ".md5" : (stats.zip ? ".gz" : "");
    std::printf("%s-%s%s\n", getLinkBaseName(stats).c_str(), getVersionText(stats).c_str(), ending);
    return 0;
}
