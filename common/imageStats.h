// Boot image file names: the name grammar, the names formed from a parsed
// name, and the image sizes file.
#pragma once

#include <string>
#include <string_view>

constexpr int MAX_IMAGE_NAME_LEN = 128; // root name with its terminator
constexpr int MAX_IMAGE_VERSION_LEN = 16; // version text with its terminator

// A parsed image file name; an empty root means the name is not usable.
typedef struct imageStats_s {
    char rootName[MAX_IMAGE_NAME_LEN];
    int version;
    int release;
    int build;
    int year;
    int month;
    int day;
    int zip;
} IMAGE_STATS;

// Results of parseImageStats.
constexpr int IMAGE_NAME_OK = 0;
constexpr int IMAGE_NAME_REFUSED = -1; // empty, names a checksum ("md5") or holds a '/'
constexpr int IMAGE_NAME_OUT_OF_RANGE = -2; // more than 8 fields, or a field over 127 characters

// Parses s into stats (all zero and an empty root unless the result is
// IMAGE_NAME_OK). Names outside the grammar are refused as a whole.
int parseImageStats(const char* s, IMAGE_STATS* stats);

// Parses s into the outputs; rootName must hold MAX_IMAGE_NAME_LEN bytes.
void getImageStats(
    const char* s, char* rootName, int* version, int* release, int* build, int* year, int* month, int* day, int* zip);

// "posQOR_ilink_<root>Y<year>M<month>D<day>Z<zip>".
std::string getLinkBaseName(const IMAGE_STATS& stats);
// "<version>.<release>.<build>"; it may be longer than the version buffers
// of MAX_IMAGE_VERSION_LEN bytes (see versionTextFits).
std::string getVersionText(const IMAGE_STATS& stats);
// 1 when the version text fits MAX_IMAGE_VERSION_LEN bytes with its terminator.
int versionTextFits(const IMAGE_STATS& stats);
// Link base name, "-", version text, and ".gz" for a compressed image.
std::string getLinkName(const IMAGE_STATS& stats);

// ---- Image sizes file --------------------------------------------------------
extern const char* const ImageFileSizeProductionFileName; // "/etc/opt/qor/retail/posQOR_imageDirSizes.txt"
extern const char* const ImageFileSizeTestFileName; // "/tmp/posQOR_imageDirSizes.txt"
// The sizes file that lookups read; the production file unless useTestMode ran.
extern const char* ImageFileSizeFileName;

// The size in KiB listed for exactly this link name, 0 when it is not listed
// or the sizes file cannot be read.
unsigned long getRealImageSize(const char* imageFileName);
// Makes later lookups read the test file.
void useTestMode();
// The size listed for linkName in the text of a sizes file (pairs of a size
// word and a link name, separated by white space), 0 when not listed.
unsigned long findImageSize(std::string_view sizesText, const char* linkName);
