// Which PC/SC library a reader object loads. GC_PCSC_LIBRARY is a test and diagnostic override
// for a driver that runs inside other processes: taken only as an absolute path, never in a
// set-user-ID or set-group-ID process, and the library loaded is named in the log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "Reader/readerpcsc.h"
#include "logger.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

namespace {

// The probe's verdict, started through the shell from `dir` with `env` in front of it.
std::string probe(const std::string& program, const std::string& dir, const std::string& env) {
    const std::string command =
        "cd '" + dir + "' && " + env + " '" + program + "' '" + FAKEPCSC_LIBRARY + "' 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return "cannot start";
    char line[64] = {};
    if (fgets(line, sizeof line, pipe.get()) == nullptr) return "no answer";
    std::string answer(line);
    if (!answer.empty() && answer.back() == '\n') answer.pop_back();
    return answer;
}

const std::string kFakeDir = std::filesystem::path(FAKEPCSC_LIBRARY).parent_path();
const std::string kFakeName = std::filesystem::path(FAKEPCSC_LIBRARY).filename();

TEST(PcscLibrary, OnlyAnAbsolutePathIsTaken) {
    EXPECT_EQ(probe(PCSC_PROBE, "/", std::string("GC_PCSC_LIBRARY=") + FAKEPCSC_LIBRARY), "secure=0 loaded=1");
    // A relative path or a bare name would be looked for: the system's library is loaded instead.
    EXPECT_EQ(probe(PCSC_PROBE, kFakeDir, "GC_PCSC_LIBRARY=./" + kFakeName), "secure=0 loaded=0");
    EXPECT_EQ(probe(PCSC_PROBE, kFakeDir, "LD_LIBRARY_PATH=. GC_PCSC_LIBRARY=" + kFakeName), "secure=0 loaded=0");
}

TEST(PcscLibrary, SetGroupIdProcessesIgnoreTheOverride) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-group-ID program";
    gctest::TempDir dir;
    const std::string program = dir.path() + "/probe";
    std::filesystem::copy_file(PCSC_PROBE, program);
    ASSERT_EQ(chown(program.c_str(), 0, 65534), 0);
    ASSERT_EQ(chmod(program.c_str(), 02755), 0);
    const std::string answer = probe(program, "/", std::string("GC_PCSC_LIBRARY=") + FAKEPCSC_LIBRARY);
    if (answer == "secure=0 loaded=1") GTEST_SKIP() << "the file system ignores set-group-ID bits";
    EXPECT_EQ(answer, "secure=1 loaded=0");
}

TEST(PcscLibrary, TheLibraryLoadedIsNamedInTheReleaseLog) {
    gctest::TempDir dir;
    const std::string logs = dir.makeDirs("logs");
    auto previous = GC_Logger::installForTesting(
        std::make_shared<GC_Logger>(logs + "/", gc_log::kReleaseOptions, gc_log::kReleaseLevelMask));
    {
        gctest::EnvGuard env("GC_PCSC_LIBRARY", FAKEPCSC_LIBRARY);
        GC_ReaderPCSC reader;
    }
    {
        gctest::EnvGuard env("GC_PCSC_LIBRARY", kFakeName);
        GC_ReaderPCSC reader;
    }
    GC_Logger::installForTesting(previous);
    const std::string log = gctest::readFile(logs + "/spdlog.log");
    EXPECT_NE(log.find(std::string(" : PC/SC library: ") + FAKEPCSC_LIBRARY + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" : GC_PCSC_LIBRARY is not an absolute path, ignored: " + kFakeName + "\n"), std::string::npos)
        << log;
}

}  // namespace
