#include "extension/status_to_error.h"

#include <string>

#include "extension/card_driver.h"
#include "platform/system_log.h"

ctk::Error statusToError(long code) {
    plat::systemLog("TokenDriver:statusToError | called");
    ctk::Error error;
    switch (code) {
        case card_result::kWrongPinLength:
        case card_result::kWrongPin:
            plat::systemLog("Error GC_LIB_ERROR_WRONG_PIN");
            error = {ctk::error::kAuthenticationFailed, "wrong PIN"};
            break;
        case card_result::kPinBlocked:
            plat::systemLog("Error PIN blocked");
            error = {ctk::error::kAuthenticationFailed, "PIN blocked"};
            break;
        case card_result::kSecurityStatusNotSatisfied:
            plat::systemLog("Error GC_LIB_ERROR_APDU_STATUS_NOT_SATISFIED");
            error = {ctk::error::kAuthenticationNeeded, "authentication needed"};
            break;
        default:
            plat::systemLog("OTHER ERROR: %ld", code);
            error = {ctk::error::kCommunicationError, "card error " + std::to_string(code)};
            break;
    }
    plat::systemLog("TokenDriver:statusToError | completed");
    return error;
}
