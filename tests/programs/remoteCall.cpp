// Runs remote property operations one after the other in a fresh process, so
// tests see the process-wide name cache, the back-off and the exit statuses:
//   remoteCall ping 10 | get KEY LENGTH | set KEY VALUE | tserver NAME | tserver-unset ...
// TSERVER is taken from the environment first; each result goes to stdout.
#include "bootIdentity.h"
#include "remoteProperty.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    TSERVER = std::getenv("TSERVER");
    std::string server;
    for (int i = 1; i < argc; ++i) {
        std::string op = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        if (op == "ping") {
            int attempts = std::atoi(next());
            std::printf("ping=%d\n", pingServer(attempts));
        } else if (op == "get") {
            const char* key = next();
            int length = std::atoi(next());
            std::vector<char> buffer(static_cast<size_t>(length > 0 ? length : 1) + 1, '\0');
            int result = getRemoteProperty(buffer.data(), length, key);
            std::printf("get=%d %s\n", result, buffer.data());
        } else if (op == "set") {
            const char* key = next();
            const char* value = next();
            std::printf("set=%d\n", setRemoteProperty(key, value));
        } else if (op == "tserver") {
            server = next();
            TSERVER = server.data();
        } else if (op == "tserver-unset") {
            TSERVER = nullptr;
        } else {
            std::fprintf(stderr, "remoteCall: unknown operation %s\n", op.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}
