// The token's road in one process: the companion sends the CAN, the token reads the card and
// publishes its keychain items, and an application signs with every key after its PIN; the
// simulated card sits in an in-memory slot (sweep::SlotCard), the test companion on the hub.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Queue/hub_companion.h"
#include "ctk_client.h"
#include "extension/token.h"
#include "extension/token_driver.h"
#include "platform/sec_key_algorithm.h"
#include "sweep.h"

namespace sweep {

// A key of a personalisation: the start of its item's label, its PIN, how the platform signs.
struct RoadKey {
    const char* label;
    const char* pin;
    sec::KeyAlgorithm algorithm;
};

struct Generation {
    const char* name;
    cardsim::Personality personality;
    std::vector<RoadKey> keys;
};
const std::vector<Generation>& generations();
inline void PrintTo(const Generation& generation, std::ostream* out) {
    *out << generation.name;
}

// A published item as the road compares it.
struct Item {
    std::string kind;  // "key" or "certificate"
    std::string label;
    Bytes objectID;
    Bytes certificate;  // DER
    bool operator==(const Item&) const = default;
    bool operator<(const Item& other) const { return objectID < other.objectID; }
};

// What one road gave.
struct RoadResult {
    std::string canResult;           // "SUCCESS", a library code, or "(no answer)"
    std::vector<Item> items;         // sorted by identifier
    int signatures = 0;              // made and verified with the item's certificate
    int refusals = 0;                // signatures refused with an error
    std::vector<std::string> wrong;  // signatures that do not verify, keys without item

    bool complete(const std::vector<Item>& reference, size_t keys) const {
        return canResult == "SUCCESS" && items == reference && signatures == static_cast<int>(keys) && wrong.empty();
    }
};

// The platform around the token driver: the in-memory slots (the default slot manager while it
// lives), the token driver, and the companion's "Ctk" client on the companion's side of a
// notification centre.
class TokenHost {
public:
    explicit TokenHost(std::shared_ptr<plat::NotificationCenter> companionSide);
    ~TokenHost();

    // The companion's CAN check for a reader: "SUCCESS", the failing code, or "(no answer)".
    std::string checkCan(const std::string& reader, const std::string& can,
                         std::chrono::seconds limit = std::chrono::seconds(60));

    const std::shared_ptr<ctk::mem::SlotManager>& slots() const { return slots_; }
    const std::shared_ptr<TokenDriver>& driver() const { return driver_; }

private:
    std::shared_ptr<ctk::mem::SlotManager> slots_;
    companion::CtkClient client_;
    std::shared_ptr<TokenDriver> driver_;
    size_t messagesSeen_ = 0;
};

// A card of one generation in a slot of the host, and the token the platform made for it.
class RoadCard {
public:
    RoadCard(TokenHost& host, const Generation& generation, const std::string& slot, cardsim::CardConfig config = {});
    ~RoadCard();

    // The whole road with every key of the generation.
    RoadResult road();
    std::vector<Item> items() const;
    // The card taken out (unless it is out already) and put in again: the platform makes a new
    // token for it.
    void reinsert();

    cardsim::CardSim& card() { return card_; }
    SlotCard& slot() { return *slotCard_; }
    const std::shared_ptr<Token>& token() const { return token_; }

private:
    void makeToken();
    void sign(RoadResult& result);

    TokenHost& host_;
    const Generation& generation_;
    const std::string slotName_;
    const std::string can_;
    cardsim::CardSim card_;
    std::shared_ptr<SlotCard> slotCard_;
    std::shared_ptr<Token> token_;
};

// The sweep's world: one card with its token, the test companion on an in-process hub.
class RoadWorld {
public:
    explicit RoadWorld(const Generation& generation);
    RoadResult road() { return card_.road(); }
    void reinsert() { card_.reinsert(); }
    cardsim::CardSim& card() { return card_.card(); }
    SlotCard& slot() { return card_.slot(); }

private:
    gctest::HubCompanion link_;
    TokenHost host_;
    RoadCard card_;
};

// Checks a signature over `digest` (SHA-256) with the public key of a DER certificate: PKCS#1 v1.5
// for RSA, a DER ECDSA-Sig-Value for EC.
bool verifies(const Bytes& certificate, const Bytes& digest, const Bytes& signature);

}  // namespace sweep
