#include "serviceStore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace
{

// A database in its own temporary directory, answering request lines the
// way the writer thread does (one transaction per request).
struct exchange_s {
    const char* request;
    const char* reply;
};

class ServiceStore : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/serviceStoreXXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
        path_ = directory_ + "/var/store.db";
        std::string error;
        ASSERT_EQ(storeOpen(store_, path_, error), 0) << error;
    }
    void TearDown() override
    {
        storeClose(store_);
        std::filesystem::remove_all(directory_);
    }

    std::string ask(const std::string& line) { return askInOneTransaction({ line }).front(); }

    std::vector<std::string> askInOneTransaction(const std::vector<std::string>& lines)
    {
        std::vector<std::string> replies;
        EXPECT_EQ(storeBegin(store_), 0);
        for (const std::string& line : lines) {
            serviceRequest_s request;
            std::string reason;
            if (parseServiceRequest(line, request, reason) != 0) {
                replies.push_back("refused: " + reason);
                continue;
            }
            std::string reply;
            std::string change;
            EXPECT_GE(answerRequest(store_, request, reply, change), 0) << line;
            replies.push_back(reply);
        }
        EXPECT_EQ(storeCommit(store_), 0);
        return replies;
    }

    void expect(const std::vector<exchange_s>& exchanges)
    {
        for (size_t i = 0; i < exchanges.size(); ++i)
            EXPECT_EQ(ask(exchanges[i].request), exchanges[i].reply) << "step " << i << ": " << exchanges[i].request;
    }

    void reopen()
    {
        storeClose(store_);
        std::string error;
        ASSERT_EQ(storeOpen(store_, path_, error), 0) << error;
    }

    std::string directory_;
    std::string path_;
    serviceStore_s store_;
};

const char* const MAC_A = "00:11:22:33:44:aa";
const char* const MAC_B = "00:11:22:33:44:bb";

std::string stn(int number, const std::string& serial, const std::string& mac, const std::string& role = "Kasse")
{
    return "STN=" + std::to_string(number) + "=" + serial + "=" + mac + "=" + role;
}

TEST_F(ServiceStore, PropertiesAnswerValueOrEmpty)
{
    expect({
        { "get=missing", "\n" },
        { "set=a.b=x=y", "ok\n" },
        { "get=a.b", "x=y\n" },
        { "set=a.b=", "ok\n" },
        { "get=a.b", "\n" },
        { "ping", "pong\n" },
    });
}

TEST_F(ServiceStore, SetIfAbsentAnswersExistForAPresentKey)
{
    expect({
        { "sre=k=1", "ok\n" },
        { "sre=k=2", "exist\n" },
        { "get=k", "1\n" },
    });
}

TEST_F(ServiceStore, TimestampIsCurrentTimeInMilliseconds)
{
    EXPECT_EQ(ask("sts=stamp"), "ok\n");
    std::string value = ask("get=stamp");
    long long stamp = std::atoll(value.c_str());
    long long now = static_cast<long long>(std::time(nullptr)) * 1000;
    EXPECT_LE(std::llabs(stamp - now), 5000) << value;
}

TEST_F(ServiceStore, ValueExpressionListsMatchingKeysOnOneLine)
{
    expect({
        { "set=a=apple", "ok\n" },
        { "set=b=banana", "ok\n" },
        { "set=c=avocado", "ok\n" },
        { "val=^a", "a,c\n" },
        { "val=an+a$", "b\n" },
        { "val=^z", "\n" },
        { "val=(", "error: invalid regular expression\n" },
        { "val=(a)\\1", "error: back-references are not supported\n" },
    });
}

TEST_F(ServiceStore, ValueExpressionRefusesAListLongerThanTheReplyBound)
{
    std::string key(400, 'k');
    for (int i = 0; i < 11; ++i)
        ASSERT_EQ(ask("set=" + key + std::to_string(i) + "=v"), "ok\n");
    EXPECT_EQ(ask("val=v"), "error: matching keys longer than 4003 bytes\n");
}

TEST_F(ServiceStore, RegistrationIsFoundBySerialMacListAndRole)
{
    std::string before = ask("GEN=");
    expect({
        { stn(12, "MT.M.SN.CZC100", MAC_A, "Kasse=1").c_str(), "ok\n" },
        { "AKT=", "12\n" },
        { "TBS=MT.M.SN.CZC100", "12\n" },
        { "TBM=00:11:22:33:44:AA", "12\n" },
        { "get=posClient.12.role", "Kasse=1\n" },
    });
    EXPECT_NE(ask("GEN="), before);
}

TEST_F(ServiceStore, RemovalForgetsNumberRoleAndServerMark)
{
    ask(stn(12, "MT.M.SN.CZC100", MAC_A));
    ask("set=posClient.12.isServer=1");
    ask("set=Terminal.12.RELOAD_IMAGE=yes");
    std::string before = ask("GEN=");
    expect({
        { "RTN=12", "ok\n" },
        { "TBS=MT.M.SN.CZC100", "\n" },
        { "TBM=00:11:22:33:44:aa", "\n" },
        { "AKT=", "\n" },
        { "get=posClient.12.role", "\n" },
        { "get=posClient.12.isServer", "\n" },
        { "get=Terminal.12.RELOAD_IMAGE", "yes\n" },
        { "RTN=12", "ok\n" },
    });
    EXPECT_NE(ask("GEN="), before);
}

TEST_F(ServiceStore, NumberHeldByAnotherMachineAnswersExist)
{
    expect({
        { stn(5, "MT.M.SN.CZC1", MAC_A).c_str(), "ok\n" },
        { stn(5, "MT.M.SN.CZC2", MAC_B).c_str(), "exist\n" },
        { "TBM=00:11:22:33:44:bb", "\n" },
        { "TBS=MT.M.SN.CZC1", "5\n" },
    });
}

TEST_F(ServiceStore, SameMachineIsKnownByMacOrByItsOwnSerial)
{
    expect({
        { stn(5, "MT.M.SN.CZC1", MAC_A, "Old").c_str(), "ok\n" },
        // Same MAC, new board serial (BIOS update): the same machine.
        { stn(5, "MT.M.SN.CZC1b", MAC_A, "New").c_str(), "ok\n" },
        { "get=posClient.5.role", "New\n" },
        // Same serial, MAC unknown this time: the same machine, MAC kept.
        { stn(5, "MT.M.SN.CZC1b", "", "Newer").c_str(), "ok\n" },
        { "TBM=00:11:22:33:44:aa", "5\n" },
    });
}

TEST_F(ServiceStore, RegisteringANewNumberReleasesTheOldOne)
{
    ask(stn(5, "MT.M.SN.CZC1", MAC_A));
    ask("set=posClient.5.isServer=1");
    std::string before = ask("GEN=");
    expect({
        { stn(9, "MT.M.SN.CZC1", MAC_A).c_str(), "ok\n" },
        { "AKT=", "9\n" },
        { "get=posClient.5.role", "\n" },
        { "get=posClient.5.isServer", "\n" },
        { "TBS=MT.M.SN.CZC1", "9\n" },
    });
    EXPECT_NE(ask("GEN="), before);
}

TEST_F(ServiceStore, ReRegisteringTheSameNumberLeavesTheListAndGenerationAlone)
{
    ask(stn(5, "MT.M.SN.CZC1", MAC_A, "A"));
    std::string before = ask("GEN=");
    EXPECT_EQ(ask(stn(5, "MT.M.SN.CZC1", MAC_A, "B")), "ok\n");
    EXPECT_EQ(ask("GEN="), before);
}

TEST_F(ServiceStore, PlaceholderSerialNeverHandsANumberToAnotherMachine)
{
    const std::string placeholder = "MT.Board.SN.To Be Filled By O.E.M.";
    expect({
        { stn(1, placeholder, MAC_A).c_str(), "ok\n" },
        // A second board with the same placeholder asks by serial first.
        { ("TBS=" + placeholder).c_str(), "\n" },
        { "TBM=00:11:22:33:44:bb", "\n" },
        { stn(1, placeholder, MAC_B).c_str(), "exist\n" },
        { stn(2, placeholder, MAC_B).c_str(), "ok\n" },
        // Machine A keeps its number: B's registration released nothing of A's.
        { "AKT=", "1,2\n" },
        { "TBM=00:11:22:33:44:aa", "1\n" },
    });
}

TEST_F(ServiceStore, SerialRecordedWithTwoMacsIdentifiesNothing)
{
    expect({
        { stn(1, "MT.M.SN.CZC77", MAC_A).c_str(), "ok\n" },
        { "TBS=MT.M.SN.CZC77", "1\n" },
        // Another machine claims the same serial: now it names no one.
        { stn(2, "MT.M.SN.CZC77", MAC_B).c_str(), "ok\n" },
        { "AKT=", "1,2\n" },
        { "TBS=MT.M.SN.CZC77", "\n" },
        { stn(1, "MT.M.SN.CZC77", "").c_str(), "exist\n" },
        { "TBS=", "\n" },
        { "TBM=", "\n" },
    });
}

TEST_F(ServiceStore, EmptyIdentityNeverMatchesAnotherEmptyIdentity)
{
    expect({
        { stn(3, "", MAC_A).c_str(), "ok\n" },
        { stn(3, "", MAC_B).c_str(), "exist\n" },
        { stn(4, "", MAC_B).c_str(), "ok\n" },
        { "AKT=", "3,4\n" },
    });
}

TEST(ServiceStorePlaceholders, BoardMakerPlaceholdersIdentifyNothing)
{
    const std::pair<const char*, bool> cases[] = {
        { "MT.X.SN.To Be Filled By O.E.M.", true },
        { "MT.X.SN.to be filled by o.e.m. ", true },
        { "MT.X.SN.Default string", true },
        { "MT.X.SN.System Serial Number", true },
        { "MT.X.SN.0123456789", true },
        { "MT.X.SN.00000000", true },
        { "MT.X.SN.", true },
        { "MT.X.SN.   ", true },
        { "MT.X.SN.----", true },
        { "", true },
        { "MT.X.SN.CZC1234XYZ", false },
        { "MT.Default string.SN.CZC1234XYZ", false },
        { "S1", false },
    };
    for (const auto& [serial, placeholder] : cases)
        EXPECT_EQ(serialIsPlaceholder(serial), placeholder) << serial;
}

TEST_F(ServiceStore, GenerationKeepsChangingAcrossReopen)
{
    ask(stn(1, "MT.M.SN.CZC1", MAC_A));
    std::string before = ask("GEN=");
    reopen();
    EXPECT_EQ(ask("GEN="), before);
    ask("RTN=1");
    std::string after = ask("GEN=");
    EXPECT_NE(after, before);
    EXPECT_LE(after.size(), MAX_GENERATION_TEXT + 1);
}

TEST_F(ServiceStore, KnownListOfEveryNumberFitsTheClientBuffer)
{
    std::vector<std::string> registrations;
    for (int number = 1; number <= MAX_TERMINAL_NUMBER; ++number)
        registrations.push_back(stn(number, "MT.M.SN.CZC" + std::to_string(number), ""));
    for (const std::string& reply : askInOneTransaction(registrations))
        ASSERT_EQ(reply, "ok\n");
    std::string list = ask("AKT=");
    EXPECT_LE(list.size(), MAX_LIST_REPLY + 1);
    EXPECT_EQ(list.substr(0, 6), "1,2,3,");
    EXPECT_EQ(list.substr(list.size() - 5), ",999\n");
}

TEST_F(ServiceStore, NewerSchemaVersionIsRefused)
{
    storeClose(store_);
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &database), SQLITE_OK);
    sqlite3_exec(database, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
    sqlite3_close(database);
    std::string error;
    EXPECT_EQ(storeOpen(store_, path_, error), -1);
    EXPECT_NE(error.find("99"), std::string::npos) << error;
}

TEST_F(ServiceStore, DatabaseIsInWriteAheadModeWithSchemaVersion)
{
    storeClose(store_);
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &database), SQLITE_OK);
    auto single = [database](const char* sql) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(database, sql, -1, &statement, nullptr);
        std::string value;
        if (sqlite3_step(statement) == SQLITE_ROW)
            value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
        return value;
    };
    EXPECT_EQ(single("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(single("PRAGMA user_version"), std::to_string(STORE_SCHEMA_VERSION));
    sqlite3_close(database);
}

} // namespace
