// The simulated card through a real pcscd and the vpcd reader: a reset by a PC/SC client reaches
// the card as a reset, which ends its secure channel and its selection. (The product's tests reach
// the rest of the vpcd front-end: a card pulled or reset under an exchange, two cards, removal.)
#include <gtest/gtest.h>

#include <chrono>

#include "cardsim.h"
#include "cardsim_pcscd.h"
#include "pcsc_client.h"
#include "terminal.h"
#include "vpcd_card.h"

using namespace cardsim;
using namespace std::chrono_literals;

TEST(CardSimPcsc, AResetThroughVpcdEndsTheChannelAndTheSelection) {
    CardConfig config;
    config.personality = Personality::Varnel2;
    CardSim card(config);
    VpcdCard slot(card, programPcscd().port(0));
    ASSERT_TRUE(slot.start());
    PcscClient client;
    ASSERT_TRUE(client.waitCard(programPcscd().readerName(0), true, 5s));
    ASSERT_TRUE(client.connect(programPcscd().readerName(0)));
    PaceTerminal terminal([&client](const Bytes& command) { return client.transmit(command); });
    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    ASSERT_EQ(terminal.secure(0x00, 0xA4, 0x02, 0x0C, {0x01, 0x1C}, std::nullopt)->sw, 0x9000);
    ASSERT_TRUE(client.reconnect(true));
    EXPECT_FALSE(card.secureMessagingActive());
    EXPECT_EQ(terminal.secure(0x00, 0xB0, 0x00, 0x00, {}, 0)->sw, 0x6988);
    EXPECT_EQ(terminal.plain({0x00, 0xB0, 0x00, 0x00, 0x00})->sw, 0x6986) << "EF.CardAccess is no longer selected";
    slot.stop();
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!startProgramPcscd()) return 1;
    return RUN_ALL_TESTS();
}
