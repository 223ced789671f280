// Signing on the card, both generations: the algorithm reference and the exact input each card
// takes, the shared select / MANAGE SECURITY ENVIRONMENT / PERFORM SECURITY OPERATION steps, and
// the form of the signature handed back.
#include <algorithm>

#include "CardController/Card/cardchipdoc_2_0.h"
#include "CardController/Card/cardchipdoc_3_0.h"
#include "CardController/cardcontroller_varnel_1_0.h"
#include "CardController/cardcontroller_varnel_2_0.h"
#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Data/Objects/privkeyobject.h"
#include "asn1.h"
#include "logger.h"
#include "pkcs1.h"

namespace {

constexpr const char* kLogFile = "CardController/cardcontroller_signature";
constexpr unsigned long kLogMask = gc_log::kCardController;
constexpr unsigned long kErrMask = gc_log::kCardController | gc_log::kError;

using namespace gc_cc;

// Usage arguments of MANAGE SECURITY ENVIRONMENT: SET for signing, per card operating system.
constexpr unsigned long long kUsageChipdoc20 = 4;
constexpr unsigned long long kUsageChipdoc30 = 8;

// First generation algorithm references.
constexpr unsigned char kRefEcdsa = 0xCC;
constexpr unsigned char kRefRsaPkcs1 = 0x8A;  // the card pads the DigestInfo it is given
constexpr unsigned char kRefRsaRaw = 0x8C;    // the card signs the block as it is

// Second generation algorithm references, per hash: ECDSA and RSA PKCS#1 v1.5 over the bare digest.
struct HashReferences {
    GC_Security::data_format format;
    uint32_t ecdsa;
    uint32_t rsa;
};
constexpr HashReferences kChipdoc30References[] = {
    {.format = GC_Security::HASH_SHA1, .ecdsa = 0x11, .rsa = 0x0A},
    {.format = GC_Security::HASH_SHA224, .ecdsa = 0x25, .rsa = 0x27},
    {.format = GC_Security::HASH_SHA256, .ecdsa = 0x21, .rsa = 0x28},
    {.format = GC_Security::HASH_SHA384, .ecdsa = 0x22, .rsa = 0x29},
    {.format = GC_Security::HASH_SHA512, .ecdsa = 0x26, .rsa = 0x2A},
};

const HashReferences* referencesOf(GC_Security::data_format format) {
    for (const HashReferences& row : kChipdoc30References)
        if (row.format == format) return &row;
    return nullptr;
}

// The hash whose digest has this length; HASH_NONE for a length no hash gives.
GC_Security::data_format formatOfLength(size_t length) {
    for (const HashReferences& row : kChipdoc30References)
        if (GC_Security::alghoritmLenOutput(row.format) == length) return row.format;
    return GC_Security::HASH_NONE;
}

// An unsigned big-endian number as the content of a DER INTEGER: no leading zero bytes but the
// one that keeps a high first bit positive.
std::vector<uint8_t> derInteger(std::vector<uint8_t>::const_iterator begin, std::vector<uint8_t>::const_iterator end) {
    while (end - begin > 1 && *begin == 0x00) ++begin;
    std::vector<uint8_t> out(begin, end);
    if (out.front() >= 0x80) out.insert(out.begin(), 0x00);
    return out;
}

}  // namespace

int GC_CardController::signOnCard(std::shared_ptr<GC_Container>& container, GC_PrivKeyObject* key, bool selectAppFirst,
                                  unsigned long long usage, const void* record, const std::vector<uint8_t>& input,
                                  std::vector<uint8_t>& answer) {
    if ((container->flags & GC_Container::FLAG_NO_LENGTH) != 0 && controller->channelFlags() == 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Secure Connection is not established.");
        controller->restoreSecureConnection();
    }
    if (const int rc = select(container->AID, key->path, selectAppFirst, nullptr); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Cannot select a key path");

    std::vector<uint8_t> command;
    if (const int rc = card->manageSecurityEnvironment(GC_Card::SE_SET, GC_Card::TEMPLATE_DST, command, usage, record);
        rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Create manage security environment APDU with error : %d", rc);
    std::vector<uint8_t> response;
    if (const int rc = controller->sendApdu(command, response, 0, true); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when send menage security environment | error: %d", rc);
    if (const int rc = checkSW(GC_Card::OP_MSE, response); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when menage security environment| error: %d", rc);

    if (const int rc = card->signatureData(input, static_cast<unsigned long>(key->getKeySize()), command); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Create signature data APDU with error : %d", rc);
    response.clear();
    if (const int rc = controller->sendApdu(command, response, 0, true); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when send signature data | error: %d", rc);
    if (const int rc = checkSW(GC_Card::OP_SIGNATURE, response); rc != kOk) return GC_FAIL(kErrMask, rc);
    response.resize(response.size() - 2);
    answer = std::move(response);
    return kOk;
}

int GC_CardControllerVarnel_1_0::signatureData(std::shared_ptr<GC_Container>& container, GC_PrivKeyObject* key,
                                               std::vector<uint8_t> data, GC_Security::data_format /*format*/,
                                               GC_Security::padding_type padding, std::vector<uint8_t>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (!container) return GC_FAIL(kErrMask, kFailed, "Container is nullptr");
    if (key == nullptr) return GC_FAIL(kErrMask, kFailed, "Key is nullptr");

    GC_CardChipdoc_2_0::mse_data record{};
    record.keyRef = key->keyReference;
    if ((key->state & GC_Object::STATE_KEYREF_HIGH_BIT) != 0)
        record.keyRef = static_cast<uint8_t>(record.keyRef + 0x80);
    if (key->keyType == GC_Object::KEY_EC) {
        record.algorithm = kRefEcdsa;
        // The card takes no more than the curve's order has bytes (66 for a 521-bit curve); a key
        // of unknown size gets the input as it is.
        const int bits = key->getKeySize();
        const size_t curveBytes = bits > 0 ? (static_cast<size_t>(bits) + 7) / 8 : data.size();
        if (data.size() > curveBytes) data.resize(curveBytes);
    } else {
        record.algorithm = padding == GC_Security::PAD_PKCS1_V15 ? kRefRsaPkcs1 : kRefRsaRaw;
    }
    // The card answers the signature in its final form: the RSA block, or DER for ECDSA.
    if (const int rc = signOnCard(container, key, true, kUsageChipdoc20, &record, data, out); rc != kOk)
        return GC_FAIL(kErrMask, rc);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, kOk);
    return kOk;
}

int GC_CardControllerVarnel_2_0::signatureData(std::shared_ptr<GC_Container>& container, GC_PrivKeyObject* key,
                                               std::vector<uint8_t> data, GC_Security::data_format format,
                                               GC_Security::padding_type padding, std::vector<uint8_t>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (!container) return GC_FAIL(kErrMask, kFailed, "Container is nullptr");
    if (key == nullptr) return GC_FAIL(kErrMask, kFailed, "Key is nullptr");

    // The card hashes nothing: it is told which hash the digest it gets is of.
    GC_CardChipdoc_3_0::mse_data record{};
    record.keyRef = key->keyReference;
    const bool ec = key->keyType == GC_Object::KEY_EC;
    if (ec) {
        // A given digest is known by its length (20, 28, 32, 48 or 64 bytes).
        record.flag = format == GC_Security::HASH_NONE;
        const GC_Security::data_format hash = record.flag ? formatOfLength(data.size()) : format;
        const HashReferences* references = referencesOf(hash);
        if (references == nullptr) {
            if (!record.flag) return GC_FAIL(kErrMask, kFailed, "Unsuported format %u", static_cast<unsigned>(format));
            return GC_FAIL(kErrMask, kFailed, "No digest of %zu bytes", data.size());
        }
        record.algorithm = references->ecdsa;
    } else {
        if (padding != GC_Security::PAD_PKCS1_V15) return GC_FAIL(kErrMask, kFailed, "Unsuported format");
        // The card builds the DigestInfo itself from the bare digest and the hash it is told.
        GC_Security::data_format found = format;
        const size_t keyLen = static_cast<size_t>(key->getKeySize()) / 8;
        if (const int rc = GC_PKCS1::EMSA_v1_5_decode(data, keyLen, found, data); rc != 0)
            return GC_FAIL(kErrMask, kFailed, "Cannot decode EMSA | %d", rc);
        const HashReferences* references = referencesOf(found);
        if (references == nullptr) return GC_FAIL(kErrMask, kFailed, "Unsuported format %u", found);
        record.algorithm = references->rsa;
        record.flag = format != GC_Security::HASH_NONE;
    }

    std::vector<uint8_t> answer;
    if (const int rc = signOnCard(container, key, false, kUsageChipdoc30, &record, data, answer); rc != kOk)
        return GC_FAIL(kErrMask, rc);
    if (!ec) {
        out = std::move(answer);
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, kOk);
        return kOk;
    }

    // The card answers r || s, two halves of equal length; handed on as DER ECDSA-Sig-Value with
    // minimal INTEGERs, as strict verifiers require.
    if (answer.size() < 2 || answer.size() % 2 != 0)
        return GC_FAIL(kErrMask, kFailed, "Wrong EC signature length %zu", answer.size());
    const auto middle = answer.begin() + static_cast<long>(answer.size() / 2);
    GC_ASN1::item r;
    GC_ASN1::item s;
    GC_ASN1::item sequence;
    GC_ASN1::createTag(r, {0x02}, derInteger(answer.begin(), middle), true);
    GC_ASN1::createTag(s, {0x02}, derInteger(middle, answer.end()), true);
    GC_ASN1::createTag(sequence, {0x30}, {}, false);
    if (GC_ASN1::addChild(sequence, r) != 0 || GC_ASN1::addChild(sequence, s) != 0)
        return GC_FAIL(kErrMask, kFailed, "Cannot encode the EC signature");
    out = GC_ASN1::serialize(sequence);
    if (out.empty()) return GC_FAIL(kErrMask, kFailed, "Cannot encode the EC signature");
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, kOk);
    return kOk;
}
