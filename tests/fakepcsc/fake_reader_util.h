#pragma once

// Helpers of the tests that put the simulated card into the fake pinpad reader.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Data/Container/container.h"
#include "Reader/readerpcsc.h"
#include "cardsim.h"
#include "fake_pcsc.h"
#include "support/env_guard.h"

namespace fakepcsc_test {

using Bytes = std::vector<unsigned char>;

// The simulated card as the fake reader's card; an answer that did not come is empty.
class SimulatedCard : public fakepcsc::Card {
public:
    explicit SimulatedCard(cardsim::CardSim& card) : card_(card) {}
    Bytes transmit(const Bytes& apdu) override { return card_.transmit(apdu); }
    void reset() override { card_.reset(); }

private:
    cardsim::CardSim& card_;
};

// A container whose PIN record has the given pinpad layout.
inline std::shared_ptr<GC_Container> container(uint32_t encoding, uint64_t minLength, uint64_t maxLength,
                                               uint64_t storedLength = 0, uint64_t pinOffset = 4,
                                               uint64_t oldPinOffset = 0) {
    auto c = std::make_shared<GC_Container>();
    c->pin = std::make_unique<GC_Container::pin_record>();
    c->pin->encoding = encoding;
    c->pin->minLength = minLength;
    c->pin->maxLength = maxLength;
    c->pin->paddingLength = storedLength;
    c->pin->pinPosition = pinOffset;
    c->pin->oldPinOffset = oldPinOffset;
    return c;
}

// A fake reader "Pinpad" holding `card`; `open` connects to it (or to another reader of the fake).
class FakeReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = fakepcsc::stateOf(FAKEPCSC_LIBRARY);
        ASSERT_NE(fake, nullptr);
        fake->clear();
    }

    void insert(fakepcsc::Card* card, const Bytes& atr = cardsim::defaultAtr(cardsim::Personality::Generic)) {
        fake->readers = {{"Pinpad", true, atr, card}};
    }

    std::unique_ptr<GC_ReaderPCSC> open(bool shared = true, const char* name = "Pinpad") {
        auto reader = std::make_unique<GC_ReaderPCSC>();
        EXPECT_NE(reader->data, nullptr);
        EXPECT_EQ(reader->init(name), 0);
        EXPECT_EQ(reader->initCard(shared, nullptr), 0);
        return reader;
    }

    // Control calls other than the window switch.
    std::vector<fakepcsc::ControlCall> controls() const {
        std::vector<fakepcsc::ControlCall> out;
        for (const auto& call : fake->controls)
            if (call.code != fakepcsc::kEnableWindow) out.push_back(call);
        return out;
    }

    gctest::EnvGuard env{"GC_PCSC_LIBRARY", FAKEPCSC_LIBRARY};
    fakepcsc::State* fake = nullptr;
};

inline const Bytes kPinpadFeatures = fakepcsc::featureList(
    {fakepcsc::kVerifyPinDirect, fakepcsc::kModifyPinDirect, fakepcsc::kExecutePace, fakepcsc::kIfdPinProperties});

}  // namespace fakepcsc_test
