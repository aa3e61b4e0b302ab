// Feeds bytes to the SMBIOS reader twice: as physical memory from 0xF0000
// (the BIOS area the entry-point search scans), and as the kernel's copy of
// the tables (an entry point followed by the structure table).
#include "smbios.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace
{

// Enough structures to reach every string of a fuzzed table of 8 KiB.
constexpr unsigned MAX_INDEX = 2048;
constexpr unsigned MAX_STRING = 8;

void readEverything(SMBIOSHandle& handle)
{
    const unsigned count = handle.entry.structureCount < MAX_INDEX ? handle.entry.structureCount : MAX_INDEX;
    for (unsigned index = 0; index < count; ++index) {
        SMBIOSStructure structure {};
        if (readSMBIOSStructure(&handle, &structure, index) != SMBIOS_OK)
            return;
        if (structure.header.length < SMBIOS_HEADER_SIZE)
            __builtin_trap();
        for (unsigned string = 0; string <= MAX_STRING; ++string) {
            const unsigned short size = static_cast<unsigned short>(1 + (string * 7 + index) % 40);
            unsigned char buffer[64];
            std::memset(buffer, 0xAA, sizeof buffer);
            int result = readSMBIOSStructureString(&handle, index, string, buffer, size);
            // Nothing is written past the caller's size, and a success ends
            // the string inside it.
            for (std::size_t i = size; i < sizeof buffer; ++i)
                if (buffer[i] != 0xAA)
                    __builtin_trap();
            if (result == SMBIOS_OK && std::memchr(buffer, 0, size) == nullptr)
                __builtin_trap();
        }
    }
    // A lower index restarts the walk.
    SMBIOSStructure structure {};
    readSMBIOSStructure(&handle, &structure, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
    {
        SMBIOSHandle handle;
        if (openSMBIOSImage(bytes, 0xF0000, &handle) == SMBIOS_OK)
            readEverything(handle);
    }
    const std::size_t split = size < 32 ? size : 32;
    SMBIOSHandle handle;
    if (openSMBIOSTables(bytes.first(split), bytes.subspan(split), &handle) == SMBIOS_OK)
        readEverything(handle);
    return 0;
}
