#include <gtest/gtest.h>

#include "Data/datapkcs15.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct FlagCase {
    const char* name;
    Bytes bits;
    uint64_t common;
    uint64_t usage;
    uint64_t access;
};

// Content octets of PKCS#15 BIT STRINGs: unused-bit count, then the bits, most significant first.
const FlagCase kFlagCases[] = {
    {"five bits, bit 0", {0x03, 0x80}, 1, 1, 1},
    {"one bit, bit 0", {0x07, 0x80}, 1, 1, 1},
    {"only the unused-bit count", {0x00}, 0, 0, 0},
    {"eight unused bits of eight", {0x08, 0xFF}, 0, 0, 0},
    {"empty", {}, 0, 0, 0},
    // sign (2), unwrap (5), derive (8)
    {"usage bits 2, 5 and 8", {0x06, 0x24, 0x80}, 0, 2 | 4, 4},
    // An unused-bit count above 7 shortens the string: six bits are read.
    {"count 10 over two bytes", {0x0A, 0xFF, 0xFF}, 3, 1 | 2 | 8, 31},
    {"access bits 0 to 4", {0x03, 0xF8}, 3, 1 | 2 | 8, 31},
    // private and modifiable
    {"bits 0 and 1", {0x06, 0xC0}, 3, 1, 3},
    // nonRepudiation (9) needs the second byte
    {"usage bit 9", {0x06, 0x00, 0x40}, 0, 16, 0},
    // wrap (4) alone
    {"usage bit 4", {0x03, 0x08}, 0, 8, 16},
    // verify (6) and verifyRecover (7), bits the common and access readers ignore
    {"usage bits 6 and 7", {0x00, 0x03}, 0, 2, 0},
    // bits above 9 count for nobody
    {"bits 10 to 15", {0x00, 0x00, 0x3F}, 0, 0, 0},
};

TEST(DataPkcs15Flags, ReadersFollowTheBitTables) {
    for (const FlagCase& c : kFlagCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(GC_DataPKCS15::parseFlags(c.bits), c.common);
        EXPECT_EQ(GC_DataPKCS15::parseKeyUsageFlags(c.bits), c.usage);
        EXPECT_EQ(GC_DataPKCS15::parseKeyAccessFlags(c.bits), c.access);
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
