// Programs run for tests. Nothing here links the driver: the simulator's helpers use it too.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace gctest {

// What a program run for a test did: its exit status (-1 when it did not exit by itself in time,
// or could not start) and everything it wrote.
struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
    std::string terminal;  // what it wrote on its terminal (runToolOnTerminal)
};

// A program run for a test: its standard input given up front, its standard output and error kept
// in files in memory (a program that writes much is never held up by a test that does not read),
// the output readable line by line while it runs. It gets SIGKILL when the thread that started it ends, so a
// test program that crashes leaves no process behind, and it is stopped when the object goes.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is searched in PATH unless it has a slash. `input` goes to its standard input, which is
    // then closed. With `terminal` (a pseudo-terminal's end) it runs in a session of its own with
    // that terminal as its controlling terminal.
    bool start(const std::vector<std::string>& argv, std::string* error = nullptr, const std::string& input = "",
               int terminal = -1);
    // The next line of its standard output, without the newline; nullopt at its end or after `limit`.
    std::optional<std::string> readLine(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits for its end, with SIGKILL past `limit`: its exit status and its whole output.
    ToolRun finish(std::chrono::milliseconds limit = std::chrono::seconds(60));
    // SIGTERM, then SIGKILL when it has not ended within 20 seconds; its exit status.
    int stop();
    bool running();
    pid_t pid() const { return pid_; }
    // What it wrote so far on standard output and standard error.
    std::string output() const;

private:
    // Whether it still runs after `limit` at most (the wait ends when it does).
    bool runningAfter(std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int ended_ = -1;  // readable once it has ended (a pidfd)
    int status_ = -1;
    int out_ = -1;
    int err_ = -1;
    size_t lineStart_ = 0;  // of its standard output: where the next readLine begins
};

// Runs a program to its end: `input` on its standard input (then closed), both output streams
// captured. Past `limit` the program is killed.
ToolRun runTool(const std::vector<std::string>& argv, const std::string& input = "",
                std::chrono::milliseconds limit = std::chrono::seconds(60));

// Runs a program with a terminal of its own (a pseudo-terminal as its controlling terminal, its
// standard input empty): once it has written `prompt` on the terminal, `answer` is typed there.
// Without the prompt within `limit`, nothing is typed and the program is killed.
ToolRun runToolOnTerminal(const std::vector<std::string>& argv, const std::string& prompt, const std::string& answer,
                          std::chrono::milliseconds limit = std::chrono::seconds(60));

// A dbus-daemon of the test's own, listening on a socket in a fresh directory (a path socket, so
// it also works inside private network namespaces). Stopped by PID.
class PrivateBus {
public:
    bool start(std::string* error);
    void stop() { daemon_.stop(); }
    // The address clients connect to ("unix:path=...,guid=...").
    const std::string& address() const { return address_; }

private:
    TempDir dir_;
    ChildProcess daemon_;
    std::string address_;
};

}  // namespace gctest
