#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace gctest {

// What a program run for a test did: its exit status (-1 when it did not exit by itself in
// time, or could not start) and everything it wrote.
struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end: `input` on its standard input (then closed), both output streams
// captured. Past `limit` the program is killed.
ToolRun runTool(const std::vector<std::string>& argv, const std::string& input = "",
                std::chrono::milliseconds limit = std::chrono::seconds(60));

}  // namespace gctest
