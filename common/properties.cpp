#include "properties.h"

#include "fileReplace.h"
#include "prepareForNLS.h"
#include "sysPath.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unistd.h>

// The one property table of the process and the name of its current file.
PROPERTY prop[MAX_PROPERTIES];
PROPERTY_TABLE tPT;
PROPERTY_TABLE* propertyTable = &tPT;
char propertiesFileName[MAX_PROPERTIES_FILE_NAME];

namespace
{

constexpr size_t MAX_TEXT = MAX_PV_LEN - 1;
// A full table takes about 1 MiB as a file; the rest of this allowance is for
// comments and blank lines. A larger file is not a properties file of ours.
constexpr size_t MAX_PROPERTIES_FILE_BYTES = 16 * 1024 * 1024;
constexpr std::string_view LINE_ENDS("\n\r\0", 3);
constexpr std::string_view BLANKS = " \t\v\f";

// Returned for absent keys; reset on every return in case a caller wrote
// into it.
char emptyText[1];

// Set when the table does not hold everything of the current file (entries
// refused by the limits, a file that could not be read completely): a rewrite
// would then destroy what was not loaded, so changes are refused until the
// next load.
bool currentFileIncomplete = false;

using File = std::unique_ptr<FILE, decltype(&std::fclose)>;

// The path to open for a file name of the system. Callers may pass either
// the system's own name or one that already went through sysPath.
std::string resolvedFileName(const char* fileName)
{
    const std::string& root = sysRoot();
    std::string_view name(fileName);
    if (!root.empty() && name.size() > root.size() && name.substr(0, root.size()) == root && name[root.size()] == '/')
        return std::string(name);
    return sysPath(name);
}

struct FileBytes {
    std::unique_ptr<char[]> data;
    size_t size = 0;
};

enum class ReadResult { Complete, Partial, TooLarge, NoMemory };

// Reads the rest of a stream whose length is not known (a pipe), growing the
// buffer up to the file size limit.
ReadResult readUnknownLength(FILE* file, FileBytes& bytes)
{
    size_t capacity = 0;
    for (;;) {
        if (bytes.size == capacity) {
            if (capacity > MAX_PROPERTIES_FILE_BYTES)
                return ReadResult::TooLarge;
            size_t larger = capacity == 0 ? 64 * 1024 : capacity * 2;
            std::unique_ptr<char[]> grown(new (std::nothrow) char[larger]);
            if (!grown)
                return ReadResult::NoMemory;
            if (bytes.size > 0)
                std::memcpy(grown.get(), bytes.data.get(), bytes.size);
            bytes.data = std::move(grown);
            capacity = larger;
        }
        size_t got = std::fread(bytes.data.get() + bytes.size, 1, capacity - bytes.size, file);
        bytes.size += got;
        if (got == 0)
            break;
    }
    if (bytes.size > MAX_PROPERTIES_FILE_BYTES)
        return ReadResult::TooLarge;
    return (bytes.size == 0 || std::ferror(file)) ? ReadResult::Partial : ReadResult::Complete;
}

ReadResult readWholeFile(FILE* file, FileBytes& bytes)
{
    long length = -1;
    if (std::fseek(file, 0, SEEK_END) != 0 || (length = std::ftell(file)) < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        std::fprintf(stderr, "Cannot seek\n");
        return readUnknownLength(file, bytes);
    }
    if (static_cast<unsigned long>(length) > MAX_PROPERTIES_FILE_BYTES)
        return ReadResult::TooLarge;
    bytes.data.reset(new (std::nothrow) char[length > 0 ? length : 1]);
    if (!bytes.data)
        return ReadResult::NoMemory;
    bytes.size = std::fread(bytes.data.get(), 1, static_cast<size_t>(length), file);
    // An empty file counts as not read: it gives no entries.
    return (length > 0 && bytes.size == static_cast<size_t>(length)) ? ReadResult::Complete : ReadResult::Partial;
}

void storeEntry(int index, std::string_view key, std::string_view value)
{
    std::memcpy(prop[index].p, key.data(), key.size());
    prop[index].p[key.size()] = '\0';
    std::memcpy(prop[index].v, value.data(), value.size());
    prop[index].v[value.size()] = '\0';
}

// Fills the table from the bytes of a properties file: one entry per line,
// key up to the first '=', value to the line end; '#' lines are comments.
void parseProperties(std::string_view data, const char* fileName)
{
    int count = 0;
    int lineNumber = 0;
    size_t position = 0;
    while (position < data.size()) {
        size_t end = data.find_first_of(LINE_ENDS, position);
        if (end == std::string_view::npos)
            end = data.size();
        std::string_view line = data.substr(position, end - position);
        position = end + 1;
        if (end < data.size() && data[end] == '\r' && position < data.size() && data[position] == '\n')
            ++position;
        ++lineNumber;

        size_t first = line.find_first_not_of(BLANKS);
        if (first == std::string_view::npos || line[first] == '#')
            continue;
        line.remove_prefix(first);
        size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            // Such a line would otherwise swallow the next entry's key.
            std::fprintf(stderr, "Properties file %s, line %d: no '=', line ignored\n", fileName, lineNumber);
            continue;
        }
        std::string_view key = line.substr(0, equals);
        std::string_view value = line.substr(equals + 1);
        if (key.size() > MAX_TEXT || value.size() > MAX_TEXT) {
            std::fprintf(stderr, _("Properties file %s, line %d: entry longer than %d characters not loaded\n"),
                fileName, lineNumber, static_cast<int>(MAX_TEXT));
            currentFileIncomplete = true;
            continue;
        }
        if (count == MAX_PROPERTIES) {
            std::fprintf(stderr,
                _("Properties file %s holds more than %d entries; line %d and the lines after it are not "
                  "loaded\n"),
                fileName, MAX_PROPERTIES, lineNumber);
            currentFileIncomplete = true;
            break;
        }
        storeEntry(count++, key, value);
    }
    tPT.count = count;
}

// Index of the last entry with this key (the one lookups answer), or -1.
int lastIndexOf(const char* key)
{
    for (int index = tPT.count - 1; index >= 0; --index) {
        if (std::strcmp(prop[index].p, key) == 0)
            return index;
    }
    return -1;
}

// Whether a key and value written as "key=value\n" load back as the same
// entry; prints why not.
bool fitsPropertiesFile(const char* key, const char* value)
{
    size_t keyLength = std::strlen(key);
    if (keyLength > MAX_TEXT) {
        std::fprintf(stderr, _("Property name longer than %d characters refused\n"), static_cast<int>(MAX_TEXT));
        return false;
    }
    if (std::strpbrk(key, "=\n\r") != nullptr || (keyLength > 0 && (std::strchr(" \t\v\f#", key[0]) != nullptr))) {
        std::fprintf(stderr, _("Property name %s cannot be kept in a properties file; refused\n"), key);
        return false;
    }
    if (std::strlen(value) > MAX_TEXT) {
        std::fprintf(stderr, _("Value of %s longer than %d characters refused\n"), key, static_cast<int>(MAX_TEXT));
        return false;
    }
    if (std::strpbrk(value, "\n\r") != nullptr) {
        std::fprintf(stderr, _("Value of %s holds a line end; refused\n"), key);
        return false;
    }
    return true;
}

int writeCurrentFile()
{
    bool written = false;
    if (propertiesFileName[0] != '\0') {
        try {
            std::string content;
            for (int index = 0; index < tPT.count; ++index) {
                content += prop[index].p;
                content += '=';
                content += prop[index].v;
                content += '\n';
            }
            written = replaceFileContents(resolvedFileName(propertiesFileName), content) == 0;
        } catch (const std::bad_alloc&) {
            written = false;
        }
    }
    if (!written) {
        std::fprintf(stderr, "%s", _("The properties file could not be opened\n"));
        return -1;
    }
    return 0;
}

} // namespace

int isExist(const char* fileName)
{
    if (fileName == nullptr)
        return 0;
    int fd = ::open(resolvedFileName(fileName).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ::close(fd);
    return 1;
}

int getProperties(const char* fileName)
{
    currentFileIncomplete = false;
    if (fileName == nullptr) {
        propertiesFileName[0] = '\0';
        std::fprintf(stderr, "Error: null pointer passed to getProperties()\n");
        return 0;
    }
    size_t nameLength = std::strlen(fileName);
    if (nameLength >= sizeof propertiesFileName) {
        // No current file: a change must not rewrite the previous one.
        propertiesFileName[0] = '\0';
        std::fprintf(stderr, _("Properties file name longer than %d characters: %s\n"),
            static_cast<int>(sizeof propertiesFileName - 1), fileName);
        return 0;
    }
    std::memcpy(propertiesFileName, fileName, nameLength + 1);

    File file(std::fopen(resolvedFileName(fileName).c_str(), "rbe"), &std::fclose);
    if (!file) {
        std::fprintf(stderr, "Properties file %s does not exist\n", fileName);
        return 0;
    }
    FileBytes bytes;
    switch (readWholeFile(file.get(), bytes)) {
    case ReadResult::Complete:
        break;
    case ReadResult::Partial:
        std::fprintf(stderr, "%s", _("The properties file could not be read.\n"));
        // What could not be read must survive; an empty file has nothing.
        currentFileIncomplete = bytes.size > 0 || std::ferror(file.get());
        break;
    case ReadResult::TooLarge:
        std::fprintf(stderr, _("Properties file %s is larger than %zu bytes; not loaded\n"), fileName,
            MAX_PROPERTIES_FILE_BYTES);
        currentFileIncomplete = true;
        return 0;
    case ReadResult::NoMemory:
        std::fflush(stdout);
        std::fprintf(stderr, "%s", _("An error occurred while attempting to allocate a data buffer\n"));
        currentFileIncomplete = true;
        return 0;
    }
    parseProperties(std::string_view(bytes.data.get(), bytes.size), fileName);
    return 0;
}

char* getProperty(const char* someProp)
{
    emptyText[0] = '\0';
    if (someProp == nullptr) {
        std::fprintf(stderr, "Error: null pointer passed to getProperty()\n");
        return emptyText;
    }
    int index = lastIndexOf(someProp);
    return index < 0 ? emptyText : prop[index].v;
}

char* getPropertyString(const char* someProp)
{
    return getProperty(someProp);
}

int getPropertyInt(const char* someProp)
{
    const char* text = getProperty(someProp);
    char* end = nullptr;
    errno = 0;
    long number = std::strtol(text, &end, 10);
    // A number that int cannot hold is as unusable as no number.
    if (end == text || errno == ERANGE || number < INT_MIN || number > INT_MAX)
        return 0;
    return static_cast<int>(number);
}

int setPropertyString(const char* someProp, const char* value)
{
    if (someProp == nullptr) {
        std::fprintf(stderr, "Null property passed to setPropertyString\n");
        return -1;
    }
    if (value == nullptr) {
        std::fprintf(stderr, "Null value pointer passed to setPropertyString\n");
        return -2;
    }
    if (!fitsPropertiesFile(someProp, value))
        return -1;
    if (currentFileIncomplete) {
        std::fprintf(
            stderr, _("Properties file %s was not loaded completely; it is not rewritten\n"), propertiesFileName);
        return -1;
    }
    // Change the occurrence that lookups read, so a change is seen at once.
    int index = lastIndexOf(someProp);
    if (index < 0) {
        if (tPT.count == MAX_PROPERTIES) {
            std::fprintf(
                stderr, _("The property table is full (%d entries); %s not added\n"), MAX_PROPERTIES, someProp);
            return -1;
        }
        index = tPT.count++;
        std::strcpy(prop[index].p, someProp);
    }
    std::strcpy(prop[index].v, value);
    return writeCurrentFile();
}

int setPropertyInt(const char* someProp, int aNumber)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", aNumber);
    return setPropertyString(someProp, text);
}
