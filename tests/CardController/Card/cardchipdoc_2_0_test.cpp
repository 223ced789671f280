#include "CardController/Card/cardchipdoc_2_0.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "CardController/Card/card_test_util.h"

namespace {

using cardtest::Bytes;
using cardtest::cat;
using gctest::unhex;
using Card2 = GC_CardChipdoc_2_0;

struct BuildCase {
    std::string name;
    std::function<int(Card2&, Bytes&)> build;
    int rc;
    Bytes expected;
};

const Bytes kStale = unhex("EE EE");
const Bytes kName7 = unhex("A0 00 00 01 67 45 53");
const Bytes kPin4 = unhex("31 32 33 34");

int mse(Card2& c, Bytes& o, unsigned op, unsigned long long usage, const Card2::mse_data* record = nullptr) {
    return c.manageSecurityEnvironment(static_cast<GC_Card::operation_SE>(op), GC_Card::TEMPLATE_DST, o, usage, record);
}
const Card2::mse_data kRecord{0x83, 0x8C};

// The forms of limits, refusals and odd arguments, and the bytes the simulated first-generation card
// does not tell apart (P2, Le, the kind of a half it deletes). The commands it receives and checks
// (SELECT of an EF or by name, VERIFY, ACTIVATE, key generation and reading, MSE with its data
// objects) are left to the session, PIN, signature and key tests.
// clang-format off
const BuildCase kCases[] = {
    {"select MF fci", [](Card2& c, Bytes& o) { return c.select(unhex("3F00"), o, true, false, false); }, 0, unhex("00 A4 00 00 00")},
    {"select MF", [](Card2& c, Bytes& o) { return c.select(unhex("3F00"), o, false, false, false); }, 0, unhex("00 A4 00 0C")},
    {"select MF df aid", [](Card2& c, Bytes& o) { return c.select(unhex("3F00"), o, false, true, true); }, 0, unhex("00 A4 00 0C")},
    {"select EF fci", [](Card2& c, Bytes& o) { return c.select(unhex("5031"), o, true, false, false); }, 0, unhex("00 A4 02 04 02 50 31 00")},
    {"select DF name df wins", [](Card2& c, Bytes& o) { return c.select(kName7, o, false, true, true); }, 0, cat({unhex("00 A4 01 0C 07"), kName7})},
    {"select 3-byte path df", [](Card2& c, Bytes& o) { return c.select(unhex("3F0050"), o, false, true, false); }, -22, Bytes{}},
    {"select empty name", [](Card2& c, Bytes& o) { return c.select({}, o, false, false, true); }, -22, Bytes{}},
    {"read 1792 at 7FFF", [](Card2& c, Bytes& o) { return c.read(o, 1792, 0x7FFF); }, 0, unhex("00 B0 7F FF 00 07 00")},
    {"read 1793", [](Card2& c, Bytes& o) { return c.read(o, 1793, 0); }, -23, Bytes{}},
    {"read offset first", [](Card2& c, Bytes& o) { return c.read(o, 1793, 0x8000); }, -12, Bytes{}},
    {"read 16", [](Card2& c, Bytes& o) { return c.read(o, 16, 0x10); }, 0, unhex("00 B0 00 10 10")},
    {"update 1792", [](Card2& c, Bytes& o) { return c.update(o, Bytes(1792, 0x5A), 0); }, 0, cat({unhex("00 D6 00 00 00 07 00"), Bytes(1792, 0x5A)})},
    {"update 1793", [](Card2& c, Bytes& o) { return c.update(o, Bytes(1793), 0); }, -23, Bytes{}},
    {"update offset first", [](Card2& c, Bytes& o) { return c.update(o, Bytes(1793), 0x8000); }, -12, Bytes{}},
    {"logout inherited", [](Card2& c, Bytes& o) { return c.logoutPassword(0x81, o); }, 0, unhex("00 20 FF 81 00")},
    {"change new only keeps P1 00", [](Card2& c, Bytes& o) { return c.changePassword(1, {}, kPin4, o); }, 0, unhex("00 24 00 81 04 31 32 33 34")},
    {"unblock without PIN", [](Card2& c, Bytes& o) { return c.unblockPassword(0x81, kPin4, o, false, {}); }, 0, unhex("00 2C 03 81 00")},
    {"unblock with PIN", [](Card2& c, Bytes& o) { return c.unblockPassword(0x81, kPin4, o, true, {}); }, 0, unhex("00 2C 02 81 04 31 32 33 34")},
    {"unblock reference as given", [](Card2& c, Bytes& o) { return c.unblockPassword(0x01, kPin4, o, true, {}); }, 0, unhex("00 2C 02 01 04 31 32 33 34")},
    {"serial", [](Card2& c, Bytes& o) { return c.getSerialNumber(o); }, 0, unhex("00 CB 7F FF 08")},
    {"delete RSA private 8C", [](Card2& c, Bytes& o) { return c.deleteObject(0x8C, 2, true, o); }, 0, unhex("80 E5 90 0C")},
    {"delete EC public", [](Card2& c, Bytes& o) { return c.deleteObject(0x0C, 1, false, o); }, 0, unhex("80 E5 A2 0C")},
    {"delete RSA public", [](Card2& c, Bytes& o) { return c.deleteObject(0x03, 2, false, o); }, 0, unhex("80 E5 A0 03")},
    {"delete EC private", [](Card2& c, Bytes& o) { return c.deleteObject(0x03, 7, true, o); }, 0, unhex("80 E5 92 03")},
    // Under secure messaging every command carries Le, so the card cannot tell that its last byte is missing.
    {"public key header list ends in Le", [](Card2& c, Bytes& o) { return c.getPublicKey(0x83, GC_Card::KEY_RSA, o); }, 0, unhex("00 CB 3F FF 0A 4D 09 70 07 BF A0 03 03 7F 49 00")},
    {"create pair not offered", [](Card2& c, Bytes& o) { return c.createKeyPair(1, 1, 2048, GC_Card::KEY_RSA, o); }, -24, kStale},
    // MANAGE SECURITY ENVIRONMENT with the card's data objects 80 (algorithm) and 84 (key).
    {"mse set no record", [](Card2& c, Bytes& o) { return mse(c, o, GC_Card::SE_SET, 4); }, 0, unhex("00 22 41 B6")},
    {"mse set usage 0", [](Card2& c, Bytes& o) { return mse(c, o, GC_Card::SE_SET, 0, &kRecord); }, -8, unhex("00 22")},
    {"mse set usage 0x14 keeps the low bits", [](Card2& c, Bytes& o) { return mse(c, o, GC_Card::SE_SET, 0x14); }, 0, unhex("00 22 41 B6")},
    {"mse set usage 0x10", [](Card2& c, Bytes& o) { return mse(c, o, GC_Card::SE_SET, 0x10); }, 0, unhex("00 22 01 B6")},
    {"mse other op", [](Card2& c, Bytes& o) { return mse(c, o, 0xF3, 0, &kRecord); }, 0, unhex("00 22 F3 B6")},
};
// clang-format on

TEST(Chipdoc20Card, BuildsEveryCommand) {
    GC_CardChipdoc_2_0 card;
    for (const BuildCase& bc : kCases) {
        SCOPED_TRACE(bc.name);
        Bytes out = kStale;
        EXPECT_EQ(bc.build(card, out), bc.rc);
        EXPECT_EQ(out, bc.expected);
    }
}

// ---- Key-object creation (INS E1) ----

TEST(Chipdoc20Card, CreateRsaKeyObjectsWorkedExample) {
    GC_CardChipdoc_2_0 card;
    Bytes out = kStale;
    EXPECT_EQ(card.createPrivateKey(0x03, 2048, GC_Card::KEY_RSA, out), 0);
    EXPECT_EQ(out, unhex("00 E1 90 03 1B 70 19 A0 17 A1 0E 8C 05 D9 D3 D3 D3 D3 9C 05 D9 D3 D3 D3 D3 80 02 01 00 "
                       "9E 01 00"));
    EXPECT_EQ(card.createPublicKey(0x03, 2048, GC_Card::KEY_RSA, out), 0);
    EXPECT_EQ(out, unhex("00 E1 A0 03 18 70 16 A0 14 A1 0E 8C 05 D9 D3 D3 D3 D3 9C 05 D9 D3 D3 D3 D3 80 02 01 00"));

    // The access bytes come from the whole reference byte; the key id from its low four bits.
    EXPECT_EQ(card.createPrivateKey(0x81, 1025, GC_Card::KEY_RSA, out), 0);
    EXPECT_EQ(out, unhex("00 E1 90 01 1B 70 19 A0 17 A1 0E 8C 05 D9 51 51 51 51 9C 05 D9 51 51 51 51 80 02 00 81 "
                       "9E 01 00"));

    EXPECT_EQ(card.createPrivateKey(0x00, 0, GC_Card::KEY_RSA, out), 0);
    EXPECT_EQ(out, unhex("00 E1 90 00 1B 70 19 A0 17 A1 0E 8C 05 D9 D0 D0 D0 D0 9C 05 D9 D0 D0 D0 D0 80 02 00 00 "
                       "9E 01 00"));
}

TEST(Chipdoc20Card, CreateKeyObjectUnknownCurve) {
    GC_CardChipdoc_2_0 card;
    Bytes out = kStale;
    EXPECT_EQ(card.createPrivateKey(3, 256, static_cast<GC_Card::key_type>(10), out), -12);
    EXPECT_EQ(out, unhex("00 E1 92 03"));
    EXPECT_EQ(card.createPublicKey(3, 256, static_cast<GC_Card::key_type>(10), out), -12);
    EXPECT_EQ(out, unhex("00 E1 A2 03"));
}

// For every curve: the layout of the E1 data field, read back with an independent TLV reader,
// and domain parameters equal to OpenSSL's.
TEST(Chipdoc20Card, CreateEcKeyObjectsForEveryCurve) {
    GC_CardChipdoc_2_0 card;
    for (int keyType = 1; keyType <= 9; ++keyType) {
        SCOPED_TRACE("key type " + std::to_string(keyType));
        const auto type = static_cast<GC_Card::key_type>(keyType);
        const cardtest::CurveRef ref = cardtest::opensslCurve(cardtest::nidOfKeyType(keyType));
        for (bool priv : {true, false}) {
            SCOPED_TRACE(priv ? "private" : "public");
            Bytes out;
            const unsigned long bits = keyType == 4 ? 521 : ref.fieldBytes * 8;
            ASSERT_EQ(priv ? card.createPrivateKey(0x03, bits, type, out) : card.createPublicKey(0x03, bits, type, out),
                      0);
            ASSERT_GT(out.size(), 7u);
            EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), unhex(priv ? "00 E1 92 03" : "00 E1 A2 03"));
            // Lc of one byte up to 255, else 00 and two bytes; it counts the data field exactly.
            const size_t headerLen = out[4] != 0 ? 5 : 7;
            const size_t dataLen = out[4] != 0 ? out[4] : static_cast<size_t>(out[5] << 8 | out[6]);
            EXPECT_EQ(headerLen == 7, dataLen > 255);
            ASSERT_EQ(out.size(), headerLen + dataLen);

            std::vector<cardtest::Tlv> top;
            ASSERT_TRUE(cardtest::parseTlvs(Bytes(out.begin() + static_cast<long>(headerLen), out.end()), top));
            ASSERT_EQ(top.size(), 1u);
            ASSERT_EQ(top[0].tag, unhex("70"));
            ASSERT_EQ(top[0].children.size(), 2u);
            const cardtest::Tlv& a0 = top[0].children[0];
            ASSERT_EQ(a0.tag, unhex("A0"));
            ASSERT_EQ(a0.children.size(), priv ? 3u : 2u);
            EXPECT_EQ(a0.children[0].tag, unhex("A1"));
            ASSERT_EQ(a0.children[0].children.size(), 2u);
            EXPECT_EQ(a0.children[0].children[0].tag, unhex("8C"));
            EXPECT_EQ(a0.children[0].children[0].value, unhex("D9 D3 D3 D3 D3"));
            EXPECT_EQ(a0.children[0].children[1].tag, unhex("9C"));
            EXPECT_EQ(a0.children[0].children[1].value, unhex("D9 D3 D3 D3 D3"));
            EXPECT_EQ(a0.children[1].tag, unhex("80"));
            EXPECT_EQ(a0.children[1].value, (Bytes{0x00, static_cast<unsigned char>(ref.fieldBytes)}));
            if (priv) {
                EXPECT_EQ(a0.children[2].tag, unhex("9E"));
                EXPECT_EQ(a0.children[2].value, unhex("00"));
            }
            const cardtest::Tlv& params = top[0].children[1];
            ASSERT_EQ(params.tag, unhex("7F 49"));
            ASSERT_EQ(params.children.size(), 6u);
            const Bytes tags[] = {unhex("81"), unhex("82"), unhex("83"), unhex("84"), unhex("85"), unhex("87")};
            const Bytes values[] = {ref.p, ref.a, ref.b, ref.G, ref.n, unhex("01")};
            for (size_t i = 0; i < 6; ++i) {
                EXPECT_EQ(params.children[i].tag, tags[i]);
                EXPECT_EQ(params.children[i].value, values[i]);
            }
        }
    }
}

TEST(Chipdoc20Card, CreateEcKeyObjectKnownBytes) {
    GC_CardChipdoc_2_0 card;
    Bytes out;
    ASSERT_EQ(card.createPrivateKey(0x03, 256, GC_Card::KEY_PRIME256V1, out), 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 10), unhex("00 E1 92 03 EE 70 81 EB A0 17"));
    const Bytes n = cardtest::opensslCurve(NID_X9_62_prime256v1).n;
    EXPECT_EQ(Bytes(out.end() - 37, out.end()), cat({unhex("85 20"), n, unhex("87 01 01")}));

    ASSERT_EQ(card.createPrivateKey(0x03, 384, GC_Card::KEY_SECP384R1, out), 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 11), unhex("00 E1 92 03 00 01 50 70 82 01 4C"));

    ASSERT_EQ(card.createPrivateKey(0x03, 512, GC_Card::KEY_BRAINPOOLP512R1, out), 0);
    EXPECT_EQ(out.size(), 440u);
    EXPECT_EQ(Bytes(out.begin() + 4, out.begin() + 7), unhex("00 01 B1"));
}

}  // namespace
