// The process-wide boot identity that every part of a setup run reads.
#pragma once

#include <cstddef>

// Program variants (which_STN).
constexpr int WHICH_STN_HOOK = 0; // termsetup
constexpr int WHICH_STN_STNC = 1; // used by no program of this system
constexpr int WHICH_STN_SSTN = 2; // serversetup

constexpr std::size_t SMBIOS_TEXT_SIZE = 33;
constexpr std::size_t SMBIOS_ID_SIZE = 99;
constexpr std::size_t STNID_SIZE = 128;

// Boot-environment values; they point into the process environment (null when
// the variable is unset), or at fixed texts in serversetup.
extern char* TSERVER;
extern char* DHCPCHADDR;
extern char* productBIOS;
extern char* productID;

// Filled by getSMBIOS: model, serial number and "MT.<model>.SN.<serial>".
extern char SMBIOS_ModelType[SMBIOS_TEXT_SIZE];
extern char SMBIOS_SerialNumber[SMBIOS_TEXT_SIZE];
extern char SMBIOS_ID[SMBIOS_ID_SIZE];

// DHCPCHADDR, a comma and SMBIOS_ID (at most 127 characters).
extern char STNID[STNID_SIZE];

// Name of the role the operator chose (null until the role menu ran).
extern char* roleMenuSelection;

// Program variant; each program sets it before anything else runs.
extern int which_STN;
