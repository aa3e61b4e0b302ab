#include "vendorConfig.h"

#include "fileReplace.h"
#include "imageStats.h"
#include "posConfigCommon.h"
#include "prepareForNLS.h"
#include "properties.h"
#include "remoteProperty.h"
#include "sysPath.h"
#include "uniqueFd.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

const char* const IMAGE_DIR_LIST_FILE = "/etc/opt/qor/retail/posQOR_imageDirContents.txt";
const char* const DEFAULT_IMAGE_NAME = "default";

char dirList[MAX_DIR_ENTRIES][DIR_ENTRY_SIZE];

namespace
{

constexpr int MAX_DISK_IMAGES = 6; // disks 0 to 5
constexpr int MAX_DISK_PARTITIONS = 10; // partitions 0 to 9
constexpr int IMAGE_ENTRY_FIGURE = 32768; // fifth field of every image entry, read by the platform
// A list file is one image name per line; reading stops well above what
// 1000 lines of 127 characters need.
constexpr std::size_t MAX_DIR_LIST_FILE_BYTES = 1024 * 1024;

// Each entry parsed once when the list is loaded; an empty root marks an
// entry that no pass selects.
IMAGE_STATS parsedDirList[MAX_DIR_ENTRIES];
char foldedRoots[MAX_DIR_ENTRIES][MAX_IMAGE_NAME_LEN];
bool listLoaded = false;

char matchedName[MAX_MATCH_NAME_LEN];
char matchedVersion[MAX_IMAGE_VERSION_LEN];

// ---- Boot configuration pieces ----------------------------------------------

std::string property(const std::string& key)
{
    const char* value = getPropertyString(key.c_str());
    return value ? value : "";
}

std::string diskKey(int disk, int partition, const char* item)
{
    return "Disk." + std::to_string(disk) + ".Part." + std::to_string(partition) + "." + item;
}

std::string ramKey(int drive, const char* item)
{
    return "RAMDrive." + std::to_string(drive) + "." + item;
}

// The file is read by the platform line by line, with ',' and ';' between
// entries and fields and double quotes around file system table entries; a
// value that holds a line end, one of those, white space or a shell
// expansion character would change what the platform reads.
bool isSafeValue(std::string_view value)
{
    for (char c : value) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x21 || byte == 0x7f || std::strchr(",;\"'`$\\", c) != nullptr)
            return false;
    }
    return true;
}

// Writes one piece to the file and echoes it to the trace.
void putPiece(FILE* cfgFile, std::string_view piece, bool echoLineEnd = false)
{
    std::fwrite(piece.data(), 1, piece.size(), cfgFile);
    std::fwrite(piece.data(), 1, piece.size(), stderr);
    if (echoLineEnd)
        std::fputc('\n', stderr);
}

// The result of one match, copied before the next match overwrites it.
struct MatchedImage {
    std::string name;
    std::string version;
    int compressed = 0;

    bool found() const { return !name.empty() && !version.empty(); }
    bool isSafe() const { return isSafeValue(name) && isSafeValue(version); }
};

MatchedImage matchRequest(const std::string& request)
{
    char* name = nullptr;
    char* version = nullptr;
    int compressed = 0;
    matchImageName(request.c_str(), &name, &version, &compressed);
    return { name, version, compressed };
}

std::string imageEntry(const std::string& destination, const MatchedImage& image, const std::string& server)
{
    return destination + ";" + image.name + ";" + image.version + ";" + server + ";"
        + std::to_string(IMAGE_ENTRY_FIGURE) + (image.compressed ? ";compressed" : "");
}

void reportImageNotWritten(const MatchedImage& image, const std::string& destination, const std::string& server)
{
    std::printf("%s", _("An error occurred attempting to write the new configuration data\n"));
    std::fprintf(stderr, "Unable to write IMAGE data : %s %s %s %s\n", image.name.c_str(), image.version.c_str(),
        destination.c_str(), server.c_str());
}

// The configuration is assembled in memory and replaces the target as a
// whole, so a power cut never leaves the platform a torn file.
class MemoryFile
{
public:
    MemoryFile()
        : file_(open_memstream(&data_, &size_))
    {
    }
    ~MemoryFile()
    {
        if (file_ != nullptr)
            std::fclose(file_);
        std::free(data_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    FILE* get() const { return file_; }
    // Closes the stream; false when it could not hold everything written.
    bool finish(std::string& text)
    {
        if (file_ == nullptr)
            return false;
        bool failed = std::ferror(file_) != 0;
        failed = std::fclose(file_) != 0 || failed;
        file_ = nullptr;
        if (failed || data_ == nullptr)
            return false;
        text.assign(data_, size_);
        return true;
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    FILE* file_;
};

[[noreturn]] void cannotCreate(const char* target)
{
    int error = errno;
    std::fprintf(stderr, "Unable to create %s\n", target ? target : "(null)");
    errno = error;
    std::perror(_("Unable to create vendor configuration file"));
    cleanupAndExit(13);
}

// Whether a file can be created beside path, where the replacement writes its
// temporary file; errno tells why not.
bool canCreateBeside(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::string probe = directory + "/.vendorConfig.XXXXXX";
    UniqueFd fd(::mkostemp(probe.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    ::unlink(probe.c_str());
    return true;
}

// ---- Reload request ----------------------------------------------------------

std::string reloadKey()
{
    return "Terminal." + std::to_string(getTerminalNumber()) + ".RELOAD_IMAGE";
}

bool reloadRequested(const std::string& key)
{
    char flag[4] = {};
    int result = getRemoteProperty(flag, 3, key.c_str());
    return result == 0 && std::memcmp(flag, "yes", 3) == 0;
}

void clearReloadRequest(const std::string& key)
{
    if (setRemoteProperty(key.c_str(), "no") != 0)
        std::fprintf(stderr, "Unable to reset =%s= on the server\n", key.c_str());
}

// ---- Image directory list ----------------------------------------------------

bool isUsableEntry(int index)
{
    return dirList[index][0] != '\0' && parsedDirList[index].rootName[0] != '\0';
}

// The root in lower case, for the passes that ignore letter case.
void foldCase(const char* root, char* folded)
{
    std::size_t i = 0;
    for (; root[i] != '\0'; ++i)
        folded[i] = (root[i] >= 'A' && root[i] <= 'Z') ? static_cast<char>(root[i] - 'A' + 'a') : root[i];
    folded[i] = '\0';
}

std::array<int, 6> versionAndDate(const IMAGE_STATS& stats)
{
    return { stats.version, stats.release, stats.build, stats.year, stats.month, stats.day };
}

// The screen, the alarm and the reboot when no image fits; returns only when
// the reboot command does.
void showImageNotFound(const char* configured)
{
    std::string screen = "\n\n\n\n\n";
    screen += _("A suitable system image file was not found.\n");
    screen += _("Please check to see if the requested system image file exists on the server.\n");
    screen += "\n";
    screen += _("The image name requested in configuration is shown below.");
    screen += "\n\n";
    screen += configured;
    screen += "\n\n";
    screen += _("The system will reboot.\n");
    std::fputs(screen.c_str(), stdout);
    std::fflush(stdout);
    alarmTone(120, nullptr, nullptr);
    std::string reboot = sysPath("/sbin/reboot") + " -f -i";
    std::system(reboot.c_str());
    std::fprintf(stderr, "Reboot returned, no system image for =%s=\n", configured);
}

bool readListFile(std::string& text)
{
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(sysPath(IMAGE_DIR_LIST_FILE).c_str(), "re"), &std::fclose);
    if (!file)
        return false;
    char buffer[8192];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        text.append(buffer, got);
        if (text.size() > MAX_DIR_LIST_FILE_BYTES) {
            std::fprintf(
                stderr, "Image directory list larger than %zu bytes, the rest is ignored\n", MAX_DIR_LIST_FILE_BYTES);
            // Up to the last complete line only.
            text.resize(MAX_DIR_LIST_FILE_BYTES);
            text.resize(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
            break;
        }
    }
    return true;
}

} // namespace

// ============================================================================
// Image directory list and matching
// ============================================================================

int loadImageDirList(std::string_view listText)
{
    std::memset(dirList, 0, sizeof dirList);
    std::memset(parsedDirList, 0, sizeof parsedDirList);
    std::memset(foldedRoots, 0, sizeof foldedRoots);
    listLoaded = true;

    int count = 0;
    int lineNumber = 0;
    std::size_t at = 0;
    while (at < listText.size()) {
        if (count == MAX_DIR_ENTRIES) {
            std::fprintf(
                stderr, "Image directory list holds more than %d entries, the rest is ignored\n", MAX_DIR_ENTRIES);
            break;
        }
        std::size_t end = listText.find('\n', at);
        bool hasLineEnd = end != std::string_view::npos;
        if (!hasLineEnd)
            end = listText.size();
        std::string_view line = listText.substr(at, end - at);
        at = hasLineEnd ? end + 1 : end;
        ++lineNumber;
        if (line.size() > static_cast<std::size_t>(MAX_DIR_LINE_LEN)) {
            std::fprintf(stderr, "Image directory list line %d longer than %d characters, ignored: =%.*s...=\n",
                lineNumber, MAX_DIR_LINE_LEN, 40, line.data());
            continue;
        }
        // The line end stays with the entry when it fits, as the platform's
        // list reader keeps it.
        std::memcpy(dirList[count], line.data(), line.size());
        if (hasLineEnd && line.size() < static_cast<std::size_t>(MAX_DIR_LINE_LEN))
            dirList[count][line.size()] = '\n';
        ++count;
    }

    for (int i = 0; i < count; ++i) {
        char* entry = dirList[i];
        // Checksum files lie beside the images; they are never offered.
        if (std::strstr(entry, "md5") != nullptr || std::strstr(entry, "MD5") != nullptr) {
            std::memset(entry, 0, DIR_ENTRY_SIZE);
            continue;
        }
        if (entry[0] == '\0')
            continue;
        IMAGE_STATS& stats = parsedDirList[i];
        if (parseImageStats(entry, &stats) == IMAGE_NAME_OUT_OF_RANGE) {
            std::fprintf(stderr, "Image directory list entry =%s= has too many fields, ignored\n", entry);
        } else if (stats.rootName[0] != '\0' && !versionTextFits(stats)) {
            std::fprintf(stderr, "Image directory list entry =%s= has a version that does not fit, ignored\n", entry);
            stats.rootName[0] = '\0';
        }
        foldCase(stats.rootName, foldedRoots[i]);
    }
    return count;
}

int readImageDirListFile()
{
    std::string text;
    if (!readListFile(text)) {
        std::perror(_("Unable to open image directory list file.  The program posQOR_rebuildPOSConfiguration may "
                      "need to be run at the server."));
        loadImageDirList("");
        return -1;
    }
    return loadImageDirList(text);
}

void getListFile()
{
    if (listLoaded)
        return;
    listLoaded = true;
    readImageDirListFile();
}

int selectImageEntry(const char* request)
{
    IMAGE_STATS wanted;
    if (parseImageStats(request, &wanted) != IMAGE_NAME_OK || wanted.rootName[0] == '\0')
        return -1;
    char wantedFoldedRoot[MAX_IMAGE_NAME_LEN];
    foldCase(wanted.rootName, wantedFoldedRoot);
    const std::array<int, 6> wantedNumbers = versionAndDate(wanted);

    // One walk over the list gathers the choice of every pass; the passes
    // then decide in their order, so the result is that of six walks.
    // Passes 1 to 4: the first entry with the same root and all six numbers
    // (1: exact case and zip, 2: any case and zip, 3: exact case, 4: any case).
    int firstOfPass[4] = { -1, -1, -1, -1 };
    // Pass 5: the same version with the latest date; pass 6: the greatest
    // version and date. Only a strictly greater value replaces the best, so
    // the earliest entry wins a tie and an all-zero value never wins.
    int latestOfVersion = -1;
    std::array<int, 3> latestDate = { 0, 0, 0 };
    int greatest = -1;
    std::array<int, 6> greatestNumbers = {};

    for (int i = 0; i < MAX_DIR_ENTRIES; ++i) {
        // Every pass asks at least for the same root in any letter case.
        if (!isUsableEntry(i) || std::strcmp(foldedRoots[i], wantedFoldedRoot) != 0)
            continue;
        const IMAGE_STATS& entry = parsedDirList[i];
        std::array<int, 6> numbers = versionAndDate(entry);
        if (numbers == wantedNumbers) {
            bool exactCase = std::strcmp(entry.rootName, wanted.rootName) == 0;
            bool sameZip = entry.zip == wanted.zip;
            const bool selects[4] = { exactCase && sameZip, sameZip, exactCase, true };
            for (int pass = 0; pass < 4; ++pass) {
                if (selects[pass] && firstOfPass[pass] < 0)
                    firstOfPass[pass] = i;
            }
        }
        if (entry.version == wanted.version && entry.release == wanted.release && entry.build == wanted.build) {
            std::array<int, 3> date = { entry.year, entry.month, entry.day };
            if (date > latestDate) {
                latestOfVersion = i;
                latestDate = date;
            }
        }
        if (numbers > greatestNumbers) {
            greatest = i;
            greatestNumbers = numbers;
        }
    }

    for (int chosen : firstOfPass) {
        if (chosen >= 0)
            return chosen;
    }
    return latestOfVersion >= 0 ? latestOfVersion : greatest;
}

void matchImageName(const char* matchName, char** name, char** version, int* isCompressed)
{
    getListFile();
    const char* configured = matchName != nullptr ? matchName : "";
    std::string request = configured;
    *name = matchedName;
    *version = matchedVersion;
    for (;;) {
        matchedName[0] = '\0';
        matchedVersion[0] = '\0';
        *isCompressed = 0;
        IMAGE_STATS check;
        if (parseImageStats(request.c_str(), &check) == IMAGE_NAME_OUT_OF_RANGE)
            std::fprintf(stderr, "Image request =%s= is not an image name\n", request.c_str());
        int index = selectImageEntry(request.c_str());
        if (index >= 0) {
            std::printf(_("The following system image file was found: %s\n"), dirList[index]);
            const IMAGE_STATS& found = parsedDirList[index];
            // Both fit: the root has at most 127 characters and the version
            // text was checked when the list was loaded.
            std::snprintf(matchedName, sizeof matchedName, "%s", getLinkBaseName(found).c_str());
            std::snprintf(matchedVersion, sizeof matchedVersion, "%s", getVersionText(found).c_str());
            *isCompressed = found.zip;
            return;
        }
        if (request == DEFAULT_IMAGE_NAME)
            break;
        request = DEFAULT_IMAGE_NAME;
    }
    showImageNotFound(configured);
}

char* getLinkForName(const char* n)
{
    // The request may live in the result buffers that matching overwrites.
    char* copy = strdup(n != nullptr ? n : "");
    if (copy == nullptr)
        return nullptr;
    char* name = nullptr;
    char* version = nullptr;
    int compressed = 0;
    matchImageName(copy, &name, &version, &compressed);
    std::free(copy);
    if (name[0] == '\0' || version[0] == '\0')
        return nullptr;
    std::string link = std::string(name) + "-" + version + (compressed ? ".gz" : "");
    auto* result = static_cast<char*>(std::malloc(link.size() + 1));
    if (result == nullptr)
        return nullptr;
    std::memcpy(result, link.c_str(), link.size() + 1);
    return result;
}

// ============================================================================
// Boot configuration file
// ============================================================================

void writeImage(FILE* cfgFile)
{
    const std::string server = property("STN.ServerIPAddress");
    bool imageLineOpen = false;
    auto writeEntry = [&](const std::string& entry, bool echoLineEnd) {
        putPiece(cfgFile, imageLineOpen ? "," : "IMAGE=");
        putPiece(cfgFile, entry, echoLineEnd);
        imageLineOpen = true;
    };

    for (int d = 0; d < MAX_DISK_IMAGES; ++d) {
        for (int p = 0; p < MAX_DISK_PARTITIONS; ++p) {
            std::string request = property(diskKey(d, p, "Image"));
            if (request.empty())
                continue;
            MatchedImage image = matchRequest(request);
            std::string destination = property(diskKey(d, p, "Device"));
            if (image.found() && !destination.empty() && !server.empty() && image.isSafe() && isSafeValue(destination)
                && isSafeValue(server))
                writeEntry(imageEntry(destination, image, server), true);
            else
                reportImageNotWritten(image, destination, server);
        }
    }

    std::string fstab;
    int ramDevice = 1;
    for (int r = 1; r <= MAX_RAM_DISK; ++r) {
        std::string request = property(ramKey(r, "loadImage"));
        if (request.empty())
            continue;
        MatchedImage image = matchRequest(request);
        std::string mountPoint = property(ramKey(r, "mountPoint"));
        std::string device = "/dev/ram" + std::to_string(ramDevice++);
        if (!image.found() || server.empty())
            continue;
        if (!image.isSafe() || !isSafeValue(server) || !isSafeValue(mountPoint)) {
            reportImageNotWritten(image, device, server);
            continue;
        }
        // A RAM drive mounted elsewhere than "/" gets its file system table
        // entry only together with its image, and only while the value stays
        // within what the platform reads.
        if (!mountPoint.empty() && mountPoint != "/") {
            std::string entry = "\"" + device + " " + mountPoint + " ext2 defaults 1 1\"";
            std::size_t length = fstab.size() + (fstab.empty() ? 0 : 1) + entry.size();
            if (length > static_cast<std::size_t>(MAX_FSTAB_LEN)) {
                std::printf("%s", _("An error occurred attempting to write the new configuration data\n"));
                std::fprintf(stderr, "FSTAB value would exceed %d characters, %s at %s not written\n", MAX_FSTAB_LEN,
                    device.c_str(), mountPoint.c_str());
                continue;
            }
            if (!fstab.empty())
                fstab += ",";
            fstab += entry;
        }
        writeEntry(imageEntry(device, image, server), false);
    }

    if (imageLineOpen)
        putPiece(cfgFile, "\n");
    if (!fstab.empty())
        putPiece(cfgFile, "FSTAB=" + fstab + "\n");
}

void writeConf(FILE* /*cfgFile*/) { }

void writeDisk(FILE* /*cfgFile*/) { }

void writePart(FILE* cfgFile)
{
    // The line is assembled first: a partition left out would move every
    // later one, so one unusable value leaves the disk untouched instead.
    std::string line;
    bool safe = true;
    std::string swapSize = property("Disk.0.SwapSize");
    if (!swapSize.empty()) {
        line = "PART=" + swapSize + ";S;x";
        safe = safe && isSafeValue(swapSize);
    }
    for (int p = 0; p < MAX_DISK_PARTITIONS; ++p) {
        std::string size = property(diskKey(0, p, "Size"));
        if (size.empty())
            continue;
        std::string mount = property(diskKey(0, p, "Mount"));
        line += line.empty() ? "PART=" : ",";
        line += size + ";L;" + mount;
        safe = safe && isSafeValue(size) && isSafeValue(mount);
    }
    std::string device = property("Disk.0.DeviceName");
    if (!safe || !isSafeValue(device)) {
        std::printf("%s", _("An error occurred attempting to write the new configuration data\n"));
        std::fprintf(stderr, "Unusable partition or disk value in =%s= =%s=, no PART and DISK lines written\n",
            line.c_str(), device.c_str());
        return;
    }
    if (!line.empty())
        putPiece(cfgFile, line + "\n");
    if (!device.empty()) {
        putPiece(cfgFile, "DISK=" + device + "\n");
        putPiece(cfgFile, "JOURNAL=ext3\n");
    }
}

int reloadImageRequired()
{
    std::string key = reloadKey();
    if (!reloadRequested(key))
        return 0;
    clearReloadRequest(key);
    return 1;
}

void writeVendorConfig(const char* target)
{
    if (target == nullptr || *target == '\0') {
        errno = EINVAL;
        cannotCreate(target);
    }
    // A target that cannot be created ends the run before any image is
    // matched or the server is asked: no not-found screen, no reboot.
    if (!canCreateBeside(sysPath(target)))
        cannotCreate(target);
    MemoryFile content;
    if (content.get() == nullptr)
        cannotCreate(target);
    FILE* cfgFile = content.get();
    writeImage(cfgFile);
    writeConf(cfgFile);
    writePart(cfgFile);
    writeDisk(cfgFile);
    putPiece(cfgFile, "RELOAD_CONFIG=yes\n");
    // The one-shot request is reset on the server only once the file that
    // carries it is in place; a failed write keeps it for the next run.
    std::string key = reloadKey();
    bool reload = reloadRequested(key);
    if (reload)
        putPiece(cfgFile, "RELOAD_IMAGE=yes\n");
    std::string text;
    if (!content.finish(text))
        cannotCreate(target);
    if (replaceFileContents(sysPath(target), text) != 0)
        cannotCreate(target);
    if (reload)
        clearReloadRequest(key);
}
