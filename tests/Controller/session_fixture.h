// The card session against the simulated card in slot 0 of the program's private pcscd, through
// the reader back-end the program runs with (--backend=pcsc or --backend=ctk).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Controller/controller.h"
#include "Queue/hub_companion.h"
#include "cardsim.h"
#include "cardsim_pcscd.h"
#include "pcsc_client.h"
#include "platform/ctk_memory.h"
#include "vpcd_card.h"

namespace session_test {

using Bytes = std::vector<unsigned char>;

enum class Backend { Pcsc, Ctk };

// Set up by main before the tests run.
struct Environment {
    Backend backend = Backend::Pcsc;
    cardsim::Pcscd* pcscd = nullptr;
    std::shared_ptr<ctk::SlotManager> slots;  // the slot manager over that pcscd
    std::string documents;                    // the container's Documents directory (settings file)
};
Environment& environment();

// The registry kind of the back-end under test.
int backendKind();

// The generic card's PKCS#15 application and the second generation's.
inline const Bytes kPkcs15Aid{0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
inline const Bytes kSignatureAid{0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x4E};
inline const Bytes kCertificate{0x43, 0x01};  // the generic card's, 579 bytes
inline const Bytes kScratch{0x4F, 0x00};      // 4096 bytes, writable, in either application

// The card the session tests use. The PC/SC back-end calls a reader whose card has no supported
// ATR unusable, so a card of no known generation never gets a session there: on that back-end
// the tests use the second generation without secure messaging (whose controller does the same
// file access, with the card's larger limits).
cardsim::Personality sessionPersonality();
const Bytes& sessionAid();
bool slotBackend();

// Hex of the commands the card received since `from` (an index into its log).
std::vector<std::string> commandsSince(const cardsim::CardSim& card, size_t from);

// Each test starts from the registry and the reader as main set them up, with a card of its own in
// slot 0, and leaves them so even when it fails: one fault is one failure.
class SessionTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs a simulated card into slot 0 (the one there is pulled first).
    void plug(cardsim::CardConfig config);
    // Pulls the card of slot 0; a failure when pcscd still sees it afterwards.
    void unplug();
    // A simulated card in the in-memory slot "Memory 0", whose slot manager stands in for the
    // program's until the test ends (both outlive the test body, so no reader is left on a card
    // that is gone).
    cardsim::CardSim& memoryCard(cardsim::CardConfig config);
    // The settings file, "" when absent; replaces it (empty text: removes it).
    std::string settings() const;
    void setSettings(const std::string& text) const;
    // The registry's reader object of slot 0, as every session on it sees it.
    GC_Reader& reader() const;
    // A new shared session on slot 0 (create's result in `created`).
    std::unique_ptr<GC_Controller> open(GC_CardController::card_controller type = GC_CardController::CARD_GENERIC,
                                        int* created = nullptr);
    size_t logMark() const { return card->log().size(); }
    std::vector<std::string> sentSince(size_t mark) const { return commandsSince(*card, mark); }
    // A file below the card's PKCS#15 application (DF 5015).
    Bytes appFile(const Bytes& fid) const;
    // Fills the scratch file with a pattern and returns it.
    Bytes fillScratch();

    std::string name;
    std::unique_ptr<cardsim::CardSim> card;
    std::unique_ptr<cardsim::VpcdCard> slot;
    cardsim::PcscClient client;
    std::unique_ptr<cardsim::CardSim> inMemory;
    std::shared_ptr<ctk::mem::SlotManager> memorySlots;
};

// What a card takes to come or go through pcscd on a busy machine; waits end when it has.
inline constexpr std::chrono::seconds kCardChange{30};

// The test companion on the in-process hub, with a reply wait a loaded machine does not outlast
// (a reply ends the wait; these tests leave no request unanswered).
struct Companion : gctest::HubCompanion {
    Companion() : gctest::HubCompanion(std::chrono::seconds(5)) {}
};

// A card of the personality without a secure-messaging requirement.
cardsim::CardConfig plainCard(cardsim::Personality personality);
// A card generation as it is: secure messaging required, EF.CardAccess with this one protocol.
cardsim::CardConfig varnelCard(cardsim::Personality personality, cardsim::PaceInfo pace = {});

// The cards' CAN.
inline const std::vector<uint8_t> kCan{'1', '2', '3', '4', '5', '6'};

// A command as the card understood it: plain (unprotected when it came under secure messaging).
struct Received {
    std::string command;   // hex
    bool secure = false;   // it came under secure messaging
    std::string response;  // hex, the plain answer
};
std::vector<Received> receivedSince(const cardsim::CardSim& card, size_t from);
// How many of `commands` start with `prefix`.
size_t countPrefix(const std::vector<Received>& commands, const std::string& prefix);

}  // namespace session_test
