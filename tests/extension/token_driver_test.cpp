#include "extension/token_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "extension/token_world.h"

// The companion messages of the token driver, over the in-process hub.

namespace {

using gctest::Message;
using gctest::TokenWorld;

size_t countLines(const std::string& text, const std::string& line) {
    size_t count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
}

TEST(TokenDriverMessages, NothingIsObservedBeforeTheFirstTokenRequest) {
    TokenWorld world;
    world.post({{"from", "App"}, {"getVersion", ""}, {"checkCan", "123456"}, {"rid", "Reader A"}});
    world.settle();
    EXPECT_TRUE(world.appMessages().empty());
    EXPECT_TRUE(world.card->calls().empty());
    EXPECT_EQ(world.library->backEndsAdded(), 0);
}

TEST(TokenDriverMessages, VersionFirstThenTheCanResultThenUnknownReaders) {
    TokenWorld world;
    ASSERT_NE(world.createToken(), nullptr);
    world.post({{"from", "App/window 2"}, {"getVersion", ""}, {"checkCan", "123456"}, {"rid", "Reader A"}});
    world.settle();
    // Posted on the first part of the address, to the whole address.
    std::vector<Message> replies = world.appMessages();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0],
              (Message{{"Version", "4.2.3.0 12:15:49"}, {"tokens", "1"}, {"to", "App/window 2"}, {"from", "Ctk"}}));
    EXPECT_EQ(replies[1],
              (Message{{"canResult", "SUCCESS"}, {"rid", "Reader A"}, {"to", "App/window 2"}, {"from", "Ctk"}}));
    EXPECT_EQ(
        world.canMessages(),
        (std::vector<Message>{{{"canProgress", "Trwa odczyt danych z karty ..."}, {"to", "Can"}, {"from", "Ctk"}}}));
    EXPECT_EQ(world.library->refreshes(), 1);  // the registry is refreshed before the token is looked up

    EXPECT_EQ(world.checkCan("123456", "Reader B"), "Token not found");
    EXPECT_EQ(world.appMessages().back()["rid"], "Reader B");
    EXPECT_EQ(world.checkCan("654321"), "-1701");  // the library's code in decimal
}

TEST(TokenDriverMessages, MalformedAndUnaddressedRequests) {
    TokenWorld world;
    ASSERT_NE(world.createToken(), nullptr);
    testing::internal::CaptureStderr();
    world.post("{not json");
    world.post("[\"getVersion\"]");
    world.post({{"getVersion", ""}, {"checkCan", "123456"}, {"rid", "Reader A"}});  // no "from"
    world.post(R"({"from": 7, "getVersion": true})");                               // "from" not text
    world.post(R"({"from": "App", "checkCan": 123456, "rid": "Reader A"})");        // CAN not text: no check
    world.post(R"({"from": "App", "getVersion": null})");                           // any value asks
    world.post({{"from", "App\nforged: line\x1b[2J"}, {"getVersion", ""}});         // an address that writes lines
    world.settle();
    const std::string log = testing::internal::GetCapturedStderr();

    std::vector<Message> replies = world.appMessages();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["tokens"], "1");
    // The request without a reply address still ran its CAN check; each unaddressable reply is logged.
    EXPECT_EQ(countLines(log, "send error, empty receipment"), 3u);
    EXPECT_EQ(world.canMessages().size(), 1u);
    EXPECT_EQ(world.card->calls().front(), "destroy");
    EXPECT_EQ(log.find("123456"), std::string::npos);  // the CAN never reaches the log
    EXPECT_NE(log.find("send | data:<hidden> to:App.forged: line.[2J\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("\nforged"), std::string::npos);
}

TEST(TokenDriverMessages, ConcurrentFirstRequestsSetUpOnce) {
    TokenWorld world;
    constexpr int kReaders = 8;
    std::vector<std::shared_ptr<ctk::SmartCard>> cards;
    for (int i = 0; i < kReaders; ++i) cards.push_back(world.insertCard("Reader " + std::to_string(i)));
    std::barrier start(kReaders);
    std::vector<std::thread> platformThreads;
    for (int i = 0; i < kReaders; ++i) {
        platformThreads.emplace_back([&, i] {
            start.arrive_and_wait();
            EXPECT_NE(world.driver->createTokenForSmartCard(cards[i], {}, nullptr), nullptr);
        });
    }
    for (std::thread& thread : platformThreads) thread.join();

    world.post({{"from", "App"}, {"getVersion", ""}});
    world.settle();
    std::vector<Message> replies = world.appMessages();
    ASSERT_EQ(replies.size(), 1u);  // one observer
    EXPECT_EQ(replies[0]["tokens"], std::to_string(kReaders));
    EXPECT_EQ(world.library->backEndsAdded(), 1);
}

TEST(TokenDriverMessages, CardsThatCannotBeServedGetNoToken) {
    TokenWorld world;
    EXPECT_EQ(world.driver->createTokenForSmartCard(nullptr, {}, nullptr), nullptr);
    std::shared_ptr<ctk::SmartCard> card = world.insertCard("Reader A");
    world.slots->removeCard("Reader A");
    EXPECT_EQ(world.driver->createTokenForSmartCard(card, {}, nullptr), nullptr);
    EXPECT_EQ(world.driver->tokenCount(), 0u);

    // A new card in the same reader replaces the token.
    world.slots->removeSlot("Reader A");
    std::shared_ptr<Token> first = world.createToken("Reader A");
    world.slots->removeSlot("Reader A");
    std::shared_ptr<Token> second = world.createToken("Reader A");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(world.driver->tokenCount(), 1u);
    EXPECT_EQ(world.checkCan("123456"), "SUCCESS");
    EXPECT_TRUE(first->keychainContents().items().empty());
    EXPECT_FALSE(second->keychainContents().items().empty());
}

}  // namespace
