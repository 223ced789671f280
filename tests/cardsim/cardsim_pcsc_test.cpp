// The simulated card through a real pcscd and the vpcd reader, with independent clients
// (libpcsclite, the OpenPACE test terminal). One private pcscd serves the
// whole program; cards come and go in its two slots.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cardsim.h"
#include "cardsim_pcscd.h"
#include "pcsc_client.h"
#include "terminal.h"
#include "test_util.h"
#include "vpcd_card.h"

using namespace cardsim;
using namespace std::chrono_literals;

namespace {

Pcscd* gPcscd = nullptr;

class PcscdEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(pcscd_.start(&error)) << error;
        gPcscd = &pcscd_;
    }
    void TearDown() override {
        gPcscd = nullptr;
        pcscd_.stop();
    }

private:
    Pcscd pcscd_;
};

const Bytes kSignatureAid = {0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x4E};
const Bytes kPkcs15Aid = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};

Transport transportOf(PcscClient& client) {
    return [&client](const Bytes& command) { return client.transmit(command); };
}

// A cardsim-vpcd process in a slot, waited for until PC/SC sees it.
class SlotCard {
public:
    SlotCard(int slot, std::vector<std::string> args) : slot_(slot) {
        args.push_back("--port");
        args.push_back(std::to_string(gPcscd->port(slot)));
        std::string error;
        EXPECT_TRUE(process_.start(args, &error)) << error;
        PcscClient watcher;
        present_ = watcher.waitCard(gPcscd->readerName(slot), true, 5s);
        EXPECT_TRUE(present_) << process_.output();
    }
    ~SlotCard() {
        process_.stop();
        PcscClient watcher;
        EXPECT_TRUE(watcher.waitCard(gPcscd->readerName(slot_), false, 5s));
    }
    bool present() const { return present_; }
    CardProcess& process() { return process_; }

private:
    int slot_;
    CardProcess process_;
    bool present_ = false;
};

}  // namespace

TEST(CardSimPcsc, EachPersonalitysAtrAndMfSelection) {
    for (Personality p : {Personality::Varnel1, Personality::Varnel2, Personality::Generic}) {
        SCOPED_TRACE(personalityName(p));
        SlotCard card(1, {"--personality", personalityName(p)});
        ASSERT_TRUE(card.present());
        PcscClient client;
        ASSERT_TRUE(client.connect(gPcscd->readerName(1)));
        EXPECT_EQ(client.atr(), defaultAtr(p));
        const auto answer = client.transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00});
        ASSERT_TRUE(answer);
        EXPECT_EQ(*answer, (Bytes{0x90, 0x00}));
        client.disconnect();
    }
}

TEST(CardSimPcsc, PaceWithTheCanThroughPcscdOnEachPersonality) {
    struct Case {
        Personality personality;
        Bytes aid;
        Bytes path;
        Bytes fullPath;
    };
    const Case cases[] = {
        {Personality::Varnel2,
         kSignatureAid,
         {0xAD, 0xFC, 0xDF, 0x0C, 0x50, 0x83},
         {0x50, 0x15, 0xAD, 0xFC, 0xDF, 0x0C, 0x50, 0x83}},
        {Personality::Varnel1, kSignatureAid, {0x50, 0x32}, {0x50, 0x15, 0x50, 0x32}},
        {Personality::Generic, kPkcs15Aid, {0x44, 0x04}, {0x50, 0x15, 0x44, 0x04}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(personalityName(c.personality));
        // the first generation through the program's flag for the other wrong-CAN answer
        const bool sw6300 = c.personality == Personality::Varnel1;
        std::vector<std::string> args{"--personality", personalityName(c.personality), "--can", "314159"};
        if (sw6300) args.push_back("--wrong-can-6300");
        SlotCard card(0, args);
        ASSERT_TRUE(card.present());
        CardConfig referenceConfig;
        referenceConfig.personality = c.personality;
        const CardSim reference(referenceConfig);  // the same personalisation, for the comparison

        PcscClient client;
        ASSERT_TRUE(client.connect(gPcscd->readerName(0))) << client.lastError();
        EXPECT_EQ(client.atr(), defaultAtr(c.personality));
        PaceTerminal terminal(transportOf(client));
        EXPECT_EQ(terminal.establish("271828", 2),
                  sw6300 ? PaceTerminal::Result::WrongPassword : PaceTerminal::Result::Refused);
        EXPECT_EQ(terminal.lastStatus(), sw6300 ? 0x6300 : 0x6982);
        ASSERT_EQ(terminal.establish("314159", 2), PaceTerminal::Result::Ok);
        const auto cardAccess = terminal.readFile({}, {0x01, 0x1C});
        ASSERT_TRUE(cardAccess);
        EXPECT_EQ(*cardAccess, reference.file({0x01, 0x1C}));
        const auto file = terminal.readFile(c.aid, c.path, 255);  // long protected answers: 61 xx
        ASSERT_TRUE(file);
        EXPECT_EQ(*file, reference.file(c.fullPath));
        EXPECT_TRUE(terminal.channelOpen());
        // SCardReconnect with a reset: the card drops the channel
        ASSERT_TRUE(client.reconnect(true));
        const auto afterReset = terminal.secure(0x00, 0xA4, 0x00, 0x0C, {0x3F, 0x00}, std::nullopt);
        ASSERT_TRUE(afterReset);
        EXPECT_EQ(afterReset->sw, 0x6988);
    }
}

TEST(CardSimPcsc, SignaturesThroughPcscdVerifyWithOpenssl) {
    struct Case {
        const char* name;
        Personality personality;
        Bytes keyDir;
        Bytes certPath;
        uint8_t pinRef;
        std::string pin;
        uint8_t mseP1;
        Bytes mse;
        const char* hash;
        bool digestInfo;
        bool plainEcdsa;
    };
    const Case cases[] = {
        {"Varnel 1.0 P-256",
         Personality::Varnel1,
         {0xDF, 0x0A},
         {0x57, 0x81},
         0x8A,
         "111111",
         0x41,
         *fromHex("8001CC84018A"),
         "sha256",
         false,
         false},
        {"Varnel 1.0 P-521",
         Personality::Varnel1,
         {0xDF, 0x08},
         {0x57, 0x88},
         0x88,
         "222222",
         0x41,
         *fromHex("8001CC840188"),
         "sha512",
         false,
         false},
        {"Varnel 1.0 RSA-2048",
         Personality::Varnel1,
         {0xDF, 0x0C},
         {0x57, 0x83},
         0x8C,
         "333333",
         0x41,
         *fromHex("80018A84018C"),
         "sha256",
         true,
         false},
        {"Varnel 2.0 brainpoolP256r1",
         Personality::Varnel2,
         {0xAD, 0xF1, 0xDF, 0x01},
         {0xAD, 0xF1, 0xDF, 0x01, 0x57, 0x81},
         0x01,
         "111111",
         0x81,
         *fromHex("91022101"),
         "sha256",
         false,
         true},
        {"Varnel 2.0 P-384",
         Personality::Varnel2,
         {0xAD, 0xF2, 0xDF, 0x02},
         {0xAD, 0xF2, 0xDF, 0x02, 0x57, 0x82},
         0x02,
         "222222",
         0x81,
         *fromHex("91022202"),
         "sha384",
         false,
         true},
        {"Varnel 2.0 RSA-2048",
         Personality::Varnel2,
         {0xAD, 0xFC, 0xDF, 0x0C},
         {0xAD, 0xFC, 0xDF, 0x0C, 0x57, 0x83},
         0x0C,
         "333333",
         0x81,
         *fromHex("91022893"),
         "sha256",
         false,
         false},
    };
    const Bytes message = {'p', 'c', 's', 'c', 'd', ' ', 's', 'i', 'g', 'n', 'a', 't', 'u', 'r', 'e'};
    std::optional<Personality> inserted;
    std::unique_ptr<SlotCard> card;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (inserted != c.personality) {
            card.reset();
            card = std::make_unique<SlotCard>(
                0, std::vector<std::string>{"--personality", personalityName(c.personality)});
            ASSERT_TRUE(card->present());
            inserted = c.personality;
        }
        PcscClient client;
        ASSERT_TRUE(client.connect(gPcscd->readerName(0)));
        PaceTerminal terminal(transportOf(client));
        ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
        const auto certificate = terminal.readFile(kSignatureAid, c.certPath);
        ASSERT_TRUE(certificate);
        ASSERT_EQ(terminal.exchange(0xA4, 0x04, 0x0C, kSignatureAid, std::nullopt)->sw, 0x9000);
        for (size_t i = 0; i < c.keyDir.size(); i += 2)
            ASSERT_EQ(terminal.exchange(0xA4, 0x01, 0x0C, {c.keyDir[i], c.keyDir[i + 1]}, std::nullopt)->sw, 0x9000);
        ASSERT_EQ(terminal.exchange(0x22, c.mseP1, 0xB6, c.mse, std::nullopt)->sw, 0x9000);

        const EVP_MD* md = EVP_get_digestbyname(c.hash);
        Bytes input(EVP_MAX_MD_SIZE);
        unsigned int length = 0;
        ASSERT_TRUE(EVP_Digest(message.data(), message.size(), input.data(), &length, md, nullptr));
        input.resize(length);
        if (c.digestInfo) {  // SHA-256 DigestInfo prefix (RFC 8017)
            Bytes info = *fromHex("3031300d060960864801650304020105000420");
            info.insert(info.end(), input.begin(), input.end());
            input = info;
        }
        auto r = terminal.exchange(0x2A, 0x9E, 0x9A, input, 0);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->sw, 0x6982);  // no VERIFY yet
        ASSERT_EQ(terminal.exchange(0x20, 0x00, c.pinRef, Bytes(c.pin.begin(), c.pin.end()), std::nullopt)->sw, 0x9000);
        r = terminal.exchange(0x2A, 0x9E, 0x9A, input, 0);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->sw, 0x9000);
        const Bytes signature = c.plainEcdsa ? test::ecdsaDer(r->data) : r->data;
        std::string output;
        EXPECT_TRUE(test::opensslVerifies(*certificate, c.hash, message, signature, &output)) << output;
    }
}

TEST(CardSimPcsc, FaultHooksTakeEffectThroughPcscd) {
    CardConfig config;
    config.personality = Personality::Generic;
    CardSim card(config);
    VpcdCard slot(card, gPcscd->port(1));
    ASSERT_TRUE(slot.start());
    PcscClient client;
    ASSERT_TRUE(client.waitCard(gPcscd->readerName(1), true, 5s));
    ASSERT_TRUE(client.connect(gPcscd->readerName(1)));
    EXPECT_TRUE(slot.inserted());
    const Bytes cardAccess = *card.file({0x01, 0x1C});
    // hex of the answer, "none" when PC/SC reports a failure or an empty answer
    auto tx = [&](const std::string& hex) -> std::string {
        const auto r = client.transmit(*fromHex(hex));
        return r && !r->empty() ? toHex(*r) : std::string("none");
    };

    ASSERT_EQ(tx("00A4020C02011C"), "9000");
    card.flipResponseByte(0);
    Bytes flipped = cardAccess;
    flipped[0] ^= 0xFF;
    EXPECT_EQ(tx("00B0000000"), toHex(flipped) + "6282");
    card.truncateResponse(1);
    EXPECT_EQ(tx("00B0000000"), toHex({cardAccess[0]}));
    card.answerStatus({0xB0, 0x00, 0x00}, 0x6581);
    EXPECT_EQ(tx("00B0000000"), "6581");
    card.setMaxCommandSize(8);
    EXPECT_EQ(tx("00A4040C07A0000002471001"), "6700");
    card.setMaxCommandSize(0);

    // the card resets in the middle of an exchange: no answer, then the card comes back
    card.resetOnNextCommand();
    EXPECT_EQ(tx("00B0000000"), "none");
    ASSERT_TRUE(client.waitCard(gPcscd->readerName(1), true, 5s));
    std::string answer = "none";
    for (int i = 0; i < 50 && answer == "none"; ++i) {
        if (client.connect(gPcscd->readerName(1))) answer = tx("00B0000000");
        if (answer == "none") std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(answer, "6986");  // the selection went with the reset

    // pulled out: gone until put back
    card.removeOnNextCommand();
    EXPECT_EQ(tx("00A4000C"), "none");
    EXPECT_TRUE(client.waitCard(gPcscd->readerName(1), false, 5s));
    EXPECT_FALSE(slot.inserted());
    slot.insert();
    ASSERT_TRUE(client.waitCard(gPcscd->readerName(1), true, 5s));
    ASSERT_TRUE(client.connect(gPcscd->readerName(1)));
    EXPECT_EQ(tx("00A4000C"), "9000");
    slot.remove();
    EXPECT_TRUE(client.waitCard(gPcscd->readerName(1), false, 5s));

    // never an empty frame: the two faults without an answer closed the connection instead
    EXPECT_EQ(slot.emptyAnswersWithheld(), 2u);
    EXPECT_GE(slot.smallestFrameSent(), 1u);
    EXPECT_GT(slot.framesSent(), 10u);
    // the command log saw pcscd power the card and the commands in order
    bool powerOn = false;
    for (const LogEntry& e : card.log()) powerOn |= e.kind == LogEntry::Kind::PowerOn;
    EXPECT_TRUE(powerOn);
    slot.stop();
}

TEST(CardSimPcsc, TwoCardsAndProgramFlags) {
    test::TempDir dir;
    SlotCard first(0, {"--personality", "varnel2", "--can", "111222", "--pin", "01=654321", "--pace", "aes256:15",
                       "--log", dir.file("log")});
    CardConfig config;
    config.personality = Personality::Varnel1;
    CardSim second(config);
    VpcdCard slot(second, gPcscd->port(1));
    ASSERT_TRUE(slot.start());
    PcscClient client;
    ASSERT_TRUE(client.waitCard(gPcscd->readerName(1), true, 5s));
    const auto readers = client.readers();
    EXPECT_EQ(readers.size(), 2u);

    PcscClient a, b;
    ASSERT_TRUE(a.connect(gPcscd->readerName(0)));
    ASSERT_TRUE(b.connect(gPcscd->readerName(1)));
    EXPECT_EQ(a.atr(), defaultAtr(Personality::Varnel2));
    EXPECT_EQ(b.atr(), defaultAtr(Personality::Varnel1));
    PaceTerminal ta(transportOf(a)), tb(transportOf(b));
    ASSERT_EQ(ta.establish("111222", 2), PaceTerminal::Result::Ok);
    ASSERT_EQ(tb.establish("123456", 2), PaceTerminal::Result::Ok);
    const auto cardAccess = ta.readFile({}, {0x01, 0x1C});
    ASSERT_TRUE(cardAccess);
    EXPECT_EQ(toHex(*cardAccess),
              "3114301206"
              "0A04007F00070202040204020102020"
              "10F");
    ASSERT_EQ(ta.exchange(0xA4, 0x04, 0x0C, kSignatureAid, std::nullopt)->sw, 0x9000);
    EXPECT_EQ(ta.exchange(0x20, 0x00, 0x01, {'6', '5', '4', '3', '2', '1'}, std::nullopt)->sw, 0x9000);
    EXPECT_EQ(tb.exchange(0xCB, 0x7F, 0xFF, {}, 8)->data, second.serialNumber());
    a.disconnect();
    EXPECT_EQ(first.process().stop(), 0);
    const auto log = test::readFile(dir.file("log"));
    ASSERT_TRUE(log);
    const std::string text(log->begin(), log->end());
    EXPECT_NE(text.find("SM 00200001"), std::string::npos) << text;
    EXPECT_NE(text.find("power on"), std::string::npos);

    std::string output;
    EXPECT_EQ(runProgram({cardProgram(), "--help"}, &output), 0);
    EXPECT_NE(output.find("--personality"), std::string::npos);
    EXPECT_EQ(runProgram({cardProgram(), "--personality", "varnel9"}, &output), 2);
    EXPECT_EQ(runProgram({cardProgram(), "--data", "/nonexistent"}, &output), 1);
    slot.stop();
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::string error;
    if (!enterPrivateNamespaces(&error)) {
        std::fprintf(stderr, "cannot enter private namespaces: %s\n", error.c_str());
        return 1;
    }
    ::testing::AddGlobalTestEnvironment(new PcscdEnvironment);
    return RUN_ALL_TESTS();
}
