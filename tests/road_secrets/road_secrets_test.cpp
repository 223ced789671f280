// After the token's whole road in one process (the companion's CAN check, the items listed, the
// PIN entered and a signature made with every key of the card, on both card generations), no
// block that the extension, the card library or the platform stand-ins freed holds the CAN, a PIN
// or a session key of a PACE run, and the log file written with every mask bit and the detail
// options on holds none of them either: raw, as hex or as base64.
//
// Every block released on the road is kept (a quarantine) and searched at the end, when the card
// tells the session keys it derived. The simulated card, the test companion and the notification
// transport between them are other parties: what they free is not looked at.
#include "support/freed_memory_scan.h"
#include "support/openssl_freed_scan.h"
// (the two above first: they replace the allocators)

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Data/wipe.h"
#include "Queue/queueobjc.h"
#include "cache.h"
#include "cache_server.h"
#include "ctk_client.h"
#include "extension/token.h"
#include "extension/token_driver.h"
#include "factory.h"
#include "logger.h"
#include "platform/base64.h"
#include "platform/ctk_memory.h"
#include "platform/ctk_token_signer.h"
#include "platform/dispatch.h"
#include "platform/notification_hub.h"
#include "support/env_guard.h"
#include "support/notification_collector.h"
#include "support/sim_card_adapter.h"
#include "support/temp_dir.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<unsigned char>;
using freedscan::Paused;
using sec::KeyAlgorithm;

constexpr const char* kReader = "Secret Reader 0";
constexpr const char* kCan = "731594";

struct CardKey {
    const char* label;
    const char* certificate;
    uint8_t pinReference;
    const char* pin;
    KeyAlgorithm algorithm;
};

struct Generation {
    const char* name;
    cardsim::Personality personality;
    std::vector<CardKey> keys;
};

void PrintTo(const Generation& generation, std::ostream* out) {
    *out << generation.name;
}

const Generation kGenerations[] = {
    {"Varnel1",
     cardsim::Personality::Varnel1,
     {{"Authentication key", "v1_auth_p256", 0x8A, "480913", KeyAlgorithm::ECDSASignatureDigestX962},
      {"Presence key", "v1_presence_p521", 0x88, "735102", KeyAlgorithm::ECDSASignatureDigestX962},
      {"Qualified key", "v1_qualified_rsa", 0x8C, "296487", KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256}}},
    {"Varnel2",
     cardsim::Personality::Varnel2,
     {{"Authentication key", "v2_auth_bp256", 0x01, "480913", KeyAlgorithm::ECDSASignatureDigestX962},
      {"Authorization key", "v2_authz_p384", 0x02, "735102", KeyAlgorithm::ECDSASignatureDigestX962},
      {"Qualified key", "v2_qualified_rsa", 0x0C, "296487", KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256}}},
};

cardsim::CardConfig configFor(const Generation& generation) {
    cardsim::CardConfig config;
    config.personality = generation.personality;
    config.can = kCan;
    for (const CardKey& key : generation.keys) config.pins[key.pinReference & 0x7F] = key.pin;
    return config;
}

// The card: what it frees while it answers is its own.
class CardOfItsOwn : public gctest::SimCardAdapter {
public:
    using SimCardAdapter::SimCardAdapter;
    std::vector<unsigned char> transmit(const std::vector<unsigned char>& apdu) override {
        const Paused paused;
        return SimCardAdapter::transmit(apdu);
    }
};

// One side of the hub. Its one worker thread carries every notification and frees it (the
// transport's memory); of its callbacks, the extension's are looked at, the companion's are not.
class Side : public plat::NotificationCenter {
public:
    Side(std::shared_ptr<plat::NotificationCenter> inner, bool ours) : inner_(std::move(inner)), ours_(ours) {}
    ObserverId addObserver(const std::string& name, Callback callback) override {
        return inner_->addObserver(name, [ours = ours_, callback = std::move(callback)](const plat::Notification& n) {
            freedscan::t_paused = ours ? 0 : 1;
            callback(n);
            freedscan::t_paused = 1;
        });
    }
    void removeObserver(ObserverId id) override { inner_->removeObserver(id); }
    bool postNotification(const std::string& name, const std::optional<std::string>& object) override {
        const Paused paused;  // the copies the hub makes are the transport's
        return inner_->postNotification(name, object);
    }
    bool onDeliveryThread() const override { return inner_->onDeliveryThread(); }
    std::string senderName() const override { return inner_->senderName(); }

private:
    std::shared_ptr<plat::NotificationCenter> inner_;
    const bool ours_;
};

// The companion's cache service and the extension on one hub, each on its own side.
struct CompanionOnAHub {
    plat::NotificationHub hub;
    std::shared_ptr<Side> extensionSide = std::make_shared<Side>(hub.connect(), true);
    std::shared_ptr<Side> companionSide = std::make_shared<Side>(hub.connect(), false);
    companion::CacheServer server{companionSide};

    // `value` as the link carries it at `offset` of a frame's body: XOR-ed with the link's key.
    Bytes sealed(const Bytes& linkId, const Bytes& value, size_t offset) {
        const Bytes key = server.keyFor(linkId);
        Bytes out(key.empty() ? 0 : value.size());
        for (size_t i = 0; i < out.size(); ++i) out[i] = value[i] ^ key[(offset + i) % key.size()];
        return out;
    }
};

Bytes sha256(const std::string& text) {
    Bytes digest(32);
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

Bytes certificateFile(const char* name) {
    return cardsim::test::dataFile(std::string("certs/") + name + ".der").value_or(Bytes{});
}

// The bytes of the log's hex dumps ("     31 32 ... | text" lines), each run of consecutive dump
// lines joined, so that a value cut at a line's end is found whole.
std::vector<Bytes> dumpedBytes(const std::string& log) {
    std::vector<Bytes> runs(1);
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        const std::string line = log.substr(start, end - start);
        start = end + 1;
        const size_t dump = line.find("      ");
        Bytes bytes;
        if (dump != std::string::npos) {
            for (size_t i = line.find_first_not_of(' ', dump); i != std::string::npos && i + 1 < line.size(); i += 3) {
                if (!isxdigit(line[i]) || !isxdigit(line[i + 1]) || (i + 2 < line.size() && line[i + 2] != ' ')) break;
                bytes.push_back(static_cast<unsigned char>(std::stoi(line.substr(i, 2), nullptr, 16)));
            }
        }
        if (bytes.empty()) {
            if (!runs.back().empty()) runs.emplace_back();
        } else {
            runs.back().insert(runs.back().end(), bytes.begin(), bytes.end());
        }
    }
    return runs;
}

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// Where the log shows the secret: in one of its forms (raw, hex, base64), or in a dump.
std::string inLog(const std::string& log, const std::vector<Bytes>& dumps, const Bytes& secret) {
    if (const char* form = freedscan::Forms(secret.data(), secret.size()).in(log.data(), log.size(), /*digits=*/true))
        return form;
    for (const Bytes& run : dumps)
        if (contains(run, secret)) return "dump";
    return {};
}

class RoadSecrets : public ::testing::TestWithParam<Generation>, protected CompanionOnAHub {
protected:
    void SetUp() override {
        ASSERT_TRUE(card.ok()) << card.error();
        plat::NotificationCenter::setDefaultCenter(extensionSide);
        GC_Cache::resetForTesting(GC_Cache::kDefaultReplyWait);
        ctk::SlotManager::setDefaultManager(slots);
        slots->addSlot(kReader);
        slots->insertCard(kReader, std::make_shared<CardOfItsOwn>(card));
        previousLogger = GC_Logger::installForTesting(
            std::make_shared<GC_Logger>(logs + "/",
                                        GC_Logger::kOptionFullFileDump | GC_Logger::kOptionDebugLevel |
                                            GC_Logger::kOptionLevelPrefix | GC_Logger::kOptionSourcePath,
                                        ~0ULL));
        token = std::static_pointer_cast<Token>(driver->createTokenForSmartCard(smartCard(), {}, nullptr));
        ASSERT_NE(token, nullptr);
        // The hub's worker runs a callback of each side once before the scan: from then on it
        // counts as the transport.
        const Paused paused;
        ASSERT_TRUE(client.askVersion());
        ASSERT_EQ(client.waitForMessages(1).size(), 1u);
    }
    void TearDown() override {
        plat::Dispatch::waitIdle();
        token.reset();
        // The reader goes, and the registry lets go of the card's session: its worker thread ends now,
        // while OpenSSL still cleans up after threads, not at exit.
        slots->removeSlot(kReader);
        GC_Factory::getReadersList(false);
        GC_Logger::installForTesting(previousLogger);
        ctk::SlotManager::resetDefaultManager();
        GC_Cache::resetForTesting();
        plat::NotificationCenter::setDefaultCenter(nullptr);
    }

    std::shared_ptr<ctk::SmartCard> smartCard() {
        std::promise<std::shared_ptr<ctk::Slot>> found;
        slots->getSlotWithName(kReader, [&](std::shared_ptr<ctk::Slot> slot) { found.set_value(slot); });
        std::shared_ptr<ctk::Slot> slot = found.get_future().get();
        return slot ? slot->makeSmartCard() : nullptr;
    }

    // The companion's CAN check and its answer (waited for as long as a loaded sanitizer build may take).
    std::string checkCan() {
        const Paused paused;
        const size_t seen = client.waitForMessages(0).size();
        EXPECT_TRUE(client.checkCan(kReader, kCan));
        for (size_t count = seen + 1; count <= seen + 2; ++count) {
            const std::vector<companion::Message> messages = client.waitForMessages(count, std::chrono::seconds(120));
            for (size_t i = seen; i < messages.size(); ++i) {
                const auto result = messages[i].find("canResult");
                if (result != messages[i].end()) return result->second;
            }
        }
        return "(no answer)";
    }

    std::shared_ptr<ctk::KeychainKey> keyItem(const char* label) {
        for (const auto& item : token->keychainContents().items()) {
            auto key = std::dynamic_pointer_cast<ctk::KeychainKey>(item);
            if (key && item->label()->rfind(label, 0) == 0) return key;
        }
        return nullptr;
    }

    const Generation& generation = GetParam();
    gctest::TempDir home;
    gctest::EnvGuard homeGuard{"HOME", home.path()};
    const std::string logs = home.makeDirs("logs");
    std::shared_ptr<GC_Logger> previousLogger;
    companion::CtkClient client{companionSide, "App"};
    std::shared_ptr<ctk::mem::SlotManager> slots = std::make_shared<ctk::mem::SlotManager>();
    cardsim::CardSim card{configFor(GetParam())};
    std::shared_ptr<TokenDriver> driver = std::make_shared<TokenDriver>();
    std::shared_ptr<Token> token;
};

TEST_P(RoadSecrets, NoneInFreedMemoryNorInTheLog) {
    // The secrets, and what the road did with them; made before the quarantine and gone after it.
    std::vector<std::pair<std::string, Bytes>> secrets{{"CAN", Bytes(kCan, kCan + 6)}};
    for (const CardKey& key : generation.keys) secrets.emplace_back(key.label, Bytes(key.pin, key.pin + 6));
    std::vector<ctk::SignOutcome> outcomes(generation.keys.size());
    std::vector<Bytes> messages;
    std::vector<Bytes> digests;
    for (const CardKey& key : generation.keys) {
        const std::string text = std::string("signed by the ") + key.label;
        messages.emplace_back(text.begin(), text.end());
        digests.push_back(sha256(text));
    }
    const Bytes certificate = certificateFile(generation.keys[0].certificate);
    std::vector<Bytes> sessionKeys;
    sessionKeys.reserve(16);
    struct Found {
        std::string name;
        size_t count;
        std::string where;  // the blocks that hold it, allocated and freed where
    };
    std::vector<Found> found;
    found.reserve(64);
    size_t kept = 0;
    size_t certificatesKept = 0;
    std::string canResult;
    {
        // Nothing leaves this scope early: the quarantine may only go once the road is quiet.
        freedscan::Quarantine quarantine;
        canResult = checkCan();
        ctk::TokenSigner signer(token);
        for (size_t i = 0; i < generation.keys.size() && canResult == "SUCCESS"; ++i) {
            const CardKey& key = generation.keys[i];
            std::shared_ptr<ctk::KeychainKey> item = keyItem(key.label);
            if (!item) continue;
            outcomes[i] = signer.sign(item->objectID(), key.algorithm, digests[i],
                                      [&key](ctk::TokenSmartCardPINAuthOperation& operation) {
                                          operation.setPIN(key.pin);
                                          return true;
                                      });
        }
        plat::Dispatch::waitIdle();
        const Paused paused;
        for (Bytes& sessionKey : card.sessionKeys()) sessionKeys.push_back(std::move(sessionKey));
        const auto look = [&](std::string name, const Bytes& secret, bool digits = false) {
            const size_t count = quarantine.holding(secret.data(), secret.size(), digits);
            found.push_back(
                {std::move(name), count, count > 0 ? quarantine.where(secret.data(), secret.size(), digits) : ""});
        };
        for (const auto& [name, secret] : secrets) look(name, secret, /*digits=*/true);
        for (size_t i = 0; i < sessionKeys.size(); ++i) look("session key " + std::to_string(i), sessionKeys[i]);
        // The CAN as the companion link carried it: enciphered with the link's key.
        for (const companion::FrameRecord& frame : server.frames()) {
            const auto at = std::search(frame.plain.begin(), frame.plain.end(), kCan, kCan + 6);
            const Bytes can = sealed(frame.id, secrets[0].second, static_cast<size_t>(at - frame.plain.begin()));
            if (at != frame.plain.end() && !can.empty()) look("the CAN enciphered for the link", can);
        }
        kept = quarantine.kept();
        certificatesKept = quarantine.holding(certificate.data(), 64);
    }
    ASSERT_EQ(canResult, "SUCCESS");

    // The road ran, and the scan saw its freed blocks: the certificates read went through some.
    for (size_t i = 0; i < generation.keys.size(); ++i) {
        SCOPED_TRACE(generation.keys[i].label);
        ASSERT_TRUE(outcomes[i].signature) << (outcomes[i].error ? outcomes[i].error->text : "no error");
        std::string openssl;
        EXPECT_TRUE(cardsim::test::opensslVerifies(certificateFile(generation.keys[i].certificate), "sha256",
                                                   messages[i], *outcomes[i].signature, &openssl))
            << openssl;
    }
    EXPECT_GT(kept, 1000u);
    EXPECT_GT(certificatesKept, 0u);
    ASSERT_GE(sessionKeys.size(), 2u);  // K_enc and K_mac of at least one PACE run
    EXPECT_TRUE(std::ranges::any_of(found, [](const Found& entry) { return entry.name.starts_with("the CAN enc"); }))
        << "the CAN went to the companion's cache";
    for (const Found& entry : found)
        EXPECT_EQ(entry.count, 0u) << entry.name << " is left in freed memory, in\n" << entry.where;

    // The log, written with every line on and full dumps.
    GC_Logger::installForTesting(previousLogger);
    const std::string log = gctest::readFile(logs + "/spdlog.log");
    const std::vector<Bytes> dumps = dumpedBytes(log);
    ASSERT_FALSE(inLog(log, dumps, Bytes(certificate.begin(), certificate.begin() + 64)).empty())
        << "the file dumps are on";
    for (const auto& [name, secret] : secrets) EXPECT_EQ(inLog(log, dumps, secret), "") << name;
    for (size_t i = 0; i < sessionKeys.size(); ++i)
        EXPECT_EQ(inLog(log, dumps, sessionKeys[i]), "") << "session key " << i;
}

// The test companion frees its copies of the link's frames unwiped on the hub's thread, where the
// extension's next block of the same size (a reply being parsed) is that very memory: on a busy
// machine the CAN enciphered for the link was found so, in a block that never held it. What an
// earlier owner left is not the road's: the scan must not find it there.
TEST(RoadSecretsScan, WhatAnEarlierOwnerLeftIsNotTheRoads) {
    freedscan::makeCanary();
    freedscan::Quarantine quarantine;
    uintptr_t theirs = 0;
    {
        const Paused paused;  // the companion
        void* frame = ::operator new(96);
        std::memcpy(static_cast<unsigned char*>(frame) + 60, freedscan::g_canary, freedscan::kCanaryLength);
        theirs = reinterpret_cast<uintptr_t>(frame);
        ::operator delete(frame);
    }
    void* ours = ::operator new(96);  // the same thread asks for as much: malloc hands that block back
    const bool reused = reinterpret_cast<uintptr_t>(ours) == theirs;
    static_cast<unsigned char*>(ours)[0] = 1;
    ::operator delete(ours);
    if (!reused) GTEST_SKIP() << "this allocator does not hand a freed block straight back (a sanitizer's)";
    const Paused paused;
    EXPECT_EQ(quarantine.holding(freedscan::g_canary, freedscan::kCanaryLength), 0u)
        << quarantine.where(freedscan::g_canary, freedscan::kCanaryLength);
}

// A reply is assembled in one block: grown entry by entry, the vector would free the parts already
// in it unwiped, the enciphered message among them when another entry follows it.
TEST(RoadSecretsScan, AReplyIsAssembledWithoutCopies) {
    freedscan::makeCanary();
    const std::string object = R"({"encID":"BASE64AQIDBAUGBwg=","msg":"BASE64)" +
                               plat::base64::encode(freedscan::g_canary, freedscan::kCanaryLength) +
                               R"(","status":"done"})";
    Bytes reply;
    freedscan::Armed scan;
    ASSERT_TRUE(GC_QueueObjC::assembleReply(object, reply));
    gc_wipe(reply);
    EXPECT_EQ(scan.leaks(), 0);
}

// The link's replies on the paths that only a late or misbehaving companion takes: a reply after
// its wait ended, a duplicate, one with another link's identifier (skipped in the wait), more
// unasked replies than the link keeps (the oldest dropped), and replies kept when the link goes.
// Every one is wiped before it is freed, as assembled and as the base64 text it came in.
class LinkReplies : public ::testing::Test, protected CompanionOnAHub {
protected:
    static constexpr auto kWait = std::chrono::milliseconds(300);
    static constexpr const char* kLinkReader = "Link Reader";

    void SetUp() override {
        plat::NotificationCenter::setDefaultCenter(extensionSide);
        companionSide->addObserver("Fence", fences.callback());
        server.preseed(kLinkReader, "K", secret);
    }
    void TearDown() override {
        GC_Cache::resetForTesting();
        plat::NotificationCenter::setDefaultCenter(nullptr);
    }

    int get() {
        Bytes value;
        GC_WipeGuard wipe{&value};
        return GC_Cache::get(kLinkReader, Bytes{'K'}, value, false);
    }
    // Replies nobody asked for, posted as the companion posts: frames of no link, with the secret.
    void postUnasked(size_t count) {
        const Paused paused;
        const std::string object =
            R"({"encID":"BASE64AQIDBAUGBwg=","msg":"BASE64)" + plat::base64::encode(secret) + R"("})";
        for (size_t i = 0; i < count; ++i) ASSERT_TRUE(companionSide->postNotification("Core", object));
        // Delivered in order: once the fence is there, every reply before it was handed over.
        const size_t seen = fences.received().size();
        ASSERT_TRUE(companionSide->postNotification("Fence", std::nullopt));
        ASSERT_EQ(fences.waitFor(seen + 1).size(), seen + 1);
    }

    const Bytes secret{0x9C, 0x1D, 0xE7, 0x42, 0x5A, 0x03, 0xB8, 0x61, 0xF4, 0x2E, 0x07, 0xC9};
    gctest::NotificationCollector fences;
};

TEST_F(LinkReplies, EachIsWipedOnThePathsOfALateOrMisbehavingCompanion) {
    using Fault = plat::NotificationHub::Fault;
    const struct {
        const char* name;
        std::function<void()> run;
    } rows[] = {
        {"a reply after its wait ended", [&] {
             hub.injectFault("Core", Fault::Delay, 1, 2 * kWait);
             EXPECT_EQ(get(), GC_Cache::kNoAnswer);
             std::this_thread::sleep_for(3 * kWait);
             EXPECT_EQ(get(), 0);
         }},
        {"a duplicate", [&] {
             hub.injectFault("Core", Fault::Duplicate);
             EXPECT_EQ(get(), 0);
             EXPECT_EQ(get(), 0);
         }},
        {"another link's identifier", [&] {
             server.setFault({.kind = companion::Fault::Kind::WrongId});
             EXPECT_EQ(get(), GC_Cache::kNoAnswer);
         }},
        {"more unasked replies than the link keeps", [&] {
             postUnasked(GC_QueueObjC::kMaxKept + 2);
             EXPECT_EQ(get(), 0);
         }},
        {"the link gone while replies are kept", [&] {
             postUnasked(2);
             GC_Cache::resetForTesting(kWait);
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        GC_Cache::resetForTesting(kWait);
        ASSERT_EQ(get(), 0);  // the link stands, and the hub's worker has run a callback of each side
        std::string found;
        {
            freedscan::Quarantine quarantine;
            row.run();
            const Paused paused;
            std::vector<Bytes> frames{secret};  // as posted unasked, and as the companion answered
            for (const companion::FrameRecord& frame : server.frames())
                if (frame.command == "get") frames.push_back(sealed(frame.id, secret, 5));  // after "<res>"
            for (const Bytes& frame : frames)
                if (quarantine.holding(frame.data(), frame.size()) > 0)
                    found += quarantine.where(frame.data(), frame.size());
        }
        EXPECT_EQ(found, "") << "a reply is left in freed memory";
    }
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, RoadSecrets, ::testing::ValuesIn(kGenerations),
                         [](const ::testing::TestParamInfo<Generation>& info) { return info.param.name; });

}  // namespace
