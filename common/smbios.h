// SMBIOS table reader: the machine's model and serial number from the
// firmware's System Information record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The memory device the tables are read from.
extern const char* memdevDefault; // "/dev/mem"
extern const char* memdev; // the path in use

constexpr std::uint32_t SMBIOSSearchSegment = 0xF000;
constexpr const char* ANCHOR_SM = "_SM_";
constexpr const char* ANCHOR_DMI = "_DMI_";
constexpr std::size_t SMBIOS_ENTRY_POINT_SIZE = 31;
constexpr std::size_t SMBIOS_HEADER_SIZE = 4;
constexpr std::uint8_t SMBIOS_TYPE_SYSTEM = 1;

// Result codes shared by the reader's operations.
constexpr int SMBIOS_OK = 0;
constexpr int SMBIOS_DEVICE_ERROR = 1; // device cannot be opened or positioned
constexpr int SMBIOS_NOT_OPEN = 2; // the handle is not open
constexpr int SMBIOS_NO_ENTRY_POINT = 3; // no entry point found
constexpr int SMBIOS_BAD_INDEX = 4; // structure index not below structureCount
constexpr int SMBIOS_STRING_TOO_LONG = 5; // string does not end within the buffer
constexpr int SMBIOS_BAD_STRUCTURE = 6; // structure malformed or outside the table
constexpr int SMBIOS_NO_SUCH_STRING = 7; // string index beyond the structure's strings

// The entry point as the firmware lays it out (31 bytes, little-endian),
// decoded field by field.
struct SMBIOSEntryPoint {
    char anchor[4];
    std::uint8_t checksum;
    std::uint8_t length;
    std::uint8_t major;
    std::uint8_t minor;
    std::uint16_t maxStructureSize;
    std::uint8_t epRevision;
    std::uint8_t area[5];
    char dmiAnchor[5];
    std::uint8_t dmiChecksum;
    std::uint16_t structureTableLength;
    std::uint32_t structureTableAddress;
    std::uint16_t structureCount;
    std::uint8_t revision;
};

struct SMBIOSStructureHeader {
    std::uint8_t type;
    std::uint8_t length; // formatted area, header included
    std::uint16_t handle;
};

// A structure's formatted area: the header and the length - 4 bytes after it.
struct SMBIOSStructure {
    SMBIOSStructureHeader header;
    std::uint8_t buffer[255];
};

// System Information (type 1): offsets of its fields in the formatted area.
struct SMBIOSStructure_System {
    static constexpr std::size_t manufacturerString = 4;
    static constexpr std::size_t productNameString = 5;
    static constexpr std::size_t versionString = 6;
    static constexpr std::size_t serialNumberString = 7;
    static constexpr std::size_t uuid = 8;
    static constexpr std::size_t wakeupType = 24;
};

// One open table. Reads come from the device (file) or from a memory image
// whose first byte is physical address imageBase. Move-only; closes itself.
struct SMBIOSHandle {
    int file = -1;
    long entryOffset = 0;
    SMBIOSEntryPoint entry {};
    std::uint32_t currentStructure = 0;
    long currentStructureOffset = 0;
    // First address past the structure table; no read goes beyond it.
    long tableEnd = 0;
    std::span<const std::byte> image;
    long imageBase = 0;

    SMBIOSHandle() = default;
    SMBIOSHandle(SMBIOSHandle&& other) noexcept;
    SMBIOSHandle& operator=(SMBIOSHandle&& other) noexcept;
    SMBIOSHandle(const SMBIOSHandle&) = delete;
    SMBIOSHandle& operator=(const SMBIOSHandle&) = delete;
    ~SMBIOSHandle();
};

// Opens the device, finds the entry point: 0, 1 or 3 (handle closed).
int openSMBIOS(const char* memdev, SMBIOSHandle* handle);
// Same search over a memory image that starts at physical address base.
int openSMBIOSImage(std::span<const std::byte> memory, long base, SMBIOSHandle* handle);
// Opens the kernel's copy of the tables: the entry point ("_SM_" 32-bit or
// "_SM3_" 64-bit) and the structure table itself; 0 or 3.
int openSMBIOSTables(std::span<const std::byte> entryPoint, std::span<const std::byte> table, SMBIOSHandle* handle);
void closeSMBIOS(SMBIOSHandle* handle);
// Moves the remembered position to structure index: 0, 2, 4 or 6.
int seekSMBIOSStructure(SMBIOSHandle* handle, unsigned index);
// Reads structure index; structure unchanged on error: 0, 2, 4 or 6.
int readSMBIOSStructure(SMBIOSHandle* handle, SMBIOSStructure* structure, unsigned index);
// Copies string stringIndex (from 1) of a structure into buffer:
// 0, 2, 4, 5 (no terminator in buffer), 6 or 7 (buffer empty).
int readSMBIOSStructureString(SMBIOSHandle* handle, unsigned structureIndex, unsigned stringIndex,
    unsigned char* buffer, unsigned short bufferSize);

// Fills SMBIOS_ModelType, SMBIOS_SerialNumber and SMBIOS_ID (bootIdentity.h):
// 0 when a System Information structure was found, else 1.
int getSMBIOS(void);
