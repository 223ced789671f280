// Public keys are made, exported and signed with by OpenSSL's EVP layer here: an independent
// reference for what the object imports, reports and verifies.
#include "Data/Objects/pubkeyobject.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "Data/Objects/certobject.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct SigFree {
    void operator()(ECDSA_SIG* s) const { ECDSA_SIG_free(s); }
};
struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

static_assert(!std::is_copy_constructible_v<GC_PubKeyObject>, "a copy would share the EVP_PKEY");
static_assert(!std::is_copy_assignable_v<GC_PubKeyObject>);

Bytes fixture(const std::string& name) {
    const std::string content = gctest::readFile(gctest::dataPath("objects/" + name));
    return Bytes(content.begin(), content.end());
}

Bytes randomBytes(size_t n) {
    Bytes b(n);
    if (n > 0) {
        EXPECT_EQ(RAND_bytes(b.data(), static_cast<int>(n)), 1);
    }
    return b;
}

Pkey rsaKey(unsigned bits) {
    return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
}
Pkey ecKey(const char* curve) {
    return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve));
}

Bytes spkiOf(EVP_PKEY* key) {
    const int len = i2d_PUBKEY(key, nullptr);
    Bytes out(len > 0 ? static_cast<size_t>(len) : 0);
    unsigned char* p = out.data();
    EXPECT_EQ(i2d_PUBKEY(key, &p), len);
    return out;
}

Bytes pkcs1Of(EVP_PKEY* key) {
    const int len = i2d_PublicKey(key, nullptr);
    Bytes out(len > 0 ? static_cast<size_t>(len) : 0);
    unsigned char* p = out.data();
    EXPECT_EQ(i2d_PublicKey(key, &p), len);
    return out;
}

Bytes bnParam(EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &raw), 1);
    std::unique_ptr<BIGNUM, BnFree> bn(raw);
    Bytes out(static_cast<size_t>(BN_num_bytes(bn.get())));
    BN_bn2bin(bn.get(), out.data());
    return out;
}

Bytes oidDer(int nid) {
    const ASN1_OBJECT* obj = OBJ_nid2obj(nid);
    const int len = i2d_ASN1_OBJECT(obj, nullptr);
    Bytes out(static_cast<size_t>(len));
    unsigned char* p = out.data();
    i2d_ASN1_OBJECT(obj, &p);
    return out;
}

// ECDSA over a value taken as the digest, as OpenSSL's EVP_PKEY_sign makes it (DER).
Bytes signDigest(EVP_PKEY* key, const Bytes& digest) {
    std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    EXPECT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
    size_t len = 0;
    EXPECT_EQ(EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()), 1);
    Bytes sig(len);
    EXPECT_EQ(EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()), 1);
    sig.resize(len);
    return sig;
}

// Signature over the hash of message, DER.
Bytes signHashed(EVP_PKEY* key, const EVP_MD* md, const Bytes& message) {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key), 1);
    size_t len = 0;
    EXPECT_EQ(EVP_DigestSign(ctx.get(), nullptr, &len, message.data(), message.size()), 1);
    Bytes sig(len);
    EXPECT_EQ(EVP_DigestSign(ctx.get(), sig.data(), &len, message.data(), message.size()), 1);
    sig.resize(len);
    return sig;
}

// DER ECDSA-Sig-Value to raw r || s, each half left-padded to `half` bytes.
Bytes toRaw(const Bytes& der, size_t half) {
    const unsigned char* p = der.data();
    std::unique_ptr<ECDSA_SIG, SigFree> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
    EXPECT_TRUE(sig);
    Bytes raw(2 * half);
    EXPECT_EQ(BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), static_cast<int>(half)), static_cast<int>(half));
    EXPECT_EQ(BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + half, static_cast<int>(half)),
              static_cast<int>(half));
    return raw;
}

const EVP_MD* mdForLength(size_t n) {
    switch (n) {
        case 20:
            return EVP_sha1();
        case 28:
            return EVP_sha224();
        case 32:
            return EVP_sha256();
        case 48:
            return EVP_sha384();
        default:
            return EVP_sha512();
    }
}

struct Curve {
    const char* name;
    GC_EC_Params::ec_nid nid;
    uint64_t bits;
    size_t half;  // raw signature half: the order's length in bytes
};

const Curve kCurves[] = {
    {"secp224r1", GC_EC_Params::secp224r1, 224, 28},
    {"prime256v1", GC_EC_Params::prime256v1, 256, 32},
    {"secp384r1", GC_EC_Params::secp384r1, 384, 48},
    {"secp521r1", GC_EC_Params::secp521r1, 521, 66},
    {"brainpoolP224r1", GC_EC_Params::brainpoolP224r1, 224, 28},
    {"brainpoolP256r1", GC_EC_Params::brainpoolP256r1, 256, 32},
    {"brainpoolP320r1", GC_EC_Params::brainpoolP320r1, 320, 40},
    {"brainpoolP384r1", GC_EC_Params::brainpoolP384r1, 384, 48},
    {"brainpoolP512r1", GC_EC_Params::brainpoolP512r1, 512, 64},
};

class EcCurve : public ::testing::TestWithParam<Curve> {
protected:
    void SetUp() override {
        key = ecKey(GetParam().name);
        ASSERT_TRUE(key);
        object.keyType = GC_Object::KEY_EC;
        ASSERT_EQ(object.setPublicKeyFromRAW(spkiOf(key.get())), 0);
    }
    Pkey key;
    GC_PubKeyObject object;
};

TEST_P(EcCurve, ImportExportAndAttributes) {
    const Curve& c = GetParam();
    EXPECT_EQ(object.curve, c.nid);
    Bytes out;
    ASSERT_EQ(object.getPublicKeyBytes(out), 0);
    EXPECT_EQ(out, spkiOf(key.get()));
    ASSERT_EQ(object.getOID(out), 0);
    EXPECT_EQ(out, oidDer(c.nid));
    EXPECT_EQ(object.getKeySize(), c.bits);
    EXPECT_EQ(object.keyBits, c.bits);

    // The point as OpenSSL encodes it uncompressed, inside an OCTET STRING.
    size_t len = 0;
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &len), 1);
    Bytes point(len);
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), len, &len), 1);
    ASSERT_EQ(point.size(), 1 + 2 * c.half);  // the field is as long as the order here
    ASSERT_EQ(object.getECPoint(out), 0);
    Bytes header = {0x04};
    if (point.size() >= 128) header.push_back(0x81);
    header.push_back(static_cast<unsigned char>(point.size()));
    ASSERT_EQ(out.size(), header.size() + point.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(header.size())), header);
    EXPECT_EQ(Bytes(out.begin() + static_cast<long>(header.size()), out.end()), point);

    EXPECT_EQ(object.getModulus(out), -1);
    EXPECT_EQ(object.getExponent(out), -1);
}

// Many random values per curve, signed by OpenSSL: as the digest itself and through the hash
// that the data length selects; DER and raw r || s; tampered signatures and data fail.
TEST_P(EcCurve, VerifiesOpensslSignatures) {
    const Curve& c = GetParam();
    const size_t lengths[] = {20, 28, 32, 48, 64};
    for (int round = 0; round < 40; ++round) {
        const size_t n = lengths[round % 5];
        SCOPED_TRACE(::testing::Message() << "round " << round << ", data length " << n);
        const Bytes data = randomBytes(n);

        const Bytes direct = signDigest(key.get(), data);
        EXPECT_EQ(object.verifySignature(data, direct, GC_Security::PAD_NONE), 0);
        EXPECT_EQ(object.verifySignature(data, toRaw(direct, c.half), GC_Security::PAD_NONE), 0);

        const Bytes hashed = signHashed(key.get(), mdForLength(n), data);
        EXPECT_EQ(object.verifySignature(data, hashed, GC_Security::PAD_NONE), 0);
        Bytes raw = toRaw(hashed, c.half);
        EXPECT_EQ(object.verifySignature(data, raw, GC_Security::PAD_NONE), 0);

        Bytes otherData = data;
        otherData[round % n] ^= 0x01;
        EXPECT_EQ(object.verifySignature(otherData, hashed, GC_Security::PAD_NONE), 1);
        EXPECT_EQ(object.verifySignature(otherData, raw, GC_Security::PAD_NONE), 1);
        raw[c.half - 1] ^= 0x01;  // last byte of r
        EXPECT_EQ(object.verifySignature(data, raw, GC_Security::PAD_NONE), 1);
        Bytes der = hashed;
        der.back() ^= 0x01;  // last byte of s
        EXPECT_EQ(object.verifySignature(data, der, GC_Security::PAD_NONE), 1);
    }
}

// Raw halves with leading zero bytes must become minimal INTEGERs, or OpenSSL refuses the DER.
TEST_P(EcCurve, RawHalvesWithLeadingZeroBytes) {
    const Curve& c = GetParam();
    bool zeroSeen = false;
    bool highSeen = false;
    for (int attempt = 0; attempt < 4000 && !(zeroSeen && highSeen); ++attempt) {
        const Bytes data = randomBytes(32);
        const Bytes raw = toRaw(signHashed(key.get(), EVP_sha256(), data), c.half);
        // A half whose first byte is 00 and second below 80 is not a minimal INTEGER as it stands.
        const bool zero = (raw[0] == 0 && raw[1] < 0x80) || (raw[c.half] == 0 && raw[c.half + 1] < 0x80);
        const bool high = raw[0] >= 0x80 || raw[c.half] >= 0x80;
        if ((zero && !zeroSeen) || (high && !highSeen)) {
            EXPECT_EQ(object.verifySignature(data, raw, GC_Security::PAD_NONE), 0);
            zeroSeen = zeroSeen || zero;
            highSeen = highSeen || high;
        }
    }
    EXPECT_TRUE(zeroSeen);
    if (c.bits % 8 == 0) {
        EXPECT_TRUE(highSeen);
    }
}

INSTANTIATE_TEST_SUITE_P(NineCurves, EcCurve, ::testing::ValuesIn(kCurves),
                         [](const ::testing::TestParamInfo<Curve>& info) { return std::string(info.param.name); });

TEST(GC_PubKeyObject, EcSignatureLengthsAndDataSizes) {
    Pkey key = ecKey("prime256v1");
    GC_PubKeyObject object;
    object.keyType = GC_Object::KEY_EC;
    ASSERT_EQ(object.setPublicKeyFromRAW(spkiOf(key.get())), 0);
    const Bytes digest = randomBytes(32);
    const Bytes raw = toRaw(signDigest(key.get(), digest), 32);
    EXPECT_EQ(object.verifySignature(digest, Bytes(raw.begin(), raw.end() - 1), GC_Security::PAD_NONE), -12);
    EXPECT_EQ(object.verifySignature(digest, Bytes(), GC_Security::PAD_NONE), -12);

    // Signed over SHA-256(d) with a 30-byte d: no hash has that length.
    const Bytes d = randomBytes(30);
    EXPECT_EQ(object.verifySignature(d, signHashed(key.get(), EVP_sha256(), d), GC_Security::PAD_NONE), -1);

    // P-521: 66-byte halves verify; 65-byte halves cannot even be read.
    Pkey p521 = ecKey("secp521r1");
    GC_PubKeyObject big;
    big.keyType = GC_Object::KEY_EC;
    ASSERT_EQ(big.setPublicKeyFromRAW(spkiOf(p521.get())), 0);
    const Bytes sig = signDigest(p521.get(), digest);
    EXPECT_EQ(big.verifySignature(digest, toRaw(sig, 66), GC_Security::PAD_NONE), 0);
    Bytes short521 = toRaw(sig, 66);
    short521.erase(short521.begin() + 66);
    short521.erase(short521.begin());
    EXPECT_EQ(big.verifySignature(digest, short521, GC_Security::PAD_NONE), -12);
}

TEST(GC_PubKeyObject, EcImportFailuresAndOtherCurves) {
    GC_PubKeyObject object;
    object.keyType = GC_Object::KEY_EC;

    // A curve outside the table is kept; the curve field stays as it was.
    Pkey k1 = ecKey("secp256k1");
    ASSERT_EQ(object.setPublicKeyFromRAW(spkiOf(k1.get())), 0);
    EXPECT_EQ(object.curve, 0);
    Bytes out = {9};
    EXPECT_EQ(object.getOID(out), -1);
    EXPECT_TRUE(out.empty());
    Pkey twisted = ecKey("brainpoolP256t1");
    ASSERT_EQ(object.setPublicKeyFromRAW(spkiOf(twisted.get())), 0);
    EXPECT_EQ(object.curve, 0);
    EXPECT_EQ(object.getOID(out), -1);

    Pkey bp = ecKey("brainpoolP384r1");
    ASSERT_EQ(object.setPublicKeyFromRAW(spkiOf(bp.get())), 0);
    EXPECT_EQ(object.curve, 931);

    // Empty input leaves the key alone; bytes that are no EC key leave none.
    EXPECT_EQ(object.setPublicKeyFromRAW(Bytes()), 1);
    ASSERT_EQ(object.getPublicKeyBytes(out), 0);
    EXPECT_EQ(out, spkiOf(bp.get()));
    Pkey rsa = rsaKey(1024);
    EXPECT_EQ(object.setPublicKeyFromRAW(spkiOf(rsa.get())), -2);
    EXPECT_EQ(object.getPublicKeyBytes(out), -1108);
    EXPECT_EQ(object.setPublicKeyFromRAW(Bytes{0x30, 0x03, 0x02, 0x01, 0x01}), -2);
    EXPECT_EQ(object.getOID(out), -1108);
    EXPECT_EQ(object.getECPoint(out), -1108);
    EXPECT_EQ(object.getKeySize(), 0u);
    EXPECT_EQ(object.verifySignature(Bytes(32), Bytes(64), GC_Security::PAD_NONE), -1108);

    // A compressed point is reported uncompressed.
    Pkey p256 = ecKey("prime256v1");
    ASSERT_EQ(EVP_PKEY_set_utf8_string_param(p256.get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                             OSSL_PKEY_EC_POINT_CONVERSION_FORMAT_COMPRESSED),
              1);
    const Bytes compressed = spkiOf(p256.get());
    ASSERT_EQ(compressed.size(), 59u);
    ASSERT_EQ(object.setPublicKeyFromRAW(compressed), 0);
    ASSERT_EQ(object.getECPoint(out), 0);
    ASSERT_EQ(out.size(), 67u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), Bytes({0x04, 0x41, 0x04}));
    EXPECT_EQ(Bytes(out.begin() + 3, out.begin() + 35), Bytes(compressed.end() - 32, compressed.end()));  // same X
}

TEST(GC_PubKeyObject, RsaBothInputFormsAndAttributes) {
    Pkey key = rsaKey(2048);
    ASSERT_TRUE(key);
    const Bytes spki = spkiOf(key.get());
    for (const Bytes& input : {spki, pkcs1Of(key.get())}) {
        GC_PubKeyObject object;
        object.keyType = GC_Object::KEY_RSA;
        ASSERT_EQ(object.setPublicKeyFromRAW(input), 0);
        Bytes out;
        ASSERT_EQ(object.getPublicKeyBytes(out), 0);
        EXPECT_EQ(out, spki);
        EXPECT_EQ(object.getKeySize(), 2048u);
        EXPECT_EQ(object.keyBits, 2048u);
        ASSERT_EQ(object.getModulus(out), 0);
        EXPECT_EQ(out, bnParam(key.get(), OSSL_PKEY_PARAM_RSA_N));
        ASSERT_EQ(object.getExponent(out), 0);
        EXPECT_EQ(out, Bytes({0x01, 0x00, 0x01}));
        EXPECT_EQ(object.getOID(out), -1);
        EXPECT_EQ(object.getECPoint(out), -1);
    }

    GC_PubKeyObject object;
    object.keyType = GC_Object::KEY_RSA;
    Pkey ec = ecKey("prime256v1");
    EXPECT_EQ(object.setPublicKeyFromRAW(spkiOf(ec.get())), 1);
    EXPECT_EQ(object.setPublicKeyFromRAW(Bytes{0x30, 0x00}), 1);
    // RSAPublicKey { n, e = 0 } and { n = 0, e }: OpenSSL reads both, neither is a key.
    EXPECT_EQ(object.setPublicKeyFromRAW(Bytes{0x30, 0x06, 0x02, 0x01, 0x0B, 0x02, 0x01, 0x00}), 1);
    EXPECT_EQ(object.setPublicKeyFromRAW(Bytes{0x30, 0x08, 0x02, 0x01, 0x00, 0x02, 0x03, 0x01, 0x00, 0x01}), 1);
    Bytes out;
    EXPECT_EQ(object.getModulus(out), -1108);
    EXPECT_EQ(object.getExponent(out), -1108);

    // Typed RSA but holding an EC key: the two getters report it with codes of their own.
    GC_PubKeyObject mistyped;
    mistyped.keyType = GC_Object::KEY_EC;
    ASSERT_EQ(mistyped.setPublicKeyFromRAW(spkiOf(ec.get())), 0);
    mistyped.keyType = GC_Object::KEY_RSA;
    EXPECT_EQ(mistyped.getModulus(out), -1);
    EXPECT_EQ(mistyped.getExponent(out), -3);

    // Without a key type nothing is imported, and that is not reported as success.
    GC_PubKeyObject untyped;
    EXPECT_EQ(untyped.setPublicKeyFromRAW(spki), -4);
    EXPECT_EQ(untyped.getPublicKeyBytes(out), -1108);
}

TEST(GC_PubKeyObject, RsaVerification) {
    Pkey key = rsaKey(2048);
    GC_PubKeyObject object;
    object.keyType = GC_Object::KEY_RSA;
    ASSERT_EQ(object.setPublicKeyFromRAW(spkiOf(key.get())), 0);

    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        // PKCS#1 v1.5 over a DigestInfo-sized payload, as the card signs it.
        const Bytes payload = randomBytes(51);
        std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
        ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
        ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), 1);
        Bytes sig(256);
        size_t len = sig.size();
        ASSERT_EQ(EVP_PKEY_sign(ctx.get(), sig.data(), &len, payload.data(), payload.size()), 1);
        EXPECT_EQ(object.verifySignature(payload, sig, GC_Security::PAD_PKCS1_V15), 0);
        Bytes otherPayload = payload;
        otherPayload[round] ^= 0x80;
        EXPECT_EQ(object.verifySignature(otherPayload, sig, GC_Security::PAD_PKCS1_V15), 1);
        Bytes tampered = sig;
        tampered[100] ^= 0x01;
        EXPECT_NE(object.verifySignature(payload, tampered, GC_Security::PAD_PKCS1_V15), 0);
        EXPECT_EQ(object.verifySignature(payload, Bytes(sig.begin(), sig.end() - 1), GC_Security::PAD_PKCS1_V15), -8);

        // No padding: the whole block of the modulus length.
        Bytes block = randomBytes(256);
        block[0] = 0x00;
        std::unique_ptr<EVP_PKEY_CTX, CtxFree> raw(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
        ASSERT_EQ(EVP_PKEY_sign_init(raw.get()), 1);
        ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(raw.get(), RSA_NO_PADDING), 1);
        len = sig.size();
        ASSERT_EQ(EVP_PKEY_sign(raw.get(), sig.data(), &len, block.data(), block.size()), 1);
        EXPECT_EQ(object.verifySignature(block, sig, GC_Security::PAD_NONE), 0);
        Bytes otherBlock = block;
        otherBlock[255] ^= 0x01;
        EXPECT_EQ(object.verifySignature(otherBlock, sig, GC_Security::PAD_NONE), 1);
    }

    EXPECT_EQ(object.verifySignature(Bytes(32), Bytes(256), static_cast<GC_Security::padding_type>(3)), -8);

    // Key type and key must agree.
    GC_PubKeyObject mismatch;
    mismatch.keyType = GC_Object::KEY_EC;
    Pkey ec = ecKey("prime256v1");
    ASSERT_EQ(mismatch.setPublicKeyFromRAW(spkiOf(ec.get())), 0);
    mismatch.keyType = GC_Object::KEY_RSA;
    EXPECT_EQ(mismatch.verifySignature(Bytes(32), Bytes(256), GC_Security::PAD_PKCS1_V15), -7);
    mismatch.keyType = static_cast<GC_Object::key_type>(0);
    EXPECT_EQ(mismatch.verifySignature(Bytes(32), Bytes(64), GC_Security::PAD_NONE), -4);
}

TEST(GC_PubKeyObject, KeyFromCertificate) {
    GC_CertObject rsaCert;
    ASSERT_EQ(rsaCert.setCert(fixture("rsa_ca.der")), 0);
    GC_PubKeyObject rsa;
    rsa.keyType = GC_Object::KEY_RSA;
    ASSERT_EQ(rsa.setPublicKeyFromX509(rsaCert.cert.get()), 0);
    Bytes out;
    ASSERT_EQ(rsa.getPublicKeyBytes(out), 0);
    EXPECT_EQ(out, fixture("rsa_ca.spki.der"));

    GC_CertObject ecCert;
    ASSERT_EQ(ecCert.setCert(fixture("ec_leaf.der")), 0);
    GC_PubKeyObject ec;
    ec.keyType = GC_Object::KEY_EC;
    ASSERT_EQ(ec.setPublicKeyFromX509(ecCert.cert.get()), 0);
    EXPECT_EQ(ec.curve, GC_EC_Params::secp384r1);
    ASSERT_EQ(ec.getPublicKeyBytes(out), 0);
    EXPECT_EQ(out, fixture("ec_leaf.spki.der"));

    // A null certificate leaves the key held.
    EXPECT_EQ(ec.setPublicKeyFromX509(nullptr), 1);
    EXPECT_EQ(ec.getPublicKeyBytes(out), 0);
}

TEST(GC_PubKeyObject, CopyConstructor) {
    Pkey key = ecKey("brainpoolP256r1");
    GC_PubKeyObject source;
    source.keyType = GC_Object::KEY_EC;
    source.keyReference = 0x82;
    source.ID = {0x01, 0x02};
    ASSERT_EQ(source.setPublicKeyFromRAW(spkiOf(key.get())), 0);
    GC_PubKeyObject copy(&source);
    EXPECT_EQ(copy.type, GC_Object::TYPE_PUBLIC_KEY);
    EXPECT_EQ(copy.keyReference, 0x82);
    EXPECT_EQ(copy.ID, source.ID);
    EXPECT_EQ(copy.curve, GC_EC_Params::brainpoolP256r1);
    EXPECT_NE(copy.key.get(), source.key.get());
    Bytes out;
    ASSERT_EQ(copy.getPublicKeyBytes(out), 0);
    EXPECT_EQ(out, spkiOf(key.get()));

    // Nothing to export: the copy holds no key, no ID and zero masks.
    GC_PubKeyObject keyless;
    keyless.keyType = GC_Object::KEY_RSA;
    keyless.ID = {0x07};
    keyless.usage = 2;
    GC_PubKeyObject keylessCopy(&keyless);
    EXPECT_EQ(keylessCopy.keyType, GC_Object::KEY_RSA);
    EXPECT_TRUE(keylessCopy.ID.empty());
    EXPECT_EQ(keylessCopy.usage, 0u);
    EXPECT_EQ(keylessCopy.getPublicKeyBytes(out), -1108);
}

}  // namespace
