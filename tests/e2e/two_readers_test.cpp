// Two readers with a card each, one of either generation, served at once by the token host in
// process: the real token extension over the real card library, the simulated cards in in-memory
// slots, the test companion on the hub for the CAN checks and as the cache service, and a client
// of the control socket per reader. Every round checks the CAN, lists the items and signs after
// the PIN on both readers at the same time; each signature must verify with the certificate that
// its own card lists. Built for the ThreadSanitizer run (GC_TWO_READERS_ROUNDS sets the rounds).
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "cache.h"
#include "cache_server.h"
#include "cardsim.h"
#include "ctk_client.h"
#include "extension/token_driver.h"
#include "factory.h"
#include "host/token_host.h"
#include "platform/base64.h"
#include "platform/ctk_memory.h"
#include "platform/dispatch.h"
#include "platform/notification_hub.h"
#include "support/control_client.h"
#include "support/signature_check.h"
#include "support/sim_card_adapter.h"
#include "support/temp_dir.h"
#include "test_util.h"

namespace {

using nlohmann::json;
using Bytes = std::vector<unsigned char>;

constexpr int kDefaultRounds = 20;

// A reader, its card and the key a client signs with there.
struct Reader {
    const char* name;
    cardsim::Personality personality;
    const char* keyLabel;  // the start of the key item's label
    const char* algorithm;
    const char* pin;
    const char* can;
    const char* certificate;  // the personalisation's certificate of the key
};

const Reader kReaders[] = {
    {"Two Readers A", cardsim::Personality::Varnel1, "Presence key", "ECDSASignatureDigestX962", "222222", "123456",
     "v1_presence_p521"},
    {"Two Readers B", cardsim::Personality::Varnel2, "Qualified key", "RSASignatureDigestPKCS1v15SHA256", "333333",
     "654321", "v2_qualified_rsa"},
};

int rounds() {
    const char* text = std::getenv("GC_TWO_READERS_ROUNDS");
    const int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 ? n : kDefaultRounds;
}

cardsim::CardConfig configFor(const Reader& reader) {
    cardsim::CardConfig config;
    config.personality = reader.personality;
    config.can = reader.can;
    return config;
}

class TwoReaders : public ::testing::Test {
protected:
    TwoReaders() {
        ctk::SlotManager::setDefaultManager(slots);  // the card library's reader back-end asks it
        plat::NotificationCenter::setDefaultCenter(extensionSide);
        GC_Cache::resetForTesting(GC_Cache::kDefaultReplyWait);
    }
    void SetUp() override {
        for (size_t i = 0; i < 2; ++i) {
            ASSERT_TRUE(cards[i].ok()) << cards[i].error();
            slots->addSlot(kReaders[i].name);
            slots->insertCard(kReaders[i].name, std::make_shared<gctest::SimCardAdapter>(cards[i]));
        }
        std::string error;
        ASSERT_TRUE(host.start(&error)) << error;
        for (const Reader& reader : kReaders) {
            const json token = gctest::ControlClient(socketPath)
                                   .ask(json{{"op", "wait-token"}, {"reader", reader.name}, {"timeoutMs", 10000}});
            ASSERT_EQ(token["ok"], true) << token;
        }
    }
    ~TwoReaders() override {
        host.stop();
        plat::Dispatch::waitIdle();
        // The readers go, and the registry lets go of the cards' sessions while OpenSSL still cleans
        // up after the threads that end with them.
        for (const Reader& reader : kReaders) slots->removeSlot(reader.name);
        GC_Factory::getReadersList(false);
        ctk::SlotManager::resetDefaultManager();
        GC_Cache::resetForTesting();
        plat::NotificationCenter::setDefaultCenter(nullptr);
    }

    // One round on one reader; what went wrong, or nothing.
    std::string round(size_t index, int number, companion::CtkClient& companion, gctest::ControlClient& client) {
        const Reader& reader = kReaders[index];
        // The CAN check, answered on this reader's own reply address.
        const size_t seen = companion.waitForMessages(0).size();
        if (!companion.checkCan(reader.name, reader.can)) return "the CAN check was not posted";
        // The other reader's progress messages come in between, any number of them.
        std::string result = "(no answer)";
        for (size_t count = seen + 1; result == "(no answer)"; ++count) {
            const std::vector<companion::Message> messages = companion.waitForMessages(count, std::chrono::seconds(60));
            if (messages.size() < count) break;
            const auto found = messages[count - 1].find("canResult");
            if (found != messages[count - 1].end()) result = found->second;
        }
        if (result != "SUCCESS") return "CAN check: " + result;

        // The items: the key and its certificate.
        const json listed = client.ask(json{{"op", "list"}, {"reader", reader.name}});
        if (listed.value("ok", false) != true || listed["tokens"].size() != 1) return "list: " + listed.dump();
        std::string keyID;
        std::string certificateID;
        for (const json& item : listed["tokens"][0]["items"]) {
            if (item.value("kind", "") == "key" && item.value("label", "").rfind(reader.keyLabel, 0) == 0) {
                keyID = item["objectID"];
                certificateID = item.value("certificateID", "");
            }
        }
        Bytes certificate;
        for (const json& item : listed["tokens"][0]["items"])
            if (item["objectID"] == certificateID) plat::base64::decode(item.value("certificate", ""), certificate);
        if (keyID.empty() || certificate.empty()) return "list: no key or certificate";
        if (certificate != cardsim::test::dataFile(std::string("certs/") + reader.certificate + ".der"))
            return "list: the key's certificate is not its card's";

        // A signature after the PIN.
        const std::string message = std::string(reader.name) + " round " + std::to_string(number);
        json answer = client.ask(json{{"op", "sign"},
                                      {"reader", reader.name},
                                      {"key", keyID},
                                      {"alg", reader.algorithm},
                                      {"data", plat::base64::encode(gctest::sha256(message))}});
        if (answer.value("pin", "") != "needed") return "sign: " + answer.dump();
        answer = client.ask(json{{"op", "pin"}, {"pin", reader.pin}});
        Bytes signature;
        if (answer.value("ok", false) != true || !plat::base64::decode(answer.value("signature", ""), signature))
            return "sign: " + answer.dump();
        if (!gctest::verifiesWithCertificate(certificate, message, signature))
            return "the signature does not verify with its certificate";
        return {};
    }

    plat::NotificationHub hub;
    std::shared_ptr<plat::NotificationCenter> extensionSide = hub.connect();
    std::shared_ptr<plat::NotificationCenter> companionSide = hub.connect();
    companion::CacheServer server{companionSide};
    gctest::TempDir dir;
    const std::string socketPath = dir.path() + "/control.sock";
    std::shared_ptr<ctk::mem::SlotManager> slots = std::make_shared<ctk::mem::SlotManager>();
    cardsim::CardSim cards[2] = {cardsim::CardSim(configFor(kReaders[0])), cardsim::CardSim(configFor(kReaders[1]))};
    std::shared_ptr<TokenDriver> driver = std::make_shared<TokenDriver>();
    host::TokenHost host{slots, driver,
                         host::HostOptions{.socketPath = socketPath, .slotInterval = std::chrono::milliseconds(20)}};
};

TEST_F(TwoReaders, CanCheckListAndSignOnBothAtOnce) {
    const int count = rounds();
    std::vector<std::string> problems[2];
    auto user = [&](size_t index) {
        companion::CtkClient companion(companionSide, std::string("TwoReaders") + std::to_string(index));
        gctest::ControlClient client(socketPath);
        for (int number = 0; number < count; ++number) {
            std::string problem = round(index, number, companion, client);
            if (!problem.empty()) problems[index].push_back("round " + std::to_string(number) + ": " + problem);
        }
    };
    std::thread first(user, 0);
    std::thread second(user, 1);
    first.join();
    second.join();
    EXPECT_TRUE(problems[0].empty()) << ::testing::PrintToString(problems[0]);
    EXPECT_TRUE(problems[1].empty()) << ::testing::PrintToString(problems[1]);
    // Each card ran PACE and signed once per round, and is left with no PIN verified.
    for (const cardsim::CardSim& card : cards) {
        EXPECT_EQ(card.sessionKeys().size(), 2u * count);
        size_t signatures = 0;
        for (const cardsim::LogEntry& entry : card.log())
            signatures +=
                entry.plainCommand.size() >= 4 && entry.plainCommand[1] == 0x2A && entry.plainCommand[2] == 0x9E;
        EXPECT_EQ(signatures, static_cast<size_t>(count));
        for (const cardsim::PinInfo& pin : card.pins()) EXPECT_FALSE(pin.verified) << pin.label;
    }
}

}  // namespace
