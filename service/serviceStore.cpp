#include "serviceStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <random>
#include <regex.h>
#include <vector>

void sqliteCloser_s::operator()(sqlite3* database) const
{
    sqlite3_close_v2(database);
}

void statementFinalizer_s::operator()(sqlite3_stmt* statement) const
{
    sqlite3_finalize(statement);
}

namespace
{

// Resets a cached statement when its use ends, so it holds no read lock.
class StatementUse
{
public:
    explicit StatementUse(sqlite3_stmt* statement)
        : statement_(statement)
    {
    }
    ~StatementUse()
    {
        if (statement_) {
            sqlite3_reset(statement_);
            sqlite3_clear_bindings(statement_);
        }
    }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;

    explicit operator bool() const { return statement_ != nullptr; }
    sqlite3_stmt* get() const { return statement_; }
    void bind(int index, std::string_view text) const
    {
        sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int index, int number) const { sqlite3_bind_int(statement_, index, number); }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() const { return sqlite3_step(statement_); }
    std::string text(int column) const
    {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
        return bytes ? std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                     : std::string();
    }
    int number(int column) const { return sqlite3_column_int(statement_, column); }

private:
    sqlite3_stmt* statement_;
};

// The statement for sql, prepared once per connection. The key is the
// address of the literal, so only string literals are passed.
StatementUse prepared(serviceStore_s& store, const char* sql)
{
    auto found = store.statements.find(sql);
    if (found != store.statements.end())
        return StatementUse(found->second.get());
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(store.database.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK)
        return StatementUse(nullptr);
    store.statements.emplace(sql, statement);
    return StatementUse(statement);
}

// Runs a statement that returns no rows: 0 or -1.
int execute(serviceStore_s& store, const char* sql)
{
    StatementUse statement = prepared(store, sql);
    return statement && statement.step() == SQLITE_DONE ? 0 : -1;
}

int executeScript(sqlite3* database, const char* sql, std::string& error)
{
    char* message = nullptr;
    if (sqlite3_exec(database, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return 0;
    error = message ? message : sqlite3_errmsg(database);
    sqlite3_free(message);
    return -1;
}

int schemaVersion(sqlite3* database)
{
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(database, "PRAGMA user_version", -1, &raw, nullptr) != SQLITE_OK)
        return -1;
    std::unique_ptr<sqlite3_stmt, statementFinalizer_s> statement(raw);
    return sqlite3_step(raw) == SQLITE_ROW ? sqlite3_column_int(raw, 0) : -1;
}

// A text that tells databases apart, so "GEN=" never repeats an earlier
// answer when the database is replaced by a new one.
std::string newInstanceText()
{
    std::random_device random;
    char text[17];
    std::snprintf(text, sizeof text, "%08x%08x", random(), random());
    return text;
}

// Brings the layout from version `from` to STORE_SCHEMA_VERSION, one step at
// a time, inside the caller's transaction.
int migrate(sqlite3* database, int from, std::string& error)
{
    if (from < 1) {
        if (executeScript(database,
                "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
                "CREATE TABLE property(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
                "CREATE TABLE terminal(number INTEGER PRIMARY KEY,"
                " serial TEXT NOT NULL, mac TEXT NOT NULL COLLATE NOCASE);"
                "CREATE INDEX terminal_serial ON terminal(serial);"
                "CREATE INDEX terminal_mac ON terminal(mac);"
                "INSERT INTO meta VALUES('generation', '0');",
                error)
            != 0)
            return -1;
        std::string instance = "INSERT INTO meta VALUES('instance', '" + newInstanceText() + "');";
        if (executeScript(database, instance.c_str(), error) != 0)
            return -1;
    }
    std::string version = "PRAGMA user_version = " + std::to_string(STORE_SCHEMA_VERSION) + ";";
    return executeScript(database, version.c_str(), error);
}

std::string errorReply(std::string_view reason)
{
    return "error: " + std::string(reason) + "\n";
}

std::string getProperty(serviceStore_s& store, std::string_view key, bool& found, int& failed)
{
    StatementUse statement = prepared(store, "SELECT value FROM property WHERE key = ?1");
    found = false;
    if (!statement) {
        failed = -1;
        return {};
    }
    statement.bind(1, key);
    int step = statement.step();
    if (step == SQLITE_ROW) {
        found = true;
        return statement.text(0);
    }
    if (step != SQLITE_DONE)
        failed = -1;
    return {};
}

int setProperty(serviceStore_s& store, std::string_view key, std::string_view value)
{
    StatementUse statement = prepared(store, "INSERT OR REPLACE INTO property(key, value) VALUES(?1, ?2)");
    if (!statement)
        return -1;
    statement.bind(1, key);
    statement.bind(2, value);
    return statement.step() == SQLITE_DONE ? 0 : -1;
}

// Erases the properties that belong to a terminal number ("posClient.N.role",
// "posClient.N.isServer", ...).
int erasePropertiesOfNumber(serviceStore_s& store, int number)
{
    StatementUse statement = prepared(store, "DELETE FROM property WHERE key >= ?1 AND key < ?2");
    if (!statement)
        return -1;
    std::string prefix = "posClient." + std::to_string(number);
    statement.bind(1, prefix + ".");
    statement.bind(2, prefix + "/");
    return statement.step() == SQLITE_DONE ? 0 : -1;
}

int eraseTerminal(serviceStore_s& store, int number, bool& existed)
{
    StatementUse statement = prepared(store, "DELETE FROM terminal WHERE number = ?1");
    if (!statement)
        return -1;
    statement.bind(1, number);
    if (statement.step() != SQLITE_DONE)
        return -1;
    existed = sqlite3_changes(store.database.get()) > 0;
    return erasePropertiesOfNumber(store, number);
}

// The list of terminals changed: "GEN=" must answer something new.
int bumpGeneration(serviceStore_s& store)
{
    return execute(store, "UPDATE meta SET value = CAST(value AS INTEGER) + 1 WHERE name = 'generation'");
}

// Whether the serial identity names one machine: not a placeholder, and never
// recorded with two different MAC addresses, counting mac (when not empty) as
// one of them. -1 when the store failed.
int serialIdentifies(serviceStore_s& store, std::string_view serial, std::string_view mac)
{
    if (serialIsPlaceholder(serial))
        return 0;
    StatementUse statement
        = prepared(store, "SELECT COUNT(DISTINCT mac) FROM terminal WHERE serial = ?1 AND mac <> '' AND mac <> ?2");
    if (!statement)
        return -1;
    statement.bind(1, serial);
    statement.bind(2, mac);
    if (statement.step() != SQLITE_ROW)
        return -1;
    int otherMacs = statement.number(0);
    return (mac.empty() ? otherMacs <= 1 : otherMacs == 0) ? 1 : 0;
}

// The lowest number recorded under the statement's single text parameter, or 0.
int lookupNumber(serviceStore_s& store, const char* sql, std::string_view value)
{
    StatementUse statement = prepared(store, sql);
    if (!statement)
        return -1;
    statement.bind(1, value);
    int step = statement.step();
    if (step == SQLITE_ROW)
        return statement.number(0);
    return step == SQLITE_DONE ? 0 : -1;
}

std::string numberReply(int number)
{
    return number > 0 ? std::to_string(number) + "\n" : std::string("\n");
}

int registerTerminal(serviceStore_s& store, const serviceRequest_s& request, std::string& reply, std::string& change)
{
    const int number = request.number;
    std::string description = "STN " + std::to_string(number) + " serial=" + request.serial + " mac=" + request.mac
        + " role=" + request.role;
    int identifies = serialIdentifies(store, request.serial, request.mac);
    if (identifies < 0)
        return -1;

    bool held = false;
    std::string heldSerial;
    std::string heldMac;
    {
        StatementUse holder = prepared(store, "SELECT serial, mac FROM terminal WHERE number = ?1");
        if (!holder)
            return -1;
        holder.bind(1, number);
        int step = holder.step();
        if (step == SQLITE_ROW) {
            held = true;
            heldSerial = holder.text(0);
            heldMac = holder.text(1);
        } else if (step != SQLITE_DONE) {
            return -1;
        }
    }
    if (held) {
        bool sameMac = !request.mac.empty() && sqlite3_stricmp(request.mac.c_str(), heldMac.c_str()) == 0;
        bool sameSerial = identifies == 1 && request.serial == heldSerial;
        if (!sameMac && !sameSerial) {
            reply = "exist\n";
            change = description + ": exist, held by serial=" + heldSerial + " mac=" + heldMac;
            return 0;
        }
    }

    // A machine holds one number: registering another releases the old one.
    std::vector<int> released;
    {
        StatementUse own = prepared(store,
            "SELECT number FROM terminal WHERE number <> ?1 AND"
            " ((?2 <> '' AND mac = ?2) OR (?3 AND serial = ?4))");
        if (!own)
            return -1;
        own.bind(1, number);
        own.bind(2, request.mac);
        own.bind(3, identifies);
        own.bind(4, request.serial);
        int step;
        while ((step = own.step()) == SQLITE_ROW)
            released.push_back(own.number(0));
        if (step != SQLITE_DONE)
            return -1;
    }
    for (int old : released) {
        bool existed = false;
        if (eraseTerminal(store, old, existed) != 0)
            return -1;
    }

    {
        // What the registration leaves empty keeps its recorded value.
        StatementUse record = prepared(store,
            "INSERT INTO terminal(number, serial, mac) VALUES(?1, ?2, ?3)"
            " ON CONFLICT(number) DO UPDATE SET"
            " serial = CASE WHEN excluded.serial <> '' THEN excluded.serial"
            " ELSE serial END,"
            " mac = CASE WHEN excluded.mac <> '' THEN excluded.mac ELSE mac END");
        if (!record)
            return -1;
        record.bind(1, number);
        record.bind(2, request.serial);
        record.bind(3, request.mac);
        if (record.step() != SQLITE_DONE)
            return -1;
    }
    if (setProperty(store, "posClient." + std::to_string(number) + ".role", request.role) != 0)
        return -1;
    if ((!held || !released.empty()) && bumpGeneration(store) != 0)
        return -1;

    reply = "ok\n";
    change = description + ": ok";
    for (size_t i = 0; i < released.size(); ++i)
        change += (i == 0 ? ", released " : ",") + std::to_string(released[i]);
    return 0;
}

int removeTerminal(serviceStore_s& store, int number, std::string& reply, std::string& change)
{
    bool existed = false;
    if (eraseTerminal(store, number, existed) != 0)
        return -1;
    int erasedProperties = sqlite3_changes(store.database.get());
    if (existed && bumpGeneration(store) != 0)
        return -1;
    reply = "ok\n";
    if (existed || erasedProperties > 0)
        change = "RTN " + std::to_string(number) + ": erased";
    return 0;
}

int knownTerminals(serviceStore_s& store, std::string& reply)
{
    StatementUse statement = prepared(store, "SELECT number FROM terminal ORDER BY number");
    if (!statement)
        return -1;
    std::string list;
    int step;
    while ((step = statement.step()) == SQLITE_ROW) {
        if (!list.empty())
            list += ',';
        list += std::to_string(statement.number(0));
    }
    if (step != SQLITE_DONE)
        return -1;
    if (list.size() > MAX_LIST_REPLY) {
        reply = errorReply("terminal list longer than 4003 bytes");
        return 1;
    }
    reply = list + "\n";
    return 0;
}

int generationText(serviceStore_s& store, std::string& reply)
{
    StatementUse statement = prepared(store,
        "SELECT (SELECT value FROM meta WHERE name = 'instance') || '.' ||"
        " (SELECT value FROM meta WHERE name = 'generation')");
    if (!statement || statement.step() != SQLITE_ROW)
        return -1;
    std::string text = statement.text(0);
    if (text.size() > MAX_GENERATION_TEXT)
        return -1;
    reply = text + "\n";
    return 0;
}

class CompiledExpression
{
public:
    ~CompiledExpression()
    {
        if (compiled_)
            regfree(&expression_);
    }
    int compile(const std::string& pattern)
    {
        compiled_ = regcomp(&expression_, pattern.c_str(), REG_EXTENDED | REG_NOSUB) == 0;
        return compiled_ ? 0 : -1;
    }
    bool matches(const std::string& text) const { return regexec(&expression_, text.c_str(), 0, nullptr, 0) == 0; }

private:
    regex_t expression_ {};
    bool compiled_ = false;
};

int keysMatchingValue(serviceStore_s& store, const std::string& pattern, std::string& reply)
{
    // Back-references are not part of POSIX extended expressions, and
    // matching them can take exponential time.
    for (size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] == '\\' && pattern[i + 1] >= '1' && pattern[i + 1] <= '9') {
            reply = errorReply("back-references are not supported");
            return 1;
        }
    }
    CompiledExpression expression;
    if (expression.compile(pattern) != 0) {
        reply = errorReply("invalid regular expression");
        return 1;
    }
    StatementUse statement = prepared(store, "SELECT key, value FROM property ORDER BY key");
    if (!statement)
        return -1;
    std::string list;
    int step;
    while ((step = statement.step()) == SQLITE_ROW) {
        if (!expression.matches(statement.text(1)))
            continue;
        if (!list.empty())
            list += ',';
        list += statement.text(0);
        if (list.size() > MAX_LIST_REPLY) {
            reply = errorReply("matching keys longer than 4003 bytes");
            return 1;
        }
    }
    if (step != SQLITE_DONE)
        return -1;
    reply = list + "\n";
    return 0;
}

std::string currentTimeText()
{
    using namespace std::chrono;
    return std::to_string(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

std::string lowerTrimmed(std::string_view text)
{
    size_t first = 0;
    size_t last = text.size();
    while (first < last && std::isspace(static_cast<unsigned char>(text[first])))
        ++first;
    while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1])))
        --last;
    std::string result;
    for (size_t i = first; i < last; ++i)
        result += static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    return result;
}

} // namespace

bool serialIsPlaceholder(std::string_view serialIdentity)
{
    // The identity is "MT." model ".SN." serial number; only the serial
    // number tells machines apart.
    std::string_view serial = serialIdentity;
    if (serial.substr(0, 3) == "MT.") {
        size_t marker = serial.find(".SN.", 3);
        if (marker != std::string_view::npos)
            serial = serial.substr(marker + 4);
    }
    std::string text = lowerTrimmed(serial);
    if (text.empty())
        return true;
    static const char* const placeholders[] = {
        "to be filled by o.e.m.",
        "to be filled by oem",
        "default string",
        "system serial number",
        "chassis serial number",
        "base board serial number",
        "serial number",
        "not specified",
        "not applicable",
        "not available",
        "none",
        "n/a",
        "na",
        "oem",
        "o.e.m.",
        "unknown",
        "invalid",
        "empty",
        "default",
        "0123456789",
        "123456789",
        "1234567890",
        "01234567",
        "12345678",
        "sys-1234567890",
    };
    for (const char* placeholder : placeholders)
        if (text == placeholder)
            return true;
    // "00000000", "FFFFFFFF", "........": one character repeated.
    if (std::all_of(text.begin(), text.end(), [&text](char c) { return c == text[0]; }))
        return true;
    return std::none_of(text.begin(), text.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

int storeOpen(serviceStore_s& store, const std::string& path, std::string& error)
{
    std::error_code ignored;
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent, ignored);

    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(
        path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    store.database.reset(raw);
    store.statements.clear();
    if (rc != SQLITE_OK) {
        error = raw ? sqlite3_errmsg(raw) : "out of memory";
        store.database.reset();
        return -1;
    }
    sqlite3* database = store.database.get();
    sqlite3_busy_timeout(database, 10000);
    sqlite3_extended_result_codes(database, 1);

    // Every acknowledged change must survive a crash or a power cut: the
    // write-ahead log is synced on each commit.
    {
        sqlite3_stmt* walRaw = nullptr;
        if (sqlite3_prepare_v2(database, "PRAGMA journal_mode = WAL", -1, &walRaw, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(database);
            return -1;
        }
        std::unique_ptr<sqlite3_stmt, statementFinalizer_s> wal(walRaw);
        const unsigned char* mode = sqlite3_step(walRaw) == SQLITE_ROW ? sqlite3_column_text(walRaw, 0) : nullptr;
        if (!mode || std::string_view(reinterpret_cast<const char*>(mode)) != "wal") {
            error = "cannot switch the database to write-ahead logging";
            return -1;
        }
    }
    if (executeScript(database, "PRAGMA synchronous = FULL;", error) != 0)
        return -1;

    int version = schemaVersion(database);
    if (version < 0) {
        error = sqlite3_errmsg(database);
        return -1;
    }
    if (version > STORE_SCHEMA_VERSION) {
        error = "database layout version " + std::to_string(version) + " is newer than this program's ("
            + std::to_string(STORE_SCHEMA_VERSION) + ")";
        return -1;
    }
    if (version < STORE_SCHEMA_VERSION) {
        if (executeScript(database, "BEGIN IMMEDIATE;", error) != 0)
            return -1;
        // Another connection may have laid it out meanwhile.
        version = schemaVersion(database);
        if (version < STORE_SCHEMA_VERSION && migrate(database, version, error) != 0) {
            std::string ignoredError;
            executeScript(database, "ROLLBACK;", ignoredError);
            return -1;
        }
        if (executeScript(database, "COMMIT;", error) != 0)
            return -1;
    }
    return 0;
}

void storeClose(serviceStore_s& store)
{
    store.statements.clear();
    store.database.reset();
}

int storeBegin(serviceStore_s& store)
{
    return execute(store, "BEGIN IMMEDIATE");
}

int storeCommit(serviceStore_s& store)
{
    return execute(store, "COMMIT");
}

void storeRollback(serviceStore_s& store)
{
    if (!sqlite3_get_autocommit(store.database.get()))
        execute(store, "ROLLBACK");
}

int storeSavepoint(serviceStore_s& store)
{
    return execute(store, "SAVEPOINT request");
}

int storeReleaseSavepoint(serviceStore_s& store)
{
    return execute(store, "RELEASE request");
}

void storeRollbackToSavepoint(serviceStore_s& store)
{
    execute(store, "ROLLBACK TO request");
    execute(store, "RELEASE request");
}

std::string storeError(serviceStore_s& store)
{
    return store.database ? sqlite3_errmsg(store.database.get()) : "database not open";
}

bool requestChangesStore(const serviceRequest_s& request)
{
    switch (request.kind) {
    case REQUEST_SET:
    case REQUEST_SRE:
    case REQUEST_STS:
    case REQUEST_STN:
    case REQUEST_RTN:
        return true;
    default:
        return false;
    }
}

int answerRequest(serviceStore_s& store, const serviceRequest_s& request, std::string& reply, std::string& change)
{
    reply.clear();
    change.clear();
    switch (request.kind) {
    case REQUEST_PING:
        reply = "pong\n";
        return 0;
    case REQUEST_GET: {
        bool found = false;
        int failed = 0;
        std::string value = getProperty(store, request.key, found, failed);
        if (failed)
            return -1;
        reply = value + "\n";
        return 0;
    }
    case REQUEST_SET:
    case REQUEST_STS: {
        std::string value = request.kind == REQUEST_SET ? request.value : currentTimeText();
        if (setProperty(store, request.key, value) != 0)
            return -1;
        reply = "ok\n";
        change = (request.kind == REQUEST_SET ? "set " : "sts ") + request.key + "=" + value;
        return 0;
    }
    case REQUEST_SRE: {
        bool found = false;
        int failed = 0;
        getProperty(store, request.key, found, failed);
        if (failed)
            return -1;
        if (found) {
            reply = "exist\n";
            return 0;
        }
        if (setProperty(store, request.key, request.value) != 0)
            return -1;
        reply = "ok\n";
        change = "sre " + request.key + "=" + request.value;
        return 0;
    }
    case REQUEST_VAL:
        return keysMatchingValue(store, request.key, reply);
    case REQUEST_STN:
        return registerTerminal(store, request, reply, change);
    case REQUEST_TBS: {
        int identifies = serialIdentifies(store, request.serial, "");
        if (identifies < 0)
            return -1;
        int number = identifies
            ? lookupNumber(store, "SELECT min(number) FROM terminal WHERE serial = ?1", request.serial)
            : 0;
        if (number < 0)
            return -1;
        reply = numberReply(number);
        return 0;
    }
    case REQUEST_TBM: {
        int number = request.mac.empty()
            ? 0
            : lookupNumber(store, "SELECT min(number) FROM terminal WHERE mac = ?1", request.mac);
        if (number < 0)
            return -1;
        reply = numberReply(number);
        return 0;
    }
    case REQUEST_AKT:
        return knownTerminals(store, reply);
    case REQUEST_GEN:
        return generationText(store, reply);
    case REQUEST_RTN:
        return removeTerminal(store, request.number, reply, change);
    }
    return -1;
}
