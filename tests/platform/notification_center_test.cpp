#include "platform/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/dbus_notification_center.h"
#include "platform/notification_hub.h"
#include "support/child_process.h"
#include "support/notification_collector.h"

namespace {

using namespace std::chrono_literals;
using gctest::NotificationCollector;
using plat::NotificationHub;

enum class Kind { Hub, DBus };

// Two centres that see each other's notifications: two clients of one hub, or two connections
// to a bus of the test's own.
class Centres : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        if (GetParam() == Kind::Hub) {
            a = hub.connect();
            b = hub.connect();
            return;
        }
        std::string error;
        ASSERT_TRUE(bus.start(&error)) << error;
        a = plat::connectDBusNotificationCenter(bus.address());
        b = plat::connectDBusNotificationCenter(bus.address());
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
    }
    std::shared_ptr<plat::NotificationCenter> connect() {
        return GetParam() == Kind::Hub ? hub.connect() : plat::connectDBusNotificationCenter(bus.address());
    }

    // Declared before the centres, so no callback outlives them.
    NotificationCollector atA, atB, other;
    NotificationHub hub;
    gctest::PrivateBus bus;
    std::shared_ptr<plat::NotificationCenter> a, b;
};

TEST_P(Centres, DeliverByNameInOrderOfEachSenderThePosterIncluded) {
    atA.checkDeliveryThreadOf(a.get());
    ASSERT_NE(a->addObserver("Core", atA.callback()), 0u);
    ASSERT_NE(b->addObserver("Core", atB.callback()), 0u);
    ASSERT_NE(b->addObserver("Core2", other.callback()), 0u);  // names are matched whole

    constexpr int kCount = 100;
    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(a->postNotification("Core", std::to_string(i)));
    ASSERT_TRUE(b->postNotification("Core", std::nullopt));

    // Order holds per sender; b's notification may come anywhere among a's.
    for (auto* collector : {&atA, &atB}) {
        const auto got = collector->waitFor(kCount + 1);
        ASSERT_EQ(got.size(), size_t{kCount + 1});
        int next = 0;
        for (const auto& n : got) {
            EXPECT_EQ(n.name, "Core");
            if (n.sender == b->senderName()) {
                EXPECT_FALSE(n.object.has_value());
                continue;
            }
            EXPECT_EQ(n.sender, a->senderName());
            EXPECT_EQ(n.object, std::to_string(next++));
        }
        EXPECT_EQ(next, kCount);
    }
    EXPECT_NE(a->senderName(), b->senderName());
    EXPECT_TRUE(atA.allOnDeliveryThread());
    EXPECT_FALSE(a->onDeliveryThread());
    EXPECT_TRUE(other.received().empty());
}

TEST_P(Centres, CarryLargeObjectsAndNeverSendTextThatIsNotUtf8) {
    b->addObserver("Core", atB.callback());
    EXPECT_FALSE(a->postNotification("Core", std::string("\xC3\x28", 2)));
    EXPECT_FALSE(a->postNotification("Core", std::string("a\0b", 3)));
    EXPECT_FALSE(a->postNotification(std::string("\xFF"), "x"));
    const std::string large(200 * 1024, 'z');
    ASSERT_TRUE(a->postNotification("Core", large));
    const auto got = atB.waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].object, large);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(atB.received().size(), 1u);
}

TEST_P(Centres, NoCallbackAfterRemovalReturns) {
    std::atomic<bool> removed{false};
    std::atomic<int> calls{0}, lateCalls{0};
    const auto id = b->addObserver("Core", [&](const plat::Notification&) {
        ++calls;
        std::this_thread::sleep_for(1ms);
        if (removed) ++lateCalls;
    });
    std::thread poster([&] {
        for (int i = 0; i < 200; ++i) a->postNotification("Core", "x");
    });
    while (calls == 0) std::this_thread::sleep_for(1ms);
    b->removeObserver(id);
    removed = true;
    poster.join();
    b->addObserver("Core", atB.callback());
    a->postNotification("Core", "after");
    atB.waitFor(1);
    EXPECT_EQ(lateCalls, 0);

    // A callback may remove itself, and the last owner of a centre may let go of it, from inside.
    std::atomic<int> selfCalls{0};
    std::atomic<bool> released{false};
    plat::NotificationCenter::ObserverId self = 0;
    std::shared_ptr<plat::NotificationCenter> doomed = connect();
    self = doomed->addObserver("Bye", [&](const plat::Notification&) {
        ++selfCalls;
        doomed->removeObserver(self);
        doomed.reset();
        released = true;
    });
    a->postNotification("Bye", "1");
    a->postNotification("Bye", "2");
    for (int i = 0; i < 300 && !released; ++i) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(released);
    EXPECT_EQ(selfCalls, 1);
}

INSTANTIATE_TEST_SUITE_P(Centre, Centres, ::testing::Values(Kind::Hub, Kind::DBus),
                         [](const auto& info) { return info.param == Kind::Hub ? "Hub" : "DBus"; });

TEST(NotificationHub, FaultsDropDelayAndDuplicate) {
    NotificationCollector seen;
    NotificationHub hub;
    auto a = hub.connect();
    auto b = hub.connect();
    b->addObserver("Core", seen.callback());

    hub.injectFault("Core", NotificationHub::Fault::Drop);
    a->postNotification("Core", "dropped");
    hub.injectFault("Core", NotificationHub::Fault::Delay, 1, 100ms);
    a->postNotification("Core", "late");
    a->postNotification("Core", "overtakes");
    hub.injectFault("Core", NotificationHub::Fault::Duplicate);
    a->postNotification("Core", "twice");

    const auto got = seen.waitFor(4);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].object, "overtakes");
    EXPECT_EQ(got[1].object, "twice");
    EXPECT_EQ(got[2].object, "twice");
    EXPECT_EQ(got[3].object, "late");
}

TEST(DBusNotificationCenter, RefusesUnmatchableNamesAndAnAbsentBus) {
    EXPECT_EQ(plat::connectDBusNotificationCenter("unix:path=/nonexistent/bus"), nullptr);
    gctest::PrivateBus bus;
    std::string error;
    ASSERT_TRUE(bus.start(&error)) << error;
    auto center = plat::connectDBusNotificationCenter(bus.address());
    ASSERT_NE(center, nullptr);
    EXPECT_EQ(center->addObserver("it's", [](const plat::Notification&) {}), 0u);
    EXPECT_EQ(center->addObserver("back\\slash", [](const plat::Notification&) {}), 0u);
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
