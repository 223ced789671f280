#pragma once

#include <any>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ctk_error.h"
#include "platform/ctk_queue.h"

// The client side of the platform's smart-card token framework: a slot manager that lists the
// reader slots, slots that report their state and ATR and make card objects, and card objects
// with sessions and APDU transmission. Every asynchronous reply is delivered exactly once, on a
// thread other than the caller's.
namespace ctk {

using Bytes = std::vector<unsigned char>;

// State of a slot; only ValidCard means a card that can be used.
enum class SlotState : int { Missing = 0, Empty = 1, Probing = 2, MuteCard = 3, ValidCard = 4 };

class Slot;

using SessionReply = std::function<void(bool success, std::optional<Error> error)>;
using TransmitReply = std::function<void(std::optional<Bytes> response, std::optional<Error> error)>;

// A card in a slot, bound to one insertion: once the card is removed the object stays invalid.
class SmartCard : public std::enable_shared_from_this<SmartCard> {
public:
    virtual ~SmartCard() = default;
    SmartCard(const SmartCard&) = delete;
    SmartCard& operator=(const SmartCard&) = delete;

    // Whether the object can still be used (its card has not been removed).
    virtual bool valid() = 0;
    // The slot the card sits in; null only for a card object made outside a slot.
    std::shared_ptr<Slot> slot() const { return slot_; }

    // The caller's own value, kept while the card stays powered and is not reset or claimed by
    // another client; empty after such an event.
    std::any context();
    void setContext(std::any value);

    // Begins an exclusive session; the reply tells whether it was begun.
    void beginSession(SessionReply reply);
    // Ends the session; queued behind any transmission still pending.
    void endSession();
    // Sends one raw command APDU; the reply carries data and SW1 SW2, or an error.
    void transmitRequest(Bytes request, TransmitReply reply);
    // Structured send, synchronous: builds the APDU from the class byte, the instruction, the
    // parameters, the data and Le (extended-length fields when useExtendedLength is set and
    // needed). Returns the response data (without the status word, which goes to `sw`).
    std::optional<Bytes> sendIns(unsigned char ins, unsigned char p1, unsigned char p2,
                                 const std::optional<Bytes>& data, std::optional<unsigned long> le, unsigned short& sw,
                                 std::optional<Error>& error);

    unsigned char cla() const { return cla_; }
    void setCla(unsigned char value) { cla_ = value; }
    bool useCommandChaining() const { return useCommandChaining_; }
    void setUseCommandChaining(bool value) { useCommandChaining_ = value; }
    bool useExtendedLength() const { return useExtendedLength_; }
    void setUseExtendedLength(bool value) { useExtendedLength_ = value; }

protected:
    SmartCard() = default;

    // The implementation's synchronous primitives; each is called from one thread at a time.
    virtual std::optional<Error> doBeginSession() = 0;
    virtual void doEndSession() = 0;
    virtual std::optional<Error> doTransmit(const Bytes& request, Bytes& response) = 0;
    // True when the card was reset or claimed since the context was last set; the
    // implementation re-arms itself when it reports this.
    virtual bool consumeResetEvent() = 0;

private:
    friend class Slot;
    std::shared_ptr<Slot> slot_;  // set once by the slot that made the object
    std::mutex contextMutex_;
    std::any context_;
    std::atomic<unsigned char> cla_{0};
    std::atomic<bool> useCommandChaining_{false};
    std::atomic<bool> useExtendedLength_{false};
    std::mutex ioMutex_;  // serialises the primitives between the queue and sendIns
    SerialQueue queue_;
};

class Slot : public std::enable_shared_from_this<Slot> {
public:
    virtual ~Slot() = default;
    virtual std::string name() const = 0;
    virtual SlotState state() = 0;
    // The ATR of the card in the slot; none when there is no card.
    virtual std::optional<Bytes> ATR() = 0;
    // A new card object for the card now in the slot, or null when there is no usable card.
    std::shared_ptr<SmartCard> makeSmartCard() {
        std::shared_ptr<SmartCard> card = createSmartCard();
        if (card) card->slot_ = weak_from_this().lock();
        return card;
    }

protected:
    virtual std::shared_ptr<SmartCard> createSmartCard() = 0;
};

using SlotReply = std::function<void(std::shared_ptr<Slot> slot)>;

class SlotManager : public std::enable_shared_from_this<SlotManager> {
public:
    virtual ~SlotManager() = default;

    // The manager of the system's smart-card service, or null when there is none. Unless a
    // manager was installed, this is the one over the PC/SC service.
    static std::shared_ptr<SlotManager> defaultManager();
    // Installs the manager that defaultManager returns; null stands for "no service".
    static void setDefaultManager(std::shared_ptr<SlotManager> manager);
    // Back to the manager over the PC/SC service.
    static void resetDefaultManager();

    // Names of the slots present now.
    virtual std::vector<std::string> slotNames() = 0;
    // Looks the slot up; the reply gets the slot or null.
    void getSlotWithName(const std::string& name, SlotReply reply);

protected:
    SlotManager() = default;
    virtual std::shared_ptr<Slot> findSlot(const std::string& name) = 0;

private:
    SerialQueue queue_;
};

}  // namespace ctk
