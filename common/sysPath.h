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

// The text as one shell word: in single quotes, each quote in it written '\''.
std::string shellQuote(std::string_view text);

// The text as one shell word: unchanged when the shell takes every character
// literally (so production command texts stay as they are), else shellQuote.
std::string shellWord(std::string_view text);

// The rooted path (sysPath) as one shell word, as shellWord gives it.
std::string shellPath(std::string_view absolutePath);
