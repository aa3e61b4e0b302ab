// The German catalogue in whole runs: termsetup and the command-line tools
// speak German when the locale asks for it, and English otherwise.
#include "fakeServer.h"
#include "sandbox.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <locale.h>
#include <string>
#include <string_view>
#include <vector>

namespace
{

constexpr const char* GERMAN_LOCALE = "de_DE.UTF-8";
constexpr const char* CATALOGUE = "/usr/share/locale/de/LC_MESSAGES/posQOR_stnc.mo";
constexpr const char* RETAIL = "/etc/opt/qor/retail/";

bool germanLocaleAvailable()
{
    locale_t german = newlocale(LC_ALL_MASK, GERMAN_LOCALE, static_cast<locale_t>(nullptr));
    if (german == static_cast<locale_t>(nullptr))
        return false;
    freelocale(german);
    return true;
}

// A sandbox with the build's German catalogue where the programs look for it.
class GermanCatalogue : public testing::Test
{
protected:
    void SetUp() override
    {
        if (!germanLocaleAvailable())
            GTEST_SKIP() << "locale " << GERMAN_LOCALE << " is not installed (locale -a); "
                         << ".ci/deps generates it when run as root";
        const std::string built = std::string(POSQOR_BINARY_DIR) + "/locale/de/LC_MESSAGES/posQOR_stnc.mo";
        ASSERT_TRUE(std::filesystem::exists(built)) << built << " missing: build the translations target";
        box_.makeDirectory("/usr/share/locale/de/LC_MESSAGES");
        std::filesystem::copy_file(built, box_.path(CATALOGUE));
    }

    // Sets the locale variables of a case; all others stay unset.
    void setLocale(const std::vector<std::pair<std::string, std::string>>& variables)
    {
        for (const auto& [name, value] : variables)
            box_.setEnv(name, value);
    }

    Sandbox box_;
};

// A terminal that the store knows as number 4 with the role Cashier, so the
// run goes through without a menu and ends with 0.
class GermanTermsetup : public GermanCatalogue
{
protected:
    void SetUp() override
    {
        GermanCatalogue::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(server_.ok());
        // The first request that starts with the text gets its reply.
        static constexpr std::pair<std::string_view, std::string_view> REPLIES[] = {
            { "ping", "pong\n" },
            { "TBS=", "4\n" },
            { "TBM=", "4\n" },
            { "get=posClient.4.role", "Cashier\n" },
            { "get=", "\n" },
        };
        server_.setResponder([](std::string_view line) {
            for (const auto& [request, reply] : REPLIES) {
                if (line.starts_with(request))
                    return FakeServer::answer(std::string(reply));
            }
            return FakeServer::answer("ok\n");
        });
        box_.setEnv("TSERVER", server_.address());
        box_.setEnv("DHCPCHADDR", "00:11:22:33:44:55");
        const std::string retail = RETAIL;
        box_.writeFile(retail + "Roles4c", "Roles.count=1\nRole001=Cashier\nRole001.description=Lane\n");
        box_.writeFile(retail + "Role001",
            "TerminalRole.name=Cashier\nRAMDrive.1.loadImage=posQOR_STNC\nRAMDrive.1.mountPoint=/\n");
        box_.writeFile(retail + "posQOR_global", "LowestTerminalNumber=1\nHighestTerminalNumber=9\n");
        box_.writeFile(retail + "posQOR_imageDirContents.txt", "posQOR_STNC-2.1.0-2005.06.15.gz\n");
        box_.writeFile(retail + "posQOR_imageDirSizes.txt", "");
    }

    FakeServer server_;
};

struct LocaleCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> variables;
    bool german;
};

const LocaleCase LOCALE_CASES[] = {
    { "LANG", { { "LANG", GERMAN_LOCALE } }, true },
    { "LC_CTYPE alone", { { "LC_CTYPE", GERMAN_LOCALE } }, true },
    { "LC_ALL", { { "LC_ALL", GERMAN_LOCALE } }, true },
    { "LC_MESSAGES C over LANG", { { "LANG", GERMAN_LOCALE }, { "LC_MESSAGES", "C" } }, false },
    { "LC_CTYPE beside LANG C", { { "LANG", "C" }, { "LC_CTYPE", GERMAN_LOCALE } }, false },
    { "no locale", {}, false },
};

struct Message {
    const char* english;
    const char* german;
};

TEST_F(GermanTermsetup, OperatorMessagesFollowTheMessageLocale)
{
    const Message first = { "Running Vendor Extension Program\n", "Hersteller-Erweiterungsprogramm wird ausgeführt\n" };
    const Message image = { "The following system image file was found: posQOR_STNC-2.1.0-2005.06.15.gz\n",
        "Folgende System-Image-Datei wurde gefunden: posQOR_STNC-2.1.0-2005.06.15.gz\n" };
    for (const auto& c : LOCALE_CASES) {
        for (const char* name : { "LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_CTYPE" })
            box_.unsetEnv(name);
        setLocale(c.variables);
        ProgramResult result = box_.run("termsetup", {}, "", 30);
        ASSERT_FALSE(result.timedOut) << c.name << "\n" << result.out << result.trace;
        EXPECT_EQ(result.exitStatus, 0) << c.name << "\n" << result.out << result.trace;
        for (const Message& message : { first, image }) {
            const char* shown = c.german ? message.german : message.english;
            const char* other = c.german ? message.english : message.german;
            EXPECT_NE(result.out.find(shown), std::string::npos) << c.name << ": " << shown << "\n" << result.out;
            EXPECT_EQ(result.out.find(other), std::string::npos) << c.name << ": " << other << "\n" << result.out;
        }
        EXPECT_EQ(result.out.rfind(c.german ? first.german : first.english, 0), 0u) << c.name << "\n" << result.out;
    }
}

TEST_F(GermanCatalogue, ToolUsageTextsInGerman)
{
    setLocale({ { "LANG", GERMAN_LOCALE } });
    struct Case {
        const char* program;
        bool onStandardError;
        std::string expectedStart;
    };
    const Case cases[] = {
        { "imagelink", false, "Aufruf: " + Sandbox::programPath("imagelink") + " Image-Dateiname\n" },
        { "posQOR_properties", true,
            "Aufruf : " + Sandbox::programPath("posQOR_properties")
                + " [-r[Server-IP-Adresse]] [-sNeuer Wert ] [-fEigenschaftsdatei] [-u] Eigenschaft\n\n"
                  "-r            : Mit dem voreingestellten Server verbinden\n" },
    };
    for (const auto& c : cases) {
        ProgramResult result = box_.run(c.program, {}, "", 20);
        EXPECT_EQ(result.exitStatus, 1) << c.program;
        const std::string& text = c.onStandardError ? result.err : result.out;
        EXPECT_EQ(text.rfind(c.expectedStart, 0), 0u) << c.program << "\n" << text;
    }
}

} // namespace
