// Every command the three command sets build must be a well-formed ISO 7816-4 command APDU of
// the intended case (1: header only, 2: Le only, 3: Lc and data, 4: both; short or extended),
// as an independent decoder reads it. The card quirks the command sets must keep are listed
// by name below, and each is checked to still be what it is.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "CardController/Card/card.h"
#include "CardController/Card/card_test_util.h"
#include "CardController/Card/cardchipdoc_2_0.h"
#include "CardController/Card/cardchipdoc_3_0.h"

namespace {

using cardtest::Bytes;
using cardtest::hex;

struct Built {
    std::string name;
    Bytes command;
    int apduCase;               // intended case
    bool extended;              // intended length form
    size_t ne;                  // intended Ne (0: no Le)
    std::optional<Bytes> data;  // intended data field, when the test states it
};

class Collector {
public:
    void add(const std::string& name, int rc, const Bytes& command, int apduCase, bool extended, size_t ne,
             std::optional<Bytes> data = std::nullopt) {
        EXPECT_EQ(rc, 0) << name;
        built_.push_back({name, command, apduCase, extended, ne, std::move(data)});
    }
    const std::vector<Built>& all() const { return built_; }

private:
    std::vector<Built> built_;
};

const Bytes kPin = hex("31 32 33 34");
const Bytes kName = hex("A0 00 00 01 67 45 53");

void collectGeneric(Collector& c) {
    GC_Card g;
    Bytes o;
    int rc;
    rc = g.select(hex("3F00"), o, true, false, false);
    c.add("generic select MF fci", rc, o, 2, false, 256);
    rc = g.select(hex("3F00"), o, false, false, false);
    c.add("generic select MF", rc, o, 1, false, 0);
    rc = g.select(hex("5031"), o, true, false, false);
    c.add("generic select EF fci", rc, o, 4, false, 256, hex("5031"));
    rc = g.select(hex("5031"), o, false, true, false);
    c.add("generic select DF", rc, o, 3, false, 0, hex("5031"));
    rc = g.select(kName, o, false, false, true);
    c.add("generic select AID", rc, o, 3, false, 0, kName);
    rc = g.select(Bytes(255, 0xA0), o, true, false, true);
    c.add("generic select 255-byte name", rc, o, 4, false, 256, Bytes(255, 0xA0));
    for (unsigned long n : {0ul, 1ul, 255ul}) {
        rc = g.read(o, n, 0x1234);
        c.add("generic read " + std::to_string(n), rc, o, 2, false, n == 0 ? 256 : n);
    }
    for (unsigned long n : {256ul, 0x7FFFul, 0xFFFFul}) {
        rc = g.read(o, n, 0x7FFF);
        c.add("generic read " + std::to_string(n), rc, o, 2, true, n);
    }
    for (size_t n : {size_t{1}, size_t{255}}) {
        rc = g.update(o, Bytes(n, 0x11), 0);
        c.add("generic update " + std::to_string(n), rc, o, 3, false, 0, Bytes(n, 0x11));
    }
    for (size_t n : {size_t{256}, size_t{0xFFFF}}) {
        rc = g.update(o, Bytes(n, 0x22), 0);
        c.add("generic update " + std::to_string(n), rc, o, 3, true, 0, Bytes(n, 0x22));
    }
    rc = g.verifyPassword(1, kPin, o);
    c.add("generic verify", rc, o, 3, false, 0, kPin);
    rc = g.verifyPassword(1, {}, o);
    c.add("generic verify state", rc, o, 1, false, 0);
    rc = g.changePassword(1, {}, kPin, o);
    c.add("generic change new", rc, o, 3, false, 0, kPin);
    rc = g.changePassword(1, kPin, kPin, o);
    c.add("generic change old new", rc, o, 3, false, 0, hex("31 32 33 34 31 32 33 34"));
    rc = g.unblockPassword(1, kPin, o, false, {});
    c.add("generic unblock", rc, o, 1, false, 0);
    rc = g.unblockPassword(1, kPin, o, true, {});
    c.add("generic unblock new PIN", rc, o, 3, false, 0, kPin);
    rc = g.unblockPassword(1, kPin, o, true, kPin);
    c.add("generic unblock code and new PIN", rc, o, 3, false, 0, hex("31 32 33 34 31 32 33 34"));
    rc = g.manageSecurityEnvironment(GC_Card::SE_SET, GC_Card::TEMPLATE_DST, o, 4, nullptr);
    c.add("generic mse", rc, o, 1, false, 0);
    rc = g.signatureData(Bytes(32, 1), 1024, o);
    c.add("generic sign short", rc, o, 4, false, 256, Bytes(32, 1));
    rc = g.signatureData(Bytes(255, 1), 2047, o);
    c.add("generic sign 255", rc, o, 4, false, 256, Bytes(255, 1));
    rc = g.signatureData(Bytes(32, 1), 2048, o);
    c.add("generic sign 2048", rc, o, 4, true, 65536, Bytes(32, 1));
    rc = g.signatureData(Bytes(512, 1), 4096, o);
    c.add("generic sign 512 bytes", rc, o, 4, true, 65536, Bytes(512, 1));
    rc = g.getResponse(0, o);
    c.add("generic get response 0", rc, o, 2, false, 256);
    rc = g.getResponse(0xFF, o);
    c.add("generic get response FF", rc, o, 2, false, 255);
    rc = g.getResponse(0x1C0, o);
    c.add("generic get response 1C0", rc, o, 2, true, 0x1C0);
}

void collectChipdoc20(Collector& c) {
    GC_CardChipdoc_2_0 k;
    Bytes o;
    int rc;
    rc = k.select(hex("3F00"), o, true, false, false);
    c.add("2.0 select MF fci", rc, o, 2, false, 256);
    rc = k.select(hex("3F00"), o, false, false, false);
    c.add("2.0 select MF", rc, o, 1, false, 0);
    rc = k.select(hex("5031"), o, true, false, false);
    c.add("2.0 select EF fci", rc, o, 4, false, 256, hex("5031"));
    rc = k.select(kName, o, false, false, true);
    c.add("2.0 select AID", rc, o, 3, false, 0, kName);
    rc = k.read(o, 1792, 0);
    c.add("2.0 read 1792", rc, o, 2, true, 1792);
    rc = k.read(o, 200, 0);
    c.add("2.0 read 200", rc, o, 2, false, 200);
    rc = k.update(o, Bytes(1792, 3), 0);
    c.add("2.0 update 1792", rc, o, 3, true, 0, Bytes(1792, 3));
    rc = k.changePassword(1, {}, kPin, o);
    c.add("2.0 change", rc, o, 3, false, 0, kPin);
    rc = k.unblockPassword(0x81, kPin, o, true, {});
    c.add("2.0 unblock new PIN", rc, o, 3, false, 0, kPin);
    rc = k.activePassword(o, hex("AD F1"));
    c.add("2.0 activate", rc, o, 1, false, 0);
    rc = k.getSerialNumber(o);
    c.add("2.0 serial", rc, o, 2, false, 8);
    rc = k.deleteObject(0x8C, 2, true, o);
    c.add("2.0 delete", rc, o, 1, false, 0);
    rc = k.generateKeyPair(3, GC_Card::KEY_PRIME256V1, 256, o);
    c.add("2.0 generate", rc, o, 3, false, 0, hex("70 03 BF 92 03"));
    // The extended header list claims 09 bytes but the data field holds 8 of them: the last
    // byte of the card's request sits in the Le position. At the APDU level it is case 4.
    rc = k.getPublicKey(3, GC_Card::KEY_RSA, o);
    c.add("2.0 public key", rc, o, 4, false, 256, hex("4D 09 70 07 BF A0 03 03 7F 49"));
    const GC_CardChipdoc_2_0::mse_data rec{0x83, 0x8A};
    rc = k.manageSecurityEnvironment(GC_Card::SE_SET, GC_Card::TEMPLATE_DST, o, 4, &rec);
    c.add("2.0 mse", rc, o, 3, false, 0, hex("80 01 8A 84 01 83"));
    for (int type = 0; type <= 9; ++type) {
        const auto t = static_cast<GC_Card::key_type>(type);
        const bool extended = type == 3 || type == 4 || type >= 7;
        rc = k.createPrivateKey(3, 256, t, o);
        c.add("2.0 create private " + std::to_string(type), rc, o, 3, extended, 0);
        rc = k.createPublicKey(3, 256, t, o);
        c.add("2.0 create public " + std::to_string(type), rc, o, 3, extended, 0);
    }
}

void collectChipdoc30(Collector& c) {
    GC_CardChipdoc_3_0 k;
    Bytes o;
    int rc;
    rc = k.select(hex("3F00"), o, false, false, false);
    c.add("3.0 select MF", rc, o, 3, false, 0, hex("3F00"));
    rc = k.select(hex("3F00"), o, true, false, false);
    c.add("3.0 select MF fci", rc, o, 4, false, 256, hex("3F00"));
    rc = k.select(hex("3F00 DF01"), o, false, true, false);
    c.add("3.0 select path", rc, o, 3, false, 0, hex("3F00 DF01"));
    rc = k.select(kName, o, false, false, true);
    c.add("3.0 select AID", rc, o, 3, false, 0, kName);
    rc = k.select(hex("5031"), o, true, false, false);
    c.add("3.0 select EF fci", rc, o, 4, false, 256, hex("5031"));
    for (unsigned char ref : {1, 9, 16, 0, 17}) {
        rc = k.logoutPassword(ref, o);
        c.add("3.0 logout " + std::to_string(ref), rc, o, 3, false, 0);
    }
    rc = k.changePassword(1, {}, kPin, o);
    c.add("3.0 change", rc, o, 3, false, 0, kPin);
    rc = k.changePassword(1, {}, {}, o);
    c.add("3.0 change empty", rc, o, 1, false, 0);
    rc = k.activePassword(o, hex("AD F1"));
    c.add("3.0 activate", rc, o, 3, false, 0, hex("AD F1"));
    rc = k.activePassword(o, {});
    c.add("3.0 activate plain", rc, o, 1, false, 0);
    rc = k.deleteObject(0x13, 2, true, o);
    c.add("3.0 delete", rc, o, 3, false, 0, hex("00 13"));
    rc = k.createKeyPair(0x13, 1, 2048, GC_Card::KEY_RSA, o);
    c.add("3.0 create pair", rc, o, 3, false, 0, hex("D3 06 08 00 81 81 B2 01"));
    rc = k.generateKeyPair(0x13, GC_Card::KEY_PRIME256V1, 256, o);
    c.add("3.0 generate 256", rc, o, 2, false, 256);
    rc = k.generateKeyPair(0x13, GC_Card::KEY_RSA, 2048, o);
    c.add("3.0 generate 2048", rc, o, 2, true, 65536);
    rc = k.getSerialNumber(o);
    c.add("3.0 serial", rc, o, 2, false, 8);
    const GC_CardChipdoc_3_0::mse_data rec{0x02, 0x28, true};
    rc = k.manageSecurityEnvironment(GC_Card::SE_SET, GC_Card::TEMPLATE_DST, o, 8, &rec);
    c.add("3.0 mse", rc, o, 3, false, 0, hex("91 02 28 82"));
    rc = k.signatureData(Bytes(51, 7), 2048, o);
    c.add("3.0 sign", rc, o, 4, true, 65536, Bytes(51, 7));
    for (int type = 1; type <= 9; ++type) {
        rc = k.loadECKeyParam(0x13, static_cast<GC_Card::key_type>(type), o);
        const bool extended = type == 3 || type == 4 || type == 8 || type == 9;
        c.add("3.0 load curve " + std::to_string(type), rc, o, 3, extended, 0);
    }
}

TEST(ApduCases, EveryBuiltCommandIsWellFormed) {
    Collector c;
    collectGeneric(c);
    collectChipdoc20(c);
    collectChipdoc30(c);
    ASSERT_GT(c.all().size(), 80u);
    for (const Built& b : c.all()) {
        SCOPED_TRACE(b.name);
        const auto apdu = cardtest::decodeApdu(b.command);
        ASSERT_TRUE(apdu.has_value());
        EXPECT_EQ(apdu->apduCase, b.apduCase);
        EXPECT_EQ(apdu->extended, b.extended);
        EXPECT_EQ(apdu->ne, b.ne);
        if (b.data) {
            EXPECT_EQ(apdu->data, *b.data);
        }
        EXPECT_TRUE(apdu->cla == 0x00 || apdu->cla == 0x80);
    }
}

// Commands whose bytes the cards require although an ISO decoder reads them otherwise: a trailing
// 00 after a header that is meant to carry nothing reads as Le 00 (case 2, Ne 256).
TEST(ApduCases, NamedCardQuirks) {
    GC_Card generic;
    GC_CardChipdoc_2_0 chipdoc2;
    GC_CardChipdoc_3_0 chipdoc3;
    struct Quirk {
        const char* name;
        Bytes command;
    };
    std::vector<Quirk> quirks;
    Bytes o;
    // VERIFY with P1 FF (PIN logout) carries a trailing 00 on the generic card and on 2.0.
    EXPECT_EQ(generic.logoutPassword(0x81, o), 0);
    quirks.push_back({"logout VERIFY P1 FF with trailing 00 (generic)", o});
    EXPECT_EQ(chipdoc2.logoutPassword(0x81, o), 0);
    quirks.push_back({"logout VERIFY P1 FF with trailing 00 (2.0)", o});
    // ChipDoc 2.0 RESET RETRY COUNTER without a new PIN ends in 00.
    EXPECT_EQ(chipdoc2.unblockPassword(0x81, kPin, o, false, {}), 0);
    quirks.push_back({"2.0 unblock without PIN with trailing 00", o});
    // Lc 00 with no data: the length field is written even for empty data.
    EXPECT_EQ(generic.update(o, {}, 0), 0);
    quirks.push_back({"UPDATE BINARY of no data (Lc 00)", o});
    EXPECT_EQ(generic.changePassword(1, {}, {}, o), 0);
    quirks.push_back({"CHANGE REFERENCE DATA of two empty PINs (Lc 00)", o});
    EXPECT_EQ(chipdoc2.changePassword(1, {}, {}, o), 0);
    quirks.push_back({"2.0 CHANGE REFERENCE DATA of two empty PINs (Lc 00)", o});

    for (const Quirk& q : quirks) {
        SCOPED_TRACE(q.name);
        ASSERT_EQ(q.command.size(), 5u);
        EXPECT_EQ(q.command[4], 0x00);
        const auto apdu = cardtest::decodeApdu(q.command);
        ASSERT_TRUE(apdu.has_value());
        EXPECT_EQ(apdu->apduCase, 2);
        EXPECT_EQ(apdu->ne, 256u);
    }
    // The generation 3.0 has none of them: its logout is a PUT DATA of the PIN mask.
    EXPECT_EQ(chipdoc3.logoutPassword(1, o), 0);
    EXPECT_EQ(cardtest::decodeApdu(o)->apduCase, 3);
}

// The decoder itself, on textbook encodings.
TEST(ApduCases, DecoderReference) {
    EXPECT_FALSE(cardtest::decodeApdu(hex("00 A4 00")));
    EXPECT_EQ(cardtest::decodeApdu(hex("00 A4 00 00"))->apduCase, 1);
    EXPECT_EQ(cardtest::decodeApdu(hex("00 B0 00 00 00"))->ne, 256u);
    EXPECT_EQ(cardtest::decodeApdu(hex("00 A4 02 0C 02 50 31"))->apduCase, 3);
    EXPECT_EQ(cardtest::decodeApdu(hex("00 A4 02 00 02 50 31 00"))->apduCase, 4);
    EXPECT_FALSE(cardtest::decodeApdu(hex("00 A4 02 0C 03 50 31")));
    EXPECT_FALSE(cardtest::decodeApdu(hex("00 B0 00 00 00 01")));
    EXPECT_EQ(cardtest::decodeApdu(hex("00 B0 00 00 00 00 00"))->ne, 65536u);
    EXPECT_FALSE(cardtest::decodeApdu(hex("00 D6 00 00 00 00 00 00")));  // extended Lc of zero
    auto e4 = cardtest::decodeApdu(hex("00 2A 9E 9A 00 00 02 AA BB 01 00"));
    ASSERT_TRUE(e4);
    EXPECT_EQ(e4->apduCase, 4);
    EXPECT_TRUE(e4->extended);
    EXPECT_EQ(e4->ne, 256u);
    EXPECT_EQ(e4->data, hex("AA BB"));
}

}  // namespace
