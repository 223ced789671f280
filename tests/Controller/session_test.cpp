// The card session with the generic card: controller choice, selection state, chunked reads and
// writes with the learned APDU size, chains, the retransmit rule, and a card that another client
// resets between two reads.
#include <string>
#include <vector>

#include "Reader/reader.h"
#include "cardsim.h"
#include "factory.h"
#include "session_fixture.h"
#include "settings.h"
#include "support/hex.h"

namespace session_test {
namespace {

const Bytes kCardManagerAid{0xA0, 0x00, 0x00, 0x01, 0x51, 0x00, 0x00, 0x00};
const std::string kSelectPkcs15 = "00A4040C0CA000000063504B43532D3135";

std::vector<std::string> commands(std::initializer_list<const char*> hex) {
    return {hex.begin(), hex.end()};
}

Bytes pattern(size_t n, unsigned seed) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(i * 31 + seed);
    return out;
}

TEST_F(SessionTest, CreateChoosesTheControllerByExactAtr) {
    Bytes almostVarnel1 = cardsim::defaultAtr(cardsim::Personality::Varnel1);
    almostVarnel1.back() ^= 0x01;
    using P = cardsim::Personality;
    constexpr auto kGeneric = GC_CardController::CARD_GENERIC;
    constexpr auto kV1 = GC_CardController::CARD_VARNEL_1_0;
    constexpr auto kV2 = GC_CardController::CARD_VARNEL_2_0;
    struct Case {
        const char* what;
        P personality;
        Bytes atr;
        GC_CardController::card_controller requested;
        int result;
        GC_CardController::card_controller chosen;
    };
    // clang-format off
    const Case cases[] = {
        {"generic card",                   P::Generic, {},            kGeneric, 0,     kGeneric},
        {"Varnel 1.0",                     P::Varnel1, {},            kGeneric, 0,     kV1},
        {"Varnel 2.0",                     P::Varnel2, {},            kGeneric, 0,     kV2},
        {"1.0 ATR but its last byte",      P::Varnel1, almostVarnel1, kGeneric, 0,     kGeneric},
        {"2.0 forced on 2.0",              P::Varnel2, {},            kV2,      0,     kV2},
        {"1.0 forced on 2.0",              P::Varnel2, {},            kV1,      -2002, kV1},
        {"2.0 forced on the generic card", P::Generic, {},            kV2,      -2002, kV2},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cardsim::CardConfig config = plainCard(c.personality);
        config.atr = c.atr;
        plug(config);
        // To the PC/SC back-end a card without a supported ATR is no usable card: no controller is
        // chosen and the session stays without one.
        const bool seen = slotBackend() || GC_Factory::getCardsATRs().count(card->atr()) != 0;
        int created = 1;
        auto session = open(c.requested, &created);
        EXPECT_EQ(created, seen ? c.result : 0);
        EXPECT_EQ(session->getCardControllerType(), seen ? c.chosen : c.requested);
        EXPECT_EQ(session->getATRcard(), card->atr());
        // A second create changes nothing, whatever the first gave.
        EXPECT_EQ(session->create(name, GC_CardController::CARD_GENERIC, true, nullptr), -2200);
        EXPECT_EQ(session->getCardControllerType(), seen ? c.chosen : c.requested);
        Bytes response;
        EXPECT_EQ(session->sendApdu({0x00, 0xA4, 0x00, 0x0C}, response, 0, true), seen && c.result == 0 ? 0 : -2001);
    }
}

// The session follows the reader: a card taken out takes its controller with it, a card put in
// gets one; the features say whether a card is there and that no PACE password is known.
TEST_F(SessionTest, StateAndFeaturesFollowTheCard) {
    auto session = open();
    const auto kind = session->getCardControllerType();
    int features = 0;
    EXPECT_EQ(session->readerFeatures(features), 0);
    EXPECT_EQ(features, GC_Controller::kFeatureCardPresent | GC_Controller::kFeatureNoPassword);
    EXPECT_EQ(session->state(), 0);
    Bytes response;
    EXPECT_EQ(session->sendApdu({0x00, 0xA4, 0x00, 0x0C}, response, 0, true), 0);

    // The slot back-end reports a slot as usable for as long as it exists (the token replaces its
    // session when the platform says the card went); the PC/SC back-end reports the empty reader.
    if (slotBackend()) return;
    unplug();
    EXPECT_EQ(session->state(), 0);
    response.clear();
    EXPECT_EQ(session->sendApdu({0x00, 0xA4, 0x00, 0x0C}, response, 0, true), -2001) << "no card, no controller";
    EXPECT_EQ(session->readerFeatures(features), 0);
    EXPECT_EQ(features, 0);

    plug(plainCard(sessionPersonality()));
    EXPECT_EQ(session->state(), 0);
    EXPECT_EQ(session->getCardControllerType(), kind);
    response.clear();
    EXPECT_EQ(session->sendApdu({0x00, 0xA4, 0x00, 0x0C}, response, 0, true), 0);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
}

// Mode 1 with the size asked: the application, the file with its size, then READ BINARY in chunks
// of the card's 255 bytes, which the size learned from the first answers allows.
TEST_F(SessionTest, ReadsA579ByteFileInChunksOfTheLearnedSize) {
    if (!slotBackend()) GTEST_SKIP() << "the generic card has no session on the PC/SC back-end";
    auto session = open();
    size_t mark = logMark();
    Bytes out;
    unsigned long size = 0;
    ASSERT_EQ(session->read(out, kPkcs15Aid, kCertificate, 0, 0, &size, false, true, GC_Controller::READ_SELECT, {}),
              0);
    EXPECT_EQ(sentSince(mark), commands({"00A4040C0CA000000063504B43532D3135", "00A4020002430100", "00B00000FF",
                                         "00B000FFFF", "00B001FE45"}));
    EXPECT_EQ(size, 579u);
    EXPECT_EQ(out, appFile(kCertificate));
    // 200 -> 401 after the application's 90 00, 401 -> 602 after the first 257-byte answer.
    EXPECT_EQ(reader().maxApduSize, 602);
    EXPECT_FALSE(reader().apduSizeFixed);
    EXPECT_FALSE(reader().extendedApdu);
    EXPECT_EQ(settings(), "") << "learning stores nothing";

    // Selected already: nothing to send, the size remembered.
    mark = logMark();
    size = 0;
    EXPECT_EQ(session->select(kCertificate, &size, kPkcs15Aid, false), 0);
    EXPECT_TRUE(sentSince(mark).empty());
    EXPECT_EQ(size, 579u);

    // A part of the file; and a part that runs past its end stops at 62 82 with what the file has.
    mark = logMark();
    ASSERT_EQ(
        session->read(out, kPkcs15Aid, kCertificate, 100, 50, nullptr, false, true, GC_Controller::READ_SELECT, {}), 0);
    const Bytes file = appFile(kCertificate);
    EXPECT_EQ(out, Bytes(file.begin() + 100, file.begin() + 150));
    ASSERT_EQ(
        session->read(out, kPkcs15Aid, kCertificate, 500, 200, nullptr, false, true, GC_Controller::READ_SELECT, {}),
        0);
    EXPECT_EQ(out, Bytes(file.begin() + 500, file.end()));
    EXPECT_EQ(sentSince(mark), commands({"00B0006432", "00B001F4C8"}));
}

TEST_F(SessionTest, SelectionStateOfTheGenericController) {
    if (!slotBackend()) GTEST_SKIP() << "the generic card has no session on the PC/SC back-end";
    auto session = open();
    auto selects = [&](const Bytes& path, const Bytes& aid, bool force, int expected = 0) {
        const size_t mark = logMark();
        EXPECT_EQ(session->select(path, nullptr, aid, force), expected);
        return sentSince(mark);
    };
    EXPECT_EQ(selects({0x44, 0x01}, kPkcs15Aid, false),
              commands({"00A4040C0CA000000063504B43532D3135", "00A4020C024401"}));
    EXPECT_EQ(selects({0x44, 0x01}, kPkcs15Aid, false), commands({}));
    EXPECT_EQ(selects({0x44, 0x01}, kPkcs15Aid, true),
              commands({"00A4040C0CA000000063504B43532D3135", "00A4020C024401"}));
    EXPECT_EQ(selects({0x44, 0x02}, kPkcs15Aid, false), commands({"00A4020C024402"}));
    // The MF leaves every application: the next file of one selects it again.
    EXPECT_EQ(selects({0x3F, 0x00}, {}, false), commands({"00A40000"}));
    EXPECT_EQ(selects({0x44, 0x02}, kPkcs15Aid, false),
              commands({"00A4040C0CA000000063504B43532D3135", "00A4020C024402"}));
    // Another application, then a file of the first: its application is selected first.
    EXPECT_EQ(selects({}, kCardManagerAid, false), commands({"00A4040C08A000000151000000"}));
    EXPECT_EQ(selects({0x44, 0x01}, kPkcs15Aid, false),
              commands({"00A4040C0CA000000063504B43532D3135", "00A4020C024401"}));
    // Not found where the card should be: the application once more and the path again.
    card->answerStatus({0xA4, 0x02, 0x0C}, 0x6A82, 1);
    EXPECT_EQ(selects({0x44, 0x02}, kPkcs15Aid, false),
              commands({"00A4020C024402", "00A4040C0CA000000063504B43532D3135", "00A4020C024402"}));
    card->answerStatus({0xA4, 0x02, 0x0C}, 0x6A82, 2);
    EXPECT_EQ(selects({0x44, 0x03}, kPkcs15Aid, false, -1505),
              commands({"00A4020C024403", "00A4040C0CA000000063504B43532D3135", "00A4020C024403"}));
    // Whole file identifiers only.
    EXPECT_EQ(selects({0x44}, {}, false, -1501), commands({}));
    EXPECT_EQ(selects({0x44, 0x01, 0x02}, kPkcs15Aid, false, -1501), commands({}));
    Bytes out;
    EXPECT_EQ(session->read(out, kPkcs15Aid, {0x44}, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}),
              -1501);
}

TEST_F(SessionTest, UpdateGoesOutInChunksOfTheStoredSize) {
    setSettings("Virtual PCD 00=255\n");
    auto session = open();
    EXPECT_EQ(reader().maxApduSize, 255);
    EXPECT_TRUE(reader().apduSizeFixed);
    const Bytes data = pattern(600, 7);
    Bytes copy = data;
    size_t mark = logMark();
    ASSERT_EQ(session->update(copy, sessionAid(), kScratch, 0, false, true), 0);
    const auto sent = sentSince(mark);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0], "00A4040C" + gctest::hex(Bytes{static_cast<unsigned char>(sessionAid().size())}) +
                           gctest::hex(sessionAid()));
    EXPECT_EQ(sent[1], "00A40200024F0000");
    // 255 less 10 for the header: 245, 245 and the 110 left, at 0, 245 and 490.
    EXPECT_EQ(sent[2], "00D60000F5" + gctest::hex(Bytes(data.begin(), data.begin() + 245)));
    EXPECT_EQ(sent[3], "00D600F5F5" + gctest::hex(Bytes(data.begin() + 245, data.begin() + 490)));
    EXPECT_EQ(sent[4], "00D601EA6E" + gctest::hex(Bytes(data.begin() + 490, data.end())));
    const Bytes written = appFile(kScratch);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 600), data);
    EXPECT_EQ(reader().maxApduSize, 255) << "a stored size is not learned further";

    // Past the end of the file: refused before anything is written; nothing to write: nothing sent.
    mark = logMark();
    Bytes tooLong(10, 0xEE);
    EXPECT_EQ(session->update(tooLong, sessionAid(), kScratch, 4090, false, true), -1504);
    Bytes empty;
    EXPECT_EQ(session->update(empty, sessionAid(), kScratch, 0, false, true), 0);
    EXPECT_TRUE(sentSince(mark).empty());
    EXPECT_EQ(settings(), "Virtual PCD 00=255\n");
}

TEST_F(SessionTest, CreateTakesTheReaderSizeFromTheSettings) {
    struct Case {
        const char* stored;  // "" for nothing
        long long reported;  // the reader's own size, fixed, when nothing is stored (0: none)
        long long size;
        bool extended;
        bool fixed;
        const char* storedAfter;
    } cases[] = {
        {"E", 0, 255, true, false, "E"},
        {"E:300", 0, 300, true, true, "E:300"},
        {"300", 0, 300, true, true, "300"},
        {"150", 0, 150, false, true, "150"},
        {"0", 0, 200, false, false, "0"},
        {"100000", 0, 200, false, false, "100000"},
        {"", 1000, 1000, true, true, "E:1000"},
        {"", 65535, 65535, true, true, ""},  // too large to store, not too large to use
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        setSettings(*c.stored ? std::string("Virtual PCD 00=") + c.stored + "\n" : "");
        reader().maxApduSize = c.reported != 0 ? c.reported : 200;
        reader().extendedApdu = c.reported > 255;
        reader().apduSizeFixed = c.reported != 0;
        auto session = open();
        EXPECT_EQ(reader().maxApduSize, c.size);
        EXPECT_EQ(reader().extendedApdu, c.extended);
        EXPECT_EQ(reader().apduSizeFixed, c.fixed);
        EXPECT_EQ(settings(), *c.storedAfter ? std::string("Virtual PCD 00=") + c.storedAfter + "\n" : "");
        reader().apduSizeFixed = false;
    }
}

TEST_F(SessionTest, LearningAndShrinkingOfTheApduSize) {
    auto session = open();
    ASSERT_EQ(session->select(kScratch, nullptr, sessionAid(), false), 0);
    // A command as long as the size: one step more.
    reader().maxApduSize = 200;
    Bytes update{0x00, 0xD6, 0x00, 0x00, 195};
    update.resize(200, 0x5A);
    Bytes response;
    ASSERT_EQ(session->sendApdu(update, response, 0, true), 0);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    EXPECT_EQ(reader().maxApduSize, 401);
    // Longer than the size on a reader without extended length: refused before the card sees it.
    reader().maxApduSize = 150;
    size_t mark = logMark();
    response.clear();
    EXPECT_EQ(session->sendApdu(update, response, 0, true), -1913);
    EXPECT_TRUE(sentSince(mark).empty());
    EXPECT_TRUE(response.empty());

    // A failed transfer lowers a learning size once and fixes it.
    EXPECT_EQ(session->failedApduSize(), -1100) << "below 200";
    reader().maxApduSize = 457;
    EXPECT_EQ(session->failedApduSize(), 0);
    EXPECT_EQ(reader().maxApduSize, 256);
    EXPECT_TRUE(reader().apduSizeFixed);
    EXPECT_EQ(GC_Settings::getReaderMaxAPDUSize(name.c_str()), 256);
    EXPECT_EQ(session->failedApduSize(), -1100) << "fixed";
    EXPECT_EQ(reader().maxApduSize, 256);
    for (auto [before, after] : {std::pair{456LL, 200LL}, std::pair{201LL, 200LL}, std::pair{200LL, 200LL}}) {
        reader().apduSizeFixed = false;
        reader().maxApduSize = before;
        EXPECT_EQ(session->failedApduSize(), 0);
        EXPECT_EQ(reader().maxApduSize, after);
    }
    EXPECT_EQ(GC_Settings::getReaderMaxAPDUSize(name.c_str()), 256) << "the first stored value stays";
}

// Only a length the card refused (67 00) lowers the reader's size and sends the chunk again; any
// other refusal is the card's answer to the command: passed on, sent once, nothing stored.
TEST_F(SessionTest, OnlyAWrongLengthLowersTheSize) {
    const Bytes data = fillScratch();
    auto session = open();
    card->answerStatus({.ins = 0xD6}, 0x6581);  // memory failure
    size_t mark = logMark();
    Bytes piece = pattern(600, 3);
    EXPECT_EQ(session->update(piece, sessionAid(), kScratch, 0, false, true), -1100);
    EXPECT_EQ(countPrefix(receivedSince(*card, mark), "00D6"), 1u);
    EXPECT_EQ(settings(), "");
    EXPECT_FALSE(reader().apduSizeFixed);

    card->setMaxReadSize(200);
    reader().maxApduSize = 300;
    mark = logMark();
    Bytes out;
    EXPECT_EQ(session->read(out, sessionAid(), kScratch, 0, 600, nullptr, false, true, GC_Controller::READ_SELECT, {}),
              0);
    EXPECT_EQ(out, Bytes(data.begin(), data.begin() + 600));
    EXPECT_EQ(countPrefix(receivedSince(*card, mark), "00B0"), 4u) << "refused, then 200 bytes three times";
    EXPECT_EQ(settings(), "Virtual PCD 00=200\n");
}

// An answer longer than the size on a reader not known to take extended length: the mark is
// stored and the size grows to hold the answer.
TEST_F(SessionTest, ALongAnswerMarksTheReaderExtended) {
    plug(plainCard(cardsim::Personality::Varnel2));
    auto session = open();
    Bytes response;
    ASSERT_EQ(session->sendApdu({0x00, 0xA4, 0x08, 0x0C, 0x08, 0x50, 0x15, 0xAD, 0xF1, 0xDF, 0x01, 0x50, 0x81},
                                response, 0, true),
              0);
    reader().maxApduSize = 300;
    reader().extendedApdu = false;
    response.clear();
    ASSERT_EQ(session->sendApdu({0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x34}, response, 308, true), 0);
    EXPECT_EQ(response.size(), 310u);
    EXPECT_TRUE(reader().extendedApdu);
    EXPECT_EQ(settings(), "Virtual PCD 00=E\n");
    EXPECT_EQ(reader().maxApduSize, 401);  // two steps of 201, less one
    EXPECT_FALSE(reader().apduSizeFixed);
}

TEST_F(SessionTest, ChainsAreJoinedAndAnEndlessChainEnds) {
    const Bytes data = fillScratch();
    auto session = open();
    ASSERT_EQ(session->select(kScratch, nullptr, sessionAid(), false), 0);
    card->setChainAbove(100);
    size_t mark = logMark();
    Bytes response;
    ASSERT_EQ(session->sendApdu({0x00, 0xB0, 0x00, 0x10, 0xFF}, response, 0xFF, true), 0);
    Bytes expected(data.begin() + 0x10, data.begin() + 0x10 + 255);
    expected.insert(expected.end(), {0x90, 0x00});
    EXPECT_EQ(response, expected);
    // 255 bytes asked: 100, then GET RESPONSE for the 155 left (100), then for the last 55.
    EXPECT_EQ(sentSince(mark), commands({"00B00010FF", "00C000009B", "00C0000037"}));
    card->setChainAbove(0);

    card->setEndlessChain(true);
    mark = logMark();
    response.clear();
    EXPECT_EQ(session->sendApdu({0x00, 0xB0, 0x00, 0x00, 0x10}, response, 0x10, true), -1913);
    EXPECT_TRUE(response.empty());
    const auto rounds = sentSince(mark);
    ASSERT_EQ(rounds.size(), 33u) << "the command and 32 GET RESPONSE";
    EXPECT_EQ(rounds.back(), "00C0000001");
    card->setEndlessChain(false);
    EXPECT_EQ(session->select(kScratch, nullptr, sessionAid(), true), 0) << "the session goes on";
}

// 69 88 (secure-messaging objects wrong) is a lost channel to the session: the generic card cannot
// reopen one, nor the second generation without a password (it only ends secure messaging by a
// plain selection of its travel-document application), so the read ends with -1701 and nothing is
// repeated.
TEST_F(SessionTest, ReadAnsweredWithAChannelErrorTriesTheRestoreOnce) {
    auto session = open();
    card->answerStatus({0xB0}, 0x6988, 1);
    const size_t mark = logMark();
    Bytes out{0x01};
    EXPECT_EQ(session->read(out, sessionAid(), kScratch, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}),
              -1701);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(session->retransmitCount(), 0);
    const auto sent = sentSince(mark);
    ASSERT_EQ(sent.size(), slotBackend() ? 3u : 4u) << "application, file, one READ";
    if (!slotBackend()) {
        EXPECT_EQ(sent.back(), "00A4040C07A0000002471001");
    }
    EXPECT_FALSE(reader().apduSizeFixed);
}

// Another client resets the card between two reads: the session notices it at its next lock,
// forgets what was selected and selects it again.
TEST_F(SessionTest, ResetByAnotherClientBetweenReads) {
    const Bytes data = fillScratch();
    auto session = open();
    for (bool reset : {false, true}) {
        if (reset) {
            cardsim::PcscClient other;
            ASSERT_TRUE(other.establish() && other.connect(name) && other.reconnect(true));
        }
        const size_t mark = logMark();
        Bytes out;
        ASSERT_EQ(
            session->read(out, sessionAid(), kScratch, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}), 0);
        EXPECT_EQ(out, data);
        if (reset) {
            EXPECT_EQ(sentSince(mark).at(0).substr(0, 8), "00A4040C") << "the application selected again";
        }
    }
}

}  // namespace
}  // namespace session_test
