#include "sysPath.h"

#include <cstdlib>

const std::string& sysRoot()
{
    // Read once: every path of a process must agree on one root.
    static const std::string root = [] {
        const char* value = std::getenv("POSQOR_ROOT");
        std::string text = value ? value : "";
        while (text.size() > 1 && text.back() == '/')
            text.pop_back();
        return text;
    }();
    return root;
}

std::string sysPath(std::string_view absolutePath)
{
    const std::string& root = sysRoot();
    if (root.empty() || absolutePath.empty() || absolutePath.front() != '/')
        return std::string(absolutePath);
    std::string path;
    path.reserve(root.size() + absolutePath.size());
    path += root;
    path += absolutePath;
    return path;
}
