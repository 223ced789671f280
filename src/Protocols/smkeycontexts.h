#pragma once

#include <cstddef>
#include <initializer_list>

#include "Data/securevector.h"
#include "openssl_ptr.h"

// The OpenSSL side of one secure-messaging channel: cipher and MAC contexts with the session keys
// set up once, so that a message costs its blocks only, not an algorithm fetch, a key schedule and
// (AES) the CMAC sub-keys every time.
//
// Each half, the cipher under Kenc and the MAC under Kmac, is made on first use and remembers the
// algorithm and a copy of the key it was made from. Every call hands in the session's current
// algorithm and key; a half made from anything else is wiped and made again first. So a context
// never runs with a key other than the current one, whatever writes the session's key fields (a
// new PACE run, a cleared channel, a test). forget() frees every context with OpenSSL's clearing
// free and wipes the remembered keys; the destructor does the same.
//
// Results are 0 or a negative code of this class (kBadKey, kSetUpFailed, kOperationFailed).
class GC_SmKeyContexts {
public:
    static constexpr int kBadKey = -1;           // unknown algorithm, key too short, input not whole blocks
    static constexpr int kSetUpFailed = -2;      // OpenSSL refused to make a context with the key
    static constexpr int kOperationFailed = -3;  // a cipher or MAC step failed

    GC_SmKeyContexts() = default;
    // Contexts are never shared: a copy starts empty and makes its own from the keys it is used with.
    GC_SmKeyContexts(const GC_SmKeyContexts&) noexcept {}
    GC_SmKeyContexts& operator=(const GC_SmKeyContexts& other) noexcept;
    GC_SmKeyContexts(GC_SmKeyContexts&&) noexcept = default;
    GC_SmKeyContexts& operator=(GC_SmKeyContexts&&) noexcept = default;
    ~GC_SmKeyContexts() = default;

    // The session cipher over whole blocks: two-key 3DES-CBC with a zero IV (algorithm 1; the
    // first 16 bytes of kenc), or AES-CBC (2, 3, 4; the first 16, 24 or 32 bytes) with the IV
    // E(Kenc, first block of ssc), ssc being whole AES blocks. out receives len bytes and must
    // not overlap in.
    int cipher(int algorithm, const SecureVector<unsigned char>& kenc, const SecureVector<unsigned char>& ssc,
               bool encrypt, const unsigned char* in, size_t len, unsigned char* out);

    // The 8-byte MAC of whole blocks: the retail MAC (ISO/IEC 9797-1 algorithm 3) under a kmac of
    // exactly 16 bytes (algorithm 1), or AES-CMAC cut to 8 bytes under a kmac of exactly the
    // variant's length (2, 3, 4). The input is the pieces one after the other.
    struct piece {
        const unsigned char* data;
        size_t size;
    };
    int mac(int algorithm, const SecureVector<unsigned char>& kmac, std::initializer_list<piece> pieces,
            unsigned char out[8]);

    // Frees every context (wiping what OpenSSL held) and wipes the remembered keys.
    void forget();

private:
    // What a half was made from; empty until it is made.
    struct origin {
        int algorithm = 0;
        SecureVector<unsigned char> key;
        bool matches(int alg, const SecureVector<unsigned char>& current) const;
    };

    struct cipher_half {
        origin from;
        gc_ossl::EvpCipherCtxPtr encrypt;  // CBC
        gc_ossl::EvpCipherCtxPtr decrypt;  // CBC
        gc_ossl::EvpCipherCtxPtr counter;  // AES only: ECB encryption of the counter into the IV
    };

    struct mac_half {
        origin from;
        gc_ossl::EvpMacCtxPtr cmac;        // AES
        gc_ossl::EvpCipherCtxPtr chain;    // 3DES: single-DES CBC under K1 over the blocks
        gc_ossl::EvpCipherCtxPtr finishD;  // 3DES: single-DES decryption under K2 of the last block
        gc_ossl::EvpCipherCtxPtr finishE;  // 3DES: single-DES encryption under K1 of it
    };

    int makeCipher(int algorithm, const SecureVector<unsigned char>& kenc);
    int makeMac(int algorithm, const SecureVector<unsigned char>& kmac);

    cipher_half cipher_;
    mac_half mac_;
};
