// posQOR_propertyd: the store's remote property service.
#include "prepareForNLS.h"
#include "propertyService.h"
#include "remoteProperty.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <string>
#include <sys/resource.h>

namespace
{

void usage(FILE* stream)
{
    std::fprintf(stream,
        _("Usage: posQOR_propertyd [options]\n"
          "The store's remote property service: terminal records and store-wide properties.\n"
          "\n"
          "  -a, --address ADDRESS      listen on this IPv4 address (default 0.0.0.0, all addresses)\n"
          "  -p, --port PORT            listen on this TCP port (default %d)\n"
          "  -d, --database PATH        the SQLite database (default %s)\n"
          "  -f, --foreground           log every request, not only changes and refusals\n"
          "      --idle-timeout SECONDS time a client has to send its request (default %d)\n"
          "      --max-connections N    connections served at once (default %d)\n"
          "  -h, --help                 show this text\n"
          "\n"
          "The service stays attached to its parent and logs to standard error.\n"
          "SIGTERM or SIGINT stop it after the changes under way are answered.\n"),
        SERVER_PORT, defaultDatabasePath().c_str(), DEFAULT_IDLE_TIMEOUT_MS / 1000, DEFAULT_MAX_CONNECTIONS);
}

void onStopSignal(int)
{
    requestServiceStop();
}

// A whole number in [minimum, maximum] from an option argument.
bool parseNumber(const char* text, long minimum, long maximum, long& number)
{
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < minimum || value > maximum)
        return false;
    number = value;
    return true;
}

// Raises the descriptor limit to what the system allows, so a boot storm of a
// large store finds room; returns the limit.
long raiseDescriptorLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY ? LONG_MAX : static_cast<long>(limit.rlim_cur);
}

} // namespace

int main(int argc, char** argv)
{
    prepareForNLS();
    serviceOptions_s options;
    options.port = SERVER_PORT;

    static const option longOptions[] = {
        { "address", required_argument, nullptr, 'a' },
        { "port", required_argument, nullptr, 'p' },
        { "database", required_argument, nullptr, 'd' },
        { "foreground", no_argument, nullptr, 'f' },
        { "idle-timeout", required_argument, nullptr, 'i' },
        { "max-connections", required_argument, nullptr, 'm' },
        { "help", no_argument, nullptr, 'h' },
        { nullptr, 0, nullptr, 0 },
    };
    int option;
    while ((option = getopt_long(argc, argv, "a:p:d:fh", longOptions, nullptr)) != -1) {
        long number = 0;
        switch (option) {
        case 'a':
            options.address = optarg;
            break;
        case 'p':
            if (!parseNumber(optarg, 0, 65535, number)) {
                std::fprintf(stderr, _("posQOR_propertyd: not a port number: %s\n"), optarg);
                return 2;
            }
            options.port = static_cast<int>(number);
            break;
        case 'd':
            options.databasePath = optarg;
            break;
        case 'f':
            options.logEveryRequest = true;
            break;
        case 'i': {
            char* end = nullptr;
            double seconds = std::strtod(optarg, &end);
            if (end == optarg || *end != '\0' || !(seconds > 0) || seconds > 3600) {
                std::fprintf(stderr, _("posQOR_propertyd: not a time in seconds (up to 3600): %s\n"), optarg);
                return 2;
            }
            options.idleTimeoutMs = std::max(1, static_cast<int>(seconds * 1000 + 0.5));
            break;
        }
        case 'm':
            if (!parseNumber(optarg, 1, 1000000, number)) {
                std::fprintf(stderr, _("posQOR_propertyd: not a connection count: %s\n"), optarg);
                return 2;
            }
            options.maxConnections = static_cast<int>(number);
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, _("posQOR_propertyd: unexpected argument: %s\n"), argv[optind]);
        usage(stderr);
        return 2;
    }

    // Room for the database, the event loop and the standard streams.
    long descriptors = raiseDescriptorLimit();
    if (options.maxConnections > descriptors - 32) {
        options.maxConnections = static_cast<int>(std::max(1L, descriptors - 32));
        std::fprintf(stderr, "posQOR_propertyd: connection limit lowered to %d by the descriptor limit\n",
            options.maxConnections);
    }

    struct sigaction stop {
    };
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    ::sigaction(SIGTERM, &stop, nullptr);
    ::sigaction(SIGINT, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::string error;
    int listener = listenForService(options.address, options.port, error);
    if (listener < 0) {
        std::fprintf(stderr, _("posQOR_propertyd: cannot listen on %s\n"), error.c_str());
        return 1;
    }
    return runPropertyService(options, listener) == 0 ? 0 : 1;
}
