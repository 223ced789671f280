#include "CardController/Card/card.h"

#include "CardController/Card/card_util.h"
#include "asn1.h"
#include "common.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/Card/card";
constexpr unsigned long kLogMask = gc_log::kCard;
constexpr unsigned long kErrMask = gc_log::kCard | gc_log::kError;

using gc_card::append;
using gc_card::appendLength;
using gc_card::resetApdu;

// Name of the command in the generic status-word lines.
const char* operationName(GC_Card::operation op) {
    switch (op) {
        case GC_Card::OP_SELECT:
            return "Select";
        case GC_Card::OP_READ:
            return "Read";
        case GC_Card::OP_UPDATE:
            return "Update";
        case GC_Card::OP_VERIFY:
            return "Verify";
        case GC_Card::OP_LOGOUT:
            return "Logout";
        case GC_Card::OP_UNBLOCK:
            return "Unblock";
        case GC_Card::OP_MSE:
            return "Manage security environment";
        default:
            return "";
    }
}

// Shared refusal of the commands the generic card does not offer: the output stays untouched.
int notSupported(const char* func, int line) {
    GC_LoggerC::call1(func, kLogFile, line, kLogMask);
    return GC_LoggerC::fail(func, kLogFile, line, kErrMask, -24);
}

}  // namespace

const std::array<GC_Card::sw_error, 40> GC_Card::iso7816_errors = {{
    {{0x90, 0x00}, 0, "Command executed successfully"},
    {{0x61, 0x00}, 0, "Command executed successfully, SW2 encodes the number of data bytes still available"},
    {{0x62, 0x00}, -2, "Warning: No information given, non-volatile memory is unchanged"},
    {{0x62, 0x81}, -3, "Warning: Part of returned data may be corrupted, non-volatile memory is unchanged"},
    {{0x62, 0x82}, -4, "Warning: End of file/record reached before reading Le bytes, non-volatile memory is unchanged"},
    {{0x62, 0x83}, -2, "Warning: Selected file invalidated, non-volatile memory is unchanged"},
    {{0x62, 0x84}, -2, "Warning: FCI not formatted according to ISO 7816-4, non-volatile memory is unchanged"},
    {{0x63, 0x00}, -2, "Warning: No information given, non-volatile memory has changed"},
    {{0x63, 0x81}, -2, "Warning: File filled up by last write, non-volatile memory is unchanged"},
    {{0x65, 0x81}, -5, "Execution Error: Memory failur, state of non-volatile memory has changed"},
    {{0x67, 0x00}, -7, "Checking Error: Wrong length, no further indication"},
    {{0x68, 0x00}, -6, "Checking Error: Functions in CLA not supported"},
    {{0x68, 0x81}, -6, "Checking Error: Logical channel not supported"},
    {{0x68, 0x82}, -6, "Checking Error: Secure messaging not supported"},
    {{0x69, 0x00}, -8, "Checking Error: Command not allowed"},
    {{0x69, 0x81}, -2, "Checking Error: Command incompatible with file structure"},
    {{0x69, 0x82}, -9, "Checking Error: Security status not satisfied"},
    {{0x69, 0x83}, -10, "Checking Error: Authentication method blocked"},
    {{0x69, 0x84}, -11, "Checking Error: Referenced data not usable"},
    {{0x69, 0x85}, -34, "Checking Error: Conditions of use not satisfied"},
    {{0x69, 0x86}, -8, "Checking Error: Command not allowed (no current EF)"},
    // The dashes of the next two rows are U+2013 (en dash).
    {{0x69, 0x87},
     -12,
     "Checking Error: Expected secure messaging data object missing \xE2\x80\x93 mandatory data object is absent"},
    {{0x69, 0x88},
     -13,
     "Checking Error: Secure messaging data object incorrect \xE2\x80\x93 e.g. MAC verification failed"},
    {{0x6A, 0x00}, -12, "Checking Error: Wrong parameter(s) P1-P2"},
    {{0x6A, 0x80}, -12, "Checking Error: Incorrect parameters in the data field"},
    {{0x6A, 0x81}, -6, "Checking Error: Function not supported"},
    {{0x6A, 0x82}, -14, "Checking Error: File not found"},
    {{0x6A, 0x83}, -15, "Checking Error: Record not found"},
    {{0x6A, 0x84}, -16, "Checking Error: Not enough memory space in the file"},
    {{0x6A, 0x85}, -12, "Checking Error: Lc inconsistent with TLV structure"},
    {{0x6A, 0x86}, -12, "Checking Error: Incorrect parameters P1-P2"},
    {{0x6A, 0x87}, -12, "Checking Error: Incorrect parameters P1-P2"},
    {{0x6A, 0x88}, -17, "Checking Error: Referenced data not found"},
    {{0x6A, 0x89}, -18, "Checking Error: File already exists"},
    {{0x6A, 0x8A}, -18, "Checking Error: DF name already exists"},
    {{0x6B, 0x00}, -12, "Checking Error: Incorrect parameters P1-P2"},
    {{0x6C, 0x00}, -21, "Checking Error: Wrong Le field; SW2 encodes the exact number of available data bytes"},
    {{0x6D, 0x00}, -19, "Checking Error: Instruction code not supported or invalid"},
    {{0x6E, 0x00}, -20, "Checking Error: Class not supported"},
    {{0x6F, 0x00}, -2, "Checking Error: No precise diagnosis"},
}};

GC_Card::~GC_Card() = default;

unsigned long GC_Card::getMaxApduSize(bool /*send*/) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 255);
    return 255;
}

int GC_Card::select(std::vector<unsigned char> path, std::vector<unsigned char>& apdu, bool fci, bool df, bool aid) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    if (path.size() != 2 && !aid) return GC_FAIL(kErrMask, -22, "Path size is wrong");
    if (path == std::vector<unsigned char>{0x3F, 0x00}) {
        append(apdu, {0x00, 0xA4, 0x00, 0x00});
        if (fci) apdu.push_back(0x00);
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
        return 0;
    }
    const unsigned char p1 = df ? 0x01 : (aid ? 0x04 : 0x02);
    return selectCommand(__func__, kLogFile, path, p1, fci ? 0x00 : 0x0C, fci, apdu);
}

int GC_Card::selectCommand(const char* func, const char* logFile, const std::vector<unsigned char>& path,
                           unsigned char p1, unsigned char p2, bool fci, std::vector<unsigned char>& apdu) {
    // A path or name must fit the one-byte Lc; an empty one would turn that Lc into an Le.
    if (path.empty() || path.size() > gc_card::kShortMax)
        return GC_LoggerC::fail(func, logFile, __LINE__, kErrMask, -22, "Path size is wrong");
    append(apdu, {0x00, 0xA4, p1, p2, static_cast<unsigned char>(path.size())});
    append(apdu, path);
    if (fci) apdu.push_back(0x00);
    GC_LoggerC::ret1(func, logFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Card::read(std::vector<unsigned char>& apdu, unsigned long count, unsigned long offset) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    if (offset >= 0x8000) return GC_FAIL(kErrMask, -12, "Index is to bigg, biger than 0x7FFF");
    if (count > gc_card::kExtendedMax) return GC_FAIL(kErrMask, -23, "Count is to big, biger than 0x7FFF");
    append(apdu,
           {0x00, 0xB0, static_cast<unsigned char>((offset >> 8) & 0x7F), static_cast<unsigned char>(offset & 0xFF)});
    appendLength(apdu, count);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Card::update(std::vector<unsigned char>& apdu, std::vector<unsigned char> data, unsigned long offset) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    if (offset >= 0x8000) return GC_FAIL(kErrMask, -12, "Index is to bigg, biger than 0x7FFF");
    if (data.size() > gc_card::kExtendedMax) return GC_FAIL(kErrMask, -23, "Conut is to big, biger than 0x7FFF");
    apdu.reserve(7 + data.size());
    append(apdu,
           {0x00, 0xD6, static_cast<unsigned char>((offset >> 8) & 0x7F), static_cast<unsigned char>(offset & 0xFF)});
    appendLength(apdu, data.size());
    append(apdu, data);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Card::verifyPassword(unsigned char reference, std::vector<unsigned char> pin, std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_WipeGuard wipe{&pin};
    resetApdu(apdu, 5 + pin.size());
    if (pin.size() > gc_card::kShortMax) return GC_FAIL(kErrMask, -23, "PIN is to long");
    append(apdu, {0x00, 0x20, 0x00, reference});
    if (!pin.empty()) {
        apdu.push_back(static_cast<unsigned char>(pin.size()));
        append(apdu, pin);
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Card::logoutPassword(unsigned char reference, std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    append(apdu, {0x00, 0x20, 0xFF, reference, 0x00});
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Card::changePassword(unsigned char reference, std::vector<unsigned char> oldPin,
                            std::vector<unsigned char> newPin, std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_WipeGuard wipe{&oldPin, &newPin};
    const size_t length = oldPin.size() + newPin.size();
    resetApdu(apdu, 5 + length);
    if (length > gc_card::kShortMax) return GC_FAIL(kErrMask, -23, "PIN is to long");
    const unsigned char p1 = (oldPin.empty() && !newPin.empty()) ? 0x01 : 0x00;
    append(apdu, {0x00, 0x24, p1, static_cast<unsigned char>(reference | 0x80), static_cast<unsigned char>(length)});
    append(apdu, oldPin);
    append(apdu, newPin);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Card::unblockPassword(unsigned char reference, std::vector<unsigned char> pin, std::vector<unsigned char>& apdu,
                             bool withPin, std::vector<unsigned char> newPin) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_WipeGuard wipe{&pin, &newPin};
    const unsigned char p2 = static_cast<unsigned char>(reference | 0x80);
    if (!withPin) {
        resetApdu(apdu);
        append(apdu, {0x00, 0x2C, 0x03, p2});
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
        return 0;
    }
    const size_t length = pin.size() + newPin.size();
    resetApdu(apdu, 5 + length);
    if (length > gc_card::kShortMax) return GC_FAIL(kErrMask, -23, "PIN is to long");
    // P1 02: new reference data only; P1 00: resetting code followed by new reference data.
    append(apdu, {0x00, 0x2C, static_cast<unsigned char>(newPin.empty() ? 0x02 : 0x00), p2,
                  static_cast<unsigned char>(length)});
    append(apdu, pin);
    append(apdu, newPin);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Card::activePassword(std::vector<unsigned char>& /*apdu*/, std::vector<unsigned char> /*data*/) {
    return notSupported(__func__, __LINE__);
}

int GC_Card::deleteObject(unsigned char /*id*/, int /*objectType*/, bool /*privateKey*/,
                          std::vector<unsigned char>& /*apdu*/) {
    return notSupported(__func__, __LINE__);
}

int GC_Card::createPrivateKey(unsigned char /*reference*/, unsigned long /*keyBits*/, key_type /*type*/,
                              std::vector<unsigned char>& /*apdu*/) {
    return notSupported(__func__, __LINE__);
}

int GC_Card::createPublicKey(unsigned char /*reference*/, unsigned long /*keyBits*/, key_type /*type*/,
                             std::vector<unsigned char>& /*apdu*/) {
    return notSupported(__func__, __LINE__);
}

int GC_Card::createKeyPair(unsigned char /*reference*/, unsigned char /*pinReference*/, unsigned long /*keyBits*/,
                           key_type /*type*/, std::vector<unsigned char>& /*apdu*/) {
    return notSupported(__func__, __LINE__);
}

int GC_Card::generateKeyPair(unsigned char /*reference*/, key_type /*type*/, unsigned long /*keyBits*/,
                             std::vector<unsigned char>& /*apdu*/) {
    return notSupported(__func__, __LINE__);
}

int GC_Card::getPublicKey(unsigned char /*reference*/, key_type /*type*/, std::vector<unsigned char>& /*apdu*/) {
    return notSupported(__func__, __LINE__);
}

int GC_Card::getSerialNumber(std::vector<unsigned char>& /*apdu*/) {
    return notSupported(__func__, __LINE__);
}

bool GC_Card::mseHeader(operation_SE op, template_SE tpl, unsigned long long usage, std::vector<unsigned char>& apdu) {
    resetApdu(apdu);
    append(apdu, {0x00, 0x22});
    if (op == SE_SET && usage == 0) return false;
    const unsigned char p1 =
        op == SE_SET ? static_cast<unsigned char>(((usage & 0x0F) << 4) | 0x01) : static_cast<unsigned char>(op);
    append(apdu, {p1, static_cast<unsigned char>(tpl)});
    return true;
}

int GC_Card::manageSecurityEnvironment(operation_SE op, template_SE tpl, std::vector<unsigned char>& apdu,
                                       unsigned long long usage, const void* data) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!mseHeader(op, tpl, usage, apdu)) return GC_FAIL(kErrMask, -8);
    // The generic card has no encoding for the data objects of a SET.
    if (op == SE_SET && data != nullptr) return GC_FAIL(kErrMask, -24);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Card::signatureData(std::vector<unsigned char> data, unsigned long keyBits, std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    if (data.size() > gc_card::kExtendedMax) return GC_FAIL(kErrMask, -23, "Data is to big, biger than 0xFFFF");
    apdu.reserve(9 + data.size());
    append(apdu, {0x00, 0x2A, 0x9E, 0x9A});
    // Extended form also for long keys, so that the card may answer more than 256 bytes.
    if (keyBits >= 2048 || data.size() > gc_card::kShortMax) {
        append(apdu, {0x00, static_cast<unsigned char>((data.size() >> 8) & 0xFF),
                      static_cast<unsigned char>(data.size() & 0xFF)});
        append(apdu, data);
        append(apdu, {0x00, 0x00});
    } else {
        apdu.push_back(static_cast<unsigned char>(data.size()));
        append(apdu, data);
        apdu.push_back(0x00);
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Card::getResponse(unsigned long le, std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    if (le > gc_card::kExtendedMax) return GC_FAIL(kErrMask, -23, "Count is to big, biger than 0xFFFF");
    append(apdu, {0x00, 0xC0, 0x00, 0x00});
    appendLength(apdu, le);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Card::checkSW(operation op, std::vector<unsigned char> response) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const char* name = operationName(op);
    if (response.size() < 2) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "%s operation: response without status word", name);
        return GC_FAIL(kErrMask, -1);
    }
    const unsigned char sw1 = response[response.size() - 2];
    const unsigned char sw2 = response[response.size() - 1];
    const std::string swText = GC_CommonStr::byte2HexStr({sw1, sw2}, false, true);
    for (const sw_error& row : iso7816_errors) {
        if (row.sw[0] == sw1 && row.sw[1] == sw2) {
            if (row.code != 0) {
                GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "%s operation: %s | SW: %s", name,
                                 row.message.c_str(), swText.c_str());
            }
            GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, row.code);
            return row.code;
        }
    }
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "%s operation: SW: %s", name, swText.c_str());
    return GC_FAIL(kLogMask, -1);
}

int GC_Card::parseFilesize(std::vector<unsigned char>& response, unsigned long* size) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (size == nullptr) return GC_FAIL(kErrMask, -12, "Filesize is nullptr");
    if (response.empty() || (response[0] != 0x62 && response[0] != 0x6F && response[0] != 0x67))
        return GC_FAIL(kErrMask, -2, "Wrong respone for select file : General error");
    std::vector<GC_ASN1::item> items;
    if (GC_ASN1::deserialize(items, response, true) != 0) {
        *size = 0;
        return GC_FAIL(kErrMask, -2, "Error in ASN1 library");
    }
    if (items.empty()) return GC_FAIL(kErrMask, -2, "Wrong respone for select file : General error");
    GC_ASN1::item sizeItem;
    GC_ASN1::getData(items[0], std::vector<unsigned char>{response[0], 0x80}, sizeItem);
    *size = 0;
    if (sizeItem.value.empty()) return GC_FAIL(kErrMask, -2, "Error in ASN1 library");
    *size = static_cast<unsigned long>(byte2ULong(sizeItem.value, true, 0));
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask | gc_log::kDetail, "File size: %zu",
                     static_cast<size_t>(*size));
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

bool GC_Card::curveOf(key_type type, GC_EC_Params::ec_nid& nid) {
    switch (type) {
        case KEY_SECP224R1:
            nid = GC_EC_Params::secp224r1;
            return true;
        case KEY_PRIME256V1:
            nid = GC_EC_Params::prime256v1;
            return true;
        case KEY_SECP384R1:
            nid = GC_EC_Params::secp384r1;
            return true;
        case KEY_SECP521R1:
            nid = GC_EC_Params::secp521r1;
            return true;
        case KEY_BRAINPOOLP224R1:
            nid = GC_EC_Params::brainpoolP224r1;
            return true;
        case KEY_BRAINPOOLP256R1:
            nid = GC_EC_Params::brainpoolP256r1;
            return true;
        case KEY_BRAINPOOLP320R1:
            nid = GC_EC_Params::brainpoolP320r1;
            return true;
        case KEY_BRAINPOOLP384R1:
            nid = GC_EC_Params::brainpoolP384r1;
            return true;
        case KEY_BRAINPOOLP512R1:
            nid = GC_EC_Params::brainpoolP512r1;
            return true;
        default:
            return false;
    }
}
