// The process-wide property table and the key=value files behind it.
#pragma once

constexpr int MAX_PROPERTIES = 1024;
constexpr int MAX_PV_LEN = 512;
constexpr int MAX_PROPERTIES_FILE_NAME = 256;

typedef struct property_s {
    char p[MAX_PV_LEN];
    char v[MAX_PV_LEN];
} PROPERTY;

typedef struct propertyTable_s {
    int count;
} PROPERTY_TABLE;

// 1 if the file can be opened for reading, else 0.
int isExist(const char* fileName);
// Makes fileName the current file and loads it into the table; returns 0.
int getProperties(const char* fileName);
// The value of the last entry with this key, or an empty text; never null.
char* getProperty(const char* someProp);
char* getPropertyString(const char* someProp);
// The value read as "%d"; 0 when missing, empty or not numeric.
int getPropertyInt(const char* someProp);
// Sets the key and rewrites the current file: 0, -1 (null key, file not
// written, limits exceeded) or -2 (null value).
int setPropertyString(const char* someProp, const char* value);
int setPropertyInt(const char* someProp, int aNumber);
