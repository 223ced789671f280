#pragma once

// AES secure-messaging arithmetic written straight on OpenSSL's EVP objects, as an independent
// reference for the unit tests (no code of the library is used).

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <memory>
#include <vector>

namespace smref {

using bytes = std::vector<unsigned char>;

inline const EVP_CIPHER* aesCbc(size_t keyLen) {
    return keyLen == 16 ? EVP_aes_128_cbc() : keyLen == 24 ? EVP_aes_192_cbc() : EVP_aes_256_cbc();
}

inline bytes cbc(const bytes& key, const bytes& iv, const bytes& in, bool encrypt) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    bytes out(in.size() + 16);
    int n = 0, f = 0;
    EVP_CipherInit_ex(ctx.get(), aesCbc(key.size()), nullptr, key.data(), iv.data(), encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx.get(), out.data() + n, &f);
    out.resize(static_cast<size_t>(n + f));
    return out;
}

inline bytes cmac(const bytes& key, const bytes& in) {
    std::unique_ptr<EVP_MAC, decltype(&EVP_MAC_free)> mac(EVP_MAC_fetch(nullptr, "CMAC", nullptr), EVP_MAC_free);
    std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)> ctx(EVP_MAC_CTX_new(mac.get()), EVP_MAC_CTX_free);
    const char* name = key.size() == 16 ? "AES-128-CBC" : key.size() == 24 ? "AES-192-CBC" : "AES-256-CBC";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, const_cast<char*>(name), 0),
                           OSSL_PARAM_construct_end()};
    EVP_MAC_init(ctx.get(), key.data(), key.size(), params);
    EVP_MAC_update(ctx.get(), in.data(), in.size());
    bytes out(16);
    size_t len = 0;
    EVP_MAC_final(ctx.get(), out.data(), &len, out.size());
    out.resize(len);
    return out;
}

inline bytes pad(bytes in, size_t block) {
    in.push_back(0x80);
    while (in.size() % block != 0) in.push_back(0x00);
    return in;
}

inline bytes cat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An AES session's keys and its counter as the next message uses it.
struct session {
    bytes kenc, kmac, ssc;

    bytes iv() const { return cbc(kenc, bytes(16, 0), ssc, true); }
    // Cryptogram of already padded (or deliberately unpadded) whole blocks.
    bytes encryptRaw(const bytes& blocks) const { return cbc(kenc, iv(), blocks, true); }
    bytes encrypt(const bytes& plain) const { return encryptRaw(pad(plain, 16)); }
    // 8-byte MAC over SSC || data, padded.
    bytes mac(const bytes& data) const {
        bytes m = cmac(kmac, pad(cat(ssc, data), 16));
        m.resize(8);
        return m;
    }
};

// BER length field.
inline bytes len(size_t n) {
    if (n < 0x80) return {static_cast<unsigned char>(n)};
    if (n <= 0xFF) return {0x81, static_cast<unsigned char>(n)};
    return {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
}

inline bytes tlv(unsigned char tag, const bytes& value) {
    return cat(cat({tag}, len(value.size())), value);
}

}  // namespace smref
