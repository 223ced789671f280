#include "settings.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include <string>

#include "support/env_guard.h"
#include "support/temp_dir.h"

namespace {

class SettingsTest : public ::testing::Test {
protected:
    SettingsTest()
        : documents_(dir_.makeDirs("Containers/ext/Documents")), home_("HOME", dir_.path() + "/Containers/ext") {}

    std::string file() const { return documents_ + "/config.conf"; }
    std::string content() const { return gctest::readFile(file()); }
    void setContent(const std::string& text) const { ASSERT_TRUE(gctest::writeFile(file(), text)); }
    std::string value(const char* key) const {
        std::vector<char> v;
        return GC_Settings::get("", key, v) == 0 ? std::string(v.begin(), v.end()) : "<absent>";
    }

    gctest::TempDir dir_;
    std::string documents_;
    gctest::EnvGuard home_;
};

TEST(SettingsReaderKey, IsTheNameBeforeItsLastBlank) {
    auto key = [](const char* name) {
        GC_Bytes k = GC_Settings::readerKey(name);
        return std::string(k.begin(), k.end());
    };
    EXPECT_EQ(key("Reader"), "Reader");
    EXPECT_EQ(key("Card Reader 01"), "Card Reader");
    EXPECT_EQ(key("Card Reader "), "Card Reader");
    EXPECT_EQ(key(" Reader"), "");
    EXPECT_EQ(key(""), "");
}

TEST_F(SettingsTest, StoredFormsOfTheMaximumApduSize) {
    struct Case {
        int size;
        bool extended;
        const char* stored;
    } cases[] = {
        // clang-format off
        {2147483647, false, "E"},
        {254, true, "E"},
        {255, true, "E:255"},
        {255, false, "255"},
        {256, false, "E:256"},
        {1024, true, "E:1024"},
        {200, false, "200"},
        {0, false, "0"},
        {-5, true, "E"},
        {-5, false, "-5"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        unlink(file().c_str());
        EXPECT_EQ(GC_Settings::setReaderMaxAPDUSize("Card Reader 01", c.size, c.extended), 0);
        EXPECT_EQ(content(), std::string("Card Reader=") + c.stored + "\n");
    }
}

TEST_F(SettingsTest, FirstStoredSizeIsNeverOverwritten) {
    GC_Settings::setReaderMaxAPDUSize("Card Reader 01", 512, false);
    const std::string before = content();
    GC_Settings::setReaderMaxAPDUSize("Card Reader 02", 200, false);
    GC_Settings::setReaderMaxAPDUSize("Card Reader 01", 2147483647, true);
    GC_Settings::setReaderMaxAPDUSize("Card Reader 01", 512, false);
    EXPECT_EQ(content(), before);
    EXPECT_EQ(GC_Settings::getReaderMaxAPDUSize("Card Reader 77"), 512);
}

TEST_F(SettingsTest, ReadingTheStoredSize) {
    struct Case {
        const char* stored;
        int size;
    } cases[] = {{"E", 2147483647},
                 {"E:1024", 1024},
                 {"E:", 0},
                 {"512", 512},
                 {"", 0},
                 {"abc", 0},
                 {" 42", 42},
                 {"EX", 2147483647},
                 {"E:12x", 12},
                 {"1E", 2147483647},
                 {"99999999999", 2147483647}};
    EXPECT_EQ(GC_Settings::getReaderMaxAPDUSize("Reader X"), -1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        setContent(std::string("Reader=") + c.stored + "\n");
        EXPECT_EQ(GC_Settings::getReaderMaxAPDUSize("Reader X"), c.size);
    }
}

TEST_F(SettingsTest, ReadingRulesAndRewrite) {
    setContent("a=1\nno equals here\nk = v \r\nx==y\na=2\n");
    EXPECT_EQ(value("a"), "1");
    EXPECT_EQ(value("k "), " v");
    EXPECT_EQ(value("x"), "=y");
    EXPECT_EQ(GC_Settings::set("", "b", "3"), 0);
    EXPECT_EQ(content(), "a=1\nb=3\nk = v\nx==y\n");

    std::vector<char> v{'>'};
    EXPECT_EQ(GC_Settings::get("", "b", v), 0);
    EXPECT_EQ(std::string(v.begin(), v.end()), ">3");
    EXPECT_EQ(GC_Settings::get("", "missing", v), -2);
}

TEST_F(SettingsTest, KeysAreWrittenInByteOrder) {
    GC_Settings::set("", "b", "1");
    GC_Settings::set("", "a", "2");
    GC_Settings::set("", "B", "3");
    EXPECT_EQ(content(), "B=3\na=2\nb=1\n");
}

TEST_F(SettingsTest, LongLinesReadAsSeveralPieces) {
    std::string line = "k=" + std::string(398, 'v');   // 400 bytes before the line feed
    std::string second = "z=" + std::string(99, 'w');  // where the second piece starts, 299 bytes in
    line.replace(299, second.size(), second);
    setContent(line + "\n");
    EXPECT_EQ(value("k"), line.substr(2, 297));
    EXPECT_EQ(value("z"), std::string(99, 'w'));
}

TEST_F(SettingsTest, MissingDocumentsDirectory) {
    gctest::EnvGuard elsewhere("HOME", dir_.path() + "/Containers/none");
    EXPECT_EQ(GC_Settings::getReaderMaxAPDUSize("Reader 1"), -1);
    GC_Settings::entries all;
    EXPECT_EQ(GC_Settings::getAll("", all), -1);
    EXPECT_EQ(GC_Settings::setReaderMaxAPDUSize("Reader 1", 512, false), 0);
    EXPECT_EQ(GC_Settings::set("", "a", "1"), -1);
}

TEST_F(SettingsTest, FailedWriteKeepsTheOldFile) {
    setContent("a=1\n");
    // A file-size limit makes the rewrite fail part-way, even for root.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = old;
    tiny.rlim_cur = 6;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const int result = GC_Settings::set("", "b", "2");
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(result, -1);
    EXPECT_EQ(content(), "a=1\n");
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(documents_)) ++files;
    EXPECT_EQ(files, 1u) << "the half-written temporary file must be gone";
    EXPECT_EQ(GC_Settings::set("", "b", "2"), 0);
    EXPECT_EQ(content(), "a=1\nb=2\n");
}

}  // namespace
