// OpenSSL as the independent party of the signature tests: the personalisation's certificates
// and private keys (files made by the OpenSSL command line), signing and verification.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "openssl_ptr.h"
#include "support/temp_dir.h"

namespace session_test::reference {

using Bytes = std::vector<unsigned char>;

inline std::string cardData(const std::string& relative) {
    return gctest::readFile(gctest::dataPath("cardsim/" + relative));
}

inline Bytes cardFile(const std::string& relative) {
    const std::string text = cardData(relative);
    return Bytes(text.begin(), text.end());
}

// The public key of the personalisation's certificate certs/<name>.der.
inline gc_ossl::EvpPkeyPtr certificateKey(const std::string& name) {
    const std::string der = cardData("certs/" + name + ".der");
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    gc_ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert) return nullptr;
    return gc_ossl::EvpPkeyPtr(X509_get_pubkey(cert.get()));
}

// The private key keys/<name>.pem.
inline gc_ossl::EvpPkeyPtr privateKey(const std::string& name) {
    const std::string pem = cardData("keys/" + name + ".pem");
    std::unique_ptr<BIO, gc_ossl::Free<BIO_free>> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return gc_ossl::EvpPkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

inline Bytes digest(const EVP_MD* md, const Bytes& message) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(message.data(), message.size(), out.data(), &length, md, nullptr) != 1) return {};
    out.resize(length);
    return out;
}

// A signature over the message hashed with md (RSA: PKCS#1 v1.5; EC: DER ECDSA-Sig-Value).
inline bool verifiesMessage(EVP_PKEY* key, const EVP_MD* md, const Bytes& message, const Bytes& signature) {
    gc_ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
           EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

// A signature over a given digest: RSA with the DigestInfo of md around it, EC over the value as
// it is (OpenSSL cuts it to the order's bit length, as the card does).
inline bool verifiesDigest(EVP_PKEY* key, const EVP_MD* md, const Bytes& value, const Bytes& signature) {
    gc_ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) return false;
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA && (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
                                                      EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1))
        return false;
    return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), value.data(), value.size()) == 1;
}

inline Bytes signMessage(EVP_PKEY* key, const EVP_MD* md, const Bytes& message) {
    gc_ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    size_t length = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, message.data(), message.size()) != 1)
        return {};
    Bytes out(length);
    if (EVP_DigestSign(ctx.get(), out.data(), &length, message.data(), message.size()) != 1) return {};
    out.resize(length);
    return out;
}

// A signature over a given digest (RSA: PKCS#1 v1.5 with the DigestInfo of md).
inline Bytes signDigest(EVP_PKEY* key, const EVP_MD* md, const Bytes& value) {
    gc_ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) return {};
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA && (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
                                                      EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1))
        return {};
    size_t length = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &length, value.data(), value.size()) != 1) return {};
    Bytes out(length);
    if (EVP_PKEY_sign(ctx.get(), out.data(), &length, value.data(), value.size()) != 1) return {};
    out.resize(length);
    return out;
}

// The DER DigestInfo of a digest made with md.
inline Bytes digestInfo(const EVP_MD* md, const Bytes& digestValue) {
    // AlgorithmIdentifier { OID, NULL } for the SHA-2 family and SHA-1, as RFC 8017 9.2 lists them.
    static const std::pair<int, const char*> prefixes[] = {
        {NID_sha1, "3021300906052b0e03021a05000414"},
        {NID_sha256, "3031300d060960864801650304020105000420"},
        {NID_sha384, "3041300d060960864801650304020205000430"},
        {NID_sha512, "3051300d060960864801650304020305000440"},
    };
    for (const auto& [nid, hex] : prefixes) {
        if (nid != EVP_MD_get_type(md)) continue;
        Bytes out;
        for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
            out.push_back(static_cast<unsigned char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
        out.insert(out.end(), digestValue.begin(), digestValue.end());
        return out;
    }
    return {};
}

}  // namespace session_test::reference
