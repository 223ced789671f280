#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ctk_smartcard.h"

// Slots held in memory: a test or a host puts cards into named slots and takes them out again;
// the card objects it hands out behave as the platform's do (bound to one insertion, context
// cleared by a reset from another client, replies on another thread).
namespace ctk::mem {

// What sits in a slot: answers command APDUs in process.
class Card {
public:
    virtual ~Card() = default;
    virtual Bytes atr() = 0;
    // Data followed by SW1 SW2; an empty answer counts as a communication failure.
    virtual Bytes transmit(const Bytes& apdu) = 0;
    // The card was powered down and up again (reset): volatile state is gone.
    virtual void reset() {}
};

class SlotManager : public ctk::SlotManager {
public:
    SlotManager();
    ~SlotManager() override;

    std::vector<std::string> slotNames() override;

    // Adds an empty slot (no effect when it exists).
    void addSlot(const std::string& name);
    // Removes a slot with its card; a later slot of the same name is a new slot.
    void removeSlot(const std::string& name);
    // Puts a card into an existing slot; `state` is what the slot reports while the card is in.
    bool insertCard(const std::string& slot, std::shared_ptr<Card> card, SlotState state = SlotState::ValidCard);
    // Takes the card out: every card object of that insertion becomes invalid.
    void removeCard(const std::string& slot);
    // Another client resets the card: the card is reset and the context of every card object
    // of the slot is cleared. A card may call it from its own transmit (a test card that has
    // itself reset between two commands).
    void resetCard(const std::string& slot);
    // The next `count` session requests on the slot fail with `code`.
    void failSessions(const std::string& slot, long code, int count = 1);
    // The next `count` transmissions on the slot fail with `code`.
    void failTransmissions(const std::string& slot, long code, int count = 1);
    // Session requests that succeeded on the slot so far, and sessions ended.
    int sessionsBegun(const std::string& slot);
    int sessionsEnded(const std::string& slot);

    struct SlotData;
    struct Shared;

protected:
    std::shared_ptr<Slot> findSlot(const std::string& name) override;

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace ctk::mem
