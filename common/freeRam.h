// Memory and swap figures of the running kernel, in kB.
#pragma once

#include <string_view>

typedef struct mInfo_s {
    unsigned long totalMem;
    unsigned long usedMem;
    unsigned long freeMem;
    unsigned long totalSwap;
    unsigned long usedSwap;
    unsigned long freeSwap;
} mInfo_s;

extern mInfo_s mInfo;

// Reads /proc/meminfo again into mInfo and writes the two trace lines; 0.
unsigned long get_mInfo();
// Each reads the figures afresh and returns one field of mInfo.
unsigned long getTotalMemory();
unsigned long getTotalSwap();
unsigned long getFreeMemory();
unsigned long getFreeSwap();
unsigned long getUsedMemory();
unsigned long getUsedSwap();

// Takes the figures of a meminfo text into info (absent lines keep their
// values); the used figures follow from total and free.
void parseMemInfo(std::string_view text, mInfo_s& info);
