#include "cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "hub_companion.h"
#include "logger.h"
#include "support/notification_collector.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using companion::FrameRecord;
using gctest::bytesOf;
using gctest::HubCompanion;

constexpr const char* kReader = "Reader A";

// What the driver posted to the companion, and the link identifier it names.
std::optional<companion::Bytes> payloadOf(const plat::Notification& n) {
    const auto request = companion::parseMessage(n.object.value_or(""));
    if (!request) return std::nullopt;
    return companion::base64Decode(std::string_view(request->at("xml")).substr(6));
}
companion::Bytes linkIdOf(const companion::Bytes& payload) {
    const size_t open = companion::find(payload, "<encID>") + 7;
    return companion::Bytes(payload.begin() + static_cast<long>(open), payload.begin() + static_cast<long>(open + 8));
}

TEST(Cache, CommandsReachTheCompanionByteForByteOverOneLink) {
    HubCompanion link;
    unsigned long tries = 0;

    ASSERT_EQ(GC_Cache::setTriesLeft(kReader, 0x81, 300), 0);
    ASSERT_EQ(GC_Cache::getTriesLeft(kReader, 0x81, tries), 0);
    EXPECT_EQ(tries, 44u);  // the low 8 bits of 300

    const Bytes file = bytesOf("MF content with </res> inside and a zero \0 byte");
    ASSERT_EQ(GC_Cache::set(kReader, {0x3F, 0x00}, file, true), 0);
    Bytes value;
    ASSERT_EQ(GC_Cache::get(kReader, {0x3F, 0x00}, value, true), 0);
    EXPECT_EQ(value, file);  // read up to the last "</res>": the file is not cut

    EXPECT_EQ(GC_Cache::get(kReader, bytesOf("nokey"), value, false), GC_Cache::kNotFound);
    EXPECT_EQ(GC_Cache::exist(kReader, {'A', 0, 'B'}, false), GC_Cache::kNotFound);  // text key cut at zero
    EXPECT_EQ(GC_Cache::setPassword(kReader, {}), GC_Cache::kFailed);                // nothing sent
    EXPECT_EQ(GC_Cache::removePassword(kReader), 0);
    EXPECT_EQ(GC_Cache::removeTriesLeft(kReader, 0x81), 0);
    EXPECT_EQ(GC_Cache::getTriesLeft(kReader, 0x81, tries), GC_Cache::kNotFound);
    EXPECT_EQ(tries, 0u);
    EXPECT_EQ(GC_Cache::clear(kReader), 0);
    EXPECT_EQ(GC_Cache::connectionFailed(kReader), 0);
    EXPECT_EQ(GC_Cache::operationNotAllow(kReader), 0);

    const std::string r = std::string("<rid>") + kReader + "</rid>";
    const std::vector<std::string> expected = {
        r + "<setTRIES129>\x2C</setTRIES129>",
        r + "<get>TRIES129</get>",
        r + "<set3F00>" + std::string(file.begin(), file.end()) + "</set3F00>",
        r + "<get>3F00</get>",
        r + "<get>nokey</get>",
        r + "<get>A</get>",
        r + "<del>CAN</del>",
        r + "<del>TRIES129</del>",
        r + "<get>TRIES129</get>",
        std::string("<clr>") + kReader + "</clr>",
        std::string("<fail>") + kReader + "</fail>",
        std::string("<notallow>") + kReader + "</notallow>",
    };
    const std::vector<FrameRecord> frames = link.server.frames();
    ASSERT_EQ(frames.size(), expected.size() + 1);
    EXPECT_EQ(frames[0].kind, "agree");  // the first call agrees a link, then sends under it
    EXPECT_EQ(frames[0].from, "Core");
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(frames[i + 1].kind, "message");
        EXPECT_EQ(frames[i + 1].id, frames[0].id);  // one link throughout
        EXPECT_EQ(std::string(frames[i + 1].plain.begin(), frames[i + 1].plain.end()), expected[i]) << i;
    }
    EXPECT_EQ(frames[2].outcome, "hit");
    EXPECT_FALSE(link.server.entry(kReader, "TRIES129").has_value());
}

// What a get makes of the text between the res tags, as the companion stores it.
TEST(Cache, GetReadsTheValueBetweenTheResTags) {
    struct Case {
        std::string stored;
        int result;
        std::string value;
    };
    const Case cases[] = {
        {.stored = "NOT_FOUND", .result = GC_Cache::kNotFound, .value = ""},
        {.stored = "NOT_FOUNDx", .result = 0, .value = "NOT_FOUNDx"},
        {.stored = "", .result = 0, .value = ""},
        {.stored = "a</res><res>b", .result = 0, .value = "a</res><res>b"},
    };
    HubCompanion link;
    for (const auto& c : cases) {
        link.server.preseed(kReader, "K", bytesOf(c.stored));
        Bytes value{1};
        EXPECT_EQ(GC_Cache::get(kReader, bytesOf("K"), value, false), c.result) << c.stored;
        EXPECT_EQ(value, bytesOf(c.value)) << c.stored;
    }
    link.server.preseed(kReader, "TRIES1", {});
    unsigned long tries = 9;
    EXPECT_EQ(GC_Cache::getTriesLeft(kReader, 1, tries), 0);
    EXPECT_EQ(tries, 0u);
}

// How the link reacts to a misbehaving companion: the fault hits the reply to the second get
// (replies 0 and 1 are the agreement and the first get).
TEST(Cache, MisbehavingCompanion) {
    using Kind = companion::Fault::Kind;
    struct Case {
        const char* name;
        Kind kind;
        int result;        // of the faulty get
        bool newLinkNext;  // whether the call after it agrees a new link
    };
    const Case cases[] = {
        {.name = "silent", .kind = Kind::Silent, .result = GC_Cache::kNoAnswer, .newLinkNext = true},
        {.name = "wrong identifier", .kind = Kind::WrongId, .result = GC_Cache::kNoAnswer, .newLinkNext = true},
        {.name = "garbage before the reply", .kind = Kind::Garbage, .result = 0, .newLinkNext = false},
        {.name = "no message body", .kind = Kind::NoBody, .result = GC_Cache::kFailed, .newLinkNext = true},
        {.name = "duplicate reply", .kind = Kind::Duplicate, .result = 0, .newLinkNext = true},
        {.name = "late reply", .kind = Kind::Late, .result = GC_Cache::kNoAnswer, .newLinkNext = true},
        {.name = "no res tags", .kind = Kind::NoResTags, .result = GC_Cache::kBadReply, .newLinkNext = false},
        {.name = "no closing res tag", .kind = Kind::NoResEnd, .result = GC_Cache::kBadReply, .newLinkNext = false},
    };
    constexpr auto kWait = 300ms;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HubCompanion link(kWait);
        link.server.preseed(kReader, "first", bytesOf("1"));
        link.server.preseed(kReader, "second", bytesOf("2"));
        link.server.preseed(kReader, "third", bytesOf("3"));
        link.server.setFault({.kind = c.kind, .skip = 2, .count = 1, .late = 2 * kWait});
        Bytes value;
        ASSERT_EQ(GC_Cache::get(kReader, bytesOf("first"), value, false), 0);

        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(GC_Cache::get(kReader, bytesOf("second"), value, false), c.result);
        if (c.result == GC_Cache::kNoAnswer) {
            EXPECT_GE(std::chrono::steady_clock::now() - start, kWait);
        }
        if (c.result == 0) {
            EXPECT_EQ(value, bytesOf("2"));
        }
        std::this_thread::sleep_for(3 * kWait);  // a late or duplicate reply has come by now

        // Whatever came late, the next answer is the one to the next request.
        ASSERT_EQ(GC_Cache::get(kReader, bytesOf("third"), value, false), 0);
        EXPECT_EQ(value, bytesOf("3"));
        const auto frames = link.server.frames();
        ASSERT_GE(frames.size(), 4u);
        EXPECT_EQ(frames[frames.size() - 2].kind == "agree", c.newLinkNext);
        if (c.newLinkNext) {
            EXPECT_NE(frames[frames.size() - 2].id, frames[0].id);
        }
    }
}

// A companion that never answers: every call waits once, and only `set` still reports success
// (the card session would otherwise fail every read without a companion).
TEST(Cache, SilentCompanion) {
    HubCompanion link(100ms);
    link.server.setFault({.kind = companion::Fault::Kind::Silent, .skip = 0, .count = -1});
    Bytes value;
    EXPECT_EQ(GC_Cache::set(kReader, bytesOf("K"), bytesOf("v"), false), 0);
    EXPECT_EQ(GC_Cache::get(kReader, bytesOf("K"), value, false), GC_Cache::kNoAnswer);
    EXPECT_EQ(GC_Cache::existPassword(kReader), GC_Cache::kNoAnswer);
    EXPECT_EQ(GC_Cache::remove(kReader, bytesOf("K"), false), GC_Cache::kFailed);
    EXPECT_EQ(GC_Cache::clear(kReader), GC_Cache::kFailed);
    EXPECT_EQ(GC_Cache::connectionFailed(kReader), GC_Cache::kFailed);
    EXPECT_EQ(GC_Cache::bindCard(kReader, {1}), GC_Cache::kFailed);
    for (const auto& frame : link.server.frames()) EXPECT_EQ(frame.kind, "agree");  // never a link
}

// Another client of the centre answers in the companion's stead with the link's identifier: its
// reply is skipped, since only the sender that answered the key agreement may answer on the link.
TEST(Cache, RepliesFromAnotherSenderAreSkipped) {
    HubCompanion link;
    link.server.preseed(kReader, "K", bytesOf("genuine"));
    auto impostor = link.hub.connect();
    impostor->addObserver("cacheServer", [self = impostor.get()](const plat::Notification& n) {
        const auto payload = payloadOf(n);
        if (!payload || companion::find(*payload, "<msg>") == companion::npos) return;
        const companion::Bytes id = linkIdOf(*payload);
        const companion::Bytes forged = companion::toBytes("<res>forged</res>");
        self->postNotification("Core", companion::dumpMessage({{"encID", "BASE64" + companion::base64Encode(id)},
                                                               {"msg", "BASE64" + companion::base64Encode(forged)}}));
    });
    // The genuine reply comes second.
    link.server.setFault({.kind = companion::Fault::Kind::Late, .skip = 1, .count = -1, .late = 50ms});
    Bytes value;
    ASSERT_EQ(GC_Cache::get(kReader, bytesOf("K"), value, false), 0);
    EXPECT_EQ(value, bytesOf("genuine"));
}

// A companion whose B is 0 or not below p: no link, and the call fails instead of keying on it.
TEST(Cache, KeyAgreementRefusesBOutOfRange) {
    for (const Bytes& b : {Bytes{}, Bytes{0}, companion::CacheServer::group().p}) {
        plat::NotificationHub hub;
        auto driverSide = hub.connect();
        auto peer = hub.connect();
        peer->addObserver("cacheServer", [self = peer.get(), &b](const plat::Notification& n) {
            const companion::Bytes id = linkIdOf(payloadOf(n).value());
            self->postNotification("Core", companion::dumpMessage({{"encID", "BASE64" + companion::base64Encode(id)},
                                                                   {"B", "BASE64" + companion::base64Encode(b)}}));
        });
        plat::NotificationCenter::setDefaultCenter(driverSide);
        GC_Cache::resetForTesting(200ms);
        Bytes value;
        EXPECT_EQ(GC_Cache::get(kReader, bytesOf("K"), value, false), GC_Cache::kFailed);
        GC_Cache::resetForTesting();
        plat::NotificationCenter::setDefaultCenter(nullptr);
    }
}

// Eight readers, eight threads: each reads back its own values. The cache lock keeps the replies,
// which name no reader, from going to the wrong caller.
TEST(Cache, EightThreadsReadBackTheirOwnValues) {
    HubCompanion link;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &mismatches] {
            const std::string reader = "Reader " + std::to_string(t);
            for (int round = 0; round < 50; ++round) {
                const Bytes mine = bytesOf(reader + " round " + std::to_string(round));
                Bytes back;
                if (GC_Cache::set(reader.c_str(), bytesOf("K"), mine, false) != 0 ||
                    GC_Cache::get(reader.c_str(), bytesOf("K"), back, false) != 0 || back != mine)
                    ++mismatches;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches, 0);
}

TEST(Cache, BindCardClearsTheReaderForAnotherCard) {
    HubCompanion link;
    const Bytes can = bytesOf("123456");
    const Bytes first = {0x01, 0x02}, second = {0x03, 0x04};
    Bytes value;

    ASSERT_EQ(GC_Cache::bindCard(kReader, first), 0);  // no entry yet: cleared, id stored
    ASSERT_EQ(GC_Cache::setPassword(kReader, can), 0);
    ASSERT_EQ(GC_Cache::bindCard(kReader, first), 0);  // the same card: kept
    ASSERT_EQ(GC_Cache::getPassword(kReader, value), 0);
    EXPECT_EQ(value, can);

    ASSERT_EQ(GC_Cache::bindCard(kReader, second), 0);  // another card: its CAN is not the first's
    EXPECT_EQ(GC_Cache::getPassword(kReader, value), GC_Cache::kNotFound);
    EXPECT_EQ(link.server.entry(kReader, "CARDID"), second);

    ASSERT_EQ(GC_Cache::setPassword(kReader, can), 0);
    ASSERT_EQ(GC_Cache::bindCard(kReader, {}), 0);  // no serial: always cleared, nothing stored
    EXPECT_EQ(GC_Cache::getPassword(kReader, value), GC_Cache::kNotFound);
    EXPECT_FALSE(link.server.entry(kReader, "CARDID").has_value());

    size_t clears = 0;
    for (const auto& frame : link.server.frames()) clears += frame.command == "clr";
    EXPECT_EQ(clears, 3u);
}

// The CAN goes to the companion, never to the log; the detail log names the key.
TEST(Cache, CanNeverReachesTheLog) {
    gctest::TempDir dir;
    const std::string logs = dir.makeDirs("logs") + "/";
    auto previous = GC_Logger::installForTesting(std::make_shared<GC_Logger>(logs, 0, ~0ULL));
    {
        HubCompanion link;
        Bytes value;
        ASSERT_EQ(GC_Cache::setPassword(kReader, bytesOf("918273")), 0);
        ASSERT_EQ(GC_Cache::getPassword(kReader, value), 0);
        ASSERT_EQ(GC_Cache::existPassword(kReader), 0);
        ASSERT_EQ(GC_Cache::set(kReader, bytesOf("K"), bytesOf("visible-value"), false), 0);
    }
    GC_Logger::installForTesting(previous);
    const std::string log = gctest::readFile(logs + "spdlog.log");
    EXPECT_NE(log.find("CAN"), std::string::npos);
    EXPECT_NE(log.find("visible-value"), std::string::npos);  // the dumps are on
    EXPECT_EQ(log.find("918273"), std::string::npos);
}

// A call from a notification callback could only wait for the reply that the same thread would
// have to deliver: it is refused at once.
TEST(Cache, RefusedOnTheDeliveryThreadAndAfterShutdown) {
    std::atomic<int> result{1};
    HubCompanion link;
    link.driverSide->addObserver("poke", [&](const plat::Notification&) {
        Bytes value;
        result = GC_Cache::get(kReader, bytesOf("K"), value, false);
    });
    link.companionSide->postNotification("poke", std::nullopt);
    for (int i = 0; i < 200 && result == 1; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(result, GC_Cache::kDisabled);

    Bytes value;
    EXPECT_EQ(GC_Cache::exist(kReader, bytesOf("K"), false), GC_Cache::kNotFound);
    GC_Cache::shutdown();
    const size_t framesBefore = link.server.frames().size();
    EXPECT_TRUE(GC_Cache::isDisable());
    EXPECT_EQ(GC_Cache::get(kReader, bytesOf("K"), value, false), GC_Cache::kDisabled);
    EXPECT_EQ(link.server.frames().size(), framesBefore);
}

}  // namespace
