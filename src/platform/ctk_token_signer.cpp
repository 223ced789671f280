#include "platform/ctk_token_signer.h"

namespace ctk {

SignOutcome TokenSigner::sign(const ObjectID& keyObjectID, sec::KeyAlgorithm algorithm, const Bytes& data,
                              const PinDialog& pinDialog) {
    SignOutcome outcome;
    if (!token_) {
        outcome.error = Error{error::kTokenNotFound, "no token"};
        return outcome;
    }
    std::shared_ptr<KeychainKey> key = token_->keychainContents().keyForObjectID(keyObjectID, &outcome.error);
    if (!key) return outcome;
    if (!key->canSign()) {
        outcome.error = Error{error::kNotImplemented, "the key cannot sign"};
        return outcome;
    }
    if (!session_) {
        session_ = token_->createSession(&outcome.error);
        if (!session_) {
            if (!outcome.error) outcome.error = Error{error::kTokenNotFound, "the token opened no session"};
            return outcome;
        }
    }
    const TokenKeyAlgorithm requested(algorithm);
    if (!session_->supportsOperation(TokenOperation::SignData, keyObjectID, requested)) {
        outcome.error = Error{error::kNotImplemented, "the key does not support the algorithm"};
        return outcome;
    }

    outcome.signature = session_->signData(data, keyObjectID, requested, &outcome.error);
    if (outcome.signature || !outcome.error || outcome.error->code != error::kAuthenticationNeeded) return outcome;

    outcome.error.reset();
    if (!authenticate(*key, pinDialog, outcome)) return outcome;
    outcome.signature = session_->signData(data, keyObjectID, requested, &outcome.error);
    if (outcome.signature) outcome.error.reset();
    return outcome;
}

bool TokenSigner::authenticate(const KeychainKey& key, const PinDialog& pinDialog, SignOutcome& outcome) {
    const auto& constraints = key.constraints();
    const auto entry = constraints.find(TokenOperation::SignData);
    const Constraint constraint = entry != constraints.end() ? entry->second : Constraint{true};

    std::shared_ptr<TokenAuthOperation> operation =
        session_->beginAuthForOperation(TokenOperation::SignData, constraint, &outcome.error);
    if (!operation) {
        if (!outcome.error) outcome.error = Error{error::kAuthenticationFailed, "no authentication operation"};
        return false;
    }
    if (auto* pinOperation = dynamic_cast<TokenSmartCardPINAuthOperation*>(operation.get())) {
        ++outcome.pinPrompts;
        if (!pinDialog || !pinDialog(*pinOperation)) {
            outcome.error = Error{error::kCanceledByUser, "PIN entry cancelled"};
            return false;
        }
    }
    return operation->finishWithError(&outcome.error);
}

}  // namespace ctk
