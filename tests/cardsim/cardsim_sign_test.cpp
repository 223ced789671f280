// Signatures of the card, in each generation's command form, checked with the openssl
// command line against the certificate read from the card.
#include <gtest/gtest.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

#include "cardsim.h"
#include "terminal.h"
#include "test_util.h"

using namespace cardsim;

namespace {

const Bytes kSignatureAid = {0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x4E};
const Bytes kPkcs15Aid = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};

// DigestInfo prefixes of RFC 8017, section 9.2, note 1.
Bytes digestInfoPrefix(const std::string& hash) {
    if (hash == "sha1") return *fromHex("3021300906052b0e03021a05000414");
    if (hash == "sha256") return *fromHex("3031300d060960864801650304020105000420");
    if (hash == "sha384") return *fromHex("3041300d060960864801650304020205000430");
    return *fromHex("3051300d060960864801650304020305000440");  // sha512
}

Bytes digest(const std::string& hash, const Bytes& message) {
    const EVP_MD* md = EVP_get_digestbyname(hash.c_str());
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EXPECT_TRUE(md && EVP_Digest(message.data(), message.size(), out.data(), &length, md, nullptr));
    out.resize(length);
    return out;
}

enum class Input { DigestInfo, Pkcs1Block, Digest };

struct Case {
    const char* name;
    Personality personality;
    Bytes aid;
    Bytes keyDir;    // DF path below the application
    Bytes certPath;  // below the application
    uint8_t pinRef;
    const char* pin;
    Bytes mse;  // MSE:SET data
    const char* hash;
    Input input;
    bool plainEcdsa;  // answer is r || s
    size_t keyBytes;  // RSA modulus length
};

const Bytes kMessage = {'s', 'i', 'g', 'n', ' ', 'm', 'e', ' ', 'o', 'n', ' ', 't', 'h', 'e', ' ', 'c', 'a', 'r', 'd'};

std::vector<Case> cases() {
    return {
        {"generic RSA-2048 PKCS#1",
         Personality::Generic,
         kPkcs15Aid,
         {},
         {0x43, 0x01},
         0x01,
         "123456",
         *fromHex("80018A840101"),
         "sha256",
         Input::DigestInfo,
         false,
         256},
        {"generic P-256",
         Personality::Generic,
         kPkcs15Aid,
         {},
         {0x43, 0x02},
         0x01,
         "123456",
         *fromHex("8001CC840102"),
         "sha256",
         Input::Digest,
         true,
         0},
        {"Varnel 1.0 P-256",
         Personality::Varnel1,
         kSignatureAid,
         {0xDF, 0x0A},
         {0x57, 0x81},
         0x8A,
         "111111",
         *fromHex("8001CC84018A"),
         "sha256",
         Input::Digest,
         false,
         0},
        {"Varnel 1.0 P-521",
         Personality::Varnel1,
         kSignatureAid,
         {0xDF, 0x08},
         {0x57, 0x88},
         0x88,
         "222222",
         *fromHex("8001CC840188"),
         "sha512",
         Input::Digest,
         false,
         0},
        {"Varnel 1.0 RSA-2048 PKCS#1",
         Personality::Varnel1,
         kSignatureAid,
         {0xDF, 0x0C},
         {0x57, 0x83},
         0x8C,
         "333333",
         *fromHex("80018A84018C"),
         "sha256",
         Input::DigestInfo,
         false,
         256},
        {"Varnel 1.0 RSA-2048 raw",
         Personality::Varnel1,
         kSignatureAid,
         {0xDF, 0x0C},
         {0x57, 0x83},
         0x8C,
         "333333",
         *fromHex("80018C84018C"),
         "sha384",
         Input::Pkcs1Block,
         false,
         256},
        {"Varnel 2.0 brainpoolP256r1",
         Personality::Varnel2,
         kSignatureAid,
         {0xAD, 0xF1, 0xDF, 0x01},
         {0xAD, 0xF1, 0xDF, 0x01, 0x57, 0x81},
         0x01,
         "111111",
         *fromHex("91022101"),
         "sha256",
         Input::Digest,
         true,
         0},
        {"Varnel 2.0 P-384",
         Personality::Varnel2,
         kSignatureAid,
         {0xAD, 0xF2, 0xDF, 0x02},
         {0xAD, 0xF2, 0xDF, 0x02, 0x57, 0x82},
         0x02,
         "222222",
         *fromHex("91022282"),
         "sha384",
         Input::Digest,
         true,
         0},
        {"Varnel 2.0 RSA-2048 SHA-256",
         Personality::Varnel2,
         kSignatureAid,
         {0xAD, 0xFC, 0xDF, 0x0C},
         {0xAD, 0xFC, 0xDF, 0x0C, 0x57, 0x83},
         0x0C,
         "333333",
         *fromHex("91022893"),
         "sha256",
         Input::Digest,
         false,
         256},
        {"Varnel 2.0 RSA-2048 SHA-512",
         Personality::Varnel2,
         kSignatureAid,
         {0xAD, 0xFC, 0xDF, 0x0C},
         {0xAD, 0xFC, 0xDF, 0x0C, 0x57, 0x83},
         0x0C,
         "333333",
         *fromHex("91022A13"),
         "sha512",
         Input::Digest,
         false,
         256},
    };
}

Bytes toSign(const Case& c) {
    const Bytes d = digest(c.hash, kMessage);
    Bytes info = digestInfoPrefix(c.hash);
    info.insert(info.end(), d.begin(), d.end());
    switch (c.input) {
        case Input::Digest:
            return d;
        case Input::DigestInfo:
            return info;
        case Input::Pkcs1Block: {
            Bytes block = {0x00, 0x01};
            block.insert(block.end(), c.keyBytes - 3 - info.size(), 0xFF);
            block.push_back(0x00);
            block.insert(block.end(), info.begin(), info.end());
            return block;
        }
    }
    return {};
}

// Selects the application and the key's directory over the channel.
void selectKey(PaceTerminal& terminal, const Case& c) {
    auto r = terminal.exchange(0xA4, 0x04, 0x0C, c.aid, std::nullopt);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->sw, 0x9000);
    for (size_t i = 0; i < c.keyDir.size(); i += 2) {
        r = terminal.exchange(0xA4, 0x01, 0x0C, {c.keyDir[i], c.keyDir[i + 1]}, std::nullopt);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->sw, 0x9000);
    }
}

}  // namespace

TEST(CardSimSign, SignaturesVerifyWithOpensslAgainstTheCardsCertificate) {
    int ecdsaKeys = 0;
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        CardConfig config;
        config.personality = c.personality;
        CardSim card(config);
        PaceTerminal terminal(test::transportTo(card));
        if (c.personality != Personality::Generic) {
            ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
        }
        const auto certificate = terminal.readFile(c.aid, c.certPath);
        ASSERT_TRUE(certificate);
        ASSERT_GT(certificate->size(), 300u);

        selectKey(terminal, c);
        auto r =
            terminal.exchange(0x22, c.personality == Personality::Varnel2 ? 0x81 : 0x41, 0xB6, c.mse, std::nullopt);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->sw, 0x9000);
        const Bytes input = toSign(c);
        // no verified PIN: security status not satisfied
        r = terminal.exchange(0x2A, 0x9E, 0x9A, input, 0);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->sw, 0x6982);
        EXPECT_TRUE(r->data.empty());

        r = terminal.exchange(0x20, 0x00, c.pinRef, Bytes(c.pin, c.pin + 6), std::nullopt);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->sw, 0x9000);
        r = terminal.exchange(0x2A, 0x9E, 0x9A, input, 0);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->sw, 0x9000);
        if (c.keyBytes) {
            EXPECT_EQ(r->data.size(), c.keyBytes);
        }
        if (c.personality == Personality::Generic && c.keyBytes == 256) {
            // the generic card sends at most 255 bytes at once: the last byte came with GET RESPONSE
            const auto log = card.log();
            ASSERT_GE(log.size(), 2u);
            EXPECT_EQ(toHex(log[log.size() - 2].response).substr(510), "6101");
            EXPECT_EQ(toHex(log.back().command), "00C0000001");
        }
        const Bytes signature = c.plainEcdsa ? test::ecdsaDer(r->data) : r->data;
        std::string output;
        EXPECT_TRUE(test::opensslVerifies(*certificate, c.hash, kMessage, signature, &output)) << output;
        // a different message does not verify (the check is real)
        Bytes other = kMessage;
        other.back() ^= 1;
        EXPECT_FALSE(test::opensslVerifies(*certificate, c.hash, other, signature));
        // the key on the card is the key of the certificate
        EXPECT_EQ(terminal.channelOpen(), c.personality != Personality::Generic);

        // ECDSA with the chosen half forced short (r for one key, s for the next)
        if (c.keyBytes) continue;
        const SignatureHalf half = ++ecdsaKeys % 2 ? SignatureHalf::R : SignatureHalf::S;
        card.leadingZeroInNextEcdsa(half);
        r = terminal.exchange(0x2A, 0x9E, 0x9A, input, 0);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->sw, 0x9000);
        const Bytes shortHalf = c.plainEcdsa ? test::ecdsaDer(r->data) : r->data;
        EXPECT_TRUE(test::opensslVerifies(*certificate, c.hash, kMessage, shortHalf, &output)) << output;
        const unsigned char* p = shortHalf.data();
        std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> parsed(
            d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(shortHalf.size())), ECDSA_SIG_free);
        ASSERT_TRUE(parsed);
        const BIGNUM* forced =
            half == SignatureHalf::R ? ECDSA_SIG_get0_r(parsed.get()) : ECDSA_SIG_get0_s(parsed.get());
        const unsigned char* der = certificate->data();
        std::unique_ptr<X509, decltype(&X509_free)> x509(
            d2i_X509(nullptr, &der, static_cast<long>(certificate->size())), X509_free);
        ASSERT_TRUE(x509);
        EXPECT_LT(BN_num_bytes(forced), (EVP_PKEY_get_bits(X509_get0_pubkey(x509.get())) + 7) / 8);
        if (c.plainEcdsa) {
            EXPECT_EQ(r->data[half == SignatureHalf::R ? 0 : r->data.size() / 2], 0x00);
        }
    }
}

TEST(CardSimSign, SecurityEnvironmentChecks) {
    CardConfig config;
    config.personality = Personality::Varnel2;
    CardSim card(config);
    PaceTerminal terminal(test::transportTo(card));
    ASSERT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    ASSERT_EQ(terminal.exchange(0xA4, 0x04, 0x0C, kSignatureAid, std::nullopt)->sw, 0x9000);
    ASSERT_EQ(terminal.exchange(0xA4, 0x08, 0x0C, *fromHex("5015ADFCDF0C"), std::nullopt)->sw, 0x9000);
    // PSO without a security environment
    EXPECT_EQ(terminal.exchange(0x2A, 0x9E, 0x9A, Bytes(32, 1), 0)->sw, 0x6985);
    // ECDSA for the RSA key, an unknown algorithm: conditions of use not satisfied
    EXPECT_EQ(terminal.exchange(0x22, 0x81, 0xB6, *fromHex("91022113"), std::nullopt)->sw, 0x6985);
    EXPECT_EQ(terminal.exchange(0x22, 0x81, 0xB6, *fromHex("91027713"), std::nullopt)->sw, 0x6985);
    // no such key below the current directory; the first generation's form is not this card's
    EXPECT_EQ(terminal.exchange(0x22, 0x81, 0xB6, *fromHex("91022801"), std::nullopt)->sw, 0x6A88);
    EXPECT_EQ(terminal.exchange(0x22, 0x41, 0xB6, *fromHex("80018A840193"), std::nullopt)->sw, 0x6A86);
    EXPECT_EQ(terminal.exchange(0x22, 0x81, 0xB6, *fromHex("80018A840193"), std::nullopt)->sw, 0x6A80);
    // a digest of the wrong length for the algorithm
    ASSERT_EQ(terminal.exchange(0x22, 0x81, 0xB6, *fromHex("91022813"), std::nullopt)->sw, 0x9000);
    ASSERT_EQ(terminal.exchange(0x20, 0x00, 0x0C, {'3', '3', '3', '3', '3', '3'}, std::nullopt)->sw, 0x9000);
    EXPECT_EQ(terminal.exchange(0x2A, 0x9E, 0x9A, Bytes(20, 1), 0)->sw, 0x6A80);
    EXPECT_EQ(terminal.exchange(0x2A, 0x9E, 0x9A, Bytes(32, 1), 0)->sw, 0x9000);
    // after the ChipDoc 3.0 logout the PIN is needed again
    EXPECT_EQ(terminal.exchange(0xDA, 0x01, 0x19, {0x08, 0x00}, std::nullopt)->sw, 0x9000);
    EXPECT_EQ(terminal.exchange(0x2A, 0x9E, 0x9A, Bytes(32, 1), 0)->sw, 0x6982);
    // plain PSO: secure messaging is required
    EXPECT_EQ(terminal.plain(*fromHex("002A9E9A20" + std::string(64, '1') + "00"))->sw, 0x6982);
}

TEST(CardSimSign, DeactivatedKeyDirectoryRefusesToSign) {
    CardConfig config;
    config.personality = Personality::Varnel1;
    config.requireSecureMessaging = false;
    config.deactivatedPins = {0x0C};
    CardSim card(config);
    PaceTerminal terminal(test::transportTo(card));
    ASSERT_EQ(terminal.exchange(0xA4, 0x04, 0x0C, kSignatureAid, std::nullopt)->sw, 0x9000);
    EXPECT_EQ(terminal.exchange(0xA4, 0x01, 0x0C, {0xDF, 0x0C}, std::nullopt)->sw, 0x6283);
    EXPECT_EQ(terminal.exchange(0x22, 0x41, 0xB6, *fromHex("80018A84018C"), std::nullopt)->sw, 0x9000);
    EXPECT_EQ(terminal.exchange(0x20, 0x00, 0x8C, {'3', '3', '3', '3', '3', '3'}, std::nullopt)->sw, 0x6283);
    EXPECT_EQ(terminal.exchange(0x2A, 0x9E, 0x9A, Bytes(51, 1), 0)->sw, 0x6985);
}

// ECDSA takes as many input bytes as the curve's order has: 66 on P-521, no more.
TEST(CardSimSign, EcdsaInputUpToTheOrderLength) {
    CardConfig config;
    config.personality = Personality::Varnel1;
    config.requireSecureMessaging = false;
    CardSim card(config);
    PaceTerminal terminal(test::transportTo(card));
    ASSERT_EQ(terminal.exchange(0xA4, 0x04, 0x0C, kSignatureAid, std::nullopt)->sw, 0x9000);
    ASSERT_EQ(terminal.exchange(0xA4, 0x01, 0x0C, {0xDF, 0x08}, std::nullopt)->sw, 0x9000);
    ASSERT_EQ(terminal.exchange(0x22, 0x41, 0xB6, *fromHex("8001CC840188"), std::nullopt)->sw, 0x9000);
    ASSERT_EQ(terminal.exchange(0x20, 0x00, 0x88, {'2', '2', '2', '2', '2', '2'}, std::nullopt)->sw, 0x9000);
    EXPECT_EQ(terminal.exchange(0x2A, 0x9E, 0x9A, Bytes(66, 0xA5), 0)->sw, 0x9000);
    EXPECT_EQ(terminal.exchange(0x2A, 0x9E, 0x9A, Bytes(67, 0xA5), 0)->sw, 0x6A80);
}
