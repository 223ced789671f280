// The card session on a pinpad reader that runs PACE itself (the fake PC/SC library with the
// simulated second-generation card): the channel opened, restored after a reset and closed by
// the reader, a wrong CAN, and PIN entry on the keypad.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Reader/reader.h"
#include "factory.h"
#include "fake_reader_util.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

namespace {

using fakepcsc_test::Bytes;
using Entry = fakepcsc::KeypadEntry;

const Bytes kSignatureAid{0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x4E};
const Bytes kTokenInfo{0x50, 0x32};
const std::vector<unsigned char> kCan{'1', '2', '3', '4', '5', '6'};
// The keypad's display: what the reader answers to IFD_PIN_PROPERTIES.
const Bytes kDisplay{0x00, 0x00, 0x07, 0x00};

class PinpadSession : public fakepcsc_test::FakeReaderTest {
protected:
    void SetUp() override {
        FakeReaderTest::SetUp();
        fake->featureAnswer = fakepcsc_test::kPinpadFeatures;
        fake->pinProperties = kDisplay;
        GC_Factory::addDriver(GC_Factory::READER_PCSC);  // once for the program; later calls refuse
        plug({});
    }

    // The second generation with secure messaging, as configured, in the fake reader.
    void plug(cardsim::CardConfig config) {
        config.personality = cardsim::Personality::Varnel2;
        sim = std::make_unique<cardsim::CardSim>(config);
        card = std::make_unique<fakepcsc_test::SimulatedCard>(*sim);
        insert(card.get(), sim->atr());
        GC_Factory::getReadersList(false);
        reader = GC_Factory::createReader("Pinpad");
        ASSERT_NE(reader, nullptr);
    }

    std::unique_ptr<GC_Controller> open() {
        auto session = std::make_unique<GC_Controller>();
        EXPECT_EQ(session->create("Pinpad", GC_CardController::CARD_GENERIC, true, nullptr), 0);
        EXPECT_TRUE(reader->isPinpad());
        return session;
    }

    Bytes tokenInfo() const { return sim->file({0x50, 0x15, 0x50, 0x32}).value(); }

    gctest::TempDir home;
    const std::string documents = home.makeDirs("Containers/ext/Documents");
    gctest::EnvGuard homeEnv{"HOME", home.path() + "/Containers/ext"};
    std::unique_ptr<cardsim::CardSim> sim;
    std::unique_ptr<fakepcsc_test::SimulatedCard> card;
    GC_Reader* reader = nullptr;
};

// The reader runs PACE with the CAN; the session sends plain commands that the reader protects.
// A reset in the middle of a read: the reader's channel is restored with the kept CAN and the read
// goes on; then the channel is closed.
TEST_F(PinpadSession, ChannelInTheReaderOpensRestoresAfterAResetAndCloses) {
    auto session = open();
    ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
    EXPECT_EQ(fake->paceRuns, 1);
    EXPECT_TRUE(fake->paceChannel);
    EXPECT_EQ(session->channelFlags(), GC_Controller::kChannelUp);
    EXPECT_EQ(fake->paceInputs.back(),
              (Bytes{0x02, 0x0B, 0x00, 0x02, 0x00, 0x06, '1', '2', '3', '4', '5', '6', 0x00, 0x00}));

    sim->clearLog();
    sim->resetOnNextCommand(2);  // the application and the file answered
    Bytes out;
    ASSERT_EQ(session->read(out, kSignatureAid, kTokenInfo, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}),
              0);
    EXPECT_EQ(out, tokenInfo());
    EXPECT_EQ(fake->paceRuns, 2) << "restored once";
    EXPECT_EQ(fake->paceInputs.back(),
              (Bytes{0x02, 0x0B, 0x00, 0x02, 0x00, 0x06, '1', '2', '3', '4', '5', '6', 0x00, 0x00}));
    EXPECT_EQ(session->retransmitCount(), 0);
    const auto log = sim->log();
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log.back().secure) << "the reader protects what the session sends in plain";

    ASSERT_EQ(session->destroySecureConnection(), 0);
    EXPECT_EQ(fake->paceInputs.back(), (Bytes{0x03, 0x00, 0x00}));
    EXPECT_FALSE(fake->paceChannel);
    EXPECT_EQ(session->channelFlags(), 0u);
}

// The card refuses a wrong CAN at the last General Authenticate step: 69 82 is a refused
// password (-1701), 63 00 a failed PACE step (-2305).
TEST_F(PinpadSession, WrongCanThroughTheReadersPace) {
    for (uint16_t status : {uint16_t{0x6982}, uint16_t{0x6300}}) {
        SCOPED_TRACE(status);
        cardsim::CardConfig config;
        config.wrongCanStatus = status;
        plug(config);
        auto session = open();
        EXPECT_EQ(session->performSecureConnection({'6', '5', '4', '3', '2', '1'}, 2),
                  status == 0x6982 ? -1701 : -2305);
        EXPECT_EQ(session->channelFlags(), 0u);
        EXPECT_EQ(fake->paceRuns, 0);
    }
}

}  // namespace
