// The platform's boot configuration file: image matching against the image
// directory list, and the writer of the image, file system table, partition
// and disk lines.
#pragma once

#include <cstdio>
#include <string_view>

constexpr int MAX_DIR_ENTRIES = 1000;
constexpr int MAX_RAM_DISK = 6;
constexpr int DIR_ENTRY_SIZE = 129; // 127 characters, a line end that fits, the terminator
constexpr int MAX_DIR_LINE_LEN = 127;
constexpr int MAX_FSTAB_LEN = 255;
constexpr int MAX_MATCH_NAME_LEN = 256;
extern const char* const IMAGE_DIR_LIST_FILE; // "/etc/opt/qor/retail/posQOR_imageDirContents.txt"
extern const char* const DEFAULT_IMAGE_NAME; // "default"

// The image directory list as loaded; an entry whose first byte is zero is empty.
extern char dirList[MAX_DIR_ENTRIES][DIR_ENTRY_SIZE];

// Creates (replaces) the boot configuration file at target (a system path;
// the root directory is put in front here) and writes it completely. Ends the
// process with status 13 when the file cannot be created.
void writeVendorConfig(const char* target);
// The image line and the file system table line.
void writeImage(FILE* cfgFile);
// Further sections; they write nothing.
void writeConf(FILE* cfgFile);
void writeDisk(FILE* cfgFile);
// The partition, disk and journal lines of disk 0.
void writePart(FILE* cfgFile);
// 1 when the store server asks for an image reload (the request is then
// reset on the server, so it is honoured once), else 0.
int reloadImageRequired();

// Finds the published image for a request: name and version point to the
// process-wide result buffers (link base name and version text, empty when
// nothing was found), isCompressed receives the image's zip flag. When
// neither the request nor "default" matches, shows the not-found screen,
// sounds the alarm and reboots.
void matchImageName(const char* matchName, char** name, char** version, int* isCompressed);
// Loads the image directory list, once per process.
void getListFile();
// Reads IMAGE_DIR_LIST_FILE now, replacing what was loaded: the number of
// entries stored, or -1 (with the operator message) when it cannot be opened.
int readImageDirListFile();
// Loads the list from the text of a list file instead (replacing what was
// loaded) and marks it loaded; returns the number of entries stored.
int loadImageDirList(std::string_view listText);
// The index of the entry that the six matching passes select for the request,
// or -1; no fallback, no screen.
int selectImageEntry(const char* request);
// The link name of the image matched for request n, in storage that the
// caller releases with free(); null when nothing was found or on allocation failure.
char* getLinkForName(const char* n);
