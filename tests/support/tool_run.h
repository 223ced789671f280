#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace gctest {

// What a program run for a test did: its exit status (-1 when it did not exit by itself in
// time, or could not start) and everything it wrote.
struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
    std::string terminal;  // what it wrote on its terminal (runToolOnTerminal)
};

// A program run for a test with its standard input given up front and both output streams
// captured; the test may read its output line by line while it runs. Killed when the object
// goes while it still runs.
class ToolProcess {
public:
    ToolProcess() = default;
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // `input` goes to its standard input, which is then closed.
    bool start(const std::vector<std::string>& argv, const std::string& input = "");
    // The next line of its standard output (without the newline); nullopt at its end or after
    // `limit`.
    std::optional<std::string> readLine(std::chrono::milliseconds limit);
    // Waits for its end (killing it past `limit`); the whole output, the lines read included.
    ToolRun finish(std::chrono::milliseconds limit = std::chrono::seconds(60));
    pid_t pid() const { return pid_; }

private:
    // Reads what is there within `limit`; false once both streams ended.
    bool pump(std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    ToolRun run_;
    size_t lineStart_ = 0;  // of run_.out: where the next readLine begins
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

}  // namespace gctest
