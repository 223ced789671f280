#include <gtest/gtest.h>

#include "cache.h"
#include "codec.h"
#include "hub_companion.h"
#include "platform/dbus_notification_center.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using companion::Message;
using gctest::bytesOf;

constexpr const char* kReader = "Reader A";
constexpr const char* kCompanionBusName = "org.gctoken.CacheServer";  // the test companion's own

// The driver in this process, gc-test-companion in another, on a bus of their own; as in the
// host, the driver believes only the holder of the companion's bus name.
class DBusCompanion {
public:
    bool start(const std::vector<std::string>& companionArgs, std::chrono::milliseconds wait, std::string* error) {
        if (!bus_.start(error)) return false;
        std::vector<std::string> argv = {GC_TEST_COMPANION_PROGRAM, "--bus", bus_.address(), "--log", logPath()};
        argv.insert(argv.end(), companionArgs.begin(), companionArgs.end());
        if (!companion_.start(argv, error)) return false;
        const auto ready = companion_.readLine();
        if (!ready || ready->rfind("ready ", 0) != 0) {
            *error = "the companion did not get ready";
            return false;
        }
        center_ = plat::connectDBusNotificationCenter(bus_.address(), {{GC_Cache::kServiceName, kCompanionBusName}});
        if (center_ == nullptr) {
            *error = "no bus";
            return false;
        }
        plat::NotificationCenter::setDefaultCenter(center_);
        GC_Cache::resetForTesting(wait);
        return true;
    }
    ~DBusCompanion() {
        GC_Cache::resetForTesting();
        plat::NotificationCenter::setDefaultCenter(nullptr);
        center_.reset();
        companion_.stop();
    }

    // The companion's log: one object per frame.
    std::vector<Message> frames() const {
        std::vector<Message> lines;
        const std::string text = gctest::readFile(logPath());
        size_t at = 0;
        for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            if (auto line = companion::parseMessage(text.substr(at, end - at))) lines.push_back(*line);
        }
        return lines;
    }

private:
    std::string logPath() const { return dir_.path() + "/companion.log"; }

    gctest::TempDir dir_;
    gctest::PrivateBus bus_;
    gctest::ChildProcess companion_;
    std::shared_ptr<plat::NotificationCenter> center_;
};

TEST(DBusLink, CacheOperationsBetweenTwoProcesses) {
    DBusCompanion link;
    std::string error;
    ASSERT_TRUE(link.start({"--preseed", kReader, "CAN", "313233343536"}, GC_Cache::kDefaultReplyWait, &error))
        << error;

    Bytes value;
    unsigned long tries = 0;
    ASSERT_EQ(GC_Cache::getPassword(kReader, value), 0);
    EXPECT_EQ(value, bytesOf("123456"));
    ASSERT_EQ(GC_Cache::setTriesLeft(kReader, 0x81, 300), 0);
    ASSERT_EQ(GC_Cache::getTriesLeft(kReader, 0x81, tries), 0);
    EXPECT_EQ(tries, 44u);
    const Bytes file = bytesOf("file </res> bytes");
    ASSERT_EQ(GC_Cache::set(kReader, {0x3F, 0x00}, file, true), 0);
    ASSERT_EQ(GC_Cache::get(kReader, {0x3F, 0x00}, value, true), 0);
    EXPECT_EQ(value, file);
    EXPECT_EQ(GC_Cache::get(kReader, bytesOf("nokey"), value, false), GC_Cache::kNotFound);
    EXPECT_EQ(GC_Cache::clear(kReader), 0);
    EXPECT_EQ(GC_Cache::existPassword(kReader), GC_Cache::kNotFound);

    struct Expected {
        std::string command, key, length, result;
    };
    const Expected expected[] = {
        {.command = "get", .key = "CAN", .length = "6", .result = "hit"},
        {.command = "set", .key = "TRIES129", .length = "1", .result = ""},
        {.command = "get", .key = "TRIES129", .length = "1", .result = "hit"},
        {.command = "set", .key = "3F00", .length = std::to_string(file.size()), .result = ""},
        {.command = "get", .key = "3F00", .length = std::to_string(file.size()), .result = "hit"},
        {.command = "get", .key = "nokey", .length = "0", .result = "miss"},
        {.command = "clr", .key = "", .length = "0", .result = ""},
        {.command = "get", .key = "CAN", .length = "0", .result = "miss"},
    };
    const auto frames = link.frames();
    ASSERT_EQ(frames.size(), std::size(expected) + 1);
    EXPECT_EQ(frames[0].at("kind"), "agree");
    for (size_t i = 0; i < std::size(expected); ++i) {
        const Message& frame = frames[i + 1];
        EXPECT_EQ(frame.at("kind"), "message") << i;
        EXPECT_EQ(frame.at("id"), frames[0].at("id")) << i;
        EXPECT_EQ(frame.at("reader"), kReader) << i;
        EXPECT_EQ(frame.at("command"), expected[i].command) << i;
        EXPECT_EQ(frame.at("key"), expected[i].key) << i;
        EXPECT_EQ(frame.at("length"), expected[i].length) << i;
        EXPECT_EQ(frame.at("result"), expected[i].result) << i;
    }
}

// A message nested a million levels deep on the companion's name, posted before the driver's
// requests on the same connection: the companion reads on and answers them.
TEST(DBusLink, TheCompanionOutlivesADeeplyNestedMessage) {
    DBusCompanion link;
    std::string error;
    // The companion reads it before the key agreement, which may take a while in a sanitizer build.
    ASSERT_TRUE(link.start({"--preseed", kReader, "K", "4B"}, 10s, &error)) << error;
    const std::string nested = "{\"xml\":" + std::string(500'000, '[') + std::string(500'000, ']') + "}";
    ASSERT_TRUE(plat::NotificationCenter::defaultCenter()->postNotification(GC_Cache::kServiceName, nested));
    Bytes value;
    EXPECT_EQ(GC_Cache::get(kReader, bytesOf("K"), value, false), 0);
    EXPECT_EQ(value, bytesOf("K"));
}

// While nobody holds the companion's name, the cache is skipped at once: nothing goes on the bus
// for a process of another name to answer.
TEST(DBusLink, NothingIsPostedWhileNobodyHoldsTheName) {
    DBusCompanion link;
    std::string error;
    ASSERT_TRUE(link.start({"--name", "org.gctoken.Other", "--preseed", kReader, "K", "4B"}, 2s, &error)) << error;
    Bytes value;
    EXPECT_NE(GC_Cache::get(kReader, bytesOf("K"), value, false), 0);
    EXPECT_TRUE(link.frames().empty());
}

}  // namespace
