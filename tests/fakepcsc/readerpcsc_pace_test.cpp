// PACE run by the reader: the fake PC/SC library runs EstablishPACEChannel against the simulated
// card with OpenPACE's terminal side and then protects the card traffic, as a PACE reader does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_reader_util.h"

namespace {

using namespace fakepcsc_test;
using Entry = fakepcsc::KeypadEntry;

const Bytes kSw9000{0x90, 0x00};
const Bytes kSelectMf{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kPlainRefused{0x69, 0x82};
const Bytes kNotVerified{0x63, 0xC3};
const Bytes kDestroy{0x03, 0x00, 0x00};

Bytes establishBlock(unsigned char type, const std::string& password) {
    Bytes out;
    for (unsigned char b : {0x02, static_cast<int>(password.size() + 5), 0x00, static_cast<int>(type), 0x00,
                            static_cast<int>(password.size())})
        out.push_back(b);
    for (char c : password) out.push_back(static_cast<unsigned char>(c));
    out.push_back(0x00);
    out.push_back(0x00);
    return out;
}

// An EXECUTE_PACE answer of the result word alone (little-endian), with no data.
Bytes resultOnly(uint32_t result) {
    Bytes out(6, 0x00);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(result >> (8 * i));
    return out;
}

class PaceInReader : public FakeReaderTest {
protected:
    void SetUp() override {
        FakeReaderTest::SetUp();
        ASSERT_TRUE(sim.ok()) << sim.error();
        insert(&card, sim.atr());
        fake->featureAnswer = kPinpadFeatures;
        reader = open();
        ASSERT_TRUE(reader->isPinpad());
        ASSERT_EQ(reader->lock(), 0);
    }

    // The card answers a VERIFY without data (the PIN's state) only inside secure messaging.
    Bytes probe() {
        Bytes response;
        EXPECT_EQ(reader->sendAPDU({0x00, 0x20, 0x00, 0x01}, response, 0), 0);
        return response;
    }

    void selectMf() {
        Bytes response;
        EXPECT_EQ(reader->sendAPDU(kSelectMf, response, 0), 0);
        EXPECT_EQ(response, kSw9000);
    }

    std::string stored() const {
        return std::string(reader->data->pacePassword.begin(), reader->data->pacePassword.end());
    }

    std::vector<Bytes> paceBlocks() const {
        std::vector<Bytes> out;
        for (const auto& call : controls())
            if (call.code == fakepcsc::controlCode(fakepcsc::kExecutePace)) out.push_back(call.input);
        return out;
    }

    cardsim::CardSim sim{cardsim::CardConfig{}};  // second generation: secure messaging required
    SimulatedCard card{sim};
    std::unique_ptr<GC_ReaderPCSC> reader;
};

TEST_F(PaceInReader, ChannelWithCanThenPinOnThePinpad) {
    EXPECT_EQ(probe(), kPlainRefused) << "plain traffic does not reach the PIN";
    selectMf();  // EF.CardAccess is found from the MF

    ASSERT_EQ(reader->performSecureConnection(std::vector<unsigned char>{'1', '2', '3', '4', '5', '6'}, 2), 0);
    EXPECT_EQ(paceBlocks(), std::vector<Bytes>{establishBlock(2, "123456")});
    EXPECT_TRUE(reader->data->channelUp);
    EXPECT_EQ(stored(), "123456");
    EXPECT_EQ(reader->data->pacePasswordType, 2);
    EXPECT_TRUE(sim.secureMessagingActive());
    EXPECT_EQ(probe(), kNotVerified);

    // The PIN typed on the reader goes to the card inside the reader's channel.
    Bytes response;
    fake->keypad.push_back({Entry::Kind::Typed, {"111111"}});
    EXPECT_EQ(reader->verifyPassword({0x00, 0x20, 0x00, 0x01}, container(1, 6, 8), response, 25, 255), 0);
    EXPECT_EQ(response, kSw9000);
    EXPECT_TRUE(sim.pin(0x01)->verified);
    EXPECT_TRUE(sim.log().back().secure);
}

TEST_F(PaceInReader, PasswordsFromTheKeypadAndPuk) {
    fake->keypad.push_back({Entry::Kind::Typed, {"123456"}});
    EXPECT_EQ(reader->performSecureConnection({}, 2), 0);
    EXPECT_EQ(paceBlocks().back(), (Bytes{0x02, 0x05, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(stored().empty()) << "the reader asked for it: nothing to keep";
    EXPECT_EQ(probe(), kNotVerified);
    selectMf();

    EXPECT_EQ(reader->performSecureConnection(std::vector<unsigned char>{'1', '2', '3', '4', '5', '6', '7', '8'}, 4),
              0);
    EXPECT_EQ(paceBlocks().back(), establishBlock(4, "12345678"));
    EXPECT_EQ(stored(), "12345678");
    EXPECT_EQ(reader->data->pacePasswordType, 4);
    EXPECT_EQ(probe(), kNotVerified);
}

TEST_F(PaceInReader, FailuresKeepTheLastChannelState) {
    ASSERT_EQ(reader->performSecureConnection(std::vector<unsigned char>{'1', '2', '3', '4', '5', '6'}, 2), 0);
    const size_t runs = paceBlocks().size();
    struct Case {
        const char* what;
        std::vector<unsigned char> password;
        int type;
        std::optional<Entry> typed;
        int expected;
        bool sent;
    };
    const std::vector<Case> cases{
        // The simulated card answers a wrong token with 69 82, which the reader reports as
        // a refused password at the last step.
        {"wrong CAN", {'6', '5', '4', '3', '2', '1'}, 2, std::nullopt, -27, true},
        {"cancel on the keypad", {}, 2, Entry{Entry::Kind::Cancel, {}}, -13, true},
        {"nobody types", {}, 4, std::nullopt, -14, true},
        {"MRZ is not this card's", {'x'}, 1, std::nullopt, -10, true},
        {"PIN as a PACE password", {'1'}, 3, std::nullopt, -7, false},
        {"unknown type", {'1'}, 7, std::nullopt, -7, false},
        {"MRZ without password", {}, 1, std::nullopt, -8, false},
        {"no type", {}, 0, std::nullopt, -8, false},
        {"password beyond a byte", std::vector<unsigned char>(256, '1'), 2, std::nullopt, -1, false},
    };
    size_t expectedRuns = runs;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reader->data->channelUp = true;
        fake->keypad.clear();
        if (c.typed) fake->keypad.push_back(*c.typed);
        EXPECT_EQ(reader->performSecureConnection(c.password, c.type), c.expected);
        expectedRuns += c.sent ? 1 : 0;
        EXPECT_EQ(paceBlocks().size(), expectedRuns);
        EXPECT_TRUE(reader->data->channelUp) << "a failure changes nothing";
        EXPECT_EQ(stored(), "123456");
        EXPECT_EQ(reader->data->pacePasswordType, 2);
    }
}

TEST_F(PaceInReader, ResultWordsAndAnswers) {
    struct Case {
        const char* what;
        Bytes answer;
        int expected;
    };
    const std::vector<Case> cases{
        {"success, result only", resultOnly(0), 0},
        {"MSE:Set AT refused the password", resultOnly(0xF0026985), -27},
        {"MSE:Set AT other", resultOnly(0xF0026A80), -10},
        {"select EF.CardAccess", resultOnly(0xF0006A82), -10},
        {"step 2", resultOnly(0xF0046982), -10},
        {"step 4 refused the password", resultOnly(0xF0066982), -27},
        {"step 4 with 90 00", resultOnly(0xF0069000), -10},
        {"step 7", resultOnly(0xF0070000), -9},
        {"communication abort", resultOnly(0xF0100001), -11},
        {"no card", resultOnly(0xF0100002), -12},
        {"other F010", resultOnly(0xF0100003), -9},
        {"abort", resultOnly(0xF0200001), -13},
        {"time-out", resultOnly(0xF0200002), -14},
        {"inconsistent lengths", resultOnly(0xD0000001), -9},
        {"empty answer", {}, -1},
        {"length field does not match", {0, 0, 0, 0, 0x02, 0x00, 0x90}, -9},
        {"bytes left over", {0, 0, 0, 0, 0x0A, 0x00, 0x90, 0x00, 0x01, 0x00, 0x31, 0x00, 0x00, 0x00, 0x00, 0xEE}, -9},
        {"three bytes", {0, 0, 0}, -9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reader->data->channelUp = false;
        reader->data->pacePassword = SecureVector<unsigned char>();
        fake->controlAnswers = {c.answer};
        EXPECT_EQ(reader->performSecureConnection(std::vector<unsigned char>{'1', '2', '3', '4', '5', '6'}, 2),
                  c.expected);
        EXPECT_EQ(reader->data->channelUp, c.expected == 0);
        EXPECT_EQ(stored(), c.expected == 0 ? "123456" : "");
    }
    // An answer that fills the buffer exactly is taken; one that claims a byte more than the
    // buffer holds is refused, not cut to the buffer.
    Bytes full{0x00, 0x00, 0x00, 0x00, 0xE2, 0xFD, 0x90, 0x00, 0xDE, 0xFD};
    full.resize(65000, 0x31);
    fake->controlAnswers = {full};
    EXPECT_EQ(reader->performSecureConnection(std::vector<unsigned char>{'1', '2', '3', '4', '5', '6'}, 2), 0);
    fake->controlAnswers = {full};
    fake->claimLongerAnswer = true;
    EXPECT_EQ(reader->performSecureConnection(std::vector<unsigned char>{'1', '2', '3', '4', '5', '6'}, 2), -9);
    fake->claimLongerAnswer = false;

    // Card removed while the reader works.
    fake->controlResults = {static_cast<LONG>(SCARD_W_REMOVED_CARD)};
    EXPECT_EQ(reader->performSecureConnection(std::vector<unsigned char>{'1', '2', '3', '4', '5', '6'}, 2), -11);
    fake->controlResults = {static_cast<LONG>(SCARD_E_NOT_TRANSACTED)};
    EXPECT_EQ(reader->performSecureConnection(std::vector<unsigned char>{'1', '2', '3', '4', '5', '6'}, 2), -6);
}

TEST_F(PaceInReader, RestoreAfterResetAndDestroyOnDemand) {
    ASSERT_EQ(reader->performSecureConnection(std::vector<unsigned char>{'1', '2', '3', '4', '5', '6'}, 2), 0);
    EXPECT_EQ(probe(), kNotVerified);

    // The card is reset: the channel is gone on the card, the reader object still thinks it up.
    sim.resetOnNextCommand();
    Bytes response;
    EXPECT_EQ(reader->sendAPDU(kSelectMf, response, 0), -25);
    EXPECT_TRUE(reader->data->channelUp);
    EXPECT_FALSE(sim.secureMessagingActive());
    ASSERT_EQ(reader->lock(), 0);
    EXPECT_EQ(reader->sendAPDU(kSelectMf, response, 0), 0);

    const size_t before = paceBlocks().size();
    ASSERT_EQ(reader->restoreSecureConnection(), 0);
    const auto blocks = paceBlocks();
    ASSERT_EQ(blocks.size(), before + 2);
    EXPECT_EQ(blocks[before], kDestroy);
    EXPECT_EQ(blocks[before + 1], establishBlock(2, "123456")) << "the kept password, again";
    EXPECT_TRUE(reader->data->channelUp);
    EXPECT_EQ(probe(), kNotVerified);

    EXPECT_EQ(reader->destroySecureConnection(), 0);
    EXPECT_EQ(paceBlocks().back(), kDestroy);
    EXPECT_FALSE(reader->data->channelUp);
    EXPECT_FALSE(fake->paceChannel);
    EXPECT_EQ(stored(), "123456") << "kept for a later restore";
    EXPECT_EQ(probe(), kPlainRefused);

    // A reader that says the channel could not be closed, or says nothing, did not close it.
    reader->data->channelUp = true;
    fake->controlAnswers = {resultOnly(0xF0100002)};
    EXPECT_EQ(reader->destroySecureConnection(), -12);
    EXPECT_FALSE(reader->data->channelUp);
    fake->controlAnswers = {Bytes{}};
    EXPECT_EQ(reader->destroySecureConnection(), -1);
    fake->controlAnswers = {Bytes{0x00, 0x00}};
    EXPECT_EQ(reader->destroySecureConnection(), -9);
}

TEST_F(PaceInReader, RestoreWithNothingStored) {
    EXPECT_EQ(reader->restoreSecureConnection(), -8);
    EXPECT_EQ(paceBlocks(), std::vector<Bytes>{kDestroy});
}

TEST_F(PaceInReader, ReaderWithoutPace) {
    fake->featureAnswer = fakepcsc::featureList({fakepcsc::kVerifyPinDirect});
    ASSERT_EQ(reader->initCard(true, nullptr), 0);
    ASSERT_FALSE(reader->isPinpad());
    reader->data->channelUp = true;
    const size_t before = fake->controls.size();
    EXPECT_EQ(reader->performSecureConnection(std::vector<unsigned char>{'1'}, 2), -4);
    EXPECT_EQ(reader->restoreSecureConnection(), -4);
    EXPECT_EQ(reader->destroySecureConnection(), -4);
    EXPECT_TRUE(reader->data->channelUp);
    EXPECT_EQ(fake->controls.size(), before);

    // The feature bit without a control code would send the block to the card as an APDU.
    reader->data->features |= 0x20;
    EXPECT_EQ(reader->performSecureConnection(std::vector<unsigned char>{'1'}, 2), -4);
    EXPECT_EQ(reader->destroySecureConnection(), -4);
    EXPECT_TRUE(fake->transmitBufferSizes.empty());
}

}  // namespace
