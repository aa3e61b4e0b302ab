// The service's durable record: store-wide properties and one record per
// terminal number, kept in SQLite (WAL, synchronous FULL).
#pragma once

#include "serviceRequest.h"

#include <map>
#include <memory>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

// Version of the database layout this program writes (PRAGMA user_version).
constexpr int STORE_SCHEMA_VERSION = 1;
// Longest list that "AKT=" and "val=" answer (the clients read 4004 bytes).
constexpr size_t MAX_LIST_REPLY = 4003;
// Longest "GEN=" text (the clients read 64 bytes and compare all of them).
constexpr size_t MAX_GENERATION_TEXT = 63;

struct sqliteCloser_s {
    void operator()(sqlite3* database) const;
};
struct statementFinalizer_s {
    void operator()(sqlite3_stmt* statement) const;
};

// One connection to the database with its prepared statements; used by one
// thread at a time.
struct serviceStore_s {
    std::unique_ptr<sqlite3, sqliteCloser_s> database;
    std::map<const char*, std::unique_ptr<sqlite3_stmt, statementFinalizer_s>> statements;
};

// Opens (creating it and its directory when missing) and, when it is new or
// older, lays out the database: 0, or -1 with the reason in error.
int storeOpen(serviceStore_s& store, const std::string& path, std::string& error);
void storeClose(serviceStore_s& store);

// Transactions around a batch of changes, and a savepoint around each change
// so that a failed one leaves the others of its batch intact: 0 or -1.
int storeBegin(serviceStore_s& store);
int storeCommit(serviceStore_s& store);
void storeRollback(serviceStore_s& store);
int storeSavepoint(serviceStore_s& store);
int storeReleaseSavepoint(serviceStore_s& store);
void storeRollbackToSavepoint(serviceStore_s& store);

// Answers one request from the store; changes happen inside the caller's
// transaction. Returns 0 when answered, 1 when the request was refused for
// what it asks (reply is then an error line), -1 when the store failed. The
// reply carries its final line feed; change is a log line for a change made
// (empty when nothing changed).
int answerRequest(serviceStore_s& store, const serviceRequest_s& request, std::string& reply, std::string& change);

// Whether the request changes the store (and so must be made durable before
// its reply is sent).
bool requestChangesStore(const serviceRequest_s& request);

// Whether a serial identity names no single machine whatever the records say:
// empty, or a placeholder that board makers leave in place of the serial
// number ("To Be Filled By O.E.M.", "Default string", "0123456789", ...).
bool serialIsPlaceholder(std::string_view serialIdentity);

// Last SQLite error of the store's connection, for log lines.
std::string storeError(serviceStore_s& store);
