#include "extension/token_session.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "Data/Container/container.h"
#include "Data/Objects/privkeyobject.h"
#include "extension/signing_algorithms.h"
#include "extension/token_auth_operation.h"
#include "extension/token_world.h"
#include "platform/ctk_token_signer.h"
#include "support/signature_check.h"

// Signing through a token session over the fake card library: the platform's signing road
// (TokenSigner), the PIN operation, the logout after every attempt and the error mapping.

namespace {

using gctest::Bytes;
using gctest::FakeCardDriver;
using sec::KeyAlgorithm;

const Bytes kAuthenticationKey{0x45, 0x01, 0x02};
const Bytes kAuthorizationKey{0x45, 0x02, 0x02};
const Bytes kQualifiedKey{0x45, 0x0C, 0x02};

// The complete PKCS#1 v1.5 block of a SHA-256 digest for a 2048-bit key.
Bytes pkcs1Block(const Bytes& digest) {
    static const unsigned char kSha256Info[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                                0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes block{0x00, 0x01};
    block.resize(256 - sizeof kSha256Info - digest.size() - 1, 0xFF);
    block.push_back(0x00);
    block.insert(block.end(), std::begin(kSha256Info), std::end(kSha256Info));
    block.insert(block.end(), digest.begin(), digest.end());
    return block;
}

struct SessionFixture : ::testing::Test {
    void SetUp() override {
        ASSERT_NE(token, nullptr);
        ASSERT_EQ(world.checkCan("123456"), "SUCCESS");
        world.card->clearCalls();
    }

    ctk::SignOutcome sign(const Bytes& key, KeyAlgorithm algorithm, const Bytes& data, const char* pin) {
        return signer.sign(key, algorithm, data, [pin](ctk::TokenSmartCardPINAuthOperation& operation) {
            operation.setPIN(pin);
            return true;
        });
    }
    Bytes certificateOf(const Bytes& key) {
        return token->keychainContents().keyForObjectID(key, nullptr)->certificate()->data();
    }
    std::string label(int container) { return token->getContainer(container)->label; }
    long errorCode(const ctk::SignOutcome& outcome) { return outcome.error ? outcome.error->code : 0; }
    std::shared_ptr<TokenSession> session() {
        auto made = std::static_pointer_cast<TokenSession>(token->createSession(nullptr));
        EXPECT_NE(made, nullptr);
        return made;
    }
    // The PIN operation of a key's constraint, finished with the PIN.
    bool login(TokenSession& session, unsigned char constraint, const char* pin, std::optional<ctk::Error>* error) {
        auto operation = std::dynamic_pointer_cast<TokenAuthOperation>(
            session.beginAuthForOperation(ctk::TokenOperation::SignData, Bytes{constraint}, nullptr));
        EXPECT_NE(operation, nullptr);
        operation->setPIN(pin);
        return operation->finishWithError(error);
    }

    gctest::TokenWorld world;
    std::shared_ptr<Token> token = world.createToken();
    ctk::TokenSigner signer{token};
    const std::string message = "a message to sign";
    const Bytes digest = gctest::sha256(message);
};

TEST_F(SessionFixture, EachSignatureNeedsThePinAndEndsWithOneLogout) {
    ctk::SignOutcome ec = sign(kAuthenticationKey, KeyAlgorithm::ECDSASignatureDigestX962, digest, "111111");
    ASSERT_TRUE(ec.signature) << errorCode(ec);
    EXPECT_EQ(ec.pinPrompts, 1);  // the first request was answered with "authentication needed"
    EXPECT_TRUE(gctest::verifiesWithCertificate(certificateOf(kAuthenticationKey), message, *ec.signature));
    const std::string auth = label(0);
    EXPECT_EQ(world.card->calls(), (std::vector<std::string>{"verify " + auth, "sign 6 " + auth, "logout " + auth}));

    // The PIN was good for that one signature.
    std::optional<ctk::Error> error;
    EXPECT_FALSE(signer.session()->signData(digest, kAuthenticationKey,
                                            ctk::TokenKeyAlgorithm(KeyAlgorithm::ECDSASignatureDigestX962), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ctk::error::kAuthenticationNeeded);
    EXPECT_EQ(world.card->calls().size(), 3u);

    ctk::SignOutcome rsa = sign(kQualifiedKey, KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256, digest, "333333");
    ASSERT_TRUE(rsa.signature) << errorCode(rsa);
    EXPECT_EQ(rsa.pinPrompts, 1);
    EXPECT_TRUE(gctest::verifiesWithCertificate(certificateOf(kQualifiedKey), message, *rsa.signature));

    // The raw RSA signature of a complete PKCS#1 v1.5 block is that same signature.
    ctk::SignOutcome raw = sign(kQualifiedKey, KeyAlgorithm::RSASignatureRaw, pkcs1Block(digest), "333333");
    ASSERT_TRUE(raw.signature) << errorCode(raw);
    EXPECT_EQ(*raw.signature, *rsa.signature);

    const std::string qualified = label(2);
    EXPECT_EQ(world.card->calls(),
              (std::vector<std::string>{"verify " + auth, "sign 6 " + auth, "logout " + auth, "verify " + qualified,
                                        "sign 3 " + qualified, "logout " + qualified, "verify " + qualified,
                                        "sign 1 " + qualified, "logout " + qualified}));
}

TEST_F(SessionFixture, WrongAndEmptyPinsFailTheAuthentication) {
    ctk::SignOutcome wrong = sign(kAuthenticationKey, KeyAlgorithm::ECDSASignatureDigestX962, digest, "000000");
    EXPECT_FALSE(wrong.signature);
    EXPECT_EQ(errorCode(wrong), ctk::error::kAuthenticationFailed);
    EXPECT_EQ(world.card->triesLeft(0x01), 2);

    ctk::SignOutcome empty = sign(kAuthenticationKey, KeyAlgorithm::ECDSASignatureDigestX962, digest, "");
    EXPECT_EQ(errorCode(empty), ctk::error::kAuthenticationFailed);
    EXPECT_EQ(world.card->calls(), std::vector<std::string>{"verify " + label(0)});  // the empty PIN stayed here
    EXPECT_EQ(world.card->triesLeft(0x01), 2);

    world.card->failNext(FakeCardDriver::Op::Verify, -2307);
    EXPECT_EQ(errorCode(sign(kAuthenticationKey, KeyAlgorithm::ECDSASignatureDigestX962, digest, "111111")),
              ctk::error::kAuthenticationFailed);
    EXPECT_TRUE(sign(kAuthenticationKey, KeyAlgorithm::ECDSASignatureDigestX962, digest, "111111").signature);
    EXPECT_EQ(world.card->triesLeft(0x01), 3);

    // A PIN without length limits may be empty: the card library takes any PIN of it.
    token->getContainer(0)->flags |= GC_Container::FLAG_NO_LENGTH;
    world.card->clearCalls();
    ctk::SignOutcome free = sign(kAuthenticationKey, KeyAlgorithm::ECDSASignatureDigestX962, digest, "");
    EXPECT_TRUE(free.signature) << errorCode(free);
    EXPECT_EQ(world.card->calls(),
              (std::vector<std::string>{"verify " + label(0), "sign 6 " + label(0), "logout " + label(0)}));
}

TEST_F(SessionFixture, CardFailuresOfTheSignatureBecomeTokenErrors) {
    struct Case {
        int library;
        long token;
    };
    for (const Case& c : {Case{.library = -2305, .token = ctk::error::kAuthenticationFailed},
                          Case{.library = -2310, .token = ctk::error::kAuthenticationFailed},
                          Case{.library = -1701, .token = ctk::error::kAuthenticationNeeded},
                          Case{.library = -1100, .token = ctk::error::kCommunicationError}}) {
        SCOPED_TRACE(c.library);
        world.card->clearCalls();
        world.card->failNext(FakeCardDriver::Op::Sign, c.library);
        ctk::SignOutcome outcome = sign(kAuthenticationKey, KeyAlgorithm::ECDSASignatureDigestX962, digest, "111111");
        EXPECT_FALSE(outcome.signature);
        EXPECT_EQ(errorCode(outcome), c.token);
        EXPECT_EQ(world.card->calls(),
                  (std::vector<std::string>{"verify " + label(0), "sign 6 " + label(0), "logout " + label(0)}));
    }
}

TEST_F(SessionFixture, TheVerifiedPinServesOnlyItsContainerAndOneAttempt) {
    std::shared_ptr<TokenSession> s = session();
    const ctk::TokenKeyAlgorithm x962(KeyAlgorithm::ECDSASignatureDigestX962);
    std::optional<ctk::Error> error;

    // A key of another container: the verified PIN is logged out, and that key needs its own.
    ASSERT_TRUE(login(*s, 0x01, "111111", &error));
    EXPECT_FALSE(s->signData(digest, kAuthorizationKey, x962, &error));
    EXPECT_EQ(error->code, ctk::error::kAuthenticationNeeded);
    EXPECT_FALSE(s->signData(digest, kAuthenticationKey, x962, &error));
    EXPECT_EQ(error->code, ctk::error::kAuthenticationNeeded);

    // An algorithm without a card signature and an unknown key are refused before the card.
    ASSERT_TRUE(login(*s, 0x01, "111111", &error));
    EXPECT_FALSE(s->signData(digest, kAuthenticationKey,
                             ctk::TokenKeyAlgorithm(KeyAlgorithm::ECDSASignatureMessageX962SHA256), &error));
    EXPECT_EQ(error->code, ctk::error::kBadParameter);
    ASSERT_TRUE(login(*s, 0x01, "111111", &error));
    EXPECT_FALSE(s->signData(digest, {0x45, 0x09, 0x02}, x962, &error));
    EXPECT_EQ(error->code, ctk::error::kObjectNotFound);

    // A new PIN operation withdraws a PIN that was not used.
    ASSERT_TRUE(login(*s, 0x01, "111111", &error));
    s->beginAuthForOperation(ctk::TokenOperation::SignData, Bytes{0x01}, nullptr);
    EXPECT_FALSE(s->signData(digest, kAuthenticationKey, x962, &error));

    // A constraint that names no container fails the PIN operation without the card.
    EXPECT_FALSE(login(*s, 0x09, "111111", &error));
    EXPECT_EQ(error->code, ctk::error::kBadParameter);

    const std::string verify = "verify " + label(0), logout = "logout " + label(0);
    EXPECT_EQ(world.card->calls(),
              (std::vector<std::string>{verify, logout, verify, logout, verify, logout, verify, logout}));

    // Decryption and key exchange are refused.
    EXPECT_FALSE(s->decryptData(digest, kAuthenticationKey, x962, &error));
    EXPECT_EQ(error->code, ctk::error::kAuthenticationNeeded);
    EXPECT_FALSE(s->performKeyExchange(digest, kAuthenticationKey, x962, {}, &error));
    EXPECT_EQ(error->code, ctk::error::kAuthenticationNeeded);
}

// The algorithms no other test signs with: each reaches the card library as its own signature.
TEST_F(SessionFixture, RawEncryptionAndTheHashedEcdsaAlgorithmsSignAsTheirRows) {
    std::shared_ptr<TokenSession> s = session();
    const Bytes sha1 = [] {
        Bytes d(20);
        EVP_Digest("a message to sign", 17, d.data(), nullptr, EVP_sha1(), nullptr);
        return d;
    }();
    struct Case {
        Bytes key;
        unsigned char constraint;
        const char* pin;
        KeyAlgorithm algorithm;
        Bytes data;
        const char* call;
    };
    // clang-format off
    const Case cases[] = {
        {kQualifiedKey,      0x03, "333333", KeyAlgorithm::RSAEncryptionRaw,               pkcs1Block(digest), "sign 1 "},
        {kAuthenticationKey, 0x01, "111111", KeyAlgorithm::ECDSASignatureDigestX962SHA1,   sha1,               "sign 7 "},
        {kAuthenticationKey, 0x01, "111111", KeyAlgorithm::ECDSASignatureDigestX962SHA256, digest,             "sign 8 "},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        world.card->clearCalls();
        std::optional<ctk::Error> error;
        ASSERT_TRUE(login(*s, c.constraint, c.pin, &error));
        const auto signature = s->signData(c.data, c.key, ctk::TokenKeyAlgorithm(c.algorithm), &error);
        ASSERT_TRUE(signature) << (error ? error->code : 0);
        const std::string container = label(c.constraint - 1);
        EXPECT_EQ(world.card->calls(),
                  (std::vector<std::string>{"verify " + container, c.call + container, "logout " + container}));
        if (c.algorithm == KeyAlgorithm::RSAEncryptionRaw) {
            EXPECT_TRUE(gctest::verifiesWithCertificate(certificateOf(c.key), message, *signature));
        }
    }
}

TEST_F(SessionFixture, OffersTheAlgorithmsOfTheKeysMechanisms) {
    std::shared_ptr<TokenSession> s = session();
    struct Case {
        Bytes key;
        ctk::TokenOperation operation;
        KeyAlgorithm algorithm;
        bool offered;
    };
    using ctk::TokenOperation;
    const Case cases[] = {
        {kAuthenticationKey, TokenOperation::SignData, KeyAlgorithm::ECDSASignatureDigestX962, true},
        {kAuthenticationKey, TokenOperation::SignData, KeyAlgorithm::ECDSASignatureDigestX962SHA384, true},
        {kAuthenticationKey, TokenOperation::SignData, KeyAlgorithm::ECDSASignatureDigestX962SHA512, true},
        {kAuthenticationKey, TokenOperation::SignData, KeyAlgorithm::ECDSASignatureDigestX962SHA256, false},
        {kAuthenticationKey, TokenOperation::SignData, KeyAlgorithm::ECDSASignatureDigestX962SHA1, false},
        {kAuthenticationKey, TokenOperation::SignData, KeyAlgorithm::RSASignatureRaw, false},
        {kAuthenticationKey, TokenOperation::DecryptData, KeyAlgorithm::ECDSASignatureDigestX962, false},
        {kAuthenticationKey, TokenOperation::PerformKeyExchange, KeyAlgorithm::ECDHKeyExchangeStandard, false},
        {kQualifiedKey, TokenOperation::SignData, KeyAlgorithm::RSASignatureDigestPKCS1v15SHA1, true},
        {kQualifiedKey, TokenOperation::SignData, KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256, true},
        {kQualifiedKey, TokenOperation::SignData, KeyAlgorithm::RSASignatureDigestPKCS1v15SHA512, true},
        {kQualifiedKey, TokenOperation::SignData, KeyAlgorithm::RSASignatureRaw, true},
        {kQualifiedKey, TokenOperation::SignData, KeyAlgorithm::RSASignatureDigestPKCS1v15SHA224, false},
        {kQualifiedKey, TokenOperation::SignData, KeyAlgorithm::RSASignatureDigestPKCS1v15Raw, false},
        {kQualifiedKey, TokenOperation::SignData, KeyAlgorithm::ECDSASignatureDigestX962, false},
        {{0x45, 0x09, 0x02}, TokenOperation::SignData, KeyAlgorithm::ECDSASignatureDigestX962, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(s->supportsOperation(c.operation, c.key, ctk::TokenKeyAlgorithm(c.algorithm)), c.offered)
            << static_cast<int>(c.algorithm) << " key " << static_cast<int>(c.key[1]);
    }

    // The key's usage opens each operation before its mechanisms are asked: signing wants 2 or 16,
    // decryption 8, key exchange 4; 1 alone opens none.
    auto* key = static_cast<GC_PrivKeyObject*>(token->getContainer(0)->getPrivateKey());
    const uint64_t usage = key->usage;
    struct Gate {
        uint64_t usage;
        TokenOperation operation;
        bool offered;
    };
    const Gate gates[] = {
        {.usage = GC_PrivKeyObject::USAGE_ENCRYPT, .operation = TokenOperation::SignData, .offered = false},
        {.usage = GC_PrivKeyObject::USAGE_ENCRYPT, .operation = TokenOperation::DecryptData, .offered = false},
        {.usage = GC_PrivKeyObject::USAGE_ENCRYPT, .operation = TokenOperation::PerformKeyExchange, .offered = false},
        {.usage = GC_PrivKeyObject::USAGE_WRAP, .operation = TokenOperation::DecryptData, .offered = true},
        {.usage = GC_PrivKeyObject::USAGE_WRAP, .operation = TokenOperation::SignData, .offered = false},
        {.usage = GC_PrivKeyObject::USAGE_DERIVE, .operation = TokenOperation::PerformKeyExchange, .offered = true},
        {.usage = GC_PrivKeyObject::USAGE_DERIVE, .operation = TokenOperation::DecryptData, .offered = false},
        {.usage = GC_PrivKeyObject::USAGE_NON_REPUDIATION, .operation = TokenOperation::SignData, .offered = true},
    };
    for (const Gate& g : gates) {
        key->usage = g.usage;
        EXPECT_EQ(s->supportsOperation(g.operation, kAuthenticationKey,
                                       ctk::TokenKeyAlgorithm(KeyAlgorithm::ECDSASignatureDigestX962)),
                  g.offered)
            << "usage " << g.usage << " operation " << static_cast<int>(g.operation);
    }
    key->usage = usage;

    // A mechanism counts only when one of its two signing capability bytes is set.
    auto mechanism = std::make_shared<GC_Container::mechanism_info>();
    mechanism->mechanism = GC_Container::MECHANISM_EC;
    mechanism->hashFormats = 0x3B;
    mechanism->paddings = 1;
    mechanism->capabilities = {1, 1, 0, 0};
    EXPECT_FALSE(mechanismsOffer({mechanism}, GC_Object::KEY_EC,
                                 ctk::TokenKeyAlgorithm(KeyAlgorithm::ECDSASignatureDigestX962)));
    mechanism->capabilities = {0, 0, 0, 1};
    EXPECT_TRUE(mechanismsOffer({mechanism}, GC_Object::KEY_EC,
                                ctk::TokenKeyAlgorithm(KeyAlgorithm::ECDSASignatureDigestX962)));
}

}  // namespace
