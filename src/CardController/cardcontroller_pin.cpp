// PIN operations on the card: verify, logout, change and unblock of a container's PIN, each as
// precondition, command, interpretation of the answer and the whole operation; and the PIN state
// of a list of containers.
#include "CardController/cardcontroller.h"
#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Data/wipe.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/cardcontroller_pin";
constexpr unsigned long kLogMask = gc_log::kCardController;
constexpr unsigned long kErrMask = gc_log::kCardController | gc_log::kError;

using namespace gc_cc;

// The tries a PIN has after a success: the card's limit, not read from the card.
constexpr uint64_t kTriesAfterSuccess = 3;

int succeed(const char* func, int line) {
    GC_LoggerC::ret1(func, kLogFile, line, kLogMask, kOk);
    return kOk;
}

// The status word of an answer, taken off it; false when there is none.
bool takeStatusWord(std::vector<uint8_t>& response, uint8_t& sw1, uint8_t& sw2) {
    if (response.size() < 2) return false;
    sw1 = response[response.size() - 2];
    sw2 = response.back();
    response.resize(response.size() - 2);
    return true;
}

// 63 00 and 63 Cx: no tries left, x tries left. false for any other SW2 (tries unchanged).
bool triesFromWarning(uint8_t sw2, uint64_t& tries) {
    if (sw2 == 0x00) {
        tries = 0;
        return true;
    }
    if ((sw2 & 0xF0) == 0xC0) {
        tries = sw2 & 0x0F;
        return true;
    }
    return false;
}

// The card's refusal of a PIN command (an answer other than 63 xx): a PIN the card does not know,
// a blocked one (recorded in the container when `blocking`), or the verdict as it is.
int refusal(const char* func, GC_Container& c, int verdict, bool blocking) {
    if (verdict == kDataNotFound)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kPinNotFound, "Container pin is not found");
    if (blocking && verdict == kPinBlocked) {
        c.pin->triesLeft = 0;
        c.flags &= ~GC_Container::FLAG_VERIFIED;
        c.flags |= GC_Container::FLAG_BLOCKED;
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kPinBlocked, "Container pin is blocked");
    }
    return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, verdict);
}

// 63 00 and 63 Cx, a wrong or unverified PIN: not verified, with the tries the card counts (any
// other SW2 is no answer: -1100, tries unchanged). `result` is what it means to the caller.
int notVerified(const char* func, GC_Container& c, uint8_t sw2, int result) {
    c.flags &= ~GC_Container::FLAG_VERIFIED;
    if (!triesFromWarning(sw2, c.pin->triesLeft))
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kFailed, "Wrong SW2 | %02X", sw2);
    if (result == kOk) return succeed(func, __LINE__);
    return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, result, "Wrong PIN | tries left %d",
                            static_cast<int>(c.pin->triesLeft));
}

}  // namespace

int GC_CardController::pinGuards(const char* func, const std::shared_ptr<GC_Container>& container,
                                 bool pinRecord) const {
    if (controller == nullptr)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kFailed, "Card is nullptr");
    if (!container) return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kBadParameter, "Container is nullptr");
    if (pinRecord && !container->pin)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kBadParameter, "Container pin is nullptr");
    return kOk;
}

int GC_CardController::pinOperation(const char* func, int precondition,
                                    const std::function<int(std::vector<uint8_t>&)>& build,
                                    const std::function<int(std::vector<uint8_t>&)>& check) {
    if (precondition != kOk)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, precondition, "Error in perform proces");
    std::vector<uint8_t> command;  // may carry the PIN
    GC_WipeGuard wipeCommand{&command};
    if (const int rc = build(command); rc != kOk)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, rc, "Error in perform command function");
    // The builder sent what there was to send itself.
    if (command.empty()) return succeed(func, __LINE__);
    std::vector<uint8_t> response;
    GC_WipeGuard wipeResponse{&response};
    if (const int rc = controller->sendApdu(command, response, 0, true); rc != kOk)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, rc, "Error when send command");
    if (const int rc = check(response); rc != kOk)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, rc, "Error when  checking result command");
    return succeed(func, __LINE__);
}

// --- Verify ---

int GC_CardController::performVerifyPassword(std::shared_ptr<GC_Container>& container,
                                             const std::vector<uint8_t>& /*pin*/, bool /*statusOnly*/) {
    if (const int rc = pinGuards(__func__, container, false); rc != kOk) return rc;
    return kOk;
}

int GC_CardController::getPerformPasswordCommand(std::shared_ptr<GC_Container>& container,
                                                 std::vector<uint8_t>& command, const std::vector<uint8_t>& pin,
                                                 bool statusOnly) {
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    // The builder's parameter is the only copy of the PIN made here, and the builder wipes it.
    if (const int rc =
            card->verifyPassword(container->pin->pinReference, statusOnly ? std::vector<uint8_t>{} : pin, command);
        rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when getting Verify command | error: %d", rc);
    return kOk;
}

int GC_CardController::checkVerifyPassword(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& response,
                                           bool statusOnly) {
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    const int verdict = checkSW(GC_Card::OP_VERIFY, response);
    uint8_t sw1 = 0, sw2 = 0;
    if (!takeStatusWord(response, sw1, sw2)) return verdict;
    GC_Container& c = *container;
    if (verdict == kOk) {
        c.pin->triesLeft = kTriesAfterSuccess;
        c.flags &= ~GC_Container::FLAG_BLOCKED;
        c.flags |= GC_Container::FLAG_VERIFIED;
        return succeed(__func__, __LINE__);
    }
    if (sw1 != 0x63) return refusal(__func__, c, verdict, true);
    return notVerified(__func__, c, sw2, statusOnly ? kOk : kWrongPin);
}

int GC_CardController::verifyPassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin,
                                      bool statusOnly) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, false); rc != kOk) return rc;
    int precondition = performVerifyPassword(container, pin, statusOnly);
    // -1109: the PIN is the card controller's to verify its own way; the command goes on.
    if (precondition == kPinElsewhere) precondition = kOk;
    return pinOperation(
        __func__, precondition,
        [&](std::vector<uint8_t>& command) { return getPerformPasswordCommand(container, command, pin, statusOnly); },
        [&](std::vector<uint8_t>& response) { return checkVerifyPassword(container, response, statusOnly); });
}

// --- Logout ---

int GC_CardController::performLogoutPassword(std::shared_ptr<GC_Container>& container) {
    if (const int rc = pinGuards(__func__, container, false); rc != kOk) return rc;
    return kOk;
}

int GC_CardController::getLogoutPasswordCommand(std::shared_ptr<GC_Container>& container,
                                                std::vector<uint8_t>& command) {
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    if (const int rc = card->logoutPassword(container->pin->pinReference, command); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when getting Logout command | error: %d", rc);
    return kOk;
}

int GC_CardController::checkLogoutPassword(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& response) {
    if (const int rc = pinGuards(__func__, container, false); rc != kOk) return rc;
    const int verdict = checkSW(GC_Card::OP_LOGOUT, response);
    uint8_t sw1 = 0, sw2 = 0;
    if (!takeStatusWord(response, sw1, sw2)) return verdict;
    if (verdict == kOk) {
        container->flags &= ~GC_Container::FLAG_VERIFIED;
        return succeed(__func__, __LINE__);
    }
    if (verdict == kDataNotFound) return GC_FAIL(kErrMask, kPinNotFound, "Container pin is not found");
    return GC_FAIL(kErrMask, verdict);
}

int GC_CardController::logoutPassword(std::shared_ptr<GC_Container>& container) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, false); rc != kOk) return rc;
    const int precondition = performLogoutPassword(container);
    return pinOperation(
        __func__, precondition,
        [&](std::vector<uint8_t>& command) { return getLogoutPasswordCommand(container, command); },
        [&](std::vector<uint8_t>& response) { return checkLogoutPassword(container, response); });
}

// --- Change ---

int GC_CardController::performChangePassword(std::shared_ptr<GC_Container>& container,
                                             const std::vector<uint8_t>& /*oldPin*/,
                                             const std::vector<uint8_t>& /*newPin*/) {
    if (const int rc = pinGuards(__func__, container, false); rc != kOk) return rc;
    return kOk;
}

int GC_CardController::getChangePasswordCommand(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& command,
                                                const std::vector<uint8_t>& oldPin,
                                                const std::vector<uint8_t>& newPin) {
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    if (const int rc = card->changePassword(container->pin->pinReference, oldPin, newPin, command); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when getting Change command | error: %d", rc);
    return kOk;
}

int GC_CardController::checkChangePassword(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& response) {
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    const int verdict = checkSW(GC_Card::OP_CHANGE, response);
    uint8_t sw1 = 0, sw2 = 0;
    if (!takeStatusWord(response, sw1, sw2)) return verdict;
    GC_Container& c = *container;
    if (verdict == kOk) {
        c.flags &= ~GC_Container::FLAG_VERIFIED;
        c.pin->triesLeft = kTriesAfterSuccess;
        return succeed(__func__, __LINE__);
    }
    if (sw1 != 0x63) return refusal(__func__, c, verdict, true);
    return notVerified(__func__, c, sw2, kWrongPin);
}

int GC_CardController::changePassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& oldPin,
                                      const std::vector<uint8_t>& newPin) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, false); rc != kOk) return rc;
    const int precondition = performChangePassword(container, oldPin, newPin);
    return pinOperation(
        __func__, precondition,
        [&](std::vector<uint8_t>& command) { return getChangePasswordCommand(container, command, oldPin, newPin); },
        [&](std::vector<uint8_t>& response) { return checkChangePassword(container, response); });
}

// --- Unblock ---

int GC_CardController::performUnblockPassword(std::shared_ptr<GC_Container>& container,
                                              const std::vector<uint8_t>& /*pin*/, bool /*setNew*/) {
    if (const int rc = pinGuards(__func__, container, false); rc != kOk) return rc;
    return kOk;
}

int GC_CardController::getUnblockPasswordCommand(std::shared_ptr<GC_Container>& container,
                                                 std::vector<uint8_t>& command, const std::vector<uint8_t>& pin,
                                                 bool setNew) {
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    if (const int rc = card->unblockPassword(container->pin->pinReference, pin, command, setNew, {}); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when getting Unblock command | error: %d", rc);
    return kOk;
}

int GC_CardController::checkUnblockPassword(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& response,
                                            long previous, bool /*setNew*/) {
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    // What failed before the card could answer (the pinpad's own entry) is the result.
    if (previous != 0) return GC_FAIL(kErrMask, static_cast<int>(previous), "Unblock failed before the card answered");
    const int verdict = checkSW(GC_Card::OP_UNBLOCK, response);
    uint8_t sw1 = 0, sw2 = 0;
    if (!takeStatusWord(response, sw1, sw2)) return verdict;
    GC_Container& c = *container;
    if (verdict == kOk) {
        c.flags &= ~GC_Container::FLAG_BLOCKED;
        c.pin->triesLeft = kTriesAfterSuccess;
        return succeed(__func__, __LINE__);
    }
    if (sw1 == 0x63) return notVerified(__func__, c, sw2, kWrongPin);
    return refusal(__func__, c, verdict, false);
}

int GC_CardController::unblockPassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin,
                                       bool setNew) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, false); rc != kOk) return rc;
    const int precondition = performUnblockPassword(container, pin, setNew);
    return pinOperation(
        __func__, precondition,
        [&](std::vector<uint8_t>& command) { return getUnblockPasswordCommand(container, command, pin, setNew); },
        [&](std::vector<uint8_t>& response) { return checkUnblockPassword(container, response, 0, setNew); });
}

// --- PIN state of containers ---

int GC_CardController::statusContainers(std::vector<std::shared_ptr<GC_Container>>& list) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    int result = kOk;
    for (std::shared_ptr<GC_Container>& container : list) {
        if (!container || !container->pin) continue;
        if (currentPath != container->pin->path) {
            const int rc = select(container->AID, container->pin->path, container->AID != currentAid, nullptr);
            if (rc != kOk) {
                result = rc;
                continue;
            }
        }
        result = verifyPassword(container, {}, true);
        // Only the card's word on the PIN says it has no tries; a failed exchange leaves them.
        if (result != kOk && isPinVerdict(result)) container->pin->triesLeft = 0;
    }
    if (result != kOk) return GC_FAIL(kErrMask, result);
    return succeed(__func__, __LINE__);
}
