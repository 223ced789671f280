#include "CardController/Card/cardchipdoc_2_0.h"

#include "CardController/Card/card_util.h"
#include "CardController/Card/chipdoc_status.h"
#include "asn1.h"
#include "ec_params.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/Card/cardchipdoc_2_0";
constexpr unsigned long kLogMask = gc_log::kCard;
constexpr unsigned long kErrMask = gc_log::kCard | gc_log::kError;

// The card's limits: command data, response data, and READ/UPDATE BINARY counts.
constexpr unsigned long kMaxSend = 512;
constexpr unsigned long kMaxReceive = 1792;
constexpr unsigned long kMaxBinary = 1792;

using gc_card::append;
using gc_card::appendLength;
using gc_card::resetApdu;

unsigned char privateKind(bool rsa) {
    return rsa ? 0x90 : 0x92;
}
unsigned char publicKind(bool rsa) {
    return rsa ? 0xA0 : 0xA2;
}
unsigned char keyId(unsigned char reference) {
    return static_cast<unsigned char>(reference & 0x0F);
}

}  // namespace

const std::array<GC_Card::sw_error, 15> GC_CardChipdoc_2_0::chipdoc_2_0_errors = gc_card::chipdocErrors();

unsigned long GC_CardChipdoc_2_0::getMaxApduSize(bool send) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const unsigned long size = send ? kMaxSend : kMaxReceive;
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, static_cast<int>(size));
    return size;
}

int GC_CardChipdoc_2_0::select(std::vector<unsigned char> path, std::vector<unsigned char>& apdu, bool fci, bool df,
                               bool aid) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    if (path.size() != 2 && !aid) return GC_FAIL(kErrMask, -22, "Path size is wrong");
    if (path == std::vector<unsigned char>{0x3F, 0x00}) {
        append(apdu, {0x00, 0xA4, 0x00, static_cast<unsigned char>(fci ? 0x00 : 0x0C)});
        if (fci) apdu.push_back(0x00);
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
        return 0;
    }
    const unsigned char p1 = df ? 0x01 : (aid ? 0x04 : 0x02);
    // P2 04: the card answers with its FCP template.
    return selectCommand(__func__, kLogFile, path, p1, fci ? 0x04 : 0x0C, fci, apdu);
}

int GC_CardChipdoc_2_0::read(std::vector<unsigned char>& apdu, unsigned long count, unsigned long offset) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    if (offset >= 0x8000) return GC_FAIL(kErrMask, -12, "Index is to big, biger than 0x7FFF");
    if (count > kMaxBinary) return GC_FAIL(kErrMask, -23, "Count is to big, biger than card supported size");
    const int rc = GC_Card::read(apdu, count, offset);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, rc);
    return rc;
}

int GC_CardChipdoc_2_0::update(std::vector<unsigned char>& apdu, std::vector<unsigned char> data,
                               unsigned long offset) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    if (offset >= 0x8000) return GC_FAIL(kErrMask, -12, "Index is to bigg, biger than 0x7FFF");
    if (data.size() > kMaxBinary) return GC_FAIL(kErrMask, -23, "Count is to big, biger than card supported size");
    const int rc = GC_Card::update(apdu, std::move(data), offset);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, rc);
    return rc;
}

int GC_CardChipdoc_2_0::changePassword(unsigned char reference, std::vector<unsigned char> oldPin,
                                       std::vector<unsigned char> newPin, std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const int rc = GC_Card::changePassword(reference, std::move(oldPin), std::move(newPin), apdu);
    // The card takes no P1 01 (new reference data only).
    if (rc == 0 && apdu.size() >= 4) apdu[2] = 0x00;
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, rc);
    return rc;
}

int GC_CardChipdoc_2_0::unblockPassword(unsigned char reference, std::vector<unsigned char> pin,
                                        std::vector<unsigned char>& apdu, bool withPin,
                                        std::vector<unsigned char> newPin) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    // The card's RESET RETRY COUNTER carries one value (P1 02): a second one given is not sent, only wiped.
    GC_WipeGuard wipe{&pin, &newPin};
    if (!withPin) {
        // The card expects the trailing 00 after the header.
        resetApdu(apdu);
        append(apdu, {0x00, 0x2C, 0x03, reference, 0x00});
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
        return 0;
    }
    resetApdu(apdu, 5 + pin.size());
    if (pin.size() > gc_card::kShortMax) return GC_FAIL(kErrMask, -23, "PIN is to long");
    append(apdu, {0x00, 0x2C, 0x02, reference, static_cast<unsigned char>(pin.size())});
    append(apdu, pin);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_2_0::activePassword(std::vector<unsigned char>& apdu, std::vector<unsigned char> /*data*/) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    append(apdu, {0x00, 0x44, 0x00, 0x00});
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_2_0::getSerialNumber(std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    append(apdu, {0x00, 0xCB, 0x7F, 0xFF, 0x08});
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_2_0::deleteObject(unsigned char id, int objectType, bool privateKey,
                                     std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    const bool rsa = objectType == 2;  // the card objects' key type: 2 is RSA
    append(apdu, {0x80, 0xE5, privateKey ? privateKind(rsa) : publicKind(rsa), keyId(id)});
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_2_0::generateKeyPair(unsigned char reference, key_type type, unsigned long /*keyBits*/,
                                        std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    append(apdu, {0x00, 0x47, 0x00, 0x00, 0x05, 0x70, 0x03, 0xBF, privateKind(type == KEY_RSA), keyId(reference)});
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_2_0::getPublicKey(unsigned char reference, key_type type, std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    // GET DATA on the current DF with an extended header list asking for the public-key
    // template 7F49 of key object BF kind ref. The card's own form: Lc is 0A although eleven
    // bytes follow, and the header list's last byte (00) doubles as Le.
    append(apdu, {0x00, 0xCB, 0x3F, 0xFF, 0x0A, 0x4D, 0x09, 0x70, 0x07, 0xBF, publicKind(type == KEY_RSA),
                  keyId(reference), 0x03, 0x7F, 0x49, 0x00});
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_2_0::manageSecurityEnvironment(operation_SE op, template_SE tpl, std::vector<unsigned char>& apdu,
                                                  unsigned long long usage, const void* data) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!mseHeader(op, tpl, usage, apdu)) return GC_FAIL(kErrMask, -8);
    if (op == SE_SET && data != nullptr) {
        const auto* record = static_cast<const mse_data*>(data);
        // 80: algorithm reference; 84: key reference with bit 8 set.
        append(apdu, {0x06, 0x80, 0x01, record->algorithm, 0x84, 0x01,
                      static_cast<unsigned char>(keyId(record->keyRef) | 0x80)});
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CardChipdoc_2_0::checkSW(operation op, std::vector<unsigned char> response) {
    return gc_card::chipdocCheckSW(*this, chipdoc_2_0_errors, op, response, true, kLogFile);
}

int GC_CardChipdoc_2_0::createPrivateKey(unsigned char reference, unsigned long keyBits, key_type type,
                                         std::vector<unsigned char>& apdu) {
    return createKeyObject(__func__, true, reference, keyBits, type, apdu);
}

int GC_CardChipdoc_2_0::createPublicKey(unsigned char reference, unsigned long keyBits, key_type type,
                                        std::vector<unsigned char>& apdu) {
    return createKeyObject(__func__, false, reference, keyBits, type, apdu);
}

// Creates an empty key object (INS E1) whose data field is
//   70 { A0 { A1 { 8C, 9C }, 80 size [, 9E 00 for a private key] } [, 7F49 { 81 p, 82 a, 83 b, 84 G, 85 n, 87 h }] }
// The 7F49 template with the curve's domain parameters is present for elliptic-curve keys only.
int GC_CardChipdoc_2_0::createKeyObject(const char* func, bool privateKey, unsigned char reference,
                                        unsigned long keyBits, key_type type, std::vector<unsigned char>& apdu) {
    GC_LoggerC::call1(func, kLogFile, __LINE__, kLogMask);
    resetApdu(apdu);
    const bool rsa = type == KEY_RSA;
    append(apdu, {0x00, 0xE1, privateKey ? privateKind(rsa) : publicKind(rsa), keyId(reference)});

    // The card's rule for the security attributes of its key objects: D9 followed by four times
    // (reference + D0) mod 256, taken from the whole reference byte (references 80..8F give
    // 50..5F). The key objects stored on cards carry exactly these bytes.
    const auto s = static_cast<unsigned char>(reference + 0xD0);
    const std::vector<unsigned char> access{0xD9, s, s, s, s};
    // Key size in bytes, rounded up, as two bytes.
    const unsigned long sizeBytes = keyBits / 8 + (keyBits % 8 != 0 ? 1 : 0);
    const std::vector<unsigned char> size{static_cast<unsigned char>((sizeBytes >> 8) & 0xFF),
                                          static_cast<unsigned char>(sizeBytes & 0xFF)};

    int asn = 0;
    GC_ASN1::item ac8C, ac9C, a1, size80, a0, root;
    asn |= GC_ASN1::createTag(ac8C, {0x8C}, access, true);
    asn |= GC_ASN1::createTag(ac9C, {0x9C}, access, true);
    asn |= GC_ASN1::createTag(a1, {0xA1}, {}, false);
    asn |= GC_ASN1::addChild(a1, ac8C);
    asn |= GC_ASN1::addChild(a1, ac9C);
    asn |= GC_ASN1::createTag(size80, {0x80}, size, true);
    asn |= GC_ASN1::createTag(a0, {0xA0}, {}, false);
    asn |= GC_ASN1::addChild(a0, a1);
    asn |= GC_ASN1::addChild(a0, size80);
    if (privateKey) {
        GC_ASN1::item e9E;
        asn |= GC_ASN1::createTag(e9E, {0x9E}, {0x00}, true);
        asn |= GC_ASN1::addChild(a0, e9E);
    }
    asn |= GC_ASN1::createTag(root, {0x70}, {}, false);
    asn |= GC_ASN1::addChild(root, a0);

    if (!rsa) {
        GC_EC_Params::ec_nid nid;
        const auto curve = curveOf(type, nid) ? GC_EC_Params::EC_Params.find(nid) : GC_EC_Params::EC_Params.end();
        if (curve == GC_EC_Params::EC_Params.end())
            return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, -12, "Wrong EC type");
        const GC_EC_Params::ec_param& param = curve->second;
        GC_ASN1::item params;
        asn |= GC_ASN1::createTag(params, {0x7F, 0x49}, {}, false);
        const std::pair<unsigned char, const std::vector<unsigned char>*> fields[] = {
            {0x81, &param.p}, {0x82, &param.a}, {0x83, &param.b}, {0x84, &param.G}, {0x85, &param.n}, {0x87, &param.h},
        };
        for (const auto& [tag, value] : fields) {
            GC_ASN1::item field;
            asn |= GC_ASN1::createTag(field, {tag}, *value, true);
            asn |= GC_ASN1::addChild(params, field);
        }
        asn |= GC_ASN1::addChild(root, params);
    }

    const std::vector<unsigned char> body = asn == 0 ? GC_ASN1::serialize(root) : std::vector<unsigned char>{};
    if (body.empty()) {
        resetApdu(apdu);
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, -2, "Error in ASN1 library");
    }
    appendLength(apdu, body.size());
    append(apdu, body);
    GC_LoggerC::ret1(func, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}
