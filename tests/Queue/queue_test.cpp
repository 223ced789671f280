#include "Queue/queue.h"

#include <gtest/gtest.h>

#include "Queue/frame.h"
#include "Queue/link_key.h"
#include "hub_companion.h"
#include "support/notification_collector.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using gctest::bytesOf;

std::string textOf(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

// The link's agreement against the companion's, 200 times: both ends reach the same key (a prime
// or generator other than the companion's fails it). The companion computes A·b mod p, so a link
// that "corrected" the products into powers fails here. The secret is drawn below the group's order.
TEST(LinkKey, AgreesWithTheCompanion) {
    EXPECT_EQ(Bytes(gc_link::kOrder.begin(), gc_link::kOrder.end()), companion::CacheServer::group().q);
    for (int i = 0; i < 200; ++i) {
        gc_link::KeyAgreement link;
        Bytes publicA, publicB, companionKey, linkKey;
        ASSERT_TRUE(link.start(publicA));
        ASSERT_LE(publicA.size(), 128u);
        ASSERT_NE(publicA.front(), 0);  // minimal length
        ASSERT_TRUE(companion::CacheServer::agree(publicA, publicB, companionKey));
        ASSERT_TRUE(link.finish(publicB, linkKey));
        ASSERT_EQ(linkKey.size(), 32u);
        ASSERT_EQ(linkKey, companionKey) << i;
    }
}

TEST(LinkKey, IdentifiersLieBetweenTwoToThe61And62) {
    for (int i = 0; i < 1000; ++i) {
        const Bytes id = gc_link::newLinkId();
        ASSERT_EQ(id.size(), 8u);
        const bool top = (id[7] >= 0x20 && id[7] <= 0x3F) || (id[7] == 0x40 && id == Bytes{0, 0, 0, 0, 0, 0, 0, 0x40});
        ASSERT_TRUE(top) << int(id[7]);
    }
}

TEST(Frame, TagsAreFoundByTheirFirstOccurrence) {
    struct Case {
        std::string bytes;
        std::optional<std::string> encId;
        std::optional<std::string> body;
    };
    const Case cases[] = {
        {.bytes = "xx<encID>ID</encID>yy<msg>BODY</msg>zz", .encId = "ID", .body = "BODY"},
        {.bytes = "<msg>BODY</msg><encID>ID</encID>", .encId = "ID", .body = "BODY"},
        {.bytes = "<encID>A</encID><encID>B</encID><msg>1</msg><msg>2</msg>", .encId = "A", .body = "1"},
        {.bytes = "<encID></encID><msg>open to the end", .encId = "", .body = "open to the end"},
        {.bytes = "</encID><encID>ID</msg><msg>", .encId = std::nullopt, .body = std::nullopt},
        {.bytes = "<encID>ID", .encId = std::nullopt, .body = std::nullopt},
        {.bytes = "", .encId = std::nullopt, .body = std::nullopt},
    };
    for (const auto& c : cases) {
        const Bytes bytes = bytesOf(c.bytes);
        const auto id = gc_frame::enclosed(bytes, "encID");
        const auto body = gc_frame::messageBody(bytes);
        EXPECT_EQ(id ? std::optional(textOf(Bytes(id->begin(), id->end()))) : std::nullopt, c.encId) << c.bytes;
        EXPECT_EQ(body ? std::optional(textOf(Bytes(body->begin(), body->end()))) : std::nullopt, c.body) << c.bytes;
    }
}

// Reply dictionaries and the bytes they become; nullopt: not a reply at all.
TEST(Transport, AssemblesReplyDictionaries) {
    struct Case {
        std::string json;
        std::optional<std::string> bytes;
    };
    const Case cases[] = {
        {.json = R"({"msg":"BASE64"})", .bytes = "<msg></msg>"},
        {.json = R"({"msg":"BASE"})", .bytes = "<msg>BASE</msg>"},
        {.json = R"({"msg":"base64QUJD"})", .bytes = "<msg>base64QUJD</msg>"},
        {.json = R"({"encID":"BASE64QUJD","msg":"text"})", .bytes = "<encID>ABC</encID><msg>text</msg>"},
        {.json = R"({})", .bytes = ""},
        {.json = R"(not json)", .bytes = std::nullopt},
        {.json = R"(["msg"])", .bytes = std::nullopt},
        {.json = R"({"msg":5})", .bytes = std::nullopt},
        {.json = R"({"msg":"BASE64QUJ"})", .bytes = std::nullopt},     // not whole groups
        {.json = R"({"msg":"BASE64QUJD\n"})", .bytes = std::nullopt},  // white space
        {.json = R"({"msg":"BASE64QR=="})", .bytes = std::nullopt},    // bits beyond the data
    };
    for (const auto& c : cases) {
        Bytes out{1, 2};
        const bool ok = GC_QueueObjC::assembleReply(c.json, out);
        EXPECT_EQ(ok ? std::optional(textOf(out)) : std::nullopt, c.bytes) << c.json;
    }
}

// The request as posted: {"xml": "BASE64" + base64("<from>Core</from>" + message)}, also for an
// empty message; replies of every sender reach the waiter, which takes what it accepts.
TEST(Transport, PostsTheRequestAndWaitsForAnAcceptedReply) {
    plat::NotificationHub hub;
    auto driverSide = hub.connect();
    auto peer = hub.connect();
    gctest::NotificationCollector requests;
    peer->addObserver("cacheServer", requests.callback());
    plat::NotificationCenter::setDefaultCenter(driverSide);
    GC_QueueObjC transport("cacheServer", "Core", 200ms);
    plat::NotificationCenter::setDefaultCenter(nullptr);
    ASSERT_FALSE(transport.disabled);

    ASSERT_EQ(transport.send({}), 1);
    ASSERT_EQ(transport.send(bytesOf("<x>\x01")), 1);
    const auto got = requests.waitFor(2);
    ASSERT_EQ(got.size(), 2u);
    const auto first = companion::parseMessage(got[0].object.value_or(""));
    const auto second = companion::parseMessage(got[1].object.value_or(""));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->size(), 1u);
    EXPECT_EQ(companion::base64Decode(first->at("xml").substr(6)), bytesOf("<from>Core</from>"));
    EXPECT_EQ(companion::base64Decode(second->at("xml").substr(6)), bytesOf("<from>Core</from><x>\x01"));

    peer->postNotification("Core", std::nullopt);          // no object: ignored
    peer->postNotification("Core", R"({"a":"skip me"})");  // not accepted below
    peer->postNotification("Core", R"({"a":"take me"})");
    GC_QueueObjC::Reply reply;
    EXPECT_EQ(
        transport.receive(reply, [](const GC_QueueObjC::Reply& r) { return textOf(r.bytes) != "<a>skip me</a>"; }), 1);
    EXPECT_EQ(textOf(reply.bytes), "<a>take me</a>");
    EXPECT_EQ(reply.sender, peer->senderName());

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(transport.receive(reply, [](const GC_QueueObjC::Reply&) { return true; }), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_TRUE(reply.bytes.empty());
}

}  // namespace
