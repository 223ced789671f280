// PACE and secure messaging of the card, against the OpenPACE test terminal, in process: what ends
// the channel, chains under it, its secure messaging against a computation built by hand, and what
// the card refuses. Opening the channel itself is checked by the product's tests (OpenPACE).
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

CardConfig configFor(Personality p, std::vector<PaceInfo> pace = {PaceInfo{}}) {
    CardConfig c;
    c.personality = p;
    c.pace = std::move(pace);
    return c;
}

}  // namespace

// The channel ends where a real card ends it, so that the driver's reopening is put to the test:
// a wrong or missing checksum, an answer in plain, a plain command, a reset, power off and on.
TEST(CardSimPace, WhatEndsTheChannel) {
    CardSim card(configFor(Personality::Varnel2));
    PaceTerminal terminal(test::transportTo(card));
    const Bytes mf = {0x3F, 0x00};
    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    auto command = terminal.protect(0x00, 0xA4, 0x00, 0x0C, mf, std::nullopt);
    ASSERT_TRUE(command);
    (*command)[command->size() - 2] ^= 0x01;  // the checksum's last byte
    EXPECT_EQ(card.transmit(*command), (Bytes{0x69, 0x88}));
    EXPECT_FALSE(card.secureMessagingActive());

    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    command = terminal.protect(0x00, 0xA4, 0x00, 0x0C, mf, std::nullopt);
    command->erase(command->end() - 11, command->end() - 1);  // no DO 8E
    (*command)[4] = static_cast<uint8_t>(command->size() - 6);
    EXPECT_EQ(card.transmit(*command), (Bytes{0x69, 0x87}));
    EXPECT_FALSE(card.secureMessagingActive());

    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    card.answerStatus({0xA4, 0x04, -1}, 0x6982, 1, true);  // answered in plain
    EXPECT_EQ(terminal.secure(0x00, 0xA4, 0x04, 0x0C, kSignatureAid, std::nullopt)->sw, 0x6982);
    EXPECT_FALSE(card.secureMessagingActive());

    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    EXPECT_EQ(terminal.plain(*fromHex("00A4040C0AA000000167455349474E"))->sw, 0x9000);  // executed
    EXPECT_FALSE(card.secureMessagingActive());

    for (bool reset : {true, false}) {
        ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
        if (reset) {
            card.reset();
        } else {
            card.powerOff();
            card.powerOn();
        }
        EXPECT_FALSE(card.secureMessagingActive());
        EXPECT_EQ(terminal.secure(0x00, 0xA4, 0x00, 0x0C, mf, std::nullopt)->sw, 0x6988);  // answered in plain
    }
}

// Answers longer than the card sends at once are chained under the channel too (61 xx, then a
// plain GET RESPONSE for the protected bytes), so that the driver's joining of them is put to the test.
TEST(CardSimPace, ProtectedAnswersAreChained) {
    CardSim card(configFor(Personality::Varnel2, {{PaceCipher::Aes256, 18}}));
    PaceTerminal terminal(test::transportTo(card));
    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    const Bytes cio = *card.file({0x50, 0x15, 0xAD, 0xFC, 0xDF, 0x0C, 0x50, 0x83});
    // 255 plain bytes do not fit a short protected answer
    auto file = terminal.readFile(kSignatureAid, {0xAD, 0xFC, 0xDF, 0x0C, 0x50, 0x83}, 255);
    ASSERT_TRUE(file);
    EXPECT_EQ(*file, cio);
    // nor 1792 bytes an extended one
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
        // PACE out of order or malformed, and a point that is not on the curve.
        const std::string mse = "0022C1A40F800A04007F00070202040202830102";
        // clang-format off
        const std::pair<std::string, uint16_t> steps[] = {
            {"10860000027C0000", 0x6985},                                    // no MSE:Set AT
            {"0022C1A40F800A04007F00070202040209830102", 0x6A80},            // an unknown protocol
            {"0022C1A412800A04007F00070202040202830102840110", 0x6A80},      // a parameter id the card does not offer
            {"0022C1A40F800A04007F00070202040202830103", 0x6A88},            // the PIN: no PACE password here
            {mse, 0x9000},
            {"00860000027C0000", 0x6985},                                    // the first steps must be chained
            {"10860000027C0000", 0x6985},                                    // the run was abandoned
            {mse, 0x9000},
            {"10860000047C02810100", 0x6A80},                                // the wrong object for step 1
            {mse, 0x9000},
            {"10860000027C0000", 0x9000},
            {"10860000457C43814104" + std::string(128, '0') + "00", 0x6A80},  // (0, 0) is not on the curve
        };
        // clang-format on
        CardSim card(configFor(Personality::Varnel2));
        PaceTerminal terminal(test::transportTo(card));
        for (const auto& [command, sw] : steps) EXPECT_EQ(terminal.plain(*fromHex(command))->sw, sw) << command;
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
