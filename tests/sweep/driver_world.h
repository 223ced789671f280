// A Driver on a simulated card, as a program that manages the card uses it: the secure channel
// opened with the CAN and the containers read with their objects; and the write operations the
// sweep runs on it, each with what it leaves on the card.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Queue/hub_companion.h"
#include "driver.h"
#include "sweep.h"

namespace sweep {

// The card and its front-end, in process or through pcscd.
class CardHolder {
public:
    virtual ~CardHolder() = default;
    virtual cardsim::CardSim& card() = 0;
    virtual const std::string& readerName() const = 0;
    // Takes the card out (unless it is out) and puts it in again; true once the reader shows it.
    virtual bool reinsert() = 0;
    // Arms `fault` for the command `after` commands from now.
    virtual void arm(Fault fault, size_t after) = 0;
    // Commands the card received so far.
    virtual size_t commands() const = 0;
};

// The simulated card in an in-memory slot, with the reader back-end over the slots registered.
class SlotHolder : public CardHolder {
public:
    SlotHolder(cardsim::CardConfig config, const std::string& slot = "Sweep Reader");
    ~SlotHolder() override;
    cardsim::CardSim& card() override { return card_; }
    const std::string& readerName() const override { return slotName_; }
    bool reinsert() override;
    void arm(Fault fault, size_t after) override { slotCard_->arm(fault, after); }
    size_t commands() const override { return slotCard_->commands(); }

private:
    const std::string slotName_;
    cardsim::CardSim card_;
    std::shared_ptr<ctk::mem::SlotManager> slots_;
    std::shared_ptr<SlotCard> slotCard_;
};

// The registry's reader object of that name, back to what a new reader knows (its APDU size is
// learned anew): one run's lowered size must not shape the next run.
void forgetLearnedSize(const std::string& readerName);

class DriverWorld {
public:
    explicit DriverWorld(CardHolder& holder);
    ~DriverWorld();

    // A new Driver with the channel open and the containers read; 0 or the failing step's code.
    int open();
    // The card taken out and put in again, and a new Driver opened on it.
    int reinsert();

    Driver& driver() { return *driver_; }
    CardHolder& holder() { return holder_; }
    // The container whose label holds `word`; null when there is none.
    std::shared_ptr<GC_Container> container(const std::string& word) const;
    // Verifies the PIN of the container whose label holds `word`, has the card sign a digest with
    // its key and logs the PIN out: 0 with a signature the container's certificate verifies,
    // 1 with one it does not, otherwise the failing step's code.
    int sign(const std::string& word, const char* pin);

private:
    CardHolder& holder_;
    gctest::HubCompanion link_;
    std::unique_ptr<Driver> driver_;
    std::vector<std::shared_ptr<GC_Container>> containers_;
};

// A write operation on the card, run on an open world.
struct WriteOperation {
    const char* name;
    // Brings the card to the state the operation starts from (not swept); 0 or a failure.
    std::function<int(DriverWorld&)> prepare;
    // The operation; its result.
    std::function<int(DriverWorld&)> run;
    // Why `fault` may leave the card half done (neither as before nor as after the operation):
    // the operation's contract says so, or the card went away between two of its writes; null
    // when it must not.
    std::function<const char*(Fault fault, cardsim::Personality personality)> halfDone;
    // What completes the operation where running it again cannot (null: nothing does).
    std::function<int(DriverWorld&)> restart;
    // How the card the operation starts from differs from writeCard's (null: it does not).
    std::function<void(cardsim::CardConfig&)> adjustCard = nullptr;
    // A run again that answers 0 has done the operation whole: from a state it cannot finish it
    // answers an error.
    bool zeroMeansDone = false;
};
const std::vector<WriteOperation>& writeOperations();

// The generations' card configurations for the write sweep (generated EC keys are derived, so
// that whole cards compare equal).
cardsim::CardConfig writeCard(cardsim::Personality personality);

}  // namespace sweep
