// The card generations' public-key answers turned into DER, checked against OpenSSL: keys that
// OpenSSL made are put into the answers as the cards give them, and what comes out must be the
// same key to OpenSSL.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "CardController/cardcontroller_varnel_1_0.h"
#include "CardController/cardcontroller_varnel_2_0.h"
#include "openssl_ptr.h"
#include "support/hex.h"

namespace {

using Bytes = std::vector<unsigned char>;
using V1 = GC_CardControllerVarnel_1_0;
using V2 = GC_CardControllerVarnel_2_0;

// A TLV with a minimal definite length; tags of one to three bytes.
Bytes tlv(unsigned tag, const Bytes& value) {
    Bytes out;
    if (tag > 0xFFFF) out.push_back(static_cast<unsigned char>(tag >> 16));
    if (tag > 0xFF) out.push_back(static_cast<unsigned char>(tag >> 8));
    out.push_back(static_cast<unsigned char>(tag));
    const size_t n = value.size();
    if (n >= 0x100) {
        out.insert(out.end(), {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
    } else if (n >= 0x80) {
        out.insert(out.end(), {0x81, static_cast<unsigned char>(n)});
    } else {
        out.push_back(static_cast<unsigned char>(n));
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The first generation's answer to its public-key read: 70 { BF kind 0C { 7F49 { components } } }.
Bytes firstGenerationAnswer(unsigned char kind, const Bytes& components) {
    return tlv(0x70, tlv(0xBF0000u | unsigned{kind} << 8 | 0x0C, tlv(0x7F49, components)));
}

Bytes bnParam(const EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return {};
    const gc_ossl::BnPtr bn(raw);
    Bytes out(static_cast<size_t>(BN_num_bytes(bn.get())));
    BN_bn2bin(bn.get(), out.data());
    return out;
}

Bytes ecPoint(const EVP_PKEY* key) {
    Bytes point(200);
    size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &length) != 1)
        return {};
    point.resize(length);
    return point;
}

// The key OpenSSL reads from an RSAPublicKey, or from a SubjectPublicKeyInfo.
gc_ossl::EvpPkeyPtr fromRsaPublicKey(const Bytes& der) {
    const unsigned char* p = der.data();
    gc_ossl::EvpPkeyPtr key(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size())));
    if (p != der.data() + der.size()) return nullptr;  // nothing may follow the key
    return key;
}
gc_ossl::EvpPkeyPtr fromSpki(const Bytes& der) {
    const unsigned char* p = der.data();
    gc_ossl::EvpPkeyPtr key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
    if (p != der.data() + der.size()) return nullptr;
    return key;
}

TEST(PublicKeyConversion, RsaAnswersOfBothGenerationsAreTheCardsKeys) {
    for (const unsigned bits : {1024u, 2048u}) {
        SCOPED_TRACE(bits);
        const gc_ossl::EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
        ASSERT_TRUE(key);
        const Bytes n = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_N);
        const Bytes e = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_E);

        // First generation: 12 header bytes for 1024 bits, 15 for 2048.
        const Bytes answer = firstGenerationAnswer(0xA0, concat(tlv(0x81, n), tlv(0x82, e)));
        EXPECT_EQ(answer.size() >= 257, bits == 2048);
        const gc_ossl::EvpPkeyPtr first = fromRsaPublicKey(V1::convertPubKeyRSA(answer));
        ASSERT_TRUE(first);
        EXPECT_EQ(EVP_PKEY_eq(first.get(), key.get()), 1);

        // Second generation: the bare modulus; the exponent is always 65537.
        const gc_ossl::EvpPkeyPtr second = fromRsaPublicKey(V2::convertPubKey(n));
        ASSERT_TRUE(second);
        EXPECT_EQ(EVP_PKEY_eq(second.get(), key.get()), 1);
    }
}

TEST(PublicKeyConversion, EcAnswersOfBothGenerationsOnEveryCurve) {
    const GC_EC_Params::ec_nid curves[] = {
        GC_EC_Params::secp224r1,       GC_EC_Params::prime256v1,      GC_EC_Params::secp384r1,
        GC_EC_Params::secp521r1,       GC_EC_Params::brainpoolP224r1, GC_EC_Params::brainpoolP256r1,
        GC_EC_Params::brainpoolP320r1, GC_EC_Params::brainpoolP384r1, GC_EC_Params::brainpoolP512r1,
    };
    for (const GC_EC_Params::ec_nid curve : curves) {
        SCOPED_TRACE(OBJ_nid2sn(curve));
        const gc_ossl::EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", OBJ_nid2sn(curve)));
        ASSERT_TRUE(key);
        const Bytes point = ecPoint(key.get());
        // Headers of 6 bytes (up to P-384), 8 (P-521, brainpoolP512r1): the answer's lengths say which.
        const gc_ossl::EvpPkeyPtr first =
            fromSpki(V1::convertPubKeyEC(firstGenerationAnswer(0xA2, tlv(0x86, point)), curve));
        ASSERT_TRUE(first);
        EXPECT_EQ(EVP_PKEY_eq(first.get(), key.get()), 1);
        const gc_ossl::EvpPkeyPtr second = fromSpki(V2::convertPubKeyEC(point, curve));
        ASSERT_TRUE(second);
        EXPECT_EQ(EVP_PKEY_eq(second.get(), key.get()), 1);
    }
}

TEST(PublicKeyConversion, AnswersThatHoldNoKey) {
    // Too short for the header its length byte announces: refused without reading past the end.
    EXPECT_TRUE(V1::convertPubKeyEC(gctest::unhex("70 81 40"), GC_EC_Params::prime256v1).empty());
    EXPECT_TRUE(V1::convertPubKeyEC(gctest::unhex("70 82 01 00 BF A2 0C 82 01"), GC_EC_Params::prime256v1).empty());
    EXPECT_TRUE(V1::convertPubKeyEC(gctest::unhex("70 05"), GC_EC_Params::prime256v1).empty());
    // No curve: nothing is looked at.
    const Bytes p256 = firstGenerationAnswer(0xA2, tlv(0x86, Bytes(65, 0x04)));
    EXPECT_TRUE(V1::convertPubKeyEC(p256, static_cast<GC_EC_Params::ec_nid>(0)).empty());
    EXPECT_TRUE(V2::convertPubKeyEC(Bytes(65, 0x04), static_cast<GC_EC_Params::ec_nid>(0)).empty());
    // RSA without modulus or exponent, an empty modulus, a header that is not TLV.
    EXPECT_TRUE(V1::convertPubKeyRSA(firstGenerationAnswer(0xA0, tlv(0x82, {0x01, 0x00, 0x01}))).empty());
    EXPECT_TRUE(V1::convertPubKeyRSA(firstGenerationAnswer(0xA0, tlv(0x81, Bytes(128, 0xC1)))).empty());
    EXPECT_TRUE(V2::convertPubKey({}).empty());
    EXPECT_TRUE(V1::convertPubKeyRSA(Bytes(300, 0xFF)).empty());

    // The forms the cards' odd answers take: a point the answer lacks is an empty BIT STRING, and
    // numbers below 80 go without a leading zero.
    EXPECT_EQ(gctest::hex(V2::convertPubKeyEC({}, GC_EC_Params::prime256v1)),
              "3018301306072A8648CE3D020106082A8648CE3D030107030100");
    EXPECT_EQ(gctest::hex(V1::convertPubKeyEC(gctest::unhex("70 07 BF A2 0C 03 7F 49 00"), GC_EC_Params::secp384r1)),
              "3015301006072A8648CE3D020106052B81040022030100");
    EXPECT_EQ(gctest::hex(V2::convertPubKey({0x7F, 0x01})), "300902027F010203010001");
}

}  // namespace
