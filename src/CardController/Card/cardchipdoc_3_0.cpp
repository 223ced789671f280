#include "CardController/Card/cardchipdoc_3_0.h"

#include "CardController/Card/card_util.h"
#include "CardController/Card/chipdoc_status.h"
#include "ec_params.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/Card/cardchipdoc_3_0";
constexpr unsigned long kLogMask = gc_log::kCard;
constexpr unsigned long kErrMask = gc_log::kCard | gc_log::kError;

constexpr unsigned long kMaxSend = 1024;
constexpr unsigned long kMaxReceive = 1792;

// Key kind byte of the card for key-pair objects and curve parameters.
constexpr unsigned char kKindRsa = 0x06;
constexpr unsigned char kKindEc = 0x0C;

using gc_card::append;
using gc_card::appendLength;
using gc_card::resetApdu;

bool acceptedAlgorithm(uint32_t algorithm) {
    switch (algorithm) {
        case 0x0A:
        case 0x27:
        case 0x28:
        case 0x29:
        case 0x2A:  // RSA PKCS#1 v1.5
        case 0x11:
        case 0x25:
        case 0x21:
        case 0x22:
        case 0x26:  // ECDSA
            return true;
        default:
            return false;
    }
}

void appendElement(std::vector<unsigned char>& out, const std::vector<unsigned char>& element) {
    append(out, {static_cast<unsigned char>((element.size() >> 8) & 0xFF),
                 static_cast<unsigned char>(element.size() & 0xFF)});
    append(out, element);
}

}  // namespace

const std::array<GC_Card::sw_error, 15> GC_CardChipdoc_3_0::chipdoc_3_0_errors = gc_card::chipdocErrors();

unsigned long GC_CardChipdoc_3_0::getMaxApduSize(bool send) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const unsigned long size = send ? kMaxSend : kMaxReceive;
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, static_cast<int>(size));
    return size;
}

int GC_CardChipdoc_3_0::select(std::vector<unsigned char> path, std::vector<unsigned char>& apdu, bool fci, bool df,
                               bool aid) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    if (path.size() != 2 && !aid && !df) return GC_FAIL(kErrMask, -22, "Path size is wrong");
    if (path == std::vector<unsigned char>{0x3F, 0x00}) {
        // The master file by its identifier.
        append(apdu, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00});
        if (fci) apdu.push_back(0x00);
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
        return 0;
    }
    unsigned char p1;
    if (df) {
        p1 = path.size() == 2 ? 0x01 : 0x08;  // child DF, or path from the master file
    } else if (!aid) {
        p1 = 0x02;  // EF under the current DF
    } else {
        p1 = path.size() == 2 ? 0x01 : 0x04;  // child DF, or DF name
    }
    return selectCommand(__func__, kLogFile, path, p1, fci ? 0x00 : 0x0C, fci, apdu);
}

int GC_CardChipdoc_3_0::logoutPassword(unsigned char reference, std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    uint16_t mask = 0;
    if (reference >= 1 && reference <= 16) mask = static_cast<uint16_t>(1u << (reference - 1));
    append(apdu, {0x00, 0xDA, 0x01, 0x19, 0x02, static_cast<unsigned char>(mask >> 8),
                  static_cast<unsigned char>(mask & 0xFF)});
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_3_0::changePassword(unsigned char reference, std::vector<unsigned char> oldPin,
                                       std::vector<unsigned char> newPin, std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_WipeGuard wipe{&oldPin, &newPin};
    resetApdu(apdu, 5 + newPin.size());
    if (newPin.size() > gc_card::kShortMax) return GC_FAIL(kErrMask, -23, "PIN is to long");
    append(apdu, {0x00, 0x24, 0x01, static_cast<unsigned char>(reference | 0x80)});
    if (!newPin.empty()) {
        apdu.push_back(static_cast<unsigned char>(newPin.size()));
        append(apdu, newPin);
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_3_0::activePassword(std::vector<unsigned char>& apdu, std::vector<unsigned char> data) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    if (data.size() > gc_card::kShortMax) return GC_FAIL(kErrMask, -23, "Data is to big, biger than 0xFF");
    append(apdu, {0x00, 0x44, 0x00, 0x00});
    if (!data.empty()) {
        apdu.push_back(static_cast<unsigned char>(data.size()));
        append(apdu, data);
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_3_0::deleteObject(unsigned char id, int /*objectType*/, bool privateKey,
                                     std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    if (!privateKey) return GC_FAIL(kErrMask, -8);
    append(apdu, {0x00, 0xE4, 0x0A, 0x00, 0x02, 0x00, id});
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_3_0::createKeyPair(unsigned char reference, unsigned char pinReference, unsigned long keyBits,
                                      key_type type, std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    const auto pin = static_cast<unsigned char>(pinReference ^ 0x80);
    append(apdu, {0x80, 0xE0, 0x01, 0x00, 0x08, static_cast<unsigned char>(reference + 0xC0),
                  type == KEY_RSA ? kKindRsa : kKindEc, static_cast<unsigned char>((keyBits >> 8) & 0xFF),
                  static_cast<unsigned char>(keyBits & 0xFF), pin, pin, 0xB2, 0x01});
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_3_0::generateKeyPair(unsigned char reference, key_type /*type*/, unsigned long keyBits,
                                        std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    append(apdu, {0x00, 0x46, 0x00, reference});
    // From 2048 bits on the answer (modulus) may exceed 256 bytes: extended Le.
    if (keyBits < 2048) {
        apdu.push_back(0x00);
    } else {
        append(apdu, {0x00, 0x00, 0x00});
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_3_0::manageSecurityEnvironment(operation_SE op, template_SE tpl, std::vector<unsigned char>& apdu,
                                                  unsigned long long usage, const void* data) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!mseHeader(op, tpl, usage, apdu)) return GC_FAIL(kErrMask, -8);
    if (op != SE_SET || data == nullptr) {
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
        return 0;
    }
    const auto* record = static_cast<const mse_data*>(data);
    append(apdu, {0x04, 0x91, 0x02});
    if (!acceptedAlgorithm(record->algorithm)) return GC_FAIL(kLogMask, -8);
    append(apdu, {static_cast<unsigned char>(record->algorithm),
                  static_cast<unsigned char>(record->flag ? (record->keyRef | 0x80) : record->keyRef)});
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_3_0::getSerialNumber(std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    append(apdu, {0x00, 0xCB, 0x7F, 0xFF, 0x08});
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_3_0::checkSW(operation op, std::vector<unsigned char> response) {
    return gc_card::chipdocCheckSW(*this, chipdoc_3_0_errors, op, response, false, kLogFile);
}

// Data field: 0C, then p, a, b, G (04 || x || y) and n, each behind its length as two bytes,
// then 00 01 (the cofactor of every supported curve).
int GC_CardChipdoc_3_0::loadECKeyParam(unsigned char reference, key_type type, std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    append(apdu, {0x80, 0x24, 0x00, static_cast<unsigned char>(reference ^ 0x80)});
    if (type > KEY_BRAINPOOLP512R1) return GC_FAIL(kErrMask, -12, "Wrong EC type");
    if (type == KEY_RSA) return GC_FAIL(kLogMask, -8);
    GC_EC_Params::ec_nid nid;
    const auto curve = curveOf(type, nid) ? GC_EC_Params::EC_Params.find(nid) : GC_EC_Params::EC_Params.end();
    if (curve == GC_EC_Params::EC_Params.end()) return GC_FAIL(kErrMask, -12, "Wrong EC type");
    const GC_EC_Params::ec_param& param = curve->second;
    std::vector<unsigned char> body{kKindEc};
    for (const auto* element : {&param.p, &param.a, &param.b, &param.G, &param.n}) appendElement(body, *element);
    append(body, {0x00, 0x01});

    appendLength(apdu, body.size());
    append(apdu, body);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}
