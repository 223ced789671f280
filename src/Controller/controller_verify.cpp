// Signature verification in software with a public key of a container: the key, usage and
// mechanism rules of signing, the same kind of input, no reader and no card.
#include "Controller/controller.h"
#include "Controller/signature_input.h"
#include "Data/Container/container.h"
#include "Data/Objects/pubkeyobject.h"
#include "common.h"
#include "logger.h"
#include "pkcs1.h"

namespace {

constexpr const char* kLogFile = "Controller/controller_verify";
constexpr unsigned long kLogMask = gc_log::kController;
constexpr unsigned long kErrMask = gc_log::kController | gc_log::kError;
constexpr unsigned long kDetailMask = gc_log::kController | gc_log::kDetail;

constexpr int kNoKey = -1108;
constexpr int kNoMatch = 1;

using namespace gc_cc;

std::string hex(const std::vector<unsigned char>& bytes) {
    return GC_CommonStr::byte2HexStr(bytes, true, true);
}

}  // namespace

int GC_Controller::verifySignature(std::shared_ptr<GC_Container>& container, GC_Object* object,
                                   std::vector<unsigned char> data, std::vector<unsigned char> signature,
                                   GC_Object::key_type keyType, GC_Security::data_format format,
                                   GC_Security::padding_type padding) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!container) return GC_FAIL(kErrMask, gc_session::kNoContainer, "Container is nullptr");
    if (object == nullptr) return GC_FAIL(kErrMask, kBadParameter, "Object is nullptr");
    if (!container->isObject(object)) return GC_FAIL(kErrMask, kBadParameter, "Container do not have this object key");
    GC_PubKeyObject* key = nullptr;
    if (object->type == GC_Object::TYPE_PUBLIC_KEY) {
        key = dynamic_cast<GC_PubKeyObject*>(object);
    } else if (object->type == GC_Object::TYPE_CERTIFICATE) {
        std::vector<GC_Object*> related;
        container->getPubKeyRelatedWithCert(related, object);
        if (related.empty())
            return GC_FAIL(kErrMask, kBadParameter, "Container do not have public key related with cert");
        key = dynamic_cast<GC_PubKeyObject*>(related.front());
    }
    if (key == nullptr) return GC_FAIL(kErrMask, kBadParameter, "Object is not a correct type");
    if (key->keyType != keyType) return GC_FAIL(kErrMask, kBadParameter, "Key type is not equal");
    if ((key->usage & gc_signing::kUsageSign) != 0 && (key->usage & gc_signing::kUsageNonRepudiation) != 0)
        return GC_FAIL(kErrMask, kBadParameter, "This key cannot be used for verifing");

    const auto mechanism = gc_signing::findMechanism(*container, keyType, format);
    if (!mechanism) return GC_FAIL(kErrMask, kBadParameter, "Verify alghoritm is not supported");

    // The size of the key held; without one, the size its directory entry gave (the check of the
    // signature then answers that there is no key). Buffers are sized from it.
    const uint64_t keyBits = key->key ? key->getKeySize() : key->keyBits;
    if (!gc_signing::usableKeySize(key->keyType, keyBits))
        return GC_FAIL(kErrMask, kBadParameter, "Invalid key size %llu", static_cast<unsigned long long>(keyBits));
    const size_t keyLen = keyBits / 8;
    const bool mechanismPads = (mechanism->paddings & GC_Security::PAD_PKCS1_V15) != 0;
    std::vector<unsigned char> input;
    if (key->keyType == GC_Object::KEY_EC) {
        if ((mechanism->paddings & padding) == 0) return GC_FAIL(kErrMask, kFailed, "Invalid padding type");
        if (const int rc = gc_signing::digestInput(data, format, input); rc != 0)
            return GC_FAIL(kErrMask, kFailed, "Cannot hash value | %i", rc);
    } else if (padding == GC_Security::PAD_PKCS1_V15 && format == GC_Security::HASH_NONE) {
        GC_Security::data_format found = format;
        std::vector<unsigned char> digest;
        if (const int rc = GC_PKCS1::EMSA_v1_5_decode(data, keyLen, found, digest); rc != 0)
            return GC_FAIL(kErrMask, kFailed, "Cannot decode EMSA | %d", rc);
        if (mechanismPads) {
            input = data;
        } else {
            // The data is the DigestInfo: the whole block 00 01 FF..FF 00 around it, when it fits.
            if (data.size() + 3 > keyLen) return GC_FAIL(kErrMask, kBadParameter, "Invalid size of datav");
            input = {0x00, 0x01};
            input.insert(input.end(), keyLen - 3 - data.size(), 0xFF);
            input.push_back(0x00);
            input.insert(input.end(), data.begin(), data.end());
        }
    } else if (padding == GC_Security::PAD_PKCS1_V15) {
        if (const int rc = gc_signing::pkcs1Input(data, format, keyLen, !mechanismPads, input); rc != 0)
            return GC_FAIL(kErrMask, rc);
    } else {
        if (data.size() > keyLen) return GC_FAIL(kErrMask, kBadParameter, "Invalid size of datav");
        input = padding == GC_Security::PAD_NONE ? gc_signing::zeroPadded(data, keyLen) : data;
    }

    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kDetailMask, "DATA TO VERIFY: %s", hex(input).c_str());
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kDetailMask, "SIGNATURE TO VERIFY: %s", hex(signature).c_str());
    const int verdict = key->verifySignature(input, signature, padding);
    if (verdict == kNoMatch || verdict == kNoKey) return GC_FAIL(kErrMask, verdict, "Cannot verify data");
    if (verdict != 0) return GC_FAIL(kErrMask, kFailed, "Verify other error | %d", verdict);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}
