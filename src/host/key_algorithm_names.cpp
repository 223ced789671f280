#include "host/key_algorithm_names.h"

namespace host {

namespace {

#define GC_ALGORITHM(constant, hash)                         \
    NamedKeyAlgorithm {                                      \
#constant, sec::KeyAlgorithm::constant, Digest::hash \
    }

constexpr NamedKeyAlgorithm kAlgorithms[] = {
    GC_ALGORITHM(RSASignatureRaw, None),
    GC_ALGORITHM(RSASignatureDigestPKCS1v15Raw, None),
    GC_ALGORITHM(RSASignatureDigestPKCS1v15SHA1, SHA1),
    GC_ALGORITHM(RSASignatureDigestPKCS1v15SHA224, SHA224),
    GC_ALGORITHM(RSASignatureDigestPKCS1v15SHA256, SHA256),
    GC_ALGORITHM(RSASignatureDigestPKCS1v15SHA384, SHA384),
    GC_ALGORITHM(RSASignatureDigestPKCS1v15SHA512, SHA512),
    GC_ALGORITHM(RSASignatureMessagePKCS1v15SHA1, None),
    GC_ALGORITHM(RSASignatureMessagePKCS1v15SHA224, None),
    GC_ALGORITHM(RSASignatureMessagePKCS1v15SHA256, None),
    GC_ALGORITHM(RSASignatureMessagePKCS1v15SHA384, None),
    GC_ALGORITHM(RSASignatureMessagePKCS1v15SHA512, None),
    GC_ALGORITHM(RSASignatureDigestPSSSHA1, SHA1),
    GC_ALGORITHM(RSASignatureDigestPSSSHA224, SHA224),
    GC_ALGORITHM(RSASignatureDigestPSSSHA256, SHA256),
    GC_ALGORITHM(RSASignatureDigestPSSSHA384, SHA384),
    GC_ALGORITHM(RSASignatureDigestPSSSHA512, SHA512),
    GC_ALGORITHM(RSASignatureMessagePSSSHA1, None),
    GC_ALGORITHM(RSASignatureMessagePSSSHA224, None),
    GC_ALGORITHM(RSASignatureMessagePSSSHA256, None),
    GC_ALGORITHM(RSASignatureMessagePSSSHA384, None),
    GC_ALGORITHM(RSASignatureMessagePSSSHA512, None),
    GC_ALGORITHM(ECDSASignatureRFC4754, None),
    GC_ALGORITHM(ECDSASignatureDigestX962, SHA256),
    GC_ALGORITHM(ECDSASignatureDigestX962SHA1, SHA1),
    GC_ALGORITHM(ECDSASignatureDigestX962SHA224, SHA224),
    GC_ALGORITHM(ECDSASignatureDigestX962SHA256, SHA256),
    GC_ALGORITHM(ECDSASignatureDigestX962SHA384, SHA384),
    GC_ALGORITHM(ECDSASignatureDigestX962SHA512, SHA512),
    GC_ALGORITHM(ECDSASignatureMessageX962SHA1, None),
    GC_ALGORITHM(ECDSASignatureMessageX962SHA224, None),
    GC_ALGORITHM(ECDSASignatureMessageX962SHA256, None),
    GC_ALGORITHM(ECDSASignatureMessageX962SHA384, None),
    GC_ALGORITHM(ECDSASignatureMessageX962SHA512, None),
    GC_ALGORITHM(RSAEncryptionRaw, None),
    GC_ALGORITHM(RSAEncryptionPKCS1, None),
    GC_ALGORITHM(RSAEncryptionOAEPSHA1, None),
    GC_ALGORITHM(RSAEncryptionOAEPSHA224, None),
    GC_ALGORITHM(RSAEncryptionOAEPSHA256, None),
    GC_ALGORITHM(RSAEncryptionOAEPSHA384, None),
    GC_ALGORITHM(RSAEncryptionOAEPSHA512, None),
    GC_ALGORITHM(RSAEncryptionOAEPSHA1AESGCM, None),
    GC_ALGORITHM(RSAEncryptionOAEPSHA224AESGCM, None),
    GC_ALGORITHM(RSAEncryptionOAEPSHA256AESGCM, None),
    GC_ALGORITHM(RSAEncryptionOAEPSHA384AESGCM, None),
    GC_ALGORITHM(RSAEncryptionOAEPSHA512AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionStandardX963SHA1AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionStandardX963SHA224AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionStandardX963SHA256AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionStandardX963SHA384AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionStandardX963SHA512AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionCofactorX963SHA1AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionCofactorX963SHA224AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionCofactorX963SHA256AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionCofactorX963SHA384AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionCofactorX963SHA512AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionStandardVariableIVX963SHA224AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionStandardVariableIVX963SHA256AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionStandardVariableIVX963SHA384AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionStandardVariableIVX963SHA512AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionCofactorVariableIVX963SHA224AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionCofactorVariableIVX963SHA256AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionCofactorVariableIVX963SHA384AESGCM, None),
    GC_ALGORITHM(ECIESEncryptionCofactorVariableIVX963SHA512AESGCM, None),
    GC_ALGORITHM(ECDHKeyExchangeStandard, None),
    GC_ALGORITHM(ECDHKeyExchangeStandardX963SHA1, None),
    GC_ALGORITHM(ECDHKeyExchangeStandardX963SHA224, None),
    GC_ALGORITHM(ECDHKeyExchangeStandardX963SHA256, None),
    GC_ALGORITHM(ECDHKeyExchangeStandardX963SHA384, None),
    GC_ALGORITHM(ECDHKeyExchangeStandardX963SHA512, None),
    GC_ALGORITHM(ECDHKeyExchangeCofactor, None),
    GC_ALGORITHM(ECDHKeyExchangeCofactorX963SHA1, None),
    GC_ALGORITHM(ECDHKeyExchangeCofactorX963SHA224, None),
    GC_ALGORITHM(ECDHKeyExchangeCofactorX963SHA256, None),
    GC_ALGORITHM(ECDHKeyExchangeCofactorX963SHA384, None),
    GC_ALGORITHM(ECDHKeyExchangeCofactorX963SHA512, None),
};

#undef GC_ALGORITHM

constexpr std::string_view kPrefix = "kSecKeyAlgorithm";

}  // namespace

const NamedKeyAlgorithm* findKeyAlgorithm(std::string_view name) {
    if (name.starts_with(kPrefix)) name.remove_prefix(kPrefix.size());
    for (const NamedKeyAlgorithm& entry : kAlgorithms) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

const char* keyAlgorithmName(sec::KeyAlgorithm algorithm) {
    for (const NamedKeyAlgorithm& entry : kAlgorithms) {
        if (entry.algorithm == algorithm) return entry.name;
    }
    return "unknown";
}

}  // namespace host
