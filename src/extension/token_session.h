#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "platform/ctk_token.h"

class Token;

// A session of one application on a token. It tells the platform which operations and
// algorithms a key supports, hands out the PIN operation, and signs with the card: a PIN verified
// for the key's container allows exactly one signature attempt, after which the card logs the PIN
// out again. Decryption and key exchange are refused.
class TokenSession : public ctk::SmartCardTokenSession {
public:
    TokenSession(std::shared_ptr<Token> token, int sessId);
    ~TokenSession() override;

    const std::shared_ptr<Token>& cardToken() const { return token_; }
    int sessId() const { return sessId_; }

    bool supportsOperation(ctk::TokenOperation operation, const ctk::ObjectID& keyObjectID,
                           const ctk::TokenKeyAlgorithm& algorithm) override;
    std::shared_ptr<ctk::TokenAuthOperation> beginAuthForOperation(ctk::TokenOperation operation,
                                                                   const ctk::Constraint& constraint,
                                                                   std::optional<ctk::Error>* error) override;
    std::optional<ctk::Bytes> signData(const ctk::Bytes& dataToSign, const ctk::ObjectID& keyObjectID,
                                       const ctk::TokenKeyAlgorithm& algorithm,
                                       std::optional<ctk::Error>* error) override;
    std::optional<ctk::Bytes> decryptData(const ctk::Bytes& ciphertext, const ctk::ObjectID& keyObjectID,
                                          const ctk::TokenKeyAlgorithm& algorithm,
                                          std::optional<ctk::Error>* error) override;
    std::optional<ctk::Bytes> performKeyExchange(const ctk::Bytes& otherPartyPublicKeyData,
                                                 const ctk::ObjectID& keyObjectID,
                                                 const ctk::TokenKeyAlgorithm& algorithm,
                                                 const ctk::TokenKeyExchangeParameters& parameters,
                                                 std::optional<ctk::Error>* error) override;
    void closeSession();

private:
    const std::shared_ptr<Token> token_;
    const int sessId_;
    // The signing run: from the first request until a signature succeeds (PIN dialog and failed
    // attempts included). Touched only under the token's card lock.
    bool signRunning_ = false;
    std::chrono::steady_clock::time_point signStartTime_;
};
