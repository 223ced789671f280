// PACE and secure messaging of the card, against the OpenPACE test terminal, in process.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <cstring>

#include "cardsim.h"
#include "terminal.h"
#include "test_util.h"

using namespace cardsim;

namespace {

const Bytes kSignatureAid = {0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x4E};
const Bytes kPkcs15Aid = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};

CardConfig configFor(Personality p, std::vector<PaceInfo> pace = {PaceInfo{}}) {
    CardConfig c;
    c.personality = p;
    c.pace = std::move(pace);
    return c;
}

const char* cipherName(PaceCipher c) {
    switch (c) {
        case PaceCipher::Des3:
            return "3DES";
        case PaceCipher::Aes128:
            return "AES-128";
        case PaceCipher::Aes192:
            return "AES-192";
        case PaceCipher::Aes256:
            return "AES-256";
    }
    return "?";
}

}  // namespace

// Every personality: PACE with the CAN, then EF.CardAccess and a PKCS#15 file with secure messaging.
TEST(CardSimPace, CanOpensTheChannelOnEveryPersonality) {
    struct Case {
        Personality personality;
        Bytes aid;
        Bytes path;      // below the application
        Bytes fullPath;  // from the MF, for the comparison
    };
    const Case cases[] = {
        {Personality::Generic, kPkcs15Aid, {0x50, 0x32}, {0x50, 0x15, 0x50, 0x32}},
        {Personality::Varnel1, kSignatureAid, {0x52, 0x00}, {0x50, 0x15, 0x52, 0x00}},
        {Personality::Varnel2,
         kSignatureAid,
         {0xAD, 0xF1, 0xDF, 0x01, 0x50, 0x81},
         {0x50, 0x15, 0xAD, 0xF1, 0xDF, 0x01, 0x50, 0x81}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(personalityName(c.personality));
        CardSim card(configFor(c.personality));
        PaceTerminal terminal(test::transportTo(card));
        ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
        EXPECT_TRUE(card.secureMessagingActive());
        const auto cardAccess = terminal.readFile({}, {0x01, 0x1C});
        ASSERT_TRUE(cardAccess);
        EXPECT_EQ(*cardAccess, card.file({0x01, 0x1C}));
        const auto file = terminal.readFile(c.aid, c.path);
        ASSERT_TRUE(file);
        EXPECT_EQ(*file, card.file(c.fullPath));
        EXPECT_TRUE(terminal.channelOpen());
        // the log shows the protected commands and what they carried
        bool sawProtectedRead = false;
        for (const LogEntry& e : card.log())
            if (e.secure && e.plainCommand.size() >= 2 && e.plainCommand[1] == 0xB0) {
                sawProtectedRead = true;
                EXPECT_EQ(e.command[0], 0x0C);
                EXPECT_EQ(e.plainCommand[0], 0x00);
            }
        EXPECT_TRUE(sawProtectedRead);
    }
}

TEST(CardSimPace, EveryCipherAndStandardizedCurve) {
    for (PaceCipher cipher : {PaceCipher::Aes128, PaceCipher::Aes192, PaceCipher::Aes256, PaceCipher::Des3}) {
        for (int id = 10; id <= 18; ++id) {
            SCOPED_TRACE(std::string(cipherName(cipher)) + " id " + std::to_string(id));
            CardSim card(configFor(Personality::Varnel2, {PaceInfo{cipher, id}}));
            PaceTerminal terminal(test::transportTo(card));
            ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
            // DO 87 (even INS) and DO 85 (odd INS) both decrypt
            auto serial = terminal.secure(0x00, 0xCB, 0x7F, 0xFF, {}, 8);
            ASSERT_TRUE(serial);
            EXPECT_EQ(serial->sw, 0x9000);
            EXPECT_EQ(serial->data, card.serialNumber());
            auto select = terminal.secure(0x00, 0xA4, 0x02, 0x0C, {0x01, 0x1C}, std::nullopt);
            ASSERT_TRUE(select);
            EXPECT_EQ(select->sw, 0x9000);
            auto read = terminal.secure(0x00, 0xB0, 0x00, 0x00, {}, 0);
            ASSERT_TRUE(read);
            EXPECT_EQ(read->sw, 0x6282);
            EXPECT_EQ(read->data, card.file({0x01, 0x1C}));
        }
    }
}

TEST(CardSimPace, TerminalPicksTheCardsEntry) {
    // Two PACEInfos; the card accepts whichever the terminal names in MSE:Set AT.
    CardSim card(configFor(Personality::Varnel1, {{PaceCipher::Aes128, 12}, {PaceCipher::Aes256, 15}}));
    PaceTerminal terminal(test::transportTo(card));
    EXPECT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    // the same OID with a parameter id the card does not offer is refused
    auto refused = terminal.plain(*fromHex("0022C1A41280 0A 04007F00070202040202 830102 840110"));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->sw, 0x6A80);
}

TEST(CardSimPace, WrongCanFailsAtTheAuthenticationToken) {
    struct Case {
        uint16_t configured;  // 0: the default
        PaceTerminal::Result result;
        uint16_t sw;
    };
    const Case cases[] = {
        {0, PaceTerminal::Result::Refused, 0x6982},
        {0x6300, PaceTerminal::Result::WrongPassword, 0x6300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sw);
        CardConfig config = configFor(Personality::Varnel2);
        if (c.configured) config.wrongCanStatus = c.configured;
        CardSim card(config);
        PaceTerminal terminal(test::transportTo(card));
        EXPECT_EQ(terminal.establish("654321", 2), c.result);
        EXPECT_EQ(terminal.lastStatus(), c.sw);
        EXPECT_FALSE(card.secureMessagingActive());
        // every step before the token was accepted; the token step was the last command
        size_t accepted = 0;
        for (const LogEntry& e : card.log())
            if (e.plainCommand.size() > 1 && (e.plainCommand[1] == 0x86 || e.plainCommand[1] == 0x22) &&
                toHex(e.response).substr(toHex(e.response).size() - 4) == "9000")
                ++accepted;
        EXPECT_EQ(accepted, 4u);  // MSE and three General Authenticate
        EXPECT_EQ(toHex(card.log().back().command).substr(0, 4), "0086");
        // the card is still usable: a right CAN works next
        EXPECT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    }
}

TEST(CardSimPace, PukAsPacePassword) {
    CardSim card(configFor(Personality::Varnel2));
    PaceTerminal terminal(test::transportTo(card));
    EXPECT_EQ(terminal.establish("87654321", 4), PaceTerminal::Result::WrongPassword);
    EXPECT_EQ(terminal.lastStatus(), 0x63C2);
    EXPECT_EQ(card.pin(0x04)->triesLeft, 2);
    // MSE:Set AT now reports the reduced counter, and a right PUK verifies the PUK
    EXPECT_EQ(terminal.establish("12345678", 4), PaceTerminal::Result::Ok);
    EXPECT_TRUE(card.pin(0x04)->verified);
    EXPECT_EQ(card.pin(0x04)->triesLeft, 3);
    bool sawWarning = false;
    for (const LogEntry& e : card.log())
        if (e.plainCommand.size() > 1 && e.plainCommand[1] == 0x22 && toHex(e.response) == "63C2") sawWarning = true;
    EXPECT_TRUE(sawWarning);
    // with the PUK verified, the PIN may be unblocked without data
    for (int i = 0; i < 3; ++i) terminal.secure(0x00, 0x20, 0x00, 0x01, {'9', '9', '9', '9', '9', '9'}, std::nullopt);
    EXPECT_EQ(card.pin(0x01)->triesLeft, 0);
    auto select = terminal.secure(0x00, 0xA4, 0x04, 0x0C, kSignatureAid, std::nullopt);
    ASSERT_TRUE(select);
    auto unblock = terminal.secure(0x00, 0x2C, 0x03, 0x81, {}, std::nullopt);
    ASSERT_TRUE(unblock);
    EXPECT_EQ(unblock->sw, 0x9000);
    EXPECT_EQ(card.pin(0x01)->triesLeft, 3);
}

TEST(CardSimPace, ProtocolViolationsAreRefused) {
    CardSim card(configFor(Personality::Varnel1));
    PaceTerminal terminal(test::transportTo(card));
    auto r = terminal.plain(*fromHex("10860000027C0000"));  // no MSE:Set AT
    EXPECT_EQ(r->sw, 0x6985);
    r = terminal.plain(*fromHex("0022C1A40F800A04007F00070202040209830102"));  // unknown protocol
    EXPECT_EQ(r->sw, 0x6A80);
    r = terminal.plain(*fromHex("0022C1A40F800A04007F00070202040202830103"));  // PIN: not a PACE password here
    EXPECT_EQ(r->sw, 0x6A88);
    r = terminal.plain(*fromHex("0022C1A40F800A04007F00070202040202830102"));
    EXPECT_EQ(r->sw, 0x9000);
    r = terminal.plain(*fromHex("00860000027C0000"));  // the first steps must be chained
    EXPECT_EQ(r->sw, 0x6985);
    r = terminal.plain(*fromHex("10860000027C0000"));  // the run was abandoned
    EXPECT_EQ(r->sw, 0x6985);
    r = terminal.plain(*fromHex("0022C1A40F800A04007F00070202040202830102"));
    r = terminal.plain(*fromHex("10860000047C02810100"));  // wrong object for step 1
    EXPECT_EQ(r->sw, 0x6A80);
}

TEST(CardSimPace, BadMacDropsTheChannel) {
    CardSim card(configFor(Personality::Varnel2));
    PaceTerminal terminal(test::transportTo(card));
    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    // ChipDoc's proprietary class travels protected as 8C: an unknown instruction is refused
    // inside the channel, which stays up
    auto proprietary = terminal.secure(0x80, 0xFE, 0x00, 0x00, {}, std::nullopt);
    ASSERT_TRUE(proprietary);
    EXPECT_EQ(proprietary->sw, 0x6E00);
    EXPECT_TRUE(card.log().back().secure);
    EXPECT_EQ(toHex(card.log().back().command).substr(0, 4), "8CFE");
    EXPECT_TRUE(card.secureMessagingActive());
    auto command = terminal.protect(0x00, 0xA4, 0x00, 0x0C, {0x3F, 0x00}, std::nullopt);
    ASSERT_TRUE(command);
    (*command)[command->size() - 2] ^= 0x01;  // last MAC byte
    auto r = terminal.plain(*command);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->sw, 0x6988);
    EXPECT_TRUE(r->data.empty());
    EXPECT_FALSE(card.secureMessagingActive());
    // a protected command after that finds no channel
    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    command = terminal.protect(0x00, 0xA4, 0x00, 0x0C, {0x3F, 0x00}, std::nullopt);
    command->erase(command->end() - 11, command->end() - 1);  // DO 8E missing
    (*command)[4] = static_cast<uint8_t>(command->size() - 6);
    r = terminal.plain(*command);
    EXPECT_EQ(r->sw, 0x6987);
    EXPECT_FALSE(card.secureMessagingActive());
}

TEST(CardSimPace, PlainCommandsResetAndPowerEndTheChannel) {
    CardSim card(configFor(Personality::Varnel1));
    PaceTerminal terminal(test::transportTo(card));
    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    EXPECT_EQ(terminal.plain(*fromHex("00A4040C0AA000000167455349474E"))->sw, 0x9000);
    EXPECT_FALSE(card.secureMessagingActive());

    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    card.reset();
    EXPECT_FALSE(card.secureMessagingActive());
    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    card.powerOff();
    card.powerOn();
    EXPECT_FALSE(card.secureMessagingActive());
    auto r = terminal.secure(0x00, 0xA4, 0x00, 0x0C, {0x3F, 0x00}, std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->sw, 0x6988);  // answered in plain: the card has no channel
}

TEST(CardSimPace, ProtectedAnswersAreChained) {
    CardSim card(configFor(Personality::Varnel2, {{PaceCipher::Aes256, 18}}));
    PaceTerminal terminal(test::transportTo(card));
    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    const Bytes cio = *card.file({0x50, 0x15, 0xAD, 0xFC, 0xDF, 0x0C, 0x50, 0x83});
    // 255 plain bytes do not fit a short protected answer: 61 xx and GET RESPONSE (plain)
    auto file = terminal.readFile(kSignatureAid, {0xAD, 0xFC, 0xDF, 0x0C, 0x50, 0x83}, 255);
    ASSERT_TRUE(file);
    EXPECT_EQ(*file, cio);
    // one extended read of 1792 bytes: the protected answer is longer than the card sends at once
    auto big = terminal.secure(0x00, 0xB0, 0x00, 0x00, {}, 1792);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->sw, 0x9000);
    EXPECT_EQ(big->data, Bytes(cio.begin(), cio.begin() + 1792));
    size_t getResponses = 0;
    for (const LogEntry& e : card.log())
        if (e.command.size() == 5 && e.command[0] == 0x00 && e.command[1] == 0xC0) ++getResponses;
    EXPECT_GT(getResponses, 1u);
    EXPECT_TRUE(card.secureMessagingActive());
}

TEST(CardSimPace, FaultsUnderSecureMessaging) {
    CardSim card(configFor(Personality::Varnel2));
    PaceTerminal terminal(test::transportTo(card));
    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);

    // a status answered under protection keeps the channel
    card.answerStatus({0xA4, 0x04, -1}, 0x6A82);
    auto r = terminal.secure(0x00, 0xA4, 0x04, 0x0C, kSignatureAid, std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->sw, 0x6A82);
    EXPECT_TRUE(card.secureMessagingActive());

    // an unprotected status ends it
    card.answerStatus({0xA4, 0x04, -1}, 0x6982, 1, true);
    r = terminal.secure(0x00, 0xA4, 0x04, 0x0C, kSignatureAid, std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->sw, 0x6982);
    EXPECT_FALSE(card.secureMessagingActive());
    EXPECT_FALSE(terminal.channelOpen());

    // a flipped MAC byte in the card's answer fails the terminal's check
    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    card.flipResponseByte(-3);
    EXPECT_FALSE(terminal.secure(0x00, 0xA4, 0x00, 0x0C, {0x3F, 0x00}, std::nullopt));

    // a command above the configured size gets a plain 67 00 and ends the channel
    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    card.setMaxCommandSize(30);
    r = terminal.secure(0x00, 0xA4, 0x04, 0x0C, kSignatureAid, std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->sw, 0x6700);
    EXPECT_FALSE(card.secureMessagingActive());
}

// The card's secure messaging rebuilt by hand with OpenSSL (ICAO Doc 9303 Part 11, AES):
// IV = AES(Kenc, SSC), AES-CBC over ISO 9797-1 padding 2, CMAC over SSC || padded data
// cut to 8 bytes; the SSC counts every command and every response.
namespace {

Bytes aes(const Bytes& key, const Bytes& iv, const Bytes& in, bool encrypt) {
    const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_cbc()
                               : key.size() == 24 ? EVP_aes_192_cbc()
                                                  : EVP_aes_256_cbc();
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    Bytes out(in.size() + 16);
    int n = 0, m = 0;
    EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx.get(), out.data() + n, &m);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

Bytes cmac8(const Bytes& key, const Bytes& in) {
    std::unique_ptr<EVP_MAC, decltype(&EVP_MAC_free)> mac(EVP_MAC_fetch(nullptr, "CMAC", nullptr), EVP_MAC_free);
    std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)> ctx(EVP_MAC_CTX_new(mac.get()), EVP_MAC_CTX_free);
    char cipherName[] = "AES-128-CBC";
    if (key.size() == 24) std::strcpy(cipherName, "AES-192-CBC");
    if (key.size() == 32) std::strcpy(cipherName, "AES-256-CBC");
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("cipher", cipherName, 0), OSSL_PARAM_construct_end()};
    Bytes out(16);
    size_t length = 0;
    EXPECT_EQ(EVP_MAC_init(ctx.get(), key.data(), key.size(), params), 1);
    EXPECT_EQ(EVP_MAC_update(ctx.get(), in.data(), in.size()), 1);
    EXPECT_EQ(EVP_MAC_final(ctx.get(), out.data(), &length, out.size()), 1);
    out.resize(8);
    return out;
}

Bytes pad16(Bytes in) {
    in.push_back(0x80);
    while (in.size() % 16) in.push_back(0x00);
    return in;
}

Bytes ssc(uint8_t n) {
    Bytes s(16, 0);
    s[15] = n;
    return s;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(CardSimPace, SecureMessagingMatchesAHandBuiltIcaoComputation) {
    for (PaceCipher cipher : {PaceCipher::Aes128, PaceCipher::Aes256}) {
        CardSim card(configFor(Personality::Varnel2, {{cipher, 12}}));
        PaceTerminal terminal(test::transportTo(card));
        ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
        Bytes kenc, kmac;
        ASSERT_TRUE(terminal.sessionKeys(kenc, kmac));
        ASSERT_EQ(kenc.size(), cipher == PaceCipher::Aes128 ? 16u : 32u);
        const Bytes zeroIv(16, 0);

        // SSC 1: SELECT the signature application, DO 87 + DO 97 + DO 8E
        const Bytes iv1 = aes(kenc, zeroIv, ssc(1), true);
        const Bytes do87 = cat({{0x87, 0x11, 0x01}, aes(kenc, iv1, pad16(kSignatureAid), true)});
        const Bytes do97 = {0x97, 0x01, 0x00};
        const Bytes header = {0x0C, 0xA4, 0x04, 0x0C};
        Bytes mac = cmac8(kmac, cat({ssc(1), pad16(cat({pad16(header), do87, do97}))}));
        Bytes command = cat(
            {header, {static_cast<uint8_t>(do87.size() + do97.size() + 10)}, do87, do97, {0x8E, 0x08}, mac, {0x00}});
        Bytes response = card.transmit(command);
        // SSC 2: the answer 99 02 90 00 8E 08 mac 90 00
        ASSERT_EQ(response.size(), 16u) << toHex(response);
        EXPECT_EQ(Bytes(response.begin(), response.begin() + 6), (Bytes{0x99, 0x02, 0x90, 0x00, 0x8E, 0x08}));
        EXPECT_EQ(Bytes(response.begin() + 6, response.begin() + 14),
                  cmac8(kmac, cat({ssc(2), pad16({0x99, 0x02, 0x90, 0x00})})));

        // SSC 3: GET DATA (odd INS), no command data; SSC 4: DO 85 with the serial number
        const Bytes header3 = {0x0C, 0xCB, 0x7F, 0xFF};
        const Bytes le = {0x97, 0x01, 0x08};
        mac = cmac8(kmac, cat({ssc(3), pad16(cat({pad16(header3), le}))}));
        command = cat({header3, {0x0D}, le, {0x8E, 0x08}, mac, {0x00}});
        response = card.transmit(command);
        ASSERT_EQ(response.size(), 2u + 16 + 4 + 10 + 2) << toHex(response);
        ASSERT_EQ(response[0], 0x85);
        ASSERT_EQ(response[1], 0x10);
        const Bytes cryptogram(response.begin() + 2, response.begin() + 18);
        EXPECT_EQ(Bytes(response.begin() + 24, response.begin() + 32),
                  cmac8(kmac, cat({ssc(4), pad16(Bytes(response.begin(), response.begin() + 22))})));
        const Bytes plain = aes(kenc, aes(kenc, zeroIv, ssc(4), true), cryptogram, false);
        EXPECT_EQ(plain, pad16(card.serialNumber()));
    }
}

TEST(CardSimPace, MalformedPointsAndRandomCommandsNeverBreakTheCard) {
    {
        CardSim card(configFor(Personality::Varnel2));
        PaceTerminal terminal(test::transportTo(card));
        ASSERT_EQ(terminal.plain(*fromHex("0022C1A40F800A04007F00070202040202830102"))->sw, 0x9000);
        ASSERT_EQ(terminal.plain(*fromHex("10860000027C0000"))->sw, 0x9000);
        // a point that is not on the curve
        Bytes bad = {0x7C, 0x43, 0x81, 0x41, 0x04};
        bad.resize(bad.size() + 64, 0x00);
        Bytes command = {0x10, 0x86, 0x00, 0x00, static_cast<uint8_t>(bad.size())};
        command.insert(command.end(), bad.begin(), bad.end());
        command.push_back(0x00);
        EXPECT_EQ(terminal.plain(command)->sw, 0x6A80);
    }
    // Seeded random commands, plain and protected-looking, into every personality.
    uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return static_cast<uint8_t>(state >> 16);
    };
    const uint8_t classes[] = {0x00, 0x0C, 0x10, 0x1C, 0x80};
    const uint8_t instructions[] = {0xA4, 0xB0, 0xD6, 0x20, 0x24, 0x2C, 0x44, 0xDA, 0xCB, 0x22, 0x86, 0x2A, 0xC0};
    for (Personality p : {Personality::Generic, Personality::Varnel1, Personality::Varnel2}) {
        CardSim card(configFor(p));
        PaceTerminal terminal(test::transportTo(card));
        for (int i = 0; i < 400; ++i) {
            if (i % 50 == 0) {
                ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
            }
            Bytes command = {classes[next() % 5], instructions[next() % 13], next(), next()};
            const size_t body = next() % 40;
            for (size_t j = 0; j < body; ++j) command.push_back(next());
            if (next() % 3 == 0 && body > 2) {  // a well-formed length now and then
                command[4] = static_cast<uint8_t>(body - 2);
            }
            const Bytes response = card.transmit(command);
            ASSERT_GE(response.size(), 2u) << toHex(command);
        }
        // protected commands with random data objects
        ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
        for (int i = 0; i < 100; ++i) {
            auto protectedCommand =
                terminal.protect(0x00, instructions[next() % 13], next(), next(), Bytes(next() % 30, next()),
                                 next() % 2 ? std::optional<size_t>(0) : std::nullopt);
            ASSERT_TRUE(protectedCommand);
            if (next() % 2) (*protectedCommand)[5 + next() % (protectedCommand->size() - 6)] ^= next() | 1;
            const Bytes response = card.transmit(*protectedCommand);
            ASSERT_GE(response.size(), 2u);
            if (!card.secureMessagingActive()) {
                ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
            }
        }
    }
}
