#include "privateRoot.h"

#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#include <vector>

std::string usePrivateRoot(const std::string& name)
{
    std::string pattern = "/tmp/" + name + ".XXXXXX";
    std::vector<char> directory(pattern.begin(), pattern.end());
    directory.push_back('\0');
    std::string root = ::mkdtemp(directory.data()) ? directory.data() : "/tmp/" + name + ".failed";
    ::setenv("POSQOR_ROOT", root.c_str(), 1);
    // The environment outlives every static object the handler could use.
    std::atexit([] { std::filesystem::remove_all(std::getenv("POSQOR_ROOT")); });
    return root;
}
