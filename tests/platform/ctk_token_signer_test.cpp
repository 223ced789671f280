#include "platform/ctk_token_signer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;
using ctk::TokenOperation;

// A token that signs only after the PIN "1234", once per PIN, and writes down what the platform asked.
struct Script {
    std::vector<std::string> calls;
    bool supported = true;
    bool authorised = false;
};

class PinOperation : public ctk::TokenSmartCardPINAuthOperation {
public:
    explicit PinOperation(Script& script) : script_(script) {}
    bool finishWithError(std::optional<ctk::Error>* error) override {
        script_.calls.push_back("finish " + PIN());
        script_.authorised = PIN() == "1234";
        if (!script_.authorised && error != nullptr) *error = ctk::Error{ctk::error::kAuthenticationFailed, "wrong"};
        return script_.authorised;
    }

private:
    Script& script_;
};

class ScriptedSession : public ctk::TokenSession {
public:
    ScriptedSession(std::shared_ptr<ctk::Token> token, Script& script)
        : TokenSession(std::move(token)), script_(script) {}
    bool supportsOperation(TokenOperation operation, const ctk::ObjectID&,
                           const ctk::TokenKeyAlgorithm& algorithm) override {
        script_.calls.push_back("supports");
        return script_.supported && operation == TokenOperation::SignData &&
               algorithm.isAlgorithm(sec::KeyAlgorithm::ECDSASignatureDigestX962);
    }
    std::shared_ptr<ctk::TokenAuthOperation> beginAuthForOperation(TokenOperation, const ctk::Constraint& constraint,
                                                                   std::optional<ctk::Error>*) override {
        script_.calls.push_back("begin " + std::to_string(std::get<Bytes>(constraint).at(0)));
        return std::make_shared<PinOperation>(script_);
    }
    std::optional<Bytes> signData(const Bytes& data, const ctk::ObjectID&, const ctk::TokenKeyAlgorithm&,
                                  std::optional<ctk::Error>* error) override {
        script_.calls.push_back("sign");
        if (!script_.authorised) {
            *error = ctk::Error{ctk::error::kAuthenticationNeeded, "PIN"};
            return std::nullopt;
        }
        script_.authorised = false;
        return data;
    }

private:
    Script& script_;
};

class ScriptedToken : public ctk::Token {
public:
    explicit ScriptedToken(Script& script) : Token("instance", nullptr), script_(script) {}
    std::shared_ptr<ctk::TokenSession> createSession(std::optional<ctk::Error>*) override {
        script_.calls.push_back("session");
        return std::make_shared<ScriptedSession>(shared_from_this(), script_);
    }

private:
    Script& script_;
};

struct SignerFixture : ::testing::Test {
    void SetUp() override {
        const std::string der = gctest::readFile(gctest::dataPath("asn1/cert-p256.der"));
        auto certificate = sec::Certificate::createWithData(Bytes(der.begin(), der.end()));
        // A certificate item under the key's identifier must not be taken for the key.
        auto certificateItem = ctk::KeychainCertificate::create(certificate, kKeyId);
        auto key = ctk::KeychainKey::create(certificate, kKeyId);
        ASSERT_TRUE(key && certificateItem);
        key->setCanSign(true);
        key->setConstraints({{TokenOperation::SignData, Bytes{0x07}}});
        token->keychainContents().fillWithItems({certificateItem, key});
    }
    ctk::SignOutcome sign(const Bytes& keyId, const char* pin) {
        return signer.sign(keyId, sec::KeyAlgorithm::ECDSASignatureDigestX962, kData,
                           [pin](ctk::TokenSmartCardPINAuthOperation& operation) {
                               if (pin == nullptr) return false;
                               operation.setPIN(pin);
                               return true;
                           });
    }

    const Bytes kKeyId{0x45, 0x02};
    const Bytes kData{0xAA, 0xBB};
    Script script;
    std::shared_ptr<ScriptedToken> token = std::make_shared<ScriptedToken>(script);
    ctk::TokenSigner signer{token};
};

TEST_F(SignerFixture, AuthenticationNeededRunsThePinOperationAndSignsAgainEachTime) {
    for (int round = 0; round < 2; ++round) {
        script.calls.clear();
        ctk::SignOutcome outcome = sign(kKeyId, "1234");
        ASSERT_TRUE(outcome.signature);
        EXPECT_EQ(*outcome.signature, kData);
        EXPECT_FALSE(outcome.error);
        EXPECT_EQ(outcome.pinPrompts, 1);
        std::vector<std::string> expected{"supports", "sign", "begin 7", "finish 1234", "sign"};
        if (round == 0) expected.insert(expected.begin(), "session");  // one session for the signer
        EXPECT_EQ(script.calls, expected);
    }
}

TEST_F(SignerFixture, RefusalsStopTheProtocolWhereTheyHappen) {
    ctk::SignOutcome wrong = sign(kKeyId, "9999");
    EXPECT_FALSE(wrong.signature);
    ASSERT_TRUE(wrong.error);
    EXPECT_EQ(wrong.error->code, ctk::error::kAuthenticationFailed);
    EXPECT_EQ(script.calls.back(), "finish 9999");  // no second signature request

    script.calls.clear();
    ctk::SignOutcome cancelled = sign(kKeyId, nullptr);
    ASSERT_TRUE(cancelled.error);
    EXPECT_EQ(cancelled.error->code, ctk::error::kCanceledByUser);
    EXPECT_EQ(script.calls, (std::vector<std::string>{"supports", "sign", "begin 7"}));

    script.calls.clear();
    ctk::SignOutcome unknown = sign({0x45, 0x01}, "1234");
    ASSERT_TRUE(unknown.error);
    EXPECT_EQ(unknown.error->code, ctk::error::kObjectNotFound);
    EXPECT_TRUE(script.calls.empty());

    script.supported = false;
    ctk::SignOutcome unsupported = sign(kKeyId, "1234");
    EXPECT_FALSE(unsupported.signature);
    EXPECT_EQ(script.calls, std::vector<std::string>{"supports"});
}

}  // namespace
