#include "bootIdentity.h"

char* TSERVER = nullptr;
char* DHCPCHADDR = nullptr;
char* productBIOS = nullptr;
char* productID = nullptr;

char SMBIOS_ModelType[SMBIOS_TEXT_SIZE] = {};
char SMBIOS_SerialNumber[SMBIOS_TEXT_SIZE] = {};
char SMBIOS_ID[SMBIOS_ID_SIZE] = {};
char STNID[STNID_SIZE] = {};

char* roleMenuSelection = nullptr;

int which_STN = WHICH_STN_HOOK;
