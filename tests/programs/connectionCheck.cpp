// Runs the connection test once with TSERVER from the environment (unset when
// the variable is unset), so tests see its exit status and messages.
#include "bootIdentity.h"
#include "connectionTest.h"

#include <cstdio>
#include <cstdlib>

int main()
{
    TSERVER = std::getenv("TSERVER");
    connectionTest();
    std::fprintf(stderr, "connection test passed\n");
    return 0;
}
