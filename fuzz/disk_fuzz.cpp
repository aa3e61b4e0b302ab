// Feeds bytes to the partition list reader as the text of /proc/partitions.
#include "disk.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static disk_scheme_s table[MAX_DISKS];
    std::string_view text(reinterpret_cast<const char*>(data), size);
    int found = readPartitionsList(text, table);
    if (found < 0 || found > MAX_DISKS)
        __builtin_trap();
    for (int i = 0; i < MAX_DISKS; ++i) {
        // Only whole-disk names are recorded: "/dev/" and three letters.
        const std::string& name = table[i].devName;
        if (i < found ? (name.size() != 8 || name.compare(0, 5, "/dev/") != 0) : !name.empty())
            __builtin_trap();
        if (i >= found && table[i].diskSizeInMeg != 0)
            __builtin_trap();
        computePartitionSizes(table[i]);
    }
    return 0;
}
