#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <memory>
#include <vector>

#include "Data/datapkcs15.h"

// The flag readers and writers, both directions checked against OpenSSL's BIT STRING numbering,
// and the PIN reference look-up by authId.

namespace {

using Bytes = std::vector<unsigned char>;

struct BitStringFree {
    void operator()(ASN1_BIT_STRING* s) const { ASN1_BIT_STRING_free(s); }
};
using BitString = std::unique_ptr<ASN1_BIT_STRING, BitStringFree>;

// OpenSSL's reading of content octets (wrapped as a DER BIT STRING).
BitString decode(const Bytes& content) {
    Bytes der = {0x03, static_cast<unsigned char>(content.size())};
    der.insert(der.end(), content.begin(), content.end());
    const unsigned char* p = der.data();
    return BitString(d2i_ASN1_BIT_STRING(nullptr, &p, static_cast<long>(der.size())));
}

// The bits OpenSSL sees set, among bit-string bits 0 to 15.
std::vector<int> setBits(const Bytes& content) {
    BitString bits = decode(content);
    EXPECT_NE(bits, nullptr);
    std::vector<int> out;
    for (int n = 0; bits && n < 16; ++n) {
        if (ASN1_BIT_STRING_get_bit(bits.get(), n)) out.push_back(n);
    }
    return out;
}

// Content octets of a BIT STRING that OpenSSL builds with the given bits set.
Bytes encode(const std::vector<int>& on) {
    BitString bits(ASN1_BIT_STRING_new());
    for (int n : on) ASN1_BIT_STRING_set_bit(bits.get(), n, 1);
    unsigned char* der = nullptr;
    const int len = i2d_ASN1_BIT_STRING(bits.get(), &der);
    Bytes out(der + 2, der + len);  // short-form header of these small strings
    OPENSSL_free(der);
    return out;
}

struct WriterCase {
    const char* name;
    uint64_t mask;
    Bytes common, usageTrue, usageFalse, access;
    // PKCS#15 bits (OpenSSL numbering) of the key-usage writer, form true.
    std::vector<int> usageBits;
};

const WriterCase kWriters[] = {
    {"nothing", 0, {0x06, 0x00, 0x00}, {0x06, 0x00, 0x00}, {0x06, 0x00, 0x00}, {0x05, 0x00, 0x00}, {}},
    {"1", 1, {0x06, 0x80, 0x00}, {0x06, 0x40, 0x00}, {0x06, 0x80, 0x00}, {0x05, 0x80, 0x00}, {1}},
    {"2", 2, {0x06, 0x40, 0x00}, {0x06, 0x30, 0x00}, {0x06, 0x03, 0x00}, {0x05, 0x40, 0x00}, {2, 3}},
    {"3", 3, {0x06, 0xC0, 0x00}, {0x06, 0x70, 0x00}, {0x06, 0x83, 0x00}, {0x05, 0xC0, 0x00}, {1, 2, 3}},
    {"4", 4, {0x06, 0x00, 0x00}, {0x06, 0x00, 0x80}, {0x06, 0x00, 0x80}, {0x05, 0x20, 0x00}, {8}},
    {"8", 8, {0x06, 0x00, 0x00}, {0x06, 0x08, 0x00}, {0x06, 0x04, 0x00}, {0x05, 0x10, 0x00}, {4}},
    // Non-repudiation keeps its own bit (9) in both forms.
    {"16", 16, {0x06, 0x00, 0x00}, {0x06, 0x00, 0x40}, {0x06, 0x00, 0x40}, {0x05, 0x08, 0x00}, {9}},
    {"all", 0x1F, {0x06, 0xC0, 0x00}, {0x06, 0x78, 0xC0}, {0x06, 0x87, 0xC0}, {0x05, 0xF8, 0x00}, {1, 2, 3, 4, 8, 9}},
    {"unknown bits", 0xFFE0, {0x06, 0x00, 0x00}, {0x06, 0x00, 0x00}, {0x06, 0x00, 0x00}, {0x05, 0x00, 0x00}, {}},
};

TEST(DataPkcs15FlagWriters, WriteTheBitsOpenSslNumbers) {
    for (const WriterCase& c : kWriters) {
        SCOPED_TRACE(c.name);
        const Bytes usage = GC_DataPKCS15::parseKeyUsageFlags(c.mask, true);
        EXPECT_EQ(GC_DataPKCS15::parseFlags(static_cast<unsigned long long>(c.mask)), c.common);
        EXPECT_EQ(usage, c.usageTrue);
        EXPECT_EQ(GC_DataPKCS15::parseKeyUsageFlags(c.mask, false), c.usageFalse);
        EXPECT_EQ(GC_DataPKCS15::parseKeyAccessFlags(static_cast<unsigned long long>(c.mask)), c.access);
        EXPECT_EQ(setBits(usage), c.usageBits);
    }
}

TEST(DataPkcs15FlagWriters, WhatIsWrittenReadsBack) {
    // Every mask the writers know survives a write and a read. In the second usage form wrap is
    // written as unwrap, which the reader counts with the signing bits.
    for (uint64_t mask = 0; mask < 32; ++mask) {
        SCOPED_TRACE(mask);
        const uint64_t unwrapRead = (mask & 8) != 0 ? (mask & ~uint64_t{8}) | 2 : mask;
        EXPECT_EQ(GC_DataPKCS15::parseFlags(GC_DataPKCS15::parseFlags(static_cast<unsigned long long>(mask))),
                  mask & 3);
        EXPECT_EQ(GC_DataPKCS15::parseKeyUsageFlags(GC_DataPKCS15::parseKeyUsageFlags(mask, true)), mask);
        EXPECT_EQ(GC_DataPKCS15::parseKeyUsageFlags(GC_DataPKCS15::parseKeyUsageFlags(mask, false)), unwrapRead);
        EXPECT_EQ(GC_DataPKCS15::parseKeyAccessFlags(
                      GC_DataPKCS15::parseKeyAccessFlags(static_cast<unsigned long long>(mask))),
                  mask);
    }
}

TEST(DataPkcs15FlagWriters, ReadersTakeOpenSslBitStrings) {
    // PKCS#15 names, bit by bit, as OpenSSL encodes them (with its own unused-bit count).
    const struct {
        std::vector<int> bits;
        uint64_t common, usage, access;
    } cases[] = {
        {{0}, 1, 1, 1},        // private / encrypt / sensitive
        {{1}, 2, 1, 2},        // modifiable / decrypt / extractable
        {{2, 3}, 0, 2, 12},    // sign, signRecover / alwaysSensitive, neverExtractable
        {{4}, 0, 8, 16},       // wrap / local
        {{5, 6, 7}, 0, 2, 0},  // unwrap, verify, verifyRecover
        {{8}, 0, 4, 0},        // derive
        {{9}, 0, 16, 0},       // nonRepudiation
        {{2, 9}, 0, 18, 4},    // a qualified signing key
        {{10, 15}, 0, 0, 0},   // bits no table knows
    };
    for (const auto& c : cases) {
        const Bytes content = encode(c.bits);
        SCOPED_TRACE(testing::PrintToString(content));
        EXPECT_EQ(GC_DataPKCS15::parseFlags(content), c.common);
        EXPECT_EQ(GC_DataPKCS15::parseKeyUsageFlags(content), c.usage);
        EXPECT_EQ(GC_DataPKCS15::parseKeyAccessFlags(content), c.access);
    }
    // Strings no encoder makes: an unused-bit count of the whole string or above 7 shortens what is
    // read, and nothing is read past the end.
    for (const Bytes& odd : {Bytes{}, Bytes{0x00}, Bytes{0x08, 0xFF}, Bytes{0x0A, 0xFF, 0xFF}}) {
        SCOPED_TRACE(testing::PrintToString(odd));
        const bool six = odd.size() == 3;  // 16 bits less 10 unused
        EXPECT_EQ(GC_DataPKCS15::parseFlags(odd), six ? 3u : 0u);
        EXPECT_EQ(GC_DataPKCS15::parseKeyUsageFlags(odd), six ? 11u : 0u);
        EXPECT_EQ(GC_DataPKCS15::parseKeyAccessFlags(odd), six ? 31u : 0u);
    }
}

TEST(DataPkcs15Flags, Id2RefTakesTheFirstMatchingPin) {
    GC_DataPKCS15::app_info app;
    const struct {
        uint8_t authId;
        uint8_t reference;
    } pins[] = {{1, 0x81}, {2, 0x82}, {1, 0x90}, {0, 0x85}};
    for (const auto& p : pins) {
        auto pin = std::make_unique<GC_DataPKCS15::pin_info>();
        pin->authId = p.authId;
        pin->pinReference = p.reference;
        app.pinInfos.push_back(std::move(pin));
    }
    EXPECT_EQ(GC_DataPKCS15::id2ref(1, &app), 0x81);
    EXPECT_EQ(GC_DataPKCS15::id2ref(2, &app), 0x82);
    EXPECT_EQ(GC_DataPKCS15::id2ref(0, &app), 0x85);
    EXPECT_EQ(GC_DataPKCS15::id2ref(7, &app), 0);
    EXPECT_EQ(GC_DataPKCS15::id2ref(1, nullptr), 0);
}

}  // namespace
