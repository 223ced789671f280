#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ctk_error.h"
#include "platform/ctk_keychain.h"
#include "platform/sec_key_algorithm.h"

// The token side of the platform's smart-card token framework: the driver the platform starts
// when a card the extension serves is inserted, the token it makes per card, the sessions the
// platform opens on a token when an application uses one of its keys, and the authentication
// operations a session hands out when an operation needs a PIN. The extension subclasses them;
// the virtual functions are where the platform calls the extension, on threads of its own.
namespace ctk {

class SmartCard;
class Token;
class SmartCardToken;
class TokenSession;

// The algorithm an application asked for.
class TokenKeyAlgorithm {
public:
    explicit TokenKeyAlgorithm(sec::KeyAlgorithm algorithm) : algorithm_(algorithm) {}
    bool isAlgorithm(sec::KeyAlgorithm algorithm) const { return algorithm == algorithm_; }

private:
    sec::KeyAlgorithm algorithm_;
};

struct TokenKeyExchangeParameters {
    long requestedSize = 0;
    Bytes sharedInfo;
};

// Owned by the platform through a std::shared_ptr.
class TokenDriver : public std::enable_shared_from_this<TokenDriver> {
public:
    virtual ~TokenDriver() = default;
    TokenDriver(const TokenDriver&) = delete;
    TokenDriver& operator=(const TokenDriver&) = delete;

protected:
    TokenDriver() = default;
};

class SmartCardTokenDriver : public TokenDriver {
public:
    // A token for a card just inserted (its application AID, when the extension declared one);
    // null refuses the card.
    virtual std::shared_ptr<SmartCardToken> createTokenForSmartCard(std::shared_ptr<SmartCard> smartCard,
                                                                    const std::optional<Bytes>& AID,
                                                                    std::optional<Error>* error) = 0;
};

class Token : public std::enable_shared_from_this<Token> {
public:
    virtual ~Token() = default;
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;

    const std::string& instanceID() const { return instanceID_; }
    KeychainContents& keychainContents() { return keychainContents_; }
    // The driver that made the token; null once it is gone (it is not kept alive by its tokens).
    std::shared_ptr<TokenDriver> tokenDriver() const { return tokenDriver_.lock(); }

    // A session for an application that starts using the token's keys; null refuses.
    virtual std::shared_ptr<TokenSession> createSession(std::optional<Error>* error) = 0;

protected:
    Token(std::string instanceID, TokenDriver* tokenDriver);

private:
    const std::string instanceID_;
    const std::weak_ptr<TokenDriver> tokenDriver_;
    KeychainContents keychainContents_;
};

class SmartCardToken : public Token {
public:
    const std::shared_ptr<SmartCard>& smartCard() const { return smartCard_; }
    const std::optional<Bytes>& AID() const { return AID_; }

protected:
    SmartCardToken(std::shared_ptr<SmartCard> smartCard, std::optional<Bytes> AID, std::string instanceID,
                   TokenDriver* tokenDriver);

private:
    const std::shared_ptr<SmartCard> smartCard_;
    const std::optional<Bytes> AID_;
};

// What a session needs done before it can go on; the platform runs the interaction it asks for
// and then calls finishWithError.
class TokenAuthOperation {
public:
    virtual ~TokenAuthOperation() = default;
    TokenAuthOperation() = default;
    TokenAuthOperation(const TokenAuthOperation&) = delete;
    TokenAuthOperation& operator=(const TokenAuthOperation&) = delete;

    // Completes the operation once the interaction is done; false (with the error when there is
    // one) when it failed.
    virtual bool finishWithError(std::optional<Error>* error);
};

// A PIN to be entered by the user for a smart-card token. The PIN is wiped when it is replaced
// and when the operation goes away.
class TokenSmartCardPINAuthOperation : public TokenAuthOperation {
public:
    ~TokenSmartCardPINAuthOperation() override;

    // The PIN the user entered; empty until the platform's PIN dialog set it.
    const std::string& PIN() const { return pin_; }
    void setPIN(std::string_view pin);

private:
    std::string pin_;
};

// A session of one application on a token. Without an override every operation is refused.
class TokenSession {
public:
    explicit TokenSession(std::shared_ptr<Token> token) : token_(std::move(token)) {}
    virtual ~TokenSession() = default;
    TokenSession(const TokenSession&) = delete;
    TokenSession& operator=(const TokenSession&) = delete;

    const std::shared_ptr<Token>& token() const { return token_; }

    virtual bool supportsOperation(TokenOperation operation, const ObjectID& keyObjectID,
                                   const TokenKeyAlgorithm& algorithm);
    // The authentication an operation needs, for the key's constraint of that operation.
    virtual std::shared_ptr<TokenAuthOperation> beginAuthForOperation(TokenOperation operation,
                                                                      const Constraint& constraint,
                                                                      std::optional<Error>* error);
    virtual std::optional<Bytes> signData(const Bytes& dataToSign, const ObjectID& keyObjectID,
                                          const TokenKeyAlgorithm& algorithm, std::optional<Error>* error);
    virtual std::optional<Bytes> decryptData(const Bytes& ciphertext, const ObjectID& keyObjectID,
                                             const TokenKeyAlgorithm& algorithm, std::optional<Error>* error);
    virtual std::optional<Bytes> performKeyExchange(const Bytes& otherPartyPublicKeyData, const ObjectID& keyObjectID,
                                                    const TokenKeyAlgorithm& algorithm,
                                                    const TokenKeyExchangeParameters& parameters,
                                                    std::optional<Error>* error);

private:
    const std::shared_ptr<Token> token_;
};

class SmartCardTokenSession : public TokenSession {
public:
    explicit SmartCardTokenSession(std::shared_ptr<SmartCardToken> token);
    // The card of the session's token.
    std::shared_ptr<SmartCard> smartCard() const;
};

}  // namespace ctk
