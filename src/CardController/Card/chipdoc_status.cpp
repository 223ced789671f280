#include "CardController/Card/chipdoc_status.h"

#include "common.h"
#include "logger.h"

namespace gc_card {

namespace {

constexpr unsigned long kLogMask = gc_log::kCard;
constexpr unsigned long kErrMask = gc_log::kCard | gc_log::kError;

const char* chipdocOperationName(GC_Card::operation op) {
    switch (op) {
        case GC_Card::OP_SELECT:
            return "Select";
        case GC_Card::OP_VERIFY:
        case GC_Card::OP_LOGOUT:
        case GC_Card::OP_CHANGE:
        case GC_Card::OP_UNBLOCK:
            return "PIN operation";
        case GC_Card::OP_MSE:
            return "Manage security environment";
        default:
            return "";
    }
}

bool isPinOperation(GC_Card::operation op) {
    return op == GC_Card::OP_VERIFY || op == GC_Card::OP_LOGOUT || op == GC_Card::OP_CHANGE ||
           op == GC_Card::OP_UNBLOCK;
}

bool isBare(const std::vector<unsigned char>& response, unsigned char sw1, unsigned char sw2) {
    return response.size() == 2 && response[0] == sw1 && response[1] == sw2;
}

}  // namespace

const std::array<GC_Card::sw_error, 15>& chipdocErrors() {
    static const std::array<GC_Card::sw_error, 15> table = {{
        {{0x62, 0x83}, -30, "Warning: Selected file is deactivated"},
        {{0x62, 0x85}, -25, "Warning: Selected file is terminated"},
        {{0x63, 0x00}, -31, "Warning: Data signautre verification fails"},
        {{0x63, 0x81}, -4, "Warning: End of file/record reached before writing LC bytes"},
        {{0x65, 0x00}, -5, "Execution Error: Unexpected execution error"},
        {{0x65, 0x01}, -26, "Execution Error: Not enough RAM for this operation"},
        {{0x65, 0x02}, -27, "Execution Error: Not enough EEPROM left on card"},
        {{0x65, 0x03}, -28, "Execution Error: Error in parameters to crypto processor"},
        {{0x65, 0x04}, -28, "Execution Error: Error in crypto processor execution"},
        {{0x65, 0x82}, -5, "Execution Error: Incorrect memory operation"},
        {{0x69, 0x83}, -32, "Checking Error: File does not contain valid data"},
        {{0x69, 0x84}, -33, "Checking Error: Given data o data in the card is invalid"},
        {{0x69, 0x99}, -29, "Checking Error: Not used - Applet select failed"},
        {{0x69, 0x82}, -34, "Checking Error: Security status not satisfied"},
        {{0x69, 0x85}, -34, "Checking Error: Conditions of use not satisfied"},
    }};
    return table;
}

int chipdocCheckSW(GC_Card& card, const std::array<GC_Card::sw_error, 15>& table, GC_Card::operation op,
                   const std::vector<unsigned char>& response, bool pinRuleAsError, const char* logFile) {
    const char* func = "checkSW";
    GC_LoggerC::call1(func, logFile, __LINE__, kLogMask);
    const char* name = chipdocOperationName(op);

    if (isPinOperation(op) && isBare(response, 0x69, 0x83)) {
        const int rc = card.GC_Card::checkSW(op, response);
        GC_LoggerC::ret1(func, logFile, __LINE__, pinRuleAsError ? kErrMask : kLogMask, rc);
        return rc;
    }
    if (op == GC_Card::OP_MSE && isBare(response, 0x69, 0x85)) {
        GC_LoggerC::logf(func, logFile, __LINE__, kErrMask,
                         "%s operation: Error in CSE(wrong alghoritm, algorithm missing) | SW: %s", name, "6985");
    }
    // Only an answer without data can match a card row.
    if (response.size() == 2) {
        for (const GC_Card::sw_error& row : table) {
            if (row.sw[0] == response[0] && row.sw[1] == response[1]) {
                const std::string swText = GC_CommonStr::byte2HexStr(response, false, true);
                GC_LoggerC::logf(func, logFile, __LINE__, kErrMask, "%s operation: %s  | SW: %s", name,
                                 row.message.c_str(), swText.c_str());
                GC_LoggerC::ret1(func, logFile, __LINE__, kLogMask, row.code);
                return row.code;
            }
        }
    }
    const int rc = card.GC_Card::checkSW(op, response);
    GC_LoggerC::ret1(func, logFile, __LINE__, kLogMask, rc);
    return rc;
}

}  // namespace gc_card
