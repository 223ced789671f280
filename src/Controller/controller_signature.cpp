// The card session's signing step: checks the key against the container, forms the exact bytes
// the card signs, and has the card controller sign them under the reader lock.
#include "Controller/controller.h"
#include "Controller/signature_input.h"
#include "Data/Container/container.h"
#include "Data/Objects/privkeyobject.h"
#include "common.h"
#include "logger.h"
#include "pkcs1.h"

namespace {

constexpr const char* kLogFile = "Controller/controller_signature";
constexpr unsigned long kLogMask = gc_log::kController;
constexpr unsigned long kErrMask = gc_log::kController | gc_log::kError;
// The data and the signature are logged as details.
constexpr unsigned long kDetailMask = gc_log::kController | gc_log::kDetail;

using namespace gc_cc;

std::string hex(const std::vector<unsigned char>& bytes) {
    return GC_CommonStr::byte2HexStr(bytes, true, true);
}

}  // namespace

int GC_Controller::signatureData(std::shared_ptr<GC_Container>& container, GC_Object* object,
                                 std::vector<unsigned char> data, GC_Object::key_type keyType,
                                 GC_Security::data_format format, GC_Security::padding_type padding,
                                 std::vector<unsigned char>& signature) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (reader == nullptr) return GC_FAIL(kErrMask, gc_session::kReaderMissing, "Reader is nullptr");
    if (!cardController) return GC_FAIL(kErrMask, gc_session::kCardMissing, "Card is nullptr");
    if (!container) return GC_FAIL(kErrMask, gc_session::kNoContainer, "Container is nullptr");
    if (object == nullptr) return GC_FAIL(kErrMask, kBadParameter, "Key is nullptr");
    if (!container->isObject(object)) return GC_FAIL(kErrMask, kBadParameter, "Container do not have this object key");
    auto* key = dynamic_cast<GC_PrivKeyObject*>(object);
    if (object->type != GC_Object::TYPE_PRIVATE_KEY || key == nullptr)
        return GC_FAIL(kErrMask, kBadParameter, "Object is not a private key");
    if (key->keyType != keyType) return GC_FAIL(kErrMask, kBadParameter, "Key type is not equal");
    // A key for both signing and non-repudiation is refused (it may be meant for qualified use only).
    if ((key->usage & gc_signing::kUsageSign) != 0 && (key->usage & gc_signing::kUsageNonRepudiation) != 0)
        return GC_FAIL(kErrMask, kBadParameter, "This key cannot be used for signing");

    const auto mechanism = gc_signing::findMechanism(*container, keyType, format);
    if (!mechanism) return GC_FAIL(kErrMask, kBadParameter, "Signature alghoritm is not supported");

    // The size the key's directory entry gives, whole: buffers are sized from it.
    const uint64_t keyBits = key->keyBits;
    if (!gc_signing::usableKeySize(key->keyType, keyBits))
        return GC_FAIL(kErrMask, kBadParameter, "Invalid key size %llu", static_cast<unsigned long long>(keyBits));
    const size_t keyLen = keyBits / 8;
    std::vector<unsigned char> input;
    if (key->keyType == GC_Object::KEY_EC) {
        if ((mechanism->paddings & padding) == 0) return GC_FAIL(kErrMask, kFailed, "Invalid padding type");
        if (const int rc = gc_signing::digestInput(data, format, input); rc != 0)
            return GC_FAIL(kErrMask, kFailed, "Cannot hash value | %i", rc);
        // No more than the curve's order has bytes (66 for a 521-bit curve), when the size is
        // known: the entry's, else the certificate's.
        const uint64_t curveBits = keyBits != 0 ? keyBits : gc_signing::certifiedKeyBits(*container, key->ID);
        const size_t curveBytes = (curveBits + 7) / 8;
        if (curveBits != 0 && input.size() > curveBytes) input.resize(curveBytes);
    } else if (padding == GC_Security::PAD_PKCS1_V15 && format == GC_Security::HASH_NONE) {
        // A complete encoding, exactly: the hash it names decides how the card is asked to sign
        // it. It is handed on as a digest of that hash would be: a card that pads itself cannot
        // pad a whole block again.
        std::vector<unsigned char> digest;
        if (const int rc = gc_signing::exactPkcs1Block(data, keyLen, format, digest); rc != 0)
            return GC_FAIL(kErrMask, rc, "Cannot decode EMSA");
        const bool addPadding = (mechanism->paddings & GC_Security::PAD_PKCS1_V15) == 0;
        if (const int rc = GC_PKCS1::EMSA_v1_5_encode(digest, keyLen, format, input, addPadding); rc != 0)
            return GC_FAIL(kErrMask, kFailed, "Cannot encode EMSA | %i", rc);
    } else if (padding == GC_Security::PAD_PKCS1_V15) {
        // A mechanism that pads itself takes the DigestInfo alone, any other the whole block.
        const bool addPadding = (mechanism->paddings & GC_Security::PAD_PKCS1_V15) == 0;
        if (const int rc = gc_signing::pkcs1Input(data, format, keyLen, addPadding, input); rc != 0)
            return GC_FAIL(kErrMask, rc);
    } else {
        if (data.size() > keyLen) return GC_FAIL(kErrMask, kBadParameter, "Invalid size of data");
        input = padding == GC_Security::PAD_NONE ? gc_signing::zeroPadded(data, keyLen) : data;
    }

    if (input.empty()) return GC_FAIL(kErrMask, kBadParameter, "Nothing to sign");

    if (const int rc = lockReader(); rc != 0) return GC_FAIL(kErrMask, rc, "Reader cannot lock");
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kDetailMask, "DATA TO SIGN: %s", hex(input).c_str());
    const int result = cardController->signatureData(container, key, input, format, padding, signature);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kDetailMask, "SIGNATURE: %s", hex(signature).c_str());
    return finishOperation(__func__, result, "Cannot sign data");
}
