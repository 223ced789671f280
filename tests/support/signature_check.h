#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "openssl_ptr.h"

namespace gctest {

// The SHA-256 digest of a text, as a signing client hands it over.
inline std::vector<unsigned char> sha256(const std::string& text) {
    std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr);
    digest.resize(length);
    return digest;
}

// Whether `signature` over `message` (SHA-256; ECDSA in DER, or RSA PKCS#1 v1.5) verifies with the
// key of the DER certificate, by OpenSSL.
inline bool verifiesWithCertificate(const std::vector<unsigned char>& certificate, const std::string& message,
                                    const std::vector<unsigned char>& signature) {
    const unsigned char* p = certificate.data();
    gc_ossl::X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(certificate.size())));
    if (!x509) return false;
    gc_ossl::EvpPkeyPtr key(X509_get_pubkey(x509.get()));
    gc_ossl::EvpMdCtxPtr context(EVP_MD_CTX_new());
    return key && context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

}  // namespace gctest
