// posQOR_properties: reads or writes one property, in a local properties file
// or on the store's remote property service, for administrators and scripts.
#include "bootIdentity.h"
#include "prepareForNLS.h"
#include "properties.h"
#include "remoteProperty.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

// Ends the process with the status; this program has no screen to restore.
[[noreturn]] void cleanupAndExit(int exitValue)
{
    std::fflush(stdout);
    std::exit(exitValue);
}

namespace
{

// The terminal's configuration file.
const char* const defaultPropertiesFileName = "/etc/opt/qor/retail/posQOR_configuration";
const char* const FALLBACK_SERVER = "127.0.0.1";
const char* const SERVER_ADDRESS_KEY = "STN.ServerIPAddress";
constexpr int REMOTE_VALUE_SIZE = 512;

// Exit statuses; 20 and 21 come from the remote client.
constexpr int STATUS_DONE = 0;
constexpr int STATUS_NO_PROPERTY = 1;
constexpr int STATUS_NO_FILE_NAME = 2;
constexpr int STATUS_NO_VALUE = 3;
constexpr int STATUS_HELP_OR_NO_FILE = 4;
constexpr int STATUS_NO_SERVER_ADDRESS = 5;
// A set or a remote operation that did not succeed: scripts must be able to
// tell it from success.
constexpr int STATUS_OPERATION_FAILED = 6;

const char* programName = "posQOR_properties";

// TSERVER points into this text once "-r" was seen.
std::string serverAddress;

struct Request {
    bool remote = false;
    bool underscores = false;
    bool set = false;
    const char* value = nullptr;
    const char* fileName = defaultPropertiesFileName;
    const char* property = nullptr;
};

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

void usage()
{
    std::fprintf(stderr,
        _("Usage : %s [-r[Server IP Address]] [-sSet Value ] [-fProperties File Name] [-u] Property\n"), programName);
    std::fputs("\n", stderr);
    std::fputs(_("-r            : Connect to default remote server\n"), stderr);
    std::fputs(_("-r192.168.1.1 : Connect to server 192.168.1\n"), stderr);
    std::fputs(_("-sColor       : Set the specified property to value=Color\n"), stderr);
    std::fputs(_("-f~/test.prop : Use properties file ~/test.prop\n"), stderr);
    std::fputs(_("-u            : Underscores represent dots in property name (for scripts)\n"), stderr);
    std::fputs(_("Exit status 6 : the property could not be set, or the remote service failed\n"), stderr);
    std::fputs("\n", stderr);
}

[[noreturn]] void usageAndExit(int status)
{
    usage();
    cleanupAndExit(status);
}

// "-r" alone: the server named in the default file, or the local machine
// when there is no such file.
void useDefaultServer()
{
    if (isExist(defaultPropertiesFileName)) {
        getProperties(defaultPropertiesFileName);
        serverAddress = getProperty(SERVER_ADDRESS_KEY);
        if (serverAddress.empty()) {
            std::fprintf(stderr, "Unable to locate ServerIPAddress\n");
            cleanupAndExit(STATUS_NO_SERVER_ADDRESS);
        }
    } else {
        std::fprintf(stderr, "Using IP Address %s\n", FALLBACK_SERVER);
        serverAddress = FALLBACK_SERVER;
    }
    TSERVER = serverAddress.data();
}

// Examines the arguments from left to right; each is recognised by its first
// characters, so -uxyz is "-u", -help is help and -x is a property name.
Request parseArguments(int argc, char** argv)
{
    Request request;
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        const char* attached = argv[i] + std::min<size_t>(argument.size(), 2);
        if (startsWith(argument, "-u")) {
            request.underscores = true;
        } else if (startsWith(argument, "-r")) {
            request.remote = true;
            if (*attached != '\0') {
                serverAddress = attached;
                TSERVER = serverAddress.data();
            } else {
                useDefaultServer();
            }
        } else if (startsWith(argument, "-f")) {
            if (*attached == '\0')
                usageAndExit(STATUS_NO_FILE_NAME);
            request.fileName = attached;
        } else if (startsWith(argument, "-s")) {
            if (*attached == '\0')
                usageAndExit(STATUS_NO_VALUE);
            request.set = true;
            request.value = attached;
        } else if (startsWith(argument, "--h") || startsWith(argument, "-h")) {
            usageAndExit(STATUS_HELP_OR_NO_FILE);
        } else {
            request.property = argv[i];
        }
    }
    return request;
}

// A field of a request line must not end the line or, as a key, carry the
// separator; otherwise the service would read another request than this one.
bool fitsRequestLine(const std::string& property, const char* value)
{
    if (property.find_first_of("\n\r") != std::string::npos
        || (value != nullptr && property.find('=') != std::string::npos)) {
        std::fprintf(stderr, _("Property name %s cannot be sent to the remote service\n"), property.c_str());
        return false;
    }
    if (value != nullptr && std::strpbrk(value, "\n\r") != nullptr) {
        std::fprintf(stderr, _("Value of %s holds a line end; not sent\n"), property.c_str());
        return false;
    }
    return true;
}

int remoteOperation(const std::string& property, const Request& request)
{
    if (!fitsRequestLine(property, request.set ? request.value : nullptr))
        return STATUS_OPERATION_FAILED;
    if (request.set) {
        if (setRemoteProperty(property.c_str(), request.value) != 0)
            return STATUS_OPERATION_FAILED;
        std::printf("ok\n");
        return STATUS_DONE;
    }
    // The reply may take one byte more than the designed 512, so that a value
    // too long for them is told apart from one that fits and is refused
    // instead of shown cut; one more byte keeps the text terminated.
    char value[REMOTE_VALUE_SIZE + 2] = {};
    if (getRemoteProperty(value, REMOTE_VALUE_SIZE + 1, property.c_str()) != 0)
        return STATUS_OPERATION_FAILED;
    if (std::strlen(value) >= REMOTE_VALUE_SIZE) {
        std::fprintf(
            stderr, _("Value of %s longer than %d characters; not shown\n"), property.c_str(), REMOTE_VALUE_SIZE - 1);
        return STATUS_OPERATION_FAILED;
    }
    std::printf("%s\n", value);
    return STATUS_DONE;
}

int localOperation(const std::string& property, const Request& request)
{
    if (!isExist(request.fileName)) {
        std::fprintf(stderr, _("An error occurred opening data file %s\n"), request.fileName);
        return STATUS_HELP_OR_NO_FILE;
    }
    getProperties(request.fileName);
    if (request.set) {
        if (setPropertyString(property.c_str(), request.value) != 0)
            return STATUS_OPERATION_FAILED;
        std::printf("ok\n");
        return STATUS_DONE;
    }
    std::printf("%s\n", getPropertyString(property.c_str()));
    return STATUS_DONE;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 0 && argv[0] != nullptr)
        programName = argv[0];
    prepareForNLS();
    if (argc < 2)
        usageAndExit(STATUS_NO_PROPERTY);

    Request request = parseArguments(argc, argv);
    // Options alone name nothing to read or set.
    if (request.property == nullptr)
        usageAndExit(STATUS_NO_PROPERTY);
    std::string property = request.property;
    if (request.underscores) {
        for (char& c : property) {
            if (c == '_')
                c = '.';
        }
    }
    int status = request.remote ? remoteOperation(property, request) : localOperation(property, request);
    cleanupAndExit(status);
}
