// Time of matchImageName over a full image directory list (1000 entries),
// as a ratio against a plain strcmp scan of the same list measured in the
// same run. The request reaches the last pass, so all six passes walk the
// whole list.
//
//   build/bench/matchImageName_bench [rounds]
#include "vendorConfig.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace
{

std::string fullList()
{
    std::string text;
    for (int i = 0; i < MAX_DIR_ENTRIES; ++i) {
        // Mostly other images; every tenth entry a version of the requested one.
        std::string root = (i % 10 == 0) ? "posQOR_STNC" : "posQOR_Other" + std::to_string(i % 37);
        text += root + "-" + std::to_string(i % 7) + "." + std::to_string(i % 5) + "." + std::to_string(i % 3) + "-"
            + std::to_string(2000 + i % 9) + "." + std::to_string(1 + i % 12) + "." + std::to_string(1 + i % 28)
            + (i % 2 ? ".gz" : "") + "\n";
    }
    return text;
}

template <typename Work> double nanosecondsPerCall(int rounds, Work work)
{
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i)
        work();
    std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / rounds;
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (rounds <= 0)
        rounds = 20000;
    const char* request = "posQOR_STNC";
    if (loadImageDirList(fullList()) != MAX_DIR_ENTRIES || selectImageEntry(request) < 0) {
        // Without a match the matcher would show the not-found screen and reboot.
        std::fprintf(stderr, "benchmark list does not match the request\n");
        return 1;
    }

    // The found message goes to standard output on every match.
    int report = dup(STDOUT_FILENO);
    if (report < 0 || std::freopen("/dev/null", "w", stdout) == nullptr)
        return 1;

    volatile int sink = 0;
    auto baseline = [&] {
        // Plain linear scan: strcmp of the request against every entry.
        int found = -1;
        for (int i = 0; i < MAX_DIR_ENTRIES; ++i) {
            if (dirList[i][0] != '\0' && std::strcmp(dirList[i], request) == 0)
                found = i;
        }
        sink = sink + found;
    };
    auto matcher = [&] {
        char* name = nullptr;
        char* version = nullptr;
        int compressed = 0;
        matchImageName(request, &name, &version, &compressed);
        sink = sink + compressed;
    };
    nanosecondsPerCall(rounds / 10 + 1, baseline); // warm-up
    nanosecondsPerCall(rounds / 10 + 1, matcher);
    double baselineNs = nanosecondsPerCall(rounds, baseline);
    double matcherNs = nanosecondsPerCall(rounds, matcher);

    FILE* out = fdopen(report, "w");
    if (out == nullptr)
        return 1;
    std::fprintf(out, "list entries: %d, rounds: %d\n", MAX_DIR_ENTRIES, rounds);
    std::fprintf(out, "strcmp scan (baseline): %.0f ns per call\n", baselineNs);
    std::fprintf(out, "matchImageName:         %.0f ns per call\n", matcherNs);
    std::fprintf(out, "ratio matchImageName / strcmp scan: %.2f\n", matcherNs / baselineNs);
    std::fclose(out);
    return 0;
}
