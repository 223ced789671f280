#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace plat {

struct ProgramRun {
    bool started = false;   // the program could be started
    bool timedOut = false;  // its output or the program itself did not end in time: the group was killed
    int exitStatus = -1;    // its exit code when it ended by itself, else -1
    std::string output;     // what it wrote to its standard output, up to the size limit
};

// Runs a program (no shell; argv[0] is the path) with its standard output captured and standard
// input from /dev/null, in a process group of its own. Waits at most `timeLimit` for the output
// to end and the program to exit; past that the group is killed. The child is reaped in every
// case. Output beyond `maxOutput` bytes is read and dropped.
ProgramRun runProgram(const std::string& path, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeLimit, size_t maxOutput = 1 << 20);

}  // namespace plat
