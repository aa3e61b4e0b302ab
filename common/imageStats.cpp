#include "imageStats.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <string>

namespace
{

// Root, version, release, build, year, month, day, and one ignored field.
constexpr int IMAGE_NAME_FIELDS = 8;
constexpr std::size_t MAX_IMAGE_FIELD_LEN = MAX_IMAGE_NAME_LEN - 1;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isScanSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A leading decimal integer as "%d" scanning reads it (white space, an
// optional sign, digits); 0 when there is none. Values beyond int are held
// at the nearest bound instead of wrapping.
int leadingInteger(std::string_view field)
{
    std::size_t at = 0;
    while (at < field.size() && isScanSpace(field[at]))
        ++at;
    bool negative = false;
    if (at < field.size() && (field[at] == '+' || field[at] == '-')) {
        negative = field[at] == '-';
        ++at;
    }
    std::size_t digitsStart = at;
    while (at < field.size() && isDigit(field[at]))
        ++at;
    if (at == digitsStart)
        return 0;
    long long magnitude = 0;
    auto [end, error] = std::from_chars(field.data() + digitsStart, field.data() + at, magnitude);
    (void)end;
    if (error == std::errc::result_out_of_range || magnitude > static_cast<long long>(INT_MAX) + 1)
        return negative ? INT_MIN : INT_MAX;
    long long value = negative ? -magnitude : magnitude;
    if (value > INT_MAX)
        return INT_MAX;
    return static_cast<int>(value);
}

void clearStats(IMAGE_STATS* stats)
{
    std::memset(stats, 0, sizeof *stats);
}

} // namespace

int parseImageStats(const char* s, IMAGE_STATS* stats)
{
    clearStats(stats);
    if (s == nullptr || *s == '\0' || std::strstr(s, "md5") != nullptr || std::strchr(s, '/') != nullptr)
        return IMAGE_NAME_REFUSED;

    std::string_view name(s);
    std::string fields[IMAGE_NAME_FIELDS];
    int field = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        bool separator = false;
        if (c == '-')
            separator = field > 0 || (i + 1 < name.size() && isDigit(name[i + 1]));
        else if (c == '.') {
            if (field == 0)
                continue; // dots of the root are dropped
            separator = true;
        }
        if (separator) {
            if (++field >= IMAGE_NAME_FIELDS)
                return IMAGE_NAME_OUT_OF_RANGE;
            continue;
        }
        if (fields[field].size() >= MAX_IMAGE_FIELD_LEN)
            return IMAGE_NAME_OUT_OF_RANGE;
        fields[field] += c;
    }

    int* numbers[] = { &stats->version, &stats->release, &stats->build, &stats->year, &stats->month, &stats->day };
    for (int i = 0; i < 6; ++i)
        *numbers[i] = leadingInteger(fields[i + 1]);
    std::memcpy(stats->rootName, fields[0].data(), fields[0].size());
    stats->rootName[fields[0].size()] = '\0';
    stats->zip = (std::strstr(s, ".gz") != nullptr || std::strstr(s, ".GZ") != nullptr) ? 1 : 0;
    return IMAGE_NAME_OK;
}

void getImageStats(
    const char* s, char* rootName, int* version, int* release, int* build, int* year, int* month, int* day, int* zip)
{
    IMAGE_STATS stats;
    parseImageStats(s, &stats);
    std::memcpy(rootName, stats.rootName, std::strlen(stats.rootName) + 1);
    *version = stats.version;
    *release = stats.release;
    *build = stats.build;
    *year = stats.year;
    *month = stats.month;
    *day = stats.day;
    *zip = stats.zip;
}

std::string getLinkBaseName(const IMAGE_STATS& stats)
{
    return "posQOR_ilink_" + std::string(stats.rootName) + "Y" + std::to_string(stats.year) + "M"
        + std::to_string(stats.month) + "D" + std::to_string(stats.day) + "Z" + std::to_string(stats.zip);
}

std::string getVersionText(const IMAGE_STATS& stats)
{
    return std::to_string(stats.version) + "." + std::to_string(stats.release) + "." + std::to_string(stats.build);
}

int versionTextFits(const IMAGE_STATS& stats)
{
    return getVersionText(stats).size() < static_cast<std::size_t>(MAX_IMAGE_VERSION_LEN) ? 1 : 0;
}

std::string getLinkName(const IMAGE_STATS& stats)
{
    return getLinkBaseName(stats) + "-" + getVersionText(stats) + (stats.zip ? ".gz" : "");
}
