#include "platform/ctk_token.h"

#include <utility>

#include "Data/wipe.h"

namespace ctk {

namespace {

void refuse(std::optional<Error>* error) {
    if (error != nullptr) *error = Error{error::kNotImplemented, "operation not supported"};
}

}  // namespace

Token::Token(std::string instanceID, TokenDriver* tokenDriver)
    : instanceID_(std::move(instanceID)),
      tokenDriver_(tokenDriver != nullptr ? tokenDriver->weak_from_this() : std::weak_ptr<TokenDriver>()) {}

SmartCardToken::SmartCardToken(std::shared_ptr<SmartCard> smartCard, std::optional<Bytes> AID, std::string instanceID,
                               TokenDriver* tokenDriver)
    : Token(std::move(instanceID), tokenDriver), smartCard_(std::move(smartCard)), AID_(std::move(AID)) {}

bool TokenAuthOperation::finishWithError(std::optional<Error>*) {
    return true;
}

TokenSmartCardPINAuthOperation::~TokenSmartCardPINAuthOperation() {
    gc_wipe(pin_);
}

void TokenSmartCardPINAuthOperation::setPIN(std::string_view pin) {
    // Wiped before it is overwritten: a longer PIN makes the string move to a new block.
    gc_wipe(pin_);
    pin_.assign(pin);
}

bool TokenSession::supportsOperation(TokenOperation, const ObjectID&, const TokenKeyAlgorithm&) {
    return false;
}

std::shared_ptr<TokenAuthOperation> TokenSession::beginAuthForOperation(TokenOperation, const Constraint&,
                                                                        std::optional<Error>* error) {
    refuse(error);
    return nullptr;
}

std::optional<Bytes> TokenSession::signData(const Bytes&, const ObjectID&, const TokenKeyAlgorithm&,
                                            std::optional<Error>* error) {
    refuse(error);
    return std::nullopt;
}

std::optional<Bytes> TokenSession::decryptData(const Bytes&, const ObjectID&, const TokenKeyAlgorithm&,
                                               std::optional<Error>* error) {
    refuse(error);
    return std::nullopt;
}

std::optional<Bytes> TokenSession::performKeyExchange(const Bytes&, const ObjectID&, const TokenKeyAlgorithm&,
                                                      const TokenKeyExchangeParameters&, std::optional<Error>* error) {
    refuse(error);
    return std::nullopt;
}

SmartCardTokenSession::SmartCardTokenSession(std::shared_ptr<SmartCardToken> token) : TokenSession(std::move(token)) {}

std::shared_ptr<SmartCard> SmartCardTokenSession::smartCard() const {
    auto* smartCardToken = static_cast<SmartCardToken*>(token().get());
    return smartCardToken != nullptr ? smartCardToken->smartCard() : nullptr;
}

}  // namespace ctk
