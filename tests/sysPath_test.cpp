// Shell words for command texts: what the shell reads back is the text itself.
#include "sysPath.h"

#include "privateRoot.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace
{

// A root that the shell would split at its space, so rooted paths need quotes.
const std::string testRoot = usePrivateRoot("sysPath test");

// What /bin/sh makes of word: the one argument it gives to printf.
std::string shellReads(const std::string& word)
{
    std::string command = "printf '%s|' " + word;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return "<no shell>";
    std::string output;
    char buffer[256];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, got);
    ::pclose(pipe);
    return output;
}

TEST(ShellWord, PlainTextStaysAndEverythingElseIsQuotedAndReadBackWhole)
{
    struct Row {
        std::string text;
        bool plain;
    };
    const Row rows[] = {
        { "/etc/opt/qor/retail/posQOR_configuration", true },
        { "/sbin/reboot", true },
        { "a-b_c.d+e,f:g@h%i", true },
        { "", false },
        { "two words", false },
        { "it's", false },
        { "''", false },
        { "$HOME", false },
        { "a;reboot", false },
        { "`id`", false },
        { "*", false },
        { "~root", false },
        { "a=b", false },
        { "line\nfeed", false },
        { "back\\slash", false },
        { "\xc3\xa4", false },
    };
    for (const Row& row : rows) {
        std::string word = shellWord(row.text);
        EXPECT_EQ(word == row.text, row.plain) << row.text;
        EXPECT_EQ(shellReads(word), row.text + "|") << row.text;
        EXPECT_EQ(shellReads(shellQuote(row.text)), row.text + "|") << row.text;
    }
}

TEST(ShellPath, RootedPathIsQuotedOnlyWhenTheRootNeedsIt)
{
    ASSERT_EQ(sysRoot(), testRoot);
    std::string word = shellPath("/etc/config.rc");
    EXPECT_EQ(word.front(), '\'') << word;
    EXPECT_EQ(shellReads(word), testRoot + "/etc/config.rc|");
    // A relative name is not rooted.
    EXPECT_EQ(shellPath("config.rc"), "config.rc");
}

} // namespace
