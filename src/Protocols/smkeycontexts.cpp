#include "Protocols/smkeycontexts.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "Data/wipe.h"
#include "security_lib.h"

namespace {

using gc_ossl::EvpCipherCtxPtr;

constexpr size_t kDesBlock = 8;
constexpr size_t kAesBlock = 16;
constexpr size_t kMacLength = 8;

bool is3Des(int algorithm) {
    return algorithm == GC_Security::ALG_3DES;
}

// Key bytes each algorithm reads; 0 for an unknown one.
size_t keyLength(int algorithm) {
    switch (algorithm) {
        case GC_Security::ALG_3DES:
        case GC_Security::ALG_AES128:
            return 16;
        case GC_Security::ALG_AES192:
            return 24;
        case GC_Security::ALG_AES256:
            return 32;
        default:
            return 0;
    }
}

const EVP_CIPHER* aesCipher(int algorithm, bool cbc) {
    switch (algorithm) {
        case GC_Security::ALG_AES128:
            return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
        case GC_Security::ALG_AES192:
            return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
        default:
            return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
    }
}

const char* cmacCipherName(int algorithm) {
    switch (algorithm) {
        case GC_Security::ALG_AES128:
            return "AES-128-CBC";
        case GC_Security::ALG_AES192:
            return "AES-192-CBC";
        default:
            return "AES-256-CBC";
    }
}

// A context with the key set and padding off; the IV of a CBC context is set per message.
EvpCipherCtxPtr keyedContext(const EVP_CIPHER* cipher, const unsigned char* key, bool encrypt) {
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, nullptr, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        return nullptr;
    return ctx;
}

// Runs whole blocks through a context in bounded chunks (the length argument is an int); every
// byte in comes out, as padding is off.
bool run(EVP_CIPHER_CTX* ctx, const unsigned char* in, size_t len, unsigned char* out) {
    constexpr size_t kChunk = 1u << 20;
    for (size_t done = 0; done < len;) {
        const size_t n = std::min(kChunk, len - done);
        int produced = 0;
        if (EVP_CipherUpdate(ctx, out + done, &produced, in + done, static_cast<int>(n)) != 1 ||
            static_cast<size_t>(produced) != n)
            return false;
        done += n;
    }
    return true;
}

bool restartCbc(EVP_CIPHER_CTX* ctx, const unsigned char* iv) {
    return EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, iv, -1) == 1;
}

}  // namespace

bool GC_SmKeyContexts::origin::matches(int alg, const SecureVector<unsigned char>& current) const {
    return !key.empty() && algorithm == alg && key.size() == current.size() &&
           CRYPTO_memcmp(key.data(), current.data(), key.size()) == 0;
}

GC_SmKeyContexts& GC_SmKeyContexts::operator=(const GC_SmKeyContexts& other) noexcept {
    if (this != &other) forget();
    return *this;
}

void GC_SmKeyContexts::forget() {
    // Each context goes through EVP_CIPHER_CTX_free or EVP_MAC_CTX_free, which wipe the key
    // schedules before freeing; SecureVector wipes the remembered keys.
    cipher_ = cipher_half{};
    mac_ = mac_half{};
}

int GC_SmKeyContexts::makeCipher(int algorithm, const SecureVector<unsigned char>& kenc) {
    cipher_ = cipher_half{};
    const size_t keyLen = keyLength(algorithm);
    if (keyLen == 0 || kenc.size() < keyLen) return kBadKey;
    cipher_half made;
    if (is3Des(algorithm)) {
        made.encrypt = keyedContext(EVP_des_ede_cbc(), kenc.data(), true);
        made.decrypt = keyedContext(EVP_des_ede_cbc(), kenc.data(), false);
        if (!made.encrypt || !made.decrypt) return kSetUpFailed;
    } else {
        made.encrypt = keyedContext(aesCipher(algorithm, true), kenc.data(), true);
        made.decrypt = keyedContext(aesCipher(algorithm, true), kenc.data(), false);
        made.counter = keyedContext(aesCipher(algorithm, false), kenc.data(), true);
        if (!made.encrypt || !made.decrypt || !made.counter) return kSetUpFailed;
    }
    made.from.algorithm = algorithm;
    made.from.key = kenc;
    cipher_ = std::move(made);
    return 0;
}

int GC_SmKeyContexts::makeMac(int algorithm, const SecureVector<unsigned char>& kmac) {
    mac_ = mac_half{};
    const size_t keyLen = keyLength(algorithm);
    // Both MACs take a key of exactly the algorithm's length.
    if (keyLen == 0 || kmac.size() != keyLen) return kBadKey;
    mac_half made;
    if (is3Des(algorithm)) {
        // Single DES is DES-EDE with both halves equal (E_K(D_K(E_K(x))) = E_K(x)).
        GC_WipedArray<16> k1k1;
        GC_WipedArray<16> k2k2;
        std::memcpy(k1k1.b, kmac.data(), 8);
        std::memcpy(k1k1.b + 8, kmac.data(), 8);
        std::memcpy(k2k2.b, kmac.data() + 8, 8);
        std::memcpy(k2k2.b + 8, kmac.data() + 8, 8);
        made.chain = keyedContext(EVP_des_ede_cbc(), k1k1.b, true);
        made.finishD = keyedContext(EVP_des_ede_ecb(), k2k2.b, false);
        made.finishE = keyedContext(EVP_des_ede_ecb(), k1k1.b, true);
        if (!made.chain || !made.finishD || !made.finishE) return kSetUpFailed;
    } else {
        gc_ossl::EvpMacPtr cmac(EVP_MAC_fetch(nullptr, "CMAC", nullptr));
        made.cmac.reset(cmac ? EVP_MAC_CTX_new(cmac.get()) : nullptr);
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, const_cast<char*>(cmacCipherName(algorithm)), 0),
            OSSL_PARAM_construct_end(),
        };
        if (!made.cmac || EVP_MAC_init(made.cmac.get(), kmac.data(), kmac.size(), params) != 1) return kSetUpFailed;
    }
    made.from.algorithm = algorithm;
    made.from.key = kmac;
    mac_ = std::move(made);
    return 0;
}

int GC_SmKeyContexts::cipher(int algorithm, const SecureVector<unsigned char>& kenc,
                             const SecureVector<unsigned char>& ssc, bool encrypt, const unsigned char* in, size_t len,
                             unsigned char* out) {
    if (!cipher_.from.matches(algorithm, kenc)) {
        if (const int rc = makeCipher(algorithm, kenc); rc != 0) return rc;
    }
    const size_t block = is3Des(algorithm) ? kDesBlock : kAesBlock;
    if (len == 0 || len % block != 0) return kBadKey;
    unsigned char iv[kAesBlock] = {};
    if (!is3Des(algorithm)) {
        if (ssc.empty() || ssc.size() % kAesBlock != 0) return kBadKey;
        if (!run(cipher_.counter.get(), ssc.data(), kAesBlock, iv)) return kOperationFailed;
    }
    EVP_CIPHER_CTX* ctx = encrypt ? cipher_.encrypt.get() : cipher_.decrypt.get();
    if (!restartCbc(ctx, iv) || !run(ctx, in, len, out)) return kOperationFailed;
    return 0;
}

int GC_SmKeyContexts::mac(int algorithm, const SecureVector<unsigned char>& kmac, std::initializer_list<piece> pieces,
                          unsigned char out[8]) {
    if (!mac_.from.matches(algorithm, kmac)) {
        if (const int rc = makeMac(algorithm, kmac); rc != 0) return rc;
    }
    if (!is3Des(algorithm)) {
        // A null key restarts the MAC with the key and sub-keys it holds.
        if (EVP_MAC_init(mac_.cmac.get(), nullptr, 0, nullptr) != 1) return kOperationFailed;
        for (const piece& p : pieces) {
            if (p.size != 0 && EVP_MAC_update(mac_.cmac.get(), p.data, p.size) != 1) return kOperationFailed;
        }
        unsigned char tag[kAesBlock];
        size_t tagLen = 0;
        if (EVP_MAC_final(mac_.cmac.get(), tag, &tagLen, sizeof tag) != 1 || tagLen < kMacLength)
            return kOperationFailed;
        std::memcpy(out, tag, kMacLength);
        return 0;
    }

    // Retail MAC: DES-CBC under K1 over all blocks, then the last block decrypted under K2 and
    // encrypted under K1. The pieces need not end on block boundaries; the whole must.
    size_t total = 0;
    for (const piece& p : pieces) total += p.size;
    if (total == 0 || total % kDesBlock != 0) return kBadKey;
    const unsigned char zero[kDesBlock] = {};
    if (!restartCbc(mac_.chain.get(), zero)) return kOperationFailed;
    unsigned char scratch[512 + kDesBlock];
    unsigned char last[kDesBlock] = {};
    for (const piece& p : pieces) {
        for (size_t done = 0; done < p.size;) {
            const size_t n = std::min<size_t>(512, p.size - done);
            int produced = 0;
            if (EVP_CipherUpdate(mac_.chain.get(), scratch, &produced, p.data + done, static_cast<int>(n)) != 1)
                return kOperationFailed;
            if (produced >= static_cast<int>(kDesBlock))
                std::memcpy(last, scratch + produced - static_cast<int>(kDesBlock), kDesBlock);
            done += n;
        }
    }
    if (!run(mac_.finishD.get(), last, kDesBlock, last) || !run(mac_.finishE.get(), last, kDesBlock, out))
        return kOperationFailed;
    return 0;
}
