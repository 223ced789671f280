#include "logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/env_guard.h"
#include "support/temp_dir.h"

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

// Every mask bit but the byte buffers' own trace, which would interleave with the lines under test.
constexpr unsigned long long kAllButBytes = ~0ULL & ~static_cast<unsigned long long>(gc_log::kBytes);

// The release pattern's prefix: time stamp, then process and thread.
const std::string kPrefix = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}\]  \[pid: *\d+\]\[tid: *\d+\]     )";

// Replaces the process-wide logger for one test and puts the old one back afterwards.
class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (installed_) GC_Logger::installForTesting(previous_);
    }

    // A logger made the way the library makes it, with $HOME pointing at `home`.
    void installDefault(const std::string& home) {
        gctest::EnvGuard env("HOME", home);
        install(std::make_shared<GC_Logger>());
    }

    void install(std::shared_ptr<GC_Logger> logger) {
        auto old = GC_Logger::installForTesting(std::move(logger));
        if (!installed_) previous_ = old;
        installed_ = true;
    }

    // The lines of a log file after the release prefix, each checked to carry that prefix.
    std::vector<std::string> releaseMessages(const std::string& file) {
        std::vector<std::string> out;
        std::regex prefix("^" + kPrefix);
        for (const auto& line : lines(gctest::readFile(file))) {
            std::smatch m;
            EXPECT_TRUE(std::regex_search(line, m, prefix)) << line;
            out.push_back(m.suffix());
        }
        return out;
    }

    gctest::TempDir dir_;
    std::shared_ptr<GC_Logger> previous_;
    bool installed_ = false;
};

std::string header(const std::string& funcAndLine) {
    return funcAndLine + std::string(60 - funcAndLine.size(), ' ');
}

TEST_F(LoggerTest, ReleaseLinesInContainerLogDirectory) {
    const std::string home = dir_.path() + "/Containers/ext";
    const std::string logs = dir_.makeDirs("Containers/ext/Documents/logs");
    installDefault(home);
    ASSERT_EQ(GC_Logger::get()->logFilePath(), logs + "/spdlog.log");

    GC_LoggerC::call1("read", "Controller/controller", 3099, gc_log::kController);
    GC_LoggerC::log("read", "Controller/controller", 3100, gc_log::kDetail, "detail is off in release");
    GC_LoggerC::log("read", "Controller/controller", 3101, gc_log::kMessage, "100% done %s");
    GC_LoggerC::logf("read", "Controller/controller", 3102, gc_log::kController, "%s=%d", "x", 7);
    GC_LoggerC::ret1("read", "Controller/controller", 3103, gc_log::kAsn1, -1);      // family off
    GC_LoggerC::ret1("read", "Controller/controller", 3104, gc_log::kError, -1701);  // error lines always
    GC_LoggerC::retPtr("get", "factory", 12, true, gc_log::kFactory);
    GC_LoggerC::ret2("f", "scdl", 1, gc_log::kScdl, 3, "family off");
    GC_LoggerC::ret2f("g", "x", 20, gc_log::kError, -2, "code %i", 5);
    GC_LoggerC::end2f("h", "x", 21, gc_log::kError, "left %s", "early");
    GC_LoggerC::ret2f("g", "x", 22, gc_log::kAsn1, -2, "family off %i", 6);

    auto got = releaseMessages(logs + "/spdlog.log");
    std::vector<std::string> want = {
        header("read:3099") + " : called",
        header("read:3101") + " : 100% done %s",
        header("read:3102") + " : x=7",
        header("read:3104") + " : returning with: -1701",
        header("get:12") + " : returning nullptr",
        header("g:20") + " : code 5",
        header("g:20") + " : returning with: -2",
        header("h:21") + " : left early",
        header("h:21") + " : end",
    };
    EXPECT_EQ(got, want);
}

TEST_F(LoggerTest, ExplicitContainerPathAndExistingFileIsAppended) {
    const std::string logs = dir_.makeDirs("Library/Containers/org.gctoken.extension/Data/Documents/logs");
    ASSERT_TRUE(gctest::writeFile(logs + "/spdlog.log", "old line\n"));
    installDefault(dir_.path());
    GC_LoggerC::log("f", "x", 1, gc_log::kMessage, "new line");
    auto all = lines(gctest::readFile(logs + "/spdlog.log"));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0], "old line");
    EXPECT_NE(all[1].find(" : new line"), std::string::npos);
}

TEST_F(LoggerTest, NoLogDirectoryMeansNoFileEver) {
    dir_.makeDirs("Containers/ext/Documents");
    installDefault(dir_.path() + "/Containers/ext");
    EXPECT_EQ(GC_Logger::get()->init(), -2);
    GC_LoggerC::log("f", "x", 1, gc_log::kMessage, "lost");
    // Created later: still not noticed, the directory is fixed when the logger is made.
    const std::string logs = dir_.makeDirs("Containers/ext/Documents/logs");
    GC_LoggerC::log("f", "x", 2, gc_log::kMessage, "lost too");
    struct stat st {};
    EXPECT_NE(stat((logs + "/spdlog.log").c_str(), &st), 0);
}

TEST_F(LoggerTest, PlainFileInPlaceOfLogDirectoryCountsAsMissing) {
    dir_.makeDirs("Containers/ext/Documents");
    ASSERT_TRUE(gctest::writeFile(dir_.path() + "/Containers/ext/Documents/logs", "not a directory"));
    gctest::EnvGuard env("HOME", dir_.path() + "/Containers/ext");
    EXPECT_EQ(mac_log_dir(), "");
    EXPECT_EQ(mac_setting_file("config.conf"), dir_.path() + "/Containers/ext/Documents/config.conf");
}

// Bare lines: no time stamp or thread, so the layout can be compared whole.
std::vector<std::string> bareLines(const std::string& file) {
    std::vector<std::string> out;
    for (const auto& line : lines(gctest::readFile(file))) out.push_back(line);
    return out;
}

TEST_F(LoggerTest, DumpsWithDetailOption) {
    const std::string logs = dir_.makeDirs("logs");
    install(std::make_shared<GC_Logger>(logs + "/", GC_Logger::kOptionDebugLevel, kAllButBytes));

    std::vector<unsigned char> apdu(17);
    for (size_t i = 0; i < apdu.size(); ++i) apdu[i] = static_cast<unsigned char>(0x41 + i);
    apdu[1] = 0x00;
    GC_LoggerC::apdu("t", 1, gc_log::kApdu, apdu, false, false, true);
    std::vector<unsigned char> file33(33, 0x30);
    GC_LoggerC::file("rd", 2, 0x12, {0x50, 0x31}, 4, file33, false);
    GC_LoggerC::file("rd", 3, 0x12, std::vector<unsigned char>{0x01, 0x1C}, 0, std::vector<unsigned char>(32, 0x30),
                     false);
    GC_LoggerC::logHex("hx", 4, gc_log::kMessage, {}, true, true);

    const std::string d = "DEBUG LEVEL | ";
    const std::string h1 = d + header("t:1") + " : ";
    const std::string h2 = d + header("rd:2") + " : ";
    const std::string h3 = d + header("rd:3") + " : ";
    std::string hex16 = "30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 ";
    auto padded = [](std::string s) { return "     " + s + std::string(50 - s.size(), ' '); };
    std::vector<std::string> want = {
        h1 + " ==> Send APDU | UNPROTECTED | len: 17",
        h1 + "     CLA: 41 | INS: 00 | P1: 43 | P2: 44",
        h1 + padded("41 00 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 ") + " | A.CDEFGHIJKLMNOP",
        h1 + padded("51 ") + " | Q",
        h2 + "Read file: 5031 | size: 33 | idx: 4",
        h2 + padded(hex16),
        h2 + padded(hex16),
        h2 + "     .....",
        h3 + "Read file: 011C | size: 32 | idx: 0",
        h3 + padded(hex16),
        h3 + padded(hex16),
    };
    EXPECT_EQ(bareLines(logs + "/spdlog.log"), want);
}

// The PIN of a plain VERIFY, CHANGE REFERENCE DATA or RESET RETRY COUNTER never reaches the dump;
// other commands, and protected ones (their data is a cryptogram), are dumped whole.
TEST_F(LoggerTest, PinCommandsAreDumpedWithoutTheirData) {
    const std::string logs = dir_.makeDirs("logs");
    install(std::make_shared<GC_Logger>(logs + "/", GC_Logger::kOptionDebugLevel, kAllButBytes));
    const std::string pin = "31 32 33 34 35 36 ";
    for (unsigned char ins : {0x20, 0x24, 0x2C}) {
        GC_LoggerC::apdu("t", 1, gc_log::kApdu, {0x00, ins, 0x00, 0x81, 0x06, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36},
                         false, false, true);
    }
    const std::string text = gctest::readFile(logs + "/spdlog.log");
    EXPECT_EQ(text.find(pin), std::string::npos);
    EXPECT_EQ(text.find("123456"), std::string::npos);
    EXPECT_NE(text.find("00 2C 00 81 06 "), std::string::npos);

    GC_LoggerC::apdu("t", 2, gc_log::kApdu, {0x0C, 0x20, 0x00, 0x81, 0x06, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36}, false,
                     true, false);
    GC_LoggerC::apdu("t", 3, gc_log::kApdu, {0x00, 0xD6, 0x00, 0x00, 0x06, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36}, false,
                     false, false);
    const std::string all = gctest::readFile(logs + "/spdlog.log");
    EXPECT_NE(all.find("0C 20 00 81 06 " + pin), std::string::npos);
    EXPECT_NE(all.find("00 D6 00 00 06 " + pin), std::string::npos);
}

TEST_F(LoggerTest, LevelPrefixAndSourcePathHeaders) {
    const std::string logs = dir_.makeDirs("logs");
    install(std::make_shared<GC_Logger>(logs + "/", GC_Logger::kOptionLevelPrefix, kAllButBytes));
    GC_LoggerC::log("fn", "asn1", 9, 0x1001, "m");
    std::string longName(80, 'n');
    GC_LoggerC::log(longName.c_str(), "asn1", 12345, 0x1, "cut");
    install(std::make_shared<GC_Logger>(logs + "/", GC_Logger::kOptionSourcePath, kAllButBytes));
    GC_LoggerC::log("fn", "Data/bytes", 9, 0x1, "p");

    auto got = bareLines(logs + "/spdlog.log");
    ASSERT_EQ(got.size(), 3u);
    const std::string prefix = "LEVEL: 4097      | ";
    EXPECT_EQ(got[0], prefix + header("fn:9") + " : m");
    const std::string prefix1 = "LEVEL: 1         | ";
    // A header is cut to 59 characters and stays in its 60-column field.
    EXPECT_EQ(got[1], prefix1 + longName.substr(0, 59) + "  : cut");
    std::string pathHeader = "Data/bytes:fn:9";
    EXPECT_EQ(got[2], pathHeader + std::string(125 - pathHeader.size(), ' ') + " : p");
}

TEST_F(LoggerTest, LongMessagesAreCutToOneLine) {
    const std::string logs = dir_.makeDirs("logs");
    install(std::make_shared<GC_Logger>(logs + "/", 0, kAllButBytes));
    std::string longText(6000, 'x');
    GC_LoggerC::log("f", "x", 1, 1, longText.c_str());
    GC_LoggerC::logf("f", "x", 1, 1, "%s", longText.c_str());
    auto got = bareLines(logs + "/spdlog.log");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), 4999u);
    EXPECT_EQ(got[1].size(), 4999u);
}

}  // namespace
