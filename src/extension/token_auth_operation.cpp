#include "extension/token_auth_operation.h"

#include "Data/Container/container.h"
#include "Data/wipe.h"
#include "extension/categories.h"
#include "extension/status_to_error.h"
#include "extension/token.h"
#include "platform/system_log.h"

namespace {

bool fail(std::optional<ctk::Error>* error, ctk::Error reason) {
    plat::systemLog("TokenAuthOperation: auth failed");
    if (error != nullptr) *error = std::move(reason);
    return false;
}

}  // namespace

TokenAuthOperation::TokenAuthOperation(std::shared_ptr<Token> token, ctk::Bytes authID)
    : token_(std::move(token)), authID_(std::move(authID)) {
    plat::systemLog("TokenAuthOperation:initWithSession | called authID=%s,", toHex(authID_).c_str());
}

TokenAuthOperation::~TokenAuthOperation() {
    plat::systemLog("TokenAuthOperation:dealloc");
}

bool TokenAuthOperation::finishWithError(std::optional<ctk::Error>* error) {
    plat::systemLog("TokenAuthOperation:finishWithError | called");
    if (!token_) return fail(error, {ctk::error::kTokenNotFound, "no token"});
    Token::CardLock card = token_->lockCard();
    card.logout();

    const int index = toInt(authID_) - 1;
    std::shared_ptr<GC_Container> container = token_->getContainer(index);
    if (!container || !card.driver()) {
        plat::systemLog("TokenAuthOperation: getContainer nr %d/%zu failed", index, token_->containerCount());
        return fail(error, {ctk::error::kBadParameter, "the key names no container of the card"});
    }
    plat::systemLog("cardLogin | container=%s", container->label.c_str());
    // Only a PIN without length limits may be empty; the card would count any other empty PIN
    // as a wrong one.
    if (PIN().empty() && (container->flags & GC_Container::FLAG_NO_LENGTH) == 0)
        return fail(error, {ctk::error::kAuthenticationFailed, "empty PIN"});

    GC_WipedBuffer pin(reinterpret_cast<const unsigned char*>(PIN().data()), PIN().size());
    const int result = card.driver()->verifyPassword(container, std::move(pin.v), false);
    if (result != 0) {
        plat::systemLog("CardLogin failed | Error code %d", result);
        return fail(error, statusToError(result));
    }
    plat::systemLog("TokenAuthOperation: Pin valid");
    card.setVerified(std::move(container));
    return true;
}
