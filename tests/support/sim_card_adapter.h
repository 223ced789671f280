#pragma once

#include <vector>

#include "cardsim.h"
#include "platform/ctk_memory.h"

namespace gctest {

// Puts the simulated card into an in-memory slot, so that a test hosts it in process. Header only:
// a program that uses it links the simulated card (target cardsim). The card must outlive the slot.
class SimCardAdapter : public ctk::mem::Card {
public:
    explicit SimCardAdapter(cardsim::CardSim& card) : card_(card) {}
    std::vector<unsigned char> atr() override { return card_.atr(); }
    std::vector<unsigned char> transmit(const std::vector<unsigned char>& apdu) override {
        return card_.transmit(apdu);
    }
    void reset() override { card_.reset(); }

private:
    cardsim::CardSim& card_;
};

}  // namespace gctest
