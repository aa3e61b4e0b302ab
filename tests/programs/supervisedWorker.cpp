// Runs the restart supervisor; each worker takes the next behaviour from the
// command line: an exit status, "kill" (ends by SIGKILL) or "slow<status>"
// (lives longer than a second, then exits with status).
//   supervisedWorker <counter file> <behaviour>...
#include "posConfigCommon.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

int main(int argc, char** argv)
{
    if (argc < 3)
        return 64;
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    // Buffered (standard output is a file): must appear once, not per worker.
    std::printf("supervisor starts\n");
    forkAndWait();

    // Workers run one after the other, so the counter needs no lock.
    int run = 0;
    std::ifstream(argv[1]) >> run;
    std::ofstream(argv[1], std::ios::trunc) << run + 1;
    const char* behaviour = run + 2 < argc ? argv[run + 2] : "0";
    if (std::strcmp(behaviour, "kill") == 0)
        std::raise(SIGKILL);
    if (std::strncmp(behaviour, "slow", 4) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        behaviour += 4;
    }
    std::exit(std::atoi(behaviour));
}
