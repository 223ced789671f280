#include <gtest/gtest.h>

#include <chrono>

#include "cache.h"
#include "platform/notification_center.h"

namespace {

// Without a notification centre the cache is off: every call answers at once and nothing waits.
TEST(CacheDisabled, NoCentreMeansEveryCallRefusedAtOnce) {
    plat::NotificationCenter::setDefaultCenter(nullptr);
    GC_Cache::resetForTesting();
    const auto start = std::chrono::steady_clock::now();

    std::vector<unsigned char> value{9};
    unsigned long tries = 7;
    EXPECT_TRUE(GC_Cache::isDisable());
    EXPECT_EQ(GC_Cache::get("R", {'K'}, value, false), GC_Cache::kDisabled);
    EXPECT_EQ(value, std::vector<unsigned char>{9});  // left as it was
    EXPECT_EQ(GC_Cache::set("R", {'K'}, {1}, false), GC_Cache::kDisabled);
    EXPECT_EQ(GC_Cache::remove("R", {'K'}, false), GC_Cache::kDisabled);
    EXPECT_EQ(GC_Cache::clear("R"), GC_Cache::kDisabled);
    EXPECT_EQ(GC_Cache::exist("R", {'K'}, false), GC_Cache::kDisabled);
    EXPECT_EQ(GC_Cache::getTriesLeft("R", 0x81, tries), GC_Cache::kDisabled);
    EXPECT_EQ(tries, 0u);
    EXPECT_EQ(GC_Cache::setTriesLeft("R", 0x81, 3), GC_Cache::kDisabled);
    EXPECT_EQ(GC_Cache::getPassword("R", value), GC_Cache::kDisabled);
    EXPECT_EQ(GC_Cache::setPassword("R", {'1', '2', '3', '4', '5', '6'}), GC_Cache::kDisabled);
    EXPECT_EQ(GC_Cache::setPassword("R", {}), GC_Cache::kFailed);  // tested before anything else
    EXPECT_EQ(GC_Cache::existPassword("R"), GC_Cache::kDisabled);
    EXPECT_EQ(GC_Cache::connectionFailed("R"), GC_Cache::kDisabled);
    EXPECT_EQ(GC_Cache::operationNotAllow("R"), GC_Cache::kDisabled);
    EXPECT_EQ(GC_Cache::bindCard("R", {1, 2}), GC_Cache::kDisabled);

    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    GC_Cache::resetForTesting();
}

}  // namespace
