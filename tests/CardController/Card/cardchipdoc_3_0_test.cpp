#include "CardController/Card/cardchipdoc_3_0.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "CardController/Card/card_test_util.h"

namespace {

using cardtest::Bytes;
using cardtest::cat;
using gctest::unhex;
using Card3 = GC_CardChipdoc_3_0;

struct BuildCase {
    std::string name;
    std::function<int(Card3&, Bytes&)> build;
    int rc;
    Bytes expected;
};

const Bytes kStale = unhex("EE EE");
const Bytes kPin4 = unhex("31 32 33 34");

int mse(Card3& c, Bytes& o, unsigned long long usage, unsigned char key, uint32_t alg, bool flag) {
    const Card3::mse_data rec{key, alg, flag};
    return c.manageSecurityEnvironment(GC_Card::SE_SET, GC_Card::TEMPLATE_DST, o, usage, &rec);
}

// The forms of limits, refusals and odd arguments, and the bytes the simulated second-generation
// card does not tell apart (P2, Le, a path from the current DF, the key flag, the PIN of a new key).
// The commands it receives and checks (SELECT by name, CHANGE REFERENCE DATA, the logout mask of
// its PINs, ACTIVATE with a file, DELETE, the kind of a new key, the inherited RESET RETRY COUNTER)
// are left to the session, PIN, signature and key tests.
// clang-format off
const BuildCase kCases[] = {
    // The master file is selected by its identifier, with any flags.
    {"select MF", [](Card3& c, Bytes& o) { return c.select(unhex("3F00"), o, false, false, false); }, 0, unhex("00 A4 00 00 02 3F 00")},
    {"select MF fci", [](Card3& c, Bytes& o) { return c.select(unhex("3F00"), o, true, false, false); }, 0, unhex("00 A4 00 00 02 3F 00 00")},
    {"select MF aid df", [](Card3& c, Bytes& o) { return c.select(unhex("3F00"), o, false, true, true); }, 0, unhex("00 A4 00 00 02 3F 00")},
    {"select DF child", [](Card3& c, Bytes& o) { return c.select(unhex("DF01"), o, false, true, false); }, 0, unhex("00 A4 01 0C 02 DF 01")},
    {"select DF path", [](Card3& c, Bytes& o) { return c.select(unhex("3F00 DF01 5031"), o, false, true, false); }, 0, unhex("00 A4 08 0C 06 3F 00 DF 01 50 31")},
    {"select 2-byte AID", [](Card3& c, Bytes& o) { return c.select(unhex("DF02"), o, false, false, true); }, 0, unhex("00 A4 01 0C 02 DF 02")},
    {"select EF fci", [](Card3& c, Bytes& o) { return c.select(unhex("5031"), o, true, false, false); }, 0, unhex("00 A4 02 00 02 50 31 00")},
    {"select 3-byte EF", [](Card3& c, Bytes& o) { return c.select(unhex("503132"), o, false, false, false); }, -22, Bytes{}},
    {"select empty path df", [](Card3& c, Bytes& o) { return c.select({}, o, false, true, false); }, -22, Bytes{}},
    {"read inherited", [](Card3& c, Bytes& o) { return c.read(o, 0x700, 0x10); }, 0, unhex("00 B0 00 10 00 07 00")},
    {"update inherited", [](Card3& c, Bytes& o) { return c.update(o, kPin4, 0x7FFF); }, 0, unhex("00 D6 7F FF 04 31 32 33 34")},
    {"change ignores old PIN", [](Card3& c, Bytes& o) { return c.changePassword(1, unhex("39 39"), kPin4, o); }, 0, unhex("00 24 01 81 04 31 32 33 34")},
    {"change empty new PIN", [](Card3& c, Bytes& o) { return c.changePassword(1, kPin4, {}, o); }, 0, unhex("00 24 01 81")},
    // Logout: PUT DATA of a 16-bit mask with bit (reference - 1).
    {"logout 8", [](Card3& c, Bytes& o) { return c.logoutPassword(8, o); }, 0, unhex("00 DA 01 19 02 00 80")},
    {"logout 9", [](Card3& c, Bytes& o) { return c.logoutPassword(9, o); }, 0, unhex("00 DA 01 19 02 01 00")},
    {"logout 16", [](Card3& c, Bytes& o) { return c.logoutPassword(0x10, o); }, 0, unhex("00 DA 01 19 02 80 00")},
    {"logout 0", [](Card3& c, Bytes& o) { return c.logoutPassword(0, o); }, 0, unhex("00 DA 01 19 02 00 00")},
    {"logout 17", [](Card3& c, Bytes& o) { return c.logoutPassword(0x11, o); }, 0, unhex("00 DA 01 19 02 00 00")},
    {"logout 81", [](Card3& c, Bytes& o) { return c.logoutPassword(0x81, o); }, 0, unhex("00 DA 01 19 02 00 00")},
    {"activate no data", [](Card3& c, Bytes& o) { return c.activePassword(o, {}); }, 0, unhex("00 44 00 00")},
    {"delete public refused", [](Card3& c, Bytes& o) { return c.deleteObject(0x13, 2, false, o); }, -8, Bytes{}},
    {"create pair RSA", [](Card3& c, Bytes& o) { return c.createKeyPair(0x13, 0x01, 2048, GC_Card::KEY_RSA, o); }, 0, unhex("80 E0 01 00 08 D3 06 08 00 81 81 B2 01")},
    {"create pair wraps", [](Card3& c, Bytes& o) { return c.createKeyPair(0x50, 0x81, 521, GC_Card::KEY_SECP521R1, o); }, 0, unhex("80 E0 01 00 08 10 0C 02 09 01 01 B2 01")},
    {"generate 2047", [](Card3& c, Bytes& o) { return c.generateKeyPair(0x13, GC_Card::KEY_RSA, 2047, o); }, 0, unhex("00 46 00 13 00")},
    {"generate 2048", [](Card3& c, Bytes& o) { return c.generateKeyPair(0x13, GC_Card::KEY_RSA, 2048, o); }, 0, unhex("00 46 00 13 00 00 00")},
    {"serial", [](Card3& c, Bytes& o) { return c.getSerialNumber(o); }, 0, unhex("00 CB 7F FF 08")},
    {"create private not offered", [](Card3& c, Bytes& o) { return c.createPrivateKey(1, 2048, GC_Card::KEY_RSA, o); }, -24, kStale},
    {"create public not offered", [](Card3& c, Bytes& o) { return c.createPublicKey(1, 2048, GC_Card::KEY_RSA, o); }, -24, kStale},
    {"public key not offered", [](Card3& c, Bytes& o) { return c.getPublicKey(1, GC_Card::KEY_RSA, o); }, -24, kStale},
    // MANAGE SECURITY ENVIRONMENT: one data object 91 (algorithm, key reference).
    {"mse ECDSA SHA-256", [](Card3& c, Bytes& o) { return mse(c, o, 8, 0x02, 0x21, false); }, 0, unhex("00 22 81 B6 04 91 02 21 02")},
    {"mse flag sets bit 8", [](Card3& c, Bytes& o) { return mse(c, o, 8, 0x02, 0x21, true); }, 0, unhex("00 22 81 B6 04 91 02 21 82")},
    {"mse usage 16", [](Card3& c, Bytes& o) { return mse(c, o, 16, 0x02, 0x0A, false); }, 0, unhex("00 22 01 B6 04 91 02 0A 02")},
    {"mse usage 0", [](Card3& c, Bytes& o) { return mse(c, o, 0, 0x02, 0x21, false); }, -8, unhex("00 22")},
    {"mse algorithm 0", [](Card3& c, Bytes& o) { return mse(c, o, 8, 0x02, 0, false); }, -8, unhex("00 22 81 B6 04 91 02")},
    {"mse algorithm 121", [](Card3& c, Bytes& o) { return mse(c, o, 8, 0x02, 0x121, false); }, -8, unhex("00 22 81 B6 04 91 02")},
    {"mse no record", [](Card3& c, Bytes& o) { return c.manageSecurityEnvironment(GC_Card::SE_SET, GC_Card::TEMPLATE_DST, o, 8, nullptr); }, 0, unhex("00 22 81 B6")},
    {"mse other op", [](Card3& c, Bytes& o) { const Card3::mse_data rec{2, 0x21, false}; return c.manageSecurityEnvironment(static_cast<GC_Card::operation_SE>(0xF3), GC_Card::TEMPLATE_DST, o, 0, &rec); }, 0, unhex("00 22 F3 B6")},
};
// clang-format on

TEST(Chipdoc30Card, BuildsEveryCommand) {
    GC_CardChipdoc_3_0 card;
    for (const BuildCase& bc : kCases) {
        SCOPED_TRACE(bc.name);
        Bytes out = kStale;
        EXPECT_EQ(bc.build(card, out), bc.rc);
        EXPECT_EQ(out, bc.expected);
    }
}

// ---- Curve-parameter loading ----

TEST(Chipdoc30Card, LoadEcKeyParamP256) {
    GC_CardChipdoc_3_0 card;
    Bytes out = kStale;
    ASSERT_EQ(card.loadECKeyParam(0x13, GC_Card::KEY_PRIME256V1, out), 0);
    const cardtest::CurveRef r = cardtest::opensslCurve(NID_X9_62_prime256v1);
    const Bytes expected = cat({unhex("80 24 00 93 CE 0C 00 20"), r.p, unhex("00 20"), r.a, unhex("00 20"), r.b, unhex("00 41"),
                                r.G, unhex("00 20"), r.n, unhex("00 01")});
    EXPECT_EQ(out.size(), 211u);
    EXPECT_EQ(out, expected);
}

// Every curve: the parameters embedded for loading are OpenSSL's, with the card's framing.
TEST(Chipdoc30Card, LoadEcKeyParamEveryCurve) {
    GC_CardChipdoc_3_0 card;
    for (int keyType = 1; keyType <= 9; ++keyType) {
        SCOPED_TRACE("key type " + std::to_string(keyType));
        const cardtest::CurveRef r = cardtest::opensslCurve(cardtest::nidOfKeyType(keyType));
        auto len2 = [](const Bytes& v) {
            return Bytes{static_cast<unsigned char>(v.size() >> 8), static_cast<unsigned char>(v.size() & 0xFF)};
        };
        const Bytes data = cat(
            {unhex("0C"), len2(r.p), r.p, len2(r.a), r.a, len2(r.b), r.b, len2(r.G), r.G, len2(r.n), r.n, unhex("00 01")});
        // Lc of one byte up to 255, else 00 and two bytes.
        const Bytes lc = data.size() < 256 ? Bytes{static_cast<unsigned char>(data.size())} : cat({{0x00}, len2(data)});
        Bytes out;
        ASSERT_EQ(card.loadECKeyParam(0x01, static_cast<GC_Card::key_type>(keyType), out), 0);
        EXPECT_EQ(out, cat({unhex("80 24 00 81"), lc, data}));
    }
    // secp521r1: 66-byte elements and a 133-byte point.
    Bytes out;
    ASSERT_EQ(card.loadECKeyParam(0x81, GC_Card::KEY_SECP521R1, out), 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 10), unhex("80 24 00 01 00 01 9A 0C 00 42"));
}

TEST(Chipdoc30Card, LoadEcKeyParamRefusals) {
    GC_CardChipdoc_3_0 card;
    Bytes out = kStale;
    EXPECT_EQ(card.loadECKeyParam(0x13, GC_Card::KEY_RSA, out), -8);
    EXPECT_EQ(out, unhex("80 24 00 93"));
    EXPECT_EQ(card.loadECKeyParam(0x13, static_cast<GC_Card::key_type>(10), out), -12);
    EXPECT_EQ(out, unhex("80 24 00 93"));
}

}  // namespace
