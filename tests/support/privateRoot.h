// A private root for tests that call the modules in their own process.
#pragma once

#include <string>

// Points every sysPath() of this process at a new directory
// /tmp/<name>.XXXXXX, removed when the process ends, and returns it. Call it
// while the test's static objects are made, before the first path is formed:
// the root is read once per process.
std::string usePrivateRoot(const std::string& name);
