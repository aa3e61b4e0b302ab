// SMBIOS tables built byte by byte for tests: structure tables, the 32-bit
// entry point, and the kernel's copy of both in a sandbox root.
#pragma once

#include <string>
#include <vector>

class Sandbox;

// Little-endian fields of 16 and 32 bits.
std::string le16(unsigned value);
std::string le32(unsigned long value);

// A structure table built structure by structure; handles count from 0x100.
struct SmbiosTable {
    std::string bytes;
    unsigned count = 0;

    // Formatted area after the header, then the strings and the closing NUL.
    SmbiosTable& add(unsigned type, const std::string& formatted, const std::vector<std::string>& strings);
    // System Information with product name and serial number string indices.
    SmbiosTable& addSystem(unsigned productIndex, unsigned serialIndex, const std::vector<std::string>& strings);
};

// A 32-bit ("_SM_") entry point; its checksums are wrong on purpose, as the
// reader does not check them.
std::string smbiosEntryPoint(
    unsigned long tableAddress, unsigned tableLength, unsigned count, const char* dmiAnchor = "_DMI_");

// The kernel's copy of the tables (entry point file and table file) with one
// System Information record naming the model and the serial number.
struct KernelSmbiosFiles {
    std::string entryPoint;
    std::string table;
};
KernelSmbiosFiles kernelSmbiosFiles(const std::string& model, const std::string& serialNumber);

// Writes those files to /sys/firmware/dmi/tables in the sandbox root.
void writeKernelSmbios(const Sandbox& box, const std::string& model, const std::string& serialNumber);
