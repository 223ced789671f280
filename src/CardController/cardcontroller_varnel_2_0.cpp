#include "CardController/cardcontroller_varnel_2_0.h"

#include "CardController/Card/cardchipdoc_3_0.h"
#include "Data/datapkcs15.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/cardcontroller_varnel_2_0";
constexpr unsigned long kLogMask = gc_log::kCardController;
constexpr unsigned long kErrMask = gc_log::kCardController | gc_log::kError;

}  // namespace

GC_CardControllerVarnel_2_0::GC_CardControllerVarnel_2_0(GC_Controller* controller, bool sharedMode)
    : GC_CardController(controller, std::make_shared<GC_CardChipdoc_3_0>(), sharedMode) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    data = std::make_unique<GC_DataPKCS15>(controller);
    if (const int rc = readSerialNumber(); rc != gc_cc::kOk)
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Cannot read the serial number | %d", rc);
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
