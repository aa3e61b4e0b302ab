#include "terminal.h"

#include "sysPath.h"
#include "textFiles.h"
#include "uniqueFd.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace
{

constexpr const char* SESSION = "main";
// How long the last screen stays after the program has ended.
constexpr int HOLD_AFTER_EXIT_SECONDS = 300;
constexpr std::chrono::milliseconds POLL_INTERVAL { 30 };

std::optional<std::string> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// The test's environment without the marks of an enclosing tmux session,
// which would make tmux talk to the tester's server.
std::vector<std::string> tmuxEnvironment()
{
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        if (text.starts_with("TMUX=") || text.starts_with("TMUX_PANE="))
            continue;
        result.emplace_back(text);
    }
    return result;
}

// Runs argv (found on PATH) and collects its standard output; its standard
// error goes to errorPath. The exit status, or -1 when it could not run.
int runCollecting(const std::vector<std::string>& argv, const std::string& errorPath, std::string& output)
{
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        return -1;
    UniqueFd readEnd(pipeEnds[0]);
    UniqueFd writeEnd(pipeEnds[1]);
    std::vector<std::string> environment = tmuxEnvironment();
    std::vector<char*> cargv;
    for (const std::string& word : argv)
        cargv.push_back(const_cast<char*>(word.c_str()));
    cargv.push_back(nullptr);
    std::vector<char*> cenv;
    for (std::string& entry : environment)
        cenv.push_back(entry.data());
    cenv.push_back(nullptr);

    // posix_spawn, not fork: a test built with sanitizers maps a lot of
    // memory, which a fork copies on every screen capture.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
    posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t child = -1;
    int spawned = ::posix_spawnp(&child, cargv[0], &actions, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    writeEnd.reset();
    char buffer[4096];
    for (;;) {
        ssize_t count = ::read(readEnd.get(), buffer, sizeof buffer);
        if (count > 0) {
            output.append(buffer, static_cast<size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        break;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) { }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool anyLineHolds(const std::vector<std::string>& lines, std::string_view text)
{
    for (const std::string& line : lines) {
        if (line.find(text) != std::string::npos)
            return true;
    }
    return false;
}

int characterCount(std::string_view text)
{
    int count = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++count;
    }
    return count;
}

// Where the character at column starts in line (its length when the line
// is shorter).
size_t byteOffsetOfColumn(std::string_view line, int column)
{
    int count = 0;
    for (size_t offset = 0; offset < line.size(); ++offset) {
        if ((static_cast<unsigned char>(line[offset]) & 0xC0) == 0x80)
            continue;
        if (count == column)
            return offset;
        ++count;
    }
    return line.size();
}

} // namespace

Terminal::Terminal()
{
    static std::atomic<int> counter { 0 };
    socket_ = "posqor-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    std::string pattern = (fs::temp_directory_path() / "posqor-terminal-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) != nullptr)
        directory_ = buffer.data();
    configPath_ = directory_ + "/tmux.conf";
    statusPath_ = directory_ + "/status";
    modesPath_ = directory_ + "/modes";
}

Terminal::~Terminal()
{
    if (panePid_ > 0)
        ::kill(-panePid_, SIGKILL);
    if (started_)
        tmux({ "kill-server" });
    // tmux leaves its socket file behind when the server ends.
    if (!socketPath_.empty())
        ::unlink(socketPath_.c_str());
    if (!directory_.empty()) {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
}

bool Terminal::available()
{
    static const bool found = [] {
        std::string output;
        return runCollecting({ "tmux", "-V" }, "/dev/null", output) == 0;
    }();
    return found;
}

std::optional<std::string> Terminal::tmux(const std::vector<std::string>& args) const
{
    std::vector<std::string> argv = { "tmux", "-u", "-L", socket_, "-f", configPath_ };
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output;
    std::string errorPath = directory_ + "/tmux.err";
    int status = runCollecting(argv, errorPath, output);
    if (status != 0) {
        error_ = "tmux " + (args.empty() ? std::string() : args.front()) + " failed (" + std::to_string(status)
            + "): " + readFile(errorPath).value_or("");
        return std::nullopt;
    }
    return output;
}

bool Terminal::start(const std::string& program, const std::vector<std::string>& args, const TerminalOptions& options)
{
    if (started_ || directory_.empty()) {
        error_ = started_ ? "terminal already started" : "no temporary directory";
        return false;
    }
    {
        std::ofstream config(configPath_);
        config << "set -g status off\n"
               << "set -g history-limit 100\n"
               << "set -g default-terminal " << shellQuote(options.terminalType) << "\n";
        if (!config) {
            error_ = "cannot write " + configPath_;
            return false;
        }
    }
    lines_ = options.lines;

    // Runs after the program: records the modes it left and its status (the
    // status last, so that the modes are there once the status is), then
    // keeps the terminal open so that the last screen stays readable. The
    // hold is bounded, so a test that dies before its destructor runs leaves
    // no tmux server behind for long.
    std::string wrapper;
    if (!options.standardErrorPath.empty())
        wrapper += "exec 2>>" + shellQuote(options.standardErrorPath) + "\n";
    wrapper += "\"$@\"\nstatus=$?\nPATH=/usr/bin:/bin\n";
    wrapper += "stty -a >" + shellQuote(modesPath_ + ".tmp") + " 2>&1\n";
    wrapper += "mv " + shellQuote(modesPath_ + ".tmp") + " " + shellQuote(modesPath_) + "\n";
    wrapper += "echo $status >" + shellQuote(statusPath_ + ".tmp") + "\n";
    wrapper += "mv " + shellQuote(statusPath_ + ".tmp") + " " + shellQuote(statusPath_) + "\n";
    wrapper += "exec sleep " + std::to_string(HOLD_AFTER_EXIT_SECONDS) + "\n";

    std::vector<std::string> command = { "new-session", "-d", "-s", SESSION, "-x", std::to_string(options.columns),
        "-y", std::to_string(options.lines) };
    if (!options.workingDirectory.empty()) {
        command.push_back("-c");
        command.push_back(options.workingDirectory);
    }
    command.insert(command.end(), { "--", "env", "-i" });
    for (const std::string& entry : options.environment) {
        if (!entry.starts_with("TERM="))
            command.push_back(entry);
    }
    command.push_back("TERM=" + options.terminalType);
    command.insert(command.end(), { "/bin/sh", "-c", wrapper, "sh" });
    command.insert(command.end(), options.prefix.begin(), options.prefix.end());
    command.push_back(program);
    command.insert(command.end(), args.begin(), args.end());

    if (!tmux(command))
        return false;
    started_ = true;
    std::optional<std::string> pane = tmux({ "display-message", "-p", "-t", SESSION, "#{pane_pid} #{socket_path}" });
    if (pane) {
        std::istringstream fields(*pane);
        fields >> panePid_;
        std::getline(fields >> std::ws, socketPath_);
    }
    return true;
}

bool Terminal::sendKeys(const std::vector<std::string>& keys)
{
    std::vector<std::string> command = { "send-keys", "-t", SESSION };
    command.insert(command.end(), keys.begin(), keys.end());
    return tmux(command).has_value();
}

bool Terminal::typeText(std::string_view text)
{
    return tmux({ "send-keys", "-t", SESSION, "-l", std::string(text) }).has_value();
}

std::vector<std::string> Terminal::screen() const
{
    std::vector<std::string> lines = linesOf(tmux({ "capture-pane", "-p", "-t", SESSION }).value_or(""));
    lines.resize(static_cast<size_t>(lines_));
    return lines;
}

std::string Terminal::row(int row) const
{
    std::vector<std::string> lines = screen();
    if (row < 0 || row >= static_cast<int>(lines.size()))
        return {};
    return lines[static_cast<size_t>(row)];
}

std::string Terminal::textAt(int row, int column, int length) const
{
    return textAt(screen(), row, column, length);
}

std::string Terminal::textAt(const std::vector<std::string>& screen, int row, int column, int length)
{
    if (row < 0 || row >= static_cast<int>(screen.size()))
        return {};
    const std::string& line = screen[static_cast<size_t>(row)];
    size_t start = byteOffsetOfColumn(line, column);
    if (length < 0)
        return line.substr(start);
    return line.substr(start, byteOffsetOfColumn(line, column + length) - start);
}

std::string Terminal::styledScreen() const
{
    return tmux({ "capture-pane", "-p", "-e", "-t", SESSION }).value_or("");
}

ScreenPosition Terminal::find(std::string_view text) const
{
    return find(screen(), text);
}

ScreenPosition Terminal::find(const std::vector<std::string>& lines, std::string_view text)
{
    for (size_t index = 0; index < lines.size(); ++index) {
        size_t offset = lines[index].find(text);
        if (offset != std::string::npos)
            return { static_cast<int>(index), characterCount(std::string_view(lines[index]).substr(0, offset)) };
    }
    return {};
}

std::string Terminal::dump() const
{
    std::string text = "screen:\n";
    std::vector<std::string> lines = screen();
    for (size_t index = 0; index < lines.size(); ++index) {
        text += (index < 10 ? " " : "") + std::to_string(index) + "|" + lines[index] + "\n";
    }
    return text;
}

bool Terminal::waitUntil(
    const std::function<bool(const std::vector<std::string>&)>& condition, std::chrono::milliseconds limit) const
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition(screen()))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
}

bool Terminal::waitForText(std::string_view text, std::chrono::milliseconds limit) const
{
    return waitUntil([text](const std::vector<std::string>& lines) { return anyLineHolds(lines, text); }, limit);
}

bool Terminal::waitForTextGone(std::string_view text, std::chrono::milliseconds limit) const
{
    return waitUntil([text](const std::vector<std::string>& lines) { return !anyLineHolds(lines, text); }, limit);
}

std::optional<int> Terminal::exitStatus() const
{
    std::optional<std::string> text = readFile(statusPath_);
    if (!text || text->empty())
        return std::nullopt;
    return std::atoi(text->c_str());
}

std::optional<int> Terminal::waitForExit(std::chrono::milliseconds limit) const
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (std::optional<int> status = exitStatus())
            return status;
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
}

std::string Terminal::terminalModesAfterExit() const
{
    if (!exitStatus())
        return {};
    return readFile(modesPath_).value_or("");
}

std::string Terminal::paneFormat(const std::string& format) const
{
    std::string value = tmux({ "display-message", "-p", "-t", SESSION, format }).value_or("");
    while (!value.empty() && value.back() == '\n')
        value.pop_back();
    return value;
}
