#include "platform/run_program.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

// Whether the process still runs (a zombie waiting for its parent counts as ended).
bool running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, command, state;
    if (!(stat >> pidField >> command >> state)) return false;
    return state != "Z" && state != "X";
}

pid_t readPid(const std::string& path) {
    std::ifstream in(path);
    pid_t pid = 0;
    in >> pid;
    return pid;
}

TEST(RunProgram, OutputAndExitStatusCapOnOutputAndMissingProgram) {
    plat::ProgramRun run = plat::runProgram("/bin/sh", {"-c", "printf 'one\\ntwo'; exit 3"}, 5s);
    EXPECT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(run.output, "one\ntwo");

    // Output past the cap is read and dropped, so the program is not left blocked on the pipe.
    run = plat::runProgram("/bin/sh", {"-c", "head -c 200000 /dev/zero"}, 5s, 1000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.output.size(), 1000u);

    run = plat::runProgram("/nonexistent/program", {}, 5s);
    EXPECT_FALSE(run.started);
    EXPECT_TRUE(run.output.empty());
}

TEST(RunProgram, GrandchildHoldingTheOutputIsKilledWithItsGroup) {
    gctest::TempDir dir;
    const std::string script = dir.path() + "/fork";
    // The program ends at once; a process it started keeps the output open and runs on.
    ASSERT_TRUE(gctest::writeExecutable(script, "#!/bin/sh\nsleep 600 &\necho $! > \"$1\"\necho done\n"));

    plat::ProgramRun run = plat::runProgram(script, {dir.path() + "/pid"}, 300ms);
    EXPECT_TRUE(run.timedOut);
    EXPECT_EQ(run.output, "done\n");
    const pid_t grandchild = readPid(dir.path() + "/pid");
    ASSERT_GT(grandchild, 0);
    for (int i = 0; i < 100 && running(grandchild); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(running(grandchild));
}

}  // namespace
