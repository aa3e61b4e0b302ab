#include "smbios.h"

#include "bootIdentity.h"
#include "privateRoot.h"
#include "smbiosImage.h"
#include "sysPath.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace
{

// Every sysPath() of this process lands in a private root.
const std::string testRoot = usePrivateRoot("smbios_test");

// Up to 1 MiB and a little beyond, so an entry point at 0xFFFF0 fits whole.
constexpr long MEMORY_SIZE = 0x100100;
constexpr long TABLE_ADDRESS = 0xE0000;

// The tables these tests build.
using Table = SmbiosTable;

// Physical memory from address 0 up to 1 MiB.
struct Memory {
    std::vector<std::byte> bytes = std::vector<std::byte>(MEMORY_SIZE);

    void put(long address, const std::string& data)
    {
        ASSERT_LE(address + static_cast<long>(data.size()), MEMORY_SIZE);
        std::memcpy(bytes.data() + address, data.data(), data.size());
    }
    void putTable(const Table& table, long address = TABLE_ADDRESS) { put(address, table.bytes); }
    void putEntryPoint(long address, const Table& table, long tableAddress = TABLE_ADDRESS)
    {
        put(address, smbiosEntryPoint(tableAddress, table.bytes.size(), table.count));
    }
    std::span<const std::byte> span() const { return bytes; }
};

// Three structures whose string sets are empty, one character, and normal.
Table walkTable()
{
    Table table;
    table.add(0, "\x01\x02", {});
    table.add(2, "\x01", { "A" });
    table.add(3, "", { "chassis", "x" });
    table.addSystem(1, 2, { "Model", "Serial" });
    table.add(4, std::string(2, '\0'), {});
    table.add(5, "", { "five" });
    table.add(6, "", { "six" });
    return table;
}

struct Opened {
    Memory memory;
    SMBIOSHandle handle;
};

void openWith(Opened& opened, const Table& table)
{
    opened.memory.putTable(table);
    opened.memory.putEntryPoint(0xF0000, table);
    ASSERT_EQ(openSMBIOSImage(opened.memory.span(), 0, &opened.handle), SMBIOS_OK);
}

std::string stringOf(const unsigned char* buffer)
{
    return reinterpret_cast<const char*>(buffer);
}

// ---- Entry-point search ----------------------------------------------------

TEST(SMBIOSEntryPoint, SearchCoversEveryParagraphBelowTheResetVector)
{
    struct Row {
        const char* name;
        long address;
        int result;
    };
    const Row rows[] = {
        { "first paragraph", 0xF0000, SMBIOS_OK },
        { "last paragraph below 0xFFFF0", 0xFFFE0, SMBIOS_OK },
        { "paragraph at 0xFFFF0", 0xFFFF0, SMBIOS_NO_ENTRY_POINT },
        { "not on a paragraph boundary", 0xF0008, SMBIOS_NO_ENTRY_POINT },
        { "below the BIOS area", 0xEFFF0, SMBIOS_NO_ENTRY_POINT },
    };
    Table table = walkTable();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Memory memory;
        memory.putTable(table);
        memory.putEntryPoint(row.address, table);
        SMBIOSHandle handle;
        EXPECT_EQ(openSMBIOSImage(memory.span(), 0, &handle), row.result);
        if (row.result == SMBIOS_OK)
            EXPECT_EQ(handle.entryOffset, row.address);
        else
            EXPECT_EQ(seekSMBIOSStructure(&handle, 0), SMBIOS_NOT_OPEN);
    }
}

TEST(SMBIOSEntryPoint, AnchorWithoutDmiAnchorIsPassedOver)
{
    Table table = walkTable();
    Memory memory;
    memory.putTable(table);
    memory.put(0xF0000, smbiosEntryPoint(0x1234, 10, 99, "_XMI_"));
    memory.putEntryPoint(0xF0020, table);
    SMBIOSHandle handle;
    ASSERT_EQ(openSMBIOSImage(memory.span(), 0, &handle), SMBIOS_OK);
    EXPECT_EQ(handle.entryOffset, 0xF0020);
    EXPECT_EQ(handle.entry.structureCount, table.count);

    Memory onlyBad;
    onlyBad.put(0xF0000, smbiosEntryPoint(TABLE_ADDRESS, 10, 1, "_DMX_"));
    EXPECT_EQ(openSMBIOSImage(onlyBad.span(), 0, &handle), SMBIOS_NO_ENTRY_POINT);
}

TEST(SMBIOSEntryPoint, FieldsAreLittleEndianAndChecksumsIgnored)
{
    Memory memory;
    memory.put(0xF0100, smbiosEntryPoint(0x000E1234, 0x0A0B, 0x0102));
    SMBIOSHandle handle;
    ASSERT_EQ(openSMBIOSImage(memory.span(), 0, &handle), SMBIOS_OK);
    EXPECT_EQ(handle.entry.checksum, 0xEE);
    EXPECT_EQ(handle.entry.structureTableAddress, 0x000E1234u);
    EXPECT_EQ(handle.entry.structureTableLength, 0x0A0B);
    EXPECT_EQ(handle.entry.structureCount, 0x0102);
    EXPECT_EQ(handle.entry.maxStructureSize, 0x80);
    EXPECT_EQ(handle.entry.major, 2);
    EXPECT_EQ(handle.entry.minor, 8);
    EXPECT_EQ(handle.currentStructure, 0u);
    EXPECT_EQ(handle.currentStructureOffset, 0xE1234);
}

TEST(SMBIOSEntryPoint, ImageEndingInsideTheSearchAreaFindsNothing)
{
    std::vector<std::byte> shortImage(0x100);
    SMBIOSHandle handle;
    EXPECT_EQ(openSMBIOSImage(shortImage, 0xF0000, &handle), SMBIOS_NO_ENTRY_POINT);
}

// ---- Structure walk --------------------------------------------------------

TEST(SMBIOSStructureWalk, EmptyAndOneCharacterStringSetsAreWalkedOver)
{
    Opened opened;
    openWith(opened, walkTable());
    const unsigned types[] = { 0, 2, 3, 1, 4, 5, 6 };
    for (unsigned index = 0; index < 7; ++index) {
        SCOPED_TRACE(index);
        SMBIOSStructure structure {};
        ASSERT_EQ(readSMBIOSStructure(&opened.handle, &structure, index), SMBIOS_OK);
        EXPECT_EQ(structure.header.type, types[index]);
        EXPECT_EQ(structure.header.handle, 0x100 + index);
    }
}

TEST(SMBIOSStructureWalk, IndexRules)
{
    Opened opened;
    Table table = walkTable();
    openWith(opened, table);
    SMBIOSStructure structure {};
    structure.header.type = 99;
    EXPECT_EQ(readSMBIOSStructure(&opened.handle, &structure, table.count), SMBIOS_BAD_INDEX);
    EXPECT_EQ(structure.header.type, 99) << "structure left as it was";
    EXPECT_EQ(seekSMBIOSStructure(&opened.handle, 0xFFFFFFFFu), SMBIOS_BAD_INDEX);
    EXPECT_EQ(seekSMBIOSStructure(&opened.handle, table.count - 1), SMBIOS_OK);
    EXPECT_EQ(opened.handle.currentStructure, table.count - 1);

    closeSMBIOS(&opened.handle);
    EXPECT_EQ(opened.handle.file, -1);
    EXPECT_EQ(seekSMBIOSStructure(&opened.handle, 0), SMBIOS_NOT_OPEN);
    EXPECT_EQ(readSMBIOSStructure(&opened.handle, &structure, 0), SMBIOS_NOT_OPEN);
    unsigned char buffer[8] = "keep";
    EXPECT_EQ(readSMBIOSStructureString(&opened.handle, 0, 1, buffer, sizeof buffer), SMBIOS_NOT_OPEN);
    closeSMBIOS(&opened.handle); // closing twice does nothing
}

TEST(SMBIOSStructureWalk, RememberedPositionIsReusedAndLowerIndexRestarts)
{
    Opened opened;
    Table table = walkTable();
    openWith(opened, table);
    ASSERT_EQ(seekSMBIOSStructure(&opened.handle, 5), SMBIOS_OK);
    const long fifth = opened.handle.currentStructureOffset;

    // Break structure 0: only a walk from the start of the table sees it.
    opened.memory.put(TABLE_ADDRESS + 1, std::string(1, '\x02'));
    EXPECT_EQ(seekSMBIOSStructure(&opened.handle, 5), SMBIOS_OK);
    EXPECT_EQ(opened.handle.currentStructureOffset, fifth);
    EXPECT_EQ(seekSMBIOSStructure(&opened.handle, 6), SMBIOS_OK);
    EXPECT_EQ(opened.handle.currentStructure, 6u);
    EXPECT_EQ(seekSMBIOSStructure(&opened.handle, 3), SMBIOS_BAD_STRUCTURE);
    EXPECT_EQ(opened.handle.currentStructure, 0u);
}

TEST(SMBIOSStructureWalk, SeekToRememberedIndexReadsNothing)
{
    Opened opened;
    openWith(opened, walkTable());
    ASSERT_EQ(seekSMBIOSStructure(&opened.handle, 4), SMBIOS_OK);
    // Structure 4 itself is now unreadable; the seek does not look at it.
    opened.memory.put(opened.handle.currentStructureOffset + 1, std::string(1, '\x01'));
    EXPECT_EQ(seekSMBIOSStructure(&opened.handle, 4), SMBIOS_OK);
    SMBIOSStructure structure {};
    EXPECT_EQ(readSMBIOSStructure(&opened.handle, &structure, 4), SMBIOS_BAD_STRUCTURE);
}

TEST(SMBIOSStructureWalk, CorruptTablesStopCleanly)
{
    struct Row {
        const char* name;
        std::string table;
        unsigned count;
        unsigned index; // structure asked for
        int result;
    };
    Table good;
    good.add(0, "", { "bios" });
    const std::string one = good.bytes;
    const Row rows[] = {
        { "length below the header", one + std::string("\x07\x02\x00\x00\x00\x00", 6), 2, 1, SMBIOS_BAD_STRUCTURE },
        { "formatted area past the table", one + std::string("\x07\x40\x00\x00", 4), 2, 1, SMBIOS_BAD_STRUCTURE },
        { "string set never ends", one + std::string("\x07\x04\x00\x00", 4) + "abc", 3, 2, SMBIOS_BAD_STRUCTURE },
        { "count beyond the structures", one, 65535, 65534, SMBIOS_BAD_STRUCTURE },
        { "table of zero bytes", std::string(64, '\0'), 200, 3, SMBIOS_BAD_STRUCTURE },
        { "good structure still read", one, 1, 0, SMBIOS_OK },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Memory memory;
        // Fill memory after the table with text that has no NUL pair.
        memory.put(TABLE_ADDRESS, std::string(0x1000, 'z'));
        memory.put(TABLE_ADDRESS, row.table);
        memory.put(0xF0000, smbiosEntryPoint(TABLE_ADDRESS, row.table.size(), row.count));
        SMBIOSHandle handle;
        ASSERT_EQ(openSMBIOSImage(memory.span(), 0, &handle), SMBIOS_OK);
        SMBIOSStructure structure {};
        EXPECT_EQ(readSMBIOSStructure(&handle, &structure, row.index), row.result);
        unsigned char buffer[16] = {};
        EXPECT_EQ(readSMBIOSStructureString(&handle, row.index, 1, buffer, sizeof buffer), row.result);
    }
}

TEST(SMBIOSStructureWalk, TableOutsideTheImageStopsCleanly)
{
    Memory memory;
    memory.put(0xF0000, smbiosEntryPoint(0xFFFFFF00, 0x200, 4));
    SMBIOSHandle handle;
    ASSERT_EQ(openSMBIOSImage(memory.span(), 0, &handle), SMBIOS_OK);
    SMBIOSStructure structure {};
    EXPECT_EQ(readSMBIOSStructure(&handle, &structure, 0), SMBIOS_BAD_STRUCTURE);
    EXPECT_EQ(readSMBIOSStructure(&handle, &structure, 3), SMBIOS_BAD_STRUCTURE);
}

// ---- Strings ---------------------------------------------------------------

TEST(SMBIOSStrings, StringReadsByIndexAndBufferSize)
{
    const std::string forty = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcd";
    const std::string thirtyTwo = forty.substr(0, 32);
    Table table;
    table.add(11, "", { "one", "A", forty, thirtyTwo });
    table.add(12, "", {});
    table.add(13, "", { "last" });
    struct Row {
        const char* name;
        unsigned structure;
        unsigned string;
        unsigned short size;
        int result;
        std::string text; // expected buffer text, first `size` bytes when 5
    };
    const Row rows[] = {
        { "first string", 0, 1, 32, SMBIOS_OK, "one" },
        { "one character", 0, 2, 32, SMBIOS_OK, "A" },
        { "forty characters cut at the buffer", 0, 3, 32, SMBIOS_STRING_TOO_LONG, thirtyTwo },
        { "thirty-two characters and NUL fit 33", 0, 4, 33, SMBIOS_OK, thirtyTwo },
        { "thirty-two characters fill 32", 0, 4, 32, SMBIOS_STRING_TOO_LONG, thirtyTwo },
        { "index beyond the strings", 0, 5, 32, SMBIOS_NO_SUCH_STRING, "" },
        { "far beyond the strings", 0, 255, 32, SMBIOS_NO_SUCH_STRING, "" },
        { "structure without strings", 1, 1, 32, SMBIOS_NO_SUCH_STRING, "" },
        { "string at the table's end", 2, 1, 32, SMBIOS_OK, "last" },
        { "index 0 is the empty string", 1, 0, 32, SMBIOS_OK, "" },
        { "index 0 needs no structure", 999, 0, 32, SMBIOS_OK, "" },
        { "structure index out of range", 3, 1, 32, SMBIOS_BAD_INDEX, "untouched" },
    };
    Opened opened;
    openWith(opened, table);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        unsigned char buffer[64];
        std::memset(buffer, 0, sizeof buffer);
        std::strcpy(reinterpret_cast<char*>(buffer), "untouched");
        EXPECT_EQ(readSMBIOSStructureString(&opened.handle, row.structure, row.string, buffer, row.size), row.result);
        if (row.result == SMBIOS_STRING_TOO_LONG)
            EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), row.size), row.text);
        else
            EXPECT_EQ(stringOf(buffer), row.text);
    }
}

TEST(SMBIOSStrings, StringRunningPastTheTableIsRejected)
{
    Table table;
    table.add(11, "", { "abcdef" });
    // Cut the table inside the string: the rest of memory still holds it.
    Memory memory;
    memory.putTable(table);
    memory.put(0xF0000, smbiosEntryPoint(TABLE_ADDRESS, 4 + 3, 1));
    SMBIOSHandle handle;
    ASSERT_EQ(openSMBIOSImage(memory.span(), 0, &handle), SMBIOS_OK);
    unsigned char buffer[32] = "untouched";
    EXPECT_EQ(readSMBIOSStructureString(&handle, 0, 1, buffer, sizeof buffer), SMBIOS_BAD_STRUCTURE);
    EXPECT_EQ(stringOf(buffer), "");
}

// ---- Kernel copy of the tables ---------------------------------------------

std::string sm3EntryPoint(unsigned long maxSize)
{
    std::string raw = "_SM3_";
    raw += '\xEE'; // checksum
    raw += '\x18'; // length 24
    raw += std::string("\x03\x02\x00\x01\x00", 5); // version 3.2, docrev, revision, reserved
    raw += le32(maxSize);
    raw += le32(0x7A000000) + le32(0);
    return raw;
}

TEST(SMBIOSKernelTables, BothEntryPointFormsOpenTheTable)
{
    Table table = walkTable();
    Table withEnd = walkTable();
    withEnd.add(127, "", {});
    // A well-formed structure after the end-of-table one is not counted.
    const std::string afterEnd = withEnd.bytes + Table().add(9, "", { "after" }).bytes;
    struct Row {
        const char* name;
        std::string entry;
        std::string tableBytes;
        int result;
        unsigned count;
    };
    const Row rows[] = {
        { "32-bit entry point", smbiosEntryPoint(0xE8000, table.bytes.size(), table.count), table.bytes, SMBIOS_OK,
            table.count },
        { "64-bit entry point counts to the end-of-table structure", sm3EntryPoint(afterEnd.size()), afterEnd,
            SMBIOS_OK, withEnd.count },
        { "64-bit entry point without end-of-table structure", sm3EntryPoint(0x10000), table.bytes, SMBIOS_OK,
            table.count },
        { "64-bit maximum size cuts the table", sm3EntryPoint(table.bytes.size() - 3), table.bytes, SMBIOS_OK,
            table.count - 1 },
        { "unknown anchor", "_XX_" + std::string(40, 'a'), table.bytes, SMBIOS_NO_ENTRY_POINT, 0 },
        { "32-bit entry point cut short", smbiosEntryPoint(0, 10, 1).substr(0, 20), table.bytes, SMBIOS_NO_ENTRY_POINT,
            0 },
        { "empty table", sm3EntryPoint(100), "", SMBIOS_NO_ENTRY_POINT, 0 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SMBIOSHandle handle;
        ASSERT_EQ(
            openSMBIOSTables(std::as_bytes(std::span(row.entry)), std::as_bytes(std::span(row.tableBytes)), &handle),
            row.result);
        if (row.result != SMBIOS_OK)
            continue;
        EXPECT_EQ(handle.entry.structureCount, row.count);
        SMBIOSStructure structure {};
        ASSERT_EQ(readSMBIOSStructure(&handle, &structure, 3), SMBIOS_OK);
        EXPECT_EQ(structure.header.type, SMBIOS_TYPE_SYSTEM);
        unsigned char buffer[33] = {};
        EXPECT_EQ(readSMBIOSStructureString(&handle, 3, 2, buffer, 32), SMBIOS_OK);
        EXPECT_EQ(stringOf(buffer), "Serial");
    }
}

// ---- getSMBIOS -------------------------------------------------------------

void writeRootFile(const std::string& absolutePath, const std::string& content)
{
    std::filesystem::path path = sysPath(absolutePath);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void removeRootFile(const std::string& absolutePath)
{
    std::filesystem::remove(sysPath(absolutePath));
}

void writeMemoryDevice(const Table& table)
{
    Memory memory;
    memory.putTable(table);
    memory.putEntryPoint(0xFFFE0, table);
    writeRootFile("/dev/mem", std::string(reinterpret_cast<const char*>(memory.bytes.data()), memory.bytes.size()));
}

// The kernel's copy (32-bit entry point) of a table with one System
// Information record.
void writeKernelTables(const std::string& model, const std::string& serialNumber)
{
    KernelSmbiosFiles files = kernelSmbiosFiles(model, serialNumber);
    writeRootFile("/sys/firmware/dmi/tables/smbios_entry_point", files.entryPoint);
    writeRootFile("/sys/firmware/dmi/tables/DMI", files.table);
}

struct Identity {
    int result;
    std::string out;
    std::string err;
};

Identity runGetSMBIOS()
{
    std::memset(SMBIOS_ModelType, 0, sizeof SMBIOS_ModelType);
    std::memset(SMBIOS_SerialNumber, 0, sizeof SMBIOS_SerialNumber);
    std::memset(SMBIOS_ID, 0, sizeof SMBIOS_ID);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = getSMBIOS();
    std::string out = testing::internal::GetCapturedStdout();
    return { result, out, testing::internal::GetCapturedStderr() };
}

class GetSMBIOS : public testing::Test
{
protected:
    void SetUp() override
    {
        removeRootFile("/dev/mem");
        removeRootFile("/sys/firmware/dmi/tables/smbios_entry_point");
        removeRootFile("/sys/firmware/dmi/tables/DMI");
    }
};

TEST_F(GetSMBIOS, IdentityFromSystemInformation)
{
    const std::string forty = "SN0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    struct Row {
        const char* name;
        unsigned product;
        unsigned serial;
        std::vector<std::string> strings;
        std::string model;
        std::string serialNumber;
    };
    const Row rows[] = {
        { "model and serial", 1, 2, { "4800-743", "41-ABCDE" }, "4800-743", "41-ABCDE" },
        { "serial of 40 characters cut to 32", 1, 2, { "M", forty + "xx" }, "M", (forty + "xx").substr(0, 32) },
        { "serial of 32 characters whole", 1, 2, { "M", forty.substr(0, 32) }, "M", forty.substr(0, 32) },
        { "serial index 0", 1, 0, { "ABC" }, "ABC", "" },
        { "serial index beyond the strings", 1, 3, { "ABC", "x" }, "ABC", "" },
        { "no strings at all", 0, 0, {}, "", "" },
        { "control characters shown as dots", 1, 2, { "A\tB", std::string("S\nN\x7F") + "=1" }, "A.B", "S.N.=1" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Table table;
        table.add(0, "\x01\x02", { "bios vendor" });
        table.addSystem(row.product, row.serial, row.strings);
        writeMemoryDevice(table);
        Identity identity = runGetSMBIOS();
        EXPECT_EQ(identity.result, 0);
        EXPECT_EQ(identity.out, "\n");
        EXPECT_EQ(std::string(SMBIOS_ModelType), row.model);
        EXPECT_EQ(std::string(SMBIOS_SerialNumber), row.serialNumber);
        EXPECT_EQ(std::string(SMBIOS_ID), "MT." + row.model + ".SN." + row.serialNumber);
    }
}

TEST_F(GetSMBIOS, ShortSystemInformationHasNoSerialNumber)
{
    // An SMBIOS 2.0 record ends after the version string index.
    Table table;
    table.add(SMBIOS_TYPE_SYSTEM, std::string("\x01\x02\x00", 3), { "maker", "Model" });
    writeMemoryDevice(table);
    Identity identity = runGetSMBIOS();
    EXPECT_EQ(identity.result, 0);
    EXPECT_EQ(std::string(SMBIOS_ID), "MT.Model.SN.");
}

TEST_F(GetSMBIOS, TableWithoutSystemInformationLeavesIdentityEmpty)
{
    Table table;
    table.add(0, "", { "bios" }).add(2, "", { "board" });
    writeMemoryDevice(table);
    // A legacy table read whole is the answer, whatever the kernel holds.
    writeKernelTables("Kernel", "K1");
    Identity identity = runGetSMBIOS();
    EXPECT_EQ(identity.result, 1);
    EXPECT_EQ(identity.out, "\n");
    EXPECT_EQ(std::string(SMBIOS_ID), "");
}

TEST_F(GetSMBIOS, CorruptStructureBeforeSystemInformationLeavesIdentityEmpty)
{
    Table table;
    table.add(0, "", { "bios" });
    table.bytes += std::string("\x05\x03\x00\x00", 4);
    table.count = 3;
    writeMemoryDevice(table);
    Identity identity = runGetSMBIOS();
    EXPECT_EQ(identity.result, 1);
    EXPECT_EQ(std::string(SMBIOS_ID), "");
}

TEST_F(GetSMBIOS, MissingDeviceWritesNothingAndFails)
{
    Identity identity = runGetSMBIOS();
    EXPECT_EQ(identity.result, 1);
    EXPECT_EQ(identity.out, "");
    EXPECT_EQ(identity.err, std::string(program_invocation_short_name) + ":168:/dev/mem: No such file or directory\n");
    EXPECT_EQ(std::string(SMBIOS_ID), "");
}

TEST_F(GetSMBIOS, NoEntryPointInMemoryIsReported)
{
    writeRootFile("/dev/mem", std::string(MEMORY_SIZE, '\0'));
    Identity identity = runGetSMBIOS();
    EXPECT_EQ(identity.result, 1);
    EXPECT_EQ(identity.out, "");
    EXPECT_EQ(
        identity.err, std::string(program_invocation_short_name) + ":203: SMBIOS entry point not found in memory\n");
}

TEST_F(GetSMBIOS, KernelTablesServeWhenMemoryHasNoEntryPoint)
{
    Table table;
    table.add(0, "", { "bios" });
    table.addSystem(1, 2, { "Kiosk 7", "SER-9" });
    Table withEnd = table;
    withEnd.add(127, "", {});
    struct Row {
        const char* name;
        std::string entry;
        std::string dmi;
    };
    const Row rows[] = {
        { "32-bit", smbiosEntryPoint(0xE0000, table.bytes.size(), table.count), table.bytes },
        { "64-bit", sm3EntryPoint(withEnd.bytes.size()), withEnd.bytes },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        writeRootFile("/dev/mem", ""); // the device holds nothing readable
        writeRootFile("/sys/firmware/dmi/tables/smbios_entry_point", row.entry);
        writeRootFile("/sys/firmware/dmi/tables/DMI", row.dmi);
        Identity identity = runGetSMBIOS();
        EXPECT_EQ(identity.result, 0);
        EXPECT_EQ(identity.out, "\n");
        EXPECT_EQ(std::string(SMBIOS_ID), "MT.Kiosk 7.SN.SER-9");
    }
}

TEST_F(GetSMBIOS, KernelTablesServeWhenTheLegacyTableCannotBeRead)
{
    // The entry point names a table beyond what the device lets us read.
    Memory memory;
    memory.put(0xF0000, smbiosEntryPoint(0x7FFF0000, 0x100, 4));
    writeRootFile("/dev/mem", std::string(reinterpret_cast<const char*>(memory.bytes.data()), memory.bytes.size()));
    writeKernelTables("Kernel", "K1");
    Identity identity = runGetSMBIOS();
    EXPECT_EQ(identity.result, 0);
    EXPECT_EQ(identity.out, "\n");
    EXPECT_EQ(std::string(SMBIOS_ID), "MT.Kernel.SN.K1");

    removeRootFile("/sys/firmware/dmi/tables/DMI");
    identity = runGetSMBIOS();
    EXPECT_EQ(identity.result, 1);
    EXPECT_EQ(identity.out, "\n");
    EXPECT_EQ(std::string(SMBIOS_ID), "");
}

TEST_F(GetSMBIOS, LegacyTableWinsOverKernelTables)
{
    Table legacy;
    legacy.addSystem(1, 2, { "Legacy", "L1" });
    writeMemoryDevice(legacy);
    writeKernelTables("Kernel", "K1");
    Identity identity = runGetSMBIOS();
    EXPECT_EQ(identity.result, 0);
    EXPECT_EQ(std::string(SMBIOS_ID), "MT.Legacy.SN.L1");
}

} // namespace
