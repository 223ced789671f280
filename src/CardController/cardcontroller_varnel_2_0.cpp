#include "CardController/cardcontroller_varnel_2_0.h"

#include "CardController/Card/cardchipdoc_3_0.h"
#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Data/datapkcs15.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/cardcontroller_varnel_2_0";
constexpr unsigned long kLogMask = gc_log::kCardController;
constexpr unsigned long kErrMask = gc_log::kCardController | gc_log::kError;

using namespace gc_cc;

// The travel-document application: its plain selection ends secure messaging; 1A DF names it.
const std::vector<uint8_t> kLdsApplication{0xA0, 0x00, 0x00, 0x02, 0x47, 0x10, 0x01};
const std::vector<uint8_t> kLdsAlias{0x1A, 0xDF};
constexpr int kPukPassword = 4;  // PACE password type of the PUK
constexpr uint64_t kTriesAfterSuccess = 3;
// Verifications of an FF PIN after an unblock that failed on the pinpad.
constexpr int kBlockingVerifications = 3;

int succeed(const char* func, int line) {
    GC_LoggerC::ret1(func, kLogFile, line, kLogMask, kOk);
    return kOk;
}

}  // namespace

GC_CardControllerVarnel_2_0::GC_CardControllerVarnel_2_0(GC_Controller* controller, bool sharedMode)
    : GC_CardControllerVarnel(controller, std::make_shared<GC_CardChipdoc_3_0>(), sharedMode, kLdsApplication) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    data = std::make_unique<GC_DataPKCS15>(controller);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

GC_CardControllerVarnel_2_0::~GC_CardControllerVarnel_2_0() = default;

const GC_CardController::atr_table& GC_CardControllerVarnel_2_0::atr() {
    static const atr_table rows{
        {"VARNEL_2_0", {0x3B, 0x89, 0x80, 0x01, 0x02, 0x4D, 0x4B, 0x4D, 0x57, 0x4B, 0x53, 0x4B, 0x54, 0x11}}};
    return rows;
}

std::unique_ptr<GC_CardController> GC_CardControllerVarnel_2_0::checkController(GC_Controller* controller,
                                                                                bool sharedMode) {
    return recognise<GC_CardControllerVarnel_2_0>(controller, sharedMode);
}

int GC_CardControllerVarnel_2_0::performChipAuthentication() {
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    return kOk;
}

int GC_CardControllerVarnel_2_0::selectAID(const std::vector<uint8_t>& aid, bool force) {
    if (aid.empty()) return kOk;
    return GC_CardController::selectAID(aid == kLdsAlias ? kLdsApplication : aid, force);
}

bool GC_CardControllerVarnel_2_0::answersFileSize(const std::vector<uint8_t>& fid) const {
    return fid.empty() || (fid[0] != 0xAD && fid[0] != 0xDF);
}

bool GC_CardControllerVarnel_2_0::pinpadReader(int& rc) {
    int features = 0;
    rc = controller->readerFeatures(features);
    if (rc != kOk) GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Error when getting reader feature");
    return rc == kOk && (features & GC_Controller::kFeaturePinpad) != 0;
}

int GC_CardControllerVarnel_2_0::performVerifyPassword(std::shared_ptr<GC_Container>& container,
                                                       const std::vector<uint8_t>& /*pin*/, bool /*statusOnly*/) {
    if (const int rc = pinGuards(__func__, container, false); rc != kOk) return rc;
    int rc = kOk;
    const bool pinpad = pinpadReader(rc);
    if (rc != kOk) return GC_FAIL(kErrMask, rc);
    if (pinpad && (container->flags & GC_Container::FLAG_PUK) != 0) return kPinElsewhere;
    return kOk;
}

int GC_CardControllerVarnel_2_0::verifyPassword(std::shared_ptr<GC_Container>& container,
                                                const std::vector<uint8_t>& pin, bool statusOnly) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    int rc = kOk;
    const bool pinpad = pinpadReader(rc);
    if (rc != kOk) return GC_FAIL(kErrMask, rc);
    GC_Container& c = *container;
    const bool byPace = pinpad && (c.flags & GC_Container::FLAG_PUK) != 0 && c.pin->triesLeft != 1 && !statusOnly;
    if (!byPace) return GC_CardControllerVarnel::verifyPassword(container, pin, statusOnly);

    // The PUK is the password of a PACE session of its own (typed on the pinpad when empty).
    if (controller->channelFlags() == 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Secure Connection is not established.");
        controller->restoreSecureConnection();
    }
    rc = destroySecureConnection();
    if (rc == kOk) rc = controller->performSecureConnection(pin, kPukPassword);
    if (rc == kOk) {
        c.pin->triesLeft = kTriesAfterSuccess;
        c.flags &= ~GC_Container::FLAG_BLOCKED;
        c.flags |= GC_Container::FLAG_VERIFIED;
        return succeed(__func__, __LINE__);
    }
    // The refused run took the channel with it, and the card answers nothing in plain: the
    // channel is reopened (with the companion's CAN) before the card is asked for the tries.
    if (controller->channelFlags() == 0) controller->restoreSecureConnection();
    const int refreshed = GC_CardController::verifyPassword(container, {}, true);
    if (refreshed == kPinNotFound || refreshed == kPinBlocked || refreshed == kWrongPin)
        return GC_FAIL(kErrMask, refreshed, "PUK by PACE failed | %d", rc);
    return GC_FAIL(kErrMask, rc, "PUK by PACE failed");
}

int GC_CardControllerVarnel_2_0::logoutPassword(std::shared_ptr<GC_Container>& container) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, false); rc != kOk) return rc;
    int rc = kOk;
    const bool pinpad = pinpadReader(rc);
    if (rc != kOk) return GC_FAIL(kErrMask, rc);
    if (pinpad && (container->flags & GC_Container::FLAG_PUK) != 0) {
        if (rc = controller->destroySecureConnection(); rc != kOk) return GC_FAIL(kErrMask, rc);
        return succeed(__func__, __LINE__);
    }
    return GC_CardController::logoutPassword(container);
}

int GC_CardControllerVarnel_2_0::performChangePassword(std::shared_ptr<GC_Container>& container,
                                                       const std::vector<uint8_t>& oldPin,
                                                       const std::vector<uint8_t>& /*newPin*/) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, false); rc != kOk) return rc;
    if (const int rc = controller->verifyPassword(container, oldPin, false, false); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when creating object");
    return succeed(__func__, __LINE__);
}

int GC_CardControllerVarnel_2_0::getChangePasswordCommand(std::shared_ptr<GC_Container>& container,
                                                          std::vector<uint8_t>& command,
                                                          const std::vector<uint8_t>& /*oldPin*/,
                                                          const std::vector<uint8_t>& newPin) {
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    // The old PIN was verified by the precondition.
    if (const int rc = card->changePassword(container->pin->pinReference, {}, newPin, command); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Create change password APDU with error : %d", rc);
    return kOk;
}

int GC_CardControllerVarnel_2_0::getUnblockPasswordCommand(std::shared_ptr<GC_Container>& container,
                                                           std::vector<uint8_t>& command,
                                                           const std::vector<uint8_t>& pin, bool setNew) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    command.clear();
    std::vector<uint8_t> reset;
    if (const int rc = card->unblockPassword(container->pin->pinReference, {}, reset, false, {}); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Create unblock password APDU with error : %d", rc);
    std::vector<uint8_t> response;
    if (const int rc = controller->sendApdu(reset, response, 0, true); rc != kOk)
        return GC_FAIL(kErrMask, rc == kWarning ? kWarning : kFailed, "Error when transmiting command | %d", rc);
    if (const int rc = checkUnblockPassword(container, response, 0, false); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when checking unblock response");
    if (setNew) {
        if (const int rc = GC_CardController::getChangePasswordCommand(container, command, {}, pin); rc != kOk)
            return GC_FAIL(kErrMask, rc, "Error when getting change password");
    }
    return succeed(__func__, __LINE__);
}

int GC_CardControllerVarnel_2_0::checkUnblockPassword(std::shared_ptr<GC_Container>& container,
                                                      std::vector<uint8_t>& response, long previous, bool setNew) {
    if (previous == 0) return GC_CardController::checkUnblockPassword(container, response, previous, setNew);
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cannot unblock PIN");
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    std::vector<uint8_t> blocking(container->pin->maxLength, 0xFF);
    for (int i = 0; i < kBlockingVerifications; ++i) controller->verifyPassword(container, blocking, false, false);
    return GC_FAIL(kErrMask, kUnblockFailed, "Unblock on the pinpad failed | %ld", previous);
}

int GC_CardControllerVarnel_2_0::isActive(std::shared_ptr<GC_Container>& container) {
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (!container) return GC_FAIL(kErrMask, kBadParameter, "Container is nullptr");
    if ((container->flags & GC_Container::FLAG_PUK) != 0) return kOk;
    if ((container->flags & GC_Container::FLAG_NO_LENGTH) != 0 || !container->pin) {
        container->flags |= GC_Container::FLAG_ACTIVE;
        return kOk;
    }
    return selectPinDirectory(container, pinDirectory(*container));
}

void GC_CardControllerVarnel_2_0::beforePinStatus(GC_Container& container) {
    container.flags |= GC_Container::FLAG_ACTIVE;
}

bool GC_CardControllerVarnel_2_0::pinDirectoryDeactivated(int status) const {
    return status == kFileDeactivated;
}
