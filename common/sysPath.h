// The one place where an absolute path of the system gets its root directory.
#pragma once

#include <string>
#include <string_view>

// The path as the program must use it: the directory named by POSQOR_ROOT
// put in front of absolutePath, or absolutePath unchanged when POSQOR_ROOT is
// unset or empty (production). Shell command texts name paths through it too.
std::string sysPath(std::string_view absolutePath);

// The root directory itself ("" in production).
const std::string& sysRoot();
