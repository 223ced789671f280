// Signing through the Driver on both card generations (algorithms 1 to 10 on every key, random
// messages, each signature checked by OpenSSL against the personalisation's certificate), the
// refusals before the card, and software verification against OpenSSL's signatures.
#include <openssl/bn.h>
#include <openssl/ecdsa.h>

#include <random>
#include <string>
#include <vector>

#include "Data/Container/container.h"
#include "Data/Objects/certobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "driver.h"
#include "openssl_reference.h"
#include "session_fixture.h"

namespace session_test {
namespace {

using Containers = std::vector<std::shared_ptr<GC_Container>>;
using Algorithm = Driver::signature_alghoritm;
namespace ref = reference;

// The PKCS#1 v1.5 type-1 block of a DigestInfo for a key of keyLen bytes.
Bytes pkcs1Block(const Bytes& info, size_t keyLen) {
    Bytes block{0x00, 0x01};
    block.insert(block.end(), keyLen - 3 - info.size(), 0xFF);
    block.push_back(0x00);
    block.insert(block.end(), info.begin(), info.end());
    return block;
}

struct KeyCase {
    cardsim::Personality personality;
    size_t container;  // index in the discovered list
    const char* name;  // personalisation file name (certs/<name>.der, keys/<name>.pem)
    const char* pin;
    bool rsa;
};

const KeyCase kKeys[] = {
    {cardsim::Personality::Varnel1, 0, "v1_auth_p256", "111111", false},
    {cardsim::Personality::Varnel1, 1, "v1_presence_p521", "222222", false},
    {cardsim::Personality::Varnel1, 3, "v1_qualified_rsa", "333333", true},
    {cardsim::Personality::Varnel2, 0, "v2_auth_bp256", "111111", false},
    {cardsim::Personality::Varnel2, 1, "v2_authz_p384", "222222", false},
    {cardsim::Personality::Varnel2, 2, "v2_qualified_rsa", "333333", true},
};

// The hash of each algorithm: 1 to 5 and 6 to 10 are none, SHA-1, SHA-256, SHA-384 and SHA-512.
const EVP_MD* hashOf(Algorithm algorithm) {
    const EVP_MD* hashes[] = {nullptr, EVP_sha1(), EVP_sha256(), EVP_sha384(), EVP_sha512()};
    return hashes[(algorithm - 1) % 5];
}

class SignatureTest : public SessionTest {
protected:
    // A card of the generation, a Driver on it and the discovered containers.
    void open(cardsim::Personality personality) {
        plug(varnelCard(personality));
        driver = std::make_unique<Driver>(name, GC_CardController::CARD_GENERIC, true, nullptr);
        ASSERT_EQ(driver->getLastError(), 0);
        ASSERT_EQ(driver->performSecureConnection(kCan, 2), 0);
        ASSERT_EQ(driver->getContainers(containers, true), 0);
        ASSERT_EQ(driver->loadContainers(containers, false), 0);
    }

    void verifyPin(const KeyCase& key) {
        const std::string pin = key.pin;
        ASSERT_EQ(driver->verifyPassword(containers[key.container], Bytes(pin.begin(), pin.end()), false), 0);
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

    std::unique_ptr<Driver> driver;
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
        // A complete block for the 2048-bit keys: the card signs it as PKCS#1 v1.5 of the
        // message's SHA-256.
        return {pkcs1Block(ref::digestInfo(EVP_sha256(), ref::digest(EVP_sha256(), message)), 256), false,
                EVP_sha256()};
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
                // ECDSA with r, then s short (a leading zero in the card's fixed form); the card signs
                // until it has one, some 256 times each, so once per key.
                const int forced = key.rsa || algorithm != Driver::EC_SHA256 ? 0 : round;
                if (forced == 1) card->leadingZeroInNextEcdsa(cardsim::SignatureHalf::R);
                if (forced == 2) card->leadingZeroInNextEcdsa(cardsim::SignatureHalf::S);
                signature.clear();
                ASSERT_EQ(driver->signatureData(containers[key.container], privKey, s.data, algorithm, signature), 0);
                ASSERT_TRUE(opensslAccepts(publicKey.get(), s, message, signature)) << "round " << round;
                if (forced == 1 || forced == 2) {
                    EXPECT_TRUE(shortHalf(publicKey.get(), signature, forced == 1));
                }
            }
        }
    }
}

// The first object of the type in the container.
GC_Object* objectOf(GC_Container& container, uint32_t type) {
    std::vector<GC_Object*> objects;
    container.getObjects(objects);
    for (GC_Object* object : objects)
        if (object->type == type) return object;
    return nullptr;
}

// What the Driver and the session refuse before the card is asked; the table of algorithms.
TEST_F(SignatureTest, RefusalsBeforeTheCard) {
    open(cardsim::Personality::Varnel2);
    verifyPin(kKeys[4]);  // P-384
    auto& container = containers[1];
    GC_Object* key = privateKey(1);
    const Bytes digest(48, 0x11);
    Bytes signature;
    ASSERT_EQ(driver->signatureData(container, key, digest, Driver::EC_NONE, signature), 0);
    const long long recorded = driver->getLastError();
    GC_Object* certificate = objectOf(*container, GC_Object::TYPE_CERTIFICATE);
    GC_Object* otherKey = privateKey(0);
    struct Case {
        const char* what;
        std::shared_ptr<GC_Container> container;
        GC_Object* key;
        Bytes data;
        uint32_t algorithm;
        int result;
        bool recorded;
    } cases[] = {
        {"algorithm 0", container, key, digest, 0, -1102, false},
        {"algorithm 11", container, key, digest, 11, -1102, false},
        {"an RSA algorithm for an EC key", container, key, digest, Driver::RSA_PKCS1_SHA256, -1102, true},
        {"no container", nullptr, key, digest, Driver::EC_SHA256, -2309, true},
        {"no key", container, nullptr, digest, Driver::EC_SHA256, -1102, true},
        {"another container's key", container, otherKey, digest, Driver::EC_SHA256, -1102, true},
        {"a certificate", container, certificate, digest, Driver::EC_SHA256, -1102, true},
        // A given digest of no hash's length cannot be named to the second generation.
        {"a 33-byte digest", container, key, Bytes(33, 0x22), Driver::EC_NONE, -1100, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t mark = logMark();
        auto target = c.container;
        EXPECT_EQ(driver->signatureData(target, c.key, c.data, static_cast<Algorithm>(c.algorithm), signature),
                  c.result);
        EXPECT_EQ(driver->getLastError(), c.recorded ? c.result : recorded);
        EXPECT_TRUE(sentSince(mark).empty());
    }
    // A key for both signing and non-repudiation is refused.
    auto* privKey = static_cast<GC_PrivKeyObject*>(key);
    const uint64_t usage = privKey->usage;
    privKey->usage = GC_PrivKeyObject::USAGE_SIGN | GC_PrivKeyObject::USAGE_NON_REPUDIATION;
    const size_t mark = logMark();
    EXPECT_EQ(driver->signatureData(container, key, digest, Driver::EC_SHA384, signature), -1102);
    EXPECT_TRUE(sentSince(mark).empty());
    privKey->usage = usage;
}

// A raw RSA block is signed only when it is the exact PKCS#1 v1.5 type-1 encoding of a known hash's
// digest; any other block is refused before the card, never signed as another one.
TEST_F(SignatureTest, RawRsaBlockIsExactPkcs1OrRefused) {
    open(cardsim::Personality::Varnel2);
    const KeyCase& rsa = kKeys[5];
    verifyPin(rsa);
    const auto publicKey = ref::certificateKey(rsa.name);
    const Bytes message{'r', 'a', 'w'};
    const Bytes d1 = ref::digest(EVP_sha1(), message);
    const Bytes d256 = ref::digest(EVP_sha256(), message);
    const Bytes info = ref::digestInfo(EVP_sha256(), d256);
    const Bytes good = pkcs1Block(info, 256);
    const auto changed = [&](size_t at, unsigned char value) {
        Bytes block = good;
        block[at] = value;
        return block;
    };
    // 30 2F 30 0B, the OID item, 04 20 and the digest: the parameters left out.
    Bytes withoutNull{0x30, 0x2F, 0x30, 0x0B};
    withoutNull.insert(withoutNull.end(), info.begin() + 4, info.begin() + 15);
    withoutNull.insert(withoutNull.end(), info.begin() + 17, info.end());
    // The SHA-256 identifier amid zeros, the digest at the end.
    Bytes amidZeros(256, 0x00);
    std::copy(info.begin() + 6, info.begin() + 15, amidZeros.begin() + 100);
    std::copy(d256.begin(), d256.end(), amidZeros.end() - 32);
    // SHA-256 named, a SHA-1 digest given.
    Bytes shortDigest{0x30, 0x25};
    shortDigest.insert(shortDigest.end(), info.begin() + 2, info.begin() + 17);
    shortDigest.insert(shortDigest.end(), {0x04, 0x14});
    shortDigest.insert(shortDigest.end(), d1.begin(), d1.end());

    const struct {
        const char* what;
        Bytes block;
        const EVP_MD* md;  // the hash of a block that is signed
    } cases[] = {
        {"SHA-256", good, EVP_sha256()},
        {"the DigestInfo alone", info, nullptr},
        {"block type 2", changed(1, 0x02), nullptr},
        {"a padding byte that is not FF", changed(100, 0xFE), nullptr},
        {"one byte short of the key", Bytes(good.begin() + 1, good.end()), nullptr},
        {"no NULL parameters", pkcs1Block(withoutNull, 256), nullptr},
        {"an identifier amid zeros", amidZeros, nullptr},
        {"a digest shorter than its hash's", pkcs1Block(shortDigest, 256), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t mark = logMark();
        Bytes signature;
        const int rc = driver->signatureData(containers[rsa.container], privateKey(rsa.container), c.block,
                                             Driver::RSA_PKCS1_NONE, signature);
        if (c.md == nullptr) {
            EXPECT_EQ(rc, -1102);
            EXPECT_TRUE(sentSince(mark).empty());
        } else {
            ASSERT_EQ(rc, 0);
            EXPECT_TRUE(ref::verifiesMessage(publicKey.get(), c.md, message, signature));
        }
    }
}

// Key entries as a hostile card may write them: a size no key has or none at all, a path that
// ends in half a file identifier. Refused before the card, or signed over an input that fits the
// key, never over nothing.
TEST_F(SignatureTest, HostileKeyEntries) {
    open(cardsim::Personality::Varnel1);
    verifyPin(kKeys[0]);  // P-256
    verifyPin(kKeys[2]);  // RSA-2048
    const Bytes d256 = ref::digest(EVP_sha256(), {'k', 'e', 'y'});
    const Bytes d384 = ref::digest(EVP_sha384(), {'k', 'e', 'y'});
    const Bytes none;
    const struct {
        const char* what;
        size_t container;
        uint64_t keyBits;
        bool certified;  // a certificate of the key's ID is in the container
        bool oddPath;
        const Bytes& data;
        Algorithm algorithm;
        int result;
        Bytes signedInput;  // what the card gets to sign when it is asked
    } cases[] = {
        {"RSA of unknown size", 3, 0, true, false, d256, Driver::RSA_PKCS1_SHA256, -1102, {}},
        {"RSA of 2^32 + 2048 bits", 3, (1ULL << 32) + 2048, true, false, d256, Driver::RSA_PKCS1_SHA256, -1102, {}},
        {"RSA of 16392 bits", 3, 16392, true, false, d256, Driver::RSA_PKCS1_SHA256, -1102, {}},
        {"RSA of all bits set", 3, ~0ULL, true, false, d256, Driver::RSA_PKCS1_SHA256, -1102, {}},
        {"EC of 16392 bits", 0, 16392, true, false, d384, Driver::EC_NONE, -1102, {}},
        {"EC of unknown size: its certificate's", 0, 0, true, false, d384, Driver::EC_NONE, 0,
         Bytes(d384.begin(), d384.begin() + 32)},
        {"EC of unknown size: uncut", 0, 0, false, false, d384, Driver::EC_NONE, 0, d384},
        {"EC of unknown size: nothing", 0, 0, false, false, none, Driver::EC_NONE, -1102, {}},
        {"a path of odd length", 0, 256, true, true, d256, Driver::EC_NONE, -1501, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto* key = static_cast<GC_PrivKeyObject*>(privateKey(c.container));
        const GC_PrivKeyObject kept(key);
        key->keyBits = c.keyBits;
        if (!c.certified) key->ID.push_back(0xEE);
        if (c.oddPath) key->path.push_back(0x01);
        const size_t mark = logMark();
        Bytes signature;
        EXPECT_EQ(driver->signatureData(containers[c.container], key, c.data, c.algorithm, signature), c.result);
        if (c.result == 0) {
            EXPECT_EQ(lastSignedInput(), c.signedInput);
        } else {
            EXPECT_EQ(countPrefix(receivedSince(*card, mark), "002A"), 0u);
        }
        key->keyBits = kept.keyBits;
        key->ID = kept.ID;
        key->path = kept.path;
    }

    // Verification sizes its input from the public key: an RSA entry that holds a certificate's
    // EC key, or an entry's size that no key has, is refused.
    auto* rsaPublic = static_cast<GC_PubKeyObject*>(objectOf(*containers[3], GC_Object::TYPE_PUBLIC_KEY));
    auto* ecCertificate = static_cast<GC_CertObject*>(objectOf(*containers[0], GC_Object::TYPE_CERTIFICATE));
    ASSERT_EQ(rsaPublic->setPublicKeyFromX509(ecCertificate->cert.get()), 0);
    EXPECT_EQ(driver->verifySignature(containers[3], rsaPublic, d256, Bytes(256, 0x01), Driver::RSA_PKCS1_SHA256),
              -1102);
    rsaPublic->key.reset();
    rsaPublic->keyBits = ~0ULL;
    EXPECT_EQ(driver->verifySignature(containers[3], rsaPublic, d256, Bytes(256, 0x01), Driver::RSA_PKCS1_SHA256),
              -1102);
}

// A PIN without length limits is not asked for: any PIN passes, the empty one too, and nothing
// goes to the card, while an empty PIN of a PIN with limits is only a status query. Its key is used
// after the channel is reopened, wherever it was left (the card's own key still wants its PIN).
TEST_F(SignatureTest, KeyWhosePinHasNoLengthLimits) {
    open(cardsim::Personality::Varnel2);
    verifyPin(kKeys[3]);  // brainpoolP256r1
    auto& free = containers[0];
    free->pin->minLength = free->pin->maxLength = 0;
    free->flags |= GC_Container::FLAG_NO_LENGTH;
    size_t mark = logMark();
    EXPECT_EQ(driver->verifyPassword(free, {}, false), 0);
    EXPECT_EQ(driver->verifyPassword(free, {'9'}, false), 0);
    EXPECT_TRUE(sentSince(mark).empty());
    mark = logMark();
    EXPECT_EQ(driver->verifyPassword(containers[1], {}, false), -2305);
    EXPECT_EQ(countPrefix(receivedSince(*card, mark), "00200002"), 1u);
    EXPECT_EQ(card->pin(0x02)->triesLeft, 3) << "a status query";
    EXPECT_EQ(containers[1]->flags & GC_Container::FLAG_VERIFIED, 0u);

    const auto publicKey = ref::certificateKey(kKeys[3].name);
    const Bytes digest(32, 0x5A);
    for (const bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "channel closed" : "channel up");
        if (closed) {
            ASSERT_EQ(driver->destroySecureConnection(), 0);
        }
        mark = logMark();
        Bytes signature;
        ASSERT_EQ(driver->signatureData(free, privateKey(0), digest, Driver::EC_NONE, signature), 0);
        EXPECT_TRUE(ref::verifiesDigest(publicKey.get(), nullptr, digest, signature));
        const auto sent = receivedSince(*card, mark);
        EXPECT_EQ(countPrefix(sent, "0022C1A412"), closed ? 1u : 0u) << "one new PACE";
        ASSERT_FALSE(sent.empty());
        EXPECT_TRUE(sent.back().secure);
    }
}

// The second generation answers an ECDSA signature as r || s, two halves of one length: an answer of
// odd length, or of less than one byte each, cannot be split and is refused, whatever its checksum.
TEST_F(SignatureTest, SecondGenerationEcAnswerThatCannotBeSplit) {
    open(cardsim::Personality::Varnel2);
    verifyPin(kKeys[4]);  // P-384: r || s of 96 bytes
    for (const size_t cut : {1, 95, 96}) {
        SCOPED_TRACE(cut);
        card->cutAnswer({.ins = 0x2A}, cut);
        Bytes signature;
        EXPECT_EQ(driver->signatureData(containers[1], privateKey(1), Bytes(48, 0x11), Driver::EC_NONE, signature),
                  -1100);
        EXPECT_EQ(card->log().back().plainResponse.size(), 96 - cut + 2);
        EXPECT_TRUE(signature.empty());
    }
}

// The exact input the first generation's card receives, through the session.
TEST_F(SignatureTest, InputTheCardSigns) {
    plug(varnelCard(cardsim::Personality::Varnel1));
    auto session = SessionTest::open();
    ASSERT_EQ(session->performSecureConnection(kCan, 2), 0);
    Containers list;
    ASSERT_EQ(session->getContainers(list, true), 0);
    for (size_t i : {0, 3}) {
        const std::string pin = i == 0 ? "111111" : "333333";
        ASSERT_EQ(session->verifyPassword(list[i], Bytes(pin.begin(), pin.end()), false, false), 0);
    }
    GC_Object* ec = list[0]->getPrivateKey();
    GC_Object* rsa = list[3]->getPrivateKey();
    Bytes signature;
    auto sign = [&](size_t container, GC_Object* key, const Bytes& data, GC_Security::data_format format,
                    GC_Security::padding_type padding) {
        const auto type = static_cast<GC_PrivKeyObject*>(key)->keyType;
        return session->signatureData(list[container], key, data, type, format, padding, signature);
    };
    Bytes value(48);
    for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<unsigned char>(i + 1);
    // P-256: a SHA-384 digest given as data is cut to its first 32 bytes.
    ASSERT_EQ(sign(0, ec, value, GC_Security::HASH_NONE, GC_Security::PAD_NONE), 0);
    EXPECT_EQ(lastSignedInput(), Bytes(value.begin(), value.begin() + 32));
    // SHA-256: 32 bytes are the digest, 33 bytes are hashed.
    const Bytes d32(value.begin(), value.begin() + 32);
    ASSERT_EQ(sign(0, ec, d32, GC_Security::HASH_SHA256, GC_Security::PAD_NONE), 0);
    EXPECT_EQ(lastSignedInput(), d32);
    const Bytes d33(value.begin(), value.begin() + 33);
    ASSERT_EQ(sign(0, ec, d33, GC_Security::HASH_SHA256, GC_Security::PAD_NONE), 0);
    EXPECT_EQ(lastSignedInput(), ref::digest(EVP_sha256(), d33));
    // Raw RSA: zero bytes in front up to the modulus; more than the modulus is refused.
    Bytes raw(255, 0x7E);
    ASSERT_EQ(sign(3, rsa, raw, GC_Security::HASH_NONE, GC_Security::PAD_NONE), 0);
    raw.insert(raw.begin(), 0x00);
    EXPECT_EQ(lastSignedInput(), raw);
    const size_t mark = logMark();
    EXPECT_EQ(sign(3, rsa, Bytes(257, 0x01), GC_Security::HASH_NONE, GC_Security::PAD_NONE), -1102);
    EXPECT_TRUE(sentSince(mark).empty());
    // PKCS#1 v1.5 of SHA-256: the card gets the DigestInfo and pads it itself (8A).
    ASSERT_EQ(sign(3, rsa, d33, GC_Security::HASH_SHA256, GC_Security::PAD_PKCS1_V15), 0);
    EXPECT_EQ(lastSignedInput(), ref::digestInfo(EVP_sha256(), ref::digest(EVP_sha256(), d33)));
    // A complete PKCS#1 v1.5 block: the card gets its DigestInfo as well, not a block to pad again.
    const Bytes info = ref::digestInfo(EVP_sha256(), d32);
    ASSERT_EQ(sign(3, rsa, pkcs1Block(info, 256), GC_Security::HASH_NONE, GC_Security::PAD_PKCS1_V15), 0);
    EXPECT_EQ(lastSignedInput(), info);
    // Empty data is hashed, not taken for a digest.
    ASSERT_EQ(sign(3, rsa, {}, GC_Security::HASH_SHA256, GC_Security::PAD_PKCS1_V15), 0);
    EXPECT_EQ(lastSignedInput(), ref::digestInfo(EVP_sha256(), ref::digest(EVP_sha256(), {})));
    EXPECT_TRUE(ref::verifiesMessage(ref::certificateKey("v1_qualified_rsa").get(), EVP_sha256(), {}, signature));
}

// Software verification with the card's public keys, against OpenSSL's signatures.
TEST_F(SignatureTest, VerificationAgainstOpenssl) {
    std::mt19937 random(1802);
    cardsim::Personality current = cardsim::Personality::Generic;
    for (const KeyCase& key : kKeys) {
        SCOPED_TRACE(key.name);
        if (key.personality != current) {
            open(key.personality);
            current = key.personality;
        }
        auto& container = containers[key.container];
        GC_Object* certificate = objectOf(*container, GC_Object::TYPE_CERTIFICATE);
        GC_Object* publicKey = objectOf(*container, GC_Object::TYPE_PUBLIC_KEY);
        ASSERT_NE(certificate, nullptr);
        ASSERT_NE(publicKey, nullptr);
        const auto privateKey = ref::privateKey(key.name);
        ASSERT_NE(privateKey, nullptr);
        const size_t mark = logMark();
        const int lowest = key.rsa ? 1 : 6;
        for (int a = lowest; a < lowest + 5; ++a) {
            const auto algorithm = static_cast<Algorithm>(a);
            SCOPED_TRACE(a);
            Bytes message(1 + random() % 100);
            for (auto& b : message) b = static_cast<unsigned char>(random());
            Bytes data = message;
            Bytes signature;
            if (algorithm == Driver::RSA_PKCS1_NONE) {
                data = ref::digestInfo(EVP_sha256(), ref::digest(EVP_sha256(), message));
                signature = ref::signMessage(privateKey.get(), EVP_sha256(), message);
            } else if (algorithm == Driver::EC_NONE) {
                data = ref::digest(EVP_sha256(), message);
                signature = ref::signDigest(privateKey.get(), nullptr, data);
            } else {
                signature = ref::signMessage(privateKey.get(), hashOf(algorithm), message);
            }
            ASSERT_FALSE(signature.empty());
            EXPECT_EQ(driver->verifySignature(container, certificate, data, signature, algorithm), 0);
            EXPECT_EQ(driver->verifySignature(container, publicKey, data, signature, algorithm), 0);
            EXPECT_EQ(driver->getLastError(), 0);
            // Another message: no match, the only positive result.
            data.back() ^= 0x01;
            EXPECT_EQ(driver->verifySignature(container, certificate, data, signature, algorithm), 1);
            EXPECT_EQ(driver->getLastError(), 1);
        }
        // The key type must match the algorithm; a private key is no verification key.
        const Bytes any(32, 0x01);
        EXPECT_EQ(driver->verifySignature(container, certificate, any, any,
                                          key.rsa ? Driver::EC_SHA256 : Driver::RSA_PKCS1_SHA256),
                  -1102);
        EXPECT_EQ(driver->verifySignature(container, container->getPrivateKey(), any, any, Driver::EC_SHA256), -1102);
        if (key.rsa) {
            // A mechanism that does not pad puts the block around a DigestInfo: data that is a
            // whole block already leaves no room for it.
            std::vector<std::pair<std::shared_ptr<GC_Container::mechanism_info>, uint64_t>> kept;
            for (const auto& mechanism : container->getSupportedMechanism()) {
                kept.emplace_back(mechanism, mechanism->paddings);
                mechanism->paddings &= ~static_cast<uint64_t>(GC_Security::PAD_PKCS1_V15);
            }
            const Bytes info = ref::digestInfo(EVP_sha256(), ref::digest(EVP_sha256(), any));
            Bytes block{0x00, 0x01};
            block.insert(block.end(), 256 - 3 - info.size(), 0xFF);
            block.push_back(0x00);
            block.insert(block.end(), info.begin(), info.end());
            EXPECT_EQ(driver->verifySignature(container, certificate, block, Bytes(256, 0x01), Driver::RSA_PKCS1_NONE),
                      -1102);
            for (const auto& [mechanism, paddings] : kept) mechanism->paddings = paddings;
        }
        EXPECT_TRUE(sentSince(mark).empty()) << "no card";
    }
}

}  // namespace
}  // namespace session_test
