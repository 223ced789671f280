// The card session over the PC/SC back-end, where the fake library scripts what the service says:
// one card transaction per exchange, a failed release, and a card reset or pulled out in the
// middle of a read; and on a pinpad reader that runs PACE itself (with the simulated
// second-generation card): the channel opened, restored after a reset and closed by the reader, a
// wrong CAN, and PIN and PUK entry on the keypad.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Queue/hub_companion.h"
#include "Reader/reader.h"
#include "factory.h"
#include "fake_reader_util.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

namespace {

using fakepcsc_test::Bytes;
using Entry = fakepcsc::KeypadEntry;

const Bytes kSignatureAid{0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x4E};
const Bytes kScratch{0x4F, 0x00};
const Bytes kTokenInfo{0x50, 0x32};
const std::vector<unsigned char> kCan{'1', '2', '3', '4', '5', '6'};

// The second generation, as configured, in the fake reader "Pinpad", with empty settings of the
// test's own.
class FakeSession : public fakepcsc_test::FakeReaderTest {
protected:
    void SetUp() override {
        FakeReaderTest::SetUp();
        GC_Factory::addDriver(GC_Factory::READER_PCSC);  // once for the program; later calls refuse
    }

    void plug(cardsim::CardConfig config) {
        config.personality = cardsim::Personality::Varnel2;
        sim = std::make_unique<cardsim::CardSim>(config);
        card = std::make_unique<fakepcsc_test::SimulatedCard>(*sim);
        insert(card.get(), sim->atr());
        GC_Factory::getReadersList(false);
        reader = GC_Factory::createReader("Pinpad");
        ASSERT_NE(reader, nullptr);
    }

    std::unique_ptr<GC_Controller> open(bool shared = true) {
        auto session = std::make_unique<GC_Controller>();
        EXPECT_EQ(session->create("Pinpad", GC_CardController::CARD_GENERIC, shared, nullptr), 0);
        EXPECT_EQ(session->getCardControllerType(), GC_CardController::CARD_VARNEL_2_0);
        return session;
    }

    gctest::TempDir home;
    const std::string documents = home.makeDirs("Containers/ext/Documents");
    gctest::EnvGuard homeEnv{"HOME", home.path() + "/Containers/ext"};
    std::unique_ptr<cardsim::CardSim> sim;
    std::unique_ptr<fakepcsc_test::SimulatedCard> card;
    GC_Reader* reader = nullptr;
};

class SessionOverFakePcsc : public FakeSession {
protected:
    void SetUp() override {
        FakeSession::SetUp();
        cardsim::CardConfig config;
        config.requireSecureMessaging = false;
        plug(config);
        reader->maxApduSize = 200;
        reader->extendedApdu = false;
        reader->apduSizeFixed = false;
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

// The keypad's display: what the reader answers to IFD_PIN_PROPERTIES.
const Bytes kDisplay{0x00, 0x00, 0x07, 0x00};

// The second generation with secure messaging on a pinpad reader that runs PACE.
class PinpadSession : public FakeSession {
protected:
    void SetUp() override {
        FakeSession::SetUp();
        fake->featureAnswer = fakepcsc_test::kPinpadFeatures;
        fake->pinProperties = kDisplay;
        plug({});
    }

    Bytes tokenInfo() const { return sim->file({0x50, 0x15, 0x50, 0x32}).value(); }
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

// A PIN of the second generation as the pinpad reader enters it: ASCII from byte 5 of the command,
// six digits (the reader pads a shorter PIN to the maximum length).
std::shared_ptr<GC_Container> keypadPin(uint8_t reference, Bytes path, uint64_t flags = 0) {
    auto c = fakepcsc_test::container(1, 6, 6);
    c->pin->pinReference = reference;
    c->pin->path = std::move(path);
    c->AID = kSignatureAid;
    c->flags = flags | GC_Container::FLAG_ACTIVE;
    return c;
}

// PIN entry on the keypad inside the reader's channel: a typed PIN is verified; a cancel, a
// time-out, a PIN the reader finds too short and two entries that differ become -2318, -2321,
// -2310 and -2319, with nothing recorded of the PIN.
TEST_F(PinpadSession, PinEntryOnTheKeypad) {
    auto session = open();
    ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
    auto pin = keypadPin(0x01, {0xAD, 0xF1});
    fake->keypad.push_back({Entry::Kind::Typed, {"111111"}});
    ASSERT_EQ(session->verifyPassword(pin, {}, false, false), 0);
    EXPECT_EQ(fake->pinCommands.back(), (Bytes{0x00, 0x20, 0x00, 0x01, 0x06, '1', '1', '1', '1', '1', '1'}));
    EXPECT_EQ(pin->pin->triesLeft, 3u);
    EXPECT_TRUE(sim->pin(0x01)->verified);

    struct Case {
        const char* what;
        Entry typed;
        int expected;
    };
    const Case cases[] = {
        {"cancelled", {Entry::Kind::Cancel, {}}, -2318},
        {"time-out", {Entry::Kind::Timeout, {}}, -2321},
        {"too short for the reader", {Entry::Kind::Typed, {"12"}}, -2310},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake->keypad = {c.typed};
        EXPECT_EQ(session->verifyPassword(pin, {}, false, false), c.expected);
        EXPECT_EQ(sim->pin(0x01)->triesLeft, 3) << "no PIN reached the card";
    }
    // A change: the current PIN verified on the keypad, then the new one typed twice, differently.
    fake->keypad = {{Entry::Kind::Typed, {"111111"}}, {Entry::Kind::Typed, {"222222", "222223"}}};
    EXPECT_EQ(session->changePassword(pin, {}, {}, false), -2319);
    EXPECT_EQ(fake->pinStructures.size() >= 2, true);
    EXPECT_TRUE(sim->pin(0x01)->verified) << "the old PIN was verified; nothing changed";
}

// The PUK of the second generation on a pinpad reader is a PACE password typed on the keypad;
// the unblock then resets the counter itself and lets the reader take the new PIN twice. An
// unblock cancelled on the keypad leaves the PIN blocked, as it was: three verifications with a
// PIN of FF bytes, then -2320.
TEST_F(PinpadSession, PukByPaceAndUnblockOnTheKeypad) {
    auto session = open();
    ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
    auto pin = keypadPin(0x01, {0xAD, 0xF1});
    auto puk = keypadPin(0x04, {}, GC_Container::FLAG_PUK);
    puk->pin->minLength = puk->pin->maxLength = 8;

    fake->keypad = {{Entry::Kind::Typed, {"12345678"}}};
    ASSERT_EQ(session->verifyPassword(puk, {}, false, false), 0);
    EXPECT_EQ(fake->paceInputs.back(), (Bytes{0x02, 0x05, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00})) << "PUK, typed";
    EXPECT_NE(puk->flags & GC_Container::FLAG_VERIFIED, 0u);

    sim->clearLog();
    fake->keypad = {{Entry::Kind::Typed, {"333333", "333333"}}};
    ASSERT_EQ(session->unblockPassword(pin, {}, true), 0);
    auto log = sim->log();
    std::vector<std::string> sent;
    for (const auto& e : log)
        if (e.kind == cardsim::LogEntry::Kind::Command) sent.push_back(cardsim::toHex(e.plainCommand));
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2], "002C0381");
    EXPECT_EQ(sent.back(), "0024018106333333333333");
    EXPECT_EQ(sim->pin(0x01)->value, "333333");
    EXPECT_EQ(pin->pin->triesLeft, 3u);

    // Cancelled on the keypad after the counter was reset: three FF verifications use it up.
    sim->clearLog();
    fake->keypad = {{Entry::Kind::Cancel, {}}};
    EXPECT_EQ(session->unblockPassword(pin, {}, true), -2320);
    size_t blocking = 0;
    for (const auto& e : sim->log())
        if (e.kind == cardsim::LogEntry::Kind::Command && cardsim::toHex(e.plainCommand) == "0020000106FFFFFFFFFFFF")
            ++blocking;
    EXPECT_EQ(blocking, 3u);
    EXPECT_EQ(sim->pin(0x01)->triesLeft, 0);
}

// The PUK's tries decide how the second generation verifies it on a pinpad reader: by PACE with the
// PUK while more than one is left, by VERIFY with the last one. After a PACE run the card refused,
// the channel is reopened with the companion's CAN and the card asked for the tries; a PUK it finds
// blocked is reported so.
TEST_F(PinpadSession, PukTriesChooseBetweenPaceAndVerify) {
    gctest::HubCompanion link(std::chrono::seconds(5));
    auto session = open();
    ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
    auto puk = keypadPin(0x04, {}, GC_Container::FLAG_PUK);
    puk->pin->minLength = puk->pin->maxLength = 8;
    puk->pin->triesLeft = 3;
    const std::string wrong = "87654321", right = "12345678";
    struct Step {
        const char* what;
        const std::string& puk;
        int result;
        bool byPace;
        uint64_t triesLeft;
    };
    // clang-format off
    const Step steps[] = {
        {"wrong, by PACE",                               wrong, -2305, true,  2},
        {"wrong again, by PACE",                         wrong, -2305, true,  1},
        {"right, with the last try by VERIFY",           right, 0,     false, 3},
        {"wrong, by PACE",                               wrong, -2305, true,  2},
        {"wrong, by PACE",                               wrong, -2305, true,  1},
        {"wrong, with the last try by VERIFY",           wrong, -2305, false, 0},
        {"blocked: PACE refused, the card says blocked", right, -2307, true,  0},
    };
    // clang-format on
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        sim->clearLog();
        const size_t inputs = fake->paceInputs.size();
        EXPECT_EQ(session->verifyPassword(puk, Bytes(step.puk.begin(), step.puk.end()), false, false), step.result);
        size_t pukRuns = 0;
        for (size_t i = inputs; i < fake->paceInputs.size(); ++i)
            if (fake->paceInputs[i].size() > 3 && fake->paceInputs[i][3] == 0x04) ++pukRuns;
        EXPECT_EQ(pukRuns, step.byPace ? 1u : 0u);
        const std::string verify = "0020000408" + cardsim::toHex(Bytes(step.puk.begin(), step.puk.end()));
        size_t verifies = 0;
        std::string status;  // the card's answer to the last VERIFY without a PUK
        for (const auto& e : sim->log()) {
            if (e.kind != cardsim::LogEntry::Kind::Command) continue;
            const std::string command = cardsim::toHex(e.plainCommand);
            if (command.rfind(verify, 0) == 0) ++verifies;
            if (command.rfind("00200004", 0) == 0 && command.size() <= 10) status = cardsim::toHex(e.plainResponse);
        }
        EXPECT_EQ(verifies, step.byPace ? 0u : 1u);
        if (step.byPace) {
            EXPECT_EQ(status, step.triesLeft == 0 ? "6983" : "63C" + std::to_string(step.triesLeft));
            EXPECT_EQ(session->channelFlags(), GC_Controller::kChannelUp) << "reopened with the CAN";
        }
        EXPECT_EQ(puk->pin->triesLeft, step.triesLeft);
        EXPECT_EQ(sim->pin(0x04)->triesLeft, static_cast<int>(step.triesLeft));
        EXPECT_EQ((puk->flags & GC_Container::FLAG_VERIFIED) != 0, step.result == 0);
        EXPECT_EQ((puk->flags & GC_Container::FLAG_BLOCKED) != 0, step.result == -2307);
    }
}

}  // namespace
