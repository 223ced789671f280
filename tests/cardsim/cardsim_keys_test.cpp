// Key objects of both generations through the OpenPACE test terminal: creation, curve
// parameters, generation, public-key read-back and deletion, in exact bytes, and signatures
// with the new keys.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

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

// p, a, b, G (uncompressed) and n of a named curve, p, a, b and n as long as p.
std::vector<Bytes> curveParts(int nid) {
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
    return {fixed(p.get()), fixed(a.get()), fixed(b.get()), g, fixed(EC_GROUP_get0_order(group.get()))};
}

// The public value of a DER SubjectPublicKeyInfo: RSA modulus, or the EC point.
Bytes publicValue(const Bytes& spki) {
    const unsigned char* p = spki.data();
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())),
                                                            EVP_PKEY_free);
    if (!key) return {};
    if (EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA) {
        BIGNUM* n = nullptr;
        if (!EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &n)) return {};
        Bytes out(static_cast<size_t>(BN_num_bytes(n)));
        BN_bn2bin(n, out.data());
        BN_free(n);
        return out;
    }
    Bytes out(200);
    size_t length = 0;
    if (!EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, out.data(), out.size(), &length))
        return {};
    out.resize(length);
    return out;
}

// Verifies `signature` (DER for ECDSA) over `digest` with the card's public key.
bool verifies(const Bytes& spki, const Bytes& digest, const Bytes& signature, bool rsa) {
    const unsigned char* p = spki.data();
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())),
                                                            EVP_PKEY_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        key ? EVP_PKEY_CTX_new(key.get(), nullptr) : nullptr, EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0) return false;
    if (rsa && (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
                EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) <= 0))
        return false;
    return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
}

// A command the card refuses, and how.
struct Refusal {
    const char* what;
    uint8_t cla, ins, p1, p2;
    const char* data;
    uint16_t sw;
};

// A card behind PACE with its key directory selected.
struct Session {
    explicit Session(Personality personality)
        : card([&] {
              CardConfig c;
              c.personality = personality;
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

const Bytes kSha256Of123 = *fromHex("a665a45920422f9d417e4867efdc4fb8a04a1f3fff1fa07e998e86f7f7a27ae3");

}  // namespace

TEST(CardSimKeys, SecondGenerationKeyPairs) {
    struct Case {
        const char* name;
        int nid;  // 0: RSA
        size_t bits;
        uint8_t algorithm;  // MSE:SET reference for SHA-256
    };
    const Case cases[] = {
        {"RSA-2048", 0, 2048, 0x28},
        {"secp224r1", NID_secp224r1, 224, 0x21},
        {"prime256v1", NID_X9_62_prime256v1, 256, 0x21},
        {"secp384r1", NID_secp384r1, 384, 0x21},
        {"secp521r1", NID_secp521r1, 521, 0x21},
        {"brainpoolP224r1", NID_brainpoolP224r1, 224, 0x21},
        {"brainpoolP256r1", NID_brainpoolP256r1, 256, 0x21},
        {"brainpoolP320r1", NID_brainpoolP320r1, 320, 0x21},
        {"brainpoolP384r1", NID_brainpoolP384r1, 384, 0x21},
        {"brainpoolP512r1", NID_brainpoolP512r1, 512, 0x21},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session s(Personality::Varnel2);
        s.select({0xAD, 0xFC, 0xDF, 0x0C});
        // the personalised key 13 is in the way until it is deleted; a second DELETE finds nothing
        const Bytes create =
            cat({hex("D3"), {static_cast<uint8_t>(c.nid ? 0x0C : 0x06)}, u16(c.bits), hex("8C8CB201")});
        EXPECT_EQ(s.sw(0x80, 0xE0, 0x01, 0x00, create), 0x6A89);
        EXPECT_EQ(s.sw(0x00, 0xE4, 0x0A, 0x00, hex("0013")), 0x9000);
        EXPECT_EQ(s.sw(0x00, 0xE4, 0x0A, 0x00, hex("0013")), 0x6A88);
        EXPECT_FALSE(s.card.publicKey(0x13));
        ASSERT_EQ(s.sw(0x80, 0xE0, 0x01, 0x00, create), 0x9000);
        EXPECT_EQ(toHex(s.card.log().back().plainCommand), "80E0010008" + toHex(create));
        if (c.nid) {
            EXPECT_EQ(s.sw(0x00, 0x46, 0x00, 0x13, {}, 0), 0x6985) << "no curve yet";
            const std::vector<Bytes> parts = curveParts(c.nid);
            Bytes data = {0x0C};
            for (const Bytes& part : parts) data = cat({data, u16(part.size()), part});
            data = cat({data, hex("0001")});
            Bytes wrong = data;
            wrong[3] ^= 0x01;  // p
            EXPECT_EQ(s.sw(0x80, 0x24, 0x00, 0x93, wrong), 0x6A80);
            EXPECT_EQ(s.sw(0x80, 0x24, 0x00, 0x92, data), 0x6A88) << "no key 12";
            ASSERT_EQ(s.sw(0x80, 0x24, 0x00, 0x93, data), 0x9000);
        }
        ASSERT_EQ(s.sw(0x00, 0x46, 0x00, 0x13, {}, 0), 0x9000);
        const auto spki = s.card.publicKey(0x13);
        ASSERT_TRUE(spki);
        EXPECT_EQ(s.last.data, publicValue(*spki));
        EXPECT_EQ(s.last.data.size(), c.nid ? 2 * ((c.bits + 7) / 8) + 1 : c.bits / 8);

        // the new key signs once the Qualified PIN is verified
        ASSERT_EQ(s.sw(0x00, 0x22, 0x81, 0xB6, {0x91, 0x02, c.algorithm, 0x13}), 0x9000);
        EXPECT_EQ(s.sw(0x00, 0x2A, 0x9E, 0x9A, kSha256Of123, 0), 0x6982);
        ASSERT_EQ(s.sw(0x00, 0x20, 0x00, 0x0C, {'3', '3', '3', '3', '3', '3'}), 0x9000);
        ASSERT_EQ(s.sw(0x00, 0x2A, 0x9E, 0x9A, kSha256Of123, 0), 0x9000);
        const Bytes signature = c.nid ? test::ecdsaDer(s.last.data) : s.last.data;
        EXPECT_TRUE(verifies(*spki, kSha256Of123, signature, c.nid == 0));
    }
}

TEST(CardSimKeys, SecondGenerationRefusals) {
    Session s(Personality::Varnel2);
    s.select({0xAD, 0xFC, 0xDF, 0x0C});
    EXPECT_EQ(s.sw(0x00, 0xE4, 0x0A, 0x00, hex("0013")), 0x9000);
    // the deleted key no longer signs
    EXPECT_EQ(s.sw(0x00, 0x22, 0x81, 0xB6, hex("91022813")), 0x6A88);
    const Refusal refusals[] = {
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
    for (const Refusal& r : refusals) EXPECT_EQ(s.sw(r.cla, r.ins, r.p1, r.p2, hex(r.data), 0), r.sw) << r.what;
    // an RSA pair refuses curve parameters; a 1024-bit key answers its 128-byte modulus
    ASSERT_EQ(s.sw(0x80, 0xE0, 0x01, 0x00, hex("D30604008C8CB201")), 0x9000);
    std::vector<Bytes> p256 = curveParts(NID_X9_62_prime256v1);
    EXPECT_EQ(s.sw(0x80, 0x24, 0x00, 0x93, hex("0C0001")), 0x6985);
    ASSERT_EQ(s.sw(0x00, 0x46, 0x00, 0x13, {}, 0), 0x9000);
    EXPECT_EQ(s.last.data.size(), 128u);
    EXPECT_EQ(s.sw(0x00, 0xE4, 0x0A, 0x00, hex("0013")), 0x9000);
    // an EC pair whose size does not match the curve, and garbled curve data
    ASSERT_EQ(s.sw(0x80, 0xE0, 0x01, 0x00, hex("D30C01808C8CB201")), 0x9000);  // 384 bits
    Bytes data = {0x0C};
    for (const Bytes& part : p256) data = cat({data, u16(part.size()), part});
    EXPECT_EQ(s.sw(0x80, 0x24, 0x00, 0x93, cat({data, hex("0001")})), 0x6A80) << "P-256 for a 384-bit key";
    EXPECT_EQ(s.sw(0x80, 0x24, 0x00, 0x93, data), 0x6A80) << "no 00 01 at the end";
    // without secure messaging the card refuses key commands
    s.terminal.closeChannel();
    EXPECT_EQ(s.terminal.plain(hex("80E4000000"))->sw, 0x6E00);
    EXPECT_EQ(s.terminal.plain(hex("00E40A00020013"))->sw, 0x6982);
}

TEST(CardSimKeys, FirstGenerationKeyHalves) {
    // p = PIN reference + D0 in the access conditions; the curve's template for EC halves
    auto access = [](uint8_t pin) {
        const uint8_t s = static_cast<uint8_t>(pin + 0xD0);
        return cat({hex("A10E8C05D9"), Bytes(4, s), hex("9C05D9"), Bytes(4, s)});
    };
    auto createData = [&](bool isPrivate, uint8_t pin, size_t bytes, int nid) {
        Bytes attributes = cat({access(pin), hex("8002"), u16(bytes)});
        if (isPrivate) attributes = cat({attributes, hex("9E0100")});
        auto tlv = [](Bytes tag, const Bytes& value) {
            Bytes out = tag;
            if (value.size() >= 256)
                out = cat({out, {0x82}, u16(value.size())});
            else if (value.size() >= 128)
                out = cat({out, {0x81, static_cast<uint8_t>(value.size())}});
            else
                out.push_back(static_cast<uint8_t>(value.size()));
            return cat({out, value});
        };
        Bytes body = tlv({0xA0}, attributes);
        if (nid) {
            const std::vector<Bytes> parts = curveParts(nid);
            Bytes curve;
            for (uint8_t i = 0; i < 5; ++i) curve = cat({curve, tlv({static_cast<uint8_t>(0x81 + i)}, parts[i])});
            body = cat({body, tlv({0x7F, 0x49}, cat({curve, hex("870101")}))});
        }
        return tlv({0x70}, body);
    };
    struct Case {
        const char* name;
        Bytes directory;
        uint8_t pin;
        uint8_t reference;  // low 4 bits of the PIN reference
        int nid;            // 0: RSA
        size_t bytes;       // key size in bytes
        bool preloaded;     // the halves exist: delete them first
        const char* header;
    };
    const Case cases[] = {
        {"Qualified RSA-2048", {0xDF, 0x0C}, 0x8C, 0x0C, 0, 256, true, "70820114BFA00C82010E7F4982010981820100"},
        {"Authorization RSA-1024", {0xDF, 0x0B}, 0x8B, 0x0B, 0, 128, false, "708191BFA00B818C7F498188818180"},
        {"Authentication P-256", {0xDF, 0x0A}, 0x8A, 0x0A, NID_X9_62_prime256v1, 32, true, "704ABFA20A467F49438641"},
        {"Presence P-521", {0xDF, 0x08}, 0x88, 0x08, NID_secp521r1, 66, true, "708191BFA208818C7F498188868185"},
        {"Authorization brainpoolP512r1",
         {0xDF, 0x0B},
         0x8B,
         0x0B,
         NID_brainpoolP512r1,
         64,
         false,
         "70818DBFA20B81887F498184868181"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session s(Personality::Varnel1);
        s.select(c.directory);
        const uint8_t privateKind = c.nid ? 0x92 : 0x90, publicKind = c.nid ? 0xA2 : 0xA0;
        const Bytes readPublic = {0x4D, 0x09, 0x70, 0x07, 0xBF, publicKind, c.reference, 0x03, 0x7F, 0x49};
        if (c.preloaded) {
            // the personalised pair answers its public half
            ASSERT_EQ(s.sw(0x00, 0xCB, 0x3F, 0xFF, readPublic, 0), 0x9000);
            EXPECT_EQ(toHex(s.last.data).substr(0, std::string(c.header).size()), c.header);
            EXPECT_EQ(s.sw(0x80, 0xE5, privateKind, c.reference), 0x9000);
            EXPECT_EQ(s.sw(0x80, 0xE5, publicKind, c.reference), 0x9000);
        }
        EXPECT_EQ(s.sw(0x80, 0xE5, privateKind, c.reference), 0x6A88);
        EXPECT_EQ(s.sw(0x00, 0xCB, 0x3F, 0xFF, readPublic, 0), 0x6A88);
        const Bytes privateData = createData(true, c.pin, c.bytes, c.nid);
        ASSERT_EQ(s.sw(0x00, 0xE1, privateKind, c.reference, privateData), 0x9000);
        EXPECT_EQ(s.sw(0x00, 0xE1, privateKind, c.reference, privateData), 0x6A89);
        const Bytes generate = {0x70, 0x03, 0xBF, privateKind, c.reference};
        EXPECT_EQ(s.sw(0x00, 0x47, 0x00, 0x00, generate), 0x6A88) << "no public half";
        ASSERT_EQ(s.sw(0x00, 0xE1, publicKind, c.reference, createData(false, c.pin, c.bytes, c.nid)), 0x9000);
        EXPECT_EQ(s.sw(0x00, 0xCB, 0x3F, 0xFF, readPublic, 0), 0x6985) << "not generated";
        ASSERT_EQ(s.sw(0x00, 0x47, 0x00, 0x00, generate), 0x9000);
        EXPECT_EQ(toHex(s.card.log().back().plainCommand), "00470000057003BF" + toHex({privateKind, c.reference}));
        ASSERT_EQ(s.sw(0x00, 0xCB, 0x3F, 0xFF, readPublic, 0), 0x9000);
        const auto spki = s.card.publicKey(c.reference);
        ASSERT_TRUE(spki);
        const Bytes header = hex(c.header);
        const Bytes tail = c.nid ? Bytes{} : hex("8203010001");
        EXPECT_EQ(s.last.data, cat({header, publicValue(*spki), tail}));

        // the new private half signs after VERIFY
        const Bytes mse = {0x80, 0x01, static_cast<uint8_t>(c.nid ? 0xCC : 0x8A),
                           0x84, 0x01, static_cast<uint8_t>(0x80 | c.reference)};
        ASSERT_EQ(s.sw(0x00, 0x22, 0x41, 0xB6, mse), 0x9000);
        const std::string pin = c.pin == 0x8C   ? "333333"
                                : c.pin == 0x8B ? "444444"
                                : c.pin == 0x88 ? "222222"
                                                : "111111";
        ASSERT_EQ(s.sw(0x00, 0x20, 0x00, c.pin, Bytes(pin.begin(), pin.end())), 0x9000);
        const Bytes input = c.nid ? kSha256Of123 : cat({hex("3031300d060960864801650304020105000420"), kSha256Of123});
        ASSERT_EQ(s.sw(0x00, 0x2A, 0x9E, 0x9A, input, 0), 0x9000);
        EXPECT_TRUE(verifies(*spki, kSha256Of123, s.last.data, c.nid == 0));
        // deleting the private half ends signing; the public half stays readable
        EXPECT_EQ(s.sw(0x80, 0xE5, privateKind, c.reference), 0x9000);
        EXPECT_EQ(s.sw(0x00, 0x22, 0x41, 0xB6, mse), 0x6A88);
        EXPECT_EQ(s.sw(0x00, 0xCB, 0x3F, 0xFF, readPublic, 0), 0x9000);
    }
}

TEST(CardSimKeys, FirstGenerationRefusals) {
    Session s(Personality::Varnel1);
    s.select({0xDF, 0x0B});
    const Refusal refusals[] = {
        {"kind byte", 0x00, 0xE1, 0x91, 0x0B, "70", 0x6A86},
        {"reference above 0F", 0x00, 0xE1, 0x90, 0x1B, "70", 0x6A86},
        {"not a template", 0x00, 0xE1, 0x90, 0x0B, "7000", 0x6A80},
        {"private half without 9E", 0x00, 0xE1, 0x90, 0x0B, "7016A014A10E8C05D95B5B5B5B9C05D95B5B5B5B80020100", 0x6A80},
        {"public half with 9E", 0x00, 0xE1, 0xA0, 0x0B, "7019A017A10E8C05D95B5B5B5B9C05D95B5B5B5B800201009E0100",
         0x6A80},
        {"access bytes differ", 0x00, 0xE1, 0x90, 0x0B, "7019A017A10E8C05D95B5B5B5B9C05D95C5C5C5C800201009E0100",
         0x6A80},
        {"EC half without curve", 0x00, 0xE1, 0x92, 0x0B, "7019A017A10E8C05D95B5B5B5B9C05D95B5B5B5B800200209E0100",
         0x6A80},
        {"generate form", 0x00, 0x47, 0x00, 0x00, "700 3BFA00B", 0x6A80},
        {"read form", 0x00, 0xCB, 0x3F, 0xFF, "4D097007BF900B037F49", 0x6A80},
        {"delete with data", 0x80, 0xE5, 0x90, 0x0B, "00", 0x6700},
        {"second generation's key pair", 0x80, 0xE0, 0x01, 0x00, "D30608008C8CB201", 0x6E00},
        {"second generation's generate", 0x00, 0x46, 0x00, 0x13, "", 0x6D00},
    };
    for (const Refusal& r : refusals) EXPECT_EQ(s.sw(r.cla, r.ins, r.p1, r.p2, hex(r.data)), r.sw) << r.what;
    // the worked example of the first generation's create (reference 0B, RSA-2048) is accepted
    EXPECT_EQ(s.sw(0x00, 0xE1, 0x90, 0x0B, hex("7019A017A10E8C05D95B5B5B5B9C05D95B5B5B5B800201009E0100")), 0x9000);
    EXPECT_EQ(toHex(s.card.log().back().plainCommand),
              "00E1900B1B7019A017A10E8C05D95B5B5B5B9C05D95B5B5B5B800201009E0100");
}
