#include "security_lib.h"

#include <openssl/core_names.h>
#include <openssl/params.h>

#include <algorithm>
#include <cstring>

#include "Data/wipe.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "security_lib";
constexpr unsigned long kLogMask = gc_log::kSecurity;
constexpr unsigned long kErrMask = gc_log::kError;

constexpr size_t kDesBlock = 8;

using CipherCtxPtr = gc_ossl::EvpCipherCtxPtr;

// The digest of a format, its failure code and its name in the log lines; null for no digest.
struct DigestInfoEntry {
    const EVP_MD* md;
    int failCode;
    const char* name;
};

DigestInfoEntry digestFor(GC_Security::data_format format) {
    switch (format) {
        case GC_Security::HASH_SHA1:
            return {EVP_sha1(), -8, "SHA1"};
        case GC_Security::HASH_SHA224:
            return {EVP_sha224(), -9, "SHA224"};
        case GC_Security::HASH_SHA256:
            return {EVP_sha256(), -10, "SHA256"};
        case GC_Security::HASH_SHA384:
            return {EVP_sha384(), -11, "SHA384"};
        case GC_Security::HASH_SHA512:
            return {EVP_sha512(), -12, "SHA512"};
        default:
            return {nullptr, -2, ""};
    }
}

const EVP_CIPHER* cipherFor(GC_Security::encipherment_algorithm alg, bool with3Des) {
    switch (alg) {
        case GC_Security::ALG_3DES:
            return with3Des ? EVP_des_ede_cbc() : nullptr;
        case GC_Security::ALG_AES128:
            return EVP_aes_128_cbc();
        case GC_Security::ALG_AES192:
            return EVP_aes_192_cbc();
        case GC_Security::ALG_AES256:
            return EVP_aes_256_cbc();
        default:
            return nullptr;
    }
}

// Messages of the two CBC directions, kept as the log has always shown them.
struct CipherTexts {
    const char* wrongAlg;
    const char* init;
    const char* update;
    const char* final;
};
constexpr CipherTexts kEncryptTexts = {"Wrong encypt alghoritm", "Error on init encrypt operation",
                                       "Error when update encypt operation", "Error on final encrypt operation"};
constexpr CipherTexts kDecryptTexts = {"Wrong decrypt alghoritm", "Error on init decypt operation",
                                       "Error when update decrypt operation", "Error on final decypt operation"};

// CBC without padding in one direction. The cipher reads only its own key and IV length from the
// front of key and iv, so both must be at least that long; the input must be whole blocks, so the
// output (sized to the input) is never written past.
int cbcNoPadding(const char* func, const GC_Security::encipherment_algorithm alg, bool encrypt,
                 const std::vector<unsigned char>& key, const std::vector<unsigned char>& iv,
                 const std::vector<unsigned char>& in, std::vector<unsigned char>& out) {
    const CipherTexts& texts = encrypt ? kEncryptTexts : kDecryptTexts;
    const EVP_CIPHER* cipher = cipherFor(alg, !encrypt);
    if (cipher == nullptr) return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, -2, "%s", texts.wrongAlg);
    const size_t keyLen = static_cast<size_t>(EVP_CIPHER_get_key_length(cipher));
    const size_t ivLen = static_cast<size_t>(EVP_CIPHER_get_iv_length(cipher));
    const size_t blockLen = static_cast<size_t>(EVP_CIPHER_get_block_size(cipher));

    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || key.size() < keyLen || iv.size() < ivLen ||
        EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0) != 1)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, -3, "%s", texts.init);
    if (EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, -4, "Error on set padding operation");
    // Without padding a partial last block is refused when finishing; refuse it before anything is
    // processed so that no partial output is ever produced.
    if (in.size() % blockLen != 0) return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, -6, "%s", texts.final);
    out.resize(in.size());
    int produced = 0;
    if (!in.empty()) {
        if (in.size() > static_cast<size_t>(INT32_MAX) ||
            EVP_CipherUpdate(ctx.get(), out.data(), &produced, in.data(), static_cast<int>(in.size())) != 1)
            return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, -5, "%s", texts.update);
    }
    out.resize(static_cast<size_t>(produced));
    // Nothing is left over when padding is off and the input is whole blocks, so the final step
    // writes no bytes; a scratch block keeps it from ever pointing past the output.
    GC_WipedArray<EVP_MAX_BLOCK_LENGTH> tail;
    int finalLen = 0;
    if (EVP_CipherFinal_ex(ctx.get(), tail.b, &finalLen) != 1 || finalLen != 0)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, -6, "%s", texts.final);
    if (EVP_CIPHER_CTX_reset(ctx.get()) != 1)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, -7, "Error on clean up operation");
    GC_LoggerC::ret1(func, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

// One pass of DES-EDE (two-key, or single DES when both halves are equal) in CBC or ECB mode,
// no padding, over whole blocks. in and out may be the same buffer.
bool desEde(const unsigned char key[16], bool cbc, const unsigned char* iv, bool encrypt, const unsigned char* in,
            unsigned char* out, size_t len) {
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return false;
    const EVP_CIPHER* cipher = cbc ? EVP_des_ede_cbc() : EVP_des_ede_ecb();
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, cbc ? iv : nullptr, encrypt ? 1 : 0) != 1) return false;
    if (EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) return false;
    // Feed in bounded chunks: the length argument is an int.
    constexpr size_t kChunk = 1u << 20;
    size_t done = 0;
    while (done < len) {
        const size_t n = std::min(kChunk, len - done);
        int produced = 0;
        if (EVP_CipherUpdate(ctx.get(), out + done, &produced, in + done, static_cast<int>(n)) != 1) return false;
        if (static_cast<size_t>(produced) != n) return false;
        done += n;
    }
    GC_WipedArray<EVP_MAX_BLOCK_LENGTH> tail;
    int finalLen = 0;
    return EVP_CipherFinal_ex(ctx.get(), tail.b, &finalLen) == 1 && finalLen == 0;
}

}  // namespace

const std::map<GC_Security::data_format, std::vector<unsigned char>> GC_Security::hash_OID = {
    {GC_Security::HASH_SHA1, {0x2B, 0x0E, 0x03, 0x02, 0x1A}},
    {GC_Security::HASH_SHA224, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04}},
    {GC_Security::HASH_SHA256, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}},
    {GC_Security::HASH_SHA384, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02}},
    {GC_Security::HASH_SHA512, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03}},
};

int GC_Security::hashValuesInit(securityCtx& ctx, data_format format) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    ctx.state.reset();
    ctx.format = format;
    const DigestInfoEntry d = digestFor(format);
    if (d.md == nullptr) return GC_FAIL(kErrMask, -2, "Wrong hash alghoritm");
    gc_ossl::EvpMdCtxPtr state(EVP_MD_CTX_new());
    if (!state || EVP_DigestInit_ex(state.get(), d.md, nullptr) != 1)
        return GC_FAIL(kErrMask, d.failCode, "Error while init %s hash", d.name);
    ctx.state = std::move(state);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Security::hashValuesUpdate(securityCtx& ctx, const std::vector<std::vector<unsigned char>>& pieces) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!ctx.state) return GC_FAIL(kErrMask, -3, "Error not init CTX");
    const DigestInfoEntry d = digestFor(ctx.format);
    if (d.md == nullptr) {
        ctx.state.reset();
        return GC_FAIL(kErrMask, -2, "Wrong hash alghoritm");
    }
    for (const auto& piece : pieces) {
        if (piece.empty()) continue;
        if (EVP_DigestUpdate(ctx.state.get(), piece.data(), piece.size()) != 1) {
            ctx.state.reset();
            return GC_FAIL(kErrMask, d.failCode, "Error while update %s hash", d.name);
        }
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Security::hashValuesFinal(securityCtx& ctx, std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!ctx.state) return GC_FAIL(kErrMask, -3, "Error not init CTX");
    // The state goes whatever happens below.
    gc_ossl::EvpMdCtxPtr state = std::move(ctx.state);
    const DigestInfoEntry d = digestFor(ctx.format);
    if (d.md == nullptr) return GC_FAIL(kErrMask, -2, "Wrong hash alghoritm");
    // Digests become keys (PACE, the companion link): the scratch copy is wiped.
    GC_WipedArray<EVP_MAX_MD_SIZE> md;
    unsigned int mdLen = 0;
    if (EVP_DigestFinal_ex(state.get(), md.b, &mdLen) != 1 || mdLen != alghoritmLenOutput(ctx.format))
        return GC_FAIL(kErrMask, d.failCode, "Error while final %s hash", d.name);
    out.resize(mdLen);
    std::memcpy(out.data(), md.b, mdLen);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Security::hashValuesToKey(data_format format, const std::vector<std::vector<unsigned char>>& pieces,
                                 std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    securityCtx ctx;
    int rc = hashValuesInit(ctx, format);
    if (rc == 0) rc = hashValuesUpdate(ctx, pieces);
    if (rc == 0) rc = hashValuesFinal(ctx, out);
    if (rc != 0) return GC_FAIL(kErrMask, rc);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Security::encryptValue(encipherment_algorithm alg, const std::vector<unsigned char>& key,
                              const std::vector<unsigned char>& iv, const std::vector<unsigned char>& in,
                              std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    return cbcNoPadding(__func__, alg, true, key, iv, in, out);
}

int GC_Security::decryptValue(encipherment_algorithm alg, const std::vector<unsigned char>& key,
                              const std::vector<unsigned char>& iv, const std::vector<unsigned char>& in,
                              std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    return cbcNoPadding(__func__, alg, false, key, iv, in, out);
}

int GC_Security::crypto_cmac(encipherment_algorithm alg, const std::vector<unsigned char>& key,
                             const std::vector<unsigned char>& in, std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const char* cipherName = nullptr;
    size_t keyLen = 0;
    switch (alg) {
        case ALG_AES128:
            cipherName = "AES-128-CBC";
            keyLen = 16;
            break;
        case ALG_AES192:
            cipherName = "AES-192-CBC";
            keyLen = 24;
            break;
        case ALG_AES256:
            cipherName = "AES-256-CBC";
            keyLen = 32;
            break;
        default:
            break;
    }
    if (cipherName == nullptr) return GC_FAIL(kErrMask, -2, "Wrong Crypto CMAC alghoritm");
    gc_ossl::EvpMacPtr mac(EVP_MAC_fetch(nullptr, "CMAC", nullptr));
    gc_ossl::EvpMacCtxPtr ctx(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, const_cast<char*>(cipherName), 0),
        OSSL_PARAM_construct_end(),
    };
    // The key must be exactly the AES variant's length.
    if (!ctx || key.size() != keyLen || EVP_MAC_init(ctx.get(), key.data(), key.size(), params) != 1)
        return GC_FAIL(kErrMask, -3, "Error on init CMAC operation");
    if (!in.empty() && EVP_MAC_update(ctx.get(), in.data(), in.size()) != 1)
        return GC_FAIL(kErrMask, -5, "Error when update CMAC operation");
    size_t macLen = 0;
    GC_WipedArray<EVP_MAX_BLOCK_LENGTH> tag;
    if (EVP_MAC_final(ctx.get(), nullptr, &macLen, 0) != 1 || macLen == 0 || macLen > sizeof tag.b ||
        EVP_MAC_final(ctx.get(), tag.b, &macLen, sizeof tag.b) != 1)
        return GC_FAIL(kErrMask, -6, "Error on final CMAC operation");
    out.assign(tag.b, tag.b + macLen);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Security::crypto_mac(const std::vector<unsigned char>& key, std::vector<unsigned char>& iv,
                            const std::vector<unsigned char>& in, std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (key.size() < 16) return GC_FAIL(kErrMask, -1, "Invalid key size is to small");
    if (iv.size() < kDesBlock) return GC_FAIL(kErrMask, -1, "Initial vector size is to small");
    // The callers pad the data; anything else would leave a partial block unprocessed.
    if (in.empty() || in.size() % kDesBlock != 0) return GC_FAIL(kErrMask, -1, "Invalid data size");
    // Single DES is DES-EDE with both halves equal (E_K(D_K(E_K(x))) = E_K(x)).
    GC_WipedArray<16> k1k1;
    GC_WipedArray<16> k2k2;
    std::memcpy(k1k1.b, key.data(), 8);
    std::memcpy(k1k1.b + 8, key.data(), 8);
    std::memcpy(k2k2.b, key.data() + 8, 8);
    std::memcpy(k2k2.b + 8, key.data() + 8, 8);

    // CBC over the whole data under K1; only the last block is kept.
    GC_WipedArray<kDesBlock> chain;
    std::memcpy(chain.b, iv.data(), kDesBlock);
    GC_WipedArray<512> scratch;
    size_t done = 0;
    bool ok = true;
    while (ok && done < in.size()) {
        const size_t n = std::min(sizeof scratch.b, in.size() - done);
        ok = desEde(k1k1.b, true, chain.b, true, in.data() + done, scratch.b, n);
        if (ok) std::memcpy(chain.b, scratch.b + n - kDesBlock, kDesBlock);
        done += n;
    }
    GC_WipedArray<kDesBlock> block;
    if (ok) {
        std::memcpy(block.b, chain.b, kDesBlock);
        ok = desEde(k2k2.b, false, nullptr, false, block.b, block.b, kDesBlock) &&
             desEde(k1k1.b, false, nullptr, true, block.b, block.b, kDesBlock);
    }
    if (!ok) return GC_FAIL(kErrMask, -1, "Error on DES operation");
    std::memcpy(iv.data(), chain.b, kDesBlock);
    out.assign(block.b, block.b + kDesBlock);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Security::crypto_des(const std::vector<unsigned char>& key, std::vector<unsigned char>& cipher,
                            std::vector<unsigned char>& plain, std::vector<unsigned char>& iv, int op) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    // Beyond the emptiness checks: the key must hold both halves, the IV a block, and the data whole
    // blocks, or the cipher would read past the key and IV or write past the output.
    if (key.empty() || cipher.empty() || plain.size() != cipher.size() || key.size() < 16 || iv.size() < kDesBlock ||
        cipher.size() % kDesBlock != 0)
        return GC_FAIL(kErrMask, -1, "Invalid parameters");
    if (op != 0 && op != 1) return GC_FAIL(kErrMask, -1, "Invalid operation");
    const bool encrypt = op == 1;
    // Decrypting in place would overwrite the last cipher block that the IV receives.
    GC_WipedArray<kDesBlock> lastCipher;
    if (!encrypt) std::memcpy(lastCipher.b, cipher.data() + cipher.size() - kDesBlock, kDesBlock);
    const bool ok = encrypt ? desEde(key.data(), true, iv.data(), true, plain.data(), cipher.data(), plain.size())
                            : desEde(key.data(), true, iv.data(), false, cipher.data(), plain.data(), cipher.size());
    if (!ok) return GC_FAIL(kErrMask, -1, "Error on DES operation");
    if (encrypt) std::memcpy(lastCipher.b, cipher.data() + cipher.size() - kDesBlock, kDesBlock);
    std::memcpy(iv.data(), lastCipher.b, kDesBlock);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Security::encryptdecryptXOR(std::vector<unsigned char> key, std::vector<unsigned char> data,
                                   std::vector<unsigned char>& out) {
    // The by-value copies may hold key material, whichever way this ends.
    GC_WipeGuard wipe{&key, &data};
    out.clear();
    if (key.empty() || data.empty()) return GC_FAIL(kErrMask, -1, "Invalid parameters");
    out.resize(data.size());
    for (size_t i = 0; i < data.size(); ++i) out[i] = data[i] ^ key[i % key.size()];
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

unsigned long GC_Security::alghoritmLenOutput(data_format format) {
    switch (format) {
        case HASH_SHA1:
            return 20;
        case HASH_SHA224:
            return 28;
        case HASH_SHA256:
            return 32;
        case HASH_SHA384:
            return 48;
        case HASH_SHA512:
            return 64;
        default:
            return 0;
    }
}
