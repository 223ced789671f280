// The card session over the PC/SC back-end, where the fake library scripts what the service says:
// one card transaction per exchange, a failed release, and a card reset or pulled out in the
// middle of a read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Controller/controller.h"
#include "Reader/reader.h"
#include "factory.h"
#include "fake_reader_util.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

namespace {

using fakepcsc_test::Bytes;

const Bytes kSignatureAid{0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x4E};
const Bytes kScratch{0x4F, 0x00};

class SessionOverFakePcsc : public fakepcsc_test::FakeReaderTest {
protected:
    void SetUp() override {
        FakeReaderTest::SetUp();
        cardsim::CardConfig config;
        config.personality = cardsim::Personality::Varnel2;
        config.requireSecureMessaging = false;
        sim = std::make_unique<cardsim::CardSim>(config);
        card = std::make_unique<fakepcsc_test::SimulatedCard>(*sim);
        insert(card.get(), sim->atr());
        GC_Factory::addDriver(GC_Factory::READER_PCSC);  // once for the program; later calls refuse
        GC_Factory::getReadersList(false);
        reader = GC_Factory::createReader("Pinpad");
        ASSERT_NE(reader, nullptr);
        reader->maxApduSize = 200;
        reader->extendedApdu = false;
        reader->apduSizeFixed = false;
    }

    std::unique_ptr<GC_Controller> open(bool shared = true) {
        auto session = std::make_unique<GC_Controller>();
        EXPECT_EQ(session->create("Pinpad", GC_CardController::CARD_GENERIC, shared, nullptr), 0);
        EXPECT_EQ(session->getCardControllerType(), GC_CardController::CARD_VARNEL_2_0);
        return session;
    }

    size_t commandsSent() const {
        size_t n = 0;
        for (const auto& entry : sim->log()) n += entry.kind == cardsim::LogEntry::Kind::Command ? 1 : 0;
        return n;
    }

    static std::string repeat(const std::string& unit, size_t times) {
        std::string out;
        for (size_t i = 0; i < times; ++i) out += unit;
        return out;
    }

    // Empty settings of the test's own.
    gctest::TempDir home;
    const std::string documents = home.makeDirs("Containers/ext/Documents");
    gctest::EnvGuard homeEnv{"HOME", home.path() + "/Containers/ext"};
    std::unique_ptr<cardsim::CardSim> sim;
    std::unique_ptr<fakepcsc_test::SimulatedCard> card;
    GC_Reader* reader = nullptr;
};

TEST_F(SessionOverFakePcsc, EveryExchangeIsOneCardTransactionInASharedSession) {
    auto session = open();
    fake->transactionTrace.clear();
    sim->clearLog();
    Bytes out;
    ASSERT_EQ(
        session->read(out, kSignatureAid, kScratch, 0, 1000, nullptr, false, true, GC_Controller::READ_SELECT, {}), 0);
    EXPECT_EQ(out, Bytes(1000, 0x00));
    EXPECT_EQ(fake->transactionTrace, repeat("BTE", commandsSent()));

    // Exclusive: the transaction of create (begun before the serial number is read) lasts the
    // whole session.
    fake->transactionTrace.clear();
    auto exclusive = open(false);
    ASSERT_EQ(fake->transactionTrace.substr(0, 1), "B");
    ASSERT_EQ(fake->transactionTrace.find_first_of("BE", 1), std::string::npos);
    fake->transactionTrace.clear();
    sim->clearLog();
    ASSERT_EQ(
        exclusive->read(out, kSignatureAid, kScratch, 0, 1000, nullptr, true, true, GC_Controller::READ_SELECT, {}), 0);
    EXPECT_EQ(fake->transactionTrace, repeat("T", commandsSent()));
}

// A release that fails after an exchange is taken as an exchange too large for the reader: the
// size is lowered once, fixed, and the answer is not used.
TEST_F(SessionOverFakePcsc, AFailedReleaseFixesTheSize) {
    auto session = open();
    for (auto [before, after] : {std::pair{600LL, 399LL}, std::pair{456LL, 200LL}}) {
        reader->maxApduSize = before;
        reader->apduSizeFixed = false;
        fake->endTransactionResults = {SCARD_E_NOT_TRANSACTED};
        Bytes response;
        EXPECT_EQ(session->sendApdu({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, response, 0, true), -1913);
        EXPECT_TRUE(response.empty());
        EXPECT_EQ(reader->maxApduSize, after);
        EXPECT_TRUE(reader->apduSizeFixed);
    }
    // Once fixed, a failed release is only the release's failure.
    fake->endTransactionResults = {SCARD_E_NOT_TRANSACTED};
    Bytes response;
    EXPECT_EQ(session->sendApdu({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, response, 0, true), -5);
    EXPECT_EQ(reader->maxApduSize, 200);
}

// The card is reset in the middle of a read: at the READ itself (the reader reconnects: -25) or
// before it, by another client (the lock finds the card reset). Either way the read is not
// finished on a card that lost its selection: the session tries to reopen the channel, which it
// cannot without a password (the card only hears the plain selection that ends secure
// messaging), and reports -1701 with none of the file. Only a failed transfer lowers the APDU size.
TEST_F(SessionOverFakePcsc, CardResetInTheMiddleOfARead) {
    for (bool atTheRead : {true, false}) {
        SCOPED_TRACE(atTheRead ? "during the READ" : "by another client before it");
        auto session = open();
        reader->maxApduSize = 200;
        reader->apduSizeFixed = false;
        sim->clearLog();
        if (atTheRead) {
            fake->transmitsBeforeScript = 3;  // the application, the file, the first READ
            fake->transmitScript = {{SCARD_W_RESET_CARD, {}}};
        } else {
            fake->beginTransactionResults = {SCARD_S_SUCCESS, SCARD_S_SUCCESS, SCARD_S_SUCCESS, SCARD_W_RESET_CARD};
        }
        Bytes out{0x01};
        EXPECT_EQ(
            session->read(out, kSignatureAid, kScratch, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}),
            -1701);
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(session->retransmitCount(), 0);
        // 602 learned from the first READ; the reset transfer lowers it to 401 and fixes it.
        EXPECT_EQ(reader->maxApduSize, atTheRead ? 401 : 602);
        EXPECT_EQ(reader->apduSizeFixed, atTheRead);
        ASSERT_EQ(commandsSent(), 4u) << "the second READ never reached the card";
        EXPECT_EQ(cardsim::toHex(sim->log().back().command), "00A4040C07A0000002471001");
    }
}

TEST_F(SessionOverFakePcsc, CardPulledOutInTheMiddleOfARead) {
    auto session = open();
    fake->transmitsBeforeScript = 3;
    fake->transmitScript = {{SCARD_W_REMOVED_CARD, {}}};
    fake->reconnectResult = SCARD_E_NO_SMARTCARD;
    Bytes out{0x01};
    EXPECT_EQ(session->read(out, kSignatureAid, kScratch, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}),
              -6);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(reader->apduSizeFixed);
}

}  // namespace
