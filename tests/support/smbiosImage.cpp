#include "smbiosImage.h"

#include "sandbox.h"
#include "smbios.h"

std::string le16(unsigned value)
{
    return { static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF) };
}

std::string le32(unsigned long value)
{
    return le16(value & 0xFFFF) + le16((value >> 16) & 0xFFFF);
}

SmbiosTable& SmbiosTable::add(unsigned type, const std::string& formatted, const std::vector<std::string>& strings)
{
    bytes += static_cast<char>(type);
    bytes += static_cast<char>(4 + formatted.size());
    bytes += le16(0x100 + count);
    bytes += formatted;
    for (const std::string& text : strings)
        bytes += text + '\0';
    if (strings.empty())
        bytes += '\0';
    bytes += '\0';
    ++count;
    return *this;
}

SmbiosTable& SmbiosTable::addSystem(
    unsigned productIndex, unsigned serialIndex, const std::vector<std::string>& strings)
{
    std::string formatted = { 1, static_cast<char>(productIndex), 0, static_cast<char>(serialIndex) };
    formatted += std::string(17, '\x11'); // uuid and wake-up type
    return add(SMBIOS_TYPE_SYSTEM, formatted, strings);
}

std::string smbiosEntryPoint(unsigned long tableAddress, unsigned tableLength, unsigned count, const char* dmiAnchor)
{
    std::string raw = "_SM_";
    raw += '\xEE'; // checksum, deliberately wrong
    raw += '\x1F'; // length
    raw += "\x02\x08"; // version 2.8
    raw += le16(0x80); // largest structure
    raw += std::string(6, '\0'); // revision, formatted area
    raw += std::string(dmiAnchor, 5);
    raw += '\xEE'; // intermediate checksum, wrong too
    raw += le16(tableLength);
    raw += le32(tableAddress);
    raw += le16(count);
    raw += '\x28';
    return raw;
}

KernelSmbiosFiles kernelSmbiosFiles(const std::string& model, const std::string& serialNumber)
{
    SmbiosTable table;
    table.addSystem(1, 2, { model, serialNumber });
    return { smbiosEntryPoint(0, static_cast<unsigned>(table.bytes.size()), table.count), table.bytes };
}

void writeKernelSmbios(const Sandbox& box, const std::string& model, const std::string& serialNumber)
{
    KernelSmbiosFiles files = kernelSmbiosFiles(model, serialNumber);
    box.writeFile("/sys/firmware/dmi/tables/smbios_entry_point", files.entryPoint);
    box.writeFile("/sys/firmware/dmi/tables/DMI", files.table);
}
