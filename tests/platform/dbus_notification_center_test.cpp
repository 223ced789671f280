#include "platform/dbus_notification_center.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/child_process.h"
#include "support/notification_collector.h"

namespace {

using namespace std::chrono_literals;
using gctest::NotificationCollector;

// Two connections to a bus of the test's own.
class DBusCenter : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(bus.start(&error)) << error;
        a = plat::connectDBusNotificationCenter(bus.address());
        b = plat::connectDBusNotificationCenter(bus.address());
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
    }

    // Declared before the centres, so no callback outlives them.
    NotificationCollector atA, atB, other;
    gctest::PrivateBus bus;
    std::shared_ptr<plat::NotificationCenter> a, b;
};

TEST_F(DBusCenter, DeliversByNameInOrderToEveryConnectionThePosterIncluded) {
    atA.checkDeliveryThreadOf(a.get());
    ASSERT_NE(a->addObserver("Core", atA.callback()), 0u);
    ASSERT_NE(b->addObserver("Core", atB.callback()), 0u);
    ASSERT_NE(b->addObserver("Core2", other.callback()), 0u);  // arg0 is matched whole

    constexpr int kCount = 100;
    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(a->postNotification("Core", std::to_string(i)));
    ASSERT_TRUE(b->postNotification("Core", std::nullopt));  // Post(s name)

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
    EXPECT_TRUE(atA.allOnDeliveryThread());
    EXPECT_TRUE(other.received().empty());
}

TEST_F(DBusCenter, LargeObjectsPassAndTextThatIsNotUtf8IsNeverSent) {
    NotificationCollector& seen = atB;
    EXPECT_EQ(b->addObserver("it's", seen.callback()), 0u);  // not matchable
    b->addObserver("its", seen.callback());
    EXPECT_FALSE(a->postNotification("its", std::string("\xC3\x28", 2)));
    EXPECT_FALSE(a->postNotification("its", std::string("a\0b", 3)));
    const std::string large(200 * 1024, 'z');
    ASSERT_TRUE(a->postNotification("its", large));
    const auto got = seen.waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].object, large);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(seen.received().size(), 1u);
}

TEST_F(DBusCenter, NoCallbackAfterRemovalAndReleaseFromACallback) {
    std::atomic<int> calls{0};
    const auto id = b->addObserver("Core", [&](const plat::Notification&) { ++calls; });
    a->postNotification("Core", "1");
    for (int i = 0; i < 300 && calls == 0; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(calls, 1);
    b->removeObserver(id);
    NotificationCollector& still = atB;
    b->addObserver("Core", still.callback());
    a->postNotification("Core", "2");
    ASSERT_EQ(still.waitFor(1).size(), 1u);
    EXPECT_EQ(calls, 1);

    // The last owner of a centre may let go of it inside one of its callbacks.
    std::atomic<bool> released{false};
    std::shared_ptr<plat::NotificationCenter> doomed = plat::connectDBusNotificationCenter(bus.address());
    doomed->addObserver("Bye", [&](const plat::Notification&) {
        doomed.reset();
        released = true;
    });
    a->postNotification("Bye", std::nullopt);
    for (int i = 0; i < 300 && !released; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(released);
}

TEST(DBusCenterConnect, NoBusNoCentre) {
    EXPECT_EQ(plat::connectDBusNotificationCenter("unix:path=/nonexistent/bus"), nullptr);
}

}  // namespace
