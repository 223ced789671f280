#include "platform/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/notification_hub.h"
#include "support/notification_collector.h"

namespace {

using namespace std::chrono_literals;
using gctest::NotificationCollector;
using plat::NotificationHub;

// Two clients of one hub: a notification posted by either reaches the observers of both.
struct HubPair {
    NotificationHub hub;
    std::shared_ptr<plat::NotificationCenter> a = hub.connect();
    std::shared_ptr<plat::NotificationCenter> b = hub.connect();
};

TEST(NotificationHub, DeliversByNameToEveryClientInOrderOfPosting) {
    NotificationCollector onA, onB, other;
    HubPair pair;  // after the collectors: the hub stops before they go
    onA.checkDeliveryThreadOf(pair.a.get());
    ASSERT_NE(pair.a->addObserver("Core", onA.callback()), 0u);
    ASSERT_NE(pair.b->addObserver("Core", onB.callback()), 0u);
    ASSERT_NE(pair.b->addObserver("Other", other.callback()), 0u);

    constexpr int kCount = 100;
    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(pair.a->postNotification("Core", std::to_string(i)));
    ASSERT_TRUE(pair.b->postNotification("Core", std::nullopt));

    const auto atA = onA.waitFor(kCount + 1);
    const auto atB = onB.waitFor(kCount + 1);
    ASSERT_EQ(atA.size(), size_t{kCount + 1});
    ASSERT_EQ(atB.size(), size_t{kCount + 1});
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(atA[i].object, std::to_string(i));  // the poster's own observer too, in order
        EXPECT_EQ(atB[i].object, std::to_string(i));
        EXPECT_EQ(atB[i].sender, pair.a->senderName());
    }
    EXPECT_FALSE(atB[kCount].object.has_value());
    EXPECT_EQ(atB[kCount].sender, pair.b->senderName());
    EXPECT_NE(pair.a->senderName(), pair.b->senderName());
    EXPECT_TRUE(onA.allOnDeliveryThread());
    EXPECT_FALSE(pair.a->onDeliveryThread());
    EXPECT_TRUE(other.received().empty());
}

TEST(NotificationHub, RefusesTextThatIsNotUtf8AndCarriesLargeObjects) {
    NotificationCollector seen;
    HubPair pair;
    pair.b->addObserver("Core", seen.callback());
    EXPECT_FALSE(pair.a->postNotification("Core", std::string("\xC3\x28", 2)));
    EXPECT_FALSE(pair.a->postNotification("Core", std::string("a\0b", 3)));
    EXPECT_FALSE(pair.a->postNotification(std::string("\xFF"), "x"));
    const std::string large(200 * 1024, 'x');
    ASSERT_TRUE(pair.a->postNotification("Core", large));
    const auto got = seen.waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].object, large);
}

TEST(NotificationHub, NoCallbackAfterRemovalReturns) {
    NotificationCollector after;
    HubPair pair;
    std::atomic<bool> removed{false};
    std::atomic<int> lateCalls{0};
    std::atomic<int> calls{0};
    const auto id = pair.b->addObserver("Core", [&](const plat::Notification&) {
        ++calls;
        std::this_thread::sleep_for(1ms);
        if (removed) ++lateCalls;
    });
    std::thread poster([&] {
        for (int i = 0; i < 200; ++i) pair.a->postNotification("Core", "x");
    });
    while (calls == 0) std::this_thread::sleep_for(1ms);
    pair.b->removeObserver(id);
    removed = true;
    poster.join();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(lateCalls, 0);

    // Removing itself from its own callback neither blocks nor runs again.
    plat::NotificationCenter::ObserverId self = 0;
    std::atomic<int> selfCalls{0};
    self = pair.b->addObserver("Self", [&](const plat::Notification&) {
        ++selfCalls;
        pair.b->removeObserver(self);
    });
    pair.b->addObserver("Self", after.callback());
    pair.a->postNotification("Self", "1");
    pair.a->postNotification("Self", "2");
    after.waitFor(2);
    EXPECT_EQ(selfCalls, 1);
}

TEST(NotificationHub, FaultsDropDelayAndDuplicate) {
    NotificationCollector seen;
    HubPair pair;
    pair.b->addObserver("Core", seen.callback());
    pair.a->addObserver("Quiet", seen.callback());

    pair.hub.injectFault("Core", NotificationHub::Fault::Drop);
    pair.a->postNotification("Core", "dropped");
    pair.hub.injectFault("Core", NotificationHub::Fault::Delay, 1, 100ms);
    pair.a->postNotification("Core", "late");
    pair.a->postNotification("Core", "overtakes");
    pair.hub.injectFault("Core", NotificationHub::Fault::Duplicate);
    pair.a->postNotification("Core", "twice");

    const auto got = seen.waitFor(4);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].object, "overtakes");
    EXPECT_EQ(got[1].object, "twice");
    EXPECT_EQ(got[2].object, "twice");
    EXPECT_EQ(got[3].object, "late");
}

TEST(NotificationCenter, DefaultCenterIsWhatWasInstalled) {
    NotificationHub hub;
    auto center = hub.connect();
    plat::NotificationCenter::setDefaultCenter(center);
    EXPECT_EQ(plat::NotificationCenter::defaultCenter(), center);
    plat::NotificationCenter::setDefaultCenter(nullptr);
    EXPECT_EQ(plat::NotificationCenter::defaultCenter(), nullptr);
}

TEST(NotificationCenter, PostableTextIsStrictUtf8WithoutNul) {
    struct Case {
        std::string text;
        bool postable;
    };
    const Case cases[] = {
        {.text = "cacheServer", .postable = true},
        {.text = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", .postable = true},  // é € 😀
        {.text = "\xC0\xAF", .postable = false},                             // overlong
        {.text = "\xED\xA0\x80", .postable = false},                         // surrogate
        {.text = "\xF4\x90\x80\x80", .postable = false},                     // above U+10FFFF
        {.text = "\xE2\x82", .postable = false},                             // cut short
        {.text = "\x80", .postable = false},                                 // lone continuation
        {.text = std::string("\0", 1), .postable = false},
    };
    for (const auto& c : cases) EXPECT_EQ(plat::isPostableText(c.text), c.postable) << c.text;
}

}  // namespace
