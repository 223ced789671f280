// MANAGE SECURITY ENVIRONMENT for the signature template and PERFORM SECURITY OPERATION:
// COMPUTE DIGITAL SIGNATURE, in the form of each card generation, with OpenSSL keys.
#include <openssl/ec.h>
#include <openssl/rsa.h>

#include <algorithm>

#include "card_internal.h"

namespace cardsim {
namespace {

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct SigFree {
    void operator()(ECDSA_SIG* s) const { ECDSA_SIG_free(s); }
};

enum class Scheme { None, RsaPkcs1, RsaRaw, RsaDigest, Ecdsa };

struct Algorithm {
    Scheme scheme = Scheme::None;
    const EVP_MD* md = nullptr;  // RsaDigest: the hash whose DigestInfo the card builds
};

// ChipDoc 2.0 (and the generic card): 8A PKCS#1 v1.5 over the given DigestInfo, 8C raw RSA, CC ECDSA.
// ChipDoc 3.0: one reference per signature scheme and hash; the input is the bare digest.
Algorithm algorithmOf(Personality personality, uint8_t reference) {
    if (personality != Personality::Varnel2) {
        switch (reference) {
            case 0x8A:
                return {Scheme::RsaPkcs1, nullptr};
            case 0x8C:
                return {Scheme::RsaRaw, nullptr};
            case 0xCC:
                return {Scheme::Ecdsa, nullptr};
        }
        return {};
    }
    switch (reference) {
        case 0x0A:
            return {Scheme::RsaDigest, EVP_sha1()};
        case 0x27:
            return {Scheme::RsaDigest, EVP_sha224()};
        case 0x28:
            return {Scheme::RsaDigest, EVP_sha256()};
        case 0x29:
            return {Scheme::RsaDigest, EVP_sha384()};
        case 0x2A:
            return {Scheme::RsaDigest, EVP_sha512()};
        case 0x11:
        case 0x25:
        case 0x21:
        case 0x22:
        case 0x26:
            return {Scheme::Ecdsa, nullptr};
    }
    return {};
}

// The private key (first generation: private half) that `reference` names, from the current DF
// up; one of the kind the algorithm needs first (the first generation may hold an RSA and an EC
// key under one reference).
Key* findKey(Node* df, uint8_t reference, std::optional<KeyKind> wanted) {
    Key* other = nullptr;
    for (Node* n = df; n; n = n->parent)
        for (Key& k : n->keys) {
            if (!k.isPrivate || k.reference != (reference & 0x7F)) continue;
            if (!wanted || k.kind == *wanted) return &k;
            if (!other) other = &k;
        }
    return other;
}

std::optional<Bytes> sign(EVP_PKEY* key, const Bytes& input, Scheme scheme, const EVP_MD* md) {
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0) return std::nullopt;
    if (scheme != Scheme::Ecdsa) {
        const int padding = scheme == Scheme::RsaRaw ? RSA_NO_PADDING : RSA_PKCS1_PADDING;
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) <= 0) return std::nullopt;
        if (md && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0) return std::nullopt;
    }
    size_t length = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &length, input.data(), input.size()) <= 0) return std::nullopt;
    Bytes out(length);
    if (EVP_PKEY_sign(ctx.get(), out.data(), &length, input.data(), input.size()) <= 0) return std::nullopt;
    out.resize(length);
    return out;
}

// DER ECDSA-Sig-Value to r || s, each as long as the group order.
std::optional<Bytes> plainEcdsa(EVP_PKEY* key, const Bytes& der) {
    const unsigned char* p = der.data();
    std::unique_ptr<ECDSA_SIG, SigFree> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (!sig) return std::nullopt;
    const int half = (EVP_PKEY_get_bits(key) + 7) / 8;
    Bytes out(static_cast<size_t>(2 * half));
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out.data(), half) != half ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out.data() + half, half) != half)
        return std::nullopt;
    return out;
}

// True when the DER signature's r (or s) is shorter than the group order, so that its fixed-length
// form starts with a zero byte.
bool hasLeadingZero(EVP_PKEY* key, const Bytes& der, SignatureHalf half) {
    const unsigned char* p = der.data();
    std::unique_ptr<ECDSA_SIG, SigFree> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (!sig) return false;
    const BIGNUM* value = half == SignatureHalf::R ? ECDSA_SIG_get0_r(sig.get()) : ECDSA_SIG_get0_s(sig.get());
    return BN_num_bytes(value) < (EVP_PKEY_get_bits(key) + 7) / 8;
}

}  // namespace

Response CardSim::Impl::mseSetSignature(const Apdu& a, bool secure) {
    const bool second = config.personality == Personality::Varnel2;
    const uint8_t expectedP1 = second ? 0x81 : 0x41;
    if (a.p1 != expectedP1 || a.p2 != 0xB6) return Response::status(0x6A86);
    if (requireSm && !secure) return Response::status(0x6982);
    std::vector<Tlv> objects;
    if (!parseTlvs(a.data.data(), a.data.size(), objects)) return Response::status(0x6A80);
    int algorithm = -1;
    int keyRef = -1;
    for (const Tlv& t : objects) {
        if (second && t.tag == 0x91 && t.value.size() == 2) {
            algorithm = t.value[0];
            keyRef = t.value[1];
        } else if (!second && t.tag == 0x80 && t.value.size() == 1) {
            algorithm = t.value[0];
        } else if (!second && t.tag == 0x84 && t.value.size() == 1) {
            keyRef = t.value[0];
        } else {
            return Response::status(0x6A80);
        }
    }
    if (algorithm < 0 || keyRef < 0) return Response::status(0x6A80);
    se = SecurityEnvironment{};
    const Algorithm alg = algorithmOf(config.personality, static_cast<uint8_t>(algorithm));
    const bool rsa = alg.scheme == Scheme::RsaPkcs1 || alg.scheme == Scheme::RsaRaw || alg.scheme == Scheme::RsaDigest;
    std::optional<KeyKind> wanted;
    if (rsa) wanted = KeyKind::Rsa;
    if (alg.scheme == Scheme::Ecdsa) wanted = KeyKind::Ec;
    Key* key = findKey(currentDf, static_cast<uint8_t>(keyRef), wanted);
    if (!key) return Response::status(0x6A88);
    // ChipDoc refuses a missing or unsuitable algorithm with "conditions of use not satisfied".
    if (!wanted || key->kind != *wanted) return Response::status(traits.chipdoc ? 0x6985 : 0x6A80);
    if (!key->pkey) return Response::status(0x6985);  // created, not generated yet
    se.key = key;
    se.algorithm = static_cast<uint8_t>(algorithm);
    return Response::status(0x9000);
}

Response CardSim::Impl::computeSignature(const Apdu& a, bool secure) {
    if (a.p1 != 0x9E || a.p2 != 0x9A) return Response::status(0x6A86);
    if (requireSm && !secure) return Response::status(0x6982);
    if (!se.key) return Response::status(0x6985);
    Pin* pin = findPin(se.key->pinReference);
    if (pin && !pin->active()) return Response::status(0x6985);
    if (pin && !pin->verified) return Response::status(0x6982);
    if (a.data.empty()) return Response::status(0x6A80);
    EVP_PKEY* key = se.key->pkey.get();
    const Algorithm alg = algorithmOf(config.personality, se.algorithm);
    if (alg.scheme == Scheme::RsaDigest && a.data.size() != static_cast<size_t>(EVP_MD_get_size(alg.md)))
        return Response::status(0x6A80);
    // ECDSA takes a digest of up to 64 bytes, or as many as the group order has (66 for P-521).
    const size_t orderBytes = static_cast<size_t>((EVP_PKEY_get_bits(key) + 7) / 8);
    if (alg.scheme == Scheme::Ecdsa && a.data.size() > std::max<size_t>(64, orderBytes))
        return Response::status(0x6A80);
    std::optional<Bytes> signature = sign(key, a.data, alg.scheme, alg.md);
    if (alg.scheme == Scheme::Ecdsa && zeroHalf) {
        // ECDSA is randomised: sign again until the chosen half is short (1 in 256 tries on average).
        for (int tries = 0; signature && !hasLeadingZero(key, *signature, *zeroHalf) && tries < (1 << 16); ++tries)
            signature = sign(key, a.data, alg.scheme, alg.md);
        zeroHalf.reset();
    }
    if (!signature) return Response::status(0x6A80);
    // The first generation answers ECDSA in DER, the second and the generic card as r || s.
    if (alg.scheme == Scheme::Ecdsa && config.personality != Personality::Varnel1) {
        signature = plainEcdsa(key, *signature);
        if (!signature) return Response::status(0x6F00);
    }
    return Response{*signature, 0x9000};
}

}  // namespace cardsim
