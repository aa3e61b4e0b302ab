#include "smbios.h"

#include "bootIdentity.h"
#include "prepareForNLS.h"
#include "procFile.h"
#include "sysPath.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

const char* memdevDefault = "/dev/mem";
const char* memdev = memdevDefault;

namespace
{

// Paragraphs from 0xF0000 up to the one just below 0xFFFF0; the paragraph at
// 0xFFFF0 holds the reset vector, not an entry point.
constexpr int SEARCH_PARAGRAPHS = 4095;
constexpr long PARAGRAPH_SIZE = 16;
constexpr long SEARCH_START = long { SMBIOSSearchSegment } * PARAGRAPH_SIZE;
constexpr unsigned LAST_STRUCTURE_INDEX = 65534;
constexpr unsigned short IDENTITY_TEXT_SIZE = 32;
constexpr std::uint8_t TYPE_END_OF_TABLE = 127;

// The kernel's copy of the tables, used when the memory device yields none.
constexpr const char* KERNEL_ENTRY_POINT = "/sys/firmware/dmi/tables/smbios_entry_point";
constexpr const char* KERNEL_TABLE = "/sys/firmware/dmi/tables/DMI";
constexpr std::size_t MAX_KERNEL_ENTRY_POINT = 64;
// The 32-bit entry point gives at most 64 KiB; the 64-bit one up to 4 GiB,
// far beyond any real table.
constexpr std::size_t MAX_KERNEL_TABLE = 1024 * 1024;

// The 64-bit entry point ("_SM3_", 24 bytes).
constexpr const char* ANCHOR_SM3 = "_SM3_";
constexpr std::size_t SM3_ENTRY_POINT_SIZE = 24;

// Message numbers that head the reader's messages.
constexpr int MSG_OPEN_DEVICE = 168;
constexpr int MSG_POSITION = 175;
constexpr int MSG_NO_ENTRY_POINT = 203;

// "name:number:subject: error text", the error text of the failed call.
void nserr(int number, const char* subject)
{
    const int error = errno;
    std::fprintf(stderr, "%s:%d:%s: %s\n", program_invocation_short_name, number, subject, std::strerror(error));
}

// "name:number: text".
void serr(int number, const char* text)
{
    std::fprintf(stderr, "%s:%d: %s\n", program_invocation_short_name, number, text);
}

std::uint16_t load16(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::uint32_t load32(const std::uint8_t* bytes)
{
    return std::uint32_t { bytes[0] } | (std::uint32_t { bytes[1] } << 8) | (std::uint32_t { bytes[2] } << 16)
        | (std::uint32_t { bytes[3] } << 24);
}

bool isOpen(const SMBIOSHandle& handle)
{
    return handle.file >= 0 || handle.image.data() != nullptr;
}

// Reads up to count bytes at a physical address; the number read, 0 at the
// end of the device or image, -1 on a read error.
long readAt(const SMBIOSHandle& handle, long offset, void* destination, std::size_t count)
{
    if (offset < 0)
        return -1;
    if (handle.file >= 0) {
        std::size_t done = 0;
        while (done < count) {
            ssize_t got = ::pread(
                handle.file, static_cast<char*>(destination) + done, count - done, offset + static_cast<long>(done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return done > 0 ? static_cast<long>(done) : -1;
            if (got == 0)
                break;
            done += static_cast<std::size_t>(got);
        }
        return static_cast<long>(done);
    }
    if (offset < handle.imageBase)
        return 0;
    const std::size_t start = static_cast<std::size_t>(offset - handle.imageBase);
    if (start >= handle.image.size())
        return 0;
    const std::size_t length = std::min(count, handle.image.size() - start);
    std::memcpy(destination, handle.image.data() + start, length);
    return static_cast<long>(length);
}

// Reads exactly count bytes inside the structure table.
bool readTable(const SMBIOSHandle& handle, long offset, void* destination, std::size_t count)
{
    if (offset < 0 || offset + static_cast<long>(count) > handle.tableEnd)
        return false;
    return readAt(handle, offset, destination, count) == static_cast<long>(count);
}

void decodeEntryPoint(const std::uint8_t* raw, SMBIOSEntryPoint& entry)
{
    std::memcpy(entry.anchor, raw, 4);
    entry.checksum = raw[4];
    entry.length = raw[5];
    entry.major = raw[6];
    entry.minor = raw[7];
    entry.maxStructureSize = load16(raw + 8);
    entry.epRevision = raw[10];
    std::memcpy(entry.area, raw + 11, 5);
    std::memcpy(entry.dmiAnchor, raw + 16, 5);
    entry.dmiChecksum = raw[21];
    entry.structureTableLength = load16(raw + 22);
    entry.structureTableAddress = load32(raw + 24);
    entry.structureCount = load16(raw + 28);
    entry.revision = raw[30];
}

bool hasBothAnchors(const std::uint8_t* raw)
{
    return std::memcmp(raw, ANCHOR_SM, 4) == 0 && std::memcmp(raw + 16, ANCHOR_DMI, 5) == 0;
}

void rewind(SMBIOSHandle& handle)
{
    handle.currentStructure = 0;
    handle.currentStructureOffset = static_cast<long>(handle.entry.structureTableAddress);
}

// Scan the BIOS area for the SMBIOS entry point. The checksums are not
// verified: the two anchors are enough.
int searchEntryPoint(SMBIOSHandle& handle)
{
    long offset = SEARCH_START;
    for (int paragraph = 0; paragraph < SEARCH_PARAGRAPHS; ++paragraph, offset += PARAGRAPH_SIZE) {
        std::uint8_t bytes[PARAGRAPH_SIZE];
        if (readAt(handle, offset, bytes, sizeof bytes) != PARAGRAPH_SIZE)
            return SMBIOS_NO_ENTRY_POINT;
        if (std::memcmp(bytes, ANCHOR_SM, 4) != 0)
            continue;
        std::uint8_t raw[SMBIOS_ENTRY_POINT_SIZE];
        if (readAt(handle, offset, raw, sizeof raw) != static_cast<long>(sizeof raw) || !hasBothAnchors(raw))
            continue;
        handle.entryOffset = offset;
        decodeEntryPoint(raw, handle.entry);
        handle.tableEnd = static_cast<long>(handle.entry.structureTableAddress) + handle.entry.structureTableLength;
        rewind(handle);
        return SMBIOS_OK;
    }
    return SMBIOS_NO_ENTRY_POINT;
}

// Position of the first byte of the structure's string set, after checking
// that its formatted area lies inside the table.
int locateStringSet(const SMBIOSHandle& handle, long structureOffset, std::uint8_t* header, long& stringSet)
{
    if (!readTable(handle, structureOffset, header, SMBIOS_HEADER_SIZE))
        return SMBIOS_BAD_STRUCTURE;
    const std::uint8_t length = header[1];
    if (length < SMBIOS_HEADER_SIZE || structureOffset + length > handle.tableEnd)
        return SMBIOS_BAD_STRUCTURE;
    stringSet = structureOffset + length;
    return SMBIOS_OK;
}

// From position, finds the end of one NUL-ended run (one string, or with
// pairs set, the whole string set ended by two NULs in a row); position is
// left just past it. The run must end inside the table.
bool skipPast(const SMBIOSHandle& handle, long& position, bool pairs)
{
    bool previousNul = false;
    std::uint8_t chunk[256];
    while (position < handle.tableEnd) {
        const std::size_t wanted
            = std::min<std::size_t>(sizeof chunk, static_cast<std::size_t>(handle.tableEnd - position));
        if (readAt(handle, position, chunk, wanted) != static_cast<long>(wanted))
            return false;
        for (std::size_t i = 0; i < wanted; ++i) {
            const bool nul = chunk[i] == 0;
            if (nul && (!pairs || previousNul)) {
                position += static_cast<long>(i) + 1;
                return true;
            }
            previousNul = nul;
        }
        position += static_cast<long>(wanted);
    }
    return false;
}

// One step of the walk: from the remembered structure to the next one.
int stepForward(SMBIOSHandle& handle)
{
    std::uint8_t header[SMBIOS_HEADER_SIZE];
    long position = 0;
    int result = locateStringSet(handle, handle.currentStructureOffset, header, position);
    if (result != SMBIOS_OK)
        return result;
    if (!skipPast(handle, position, true))
        return SMBIOS_BAD_STRUCTURE;
    ++handle.currentStructure;
    handle.currentStructureOffset = position;
    return SMBIOS_OK;
}

void setEmpty(unsigned char* buffer, unsigned short bufferSize)
{
    if (bufferSize > 0)
        buffer[0] = 0;
}

// One identity text: the first 32 bytes of the string, the 33rd byte of the
// array never written (it stays NUL). Firmware strings are meant to be
// printable; a control character would travel into properties files and
// server requests, so it is shown as '.'.
void readIdentityText(SMBIOSHandle& handle, unsigned structureIndex, unsigned stringIndex, char* text)
{
    text[0] = 0;
    readSMBIOSStructureString(
        &handle, structureIndex, stringIndex, reinterpret_cast<unsigned char*>(text), IDENTITY_TEXT_SIZE);
    for (unsigned short i = 0; i < IDENTITY_TEXT_SIZE && text[i] != 0; ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F)
            text[i] = '.';
    }
}

// Reads structures from index 0 up until one is System Information: 0 with
// structure and index set, 4 when the table has none, else the walk's error.
int findSystemInformation(SMBIOSHandle& handle, SMBIOSStructure& structure, unsigned& index)
{
    for (index = 0; index < handle.entry.structureCount && index <= LAST_STRUCTURE_INDEX; ++index) {
        int result = readSMBIOSStructure(&handle, &structure, index);
        if (result != SMBIOS_OK)
            return result;
        if (structure.header.type == SMBIOS_TYPE_SYSTEM)
            return SMBIOS_OK;
    }
    return SMBIOS_BAD_INDEX;
}

} // namespace

SMBIOSHandle::SMBIOSHandle(SMBIOSHandle&& other) noexcept
{
    *this = std::move(other);
}

SMBIOSHandle& SMBIOSHandle::operator=(SMBIOSHandle&& other) noexcept
{
    if (this != &other) {
        closeSMBIOS(this);
        file = other.file;
        entryOffset = other.entryOffset;
        entry = other.entry;
        currentStructure = other.currentStructure;
        currentStructureOffset = other.currentStructureOffset;
        tableEnd = other.tableEnd;
        image = other.image;
        imageBase = other.imageBase;
        other.file = -1;
        other.image = {};
    }
    return *this;
}

SMBIOSHandle::~SMBIOSHandle()
{
    closeSMBIOS(this);
}

int openSMBIOS(const char* memdev, SMBIOSHandle* handle)
{
    closeSMBIOS(handle);
    handle->file = ::open(sysPath(memdev).c_str(), O_RDONLY | O_CLOEXEC);
    if (handle->file < 0) {
        nserr(MSG_OPEN_DEVICE, memdev);
        return SMBIOS_DEVICE_ERROR;
    }
    if (::lseek(handle->file, SEARCH_START, SEEK_SET) < 0) {
        nserr(MSG_POSITION, _("Unable to locate SMBIOS anchor structure"));
        closeSMBIOS(handle);
        return SMBIOS_DEVICE_ERROR;
    }
    if (searchEntryPoint(*handle) != SMBIOS_OK) {
        serr(MSG_NO_ENTRY_POINT, _("SMBIOS entry point not found in memory"));
        closeSMBIOS(handle);
        return SMBIOS_NO_ENTRY_POINT;
    }
    return SMBIOS_OK;
}

int openSMBIOSImage(std::span<const std::byte> memory, long base, SMBIOSHandle* handle)
{
    closeSMBIOS(handle);
    if (memory.data() == nullptr)
        return SMBIOS_NO_ENTRY_POINT;
    handle->image = memory;
    handle->imageBase = base;
    if (searchEntryPoint(*handle) != SMBIOS_OK) {
        closeSMBIOS(handle);
        return SMBIOS_NO_ENTRY_POINT;
    }
    return SMBIOS_OK;
}

int openSMBIOSTables(std::span<const std::byte> entryPoint, std::span<const std::byte> table, SMBIOSHandle* handle)
{
    closeSMBIOS(handle);
    if (table.empty())
        return SMBIOS_NO_ENTRY_POINT;
    const auto* raw = reinterpret_cast<const std::uint8_t*>(entryPoint.data());
    SMBIOSEntryPoint entry {};
    std::size_t tableLength = 0;
    bool countStructures = false;
    if (entryPoint.size() >= SMBIOS_ENTRY_POINT_SIZE && hasBothAnchors(raw)) {
        decodeEntryPoint(raw, entry);
        tableLength = std::min<std::size_t>(table.size(), entry.structureTableLength);
    } else if (entryPoint.size() >= SM3_ENTRY_POINT_SIZE && std::memcmp(raw, ANCHOR_SM3, 5) == 0) {
        // The 64-bit entry point has no structure count: the table ends with
        // the end-of-table structure or at its maximum size.
        std::memcpy(entry.anchor, raw, 4);
        entry.checksum = raw[5];
        entry.length = raw[6];
        entry.major = raw[7];
        entry.minor = raw[8];
        entry.epRevision = raw[10];
        tableLength = std::min<std::size_t>(table.size(), load32(raw + 12));
        countStructures = true;
    } else {
        return SMBIOS_NO_ENTRY_POINT;
    }
    // The kernel's file starts with the first structure.
    entry.structureTableAddress = 0;
    entry.structureTableLength = static_cast<std::uint16_t>(std::min<std::size_t>(tableLength, 0xFFFF));
    handle->image = table;
    handle->imageBase = 0;
    handle->entryOffset = 0;
    handle->entry = entry;
    handle->tableEnd = static_cast<long>(tableLength);
    rewind(*handle);
    if (countStructures) {
        std::uint32_t count = 0;
        while (count <= LAST_STRUCTURE_INDEX) {
            std::uint8_t header[SMBIOS_HEADER_SIZE];
            long stringSet = 0;
            if (locateStringSet(*handle, handle->currentStructureOffset, header, stringSet) != SMBIOS_OK)
                break;
            // Count the structure only when the walk can pass over it.
            const bool endOfTable = header[0] == TYPE_END_OF_TABLE;
            if (stepForward(*handle) != SMBIOS_OK)
                break;
            ++count;
            if (endOfTable)
                break;
        }
        handle->entry.structureCount = static_cast<std::uint16_t>(count);
        rewind(*handle);
    }
    return SMBIOS_OK;
}

void closeSMBIOS(SMBIOSHandle* handle)
{
    if (handle->file >= 0)
        ::close(handle->file);
    handle->file = -1;
    handle->image = {};
}

int seekSMBIOSStructure(SMBIOSHandle* handle, unsigned index)
{
    if (!isOpen(*handle))
        return SMBIOS_NOT_OPEN;
    if (index >= handle->entry.structureCount)
        return SMBIOS_BAD_INDEX;
    if (index < handle->currentStructure)
        rewind(*handle);
    while (handle->currentStructure < index) {
        int result = stepForward(*handle);
        if (result != SMBIOS_OK)
            return result;
    }
    return SMBIOS_OK;
}

int readSMBIOSStructure(SMBIOSHandle* handle, SMBIOSStructure* structure, unsigned index)
{
    int result = seekSMBIOSStructure(handle, index);
    if (result != SMBIOS_OK)
        return result;
    std::uint8_t header[SMBIOS_HEADER_SIZE];
    long formattedRest = 0;
    result = locateStringSet(*handle, handle->currentStructureOffset, header, formattedRest);
    if (result != SMBIOS_OK)
        return result;
    SMBIOSStructure read {};
    read.header.type = header[0];
    read.header.length = header[1];
    read.header.handle = load16(header + 2);
    const std::size_t restLength = read.header.length - SMBIOS_HEADER_SIZE;
    if (!readTable(
            *handle, handle->currentStructureOffset + static_cast<long>(SMBIOS_HEADER_SIZE), read.buffer, restLength))
        return SMBIOS_BAD_STRUCTURE;
    *structure = read;
    return SMBIOS_OK;
}

int readSMBIOSStructureString(SMBIOSHandle* handle, unsigned structureIndex, unsigned stringIndex,
    unsigned char* buffer, unsigned short bufferSize)
{
    if (stringIndex == 0) {
        setEmpty(buffer, bufferSize);
        return SMBIOS_OK;
    }
    int result = seekSMBIOSStructure(handle, structureIndex);
    if (result != SMBIOS_OK)
        return result;
    std::uint8_t header[SMBIOS_HEADER_SIZE];
    long position = 0;
    result = locateStringSet(*handle, handle->currentStructureOffset, header, position);
    if (result != SMBIOS_OK) {
        setEmpty(buffer, bufferSize);
        return result;
    }
    // A string begins with a non-NUL byte; a NUL where one should begin is
    // the end of the set, so the index names no string.
    for (unsigned skipped = 0;; ++skipped) {
        std::uint8_t first = 0;
        if (!readTable(*handle, position, &first, 1)) {
            setEmpty(buffer, bufferSize);
            return SMBIOS_BAD_STRUCTURE;
        }
        if (first == 0) {
            setEmpty(buffer, bufferSize);
            return SMBIOS_NO_SUCH_STRING;
        }
        if (skipped + 1 == stringIndex)
            break;
        if (!skipPast(*handle, position, false)) {
            setEmpty(buffer, bufferSize);
            return SMBIOS_BAD_STRUCTURE;
        }
    }
    const std::size_t available
        = std::min<std::size_t>(bufferSize, static_cast<std::size_t>(handle->tableEnd - position));
    std::vector<unsigned char> copy(available);
    if (readAt(*handle, position, copy.data(), available) != static_cast<long>(available)) {
        setEmpty(buffer, bufferSize);
        return SMBIOS_BAD_STRUCTURE;
    }
    auto nul = std::find(copy.begin(), copy.end(), 0);
    if (nul != copy.end()) {
        std::copy(copy.begin(), nul + 1, buffer);
        return SMBIOS_OK;
    }
    if (available < bufferSize) {
        // The string runs past the end of the table.
        setEmpty(buffer, bufferSize);
        return SMBIOS_BAD_STRUCTURE;
    }
    std::copy(copy.begin(), copy.end(), buffer);
    return SMBIOS_STRING_TOO_LONG;
}

int getSMBIOS(void)
{
    // The kernel's copy outlives the handle that reads it.
    std::string kernelEntryPoint;
    std::string kernelTable;
    SMBIOSHandle handle;
    SMBIOSStructure structure {};
    unsigned index = 0;
    memdev = memdevDefault;
    bool opened = openSMBIOS(memdev, &handle) == SMBIOS_OK;
    int walk = opened ? findSystemInformation(handle, structure, index) : SMBIOS_NO_ENTRY_POINT;
    if (walk != SMBIOS_OK && walk != SMBIOS_BAD_INDEX) {
        // Firmware without a legacy entry point, a kernel that refuses the
        // memory device, or a table it will not let us read whole: the
        // kernel exports the same tables.
        readSystemFile(KERNEL_ENTRY_POINT, MAX_KERNEL_ENTRY_POINT, kernelEntryPoint);
        readSystemFile(KERNEL_TABLE, MAX_KERNEL_TABLE, kernelTable);
        if (openSMBIOSTables(std::as_bytes(std::span(kernelEntryPoint)), std::as_bytes(std::span(kernelTable)), &handle)
            == SMBIOS_OK) {
            std::fprintf(stderr, "SMBIOS tables read from %s\n", KERNEL_TABLE);
            opened = true;
            walk = findSystemInformation(handle, structure, index);
        }
    }
    if (!opened)
        return 1;
    const bool found = walk == SMBIOS_OK;
    if (found) {
        // The structure buffer is zero past the formatted area, so a field
        // that a short (older) record lacks names no string.
        auto stringField
            = [&structure](std::size_t offset) -> unsigned { return structure.buffer[offset - SMBIOS_HEADER_SIZE]; };
        readIdentityText(handle, index, stringField(SMBIOSStructure_System::serialNumberString), SMBIOS_SerialNumber);
        readIdentityText(handle, index, stringField(SMBIOSStructure_System::productNameString), SMBIOS_ModelType);
        std::snprintf(SMBIOS_ID, sizeof SMBIOS_ID, "MT.%s.SN.%s", SMBIOS_ModelType, SMBIOS_SerialNumber);
    }
    closeSMBIOS(&handle);
    std::fputs("\n", stdout);
    return found ? 0 : 1;
}
