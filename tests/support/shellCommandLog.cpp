#include "shellCommandLog.h"

#include <cstdio>
#include <dlfcn.h>

namespace
{

std::string commandLogPath;

} // namespace

// Linked into a test program only when it records commands; the commands of
// the code under test pass through here on their way to the C library.
extern "C" int system(const char* command)
{
    if (command != nullptr && !commandLogPath.empty()) {
        if (FILE* log = std::fopen(commandLogPath.c_str(), "ae")) {
            std::fprintf(log, "%s\n", command);
            std::fclose(log);
        }
    }
    using SystemFunction = int (*)(const char*);
    static const auto realSystem = reinterpret_cast<SystemFunction>(::dlsym(RTLD_NEXT, "system"));
    return realSystem(command);
}

void recordShellCommands(const std::string& logPath)
{
    commandLogPath = logPath;
}

std::vector<std::string> recordedShellCommands(const std::string& logPath, const std::string& root)
{
    std::vector<std::string> commands;
    FILE* log = std::fopen(logPath.c_str(), "re");
    if (log == nullptr)
        return commands;
    std::string line;
    for (int c; (c = std::fgetc(log)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        for (std::size_t at; !root.empty() && (at = line.find(root)) != std::string::npos;)
            line.erase(at, root.size());
        commands.push_back(line);
        line.clear();
    }
    std::fclose(log);
    return commands;
}
