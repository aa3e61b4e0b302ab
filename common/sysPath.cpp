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

std::string shellQuote(std::string_view text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return quoted;
}

std::string shellWord(std::string_view text)
{
    auto literal = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || std::string_view("/._-+,:@%").find(c) != std::string_view::npos;
    };
    bool plain = !text.empty();
    for (char c : text)
        plain = plain && literal(c);
    return plain ? std::string(text) : shellQuote(text);
}

std::string shellPath(std::string_view absolutePath)
{
    return shellWord(sysPath(absolutePath));
}
