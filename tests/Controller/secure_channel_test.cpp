// The secure channel of the card session with the two card generations: PACE with the CAN over
// every standardised domain and AES strength, a wrong CAN, the channel reopened after a reset or
// a refused command, and the card's serial number binding the companion's entries to the card.
#include <cstdlib>
#include <string>
#include <vector>

#include "Queue/hub_companion.h"
#include "Reader/reader.h"
#include "session_fixture.h"
#include "support/hex.h"

namespace session_test {
namespace {

using cardsim::PaceCipher;
using cardsim::Personality;

const Bytes kCertificate2{0xAD, 0xF1, 0xDF, 0x01, 0x57, 0x81};  // second generation, 2048 bytes
const Bytes kTokenInfo{0x50, 0x32};

// What the generations send to select the MF, and EF.CardAccess with its size asked.
struct Generation {
    Personality personality;
    const char* masterFile;
    const char* cardAccess;
};
constexpr Generation kGenerations[] = {
    {Personality::Varnel1, "00A4000C", "00A4020402011C00"},
    {Personality::Varnel2, "00A40000023F00", "00A4020002011C00"},
};

std::string byteHex(int value) {
    return gctest::hex(Bytes{static_cast<unsigned char>(value)});
}

// Every command of a PACE run with the CAN, as the card received it, for one generation and one
// protocol of its EF.CardAccess; the card's answers are the OpenPACE card side's.
void expectPaceRun(const std::vector<Received>& run, const Generation& g, PaceCipher cipher, int id,
                   size_t cardAccessSize) {
    // The MF is the current file since the serial number was read: the run's own selection of it
    // costs nothing, the read of EF.CardAccess selects it again (forced).
    ASSERT_EQ(run.size(), 8u);
    for (const Received& r : run) EXPECT_FALSE(r.secure) << r.command;
    EXPECT_EQ(run[0].command, g.masterFile);
    EXPECT_EQ(run[1].command, g.cardAccess);
    EXPECT_EQ(run[2].command, "00B00000" + byteHex(static_cast<int>(cardAccessSize)));
    EXPECT_EQ(run[3].command, "0022C1A412800A04007F0007020204020" + std::to_string(static_cast<int>(cipher)) +
                                  "830102" + "8401" + byteHex(id));
    // The General Authenticate steps, byte for byte, are PaceIcao's; the card here is OpenPACE's.
    for (size_t i = 3; i < run.size(); ++i) EXPECT_EQ(run[i].response.substr(run[i].response.size() - 4), "9000");
}

// PACE with the CAN on both generations, for every standardised domain (10 to 18) with AES-128,
// -192 and -256: the card sees the run in plain, then every command under secure messaging. Every
// card costs pcscd's polling; by default each domain runs once with the strengths in turn, and
// GC_FULL_PACE_TABLE=1 runs the whole table.
TEST_F(SessionTest, PaceWithTheCanOverEveryDomainAndStrength) {
    if (slotBackend()) GTEST_SKIP() << "the table runs once, over PC/SC";
    const char* full = std::getenv("GC_FULL_PACE_TABLE");
    const bool wholeTable = full != nullptr && std::string(full) == "1";
    const PaceCipher ciphers[] = {PaceCipher::Aes128, PaceCipher::Aes192, PaceCipher::Aes256};
    for (const Generation& g : kGenerations) {
        for (PaceCipher cipher : ciphers) {
            for (int id = 10; id <= 18; ++id) {
                if (!wholeTable && ciphers[id % 3] != cipher) continue;
                SCOPED_TRACE(std::string(cardsim::personalityName(g.personality)) + " cipher " +
                             std::to_string(static_cast<int>(cipher)) + " id " + std::to_string(id));
                plug(varnelCard(g.personality, {cipher, id}));
                auto session = open();
                size_t mark = logMark();
                ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
                EXPECT_EQ(session->channelFlags(), GC_Controller::kChannelUp);
                expectPaceRun(receivedSince(*card, mark), g, cipher, id, card->file({0x01, 0x1C})->size());

                mark = logMark();
                Bytes out;
                ASSERT_EQ(session->read(out, kSignatureAid, kTokenInfo, 0, 0, nullptr, false, true,
                                        GC_Controller::READ_SELECT, {}),
                          0);
                EXPECT_EQ(out, appFile(kTokenInfo));
                const auto after = receivedSince(*card, mark);
                ASSERT_FALSE(after.empty());
                for (const Received& r : after) EXPECT_TRUE(r.secure) << r.command;
            }
        }
    }
}

TEST_F(SessionTest, WrongCanAndWrongLengthLeaveNoChannelAndNoPassword) {
    plug(varnelCard(Personality::Varnel2));
    auto session = open();
    size_t mark = logMark();
    EXPECT_EQ(session->performSecureConnection({'6', '5', '4', '3', '2', '1'}, 2), -1100);
    const auto run = receivedSince(*card, mark);
    ASSERT_EQ(run.size(), 8u);
    EXPECT_EQ(run.back().response, "6982") << "the card refuses the terminal's token";
    EXPECT_EQ(session->channelFlags(), 0u);
    int features = 0;
    ASSERT_EQ(session->readerFeatures(features), 0);
    EXPECT_NE(features & GC_Controller::kFeatureNoPassword, 0) << "the failed CAN is not kept";

    // A CAN of 5 or 7 digits is refused before the card hears anything.
    mark = logMark();
    EXPECT_EQ(session->performSecureConnection({'1', '2', '3', '4', '5'}, 2), -1100);
    EXPECT_EQ(session->performSecureConnection({'1', '2', '3', '4', '5', '6', '7'}, 2), -1100);
    EXPECT_TRUE(receivedSince(*card, mark).empty());

    // The right CAN after them opens the channel.
    EXPECT_EQ(session->performSecureConnection(kCan, 2), 0);
}

// MSE:Set AT answered 63 Cx (the card tells the password's tries, here after a wrong PUK) lets the
// run go on; 63 00 and 69 85 end it before the first General Authenticate.
TEST_F(SessionTest, MseSetAtAnswerDecidesWhetherPaceGoesOn) {
    plug(varnelCard(Personality::Varnel2));
    auto session = open();
    const std::vector<uint8_t> puk{'1', '2', '3', '4', '5', '6', '7', '8'};
    EXPECT_EQ(session->performSecureConnection({'8', '7', '6', '5', '4', '3', '2', '1'}, 4), -1100);
    struct Case {
        const char* what;
        uint16_t forced;  // the card's answer instead of executing MSE:Set AT; 0: its own
        const char* answer;
        int result;
        size_t authenticates;
    };
    const Case cases[] = {
        {.what = "two tries left", .forced = 0, .answer = "63C2", .result = 0, .authenticates = 4},
        {.what = "63 00", .forced = 0x6300, .answer = "6300", .result = -1100, .authenticates = 0},
        {.what = "69 85", .forced = 0x6985, .answer = "6985", .result = -1100, .authenticates = 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.forced != 0) card->answerStatus({.ins = 0x22, .p1 = 0xC1, .p2 = 0xA4}, c.forced);
        const size_t mark = logMark();
        EXPECT_EQ(session->performSecureConnection(puk, 4), c.result);
        const auto run = receivedSince(*card, mark);
        ASSERT_EQ(countPrefix(run, "0022C1A412"), 1u);
        for (const Received& r : run) {
            if (r.command.rfind("0022C1A412", 0) == 0) {
                EXPECT_EQ(r.response, c.answer);
            }
        }
        EXPECT_EQ(countPrefix(run, "10860000") + countPrefix(run, "00860000"), c.authenticates);
        EXPECT_EQ(session->channelFlags(), c.result == 0 ? GC_Controller::kChannelUp : 0u);
    }
}

// The card is reset in the middle of a read (PC/SC): the channel is reopened with the kept CAN
// once and the read goes on to the same data.
TEST_F(SessionTest, ResetMidReadReopensTheChannelWithTheKeptCan) {
    if (slotBackend()) GTEST_SKIP() << "through vpcd a reset is a new card to the slot back-end; see the next test";
    plug(varnelCard(Personality::Varnel2));
    const Bytes expected = card->file({0x50, 0x15, 0xAD, 0xF1, 0xDF, 0x01, 0x57, 0x81}).value();
    auto session = open();
    ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
    const size_t mark = logMark();
    card->resetOnNextCommand(5);  // the application, ADF1, DF01, 5781 and the first READ answered
    Bytes out;
    ASSERT_EQ(
        session->read(out, kSignatureAid, kCertificate2, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}),
        0);
    EXPECT_EQ(out, expected);
    const auto sent = receivedSince(*card, mark);
    EXPECT_EQ(countPrefix(sent, "0022C1A412"), 1u) << "one new PACE";
    EXPECT_EQ(countPrefix(sent, "0022C1A412800A04007F00070202040202830102"), 1u) << "with the CAN";
    EXPECT_EQ(session->retransmitCount(), 0);
    EXPECT_EQ(session->channelFlags(), GC_Controller::kChannelUp);
}

// The slot back-end, with the card in an in-memory slot: the transmission the reset broke fails
// (-6, passed on as it is, with none of the file); the platform then tells the card objects of the
// reset, and the next operation reopens the channel with the kept CAN and reads the same data.
TEST_F(SessionTest, SlotBackEndPassesTheBrokenTransmissionOnAndTheNextReadRecovers) {
    if (!slotBackend()) GTEST_SKIP() << "the slot back-end's case";
    cardsim::CardSim& sim = memoryCard(varnelCard(Personality::Varnel2));
    const Bytes expected = sim.file({0x50, 0x15, 0xAD, 0xF1, 0xDF, 0x01, 0x57, 0x81}).value();
    GC_Controller session;
    ASSERT_EQ(session.create("Memory 0", GC_CardController::CARD_GENERIC, true, nullptr), 0);
    ASSERT_EQ(session.performSecureConnection(kCan, 2), 0);
    sim.resetOnNextCommand(5);
    Bytes out;
    EXPECT_EQ(
        session.read(out, kSignatureAid, kCertificate2, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}),
        -6);
    EXPECT_TRUE(out.empty());
    memorySlots->resetCard("Memory 0");
    const size_t mark = sim.log().size();
    ASSERT_EQ(
        session.read(out, kSignatureAid, kCertificate2, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}), 0);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(countPrefix(receivedSince(sim, mark), "0022C1A412800A04007F00070202040202830102"), 1u);
    EXPECT_EQ(session.retransmitCount(), 0);
}

// A session that never opened the channel itself reopens it with the CAN the companion keeps.
TEST_F(SessionTest, RestoreTakesTheCanFromTheCompanion) {
    plug(varnelCard(Personality::Varnel1));
    Companion link;
    {
        auto first = open();
        ASSERT_EQ(first->performSecureConnection(kCan, 2), 0);
        EXPECT_EQ(link.server.entry(name, "CAN"), kCan) << "the first CAN is stored";
        // A new run over an open channel starts in plain: not one of its commands in the old keys.
        const size_t again = logMark();
        EXPECT_EQ(first->performSecureConnection(kCan, 2), 0);
        const auto rerun = receivedSince(*card, again);
        EXPECT_EQ(rerun.size(), 6u);
        for (const Received& r : rerun) EXPECT_FALSE(r.secure) << r.command;
    }
    auto session = open();
    EXPECT_EQ(link.server.entry(name, "CAN"), kCan) << "the same card keeps its entries";
    const size_t mark = logMark();
    Bytes out;
    ASSERT_EQ(session->read(out, kSignatureAid, kTokenInfo, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}),
              0);
    EXPECT_EQ(out, appFile(kTokenInfo));
    const auto sent = receivedSince(*card, mark);
    EXPECT_EQ(countPrefix(sent, "0022C1A412800A04007F00070202040202830102"), 1u);
    EXPECT_EQ(session->channelFlags(), GC_Controller::kChannelUp);
}

// The retransmit rule with a channel that can be reopened: a command refused twice is repeated
// after two new PACE runs and one lowering of the APDU size, and succeeds the third time.
TEST_F(SessionTest, RefusedTwiceThenAnsweredAfterTwoRestoresAndOneShrink) {
    plug(varnelCard(Personality::Varnel2));
    auto session = open();
    ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
    reader().maxApduSize = 602;
    reader().apduSizeFixed = false;
    const size_t mark = logMark();
    card->answerStatus({0xB0, 0x00, 0x01}, 0x6982, 2);  // READ BINARY at offset 1, and nothing PACE reads
    Bytes out;
    ASSERT_EQ(
        session->read(out, kSignatureAid, kTokenInfo, 1, 10, nullptr, false, true, GC_Controller::READ_SELECT, {}), 0);
    const Bytes file = appFile(kTokenInfo);
    EXPECT_EQ(out, Bytes(file.begin() + 1, file.begin() + 11));
    const auto sent = receivedSince(*card, mark);
    EXPECT_EQ(countPrefix(sent, "0022C1A412"), 2u) << "two restores";
    EXPECT_EQ(countPrefix(sent, "00B000010A"), 3u);
    EXPECT_EQ(reader().maxApduSize, 401) << "one shrink";
    EXPECT_TRUE(reader().apduSizeFixed);
    EXPECT_EQ(session->retransmitCount(), 0);
}

// 69 85 under the channel (its SW2 is a tag byte) is the card's verdict, -1701: on a reader whose
// size is settled the read is repeated once on a reopened channel and ends with it. The checksum
// of such an answer is still checked.
TEST_F(SessionTest, ConditionsOfUseNotSatisfiedUnderTheChannel) {
    for (const Generation& g : kGenerations) {
        SCOPED_TRACE(cardsim::personalityName(g.personality));
        plug(varnelCard(g.personality));
        auto session = open();
        ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
        reader().apduSizeFixed = true;
        size_t mark = logMark();
        card->answerStatus({0xB0, 0x00, 0x01}, 0x6985, 2);  // READ BINARY at offset 1, and nothing PACE reads
        Bytes out;
        EXPECT_EQ(
            session->read(out, kSignatureAid, kTokenInfo, 1, 10, nullptr, false, true, GC_Controller::READ_SELECT, {}),
            -1701);
        auto sent = receivedSince(*card, mark);
        EXPECT_EQ(countPrefix(sent, "0022C1A412"), 1u) << "one restore";
        EXPECT_EQ(countPrefix(sent, "00B000010A"), 2u) << "one repeat";
        EXPECT_EQ(session->retransmitCount(), 0);

        ASSERT_EQ(session->select(kTokenInfo, nullptr, kSignatureAid, false), 0);
        card->answerStatus({0xB0, 0x00, 0x01}, 0x6985, 1);
        card->flipResponseByte();  // the checksum's last byte
        mark = logMark();
        EXPECT_EQ(
            session->read(out, kSignatureAid, kTokenInfo, 1, 10, nullptr, false, false, GC_Controller::READ_SELECT, {}),
            -3009);
        sent = receivedSince(*card, mark);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].response, "6985");
    }
}

// The MF selection of PACE answered 69 88 every time, while a CAN is kept: each answer starts a
// restore, which runs PACE again with the kept CAN, and the retransmit rule bounds the nesting.
TEST_F(SessionTest, MasterFileRefusedDuringPaceStaysBounded) {
    plug(varnelCard(Personality::Varnel2));
    auto session = open();
    ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
    reader().maxApduSize = 602;
    reader().apduSizeFixed = false;
    const size_t mark = logMark();
    card->answerStatus({0xA4, 0x00, 0x00}, 0x6988, 1000);
    EXPECT_EQ(session->performSecureConnection(kCan, 2), -1100);
    const auto sent = receivedSince(*card, mark);
    EXPECT_EQ(countPrefix(sent, "00A40000023F00"), 3u) << "the run, a restore, and one more after the shrink";
    EXPECT_EQ(session->retransmitCount(), 0);
    EXPECT_EQ(session->channelFlags(), 0u);
    EXPECT_TRUE(reader().apduSizeFixed);
}

// The serial number is read as soon as the card has its controller, before anything else, and
// binds the companion's entries of the reader to ATR and serial: the same card keeps them,
// another card clears them.
TEST_F(SessionTest, SerialNumberBindsTheCompanionEntriesToTheCard) {
    Companion link;
    cardsim::CardConfig config = varnelCard(Personality::Varnel2);
    plug(config);
    size_t mark = logMark();
    auto session = open();
    const auto opening = receivedSince(*card, mark);
    ASSERT_EQ(opening.size(), 2u);
    EXPECT_EQ(opening[0].command, "00A40000023F00");
    EXPECT_EQ(opening[1].command, "00CB7FFF08");
    Bytes id = card->atr();
    const Bytes serial = card->serialNumber();
    id.insert(id.end(), serial.begin(), serial.end());
    EXPECT_EQ(link.server.entry(name, "CARDID"), id);
    Bytes serialRead = session->getSerialNumber();
    EXPECT_EQ(serialRead, serial);

    link.server.preseed(name, "CAN", kCan);
    session = open();
    EXPECT_EQ(link.server.entry(name, "CAN"), kCan) << "the same card";

    config.serial = {0xC2, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
    plug(config);
    session = open();
    EXPECT_FALSE(link.server.entry(name, "CAN")) << "another serial";

    // A card that gives no serial cannot be told apart: its entries go and no id is kept.
    link.server.preseed(name, "CAN", kCan);
    card->answerStatus({0xCB}, 0x6A88);
    session = open();
    EXPECT_FALSE(link.server.entry(name, "CAN")) << "no serial";
    EXPECT_FALSE(link.server.entry(name, "CARDID"));
}

// Closing the channel is a plain selection of the generation's application: on the first
// generation that application is absent by default, so its SELECT fails, the card manager is
// selected and the application tried once more, whose failure is the result; when it is there,
// one SELECT closes the channel. Chip authentication is not offered on the first generation and
// costs nothing on the second.
TEST_F(SessionTest, ClosingTheChannelAndChipAuthenticationPerGeneration) {
    const std::string select40 = "00A4040C0AA0000001674553494740";
    for (bool present : {false, true}) {
        SCOPED_TRACE(present ? "destroy application present" : "absent");
        cardsim::CardConfig config = varnelCard(Personality::Varnel1);
        config.destroyAidPresent = present;
        plug(config);
        auto session = open();
        ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
        const size_t mark = logMark();
        EXPECT_EQ(session->destroySecureConnection(), present ? 0 : -1505);
        const auto sent = receivedSince(*card, mark);
        std::vector<std::string> commands;
        for (const Received& r : sent) commands.push_back(r.command);
        if (present) {
            EXPECT_EQ(commands, std::vector<std::string>{select40});
        } else {
            EXPECT_EQ(commands, (std::vector<std::string>{select40, "00A4040C08A000000151000000", select40}));
        }
        EXPECT_FALSE(card->secureMessagingActive());
        EXPECT_EQ(session->channelFlags(), 0u);
        EXPECT_EQ(session->performChipAuthentication(), -1100);
        EXPECT_EQ(session->channelFlags() & GC_Controller::kChipAuthenticated, 0u);
    }
    plug(varnelCard(Personality::Varnel2));
    auto session = open();
    ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
    const size_t mark = logMark();
    EXPECT_EQ(session->performChipAuthentication(), 0);
    EXPECT_TRUE(receivedSince(*card, mark).empty());
    EXPECT_NE(session->channelFlags() & GC_Controller::kChipAuthenticated, 0u);
    EXPECT_EQ(session->destroySecureConnection(), 0);
    EXPECT_EQ(receivedSince(*card, mark).back().command, "00A4040C07A0000002471001");
}

// The extended read takes exactly the TLV at an offset, length after the whole tag: a long form
// of up to three length bytes, never past the end of the file, and -1506 with nothing when the
// file has no such TLV there.
TEST_F(SessionTest, ExtendedReadTakesOneWholeTlv) {
    plug(plainCard(Personality::Varnel2));
    auto session = open();
    Bytes file(600, 0x5A);
    const Bytes heads[] = {{0x30, 0x82, 0x01, 0xF4}, {0x7F, 0x49, 0x81, 0x05}, {0x04, 0x03}};
    std::copy(heads[0].begin(), heads[0].end(), file.begin());        // 30: 4 + 500 bytes at 0
    std::copy(heads[1].begin(), heads[1].end(), file.begin() + 504);  // 7F49: 4 + 5 bytes at 504
    std::copy(heads[2].begin(), heads[2].end(), file.begin() + 513);  // 04: 2 + 3 bytes at 513
    const Bytes tooLong{0x30, 0x84, 0x00, 0x00, 0x00, 0x10};          // four length bytes
    std::copy(tooLong.begin(), tooLong.end(), file.begin() + 520);
    const Bytes beyond{0x30, 0x82, 0x10, 0x00};  // longer than the file
    std::copy(beyond.begin(), beyond.end(), file.begin() + 530);
    Bytes copy = file;
    ASSERT_EQ(session->update(copy, kSignatureAid, kScratch, 0, false, true), 0);
    struct Case {
        unsigned long offset;
        Bytes tag;
        int result;
        size_t length;
    } cases[] = {
        {0, {0x30}, 0, 504},   {504, {0x7F, 0x49}, 0, 9}, {513, {0x04}, 0, 5},
        {0, {0x31}, -1506, 0}, {520, {0x30}, -1506, 0},   {530, {0x30}, -1506, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        Bytes out{0xEE};
        EXPECT_EQ(session->read(out, kSignatureAid, kScratch, c.offset, 0, nullptr, false, true,
                                GC_Controller::READ_EXTENDED, c.tag),
                  c.result);
        EXPECT_EQ(out, c.result == 0 ? Bytes(file.begin() + c.offset, file.begin() + c.offset + c.length) : Bytes{});
    }

    // 1A DF names the travel-document application: selected by its AID, which is then the
    // current one, so that neither name selects it again.
    const Bytes lds{0xA0, 0x00, 0x00, 0x02, 0x47, 0x10, 0x01};
    const Bytes com{0x01, 0x1E};
    bool first = true;
    for (const Bytes& aid : {Bytes{0x1A, 0xDF}, lds, Bytes{0x1A, 0xDF}}) {
        SCOPED_TRACE(gctest::hex(aid));
        const size_t mark = logMark();
        Bytes out;
        ASSERT_EQ(session->read(out, aid, com, 0, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}), 0);
        EXPECT_EQ(out, card->file({0x1A, 0xDF, 0x01, 0x1E}).value());
        EXPECT_EQ(countPrefix(receivedSince(*card, mark), "00A4040C07" + gctest::hex(lds)), first ? 1u : 0u);
        first = false;
    }
}

}  // namespace
}  // namespace session_test
