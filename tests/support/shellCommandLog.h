// A record of the shell commands that a process hands to system(), so tests
// can compare their texts with the designed ones.
#pragma once

#include <string>
#include <vector>

// From now on in this process, every command given to system() is appended
// to logPath, one per line, before it runs.
void recordShellCommands(const std::string& logPath);

// The commands recorded in logPath, in order, with every occurrence of root
// taken out: what the same run hands to the shell where the root is empty.
std::vector<std::string> recordedShellCommands(const std::string& logPath, const std::string& root);
