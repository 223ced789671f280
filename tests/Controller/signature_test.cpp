// Signing through the Driver on both card generations (algorithms 1 to 10 on every key, random
// messages, each signature checked by OpenSSL against the personalisation's certificate), the
// refusals before the card, and software verification against OpenSSL's signatures.
#include <openssl/bn.h>
#include <openssl/ecdsa.h>

#include <random>
#include <string>
#include <vector>

#include "Data/Container/container.h"
#include "Data/Objects/privkeyobject.h"
#include "driver.h"
#include "openssl_reference.h"
#include "session_fixture.h"
#include "test_util.h"

namespace session_test {
namespace {

using Containers = std::vector<std::shared_ptr<GC_Container>>;
using Algorithm = Driver::signature_alghoritm;
namespace ref = reference;

// The Driver with its session in reach, for PIN commands sent straight to the card.
class TestDriver : public Driver {
public:
    using Driver::Driver;
    GC_Controller& session() { return controller; }
};

struct KeyCase {
    cardsim::Personality personality;
    size_t container;  // index in the discovered list
    const char* name;  // personalisation file name (certs/<name>.der, keys/<name>.pem)
    uint8_t pinReference;
    const char* pin;
    bool rsa;
};

const KeyCase kKeys[] = {
    {cardsim::Personality::Varnel1, 0, "v1_auth_p256", 0x8A, "111111", false},
    {cardsim::Personality::Varnel1, 1, "v1_presence_p521", 0x88, "222222", false},
    {cardsim::Personality::Varnel1, 3, "v1_qualified_rsa", 0x8C, "333333", true},
    {cardsim::Personality::Varnel2, 0, "v2_auth_bp256", 0x01, "111111", false},
    {cardsim::Personality::Varnel2, 1, "v2_authz_p384", 0x02, "222222", false},
    {cardsim::Personality::Varnel2, 2, "v2_qualified_rsa", 0x0C, "333333", true},
};

// The hash of each hashing algorithm; null for 1 and 6.
const EVP_MD* hashOf(Algorithm algorithm) {
    switch (algorithm) {
        case Driver::RSA_PKCS1_SHA1:
        case Driver::EC_SHA1:
            return EVP_sha1();
        case Driver::RSA_PKCS1_SHA256:
        case Driver::EC_SHA256:
            return EVP_sha256();
        case Driver::RSA_PKCS1_SHA384:
        case Driver::EC_SHA384:
            return EVP_sha384();
        case Driver::RSA_PKCS1_SHA512:
        case Driver::EC_SHA512:
            return EVP_sha512();
        default:
            return nullptr;
    }
}

const char* hashName(const EVP_MD* md) {
    return EVP_MD_get0_name(md);
}

class SignatureTest : public SessionTest {
protected:
    // A card of the generation, a Driver on it and the discovered containers.
    void open(cardsim::Personality personality) {
        plug(plainCard(personality));
        driver = std::make_unique<TestDriver>(name, GC_CardController::CARD_GENERIC, true, nullptr);
        ASSERT_EQ(driver->getLastError(), 0);
        ASSERT_EQ(driver->getContainers(containers, true), 0);
    }

    void verifyPin(const KeyCase& key) {
        const std::string pin = key.pin;
        Bytes command(pin.begin(), pin.end());
        const Bytes header{0x00, 0x20, 0x00, key.pinReference, static_cast<unsigned char>(pin.size())};
        command.insert(command.begin(), header.begin(), header.end());
        Bytes response;
        ASSERT_EQ(driver->session().sendApdu(command, response, 0, true), 0);
        ASSERT_EQ(response, (Bytes{0x90, 0x00}));
    }

    GC_Object* privateKey(size_t container) { return containers.at(container)->getPrivateKey(); }

    // The data bytes of the last PERFORM SECURITY OPERATION the card received.
    Bytes lastSignedInput() const {
        const auto log = card->log();
        for (auto it = log.rbegin(); it != log.rend(); ++it) {
            const Bytes& c = it->plainCommand;
            if (c.size() < 7 || c[1] != 0x2A) continue;
            // Extended Lc (00 hi lo) or a short one.
            if (c[4] == 0x00 && c.size() > 7) return Bytes(c.begin() + 7, c.begin() + 7 + (c[5] << 8 | c[6]));
            return Bytes(c.begin() + 5, c.begin() + 5 + c[4]);
        }
        return {};
    }

    std::unique_ptr<TestDriver> driver;
    Containers containers;
};

// What a message becomes for an algorithm, and how OpenSSL checks the card's signature over it.
struct Signed {
    Bytes data;     // handed to the Driver
    bool asDigest;  // checked as a digest (else as a message hashed with md)
    const EVP_MD* md;
};

Signed prepare(Algorithm algorithm, const Bytes& message, std::mt19937& random, bool p521) {
    const EVP_MD* md = hashOf(algorithm);
    if (algorithm == Driver::RSA_PKCS1_NONE) {
        // A complete DigestInfo: the card signs it as PKCS#1 v1.5 of the message's SHA-256.
        return {ref::digestInfo(EVP_sha256(), ref::digest(EVP_sha256(), message)), false, EVP_sha256()};
    }
    if (algorithm == Driver::EC_NONE) {
        // A digest of any hash, cut by the driver to the curve's length; on P-521 now and then a
        // value of all 66 bytes the order has.
        const EVP_MD* hashes[] = {EVP_sha1(), EVP_sha256(), EVP_sha384(), EVP_sha512()};
        if (p521 && random() % 8 == 0) {
            Bytes value(66);
            for (auto& b : value) b = static_cast<unsigned char>(random());
            return {value, true, nullptr};
        }
        return {ref::digest(hashes[random() % 4], message), true, nullptr};
    }
    // A message of the digest's length is taken as the digest itself.
    return {message, message.size() == static_cast<size_t>(EVP_MD_get_size(md)), md};
}

// Whether r (or s) of a DER signature is shorter than the order: the forced leading zero is gone.
bool shortHalf(EVP_PKEY* key, const Bytes& der, bool r) {
    const unsigned char* p = der.data();
    gc_ossl::EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (!sig) return false;
    const BIGNUM* half = r ? ECDSA_SIG_get0_r(sig.get()) : ECDSA_SIG_get0_s(sig.get());
    return BN_num_bytes(half) < (EVP_PKEY_get_bits(key) + 7) / 8;
}

bool opensslAccepts(EVP_PKEY* key, const Signed& s, const Bytes& message, const Bytes& signature) {
    if (s.asDigest) return ref::verifiesDigest(key, s.md, s.data, signature);
    return ref::verifiesMessage(key, s.md, message, signature);
}

TEST_F(SignatureTest, EveryAlgorithmOnEveryKeyVerifiesWithOpenssl) {
    // Through the PC/SC back-end in full; through the slot back-end a few rounds show the same road.
    const int rounds = slotBackend() ? 4 : 200;
    std::mt19937 random(1801);
    cardsim::Personality current = cardsim::Personality::Generic;
    for (const KeyCase& key : kKeys) {
        SCOPED_TRACE(key.name);
        if (key.personality != current) {
            open(key.personality);
            current = key.personality;
        }
        GC_Object* privKey = privateKey(key.container);
        ASSERT_NE(privKey, nullptr);
        const auto publicKey = ref::certificateKey(key.name);
        ASSERT_NE(publicKey, nullptr);
        const bool p521 = std::string(key.name).find("p521") != std::string::npos;

        // Without the PIN the card answers 69 82: security status not satisfied.
        Bytes signature;
        const Algorithm first = key.rsa ? Driver::RSA_PKCS1_SHA256 : Driver::EC_SHA256;
        EXPECT_EQ(driver->signatureData(containers[key.container], privKey, {1, 2, 3}, first, signature), -1701);
        EXPECT_EQ(driver->getLastError(), -1701);
        EXPECT_EQ(card->log().back().plainResponse, (Bytes{0x69, 0x82}));
        verifyPin(key);

        const int lowest = key.rsa ? 1 : 6;
        for (int a = lowest; a < lowest + 5; ++a) {
            const auto algorithm = static_cast<Algorithm>(a);
            SCOPED_TRACE(a);
            for (int round = 0; round < rounds; ++round) {
                // Lengths from 0 up, the digest lengths among them.
                Bytes message(random() % 130);
                for (auto& b : message) b = static_cast<unsigned char>(random());
                const Signed s = prepare(algorithm, message, random, p521);
                // ECDSA now and then with r or s short (a leading zero in the card's fixed form).
                const int forced = key.rsa ? 0 : round % 16;
                if (forced == 1) card->leadingZeroInNextEcdsa(cardsim::SignatureHalf::R);
                if (forced == 2) card->leadingZeroInNextEcdsa(cardsim::SignatureHalf::S);
                signature.clear();
                ASSERT_EQ(driver->signatureData(containers[key.container], privKey, s.data, algorithm, signature), 0);
                ASSERT_TRUE(opensslAccepts(publicKey.get(), s, message, signature)) << "round " << round;
                if (forced == 1 || forced == 2) {
                    EXPECT_TRUE(shortHalf(publicKey.get(), signature, forced == 1));
                }
                if (round == 0 && s.md != nullptr && !s.asDigest) {
                    // The command line too.
                    std::string output;
                    EXPECT_TRUE(cardsim::test::opensslVerifies(ref::cardFile("certs/" + std::string(key.name) + ".der"),
                                                               hashName(s.md), message, signature, &output))
                        << output;
                }
            }
        }
    }
}

}  // namespace
}  // namespace session_test
