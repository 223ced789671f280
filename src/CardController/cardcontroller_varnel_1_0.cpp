#include "CardController/cardcontroller_varnel_1_0.h"

#include "CardController/Card/cardchipdoc_2_0.h"
#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Data/datapkcs15.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/cardcontroller_varnel_1_0";
constexpr unsigned long kLogMask = gc_log::kCardController;
constexpr unsigned long kErrMask = gc_log::kCardController | gc_log::kError;

using namespace gc_cc;

// The application whose plain selection ends secure messaging.
const std::vector<uint8_t> kApplication{0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x40};
// The PUK's reference: it has no directory of its own.
constexpr uint8_t kPukReference = 0x94;
constexpr int kSelectionFailed = -1111;

}  // namespace

GC_CardControllerVarnel_1_0::GC_CardControllerVarnel_1_0(GC_Controller* controller, bool sharedMode)
    : GC_CardControllerVarnel(controller, std::make_shared<GC_CardChipdoc_2_0>(), sharedMode, kApplication) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    data = std::make_unique<GC_DataPKCS15>(controller);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

GC_CardControllerVarnel_1_0::~GC_CardControllerVarnel_1_0() = default;

const GC_CardController::atr_table& GC_CardControllerVarnel_1_0::atr() {
    static const atr_table rows{{"VARNEL_1_0", {0x3B, 0x84, 0x80, 0x01, 0x47, 0x43, 0x50, 0x43, 0x12}}};
    return rows;
}

std::unique_ptr<GC_CardController> GC_CardControllerVarnel_1_0::checkController(GC_Controller* controller,
                                                                                bool sharedMode) {
    return recognise<GC_CardControllerVarnel_1_0>(controller, sharedMode);
}

int GC_CardControllerVarnel_1_0::performChipAuthentication() {
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    return GC_FAIL(kErrMask, kFailed, "Not supported");
}

int GC_CardControllerVarnel_1_0::selectAID(const std::vector<uint8_t>& aid, bool force) {
    const int rc = GC_CardController::selectAID(aid, force);
    // The selection state is forgotten already; the AID is not taken as selected.
    if (rc == kSelectionFailed) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Applet selection failed: taken as selected");
        return kOk;
    }
    return rc;
}

int GC_CardControllerVarnel_1_0::performChangePassword(std::shared_ptr<GC_Container>& container,
                                                       const std::vector<uint8_t>& oldPin,
                                                       const std::vector<uint8_t>& /*newPin*/) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    if ((container->flags & GC_Container::FLAG_VERIFIED) != 0) {
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, kOk);
        return kOk;
    }
    const int rc = controller->verifyPassword(container, oldPin, false, false);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, rc == kOk ? kLogMask : kErrMask, rc);
    return rc;
}

int GC_CardControllerVarnel_1_0::isActive(std::shared_ptr<GC_Container>& container) {
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (!container) return GC_FAIL(kErrMask, kBadParameter, "Container is nullptr");
    if (!container->pin) {
        container->flags |= GC_Container::FLAG_ACTIVE;
        return kOk;
    }
    const uint8_t reference = container->pin->pinReference;
    if (reference == kPukReference) return kOk;
    return selectPinDirectory(container, pinDirectory(*container));
}
