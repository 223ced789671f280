#include "extension/signing_algorithms.h"

#include "platform/ctk_token.h"
#include "security_lib.h"

namespace {

using sec::KeyAlgorithm;

// An algorithm offered by a mechanism of the key's family with that padding bit (0: any) and
// hash bit.
struct Offer {
    GC_Object::key_type keyType;
    uint64_t padding;
    uint64_t hash;
    KeyAlgorithm algorithm;
};

constexpr Offer kOffers[] = {
    {GC_Object::KEY_RSA, GC_Security::PAD_PKCS1_V15, GC_Security::HASH_SHA1,
     KeyAlgorithm::RSASignatureDigestPKCS1v15SHA1},
    {GC_Object::KEY_RSA, GC_Security::PAD_PKCS1_V15, GC_Security::HASH_SHA256,
     KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256},
    {GC_Object::KEY_RSA, GC_Security::PAD_PKCS1_V15, GC_Security::HASH_SHA384,
     KeyAlgorithm::RSASignatureDigestPKCS1v15SHA384},
    {GC_Object::KEY_RSA, GC_Security::PAD_PKCS1_V15, GC_Security::HASH_SHA512,
     KeyAlgorithm::RSASignatureDigestPKCS1v15SHA512},
    {GC_Object::KEY_RSA, GC_Security::PAD_NONE, GC_Security::HASH_NONE, KeyAlgorithm::RSASignatureRaw},
    {GC_Object::KEY_EC, 0, GC_Security::HASH_NONE, KeyAlgorithm::ECDSASignatureDigestX962},
    {GC_Object::KEY_EC, 0, GC_Security::HASH_SHA384, KeyAlgorithm::ECDSASignatureDigestX962SHA384},
    {GC_Object::KEY_EC, 0, GC_Security::HASH_SHA512, KeyAlgorithm::ECDSASignatureDigestX962SHA512},
};

struct Signing {
    KeyAlgorithm algorithm;
    CardDriver::signature_alghoritm driverAlgorithm;
};

constexpr Signing kSigning[] = {
    {KeyAlgorithm::RSAEncryptionRaw, CardDriver::RSA_PKCS1_NONE},
    {KeyAlgorithm::RSASignatureRaw, CardDriver::RSA_PKCS1_NONE},
    {KeyAlgorithm::RSASignatureDigestPKCS1v15SHA1, CardDriver::RSA_PKCS1_SHA1},
    {KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256, CardDriver::RSA_PKCS1_SHA256},
    {KeyAlgorithm::RSASignatureDigestPKCS1v15SHA384, CardDriver::RSA_PKCS1_SHA384},
    {KeyAlgorithm::RSASignatureDigestPKCS1v15SHA512, CardDriver::RSA_PKCS1_SHA512},
    {KeyAlgorithm::ECDSASignatureDigestX962SHA1, CardDriver::EC_SHA1},
    {KeyAlgorithm::ECDSASignatureDigestX962SHA256, CardDriver::EC_SHA256},
    {KeyAlgorithm::ECDSASignatureDigestX962SHA384, CardDriver::EC_SHA384},
    {KeyAlgorithm::ECDSASignatureDigestX962SHA512, CardDriver::EC_SHA512},
    {KeyAlgorithm::ECDSASignatureDigestX962, CardDriver::EC_NONE},
};

uint64_t familyOf(GC_Object::key_type keyType) {
    switch (keyType) {
        case GC_Object::KEY_RSA:
            return GC_Container::MECHANISM_RSA;
        case GC_Object::KEY_EC:
            return GC_Container::MECHANISM_EC;
    }
    return 0;
}

bool offers(const GC_Container::mechanism_info& mechanism, GC_Object::key_type keyType,
            const ctk::TokenKeyAlgorithm& algorithm) {
    if ((mechanism.mechanism & familyOf(keyType)) == 0) return false;
    if (mechanism.capabilities[2] == 0 && mechanism.capabilities[3] == 0) return false;
    for (const Offer& offer : kOffers) {
        if (offer.keyType != keyType || !algorithm.isAlgorithm(offer.algorithm)) continue;
        if (offer.padding != 0 && (mechanism.paddings & offer.padding) == 0) continue;
        if ((mechanism.hashFormats & offer.hash) != 0) return true;
    }
    return false;
}

}  // namespace

bool mechanismsOffer(const std::vector<std::shared_ptr<GC_Container::mechanism_info>>& mechanisms,
                     GC_Object::key_type keyType, const ctk::TokenKeyAlgorithm& algorithm) {
    for (const auto& mechanism : mechanisms) {
        if (mechanism && offers(*mechanism, keyType, algorithm)) return true;
    }
    return false;
}

std::optional<CardDriver::signature_alghoritm> driverAlgorithm(const ctk::TokenKeyAlgorithm& algorithm) {
    for (const Signing& signing : kSigning) {
        if (algorithm.isAlgorithm(signing.algorithm)) return signing.driverAlgorithm;
    }
    return std::nullopt;
}
