// The setup flow's shared steps: role catalogue, terminal numbers, load
// method, and the console and process utilities of both setup programs.
#pragma once

#include <vector>

// Paths of the terminal's configuration files.
extern const char* posConfigFileName; // "/etc/opt/qor/retail/posQOR_configuration"
extern const char* posConfigGlobalFileName; // "/etc/opt/qor/retail/posQOR_global"
extern const char* defaultPropertiesFileName; // "/etc/opt/qor/retail/posQOR_default_stnc"

// ---- Role catalogue and role selection ------------------------------------
void getQORConfiguration();
int getNumberOfDefinedRoles();
char* getRole();
char* setRoleMenu();
int zero();
void setRole(const char* roleFileName);
void storeRoleFile();

// ---- Terminal number assignment --------------------------------------------
int getTerminalNumber();
int setTerminalNumberMenu();
int checkTimestamp();
int getHighestTerminalNumber();
int getLowestTerminalNumber();
int* csvParseAtoI(const char* s);
int findIntInArray(const int* iArrayPtr, int i);
void noValidTerminalNumbersAvailable();
// The numbers from lowest to highest that the known list (csvParseAtoI form,
// may be null) does not hold, in ascending order.
std::vector<int> freeTerminalNumbers(int lowest, int highest, const int* known);
// Alternating 800 Hz / 600 Hz console tones for about nSeconds; either
// message may be null.
void alarmTone(int nSeconds, const char* videoMsg, const char* posDisplayMsg);

// ---- Load method and STN properties ----------------------------------------
enum stnMethod { Lite = 0, StncHD = 1, StncRam = 2, StnjHD = 3, StnjRam = 4 };

void doSTN();
void setSTNProperties();
int is7352();
void appendPropertiesForSTN(stnMethod method);
stnMethod determineStnMethod();
// The load-method decision for given figures in kB, with its trace line;
// hardDrivePresent is asked only when memory alone does not decide.
stnMethod chooseStnMethod(
    unsigned long totalMemory, bool model7352, unsigned long imageSize, int (*hardDrivePresent)());

// ---- Announcement of the chosen number and role ---------------------------
// Registers the terminal number and role with the property service and shows
// them; the server variant (which_STN WHICH_STN_SSTN) also marks the record as
// the server's. Called by doSTN right after the number was chosen.
void announceTerminalRoleAndNumber();

// ---- Console and process utilities -----------------------------------------
constexpr int MAX_UNIT = 6;

// Returns only in a child process; the supervisor ends with 0 once a child
// has ended with 0 and starts a new child after every other end.
void forkAndWait();
// Leaves the menu screen mode if it is on, then ends the process.
[[noreturn]] void cleanupAndExit(int exitValue);
// Appends a line feed to the file unless its last byte is one. The name is
// used as given: callers pass a path that already went through sysPath.
void ensureFileEndsWithLinefeed(const char* fileName);
// Prints the four boot-environment values, one per line.
void sayEnvTableVariables();
// "hda".."hdf" (busTech 0) or "sda".."sdf" (busTech 1); null outside the table.
const char* getDiskName(int busTech, int unit);
// "Press any key to continue", one character read; returns 0. (Named apart
// from the C library's pause(2), which every program also links.)
int pauseForKey();
// Compares a with b, where a backslash in b escapes the next character;
// returns 1, 0 or -1.
int strange_strcmp(const char* a, const char* b);

// ---- Image size of a configured image ----------------------------------------
// The size in KiB of the published image that best matches imgName, 0 when
// none can be determined.
unsigned long getImageSize(const char* imgName);
