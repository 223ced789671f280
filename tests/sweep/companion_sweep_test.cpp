// The token's road on two readers at once (a first-generation card in one, a second-generation card
// with another CAN in the other) while the companion misbehaves on every reply: silent, late,
// duplicated, under a wrong identifier, behind garbage frames, without body, a duplicate held
// back until the next request, and a second companion answering first. Every road gives the right
// items and signatures (cache misses at worst), also when served from the cache and after the
// cards went out and in again, and what the companion keeps for a reader comes from that reader's
// card.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

#include "Data/Container/container.h"
#include "Data/Objects/certobject.h"
#include "Queue/hub_companion.h"
#include "cache.h"
#include "cache_server.h"
#include "driver.h"
#include "platform/notification_hub.h"
#include "token_road.h"

namespace sweep {
namespace {

using companion::Fault;
using namespace std::chrono_literals;

// Long enough for a reply on the in-process hub, short enough that a silent companion costs little.
constexpr auto kReplyWait = 30ms;

struct Misbehaviour {
    const char* name;
    Fault fault;
    bool secondSender = false;
};

const Misbehaviour kMisbehaviours[] = {
    {"silent", {.kind = Fault::Kind::Silent, .count = -1}},
    {"late", {.kind = Fault::Kind::Late, .count = -1, .late = 2 * kReplyWait}},
    {"duplicated", {.kind = Fault::Kind::Duplicate, .count = -1}},
    {"wrong identifier", {.kind = Fault::Kind::WrongId, .count = -1}},
    {"garbage frames", {.kind = Fault::Kind::Garbage, .count = -1}},
    {"no body", {.kind = Fault::Kind::NoBody, .count = -1}},
    {"duplicate after the next request", {.kind = Fault::Kind::DuplicateLate, .count = -1}},
    {"a second sender answering first", {}, true},
};

// The driver, a second companion (when one answers first: it registers first, so the hub hands it
// every request first) and the companion on one hub.
struct Companions {
    explicit Companions(bool secondSender) {
        plat::NotificationCenter::setDefaultCenter(driverSide);
        GC_Cache::resetForTesting(kReplyWait);
        if (secondSender) second.emplace(hub.connect());
        server.emplace(companionSide);
    }
    ~Companions() {
        server.reset();
        second.reset();
        GC_Cache::resetForTesting();
        plat::NotificationCenter::setDefaultCenter(nullptr);
    }
    plat::NotificationHub hub;
    std::shared_ptr<plat::NotificationCenter> driverSide = hub.connect();
    std::shared_ptr<plat::NotificationCenter> companionSide = hub.connect();
    std::optional<companion::CacheServer> second;
    std::optional<companion::CacheServer> server;
};

const Generation& generation(cardsim::Personality personality) {
    for (const Generation& g : generations())
        if (g.personality == personality) return g;
    return generations().front();
}

cardsim::CardConfig withCan(const char* can) {
    cardsim::CardConfig config;
    config.can = can;
    return config;
}

// What the companion keeps for a reader that did not come from that reader's card: a file entry
// that is none of the card's files, a CAN that is not the card's.
std::vector<std::string> foreignEntries(companion::CacheServer& server, const std::string& reader,
                                        const cardsim::CardSim& card, const std::string& can) {
    std::vector<Bytes> files;
    for (const auto& [path, content] : card.image().files) files.push_back(content);
    std::vector<std::string> out;
    for (const auto& [key, value] : server.entries(reader)) {
        if (key == "CAN") {
            if (value != Bytes(can.begin(), can.end())) out.push_back(reader + ": another card's CAN");
        } else if (key != "CARDID" && key.rfind("TRIES", 0) != 0 &&
                   std::find(files.begin(), files.end(), value) == files.end()) {
            out.push_back(reader + ": entry " + key + " is none of the card's files");
        }
    }
    return out;
}

TEST(CompanionSweep, TwoReadersAndAMisbehavingCompanion) {
    const Generation& first = generation(cardsim::Personality::Varnel1);
    const Generation& second = generation(cardsim::Personality::Varnel2);
    std::vector<Item> referenceA, referenceB;
    {
        gctest::HubCompanion link(kReplyWait);
        TokenHost host(link.companionSide);
        RoadCard a(host, first, "Sweep Reader A", withCan("123456"));
        RoadCard b(host, second, "Sweep Reader B", withCan("654321"));
        referenceA = a.road().items;
        referenceB = b.road().items;
        ASSERT_EQ(referenceA.size(), 2 * first.keys.size());
        ASSERT_EQ(referenceB.size(), 2 * second.keys.size());
    }

    std::vector<std::string> problems;
    std::printf("\ncompanion misbehaving on every reply, two readers\n%-34s %6s %6s %8s\n", "companion", "roads",
                "right", "stored");
    for (const Misbehaviour& m : kMisbehaviours) {
        Companions companions(m.secondSender);
        companions.server->setFault(m.fault);
        TokenHost host(companions.companionSide);
        RoadCard a(host, first, "Sweep Reader A", withCan("123456"));
        RoadCard b(host, second, "Sweep Reader B", withCan("654321"));
        int roads = 0, right = 0;
        auto check = [&](RoadCard& card, const Generation& g, const std::vector<Item>& reference, const char* when) {
            const RoadResult run = card.road();
            ++roads;
            if (run.complete(reference, g.keys.size())) {
                ++right;
                return;
            }
            problems.push_back(std::string(m.name) + ", " + g.name + " " + when + ": CAN check " + run.canResult +
                               ", " + std::to_string(run.items.size()) + " items, " + std::to_string(run.signatures) +
                               " signatures");
        };
        // Read from the cards, then again (from the companion's cache where it answered), then
        // after the cards went out and in again.
        for (const char* when : {"first", "again", "re-inserted"}) {
            if (std::string(when) == "re-inserted") {
                a.reinsert();
                b.reinsert();
            }
            check(a, first, referenceA, when);
            check(b, second, referenceB, when);
        }
        size_t stored = 0;
        companion::CacheServer& keeper = m.secondSender ? *companions.second : *companions.server;
        for (const auto& [reader, card, can] :
             {std::tuple<const char*, RoadCard*, const char*>{"Sweep Reader A", &a, "123456"},
              {"Sweep Reader B", &b, "654321"}}) {
            stored += keeper.entries(reader).size();
            for (const std::string& text : foreignEntries(keeper, reader, card->card(), can))
                problems.push_back(std::string(m.name) + ": " + text);
        }
        std::printf("%-34s %6d %6d %8zu\n", m.name, roads, right, stored);
    }
    for (const std::string& problem : problems) std::printf("  problem: %s\n", problem.c_str());
    std::fflush(stdout);
    EXPECT_TRUE(problems.empty());
}

// Reopens the session's channel (with the CAN it adopted, or else the companion's), reads the
// containers and signs with the Authentication key after its PIN: 0 with a signature the key's
// certificate verifies, 1 with one it does not, otherwise the failing step's code.
int signWithAuthentication(Driver& driver) {
    if (driver.getLastError() != 0) return static_cast<int>(driver.getLastError());
    if (const int rc = driver.restoreSecureConnection(); rc != 0) return rc;
    std::vector<std::shared_ptr<GC_Container>> list;
    if (const int rc = driver.getContainers(list, true); rc != 0) return rc;
    driver.loadContainers(list, false);
    for (const std::shared_ptr<GC_Container>& container : list) {
        if (container->label.find("Authentication") == std::string::npos) continue;
        GC_Object* key = container->getPrivateKey();
        std::vector<GC_Object*> objects;
        container->getObjects(objects);
        Bytes der;
        for (GC_Object* object : objects)
            if (object->type == GC_Object::TYPE_CERTIFICATE) static_cast<GC_CertObject*>(object)->getCert(der);
        if (key == nullptr || der.empty()) return -1102;
        if (const int rc = driver.verifyPassword(container, {'1', '1', '1', '1', '1', '1'}, false); rc != 0) return rc;
        const Bytes digest(32, 0x5A);
        Bytes signature;
        const int rc = driver.signatureData(container, key, digest, Driver::EC_SHA256, signature);
        driver.logoutPassword(container, false);
        if (rc != 0) return rc;
        return verifies(der, digest, signature) ? 0 : 1;
    }
    return -1102;
}

// A program that opens the cards itself, each on a session of its own: it asks each reader's
// features first (the session adopts the CAN the companion keeps; one reader's CAN is asked right
// after the other's), then each card signs. The result per reader.
std::vector<int> signWithTheCompanionsCan(const std::vector<std::string>& readers) {
    std::vector<std::unique_ptr<Driver>> drivers;
    for (const std::string& reader : readers)
        drivers.push_back(std::make_unique<Driver>(reader, GC_CardController::CARD_GENERIC, true, nullptr));
    for (auto& driver : drivers) {
        int features = 0;
        driver->getReaderFeatures(features);
    }
    std::vector<int> results;
    for (auto& driver : drivers) results.push_back(signWithAuthentication(*driver));
    return results;
}

// PACE runs the card refused at the terminal's token (69 82) since `from`: a CAN not the card's.
size_t refusedCans(const cardsim::CardSim& card, size_t from) {
    const auto log = card.log();
    size_t refused = 0;
    for (size_t i = from; i < log.size(); ++i)
        if (log[i].plainCommand.size() > 1 && log[i].plainCommand[1] == 0x86 &&
            log[i].plainResponse == Bytes{0x69, 0x82})
            ++refused;
    return refused;
}

// The one thing the link cannot tell: a reply sent twice whose copy comes only after the next
// request was sent, so that it stands for that request's reply. Held back at each reply of two
// roads served from the companion's cache in turn (a file the next request does not ask for, the
// other reader's file, a tries-left counter, a CAN), and of a program that takes both cards' CANs
// from the companion, the copy gives a cache miss or a clear error, never another file's content,
// another reader's value (a PACE run with the other card's CAN), a missing or a wrong item.
TEST(CompanionSweep, ADuplicateAfterTheNextRequestAtEveryReply) {
    const Generation& first = generation(cardsim::Personality::Varnel1);
    const Generation& second = generation(cardsim::Personality::Varnel2);
    gctest::HubCompanion link(kReplyWait);
    TokenHost host(link.companionSide);
    RoadCard a(host, first, "Sweep Reader A", withCan("123456"));
    RoadCard b(host, second, "Sweep Reader B", withCan("654321"));
    const std::vector<Item> referenceA = a.road().items;
    const std::vector<Item> referenceB = b.road().items;
    ASSERT_EQ(referenceA.size(), 2 * first.keys.size());
    ASSERT_EQ(referenceB.size(), 2 * second.keys.size());
    // Both roads once more from the cache: how many replies they take.
    size_t frames = link.server.frames().size();
    ASSERT_TRUE(a.road().complete(referenceA, first.keys.size()));
    ASSERT_TRUE(b.road().complete(referenceB, second.keys.size()));
    const int replies = static_cast<int>(link.server.frames().size() - frames);
    // And the program that takes both CANs from the companion.
    frames = link.server.frames().size();
    const std::vector<std::string> readers{"Sweep Reader A", "Sweep Reader B"};
    ASSERT_EQ(signWithTheCompanionsCan(readers), (std::vector<int>{0, 0}));
    const int canReplies = static_cast<int>(link.server.frames().size() - frames);
    // A copy may make a session take its card for another and clear the reader's entries; nothing
    // on this road stores the CAN again, so each run starts from the entries a fault-free run saw.
    std::map<std::pair<std::string, std::string>, Bytes> kept;
    for (const std::string& reader : readers)
        for (const char* key : {"CARDID", "CAN"})
            kept[{reader, key}] = link.server.entry(reader, key).value_or(Bytes{});

    std::vector<std::string> problems;
    int right = 0, errors = 0;
    for (int reply = 0; reply < replies; ++reply) {
        link.server.setFault({.kind = Fault::Kind::DuplicateLate, .skip = reply, .count = 1});
        for (auto [card, g, reference] :
             {std::tuple<RoadCard*, const Generation*, const std::vector<Item>*>{&a, &first, &referenceA},
              {&b, &second, &referenceB}}) {
            const RoadResult run = card->road();
            const bool foreign = std::any_of(run.items.begin(), run.items.end(), [&](const Item& item) {
                return std::find(reference->begin(), reference->end(), item) == reference->end();
            });
            if (run.complete(*reference, g->keys.size())) {
                ++right;
            } else if (!foreign && run.wrong.empty() && (run.canResult != "SUCCESS" || run.refusals > 0)) {
                ++errors;  // the CAN check or a signature refused, nothing wrong published
            } else {
                problems.push_back("duplicate of reply " + std::to_string(reply) + ", " + g->name + ": CAN check " +
                                   run.canResult + ", " + std::to_string(run.items.size()) + " items, " +
                                   std::to_string(run.signatures) + " signatures");
            }
        }
    }
    for (int reply = 0; reply < canReplies; ++reply) {
        for (const auto& [entry, value] : kept) link.server.preseed(entry.first, entry.second, value);
        link.server.setFault({.kind = Fault::Kind::DuplicateLate, .skip = reply, .count = 1});
        const size_t marks[] = {a.card().log().size(), b.card().log().size()};
        const std::vector<int> results = signWithTheCompanionsCan(readers);
        for (size_t i = 0; i < readers.size(); ++i) {
            const size_t refused = refusedCans((i == 0 ? a : b).card(), marks[i]);
            if (results[i] == 0 && refused == 0) {
                ++right;
            } else if (results[i] != 1 && refused == 0) {
                ++errors;
            } else {
                problems.push_back("duplicate of reply " + std::to_string(reply) + ", " + readers[i] +
                                   " with the companion's CAN: result " + std::to_string(results[i]) + ", " +
                                   std::to_string(refused) + " PACE runs with a CAN not the card's");
            }
        }
    }
    for (const auto& [reader, card, can] :
         {std::tuple<const char*, RoadCard*, const char*>{"Sweep Reader A", &a, "123456"},
          {"Sweep Reader B", &b, "654321"}})
        for (const std::string& text : foreignEntries(link.server, reader, card->card(), can)) problems.push_back(text);
    std::printf("\na duplicate after the next request, at each of %d replies: %d of %d roads right, %d clear errors\n",
                replies + canReplies, right, 2 * (replies + canReplies), errors);
    for (const std::string& problem : problems) std::printf("  problem: %s\n", problem.c_str());
    std::fflush(stdout);
    EXPECT_TRUE(problems.empty());
}

}  // namespace
}  // namespace sweep
