#include "extension/token_session.h"

#include <variant>

#include "Data/Container/container.h"
#include "Data/Objects/privkeyobject.h"
#include "extension/algorithm_name.h"
#include "extension/categories.h"
#include "extension/signing_algorithms.h"
#include "extension/status_to_error.h"
#include "extension/token.h"
#include "extension/token_auth_operation.h"
#include "extension/utils.h"
#include "platform/system_log.h"

namespace {

const char* operationText(ctk::TokenOperation operation) {
    const char* text = Utils::operationName(static_cast<long>(operation));
    return text != nullptr ? text : "(null)";
}

// Whether the key's usage allows the operation at all.
bool usageAllows(ctk::TokenOperation operation, uint64_t usage) {
    switch (operation) {
        case ctk::TokenOperation::SignData:
            return (usage & (GC_PrivKeyObject::USAGE_SIGN | GC_PrivKeyObject::USAGE_NON_REPUDIATION)) != 0;
        case ctk::TokenOperation::DecryptData:
            return (usage & GC_PrivKeyObject::USAGE_WRAP) != 0;
        case ctk::TokenOperation::PerformKeyExchange:
            return (usage & GC_PrivKeyObject::USAGE_DERIVE) != 0;
        default:
            return false;
    }
}

std::optional<ctk::Bytes> refuse(std::optional<ctk::Error>* error, ctk::Error reason) {
    if (error != nullptr) *error = std::move(reason);
    return std::nullopt;
}

const ctk::Error kAuthenticationNeeded{ctk::error::kAuthenticationNeeded, "Authentication required!"};

}  // namespace

TokenSession::TokenSession(std::shared_ptr<Token> token, int sessId)
    : ctk::SmartCardTokenSession(token), token_(std::move(token)), sessId_(sessId) {
    plat::systemLog("TokenSession:initWithToken");
    plat::systemLog("initWithToken completed");
}

TokenSession::~TokenSession() {
    plat::systemLog("TokenSession:dealloc sessId=%d", sessId_);
}

bool TokenSession::supportsOperation(ctk::TokenOperation operation, const ctk::ObjectID& keyObjectID,
                                     const ctk::TokenKeyAlgorithm& algorithm) {
    GC_PrivKeyObject* key = nullptr;
    std::shared_ptr<GC_Container> container = token_->findContainerByPrivKey(keyObjectID, &key);
    if (!container || key == nullptr) {
        plat::systemLog("TokenSession:supportsOperation | Key %s not found", toHex(keyObjectID).c_str());
        return false;
    }
    const bool supported = usageAllows(operation, key->usage) &&
                           mechanismsOffer(container->getSupportedMechanism(), key->keyType, algorithm);
    const char* algorithmName = name(algorithm);
    plat::systemLog("TokenSession:supportsOperation | %s %s = %i", operationText(operation),
                    algorithmName != nullptr ? algorithmName : "(null)", supported ? 1 : 0);
    return supported;
}

std::shared_ptr<ctk::TokenAuthOperation> TokenSession::beginAuthForOperation(ctk::TokenOperation operation,
                                                                             const ctk::Constraint& constraint,
                                                                             std::optional<ctk::Error>*) {
    plat::systemLog("TokenSession:beginAuthForOperation %s", operationText(operation));
    // A new PIN entry withdraws a verified PIN that was not used.
    token_->lockCard().logout();
    // A constraint other than the container byte names no container.
    const ctk::Bytes* authID = std::get_if<ctk::Bytes>(&constraint);
    return std::make_shared<TokenAuthOperation>(token_, authID != nullptr ? *authID : ctk::Bytes{});
}

std::optional<ctk::Bytes> TokenSession::signData(const ctk::Bytes& dataToSign, const ctk::ObjectID& keyObjectID,
                                                 const ctk::TokenKeyAlgorithm& algorithm,
                                                 std::optional<ctk::Error>* error) {
    Token::CardLock card = token_->lockCard();
    plat::systemLog("TokenSession:signData | called, sessId=%d authStatus=%d, keyId=%s", sessId_,
                    card.verifiedContainer() ? 1 : 0, toHex(keyObjectID).c_str());
    if (!signRunning_) {
        signStartTime_ = std::chrono::steady_clock::now();
        signRunning_ = true;
    }
    if (!card.verifiedContainer()) {
        plat::systemLog("TokenSession:signData return TKErrorCodeAuthenticationNeeded");
        return refuse(error, kAuthenticationNeeded);
    }

    // From here on the verified PIN is used up: every way out logs it out.
    GC_PrivKeyObject* key = nullptr;
    std::shared_ptr<GC_Container> container = token_->findContainerByPrivKey(keyObjectID, &key);
    if (!container || key == nullptr) {
        plat::systemLog("TokenSession:signData | private key %s not found", toHex(keyObjectID).c_str());
        card.logout();
        return refuse(error, {ctk::error::kObjectNotFound, "no such key on the card"});
    }
    if (container != card.verifiedContainer()) {
        plat::systemLog("TokenSession:signData | the PIN was verified for another container");
        card.logout();
        return refuse(error, kAuthenticationNeeded);
    }
    const std::optional<CardDriver::signature_alghoritm> cardAlgorithm = driverAlgorithm(algorithm);
    if (!cardAlgorithm) {
        plat::systemLog("TokenSession:signData | no signature for this algorithm");
        card.logout();
        return refuse(error, {ctk::error::kBadParameter, "algorithm not supported"});
    }

    plat::systemLog("TokenSession:signData | signatureData()");
    std::vector<uint8_t> signature;
    const int result = card.driver()->signatureData(container, key, dataToSign, *cardAlgorithm, signature);
    plat::systemLog("TokenSession:signData | r=%d", result);
    card.logout();
    if (result != 0) {
        plat::systemLog("TokenSession:signData | Wrror sign, r=%d", result);
        return refuse(error, statusToError(result));
    }
    signRunning_ = false;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - signStartTime_;
    plat::systemLog("TokenSession:signData | completed %.5f s", elapsed.count());
    return signature;
}

std::optional<ctk::Bytes> TokenSession::decryptData(const ctk::Bytes&, const ctk::ObjectID&,
                                                    const ctk::TokenKeyAlgorithm&, std::optional<ctk::Error>* error) {
    plat::systemLog("TokenSession:decryptData | called");
    return refuse(error, kAuthenticationNeeded);
}

std::optional<ctk::Bytes> TokenSession::performKeyExchange(const ctk::Bytes&, const ctk::ObjectID&,
                                                           const ctk::TokenKeyAlgorithm&,
                                                           const ctk::TokenKeyExchangeParameters&,
                                                           std::optional<ctk::Error>* error) {
    plat::systemLog("TokenSession:performKeyExchange | called");
    return refuse(error, kAuthenticationNeeded);
}

void TokenSession::closeSession() {
    plat::systemLog("TokenSession:closeSession | called");
}
