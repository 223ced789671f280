// Security environment and key objects of both generations through the OpenPACE test terminal:
// what the card refuses. Signing, key generation and the keys' bytes are checked by the product's
// tests against OpenSSL.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/objects.h>

#include <memory>

#include "cardsim.h"
#include "terminal.h"
#include "test_util.h"

using namespace cardsim;

namespace {

const Bytes kSignatureAid = {0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x4E};

Bytes hex(const std::string& text) {
    const auto bytes = fromHex(text);
    EXPECT_TRUE(bytes) << text;
    return bytes.value_or(Bytes{});
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes u16(size_t v) {
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

// The curve parameters of the second generation's key pair: 0C, then p, a, b, G (uncompressed) and
// n of a named curve (p, a, b and n as long as p), each after its two-byte length, then 00 01.
Bytes curveData(int nid) {
    std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)> group(EC_GROUP_new_by_curve_name(nid), EC_GROUP_free);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> p(BN_new(), BN_free), a(BN_new(), BN_free), b(BN_new(), BN_free);
    EXPECT_TRUE(group && EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), nullptr));
    const int length = (EC_GROUP_get_degree(group.get()) + 7) / 8;
    auto fixed = [length](const BIGNUM* v) {
        Bytes out(static_cast<size_t>(length));
        BN_bn2binpad(v, out.data(), length);
        return out;
    };
    Bytes g(static_cast<size_t>(2 * length + 1));
    EC_POINT_point2oct(group.get(), EC_GROUP_get0_generator(group.get()), POINT_CONVERSION_UNCOMPRESSED, g.data(),
                       g.size(), nullptr);
    Bytes data = {0x0C};
    for (const Bytes& part :
         {fixed(p.get()), fixed(a.get()), fixed(b.get()), g, fixed(EC_GROUP_get0_order(group.get()))})
        data = cat({data, u16(part.size()), part});
    return cat({data, {0x00, 0x01}});
}

// A command the card refuses, and how.
struct Refusal {
    const char* what;
    uint8_t cla, ins, p1, p2;
    const char* data;
    uint16_t sw;
};

// A card behind PACE; select() takes it to a key directory.
struct Session {
    explicit Session(Personality personality, std::set<uint8_t> deactivated = {})
        : card([&] {
              CardConfig c;
              c.personality = personality;
              c.deactivatedPins = std::move(deactivated);
              return c;
          }()),
          terminal(test::transportTo(card)) {
        EXPECT_EQ(terminal.establish("123456", 2), PaceTerminal::Result::Ok);
    }
    uint16_t sw(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data = {},
                std::optional<size_t> ne = std::nullopt) {
        last = terminal.secure(cla, ins, p1, p2, data, ne).value_or(CardResponse{});
        return last.sw;
    }
    void select(const Bytes& directories) {
        ASSERT_EQ(sw(0x00, 0xA4, 0x04, 0x0C, kSignatureAid), 0x9000);
        for (size_t i = 0; i < directories.size(); i += 2)
            ASSERT_EQ(sw(0x00, 0xA4, 0x01, 0x0C, {directories[i], directories[i + 1]}), 0x9000);
    }
    CardSim card;
    PaceTerminal terminal;
    CardResponse last;
};

}  // namespace

TEST(CardSimSign, SecurityEnvironmentChecks) {
    Session s(Personality::Varnel2);
    s.select({0xAD, 0xFC, 0xDF, 0x0C});
    // PSO without a security environment
    EXPECT_EQ(s.sw(0x00, 0x2A, 0x9E, 0x9A, Bytes(32, 1), 0), 0x6985);
    // ECDSA for the RSA key, an unknown algorithm: conditions of use not satisfied
    EXPECT_EQ(s.sw(0x00, 0x22, 0x81, 0xB6, hex("91022113")), 0x6985);
    EXPECT_EQ(s.sw(0x00, 0x22, 0x81, 0xB6, hex("91027713")), 0x6985);
    // no such key below the current directory; the first generation's form is not this card's
    EXPECT_EQ(s.sw(0x00, 0x22, 0x81, 0xB6, hex("91022801")), 0x6A88);
    EXPECT_EQ(s.sw(0x00, 0x22, 0x41, 0xB6, hex("80018A840193")), 0x6A86);
    EXPECT_EQ(s.sw(0x00, 0x22, 0x81, 0xB6, hex("80018A840193")), 0x6A80);
    // a digest of the wrong length for the algorithm
    ASSERT_EQ(s.sw(0x00, 0x22, 0x81, 0xB6, hex("91022813")), 0x9000);
    ASSERT_EQ(s.sw(0x00, 0x20, 0x00, 0x0C, Bytes(6, '3')), 0x9000);
    EXPECT_EQ(s.sw(0x00, 0x2A, 0x9E, 0x9A, Bytes(20, 1), 0), 0x6A80);
    EXPECT_EQ(s.sw(0x00, 0x2A, 0x9E, 0x9A, Bytes(32, 1), 0), 0x9000);
    // after the ChipDoc 3.0 logout the PIN is needed again
    EXPECT_EQ(s.sw(0x00, 0xDA, 0x01, 0x19, {0x08, 0x00}), 0x9000);
    EXPECT_EQ(s.sw(0x00, 0x2A, 0x9E, 0x9A, Bytes(32, 1), 0), 0x6982);
    // plain PSO: secure messaging is required
    EXPECT_EQ(s.terminal.plain(hex("002A9E9A20" + std::string(64, '1') + "00"))->sw, 0x6982);

    // A deactivated key directory of the first generation does not sign.
    Session first(Personality::Varnel1, {0x0C});
    ASSERT_EQ(first.sw(0x00, 0xA4, 0x04, 0x0C, kSignatureAid), 0x9000);
    EXPECT_EQ(first.sw(0x00, 0xA4, 0x01, 0x0C, {0xDF, 0x0C}), 0x6283);
    EXPECT_EQ(first.sw(0x00, 0x22, 0x41, 0xB6, hex("80018A84018C")), 0x9000);
    EXPECT_EQ(first.sw(0x00, 0x20, 0x00, 0x8C, Bytes(6, '3')), 0x6283);
    EXPECT_EQ(first.sw(0x00, 0x2A, 0x9E, 0x9A, Bytes(51, 1), 0), 0x6985);
}

TEST(CardSimKeys, SecondGenerationRefusals) {
    Session s(Personality::Varnel2);
    s.select({0xAD, 0xFC, 0xDF, 0x0C});
    EXPECT_EQ(s.sw(0x80, 0xE0, 0x01, 0x00, hex("D30608008C8CB201")), 0x6A89) << "key 13 is there";
    EXPECT_EQ(s.sw(0x00, 0xE4, 0x0A, 0x00, hex("0013")), 0x9000);
    // the deleted key no longer signs
    EXPECT_EQ(s.sw(0x00, 0x22, 0x81, 0xB6, hex("91022813")), 0x6A88);
    // clang-format off
    const Refusal refusals[] = {
        {"delete no key", 0x00, 0xE4, 0x0A, 0x00, "0013", 0x6A88},
        {"unknown key kind", 0x80, 0xE0, 0x01, 0x00, "D30708008C8CB201", 0x6A80},
        {"PIN bytes differ", 0x80, 0xE0, 0x01, 0x00, "D30608008C0CB201", 0x6A80},
        {"RSA size", 0x80, 0xE0, 0x01, 0x00, "D30601008C8CB201", 0x6A80},
        {"short data", 0x80, 0xE0, 0x01, 0x00, "D306", 0x6A80},
        {"curve for no key", 0x80, 0x24, 0x00, 0x93, "0C0001", 0x6A88},
        {"generate no key", 0x00, 0x46, 0x00, 0x13, "", 0x6A88},
        {"delete P1", 0x00, 0xE4, 0x00, 0x00, "0013", 0x6A86},
        {"first generation's delete", 0x80, 0xE5, 0x90, 0x0C, "", 0x6E00},
        {"first generation's create", 0x00, 0xE1, 0x90, 0x0C, "70", 0x6D00},
    };
    // clang-format on
    for (const Refusal& r : refusals) EXPECT_EQ(s.sw(r.cla, r.ins, r.p1, r.p2, hex(r.data), 0), r.sw) << r.what;
    // an RSA pair refuses curve parameters
    ASSERT_EQ(s.sw(0x80, 0xE0, 0x01, 0x00, hex("D30604008C8CB201")), 0x9000);
    EXPECT_EQ(s.sw(0x80, 0x24, 0x00, 0x93, hex("0C0001")), 0x6985);
    EXPECT_EQ(s.sw(0x00, 0xE4, 0x0A, 0x00, hex("0013")), 0x9000);
    // an EC pair is generated after its curve, which matches its size, is whole and ends in 00 01
    ASSERT_EQ(s.sw(0x80, 0xE0, 0x01, 0x00, hex("D30C01808C8CB201")), 0x9000);  // 384 bits
    EXPECT_EQ(s.sw(0x00, 0x46, 0x00, 0x13, {}, 0), 0x6985) << "no curve yet";
    EXPECT_EQ(s.sw(0x80, 0x24, 0x00, 0x93, curveData(NID_X9_62_prime256v1)), 0x6A80) << "P-256 for a 384-bit key";
    Bytes p384 = curveData(NID_secp384r1);
    EXPECT_EQ(s.sw(0x80, 0x24, 0x00, 0x93, Bytes(p384.begin(), p384.end() - 2)), 0x6A80) << "no 00 01 at the end";
    p384[3] ^= 0x01;
    EXPECT_EQ(s.sw(0x80, 0x24, 0x00, 0x93, p384), 0x6A80) << "a wrong p";
    p384[3] ^= 0x01;
    EXPECT_EQ(s.sw(0x80, 0x24, 0x00, 0x92, p384), 0x6A88) << "no key 12";
    EXPECT_EQ(s.sw(0x80, 0x24, 0x00, 0x93, p384), 0x9000);
    EXPECT_EQ(s.sw(0x00, 0x46, 0x00, 0x13, {}, 0), 0x9000);
    // without secure messaging the card refuses key commands
    s.terminal.closeChannel();
    EXPECT_EQ(s.terminal.plain(hex("80E4000000"))->sw, 0x6E00);
    EXPECT_EQ(s.terminal.plain(hex("00E40A00020013"))->sw, 0x6982);
}

TEST(CardSimKeys, FirstGenerationRefusals) {
    Session s(Personality::Varnel1);
    s.select({0xDF, 0x0B});
    // clang-format off
    const Refusal refusals[] = {
        {"delete no key", 0x80, 0xE5, 0x90, 0x0B, "", 0x6A88},
        {"read no key", 0x00, 0xCB, 0x3F, 0xFF, "4D097007BFA00B037F49", 0x6A88},
        {"kind byte", 0x00, 0xE1, 0x91, 0x0B, "70", 0x6A86},
        {"reference above 0F", 0x00, 0xE1, 0x90, 0x1B, "70", 0x6A86},
        {"not a template", 0x00, 0xE1, 0x90, 0x0B, "7000", 0x6A80},
        {"private half without 9E", 0x00, 0xE1, 0x90, 0x0B, "7016A014A10E8C05D95B5B5B5B9C05D95B5B5B5B80020100", 0x6A80},
        {"public half with 9E", 0x00, 0xE1, 0xA0, 0x0B, "7019A017A10E8C05D95B5B5B5B9C05D95B5B5B5B800201009E0100", 0x6A80},
        {"access bytes differ", 0x00, 0xE1, 0x90, 0x0B, "7019A017A10E8C05D95B5B5B5B9C05D95C5C5C5C800201009E0100", 0x6A80},
        {"EC half without curve", 0x00, 0xE1, 0x92, 0x0B, "7019A017A10E8C05D95B5B5B5B9C05D95B5B5B5B800200209E0100", 0x6A80},
        {"generate form", 0x00, 0x47, 0x00, 0x00, "7003BFA00B", 0x6A80},
        {"read form", 0x00, 0xCB, 0x3F, 0xFF, "4D097007BF900B037F49", 0x6A80},
        {"delete with data", 0x80, 0xE5, 0x90, 0x0B, "00", 0x6700},
        {"second generation's key pair", 0x80, 0xE0, 0x01, 0x00, "D30608008C8CB201", 0x6E00},
        {"second generation's generate", 0x00, 0x46, 0x00, 0x13, "", 0x6D00},
    };
    // clang-format on
    for (const Refusal& r : refusals) EXPECT_EQ(s.sw(r.cla, r.ins, r.p1, r.p2, hex(r.data)), r.sw) << r.what;
    // RSA-1024 halves: the private one created once and generated only beside its public one, whose
    // key is read only once generated; deleted, the private half signs no more
    const std::string attributes = "A10E8C05D95B5B5B5B9C05D95B5B5B5B80020080";
    const Bytes generate = hex("7003BF900B"), readPublic = hex("4D097007BFA00B037F49");
    ASSERT_EQ(s.sw(0x00, 0xE1, 0x90, 0x0B, hex("7019A017" + attributes + "9E0100")), 0x9000);
    EXPECT_EQ(s.sw(0x00, 0xE1, 0x90, 0x0B, hex("7019A017" + attributes + "9E0100")), 0x6A89);
    EXPECT_EQ(s.sw(0x00, 0x47, 0x00, 0x00, generate), 0x6A88) << "no public half";
    ASSERT_EQ(s.sw(0x00, 0xE1, 0xA0, 0x0B, hex("7016A014" + attributes)), 0x9000);
    EXPECT_EQ(s.sw(0x00, 0xCB, 0x3F, 0xFF, readPublic, 0), 0x6985) << "not generated";
    ASSERT_EQ(s.sw(0x00, 0x47, 0x00, 0x00, generate), 0x9000);
    EXPECT_EQ(s.sw(0x00, 0xCB, 0x3F, 0xFF, readPublic, 0), 0x9000);
    ASSERT_EQ(s.sw(0x00, 0x22, 0x41, 0xB6, hex("80018A84018B")), 0x9000);
    ASSERT_EQ(s.sw(0x80, 0xE5, 0x90, 0x0B), 0x9000);
    EXPECT_EQ(s.sw(0x00, 0x22, 0x41, 0xB6, hex("80018A84018B")), 0x6A88);
}
