#include "pkcs1.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <climits>
#include <string>
#include <vector>

#include "support/hex.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;
using S = GC_Security;

using gctest::unhex;

Bytes fixture(const std::string& name) {
    const std::string s = gctest::readFile(gctest::dataPath("pkcs1/" + name));
    return Bytes(s.begin(), s.end());
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// OpenSSL's one-shot digest, as an independent reference.
Bytes evpDigest(const EVP_MD* md, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr), 1);
    out.resize(len);
    return out;
}

// DigestInfo prefixes as listed in RFC 8017, section 9.2, note 1.
struct HashCase {
    S::data_format format;
    const char* name;  // fixture suffix
    const EVP_MD* (*md)();
    std::string prefix;
};

const HashCase kHashes[] = {
    {S::HASH_SHA1, "sha1", EVP_sha1, "3021300906052b0e03021a05000414"},
    {S::HASH_SHA224, "sha224", EVP_sha224, "302d300d06096086480165030402040500041c"},
    {S::HASH_SHA256, "sha256", EVP_sha256, "3031300d060960864801650304020105000420"},
    {S::HASH_SHA384, "sha384", EVP_sha384, "3041300d060960864801650304020205000430"},
    {S::HASH_SHA512, "sha512", EVP_sha512, "3051300d060960864801650304020305000440"},
};

constexpr unsigned long kKeyLen = 256;  // the fixture key is 2048 bits

// Blocks recovered by "openssl pkeyutl -verifyrecover" from openssl's own signatures
// (tests/data/pkcs1/make_fixtures.sh).
TEST(Pkcs1Encode, MatchesRfc8017AndOpenSslSignatures) {
    const Bytes message = fixture("message.bin");
    ASSERT_EQ(message.size(), 100u);
    for (const auto& h : kHashes) {
        const Bytes recovered = fixture(std::string("block_") + h.name + ".bin");
        ASSERT_EQ(recovered.size(), kKeyLen) << h.name;
        const Bytes digest = evpDigest(h.md(), message);

        Bytes t;
        ASSERT_EQ(GC_PKCS1::EMSA_v1_5_encode(message, kKeyLen, h.format, t, false), 0) << h.name;
        EXPECT_EQ(t, cat(unhex(h.prefix), digest)) << h.name;

        Bytes block;
        ASSERT_EQ(GC_PKCS1::EMSA_v1_5_encode(message, kKeyLen, h.format, block, true), 0) << h.name;
        EXPECT_EQ(block, recovered) << h.name;

        // Data of digest length is taken as the digest.
        Bytes fromDigest;
        ASSERT_EQ(GC_PKCS1::EMSA_v1_5_encode(digest, kKeyLen, h.format, fromDigest, true), 0) << h.name;
        EXPECT_EQ(fromDigest, recovered) << h.name;

        S::data_format found = S::HASH_NONE;
        Bytes decoded;
        ASSERT_EQ(GC_PKCS1::EMSA_v1_5_decode(recovered, kKeyLen, found, decoded), 0) << h.name;
        EXPECT_EQ(found, h.format);
        EXPECT_EQ(decoded, digest) << h.name;
    }
}

TEST(Pkcs1Encode, PaddedBlockLayout) {
    Bytes data(32);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(0xA0 + i);
    Bytes out;
    ASSERT_EQ(GC_PKCS1::EMSA_v1_5_encode(data, 256, S::HASH_SHA256, out, true), 0);
    ASSERT_EQ(out.size(), 256u);
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0x01);
    EXPECT_EQ(Bytes(out.begin() + 2, out.begin() + 204), Bytes(202, 0xFF));
    EXPECT_EQ(out[204], 0x00);
    EXPECT_EQ(Bytes(out.begin() + 205, out.end()), cat(unhex(kHashes[2].prefix), data));

    // 33 bytes are not a digest: they are hashed first.
    Bytes data33 = data;
    data33.push_back(0);
    ASSERT_EQ(GC_PKCS1::EMSA_v1_5_encode(data33, 256, S::HASH_SHA256, out, false), 0);
    EXPECT_EQ(out, cat(unhex(kHashes[2].prefix), evpDigest(EVP_sha256(), data33)));
}

TEST(Pkcs1Encode, EmptyDataLeavesOutTheOctetString) {
    Bytes out;
    ASSERT_EQ(GC_PKCS1::EMSA_v1_5_encode({}, 64, S::HASH_SHA1, out, false), 0);
    EXPECT_EQ(out, unhex("300B300906052B0E03021A0500"));
}

TEST(Pkcs1Encode, KeyLengthBoundary) {
    const Bytes digest(32, 0x5A);
    const unsigned long tLen = 51;
    Bytes out;
    ASSERT_EQ(GC_PKCS1::EMSA_v1_5_encode(digest, tLen + 11, S::HASH_SHA256, out, true), 0);
    ASSERT_EQ(out.size(), tLen + 11);
    EXPECT_EQ(Bytes(out.begin() + 2, out.begin() + 10), Bytes(8, 0xFF));
    EXPECT_EQ(out[10], 0x00);

    // One byte short, and SHA-512 (T of 83 bytes) under a 512-bit key: refused with or without padding.
    const Bytes before = {1, 2, 3};
    for (bool pad : {true, false}) {
        out = before;
        EXPECT_EQ(GC_PKCS1::EMSA_v1_5_encode(digest, tLen + 10, S::HASH_SHA256, out, pad), -2);
        EXPECT_EQ(out, before);
        EXPECT_EQ(GC_PKCS1::EMSA_v1_5_encode(Bytes(64, 1), 64, S::HASH_SHA512, out, pad), -2);
        EXPECT_EQ(out, before);
    }
}

TEST(Pkcs1Encode, RefusalsLeaveOutputUntouched) {
    const Bytes before = {9, 9};
    for (uint32_t f : {1u, 0u, 3u, 64u}) {
        Bytes out = before;
        EXPECT_EQ(GC_PKCS1::EMSA_v1_5_encode(Bytes(20, 1), 256, static_cast<S::data_format>(f), out, true), -1) << f;
        EXPECT_EQ(out, before);
    }
    // A key length no buffer can hold is a failure, not an exception.
    Bytes out = before;
    EXPECT_EQ(GC_PKCS1::EMSA_v1_5_encode(Bytes(32, 1), ULONG_MAX, S::HASH_SHA256, out, true), -1);
    EXPECT_EQ(out, before);
}

TEST(Pkcs1Decode, Cases) {
    const Bytes sha1Oid = unhex("2B0E03021A");
    const Bytes sha224Oid = unhex("608648016503040204");
    const Bytes sha256Oid = unhex("608648016503040201");
    const Bytes sha512Oid = unhex("608648016503040203");
    Bytes tail28(28);
    for (size_t i = 0; i < tail28.size(); ++i) tail28[i] = static_cast<unsigned char>(i + 1);

    S::data_format format = S::HASH_NONE;
    Bytes digest = {7};

    // Longer than the key.
    EXPECT_EQ(GC_PKCS1::EMSA_v1_5_decode(Bytes(65, 0), 64, format, digest), -4);
    EXPECT_EQ(digest, Bytes{7});

    // Structure is not checked: any block with the OID, its tail taken as the digest.
    const Bytes block224 = cat(cat(Bytes{0x00, 0x01, 0xFF, 0x00, 0x30}, sha224Oid), tail28);
    ASSERT_EQ(GC_PKCS1::EMSA_v1_5_decode(block224, block224.size(), format, digest), 0);
    EXPECT_EQ(format, S::HASH_SHA224);
    EXPECT_EQ(digest, tail28);

    // No known OID.
    format = S::HASH_NONE;
    digest = {7};
    EXPECT_EQ(GC_PKCS1::EMSA_v1_5_decode(Bytes(100, 0x30), 256, format, digest), -3);
    EXPECT_EQ(format, S::HASH_NONE);
    EXPECT_EQ(digest, Bytes{7});

    // Shorter than the digest: -3, with the format already set.
    EXPECT_EQ(GC_PKCS1::EMSA_v1_5_decode(sha512Oid, 256, format, digest), -3);
    EXPECT_EQ(format, S::HASH_SHA512);
    EXPECT_EQ(digest, Bytes{7});

    // Lowest format wins.
    const Bytes both = cat(cat(cat(Bytes(10, 0), sha256Oid), sha1Oid), Bytes(32, 0xEE));
    ASSERT_EQ(GC_PKCS1::EMSA_v1_5_checkHash(both, format), 0);
    EXPECT_EQ(format, S::HASH_SHA1);
    EXPECT_EQ(GC_PKCS1::EMSA_v1_5_checkHash(Bytes(8, 0), format), -3);
    EXPECT_EQ(GC_PKCS1::EMSA_v1_5_checkHash({}, format), -3);
    EXPECT_EQ(format, S::HASH_SHA1);

    // One vector as block and digest, as the signing controller passes it.
    Bytes same = block224;
    ASSERT_EQ(GC_PKCS1::EMSA_v1_5_decode(same, 512, format, same), 0);
    EXPECT_EQ(same, tail28);
}

}  // namespace
