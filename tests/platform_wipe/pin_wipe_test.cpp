// The PIN of the platform's PIN operation leaves nothing in freed memory: neither the block a
// replaced PIN lived in nor the operation itself; nor does a message that came over the bus (a
// CAN check carries the CAN).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ctk_token.h"
#include "platform/dbus_notification_center.h"
#include "support/child_process.h"
#include "support/freed_memory_scan.h"

namespace {

using freedscan::Armed;

// The canary, followed by enough digits to live in a heap block of its own (and not inside the
// string object), or short enough to live inside it.
std::string pinWithCanary(size_t padding) {
    freedscan::makeCanary();
    return std::string(reinterpret_cast<const char*>(freedscan::g_canary), freedscan::kCanaryLength) +
           std::string(padding, '7');
}

TEST(PinOperationWipe, ReplacedAndReleasedPinsLeaveNoTrace) {
    for (size_t padding : {size_t{0}, size_t{20}}) {
        SCOPED_TRACE(padding);
        const std::string pin = pinWithCanary(padding);
        auto operation = std::make_shared<ctk::TokenSmartCardPINAuthOperation>();
        Armed armed;
        operation->setPIN(pin);
        EXPECT_EQ(operation->PIN(), pin);
        operation->setPIN(std::string(64, '1'));  // longer: the PIN moves to a new block
        operation->setPIN(pin);
        operation.reset();
        EXPECT_EQ(armed.leaks(), 0);
    }
}

// What the bus library frees is its own (freed with free(), not looked at): what is ours is the
// centre's copy of the message.
TEST(BusMessageWipe, ADeliveredMessageLeavesNoTrace) {
    gctest::PrivateBus bus;
    std::string error;
    ASSERT_TRUE(bus.start(&error)) << error;
    std::shared_ptr<plat::NotificationCenter> extension = plat::connectDBusNotificationCenter(bus.address());
    std::shared_ptr<plat::NotificationCenter> companion = plat::connectDBusNotificationCenter(bus.address());
    ASSERT_TRUE(extension && companion);
    std::mutex mutex;
    std::condition_variable arrived;
    int delivered = 0;
    ASSERT_NE(extension->addObserver("Ctk",
                                     [&](const plat::Notification&) {
                                         std::lock_guard lock(mutex);
                                         ++delivered;
                                         arrived.notify_all();
                                     }),
              0u);
    // Made before the scan, as the interface takes it: a converted copy would be the test's own.
    const std::optional<std::string> check =
        R"({"from":"App","checkCan":")" + pinWithCanary(0) + R"(","rid":"Reader A"})";
    const std::optional<std::string> fence = R"({"from":"App"})";
    {
        Armed armed;
        ASSERT_TRUE(companion->postNotification("Ctk", check));
        // Delivered in order: once the second is there, the first is gone.
        ASSERT_TRUE(companion->postNotification("Ctk", fence));
        std::unique_lock lock(mutex);
        ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(10), [&] { return delivered == 2; }));
        EXPECT_EQ(armed.leaks(), 0);
    }
}

}  // namespace
