#include "Controller/signature_input.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "CardController/cardcontroller.h"
#include "Data/Objects/certobject.h"
#include "logger.h"
#include "pkcs1.h"

namespace {

constexpr const char* kLogFile = "Controller/signature_input";
constexpr unsigned long kErrMask = gc_log::kController | gc_log::kError;

}  // namespace

namespace gc_signing {

std::shared_ptr<GC_Container::mechanism_info> findMechanism(GC_Container& container, GC_Object::key_type keyType,
                                                            GC_Security::data_format format) {
    uint64_t wanted = 0;
    if (keyType == GC_Object::KEY_EC) wanted = GC_Container::MECHANISM_EC;
    if (keyType == GC_Object::KEY_RSA) wanted = GC_Container::MECHANISM_RSA;
    for (const auto& mechanism : container.getSupportedMechanism()) {
        if (mechanism && (mechanism->mechanism & wanted) != 0 && (mechanism->hashFormats & format) != 0)
            return mechanism;
    }
    return nullptr;
}

int digestInput(const std::vector<unsigned char>& data, GC_Security::data_format format,
                std::vector<unsigned char>& input) {
    if (format == GC_Security::HASH_NONE || data.size() == GC_Security::alghoritmLenOutput(format)) {
        input = data;
        return 0;
    }
    input.clear();
    return GC_Security::hashValuesToKey(format, {data}, input);
}

int pkcs1Input(const std::vector<unsigned char>& data, GC_Security::data_format format, size_t keyLen, bool wholeBlock,
               std::vector<unsigned char>& input) {
    if (GC_Security::alghoritmLenOutput(format) + 11 > keyLen)
        return GC_FAIL(kErrMask, gc_cc::kBadParameter, "Invalid size of datav");
    // Hashed here: the encoder would take empty data for a digest.
    std::vector<unsigned char> digest;
    if (const int rc = digestInput(data, format, digest); rc != 0)
        return GC_FAIL(kErrMask, gc_cc::kFailed, "Cannot hash value | %i", rc);
    if (const int rc = GC_PKCS1::EMSA_v1_5_encode(digest, keyLen, format, input, wholeBlock); rc != 0)
        return GC_FAIL(kErrMask, gc_cc::kFailed, "Cannot encode EMSA | %i", rc);
    return 0;
}

bool usableKeySize(GC_Object::key_type keyType, uint64_t bits) {
    return bits <= kLargestKeyBits && (bits != 0 || keyType == GC_Object::KEY_EC);
}

uint64_t certifiedKeyBits(GC_Container& container, const std::vector<unsigned char>& id) {
    std::vector<GC_Object*> certificates;
    container.getCerts(certificates);
    for (GC_Object* object : certificates) {
        auto* certificate = dynamic_cast<GC_CertObject*>(object);
        if (certificate == nullptr || !certificate->cert || certificate->ID != id) continue;
        EVP_PKEY* key = X509_get0_pubkey(certificate->cert.get());
        const int bits = key != nullptr && EVP_PKEY_is_a(key, "EC") == 1 ? EVP_PKEY_get_bits(key) : 0;
        return bits > 0 ? static_cast<uint64_t>(bits) : 0;
    }
    return 0;
}

int exactPkcs1Block(const std::vector<unsigned char>& block, size_t keyLen, GC_Security::data_format& format,
                    std::vector<unsigned char>& digest) {
    // Whatever hash the block names, it must be the one encoding of its last bytes as that
    // hash's digest: nothing else is signed in its place.
    if (block.size() != keyLen) return GC_FAIL(kErrMask, gc_cc::kBadParameter, "Not a block of %zu bytes", keyLen);
    for (const auto hash : {GC_Security::HASH_SHA1, GC_Security::HASH_SHA224, GC_Security::HASH_SHA256,
                            GC_Security::HASH_SHA384, GC_Security::HASH_SHA512}) {
        const size_t length = GC_Security::alghoritmLenOutput(hash);
        if (length == 0 || length > block.size()) continue;
        std::vector<unsigned char> candidate(block.end() - static_cast<long>(length), block.end());
        std::vector<unsigned char> encoded;
        if (GC_PKCS1::EMSA_v1_5_encode(candidate, keyLen, hash, encoded, true) != 0 || encoded != block) continue;
        format = hash;
        digest = std::move(candidate);
        return 0;
    }
    return GC_FAIL(kErrMask, gc_cc::kBadParameter, "Not a PKCS#1 v1.5 block of %zu bytes", keyLen);
}

std::vector<unsigned char> zeroPadded(const std::vector<unsigned char>& data, size_t length) {
    std::vector<unsigned char> out(length > data.size() ? length - data.size() : 0, 0x00);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

}  // namespace gc_signing
