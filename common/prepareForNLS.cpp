#include "prepareForNLS.h"

#include "sysPath.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// The "LC_ALL=<LC_CTYPE value>" setting is bounded like the buffer it was
// always built in; a longer value is not a locale name worth copying.
constexpr std::size_t LC_ALL_SETTING_SIZE = 32;
constexpr const char* LC_ALL_PREFIX = "LC_ALL=";

// Unset and empty mean the same to the locale functions.
bool isSet(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

} // namespace

int prepareForNLS()
{
    const char* ctype = std::getenv("LC_CTYPE");
    if (!isSet("LANG") && !isSet("LANGUAGE") && !isSet("LC_ALL") && !isSet("LC_MESSAGES") && ctype != nullptr
        && *ctype != '\0') {
        // Without any message setting, LC_CTYPE also picks the message language.
        if (std::strlen(LC_ALL_PREFIX) + std::strlen(ctype) < LC_ALL_SETTING_SIZE)
            setenv("LC_ALL", ctype, 1);
        else
            std::fprintf(stderr, "LC_CTYPE =%s= too long for LC_ALL, not used for messages\n", ctype);
    }
    std::setlocale(LC_ALL, "");
    bindtextdomain(TEXT_DOMAIN, sysPath("/usr/share/locale").c_str());
    textdomain(TEXT_DOMAIN);
    return 0;
}

void marquee(const char*) { }

int posGetch()
{
    return 0;
}

void ClearAllDisplays() { }

void writeToLine1(const char*) { }

void writeToLine2(const char*) { }
