// Drives a program in a real terminal: a detached tmux session of a given
// size, keys sent as a keyboard would send them, and the screen read back as
// text. For tests of full-screen programs (the choice menu, the termsetup and
// serversetup menus).
//
// Each Terminal runs its own tmux server on its own socket (tmux -L with a
// name unique to the process and the object), so tests running in parallel
// never see each other's sessions; the destructor ends the program and the
// server. Nothing of the tester's tmux configuration is read.
//
// Typical use:
//
//     Sandbox box;                          // environment, stub tools, root
//     Terminal terminal;
//     TerminalOptions options;
//     options.environment = box.environment();
//     ASSERT_TRUE(terminal.start(Sandbox::programPath("termsetup"), {}, options)) << terminal.error();
//     ASSERT_TRUE(terminal.waitForText("Set Terminal Role")) << terminal.dump();
//     terminal.sendKeys({"Down", "Enter"});
//     std::optional<int> status = terminal.waitForExit(std::chrono::seconds(10));
//
// The program runs as: env -i <environment> TERM=<terminalType> /bin/sh -c
// <wrapper> <prefix...> <program> <args...>. The wrapper waits for the
// program, records its exit status and the terminal modes ("stty -a") it
// left behind, and then keeps the terminal open for five minutes, so the
// last screen stays readable after the program has ended.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct TerminalOptions {
    int columns = 80;
    int lines = 25;
    // TERM inside the terminal, whatever the environment says. "screen" is
    // what tmux emulates; "xterm" adds the keypad Enter key (KEY_ENTER).
    std::string terminalType = "screen";
    // The program's whole environment, "NAME=value" texts (for example
    // Sandbox::environment()); nothing else is inherited except TERM.
    std::vector<std::string> environment;
    // Working directory of the program; empty: the test's own.
    std::string workingDirectory;
    // Words put in front of the program, for example {"unshare", "-Ur", "--"}.
    std::vector<std::string> prefix;
    // File that receives the program's standard error; empty: the terminal.
    std::string standardErrorPath;
};

// A position on the screen; column counts characters (not bytes).
struct ScreenPosition {
    int row = -1;
    int column = -1;
};

class Terminal
{
public:
    static constexpr std::chrono::milliseconds DEFAULT_WAIT { 5000 };

    Terminal();
    // Ends the program (SIGKILL to its process group) and the tmux server,
    // and removes the server's socket and the temporary directory.
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Whether tmux can be run at all (tests skip otherwise).
    static bool available();

    // Starts program with args in a new terminal; false (see error()) when
    // tmux could not start it. Call once per Terminal.
    bool start(
        const std::string& program, const std::vector<std::string>& args = {}, const TerminalOptions& options = {});

    // Sends keys by their tmux names, one after the other: "Down", "Up",
    // "NPage", "PPage", "Enter" (carriage return), "C-j" (line feed),
    // "KPEnter" (keypad Enter), "Escape", or a single character such as "5".
    bool sendKeys(const std::vector<std::string>& keys);
    // Types text literally, byte for byte, in one write.
    bool typeText(std::string_view text);

    // The visible screen, one text per row (exactly `lines` rows), trailing
    // blanks removed. Line-drawing characters come back as UTF-8 box characters.
    std::vector<std::string> screen() const;
    // One row of screen(); empty outside the screen.
    std::string row(int row) const;
    // The characters of a row from column on (length characters, or up to the
    // end of the row when length is negative).
    std::string textAt(int row, int column, int length = -1) const;
    // find() and textAt() on a screen already read (one capture for several
    // looks, for example inside a waitUntil() condition).
    static ScreenPosition find(const std::vector<std::string>& screen, std::string_view text);
    static std::string textAt(const std::vector<std::string>& screen, int row, int column, int length = -1);
    // The screen with the escape sequences of its attributes (bold is
    // "\033[1m"), for tests of highlighting.
    std::string styledScreen() const;
    // Where text first appears on the screen (top to bottom, left to right);
    // row -1 when it does not.
    ScreenPosition find(std::string_view text) const;
    // The screen with row numbers, for failure messages.
    std::string dump() const;

    // Polls the screen until text appears; false after the time limit.
    bool waitForText(std::string_view text, std::chrono::milliseconds limit = DEFAULT_WAIT) const;
    // Polls the screen until text is gone; false after the time limit.
    bool waitForTextGone(std::string_view text, std::chrono::milliseconds limit = DEFAULT_WAIT) const;
    // Polls the screen until condition holds; false after the time limit.
    bool waitUntil(const std::function<bool(const std::vector<std::string>&)>& condition,
        std::chrono::milliseconds limit = DEFAULT_WAIT) const;

    // The program's exit status once it has ended (as the shell sees it: a
    // program ended by signal N gives 128 + N); empty while it runs.
    std::optional<int> exitStatus() const;
    // Waits for the end of the program; its exit status, or empty after the
    // time limit.
    std::optional<int> waitForExit(std::chrono::milliseconds limit = DEFAULT_WAIT) const;
    // "stty -a" of the terminal right after the program ended ("" before);
    // a program that restored the terminal leaves "icanon" and "echo" on.
    std::string terminalModesAfterExit() const;
    // A tmux format of the pane, for example "#{alternate_on}" (1 while the
    // program uses the alternate screen), "#{cursor_flag}" (1 when the cursor
    // is visible) or "#{keypad_flag}" (1 while keypad application mode is on).
    std::string paneFormat(const std::string& format) const;

    // Why the last tmux command failed.
    const std::string& error() const { return error_; }

private:
    // Runs tmux with the private socket; its standard output, or empty when
    // it fails (error_ then says why).
    std::optional<std::string> tmux(const std::vector<std::string>& args) const;

    std::string socket_;
    std::string socketPath_;
    std::string directory_;
    std::string configPath_;
    std::string statusPath_;
    std::string modesPath_;
    pid_t panePid_ = -1;
    int lines_ = 0;
    bool started_ = false;
    mutable std::string error_;
};
