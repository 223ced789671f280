#include "ctk_client.h"

#include <gtest/gtest.h>

#include "platform/notification_hub.h"
#include "support/notification_collector.h"

namespace {

// The companion's "Ctk" client as the token driver will see it: requests name the reply address
// in "from"; replies to its first part and progress on "Can" are collected.
TEST(CtkClient, AsksOnCtkAndCollectsRepliesAndProgress) {
    plat::NotificationHub hub;
    auto driver = hub.connect();
    gctest::NotificationCollector requests;
    driver->addObserver("Ctk", requests.callback());
    companion::CtkClient client(hub.connect(), "gcTestCompanion/1");

    ASSERT_TRUE(client.askVersion());
    ASSERT_TRUE(client.checkCan("Reader A", "123456"));
    const auto got = requests.waitFor(2);
    ASSERT_EQ(got.size(), 2u);
    const auto version = companion::parseMessage(got[0].object.value_or(""));
    const auto check = companion::parseMessage(got[1].object.value_or(""));
    ASSERT_TRUE(version && check);
    EXPECT_EQ(*version, (companion::Message{{"from", "gcTestCompanion/1"}, {"getVersion", "1"}}));
    EXPECT_EQ(*check, (companion::Message{{"from", "gcTestCompanion/1"}, {"checkCan", "123456"}, {"rid", "Reader A"}}));

    driver->postNotification("gcTestCompanion", R"({"Version":"4.2.3.0 12:15:49","tokens":"1"})");
    driver->postNotification("Can", R"({"canProgress":"..."})");
    driver->postNotification("gcTestCompanion", "not json");
    const auto messages = client.waitForMessages(2);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].at("tokens"), "1");
    EXPECT_TRUE(messages[1].contains("canProgress"));
}

}  // namespace
