// The token extension end to end in one process: the companion's messages on the in-process hub,
// both card generations side by side in in-memory slots, the real card library behind the tokens,
// and the platform's signing road. openssl verifies every signature with the exported certificate.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <barrier>
#include <filesystem>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Queue/hub_companion.h"
#include "ctk_client.h"
#include "extension/token.h"
#include "extension/token_driver.h"
#include "platform/ctk_memory.h"
#include "platform/ctk_token_signer.h"
#include "platform/dispatch.h"
#include "support/notification_collector.h"
#include "support/sim_card_adapter.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<unsigned char>;
using companion::Message;
using sec::KeyAlgorithm;

constexpr const char* kCan = "123456";

// A key of a card's personalisation with its certificate; both carry the same identifier.
struct CardKey {
    const char* name;         // "<name> key" and "<name> certificate" on the card
    Bytes cardId;             // the identifier of the key and of its certificate
    uint8_t constraint;       // the index of the key's container + 1
    const char* certificate;  // the personalisation's DER file
    const char* pin;
    uint8_t pinReference;
};

struct Generation {
    const char* name;
    const char* reader;
    cardsim::Personality personality;
    std::vector<CardKey> keys;
    // Logout as the card's operating system sends it: INS and P1.
    uint8_t logoutIns;
    uint8_t logoutP1;
};

const Generation kGenerations[] = {
    {.name = "Varnel 1.0",
     .reader = "Sim Reader 1",
     .personality = cardsim::Personality::Varnel1,
     // The Authorization PIN's container, the third, holds no key.
     .keys = {{"Authentication", {0x45, 0x81}, 1, "v1_auth_p256", "111111", 0x8A},
              {"Presence", {0x45, 0x88}, 2, "v1_presence_p521", "222222", 0x88},
              {"Qualified", {0x45, 0x83}, 4, "v1_qualified_rsa", "333333", 0x8C}},
     .logoutIns = 0x20,
     .logoutP1 = 0xFF},
    {.name = "Varnel 2.0",
     .reader = "Sim Reader 2",
     .personality = cardsim::Personality::Varnel2,
     .keys = {{"Authentication", {0x45, 0x01}, 1, "v2_auth_bp256", "111111", 0x01},
              {"Authorization", {0x45, 0x02}, 2, "v2_authz_p384", "222222", 0x02},
              {"Qualified", {0x45, 0x0C}, 3, "v2_qualified_rsa", "333333", 0x0C}},
     .logoutIns = 0xDA,
     .logoutP1 = 0x01},
};

// What the session offers for a key of that type, and the openssl digest that verifies it.
struct Signing {
    KeyAlgorithm algorithm;
    const char* hash;
};
const std::vector<Signing> kEcSignings{{KeyAlgorithm::ECDSASignatureDigestX962, "sha256"},
                                       {KeyAlgorithm::ECDSASignatureDigestX962SHA384, "sha384"},
                                       {KeyAlgorithm::ECDSASignatureDigestX962SHA512, "sha512"}};
const std::vector<Signing> kRsaSignings{{KeyAlgorithm::RSASignatureRaw, "sha256"},
                                        {KeyAlgorithm::RSASignatureDigestPKCS1v15SHA1, "sha1"},
                                        {KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256, "sha256"},
                                        {KeyAlgorithm::RSASignatureDigestPKCS1v15SHA384, "sha384"},
                                        {KeyAlgorithm::RSASignatureDigestPKCS1v15SHA512, "sha512"}};

Bytes digest(const char* hash, const Bytes& message) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(message.data(), message.size(), out.data(), &length, EVP_get_digestbyname(hash), nullptr);
    out.resize(length);
    return out;
}

// What the application hands the token: the digest, or for raw RSA the whole PKCS#1 v1.5 block.
Bytes dataToSign(const Signing& signing, const Bytes& message, int keyBits) {
    Bytes data = digest(signing.hash, message);
    if (signing.algorithm != KeyAlgorithm::RSASignatureRaw) return data;
    static const Bytes kSha256Info{0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                   0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes block{0x00, 0x01};
    block.resize(static_cast<size_t>(keyBits / 8) - kSha256Info.size() - data.size() - 1, 0xFF);
    block.push_back(0x00);
    block.insert(block.end(), kSha256Info.begin(), kSha256Info.end());
    block.insert(block.end(), data.begin(), data.end());
    return block;
}

Bytes bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

Bytes certificateFile(const char* name) {
    return cardsim::test::dataFile(std::string("certs/") + name + ".der").value_or(Bytes{});
}

Bytes withSuffix(Bytes id, unsigned char suffix) {
    id.push_back(suffix);
    return id;
}

// A published item as the keychain shows it: identifier, kind, label, what the key may do with
// the constraint of each allowed operation, and the certificate.
struct ItemView {
    Bytes id;
    std::string kind;
    std::string label;
    std::string uses;
    Bytes certificate;
    bool operator==(const ItemView&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ItemView& item) {
    return out << item.kind << ' ' << cardsim::toHex(item.id) << " \"" << item.label << "\" " << item.uses;
}

std::vector<ItemView> view(const std::vector<std::shared_ptr<ctk::KeychainItem>>& items) {
    std::vector<ItemView> out;
    for (const auto& item : items) {
        auto key = std::dynamic_pointer_cast<ctk::KeychainKey>(item);
        auto certificate = std::dynamic_pointer_cast<ctk::KeychainCertificate>(item);
        std::string uses;
        if (key) {
            if (key->canSign()) uses += "sign ";
            if (key->canDecrypt()) uses += "decrypt ";
            if (key->canPerformKeyExchange()) uses += "exchange ";
            if (key->isSuitableForLogin()) uses += "login ";
        }
        for (const auto& [operation, constraint] : item->constraints()) {
            const Bytes* value = std::get_if<Bytes>(&constraint);
            uses += std::to_string(static_cast<int>(operation)) + "=" + (value ? cardsim::toHex(*value) : "yes") + " ";
        }
        out.push_back({item->objectID(), key ? "key" : "certificate", item->label().value_or(""), uses,
                       key ? key->certificate()->data() : certificate->data()});
    }
    return out;
}

// The items a card publishes: per key, the key bound to its certificate, then the certificate.
// Each takes the card's identifier with the first free suffix: the certificate 01, the key 02.
std::vector<ItemView> expectedItems(const Generation& generation, const std::set<std::string>& skipped = {}) {
    std::vector<ItemView> out;
    for (const CardKey& key : generation.keys) {
        if (skipped.count(key.name) != 0) continue;
        const std::string subject = std::string(" (") + generation.name + " " + key.name + ")";
        const Bytes der = certificateFile(key.certificate);
        out.push_back({withSuffix(key.cardId, 0x02), "key", key.name + std::string(" key") + subject,
                       "sign 2=" + cardsim::toHex(Bytes{key.constraint}) + " ", der});
        out.push_back(
            {withSuffix(key.cardId, 0x01), "certificate", key.name + std::string(" certificate") + subject, "", der});
    }
    return out;
}

ctk::PinDialog typing(const char* pin) {
    return [pin](ctk::TokenSmartCardPINAuthOperation& operation) {
        operation.setPIN(pin);
        return true;
    };
}

long errorCode(const ctk::SignOutcome& outcome) {
    return outcome.error ? outcome.error->code : 0;
}

bool isCommand(const cardsim::LogEntry& entry, uint8_t ins, int p1 = -1) {
    return entry.plainCommand.size() >= 4 && entry.plainCommand[1] == ins && (p1 < 0 || entry.plainCommand[2] == p1);
}

constexpr uint8_t kPerformSecurityOperation = 0x2A;
constexpr uint8_t kVerify = 0x20;
constexpr uint8_t kSelect = 0xA4;

class TokenInProcess : public ::testing::Test {
protected:
    // One simulated card in its reader and the token the platform made for it.
    struct Card {
        const Generation& generation;
        std::shared_ptr<cardsim::CardSim> sim;
        std::shared_ptr<Token> token;

        // Commands the card received since `mark` with that INS (and P1 when not negative).
        size_t commandsSince(size_t mark, uint8_t ins, int p1 = -1) const {
            const std::vector<cardsim::LogEntry> log = sim->log();
            return std::count_if(log.begin() + static_cast<long>(std::min(mark, log.size())), log.end(),
                                 [&](const cardsim::LogEntry& entry) { return isCommand(entry, ins, p1); });
        }
        size_t logoutsSince(size_t mark) const {
            return commandsSince(mark, generation.logoutIns, generation.logoutP1);
        }
        size_t mark() const { return sim->log().size(); }
        std::shared_ptr<ctk::KeychainKey> keyItem(const CardKey& key) const {
            return token->keychainContents().keyForObjectID(withSuffix(key.cardId, 0x02), nullptr);
        }
        ctk::SignOutcome sign(ctk::TokenSigner& signer, const CardKey& key, KeyAlgorithm algorithm, const Bytes& data,
                              const char* pin) const {
            return signer.sign(withSuffix(key.cardId, 0x02), algorithm, data, typing(pin));
        }
    };

    // The slot keeps the card alive as long as a reader of the card library may reach it.
    class OwnedSimCard : public gctest::SimCardAdapter {
    public:
        explicit OwnedSimCard(std::shared_ptr<cardsim::CardSim> card) : SimCardAdapter(*card), card_(std::move(card)) {}

    private:
        std::shared_ptr<cardsim::CardSim> card_;
    };

    void SetUp() override {
        ctk::SlotManager::setDefaultManager(slots);
        link.companionSide->addObserver("Fence", fences.callback());
    }
    void TearDown() override {
        plat::Dispatch::waitIdle();
        // The card library keeps its readers for the process: with the cards taken out and the
        // readers listed again, they let go of this test's cards and of the threads serving them.
        for (const Card& card : cards) slots->removeSlot(card.generation.reader);
        ctk::SlotManager::resetDefaultManager();
        cardLibrary()->refreshReaders();
    }

    // Both cards in their readers, personalised from `dataDir` (empty: the checked-in files).
    void insertCards(const std::string& dataDir = "") {
        for (const Generation& generation : kGenerations) {
            cardsim::CardConfig config;
            config.personality = generation.personality;
            config.dataDir = dataDir;
            auto sim = std::make_shared<cardsim::CardSim>(config);
            ASSERT_TRUE(sim->ok()) << sim->error();
            slots->addSlot(generation.reader);
            slots->insertCard(generation.reader, std::make_shared<OwnedSimCard>(sim));
            cards.push_back({generation, sim, nullptr});
        }
    }

    // The platform's first token requests, for both cards at once.
    void createTokens() {
        std::barrier start(static_cast<std::ptrdiff_t>(cards.size()));
        std::vector<std::thread> platform;
        for (Card& card : cards) {
            std::shared_ptr<ctk::SmartCard> smartCard = smartCardIn(card.generation.reader);
            platform.emplace_back([&, smartCard] {
                start.arrive_and_wait();
                card.token = std::static_pointer_cast<Token>(driver->createTokenForSmartCard(smartCard, {}, nullptr));
            });
        }
        for (std::thread& thread : platform) thread.join();
        for (const Card& card : cards) ASSERT_NE(card.token, nullptr);
    }

    // Cards in, tokens made, both cards read.
    void start() {
        ASSERT_NO_FATAL_FAILURE(insertCards());
        ASSERT_NO_FATAL_FAILURE(createTokens());
        for (const Card& card : cards) ASSERT_EQ(checkCan(card, kCan), "SUCCESS");
    }

    std::shared_ptr<ctk::SmartCard> smartCardIn(const std::string& reader) {
        std::promise<std::shared_ptr<ctk::Slot>> found;
        slots->getSlotWithName(reader, [&](std::shared_ptr<ctk::Slot> slot) { found.set_value(slot); });
        std::shared_ptr<ctk::Slot> slot = found.get_future().get();
        return slot ? slot->makeSmartCard() : nullptr;
    }

    // Posts the requests and waits for `results` CAN results; the messages that came meanwhile.
    std::vector<Message> exchange(const std::vector<Message>& requests, size_t results) {
        const size_t seen = client.waitForMessages(0).size();
        for (const Message& request : requests) EXPECT_TRUE(client.send(request));
        std::vector<Message> messages;
        for (size_t want = seen + 1;; ++want) {
            messages = client.waitForMessages(want, std::chrono::seconds(30));
            const size_t got = std::count_if(messages.begin() + static_cast<long>(seen), messages.end(),
                                             [](const Message& m) { return m.count("canResult") != 0; });
            if (got >= results || messages.size() < want) break;
        }
        return {messages.begin() + static_cast<long>(seen), messages.end()};
    }

    // The companion's CAN check: the value of "canResult".
    std::string checkCan(const Card& card, const std::string& can) {
        for (const Message& message : exchange({{{"checkCan", can}, {"rid", card.generation.reader}}}, 1)) {
            const auto result = message.find("canResult");
            if (result != message.end()) return result->second;
        }
        return "(no answer)";
    }

    // Returns once the hub delivered everything posted before.
    void fence() {
        const size_t seen = fences.received().size();
        ASSERT_TRUE(link.companionSide->postNotification("Fence", std::nullopt));
        ASSERT_EQ(fences.waitFor(seen + 1).size(), seen + 1);
    }

    gctest::NotificationCollector fences;  // outlives the hub that delivers to it
    gctest::HubCompanion link;
    companion::CtkClient client{link.companionSide, "App"};
    std::shared_ptr<ctk::mem::SlotManager> slots = std::make_shared<ctk::mem::SlotManager>();
    std::shared_ptr<TokenDriver> driver = std::make_shared<TokenDriver>();
    std::vector<Card> cards;
};

TEST_F(TokenInProcess, CompanionMessagesAndTheKeychainItemsOfBothGenerations) {
    ASSERT_NO_FATAL_FAILURE(insertCards());
    // Nobody listens on "Ctk" before the first token request.
    ASSERT_TRUE(client.send({{"getVersion", ""}, {"checkCan", kCan}, {"rid", kGenerations[0].reader}}));
    ASSERT_NO_FATAL_FAILURE(fence());
    ASSERT_NO_FATAL_FAILURE(createTokens());
    for (const Card& card : cards) EXPECT_TRUE(card.sim->log().empty()) << card.generation.name;

    // One observer after the concurrent first requests: one answer to each request. The version
    // reply, posted while its request is delivered, comes before the CAN result made on the
    // background queue, and so would a second observer's.
    const std::vector<Message> first =
        exchange({{{"getVersion", "1"}}, {{"checkCan", kCan}, {"rid", "No such reader"}}}, 1);
    EXPECT_EQ(first, (std::vector<Message>{
                         {{"Version", "4.2.3.0 12:15:49"}, {"tokens", "2"}, {"to", "App"}, {"from", "Ctk"}},
                         {{"canResult", "Token not found"}, {"rid", "No such reader"}, {"to", "App"}, {"from", "Ctk"}},
                     }));
    EXPECT_EQ(client.waitForMessages(0).size(), 2u);  // the request before the tokens went unanswered

    // Both cards read at once: each PACE sends the progress to "Can", then its result.
    const std::vector<Message> read = exchange({{{"checkCan", kCan}, {"rid", cards[0].generation.reader}},
                                                {{"checkCan", kCan}, {"rid", cards[1].generation.reader}}},
                                               2);
    const Message progress{{"canProgress", "Trwa odczyt danych z karty ..."}, {"to", "Can"}, {"from", "Ctk"}};
    EXPECT_EQ(std::count(read.begin(), read.end(), progress), 2);
    for (const Card& card : cards) {
        const Message result{{"canResult", "SUCCESS"}, {"rid", card.generation.reader}, {"to", "App"}, {"from", "Ctk"}};
        EXPECT_EQ(std::count(read.begin(), read.end(), result), 1) << card.generation.name;
    }
    EXPECT_EQ(read.size(), 4u);

    for (Card& card : cards) {
        SCOPED_TRACE(card.generation.name);
        const auto items = card.token->keychainContents().items();
        EXPECT_EQ(view(items), expectedItems(card.generation));

        // A CAN that is not six digits never reaches the card; a wrong one fails PACE with the
        // library's code. Neither touches what was published.
        const size_t mark = card.mark();
        EXPECT_EQ(checkCan(card, "12345"), "-1102");
        EXPECT_EQ(checkCan(card, "1234567"), "-1102");
        EXPECT_EQ(card.mark(), mark);
        EXPECT_EQ(checkCan(card, "654321"), "-1100");
        EXPECT_EQ(card.token->keychainContents().items(), items);

        // A good CAN reads the card again and publishes it anew.
        EXPECT_EQ(checkCan(card, kCan), "SUCCESS");
        EXPECT_NE(card.token->keychainContents().items(), items);
        EXPECT_EQ(view(card.token->keychainContents().items()), expectedItems(card.generation));
    }
}

TEST_F(TokenInProcess, ASpoiledCertificateIsSkippedWithItsKey) {
    // The second key's certificate of each card no longer parses: its inner SEQUENCE is a SET.
    cardsim::test::TempDir data;
    std::filesystem::copy(CARDSIM_DATA_DIR, data.path(),
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    for (const Generation& generation : kGenerations) {
        Bytes der = certificateFile(generation.keys[1].certificate);
        ASSERT_EQ(der.at(4), 0x30);
        der[4] = 0x31;
        ASSERT_TRUE(
            cardsim::test::writeFile(data.file(std::string("certs/") + generation.keys[1].certificate + ".der"), der));
    }
    ASSERT_NO_FATAL_FAILURE(insertCards(data.path()));
    ASSERT_NO_FATAL_FAILURE(createTokens());
    for (const Card& card : cards) {
        SCOPED_TRACE(card.generation.name);
        EXPECT_EQ(checkCan(card, kCan), "SUCCESS");
        EXPECT_EQ(view(card.token->keychainContents().items()),
                  expectedItems(card.generation, {card.generation.keys[1].name}));
    }
}

// Each key signs with every algorithm the token offers for its type, through the real card library,
// the PIN asked for once per signature.
TEST_F(TokenInProcess, EveryKeySignsWithEachAlgorithmAfterItsPin) {
    ASSERT_NO_FATAL_FAILURE(start());
    for (const Card& card : cards) {
        for (const CardKey& key : card.generation.keys) {
            SCOPED_TRACE(std::string(card.generation.name) + " " + key.name);
            std::shared_ptr<ctk::KeychainKey> item = card.keyItem(key);
            ASSERT_NE(item, nullptr);
            ctk::TokenSigner signer(card.token);
            for (const Signing& signing : item->keyType() == sec::KeyType::EC ? kEcSignings : kRsaSignings) {
                SCOPED_TRACE(signing.hash);
                const Bytes message = bytesOf(std::string("signed by the ") + key.name + " key of " +
                                              card.generation.name + " with " + signing.hash);
                const Bytes data = dataToSign(signing, message, item->keySizeInBits());
                ctk::SignOutcome outcome = card.sign(signer, key, signing.algorithm, data, key.pin);
                ASSERT_TRUE(outcome.signature) << errorCode(outcome);
                EXPECT_EQ(outcome.pinPrompts, 1);  // the first request was answered "authentication needed"
                std::string openssl;
                EXPECT_TRUE(cardsim::test::opensslVerifies(certificateFile(key.certificate), signing.hash, message,
                                                           *outcome.signature, &openssl))
                    << openssl;
            }
        }
    }
}

// The card refuses a signature as its security status is not met: the session asks for
// authentication again, and the PIN is logged out all the same.
TEST_F(TokenInProcess, ASignatureTheCardRefusesAsksForThePinAgain) {
    ASSERT_NO_FATAL_FAILURE(start());
    for (const Card& card : cards) {
        SCOPED_TRACE(card.generation.name);
        const CardKey& key = card.generation.keys.front();
        const Bytes data = digest("sha256", bytesOf("x"));
        ctk::TokenSigner signer(card.token);
        card.sim->answerStatus(cardsim::CommandMatch{kPerformSecurityOperation, -1, -1}, 0x6982);
        const size_t mark = card.mark();
        ctk::SignOutcome refused = card.sign(signer, key, KeyAlgorithm::ECDSASignatureDigestX962, data, key.pin);
        EXPECT_FALSE(refused.signature);
        EXPECT_EQ(errorCode(refused), ctk::error::kAuthenticationNeeded);
        EXPECT_EQ(card.commandsSince(mark, kVerify, 0x00), 1u);
        EXPECT_EQ(card.logoutsSince(mark), 1u);
        EXPECT_EQ(card.sim->pin(key.pinReference)->triesLeft, card.sim->pin(key.pinReference)->maxTries);
        EXPECT_FALSE(card.sim->pin(key.pinReference)->verified);
        EXPECT_TRUE(card.sign(signer, key, KeyAlgorithm::ECDSASignatureDigestX962, data, key.pin).signature);
    }
}

// Two applications per card sign at once while the companion has both cards read again. One
// PIN state per token: a PIN operation or a re-read may withdraw the PIN another application
// verified, which that application sees as "authentication needed"; every signature made is good,
// and the card logs the PIN out right after each signature.
TEST_F(TokenInProcess, ConcurrentSigningAndCanChecks) {
    ASSERT_NO_FATAL_FAILURE(start());
    constexpr int kRounds = 3;
    struct Application {
        const Card* card;
        const CardKey* key;
        std::vector<std::string> problems;
    };
    std::vector<Application> applications;
    for (const Card& card : cards) {
        applications.push_back({&card, &card.generation.keys.front(), {}});
        applications.push_back({&card, &card.generation.keys.back(), {}});
    }
    auto run = [](Application& application) {
        const Card& card = *application.card;
        const CardKey& key = *application.key;
        const Signing& signing = card.keyItem(key)->keyType() == sec::KeyType::EC ? kEcSignings[0] : kRsaSignings[2];
        ctk::TokenSigner signer(card.token);
        for (int round = 0; round < kRounds; ++round) {
            const std::string text =
                std::string(card.generation.name) + " " + key.name + " round " + std::to_string(round);
            const Bytes message = bytesOf(text);
            ctk::SignOutcome outcome =
                card.sign(signer, key, signing.algorithm, digest(signing.hash, message), key.pin);
            if (outcome.signature) {
                if (!cardsim::test::opensslVerifies(certificateFile(key.certificate), signing.hash, message,
                                                    *outcome.signature))
                    application.problems.push_back(text + ": bad signature");
            } else if (errorCode(outcome) != ctk::error::kAuthenticationNeeded) {
                application.problems.push_back(text + ": " + (outcome.error ? outcome.error->text : "no error"));
            }
        }
    };
    std::vector<std::thread> threads;
    for (Application& application : applications) threads.emplace_back(run, std::ref(application));
    for (const Card& card : cards) EXPECT_TRUE(client.checkCan(card.generation.reader, kCan));
    for (std::thread& thread : threads) thread.join();
    plat::Dispatch::waitIdle();

    for (const Application& application : applications)
        EXPECT_TRUE(application.problems.empty()) << ::testing::PrintToString(application.problems);
    for (const Card& card : cards) {
        SCOPED_TRACE(card.generation.name);
        for (const cardsim::PinInfo& pin : card.sim->pins()) EXPECT_FALSE(pin.verified) << pin.label;
        const std::vector<cardsim::LogEntry> log = card.sim->log();
        size_t signatures = 0;
        for (size_t i = 0; i < log.size(); ++i) {
            if (!isCommand(log[i], kPerformSecurityOperation)) continue;
            ++signatures;
            size_t next = i + 1;
            while (next < log.size() && isCommand(log[next], kSelect)) ++next;
            EXPECT_TRUE(next < log.size() && isCommand(log[next], card.generation.logoutIns, card.generation.logoutP1))
                << "signature " << signatures << " not followed by its logout";
        }
        EXPECT_GT(signatures, 0u);
    }
}

}  // namespace
