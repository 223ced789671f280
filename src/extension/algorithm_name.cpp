#include "extension/algorithm_name.h"

#include "platform/ctk_token.h"
#include "platform/system_log.h"

namespace {

struct NamedAlgorithm {
    sec::KeyAlgorithm algorithm;
    const char* name;
};

#define GC_NAMED(constant)                     \
    NamedAlgorithm {                           \
        sec::KeyAlgorithm::constant, #constant \
    }

// The names given back, in the order they are tested.
constexpr NamedAlgorithm kNamed[] = {
    GC_NAMED(RSASignatureRaw),
    GC_NAMED(RSASignatureDigestPKCS1v15Raw),
    GC_NAMED(RSASignatureDigestPKCS1v15SHA1),
    GC_NAMED(RSASignatureDigestPKCS1v15SHA224),
    GC_NAMED(RSASignatureDigestPKCS1v15SHA256),
    GC_NAMED(RSASignatureDigestPKCS1v15SHA384),
    GC_NAMED(RSASignatureDigestPKCS1v15SHA512),
    GC_NAMED(RSASignatureMessagePKCS1v15SHA1),
    GC_NAMED(RSASignatureMessagePKCS1v15SHA224),
    GC_NAMED(RSASignatureMessagePKCS1v15SHA256),
    GC_NAMED(RSASignatureMessagePKCS1v15SHA384),
    GC_NAMED(RSASignatureMessagePKCS1v15SHA512),
    GC_NAMED(ECDSASignatureRFC4754),
    GC_NAMED(ECDSASignatureDigestX962),
    GC_NAMED(ECDSASignatureDigestX962SHA1),
    GC_NAMED(ECDSASignatureDigestX962SHA224),
    GC_NAMED(ECDSASignatureDigestX962SHA256),
    GC_NAMED(ECDSASignatureDigestX962SHA384),
    GC_NAMED(ECDSASignatureDigestX962SHA512),
    GC_NAMED(ECDSASignatureMessageX962SHA1),
    GC_NAMED(ECDSASignatureMessageX962SHA224),
    GC_NAMED(ECDSASignatureMessageX962SHA256),
    GC_NAMED(ECDSASignatureMessageX962SHA384),
    GC_NAMED(ECDSASignatureMessageX962SHA512),
    GC_NAMED(RSAEncryptionRaw),
    GC_NAMED(RSAEncryptionPKCS1),
    GC_NAMED(RSAEncryptionOAEPSHA1),
    GC_NAMED(RSAEncryptionOAEPSHA224),
    GC_NAMED(RSAEncryptionOAEPSHA256),
    GC_NAMED(RSAEncryptionOAEPSHA384),
    GC_NAMED(RSAEncryptionOAEPSHA512),
    GC_NAMED(RSAEncryptionOAEPSHA1AESGCM),
    GC_NAMED(RSAEncryptionOAEPSHA224AESGCM),
    GC_NAMED(RSAEncryptionOAEPSHA256AESGCM),
    GC_NAMED(RSAEncryptionOAEPSHA384AESGCM),
    GC_NAMED(RSAEncryptionOAEPSHA512AESGCM),
    GC_NAMED(ECIESEncryptionStandardX963SHA1AESGCM),
    GC_NAMED(ECIESEncryptionStandardX963SHA224AESGCM),
    GC_NAMED(ECIESEncryptionStandardX963SHA256AESGCM),
    GC_NAMED(ECIESEncryptionStandardX963SHA384AESGCM),
    GC_NAMED(ECIESEncryptionStandardX963SHA512AESGCM),
    GC_NAMED(ECIESEncryptionCofactorX963SHA1AESGCM),
    GC_NAMED(ECIESEncryptionCofactorX963SHA224AESGCM),
    GC_NAMED(ECIESEncryptionCofactorX963SHA256AESGCM),
    GC_NAMED(ECIESEncryptionCofactorX963SHA384AESGCM),
    GC_NAMED(ECIESEncryptionCofactorX963SHA512AESGCM),
    GC_NAMED(ECDHKeyExchangeStandard),
    GC_NAMED(ECDHKeyExchangeStandardX963SHA1),
    GC_NAMED(ECDHKeyExchangeStandardX963SHA224),
    GC_NAMED(ECDHKeyExchangeStandardX963SHA256),
    GC_NAMED(ECDHKeyExchangeStandardX963SHA384),
    GC_NAMED(ECDHKeyExchangeStandardX963SHA512),
    GC_NAMED(ECDHKeyExchangeCofactor),
    GC_NAMED(ECDHKeyExchangeCofactorX963SHA1),
    GC_NAMED(ECDHKeyExchangeCofactorX963SHA224),
    GC_NAMED(ECDHKeyExchangeCofactorX963SHA256),
    GC_NAMED(ECDHKeyExchangeCofactorX963SHA384),
    GC_NAMED(ECDHKeyExchangeCofactorX963SHA512),
};

// Names only logged.
constexpr NamedAlgorithm kLoggedOnly[] = {
    GC_NAMED(RSASignatureMessagePSSSHA512),
    GC_NAMED(ECIESEncryptionStandardVariableIVX963SHA224AESGCM),
    GC_NAMED(ECIESEncryptionStandardVariableIVX963SHA256AESGCM),
    GC_NAMED(ECIESEncryptionStandardVariableIVX963SHA384AESGCM),
    GC_NAMED(ECIESEncryptionStandardVariableIVX963SHA512AESGCM),
    GC_NAMED(ECIESEncryptionCofactorVariableIVX963SHA224AESGCM),
    GC_NAMED(ECIESEncryptionCofactorVariableIVX963SHA256AESGCM),
    GC_NAMED(ECIESEncryptionCofactorVariableIVX963SHA384AESGCM),
    GC_NAMED(ECIESEncryptionCofactorVariableIVX963SHA512AESGCM),
    GC_NAMED(RSASignatureDigestPSSSHA1),
    GC_NAMED(RSASignatureDigestPSSSHA224),
    GC_NAMED(RSASignatureDigestPSSSHA256),
    GC_NAMED(RSASignatureDigestPSSSHA384),
    GC_NAMED(RSASignatureDigestPSSSHA512),
    GC_NAMED(RSASignatureMessagePSSSHA1),
    GC_NAMED(RSASignatureMessagePSSSHA224),
    GC_NAMED(RSASignatureMessagePSSSHA256),
    GC_NAMED(RSASignatureMessagePSSSHA384),
};

#undef GC_NAMED

}  // namespace

const char* name(const ctk::TokenKeyAlgorithm& algorithm) {
    const char* found = nullptr;
    for (const NamedAlgorithm& entry : kNamed)
        if (algorithm.isAlgorithm(entry.algorithm)) found = entry.name;
    for (const NamedAlgorithm& entry : kLoggedOnly)
        if (algorithm.isAlgorithm(entry.algorithm)) plat::systemLog("%s", entry.name);
    return found;
}
