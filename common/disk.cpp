#include "disk.h"

#include "procFile.h"
#include "properties.h"

#include <charconv>
#include <cstdio>
#include <limits>

disk_scheme_s disk[MAX_DISKS];

namespace
{

constexpr const char* PARTITIONS_PATH = "/proc/partitions";
// Longest word of the partition list that is taken as one word.
constexpr std::size_t MAX_PARTITIONS_WORD = 15;
// The list has one line per block device; far below this on any terminal.
constexpr std::size_t MAX_PARTITIONS_SIZE = 1024 * 1024;
constexpr std::size_t KEY_SIZE = 64;
// Units per bus family: hda to hdf, sda to sdf.
constexpr char LAST_UNIT_LETTER = 'f';

bool discoveryComplete = false;

// Exactly the whole-disk names "hda".."hdf" and "sda".."sdf": partitions
// (hda1), other device kinds and the heading never match.
bool isWholeDiskName(std::string_view name)
{
    return name.size() == 3 && (name.starts_with("hd") || name.starts_with("sd")) && name[2] >= 'a'
        && name[2] <= LAST_UNIT_LETTER;
}

// Capacity in MB of a size word in 1 KiB blocks; 0 when it is no number.
std::uint32_t capacityInMeg(std::string_view blocks)
{
    unsigned long long value = 0;
    auto [end, error] = std::from_chars(blocks.data(), blocks.data() + blocks.size(), value);
    if (error != std::errc() || end == blocks.data())
        return 0;
    value /= 1024;
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        std::fprintf(stderr, "drive size %.*s blocks beyond the limit; recorded as %u MB\n",
            static_cast<int>(blocks.size()), blocks.data(), std::numeric_limits<std::uint32_t>::max());
        return std::numeric_limits<std::uint32_t>::max();
    }
    return static_cast<std::uint32_t>(value);
}

// The next whitespace-separated word of text, or an empty view at its end.
std::string_view nextWord(std::string_view& text)
{
    std::size_t start = text.find_first_not_of(" \t\r\n\v\f");
    if (start == std::string_view::npos) {
        text = {};
        return {};
    }
    text.remove_prefix(start);
    std::size_t end = text.find_first_of(" \t\r\n\v\f");
    std::string_view word = text.substr(0, end);
    text.remove_prefix(word.size());
    if (word.size() > MAX_PARTITIONS_WORD)
        std::fprintf(stderr, "partition list word longer than %zu characters: %.*s...\n", MAX_PARTITIONS_WORD,
            static_cast<int>(MAX_PARTITIONS_WORD), word.data());
    return word;
}

const char* orEmpty(const char* text)
{
    return text ? text : "";
}

void setKey(const char* key, const char* value)
{
    setPropertyString(key, value);
}

// "<device path><partition number>", as the platform names partitions.
std::string partitionDevice(const disk_scheme_s& entry, int number)
{
    return entry.devName + std::to_string(number);
}

} // namespace

int readPartitionsList(std::string_view text, disk_scheme_s (&table)[MAX_DISKS])
{
    for (disk_scheme_s& entry : table)
        entry = disk_scheme_s {};
    int found = 0;
    while (found < MAX_DISKS) {
        std::string_view words[4];
        int count = 0;
        while (count < 4 && !(words[count] = nextWord(text)).empty())
            ++count;
        if (count < 4)
            break;
        const std::string_view size = words[2];
        const std::string_view name = words[3];
        if (!isWholeDiskName(name))
            continue;
        std::fprintf(stderr, "Found drive %d. \"%.*s\" size %.*s\n", found, static_cast<int>(name.size()), name.data(),
            static_cast<int>(size.size()), size.data());
        table[found].diskSizeInMeg = capacityInMeg(size);
        table[found].devName = "/dev/" + std::string(name);
        ++found;
    }
    return found;
}

void discoverHD()
{
    if (discoveryComplete)
        return;
    for (disk_scheme_s& entry : disk)
        entry = disk_scheme_s {};
    std::string text;
    if (!readSystemFile(PARTITIONS_PATH, MAX_PARTITIONS_SIZE, text)) {
        std::fputs("Unable to open /proc/partitions\n", stderr);
        discoveryComplete = true;
        return;
    }
    readPartitionsList(text, disk);
    discoveryComplete = true;
}

int isHardDrivePresent()
{
    discoverHD();
    for (int i = 0; i < MAX_DISKS; ++i) {
        std::fprintf(
            stderr, "Disk %d. Size=%lu Min=%lu\n", i, static_cast<unsigned long>(disk[i].diskSizeInMeg), DRIVE_CAP_MIN);
        if (disk[i].diskSizeInMeg > DRIVE_CAP_MIN)
            return 1;
    }
    return 0;
}

void readDiskLayouts(disk_scheme_s (&table)[MAX_DISKS])
{
    // The k-th configured drive applies to the k-th drive found, whatever
    // its configuration number.
    int k = 0;
    char key[KEY_SIZE];
    for (int n = 0; n < MAX_DISKS; ++n) {
        std::snprintf(key, sizeof key, "HardDrive.%d.number", n);
        if (getPropertyString(key)[0] == '\0')
            continue;
        disk_scheme_s& entry = table[k++];
        entry.inUse = 1;
        std::snprintf(key, sizeof key, "HardDrive.%d.swapPartitionSize", n);
        entry.swapSize = static_cast<std::uint32_t>(getPropertyInt(key));
        for (int p = 0; p < MAX_PARTS; ++p) {
            part_s& part = entry.part[p];
            std::snprintf(key, sizeof key, "HardDrive.%d.Partition.%d.size", n, p);
            part.percentSize = getPropertyInt(key);
            std::snprintf(key, sizeof key, "HardDrive.%d.Partition.%d.allowSystemUpdates", n, p);
            part.allowSystemUpdates = getPropertyInt(key);
            std::snprintf(key, sizeof key, "HardDrive.%d.Partition.%d.mountPoint", n, p);
            part.mount_point = getPropertyString(key);
            std::snprintf(key, sizeof key, "HardDrive.%d.Partition.%d.loadImage", n, p);
            part.load_image = getPropertyString(key);
        }
    }
}

void computePartitionSizes(disk_scheme_s& entry)
{
    std::uint32_t remaining = entry.diskSizeInMeg;
    if (entry.swapSize != 0) {
        if (remaining > entry.swapSize)
            remaining -= entry.swapSize;
        else
            entry.swapSize = 0; // the swap does not fit and is dropped
    }
    const std::uint32_t onePercent = remaining / 100;
    for (int p = 0; p < MAX_PARTS; ++p) {
        part_s& part = entry.part[p];
        if (part.percentSize == 0)
            continue;
        const unsigned long long size
            = static_cast<unsigned long long>(onePercent) * static_cast<unsigned long long>(part.percentSize);
        if (part.percentSize < 0 || size > std::numeric_limits<std::uint32_t>::max()) {
            std::fprintf(
                stderr, "Partition %d share %d%% is not usable; the partition is left out\n", p, part.percentSize);
            continue;
        }
        if (onePercent == 0) {
            // Less than 100 MB left: all of it goes to the first partition.
            part.size = remaining;
            remaining = 0;
            break;
        }
        part.size = static_cast<std::uint32_t>(size);
        // Shares above 100 % in total leave nothing, not a wrapped figure.
        remaining = part.size < remaining ? remaining - part.size : 0;
    }
    entry.diskSizeRemaining = remaining;
}

void setDiskProperties()
{
    char key[KEY_SIZE];
    for (int d = 0; d < MAX_DISKS; ++d) {
        disk_scheme_s& entry = disk[d];
        if (!entry.inUse)
            continue;
        std::snprintf(key, sizeof key, "Disk.%d.DeviceName", d);
        if (entry.devName.empty()) {
            // A layout without a drive: an empty device name, so the boot
            // configuration gets no disk line, and no swap or partition keys.
            setKey(key, "");
            continue;
        }
        int number = 1;
        if (entry.swapSize != 0) {
            char swapKey[KEY_SIZE];
            std::snprintf(swapKey, sizeof swapKey, "Disk.%d.SwapSize", d);
            setKey(swapKey, std::to_string(entry.swapSize).c_str());
            std::snprintf(swapKey, sizeof swapKey, "Disk.%d.SwapDevice", d);
            setKey(swapKey, partitionDevice(entry, number++).c_str());
        }
        setKey(key, entry.devName.c_str());
        entry.NumOfPart = 0;
        for (int p = 0; p < MAX_PARTS; ++p)
            if (entry.part[p].size != 0)
                entry.NumOfPart = p;
        for (int p = 0; p < MAX_PARTS; ++p) {
            const part_s& part = entry.part[p];
            if (part.size == 0)
                continue;
            const bool restOfDisk = p == entry.NumOfPart || part.percentSize == 100;
            std::snprintf(key, sizeof key, "Disk.%d.Part.%d.Size", d, p);
            setKey(key, restOfDisk ? "x" : std::to_string(part.size).c_str());
            std::snprintf(key, sizeof key, "Disk.%d.Part.%d.Mount", d, p);
            setKey(key, orEmpty(part.mount_point));
            std::snprintf(key, sizeof key, "Disk.%d.Part.%d.Image", d, p);
            setKey(key, orEmpty(part.load_image));
            std::snprintf(key, sizeof key, "Disk.%d.Part.%d.Device", d, p);
            setKey(key, partitionDevice(entry, number++).c_str());
        }
    }
}

void getDiskPartition()
{
    discoverHD();
    readDiskLayouts(disk);
    std::printf("disk.0.devname=%s\n", disk[0].devName.c_str());
    for (disk_scheme_s& entry : disk)
        if (entry.diskSizeInMeg != 0)
            computePartitionSizes(entry);
    setDiskProperties();
}

void sayPScheme()
{
    std::printf("disk[0].devName= %s\n", disk[0].devName.c_str());
    for (int d = 0; d < MAX_DISKS; ++d) {
        const disk_scheme_s& entry = disk[d];
        if (!entry.inUse)
            continue;
        std::printf("Disk %d : %s (%ld MB)\n", d, entry.devName.c_str(), static_cast<long>(entry.diskSizeInMeg));
        std::printf("\tSwap Size %ld ", static_cast<long>(entry.swapSize));
        for (int p = 0; p < MAX_PARTS; ++p) {
            const part_s& part = entry.part[p];
            if (part.size == 0)
                continue;
            std::printf("\tPartition %d size=%d%% %ld MB, Upd=%c mount point = %s\n\t\timage :%s:\n", p,
                part.percentSize, static_cast<long>(part.size), part.allowSystemUpdates ? 'Y' : 'N',
                orEmpty(part.mount_point), orEmpty(part.load_image));
        }
    }
}
