#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/ctk_token.h"

// The platform's part when an application signs with a key of a token: it opens a session on the
// token (once, for all signatures of this signer), asks whether the key supports the algorithm,
// asks for the signature and, when the session answers that authentication is needed, has the
// session make its authentication operation, lets the user enter the PIN, finishes the operation
// and asks for the signature once more.
namespace ctk {

// The PIN dialog: puts the PIN the user typed into the operation (TokenSmartCardPINAuthOperation::
// setPIN); false when the user cancels.
using PinDialog = std::function<bool(TokenSmartCardPINAuthOperation& operation)>;

struct SignOutcome {
    std::optional<Bytes> signature;
    // Why there is no signature: the error the token set, or the platform's own. Empty when the
    // token refused without saying why.
    std::optional<Error> error;
    // How often the PIN dialog was shown.
    int pinPrompts = 0;
};

// One application using a token's keys; not for use from several threads at once.
class TokenSigner {
public:
    explicit TokenSigner(std::shared_ptr<Token> token) : token_(std::move(token)) {}

    SignOutcome sign(const ObjectID& keyObjectID, sec::KeyAlgorithm algorithm, const Bytes& data,
                     const PinDialog& pinDialog);

    // The session in use; null before the first signature.
    const std::shared_ptr<TokenSession>& session() const { return session_; }

private:
    // Has the session authenticate the operation under the key's constraint; false with the
    // error in the outcome when it did not.
    bool authenticate(const KeychainKey& key, const PinDialog& pinDialog, SignOutcome& outcome);

    std::shared_ptr<Token> token_;
    std::shared_ptr<TokenSession> session_;
};

}  // namespace ctk
