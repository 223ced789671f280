// The simulated card in slot 0 of the program's private pcscd (vpcd), for the PC/SC reader
// back-end: the sweep's sample through pcscd.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "cardsim_pcscd.h"
#include "driver_world.h"
#include "pcsc_client.h"
#include "vpcd_card.h"

namespace sweep {

// Another application on the same pcscd: connects to the reader and, with a card, sends SELECT of
// the MF; prints "connect <PC/SC result in hex>" and, when connected, "answer <hex>". Its exit code.
int anotherApplication(const std::string& reader);
// Runs anotherApplication in a process of its own (this program, started again): what it printed
// on one line, or "(blocked)" when it did not finish within `limit`.
std::string runAnotherApplication(const std::string& reader, std::chrono::milliseconds limit);

class PcscdHolder : public CardHolder {
public:
    explicit PcscdHolder(cardsim::CardConfig config);
    ~PcscdHolder() override;

    bool ok() const { return ok_; }
    cardsim::CardSim& card() override { return card_; }
    const std::string& readerName() const override { return name_; }
    // Out (unless the card pulled itself already) and in again; false when pcscd does not show the
    // card within a few seconds.
    bool reinsert() override;
    // The card goes back into the reader at once, without waiting for pcscd to see it out.
    void putBackAtOnce() { slot_->insert(); }
    // Removal and the damaged answers strike the command `after` commands from now; another
    // client's reset is done at once (between operations: `after` must be 0).
    void arm(Fault fault, size_t after) override;
    size_t commands() const override;

private:
    std::string name_;
    cardsim::CardSim card_;
    std::unique_ptr<cardsim::VpcdCard> slot_;
    cardsim::PcscClient client_;
    bool ok_ = false;
};

}  // namespace sweep
