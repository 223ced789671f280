// ICAO Doc 9303 Part 11 worked example "PACE - Generic Mapping" (ECDH, brainpoolP256r1,
// id-PACE-ECDH-GM-AES-CBC-CMAC-128), replayed with the example's terminal private keys.

#include <gtest/gtest.h>

#include <openssl/obj_mac.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>

#include "CardController/Protocols/pacecontroller.h"
#include "Controller/controller.h"
#include "Protocols/pacev2.h"
#include "factory.h"
#include "platform/ctk_memory.h"
#include "support/hex.h"
#include "support/icao_pace_example.h"

using gctest::hex;
using gctest::unhex;

namespace {

using namespace icao;

class PaceIcaoTest : public ::testing::Test {
protected:
    // The example up to MSE:Set AT.
    void runToNonce() {
        SecureVector<unsigned char> mrz(reinterpret_cast<const unsigned char*>(td3Mrz().data()), td3Mrz().size());
        ASSERT_EQ(pace.calculateMRZInfo(mrz), 0);
        ASSERT_EQ(pace.verifySecret(&params, mrz, 1), 0);
        ASSERT_EQ(pace.selectPaceParams(&params, unhex(kCardAccess)), 0);
        std::vector<unsigned char> mse;
        ASSERT_EQ(pace.mseSet(&params, mse), 0);
        EXPECT_EQ(hex(mse),
                  "800A04007F00070202040202830101"
                  "84010D");
    }

    // ... up to the terminal's mapping key (GA 2 request).
    void runToMapping() {
        runToNonce();
        ASSERT_EQ(pace.decryptNonce(&params, answer("7C 12 80 10", kEncNonce)), 0);
        EXPECT_EQ(hex(pace.nonce()), kNonce);

        std::vector<unsigned char> ga2;
        ASSERT_EQ(pace.prepareMappingNonce(ga2), 0);
        EXPECT_EQ(hex(ga2), hex(answer("7C 43 81 41", kPkMapPcd)));
    }

    // ... up to the terminal's ephemeral key (GA 3 request).
    void runToKeyAgreement() {
        runToMapping();
        ASSERT_EQ(pace.mappingNonce(answer("7C 43 82 41", kPkMapIc)), 0);
        EXPECT_EQ(hex(pace.generator()), hex(unhex(kMappedG)));

        std::vector<unsigned char> ga3;
        ASSERT_EQ(pace.prepareKeyAgreement(ga3), 0);
        EXPECT_EQ(hex(ga3), hex(answer("7C 43 83 41", kPkDhPcd)));
    }

    // ... up to and including the terminal token.
    void runToToken() {
        runToKeyAgreement();
        ASSERT_EQ(pace.keyAgreement(answer("7C 43 84 41", kPkDhIc)), 0);
        EXPECT_EQ(hex(pace.sharedSecret()), kShared);

        ASSERT_EQ(pace.calculateKey(&params), 0);
        EXPECT_EQ(hex(params.Kenc), kKenc);
        EXPECT_EQ(hex(params.Kmac), kKmac);
        EXPECT_EQ(hex(params.SSC), std::string(32, '0'));
        EXPECT_EQ(params.algorithm, 2);

        std::vector<unsigned char> ga4;
        ASSERT_EQ(pace.calculateToken(&params, ga4), 0);
        EXPECT_EQ(hex(ga4), std::string("7C0A8508") + kTpcd);
    }

    void reset() { keys = {kSkMapPcd, kSkDhPcd}; }

    std::deque<std::string> keys{kSkMapPcd, kSkDhPcd};
    GC_Pace pace{scalarsFrom(keys)};
    GC_PaceController::pace_params params;
};

TEST_F(PaceIcaoTest, EveryIntermediateValueMatchesAndTheCardTokenVerifies) {
    runToToken();
    EXPECT_EQ(pace.verifyToken(answer("7C 0A 86 08", kTic), &params), 0);
    EXPECT_EQ(hex(params.Kenc), kKenc);
    EXPECT_EQ(hex(params.Kmac), kKmac);
    EXPECT_EQ(params.domainParameterId, 13);
    EXPECT_EQ(params.secretType, 1);
}

TEST_F(PaceIcaoTest, AnyFlippedTokenByteFailsAndLeavesNoKeys) {
    for (size_t i = 0; i < 8; ++i) {
        reset();
        runToToken();
        auto bad = answer("7C 0A 86 08", kTic);
        bad[4 + i] ^= 0x01;
        EXPECT_EQ(pace.verifyToken(bad, &params), GC_Pace::kEcFailure) << "byte " << i;
        EXPECT_TRUE(params.Kenc.empty());
        EXPECT_TRUE(params.Kmac.empty());
        EXPECT_TRUE(params.SSC.empty());
        // Nothing is left to answer a second try with.
        EXPECT_EQ(pace.verifyToken(answer("7C 0A 86 08", kTic), &params), GC_Pace::kEcFailure);
    }
}

TEST_F(PaceIcaoTest, CardTokenHeadIsSkippedButItsLengthIsChecked) {
    runToToken();
    // Another head with the right token: accepted (the head is only skipped).
    EXPECT_EQ(pace.verifyToken(answer("7C 0A 8F 08", kTic), &params), 0);

    for (const std::string& tail : {std::string(kTic) + "00", std::string(kTic).substr(0, 14), std::string()}) {
        reset();
        runToToken();
        EXPECT_EQ(pace.verifyToken(unhex("7C0A8608" + tail), &params), GC_Pace::kEcFailure) << tail;
    }
    reset();
    runToToken();
    EXPECT_EQ(pace.verifyToken(unhex("7C0A86"), &params), GC_Pace::kEcFailure);
}

// Card answers of GA 2 and GA 3 that are not exactly 7C L 82|84 L point-on-the-curve.
std::vector<std::pair<const char*, std::vector<unsigned char>>> badPointAnswers(unsigned char tag, const char* good) {
    const auto point = unhex(good);
    std::vector<std::pair<const char*, std::vector<unsigned char>>> rows;
    const auto with = [&](const char* name, std::vector<unsigned char> head, std::vector<unsigned char> p) {
        head.insert(head.end(), p.begin(), p.end());
        rows.emplace_back(name, head);
    };
    with("wrong outer tag", {0x7D, 0x43, tag, 0x41}, point);
    with("wrong inner tag", {0x7C, 0x43, static_cast<unsigned char>(tag - 1), 0x41}, point);
    with("outer length too long", {0x7C, 0x44, tag, 0x41}, point);
    with("inner length too short", {0x7C, 0x43, tag, 0x40}, point);
    with("long-form length beyond the data", {0x7C, 0x82, 0x01}, {});
    with("truncated point", {0x7C, 0x42, tag, 0x40}, std::vector<unsigned char>(point.begin(), point.end() - 1));
    auto offCurve = point;
    if (!offCurve.empty()) offCurve.back() ^= 0x01;
    with("point off the curve", {0x7C, 0x43, tag, 0x41}, offCurve);
    auto compressed = std::vector<unsigned char>(point.begin(), point.begin() + 33);
    compressed[0] = 0x02;
    with("compressed point", {0x7C, 0x23, tag, 0x21}, compressed);
    with("point at infinity", {0x7C, 0x03, tag, 0x01}, {0x00});
    with("head only", {0x7C, 0x02, tag, 0x00}, {});
    with("empty", {}, {});
    with("7C only", {0x7C}, {});
    return rows;
}

TEST_F(PaceIcaoTest, MalformedMappingAnswersAreRefusedAndFreeTheRun) {
    for (const auto& [name, bad] : badPointAnswers(0x82, kPkMapIc)) {
        reset();
        runToMapping();
        EXPECT_EQ(pace.mappingNonce(bad), GC_Pace::kEcFailure) << name;
        std::vector<unsigned char> ga3;
        EXPECT_NE(pace.prepareKeyAgreement(ga3), 0) << name;
        EXPECT_TRUE(ga3.empty()) << name;
    }
}

TEST_F(PaceIcaoTest, MalformedKeyAgreementAnswersAreRefused) {
    auto rows = badPointAnswers(0x84, kPkDhIc);
    // The terminal's own ephemeral key sent back.
    rows.emplace_back("own key echoed", answer("7C 43 84 41", kPkDhPcd));
    for (const auto& [name, bad] : rows) {
        reset();
        runToKeyAgreement();
        EXPECT_EQ(pace.keyAgreement(bad), GC_Pace::kEcFailure) << name;
        EXPECT_NE(pace.calculateKey(&params), 0) << name;
        EXPECT_TRUE(params.Kenc.empty()) << name;
    }
}

TEST_F(PaceIcaoTest, EncryptedNonceAnswerIsLengthChecked) {
    const std::vector<std::string> bad = {
        "7C 11 80 10",  // outer length one short
        "7C 13 80 10",  // outer length one long
        "7C 12 81 10",  // wrong tag
        "7C 12 80 0F",  // inner length short
        "7D 12 80 10",  // not dynamic authentication data
    };
    for (const auto& head : bad) {
        runToNonce();
        EXPECT_EQ(pace.decryptNonce(&params, answer(head, kEncNonce)), GC_Pace::kBadNonce) << head;
        EXPECT_TRUE(pace.nonce().empty());
    }
    const auto good = answer("7C 12 80 10", kEncNonce);
    for (size_t n = 0; n < good.size(); ++n) {
        runToNonce();
        EXPECT_EQ(pace.decryptNonce(&params, std::vector<unsigned char>(good.begin(), good.begin() + n)),
                  GC_Pace::kBadNonce)
            << n;
    }
    // Not whole cipher blocks.
    runToNonce();
    EXPECT_EQ(pace.decryptNonce(&params, answer("7C 13 80 11", kEncNonce + std::string("00"))), GC_Pace::kBadNonce);
}

TEST_F(PaceIcaoTest, StepsOutOfOrderFail) {
    std::vector<unsigned char> out;
    EXPECT_EQ(pace.mappingNonce(answer("7C 43 82 41", kPkMapIc)), GC_Pace::kEcFailure);
    EXPECT_EQ(pace.prepareKeyAgreement(out), GC_Pace::kEcFailure);
    EXPECT_EQ(pace.keyAgreement(answer("7C 43 84 41", kPkDhIc)), GC_Pace::kEcFailure);
    EXPECT_EQ(pace.calculateKey(&params), GC_Pace::kEcFailure);
    EXPECT_EQ(pace.calculateToken(&params, out), GC_Pace::kEcFailure);
    EXPECT_EQ(pace.verifyToken(answer("7C 0A 86 08", kTic), &params), GC_Pace::kEcFailure);
    EXPECT_EQ(pace.prepareMappingNonce(out), GC_Pace::kWrongCurve);  // no domain parameters chosen

    // Token before the card's ephemeral key.
    reset();
    runToKeyAgreement();
    EXPECT_EQ(pace.calculateToken(&params, out), GC_Pace::kEcFailure);
}

// The whole run over a card session on a second-generation card that answers as the example:
// every command byte for byte, and the example's session keys with a zero counter. The MRZ hash
// the run keeps opens the same channel again without being hashed a second time.
TEST(PaceIcaoRun, PerformPaceReplaysTheExampleOverTheSession) {
    auto slots = std::make_shared<ctk::mem::SlotManager>();
    ctk::SlotManager::setDefaultManager(slots);
    slots->addSlot("ICAO 0");
    auto card = exampleCard();
    slots->insertCard("ICAO 0", card);
    GC_Factory::addDriver(GC_Factory::READER_CTK);
    GC_Factory::getReadersList(false);
    GC_Controller session;
    ASSERT_EQ(session.create("ICAO 0", GC_CardController::CARD_GENERIC, true, nullptr), 0);
    ASSERT_EQ(session.getCardControllerType(), GC_CardController::CARD_VARNEL_2_0);

    const std::string text = td3Mrz();
    const SecureVector<unsigned char> mrz(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    GC_PaceController::pace_params params;
    for (const SecureVector<unsigned char>& secret : {mrz, gctest::secureHex(kMrzHash)}) {
        SCOPED_TRACE(secret.size() == 20 ? "the kept hash" : "the MRZ text");
        const size_t before = card->commands().size();
        ASSERT_EQ(GC_PaceController::performPACE(&session, secret, 1, &params, terminalScalars()), 0);
        const auto commands = card->commands();
        std::vector<std::string> sent;
        for (size_t i = before; i < commands.size(); ++i) sent.push_back(hex(commands[i]));
        std::vector<std::string> expected;
        // The MF is the current file after the serial number was read; after a run it is not.
        if (secret.size() == 20) expected.push_back(paceRun().front().command);
        for (const Exchange& e : paceRun()) expected.push_back(e.command);
        EXPECT_EQ(sent, expected);
        EXPECT_EQ(hex(params.Kenc), kKenc);
        EXPECT_EQ(hex(params.Kmac), kKmac);
        EXPECT_EQ(hex(params.SSC), std::string(32, '0'));
        EXPECT_EQ(params.algorithm, 2);
        EXPECT_EQ(params.domainParameterId, 13);
        EXPECT_EQ(params.secretType, 1);
        EXPECT_EQ(hex(params.secret), kMrzHash);
    }

    // Arguments and passwords the run refuses before the card hears anything.
    const size_t before = card->commands().size();
    EXPECT_EQ(GC_PaceController::performPACE(nullptr, mrz, 1, &params), -2);
    EXPECT_EQ(GC_PaceController::performPACE(&session, mrz, 1, nullptr), -2);
    const std::string shortMrz = text.substr(0, 87) + "<<";
    EXPECT_EQ(GC_PaceController::performPACE(
                  &session, SecureVector<unsigned char>(reinterpret_cast<const unsigned char*>(shortMrz.data()), 89), 1,
                  &params),
              -2);
    EXPECT_TRUE(params.secret.empty()) << "a refused password leaves none to restore with";
    EXPECT_EQ(GC_PaceController::restorePACE(nullptr, &params), -2);
    EXPECT_EQ(card->commands().size(), before);
    ctk::SlotManager::resetDefaultManager();
}

// A card that cuts its answer to one command of the run down to one byte: the run fails there
// (-1) without reading past the answer, and sends nothing after it.
TEST(PaceIcaoRun, OneByteAnswerAtAnyStepEndsTheRun) {
    const std::vector<Exchange> run = paceRun();
    const std::string text = td3Mrz();
    const SecureVector<unsigned char> mrz(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    for (size_t step = 0; step < run.size(); ++step) {
        SCOPED_TRACE(run[step].command.substr(0, 8));
        const std::vector<unsigned char> cut = unhex(run[step].command);
        auto example = exampleCard();
        auto card = std::make_shared<gctest::FakeCard>(gctest::kVarnel20Atr, [example, cut](const auto& apdu) {
            std::vector<unsigned char> answer = example->transmit(apdu);
            if (apdu == cut) answer.resize(1);
            return answer;
        });
        auto slots = std::make_shared<ctk::mem::SlotManager>();
        ctk::SlotManager::setDefaultManager(slots);
        // A slot of its own per step: the registry keeps a reader per name.
        const std::string slot = "ICAO cut " + std::to_string(step);
        slots->addSlot(slot);
        slots->insertCard(slot, card);
        GC_Factory::addDriver(GC_Factory::READER_CTK);
        GC_Factory::getReadersList(false);
        {
            GC_Controller session;
            ASSERT_EQ(session.create(slot.c_str(), GC_CardController::CARD_GENERIC, true, nullptr), 0);
            GC_PaceController::pace_params params;
            EXPECT_EQ(GC_PaceController::performPACE(&session, mrz, 1, &params, terminalScalars()), -1);
            const auto sent = card->commands();
            ASSERT_FALSE(sent.empty());
            EXPECT_EQ(sent.back(), cut);
        }
        ctk::SlotManager::resetDefaultManager();
    }
}

TEST(PaceCurves, BrainpoolGroupsEqualOpenSslsNamedCurves) {
    const std::pair<gc_ossl::EcGroupPtr (*)(), int> curves[] = {
        {&GC_Pace::create_brainpoolP224r1, NID_brainpoolP224r1},
        {&GC_Pace::create_brainpoolP256r1, NID_brainpoolP256r1},
        {&GC_Pace::create_brainpoolP320r1, NID_brainpoolP320r1},
        {&GC_Pace::create_brainpoolP384r1, NID_brainpoolP384r1},
        {&GC_Pace::create_brainpoolP512r1, NID_brainpoolP512r1},
    };
    for (const auto& [create, nid] : curves) {
        const gc_ossl::EcGroupPtr ours = create();
        const gc_ossl::EcGroupPtr named(EC_GROUP_new_by_curve_name(nid));
        ASSERT_TRUE(ours && named) << nid;
        EXPECT_EQ(EC_GROUP_check(ours.get(), nullptr), 1) << nid;
        EXPECT_EQ(EC_GROUP_cmp(ours.get(), named.get(), nullptr), 0) << nid;
    }
}

}  // namespace
