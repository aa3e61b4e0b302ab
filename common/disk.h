// Disk discovery and the hard-drive partition scheme.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

constexpr int MAX_DISKS = 6;
constexpr int MAX_PARTS = 10;
constexpr unsigned long DRIVE_CAP_MIN = 3000; // MB; a usable drive is larger

typedef struct part_s {
    const char* mount_point = nullptr; // borrowed from the property table
    const char* load_image = nullptr; // borrowed from the property table
    std::uint32_t start = 0;
    std::uint32_t size = 0; // MB; 0: the partition does not exist
    std::int32_t percentSize = 0;
    std::int32_t allowSystemUpdates = 0;
} part_s;

typedef struct disk_scheme_s {
    std::int32_t inUse = 0;
    std::uint32_t swapSize = 0; // MB
    std::uint32_t swapStart = 0;
    std::uint32_t diskSizeInMeg = 0;
    std::uint32_t diskSizeRemaining = 0;
    std::string devName; // "/dev/hda"; empty when no drive was found
    std::int32_t NumOfPart = 0;
    part_s part[MAX_PARTS] = {};
} disk_scheme_s;

extern disk_scheme_s disk[MAX_DISKS];

// Finds the drives once per process.
void discoverHD();
// 1 when a drive larger than DRIVE_CAP_MIN MB is present, else 0.
int isHardDrivePresent();
// Discovery, the configured layouts, the sizes, then setDiskProperties.
void getDiskPartition();
// Records the scheme of every configured entry as "Disk." properties.
void setDiskProperties();
// Prints the scheme for diagnosis.
void sayPScheme();

// Empties table, then fills it with the whole-disk drives of a partition
// list (the text of /proc/partitions); returns the number of drives recorded.
int readPartitionsList(std::string_view text, disk_scheme_s (&table)[MAX_DISKS]);
// Reads the "HardDrive." layouts into table entries 0, 1, ... in order.
void readDiskLayouts(disk_scheme_s (&table)[MAX_DISKS]);
// Turns the shares of one entry with a drive into sizes in MB.
void computePartitionSizes(disk_scheme_s& entry);
