// Locale and message catalogue preparation.
#include "prepareForNLS.h"

#include <clocale>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <string>

namespace
{

const char* const LOCALE_VARIABLES[] = { "LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_CTYPE" };

// Runs prepareForNLS with exactly the given locale variables set and returns
// LC_ALL as it is afterwards; the test process's environment is restored.
std::optional<std::string> lcAllAfterPrepare(const std::map<std::string, std::string>& settings)
{
    std::map<std::string, std::optional<std::string>> saved;
    for (const char* name : LOCALE_VARIABLES) {
        const char* value = std::getenv(name);
        saved[name] = value ? std::optional<std::string>(value) : std::nullopt;
        unsetenv(name);
    }
    for (const auto& [name, value] : settings)
        setenv(name.c_str(), value.c_str(), 1);
    EXPECT_EQ(prepareForNLS(), 0);
    const char* lcAll = std::getenv("LC_ALL");
    std::optional<std::string> result = lcAll ? std::optional<std::string>(lcAll) : std::nullopt;
    for (const auto& [name, value] : saved) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    std::setlocale(LC_ALL, "C");
    return result;
}

struct CtypeCase {
    const char* name;
    std::map<std::string, std::string> settings;
    std::optional<std::string> expectedLcAll;
};

TEST(PrepareForNLS, LcCtypeSelectsMessagesOnlyWhenNothingElseDoes)
{
    const std::string longest(24, 'x'); // "LC_ALL=" and 24 characters fill 31 of the 32 bytes
    const CtypeCase cases[] = {
        { "onlyLcCtype", { { "LC_CTYPE", "de_DE" } }, "de_DE" },
        { "langSet", { { "LANG", "en_US" }, { "LC_CTYPE", "de_DE" } }, std::nullopt },
        { "languageSet", { { "LANGUAGE", "fr" }, { "LC_CTYPE", "de_DE" } }, std::nullopt },
        { "lcMessagesSet", { { "LC_MESSAGES", "fr_FR" }, { "LC_CTYPE", "de_DE" } }, std::nullopt },
        { "lcAllSetKeepsIt", { { "LC_ALL", "C" }, { "LC_CTYPE", "de_DE" } }, "C" },
        { "emptyLangCountsAsUnset", { { "LANG", "" }, { "LC_CTYPE", "de_DE" } }, "de_DE" },
        { "nothingSet", {}, std::nullopt },
        { "emptyLcCtype", { { "LC_CTYPE", "" } }, std::nullopt },
        { "longestThatFits", { { "LC_CTYPE", longest } }, longest },
        { "tooLongIsSkipped", { { "LC_CTYPE", longest + "x" } }, std::nullopt },
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        std::optional<std::string> lcAll = lcAllAfterPrepare(c.settings);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(lcAll, c.expectedLcAll) << c.name;
    }
}

TEST(PrepareForNLS, MakesTheSystemTextDomainCurrent)
{
    testing::internal::CaptureStderr();
    lcAllAfterPrepare({});
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(textdomain(nullptr), "posQOR_stnc");
    EXPECT_STREQ(bindtextdomain("posQOR_stnc", nullptr), "/usr/share/locale");
}

} // namespace
