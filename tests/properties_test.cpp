// The properties file store: loading, lookups, changes, limits and the
// replacement of the file on disk.
#include "properties.h"
#include "textFiles.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <new>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern PROPERTY prop[MAX_PROPERTIES];
extern PROPERTY_TABLE tPT;

namespace
{

// Lets a test make the loader's buffer allocation fail.
bool failLargeAllocations = false;
constexpr std::size_t LARGE_ALLOCATION = 1024 * 1024;

} // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    if (failLargeAllocations && size >= LARGE_ALLOCATION)
        return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace
{

namespace fs = std::filesystem;
using Entries = std::vector<std::pair<std::string, std::string>>;

class TempDir
{
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "properties-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

Entries tableEntries()
{
    Entries entries;
    for (int i = 0; i < tPT.count; ++i)
        entries.emplace_back(prop[i].p, prop[i].v);
    return entries;
}

// Loads content from a fresh file and returns what the loader wrote to
// standard error.
std::string load(const std::string& path, const std::string& content)
{
    writeFile(path, content);
    testing::internal::CaptureStderr();
    EXPECT_EQ(getProperties(path.c_str()), 0);
    return testing::internal::GetCapturedStderr();
}

std::string numberedEntries(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    return text;
}

struct LoadCase {
    const char* name;
    std::string content;
    Entries expected;
};

TEST(PropertiesLoad, ParsesEntriesAsWritten)
{
    const LoadCase cases[] = {
        { "designExample", "  a=1\r\n  b = 2\r\n  #c=3\r\n  d=x=y\r\n  e=\r\n",
            { { "a", "1" }, { "b ", " 2" }, { "d", "x=y" }, { "e", "" } } },
        { "lastLineWithoutLineFeed", "a=1\nb=last value", { { "a", "1" }, { "b", "last value" } } },
        { "carriageReturnAlone", "a=1\rb=2\r", { { "a", "1" }, { "b", "2" } } },
        { "nulEndsALine", std::string("a=1\0b=2\n", 8), { { "a", "1" }, { "b", "2" } } },
        { "blankLinesAndLeadingBlanks", "\n\n \t\v\fa=1\n   \n\nb=2\n", { { "a", "1" }, { "b", "2" } } },
        { "hashInsideAnEntryIsText", "a=1 # not a comment\nb#=2\n", { { "a", "1 # not a comment" }, { "b#", "2" } } },
        { "trailingBlanksBelongToTheValue", "a= 1 \t\n", { { "a", " 1 \t" } } },
        { "emptyKey", "=v\n", { { "", "v" } } },
        { "duplicatesKept", "k=1\nk=2\n", { { "k", "1" }, { "k", "2" } } },
        { "commentOnlyFile", "# nothing\n#a=1\n", {} },
        { "lineWithoutEqualsIgnoredNextLineLoads", "a=1\nnoequals\nb=2\n", { { "a", "1" }, { "b", "2" } } },
    };
    TempDir dir;
    for (const auto& c : cases) {
        load(dir.file(c.name), c.content);
        EXPECT_EQ(tableEntries(), c.expected) << c.name;
    }
}

TEST(PropertiesLoad, LineWithoutEqualsIsReported)
{
    TempDir dir;
    std::string err = load(dir.file("p"), "a=1\nnoequals\nb=2\n");
    EXPECT_NE(err.find("line 2: no '='"), std::string::npos) << err;
}

TEST(PropertiesLoad, MissingFileKeepsTableAndSwitchesCurrentFile)
{
    TempDir dir;
    load(dir.file("first"), "a=1\n");
    std::string missing = dir.file("missing");
    testing::internal::CaptureStderr();
    EXPECT_EQ(getProperties(missing.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Properties file " + missing + " does not exist\n");
    EXPECT_EQ(tableEntries(), (Entries { { "a", "1" } }));
    ASSERT_EQ(setPropertyString("b", "2"), 0);
    EXPECT_EQ(readText(missing), "a=1\nb=2\n");
    EXPECT_EQ(readText(dir.file("first")), "a=1\n");
}

TEST(PropertiesLoad, EmptyFileIsReportedAndGivesEmptyTable)
{
    TempDir dir;
    load(dir.file("full"), "a=1\n");
    EXPECT_EQ(load(dir.file("empty"), ""), "The properties file could not be read.\n");
    EXPECT_EQ(tableEntries(), Entries {});
    // An empty file takes changes like any other.
    EXPECT_EQ(setPropertyString("k", "v"), 0);
    EXPECT_EQ(readText(dir.file("empty")), "k=v\n");
}

TEST(PropertiesLoad, UnseekableFileIsReadToItsEnd)
{
    TempDir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&fifo] { std::ofstream(fifo) << "a=1\nb=2\n"; });
    testing::internal::CaptureStderr();
    getProperties(fifo.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    writer.join();
    EXPECT_EQ(err, "Cannot seek\n");
    EXPECT_EQ(tableEntries(), (Entries { { "a", "1" }, { "b", "2" } }));
}

TEST(PropertiesLoad, FailedAllocationLeavesTableUnchanged)
{
    TempDir dir;
    load(dir.file("small"), "a=1\n");
    std::string big = dir.file("big");
    writeFile(big, "b=" + std::string(2 * LARGE_ALLOCATION, 'x') + "\n");
    failLargeAllocations = true;
    std::string err = load(big, readText(big));
    failLargeAllocations = false;
    EXPECT_EQ(err, "An error occurred while attempting to allocate a data buffer\n");
    EXPECT_EQ(tableEntries(), (Entries { { "a", "1" } }));
    // The unread file must not be overwritten with the old table.
    testing::internal::CaptureStderr();
    EXPECT_EQ(setPropertyString("a", "2"), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(readText(big).size(), 2 * LARGE_ALLOCATION + 3);
}

TEST(PropertiesLookup, LastOccurrenceWinsAndAbsentKeyGivesEmptyText)
{
    TempDir dir;
    load(dir.file("p"), "k=1\nother=x\nk=2\n");
    EXPECT_STREQ(getProperty("k"), "2");
    EXPECT_STREQ(getPropertyString("k"), "2");
    const char* absent = getProperty("absent");
    ASSERT_NE(absent, nullptr);
    EXPECT_STREQ(absent, "");
    EXPECT_STREQ(getProperty("K"), "") << "keys compare case-sensitively";
}

TEST(PropertiesLookup, NullKeyIsReportedAndGivesEmptyText)
{
    testing::internal::CaptureStderr();
    const char* value = getProperty(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: null pointer passed to getProperty()\n");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "");
}

TEST(PropertiesLookup, IntegerValuesReadAsDecimal)
{
    const std::pair<const char*, int> cases[] = {
        { "abc", 0 },
        { "", 0 },
        { "12abc", 12 },
        { " -5", -5 },
        { "+7", 7 },
        { "2147483647", 2147483647 },
        { "2147483648", 0 },
        { "-2147483649", 0 },
        { "007", 7 },
    };
    TempDir dir;
    for (const auto& [text, expected] : cases) {
        load(dir.file("p"), std::string("n=") + text + "\n");
        EXPECT_EQ(getPropertyInt("n"), expected) << '"' << text << '"';
    }
    EXPECT_EQ(getPropertyInt("missing"), 0);
}

TEST(PropertiesChange, RewritesWholeFileWithoutCommentsOrCarriageReturns)
{
    TempDir dir;
    std::string path = dir.file("p");
    load(path, "# header\r\n\r\na=1\r\n  b=2\r\n#c=3\r\n");
    ASSERT_EQ(setPropertyString("new", "v"), 0);
    EXPECT_EQ(readText(path), "a=1\nb=2\nnew=v\n");
    ASSERT_EQ(setPropertyInt("a", -42), 0);
    EXPECT_EQ(readText(path), "a=-42\nb=2\nnew=v\n");
}

TEST(PropertiesChange, DuplicateKeyChangesTheOccurrenceThatLookupsRead)
{
    TempDir dir;
    std::string path = dir.file("p");
    load(path, "k=1\nx=y\nk=2\n");
    ASSERT_EQ(setPropertyString("k", "3"), 0);
    EXPECT_STREQ(getProperty("k"), "3");
    EXPECT_EQ(readText(path), "k=1\nx=y\nk=3\n");
    getProperties(path.c_str());
    EXPECT_STREQ(getProperty("k"), "3");
}

TEST(PropertiesChange, NullArgumentsChangeNothing)
{
    TempDir dir;
    std::string path = dir.file("p");
    load(path, "a=1\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(setPropertyString(nullptr, "v"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Null property passed to setPropertyString\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(setPropertyString("a", nullptr), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Null value pointer passed to setPropertyString\n");
    EXPECT_EQ(tableEntries(), (Entries { { "a", "1" } }));
    EXPECT_EQ(readText(path), "a=1\n");
}

TEST(PropertiesChange, UnwritableFileFailsAndTableKeepsChange)
{
    TempDir dir;
    load(dir.file("p"), "a=1\n");
    std::string unwritable = dir.file("no-such-directory/p");
    testing::internal::CaptureStderr();
    getProperties(unwritable.c_str());
    testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    EXPECT_EQ(setPropertyString("a", "2"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "The properties file could not be opened\n");
    EXPECT_STREQ(getProperty("a"), "2");
}

TEST(PropertiesChange, NoCurrentFileFails)
{
    testing::internal::CaptureStderr();
    getProperties(nullptr);
    int result = setPropertyString("a", "1");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_NE(err.find("The properties file could not be opened\n"), std::string::npos) << err;
}

TEST(PropertiesChange, ReplacesFileSoReadersNeverSeeItTorn)
{
    TempDir dir;
    std::string path = dir.file("p");
    load(path, numberedEntries(200) + "last=s\n");
    const std::string shortValue = "s";
    const std::string longValue(400, 'L');
    std::atomic<bool> done { false };
    std::atomic<int> torn { 0 };
    std::atomic<int> reads { 0 };
    std::thread reader([&] {
        while (!done) {
            std::string text = readText(path);
            ++reads;
            std::string tail = text.size() > 420 ? text.substr(text.size() - 420) : text;
            bool whole = text.size() > 1000 && text.back() == '\n'
                && (tail.find("\nlast=" + shortValue + "\n") != std::string::npos
                    || tail.find("\nlast=" + longValue + "\n") != std::string::npos);
            if (!whole)
                ++torn;
        }
    });
    for (int i = 0; i < 150; ++i)
        ASSERT_EQ(setPropertyString("last", i % 2 ? shortValue.c_str() : longValue.c_str()), 0);
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    // Nothing is left beside the file.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(PropertiesLimits, KeysAndValuesUpToTheLimitAreStored)
{
    TempDir dir;
    std::string path = dir.file("p");
    load(path, "");
    std::string key(MAX_PV_LEN - 1, 'k');
    std::string value(MAX_PV_LEN - 1, 'v');
    ASSERT_EQ(setPropertyString(key.c_str(), value.c_str()), 0);
    getProperties(path.c_str());
    EXPECT_EQ(getProperty(key.c_str()), value);
}

TEST(PropertiesLimits, ChangesThatCannotBeStoredOrReadBackAreRefused)
{
    const std::pair<std::string, std::string> cases[] = {
        { std::string(MAX_PV_LEN, 'k'), "v" },
        { "k", std::string(MAX_PV_LEN, 'v') },
        { "k=x", "v" },
        { "k\nz", "v" },
        { "#k", "v" },
        { " k", "v" },
        { "k", "v\nTerminalNumber=5" },
        { "k", "v\r" },
    };
    TempDir dir;
    std::string path = dir.file("p");
    for (const auto& [key, value] : cases) {
        load(path, "a=1\n");
        testing::internal::CaptureStderr();
        EXPECT_EQ(setPropertyString(key.c_str(), value.c_str()), -1) << key << " / " << value;
        EXPECT_NE(testing::internal::GetCapturedStderr(), "") << key << " / " << value;
        EXPECT_EQ(tableEntries(), (Entries { { "a", "1" } })) << key << " / " << value;
        EXPECT_EQ(readText(path), "a=1\n");
    }
}

TEST(PropertiesLimits, FullTableRefusesNewKeysButChangesExistingOnes)
{
    TempDir dir;
    std::string path = dir.file("p");
    load(path, numberedEntries(MAX_PROPERTIES));
    ASSERT_EQ(tPT.count, MAX_PROPERTIES);
    testing::internal::CaptureStderr();
    EXPECT_EQ(setPropertyString("one.more", "x"), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("full"), std::string::npos);
    EXPECT_EQ(tPT.count, MAX_PROPERTIES);
    EXPECT_EQ(setPropertyString("key0", "changed"), 0);
    getProperties(path.c_str());
    EXPECT_STREQ(getProperty("key0"), "changed");
    EXPECT_EQ(tPT.count, MAX_PROPERTIES);
}

TEST(PropertiesLimits, FileBeyondTheLimitsLoadsWhatFitsAndIsNeverRewritten)
{
    const std::pair<const char*, std::string> cases[] = {
        { "tooManyEntries", numberedEntries(MAX_PROPERTIES + 1) },
        { "longKey", std::string(MAX_PV_LEN, 'k') + "=v\nafter=1\n" },
        { "longValue", "k=" + std::string(MAX_PV_LEN, 'v') + "\nafter=1\n" },
    };
    TempDir dir;
    for (const auto& [name, content] : cases) {
        std::string path = dir.file(name);
        std::string err = load(path, content);
        EXPECT_NE(err, "") << name;
        if (std::string(name) != "tooManyEntries") {
            EXPECT_STREQ(getProperty("after"), "1") << name << ": the lines after it still load";
        }
        EXPECT_EQ(setPropertyString("after", "2"), -1) << name;
        EXPECT_EQ(readText(path), content) << name;
    }
}

TEST(PropertiesLimits, FileNameUpToTheLimitIsUsedLongerIsRefused)
{
    TempDir dir;
    load(dir.file("p"), "a=1\n");
    std::string prefix = dir.path() + "/";
    std::string longest = prefix + std::string(MAX_PROPERTIES_FILE_NAME - 1 - prefix.size(), 'n');
    std::string tooLong = longest + "n";
    testing::internal::CaptureStderr();
    getProperties(tooLong.c_str());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("longer than 255"), std::string::npos);
    EXPECT_EQ(tableEntries(), (Entries { { "a", "1" } }));
    testing::internal::CaptureStderr();
    EXPECT_EQ(setPropertyString("b", "2"), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fs::exists(tooLong));

    writeFile(longest, "c=3\n");
    getProperties(longest.c_str());
    EXPECT_EQ(setPropertyString("d", "4"), 0);
    EXPECT_EQ(readText(longest), "c=3\nd=4\n");
}

TEST(PropertiesFiles, IsExistTellsWhetherAFileCanBeRead)
{
    TempDir dir;
    writeFile(dir.file("there"), "");
    EXPECT_EQ(isExist(dir.file("there").c_str()), 1);
    EXPECT_EQ(isExist(dir.file("absent").c_str()), 0);
    EXPECT_EQ(isExist(nullptr), 0);
}

} // namespace
