#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

// Owning handles for OpenSSL objects, each released with its own free function.
namespace gc_ossl {

template <auto FreeFunction>
struct Free {
    template <typename T>
    void operator()(T* object) const {
        FreeFunction(object);
    }
};

using BnPtr = std::unique_ptr<BIGNUM, Free<BN_free>>;
// For private scalars and other secret numbers: wiped before release.
using SecretBnPtr = std::unique_ptr<BIGNUM, Free<BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, Free<BN_CTX_free>>;
using EcGroupPtr = std::unique_ptr<EC_GROUP, Free<EC_GROUP_free>>;
using EcPointPtr = std::unique_ptr<EC_POINT, Free<EC_POINT_free>>;
// For points derived from secrets: wiped before release.
using SecretEcPointPtr = std::unique_ptr<EC_POINT, Free<EC_POINT_clear_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, Free<ECDSA_SIG_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, Free<EVP_MD_CTX_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Free<EVP_CIPHER_CTX_free>>;
using EvpMacPtr = std::unique_ptr<EVP_MAC, Free<EVP_MAC_free>>;
using EvpMacCtxPtr = std::unique_ptr<EVP_MAC_CTX, Free<EVP_MAC_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, Free<X509_free>>;

}  // namespace gc_ossl
