#pragma once

#include <memory>
#include <optional>

#include "platform/ctk_token.h"

class Token;

// The PIN entry a session asks for before a signature: once the platform's dialog has set the
// PIN, finishWithError verifies it on the card for the container that the key's constraint names.
class TokenAuthOperation : public ctk::TokenSmartCardPINAuthOperation {
public:
    // authID: the key's constraint, one byte holding the container's index + 1 (within the
    // token of the session that made the operation).
    TokenAuthOperation(std::shared_ptr<Token> token, ctk::Bytes authID);
    ~TokenAuthOperation() override;

    const ctk::Bytes& authID() const { return authID_; }

    // True once the PIN is verified; false with the reason in the error otherwise (authentication
    // failed for a wrong, blocked or empty PIN).
    bool finishWithError(std::optional<ctk::Error>* error) override;

private:
    const std::shared_ptr<Token> token_;
    const ctk::Bytes authID_;
};
