#include "CardController/Card/card.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "CardController/Card/card_test_util.h"
#include "CardController/Card/cardchipdoc_2_0.h"
#include "CardController/Card/cardchipdoc_3_0.h"

namespace {

using cardtest::Bytes;
using cardtest::cat;
using gctest::unhex;

struct BuildCase {
    std::string name;
    std::function<int(GC_Card&, Bytes&)> build;
    int rc;
    Bytes expected;  // the whole output vector after the call
};

// Left in the output before each call: builders must replace it, refusals that leave the
// output untouched keep it.
const Bytes kStale = unhex("EE EE");

Bytes filled(size_t n, unsigned char start = 0) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(start + i);
    return out;
}

const Bytes kPin4 = unhex("31 32 33 34");
const Bytes kPin4b = unhex("35 36 37 38");
const Bytes kHash32 = filled(32, 0x40);
const Bytes kData256 = filled(256);

int mse(GC_Card& c, Bytes& o, unsigned op, unsigned long long usage, const void* record = nullptr) {
    return c.manageSecurityEnvironment(static_cast<GC_Card::operation_SE>(op), GC_Card::TEMPLATE_DST, o, usage, record);
}
const unsigned char kRecord[2] = {1, 2};

// The forms of limits, refusals and odd arguments, and the bytes a simulated card does not tell
// apart (P2, Le). The commands the simulated cards receive and check (SELECT by name, VERIFY with
// a PIN, RESET RETRY COUNTER without one, UPDATE BINARY at an offset) are left to the session tests.
// clang-format off
const BuildCase kGenericCases[] = {
    // SELECT: the master file needs neither Lc nor data, whatever the flags say.
    {"select MF fci", [](GC_Card& c, Bytes& o) { return c.select(unhex("3F00"), o, true, false, false); }, 0, unhex("00 A4 00 00 00")},
    {"select MF", [](GC_Card& c, Bytes& o) { return c.select(unhex("3F00"), o, false, false, false); }, 0, unhex("00 A4 00 00")},
    {"select MF df aid", [](GC_Card& c, Bytes& o) { return c.select(unhex("3F00"), o, true, true, true); }, 0, unhex("00 A4 00 00 00")},
    {"select 1-byte path", [](GC_Card& c, Bytes& o) { return c.select(unhex("50"), o, false, false, false); }, -22, Bytes{}},
    {"select DF 5015 fci", [](GC_Card& c, Bytes& o) { return c.select(unhex("5015"), o, true, true, false); }, 0, unhex("00 A4 01 00 02 50 15 00")},
    {"select EF 5031", [](GC_Card& c, Bytes& o) { return c.select(unhex("5031"), o, false, false, false); }, 0, unhex("00 A4 02 0C 02 50 31")},
    {"select EF 5031 fci", [](GC_Card& c, Bytes& o) { return c.select(unhex("5031"), o, true, false, false); }, 0, unhex("00 A4 02 00 02 50 31 00")},
    {"select empty name", [](GC_Card& c, Bytes& o) { return c.select({}, o, false, false, true); }, -22, Bytes{}},
    {"select 256-byte name", [](GC_Card& c, Bytes& o) { return c.select(filled(256), o, false, false, true); }, -22, Bytes{}},
    {"select 255-byte name", [](GC_Card& c, Bytes& o) { return c.select(filled(255), o, false, false, true); }, 0, cat({unhex("00 A4 04 0C FF"), filled(255)})},
    // READ BINARY: Le short below 256, else extended.
    {"read 7FFF FFFF", [](GC_Card& c, Bytes& o) { return c.read(o, 0xFFFF, 0x7FFF); }, 0, unhex("00 B0 7F FF 00 FF FF")},
    {"read offset 8000", [](GC_Card& c, Bytes& o) { return c.read(o, 1, 0x8000); }, -12, Bytes{}},
    {"read offset before count", [](GC_Card& c, Bytes& o) { return c.read(o, 0x10000, 0x8000); }, -12, Bytes{}},
    {"read count 10000", [](GC_Card& c, Bytes& o) { return c.read(o, 0x10000, 0); }, -23, Bytes{}},
    {"read count 8000", [](GC_Card& c, Bytes& o) { return c.read(o, 0x8000, 0); }, 0, unhex("00 B0 00 00 00 80 00")},
    {"read 255", [](GC_Card& c, Bytes& o) { return c.read(o, 255, 0x0102); }, 0, unhex("00 B0 01 02 FF")},
    {"read 256", [](GC_Card& c, Bytes& o) { return c.read(o, 256, 0); }, 0, unhex("00 B0 00 00 00 01 00")},
    {"read 0", [](GC_Card& c, Bytes& o) { return c.read(o, 0, 0); }, 0, unhex("00 B0 00 00 00")},
    // UPDATE BINARY: Lc short below 256, else extended.
    {"update 255", [](GC_Card& c, Bytes& o) { return c.update(o, filled(255), 0); }, 0, cat({unhex("00 D6 00 00 FF"), filled(255)})},
    {"update offset 8000", [](GC_Card& c, Bytes& o) { return c.update(o, kPin4, 0x8000); }, -12, Bytes{}},
    {"update 10000 bytes", [](GC_Card& c, Bytes& o) { return c.update(o, Bytes(0x10000), 0); }, -23, Bytes{}},
    {"update empty", [](GC_Card& c, Bytes& o) { return c.update(o, {}, 5); }, 0, unhex("00 D6 00 05 00")},
    // PIN commands.
    {"verify empty asks state", [](GC_Card& c, Bytes& o) { return c.verifyPassword(0x01, {}, o); }, 0, unhex("00 20 00 01")},
    {"verify 256-byte PIN", [](GC_Card& c, Bytes& o) { return c.verifyPassword(1, Bytes(256, 0x31), o); }, -23, Bytes{}},
    {"logout", [](GC_Card& c, Bytes& o) { return c.logoutPassword(0x81, o); }, 0, unhex("00 20 FF 81 00")},
    {"change new only", [](GC_Card& c, Bytes& o) { return c.changePassword(3, {}, kPin4, o); }, 0, unhex("00 24 01 83 04 31 32 33 34")},
    {"change both empty", [](GC_Card& c, Bytes& o) { return c.changePassword(3, {}, {}, o); }, 0, unhex("00 24 00 83 00")},
    {"change old and new", [](GC_Card& c, Bytes& o) { return c.changePassword(3, kPin4, kPin4b, o); }, 0, unhex("00 24 00 83 08 31 32 33 34 35 36 37 38")},
    {"change too long", [](GC_Card& c, Bytes& o) { return c.changePassword(3, Bytes(128), Bytes(128), o); }, -23, Bytes{}},
    {"unblock with PIN", [](GC_Card& c, Bytes& o) { return c.unblockPassword(1, kPin4, o, true, {}); }, 0, unhex("00 2C 02 81 04 31 32 33 34")},
    {"unblock code and new PIN", [](GC_Card& c, Bytes& o) { return c.unblockPassword(1, kPin4, o, true, kPin4b); }, 0, unhex("00 2C 00 81 08 31 32 33 34 35 36 37 38")},
    // MANAGE SECURITY ENVIRONMENT: the generic card builds headers only.
    {"mse other op with data", [](GC_Card& c, Bytes& o) { return mse(c, o, 0x41, 0, kRecord); }, 0, unhex("00 22 41 B6")},
    {"mse set usage 0", [](GC_Card& c, Bytes& o) { return mse(c, o, GC_Card::SE_SET, 0); }, -8, unhex("00 22")},
    {"mse set usage 4", [](GC_Card& c, Bytes& o) { return mse(c, o, GC_Card::SE_SET, 4); }, 0, unhex("00 22 41 B6")},
    {"mse set usage 0x1F", [](GC_Card& c, Bytes& o) { return mse(c, o, GC_Card::SE_SET, 0x1F); }, 0, unhex("00 22 F1 B6")},
    {"mse set with data", [](GC_Card& c, Bytes& o) { return mse(c, o, GC_Card::SE_SET, 8, kRecord); }, -24, unhex("00 22 81 B6")},
    // COMPUTE DIGITAL SIGNATURE: extended for long keys or long data.
    {"sign 2048", [](GC_Card& c, Bytes& o) { return c.signatureData(kHash32, 2048, o); }, 0, cat({unhex("00 2A 9E 9A 00 00 20"), kHash32, unhex("00 00")})},
    {"sign 1024", [](GC_Card& c, Bytes& o) { return c.signatureData(kHash32, 1024, o); }, 0, cat({unhex("00 2A 9E 9A 20"), kHash32, unhex("00")})},
    {"sign 256 bytes 1024", [](GC_Card& c, Bytes& o) { return c.signatureData(kData256, 1024, o); }, 0, cat({unhex("00 2A 9E 9A 00 01 00"), kData256, unhex("00 00")})},
    {"sign 255 bytes 2047", [](GC_Card& c, Bytes& o) { return c.signatureData(filled(255), 2047, o); }, 0, cat({unhex("00 2A 9E 9A FF"), filled(255), unhex("00")})},
    {"sign 10000 bytes", [](GC_Card& c, Bytes& o) { return c.signatureData(Bytes(0x10000), 2048, o); }, -23, Bytes{}},
    // GET RESPONSE.
    {"get response 1C0", [](GC_Card& c, Bytes& o) { return c.getResponse(0x1C0, o); }, 0, unhex("00 C0 00 00 00 01 C0")},
    {"get response FF", [](GC_Card& c, Bytes& o) { return c.getResponse(0xFF, o); }, 0, unhex("00 C0 00 00 FF")},
    {"get response 10000", [](GC_Card& c, Bytes& o) { return c.getResponse(0x10000, o); }, -23, Bytes{}},
    // What only the card operating systems offer: refused, output untouched.
    {"active", [](GC_Card& c, Bytes& o) { return c.activePassword(o, {}); }, -24, kStale},
    {"delete", [](GC_Card& c, Bytes& o) { return c.deleteObject(1, 2, true, o); }, -24, kStale},
    {"create private", [](GC_Card& c, Bytes& o) { return c.createPrivateKey(1, 2048, GC_Card::KEY_RSA, o); }, -24, kStale},
    {"create public", [](GC_Card& c, Bytes& o) { return c.createPublicKey(1, 2048, GC_Card::KEY_RSA, o); }, -24, kStale},
    {"create pair", [](GC_Card& c, Bytes& o) { return c.createKeyPair(1, 1, 2048, GC_Card::KEY_RSA, o); }, -24, kStale},
    {"generate", [](GC_Card& c, Bytes& o) { return c.generateKeyPair(1, GC_Card::KEY_RSA, 2048, o); }, -24, kStale},
    {"public key", [](GC_Card& c, Bytes& o) { return c.getPublicKey(1, GC_Card::KEY_RSA, o); }, -24, kStale},
    {"serial", [](GC_Card& c, Bytes& o) { return c.getSerialNumber(o); }, -24, kStale},
};
// clang-format on

TEST(GenericCard, BuildsEveryCommand) {
    GC_Card card;
    for (const BuildCase& bc : kGenericCases) {
        SCOPED_TRACE(bc.name);
        Bytes out = kStale;
        EXPECT_EQ(bc.build(card, out), bc.rc);
        EXPECT_EQ(out, bc.expected);
    }
}

// Commands whose bytes the cards require although an ISO decoder reads them otherwise: a trailing
// 00 after a header that is meant to carry nothing reads as Le 00 (case 2, Ne 256).
TEST(GenericCard, NamedCardQuirks) {
    GC_Card generic;
    GC_CardChipdoc_2_0 chipdoc2;
    GC_CardChipdoc_3_0 chipdoc3;
    Bytes o;
    // clang-format off
    const std::pair<const char*, std::function<int()>> quirks[] = {
        {"logout VERIFY P1 FF with trailing 00 (generic)", [&] { return generic.logoutPassword(0x81, o); }},
        {"logout VERIFY P1 FF with trailing 00 (2.0)", [&] { return chipdoc2.logoutPassword(0x81, o); }},
        {"2.0 RESET RETRY COUNTER without a new PIN ends in 00", [&] { return chipdoc2.unblockPassword(0x81, kPin4, o, false, {}); }},
        {"UPDATE BINARY of no data (Lc 00)", [&] { return generic.update(o, {}, 0); }},
        {"CHANGE REFERENCE DATA of two empty PINs (Lc 00)", [&] { return generic.changePassword(1, {}, {}, o); }},
        {"2.0 CHANGE REFERENCE DATA of two empty PINs (Lc 00)", [&] { return chipdoc2.changePassword(1, {}, {}, o); }},
    };
    // clang-format on
    for (const auto& [name, build] : quirks) {
        SCOPED_TRACE(name);
        ASSERT_EQ(build(), 0);
        ASSERT_EQ(o.size(), 5u);
        EXPECT_EQ(o[4], 0x00);
    }
    // The generation 3.0 has none of them: its logout is a PUT DATA of the PIN mask.
    EXPECT_EQ(chipdoc3.logoutPassword(1, o), 0);
    EXPECT_EQ(o, unhex("00 DA 01 19 02 00 01"));
}

TEST(GenericCard, ParseFilesize) {
    struct Case {
        const char* name;
        Bytes response;
        int rc;
        unsigned long size;  // expected afterwards; starts at 77
    };
    // clang-format off
    const Case cases[] = {
        {"FCP with 80", unhex("62 08 80 02 01 F4 82 02 01 21 90 00"), 0, 500},
        {"FCI with 80", unhex("6F 04 80 02 03 E8 90 00"), 0, 1000},
        {"67 template", unhex("67 03 80 01 10 90 00"), 0, 16},
        {"80 after other items", unhex("62 0A 82 02 01 21 83 02 50 31 80 01 7F 90 00"), 0, 127},
        {"nine size bytes keep the last eight", unhex("62 0B 80 09 FF 00 00 00 00 00 00 01 00 90 00"), 0, 256},
        {"no 80", unhex("62 04 82 02 01 21 90 00"), -2, 0},
        {"empty 80", unhex("62 02 80 00 90 00"), -2, 0},
        {"80 nested deeper is not taken", unhex("6F 06 62 04 80 02 01 00 90 00"), -2, 0},
        {"truncated template", unhex("62 08 80 02 01"), -2, 0},
        {"status word only", unhex("90 00"), -2, 77},
        {"empty response", Bytes{}, -2, 77},
        {"other first byte", unhex("84 02 00 10 90 00"), -2, 77},
    };
    // clang-format on
    GC_Card card;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes response = c.response;
        unsigned long size = 77;
        EXPECT_EQ(card.parseFilesize(response, &size), c.rc);
        EXPECT_EQ(size, c.size);
    }
    Bytes response = unhex("62 04 80 02 01 F4 90 00");
    EXPECT_EQ(card.parseFilesize(response, nullptr), -12);
}

}  // namespace
