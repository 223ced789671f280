#pragma once

#include "openssl_ptr.h"

#include <openssl/evp.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

// Hashes, CBC ciphers without padding, MACs and the DigestInfo algorithm identifiers, over OpenSSL.
// All operations are static and return 0 on success or a negative code of their own (-1 to -12).
class GC_Security {
public:
    // Hash selector; bit values, so that a set of them fits a mechanism's hash mask.
    enum data_format : uint32_t {
        HASH_NONE = 1,  // the data is used unchanged
        HASH_SHA1 = 2,
        HASH_SHA224 = 4,
        HASH_SHA256 = 8,
        HASH_SHA384 = 16,
        HASH_SHA512 = 32,
    };

    // Cipher selector; the same numbers name the PACE and secure-messaging algorithm.
    enum encipherment_algorithm : uint32_t {
        ALG_3DES = 1,    // two-key triple DES (K1 K2 K1), CBC, 16-byte key, 8-byte block
        ALG_AES128 = 2,  // AES-128-CBC
        ALG_AES192 = 3,  // AES-192-CBC
        ALG_AES256 = 4,  // AES-256-CBC
    };

    // Signature padding selector; bit values as well.
    enum padding_type : uint32_t {
        PAD_NONE = 1,
        PAD_PKCS1_V15 = 2,
    };

    // The running state of one digest.
    struct securityCtx {
        gc_ossl::EvpMdCtxPtr state;  // null when no digest is running
        data_format format = HASH_NONE;
    };

    // Content bytes (no tag, no length) of each digest's object identifier; no entry for HASH_NONE.
    static const std::map<data_format, std::vector<unsigned char>> hash_OID;

    static int hashValuesInit(securityCtx& ctx, data_format format);
    static int hashValuesUpdate(securityCtx& ctx, const std::vector<std::vector<unsigned char>>& pieces);
    // Sets out to exactly the digest length and writes the digest; the state is released.
    static int hashValuesFinal(securityCtx& ctx, std::vector<unsigned char>& out);
    // One digest over the pieces concatenated in order; out is replaced by it.
    static int hashValuesToKey(data_format format, const std::vector<std::vector<unsigned char>>& pieces,
                               std::vector<unsigned char>& out);

    // CBC without padding. encryptValue takes AES (2-4) only; decryptValue also two-key 3DES (1).
    static int encryptValue(encipherment_algorithm alg, const std::vector<unsigned char>& key,
                            const std::vector<unsigned char>& iv, const std::vector<unsigned char>& in,
                            std::vector<unsigned char>& out);
    static int decryptValue(encipherment_algorithm alg, const std::vector<unsigned char>& key,
                            const std::vector<unsigned char>& iv, const std::vector<unsigned char>& in,
                            std::vector<unsigned char>& out);

    // AES-CMAC (alg 2-4); out is the full 16-byte MAC.
    static int crypto_cmac(encipherment_algorithm alg, const std::vector<unsigned char>& key,
                           const std::vector<unsigned char>& in, std::vector<unsigned char>& out);

    // ISO/IEC 9797-1 MAC algorithm 3 over DES (retail MAC); in must be padded to whole 8-byte blocks.
    // iv (8 bytes used) receives the last single-DES CBC block; out is the 8-byte MAC.
    static int crypto_mac(const std::vector<unsigned char>& key, std::vector<unsigned char>& iv,
                          const std::vector<unsigned char>& in, std::vector<unsigned char>& out);

    // Two-key triple DES (K1 K2 K1) in CBC mode. op 1 encrypts plain into cipher, op 0 decrypts
    // cipher into plain; both already have their final, equal length. iv receives the last cipher block.
    static int crypto_des(const std::vector<unsigned char>& key, std::vector<unsigned char>& cipher,
                          std::vector<unsigned char>& plain, std::vector<unsigned char>& iv, int op);

    // out[i] = data[i] XOR key[i mod key length].
    static int encryptdecryptXOR(std::vector<unsigned char> key, std::vector<unsigned char> data,
                                 std::vector<unsigned char>& out);

    // Digest length in bytes; 0 for anything but the five digests.
    static unsigned long alghoritmLenOutput(data_format format);
};
