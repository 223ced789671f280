// Secure messaging: command forms and hostile answers, against an independent AES reference.

#include <gtest/gtest.h>

#include <functional>

#include "Protocols/securemessaging.h"
#include "sm_reference.h"
#include "support/hex.h"

using gctest::hex;
using gctest::secureHex;
using gctest::unhex;
using SM = GC_SecureMessaging;
using smref::bytes;
using smref::cat;
using smref::tlv;

namespace {

const char* kKenc128 = "2B7E151628AED2A6ABF7158809CF4F3C";
const char* kKmac128 = "000102030405060708090A0B0C0D0E0F";
const char* kSsc = "0000000000000000000000000000001F";

SM::sm_params aesSession(const char* kenc = kKenc128, const char* kmac = kKmac128, int alg = 2) {
    SM::sm_params p;
    p.Kenc = secureHex(kenc);
    p.Kmac = secureHex(kmac);
    p.SSC = secureHex(kSsc);
    p.algorithm = alg;
    return p;
}

// The reference session as the next message (counter + 1) sees it.
smref::session nextRef(const SM::sm_params& p) {
    bytes ssc(p.SSC.begin(), p.SSC.end());
    for (size_t i = ssc.size(); i-- > 0;)
        if (++ssc[i] != 0) break;
    return {bytes(p.Kenc.begin(), p.Kenc.end()), bytes(p.Kmac.begin(), p.Kmac.end()), ssc};
}

bytes range(unsigned char first, size_t n) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(first + i);
    return b;
}

// ------------------------------------------------------------------------------------------
// Commands
// ------------------------------------------------------------------------------------------

TEST(SmProtect, DataObjectsMatchTheReference) {
    struct row {
        const char* name;
        bytes plain;
        const char* expectHead;  // protected command up to the start of the cryptogram
        bytes data;
        bool extendedOut;
    };
    const bytes d16 = range(0x10, 16);
    const bytes d120 = range(0x20, 120);
    const bytes d126 = range(0, 126);
    const bytes d254 = range(1, 254);
    const bytes d300 = range(2, 300);
    // clang-format off
    const std::vector<row> rows = {
        {"case 1: DO97 and the checksum only", unhex("00700000"), "0C700000", {}, false},
        {"short case 3", cat(unhex("00A4020C10"), d16), "0CA4020C", d16, false},
        {"short case 4", cat(cat(unhex("00A4040010"), d16), unhex("00")), "0CA40400", d16, false},
        {"odd INS, DO85 of 128", cat(cat(unhex("00B1000078"), d120), unhex("00")), "0CB10000", d120, false},
        {"cryptogram of 128", cat(unhex("00D600007E"), d126), "0CD60000", d126, false},
        {"cryptogram of 256", cat(unhex("00D60000FE"), d254), "0CD60000", d254, true},
        {"extended case 3", cat(unhex("00D6000000012C"), d300), "0CD60000", d300, true},
        {"extended case 4", cat(cat(unhex("002A9E9A000010"), d16), unhex("0000")), "0C2A9E9A", d16, true},
    };
    // clang-format on
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        auto p = aesSession();
        const auto ref = nextRef(p);
        SM::s_apdu plain;
        ASSERT_EQ(SM::decompose_apdu(r.plain, plain), 0);
        std::vector<unsigned char> out;
        ASSERT_EQ(SM::smProtectAPDU(&p, r.plain, out), 0);

        const bool odd = (r.plain[1] & 1) != 0;
        const bytes cryptogram = r.data.empty() ? bytes{} : ref.encrypt(r.data);
        const bytes do8x = r.data.empty() ? bytes{} : odd ? tlv(0x85, cryptogram) : tlv(0x87, cat({0x01}, cryptogram));
        const bool extendedPlain = (plain.apduCase & 0x10) != 0;
        bytes do97;
        if (plain.Le == 0 || (!extendedPlain && plain.Le == 256) || (extendedPlain && plain.Le == 65536))
            do97 = extendedPlain ? unhex("97020000") : unhex("970100");
        else
            do97 = unhex(extendedPlain ? "970200" : "9701"), do97.push_back(static_cast<unsigned char>(plain.Le));
        const bytes header = unhex(r.expectHead);
        const bytes mac = ref.mac(cat(cat(smref::pad(header, 16), do8x), do97));
        const bytes body = cat(cat(do8x, do97), cat(unhex("8E08"), mac));
        bytes expected = header;
        if (r.extendedOut) {
            expected = cat(expected, {0x00, static_cast<unsigned char>(body.size() >> 8),
                                      static_cast<unsigned char>(body.size())});
            expected = cat(cat(expected, body), unhex("0000"));
        } else {
            expected = cat(cat(cat(expected, {static_cast<unsigned char>(body.size())}), body), unhex("00"));
        }
        EXPECT_EQ(hex(out), hex(expected));
        EXPECT_EQ(hex(p.SSC), hex(ref.ssc));
    }
}

TEST(SmProtect, LengthFormsOfTheDataObject) {
    struct row {
        size_t plainLen;
        int alg;
        const char* head;  // tag and length of the data object
    };
    // clang-format off
    const row rows[] = {
        {8, 1, "871101"},        // 3DES: 8 bytes pad to 16
        {7, 1, "870901"},
        {16, 2, "872101"},       // AES: 16 bytes pad to 32
        {126, 2, "87818101"},    // 128-byte cryptogram + indicator
        {254, 2, "8782010101"},
    };
    // clang-format on
    for (const row& r : rows) {
        auto p = r.alg == 1 ? aesSession("979EC13B1CBFE9DCD01AB0FED307EAE5", "F1CB1F1FB5ADF208806B89DC579DC1F8", 1)
                            : aesSession();
        if (r.alg == 1) p.SSC = secureHex("887022120C06C226");
        bytes apdu = unhex("00D60000");
        if (r.plainLen <= 255) {
            apdu.push_back(static_cast<unsigned char>(r.plainLen));
        }
        apdu = cat(apdu, range(0x30, r.plainLen));
        std::vector<unsigned char> out;
        ASSERT_EQ(SM::smProtectAPDU(&p, apdu, out), 0) << r.plainLen;
        const size_t at = out[4] == 0 ? 7 : 5;
        EXPECT_EQ(hex(bytes(out.begin() + at, out.begin() + at + std::string(r.head).size() / 2)), r.head)
            << r.plainLen;
    }
}

TEST(SmProtect, WhenTheProtectedCommandGoesExtended) {
    struct row {
        const char* name;
        bytes plain;
        bool extended;
    };
    const std::vector<row> rows = {
        // 160 data bytes: 87 81 B1 01 + 176 = 180, + 97 01 00 + 8E 08 mac = 193: short.
        {"193 bytes protected", cat(unhex("00D60000A0"), range(0, 160)), false},
        // 176 data bytes: 87 81 C1 01 + 192 = 196 + 13 = 209 > 200: extended.
        {"209 bytes protected", cat(unhex("00D60000B0"), range(0, 176)), true},
        {"Lc 201 in plain", cat(unhex("00D60000C9"), range(0, 201)), true},
        {"Le 256 short", unhex("00B0000000"), false},
        {"Le 257 extended", unhex("00B00000000101"), true},
        {"extended stays extended", unhex("00B00000000010"), true},
    };
    for (const row& r : rows) {
        auto p = aesSession();
        std::vector<unsigned char> out;
        ASSERT_EQ(SM::smProtectAPDU(&p, r.plain, out), 0) << r.name;
        SM::s_apdu parsed;
        ASSERT_EQ(SM::decompose_apdu(out, parsed), 0) << r.name;
        EXPECT_EQ((parsed.apduCase & 0x10) != 0, r.extended) << r.name;
        EXPECT_EQ(parsed.apduCase & 0x0F, 4) << r.name;
        EXPECT_EQ(parsed.Le, r.extended ? 65536u : 256u) << r.name;
    }
}

TEST(SmProtect, LeDataObject) {
    struct row {
        unsigned long le;
        int extended;
        const char* expected;
    };
    // clang-format off
    const row rows[] = {
        {0, 0, "970100"},
        {0, 1, "97020000"},
        {256, 0, "970100"},
        {65536, 1, "97020000"},
        {0x10, 0, "970110"},
        {0x10, 1, "97020010"},
        {257, 1, "97020101"},
        {0xFFFF, 1, "9702FFFF"},
        {256, 1, "97020100"},
    };
    // clang-format on
    for (const row& r : rows) {
        std::vector<unsigned char> out;
        EXPECT_EQ(SM::sm_module_build_do97(r.le, out, r.extended), 0);
        EXPECT_EQ(hex(out), r.expected) << r.le << " " << r.extended;
    }
}

TEST(SmProtect, MalformedPlainCommandsAreRefused) {
    const char* bad[] = {
        "00A4020C05011E",        // Lc beyond the data
        "00D60000000005AABB",    // extended Lc beyond the data
        "00D6000000000201020A",  // one byte left after extended data
        "00D6000002010203FF",    // more than Le after short data
        "00D600000000020102000000",
    };
    for (const char* h : bad) {
        auto p = aesSession();
        std::vector<unsigned char> out = {1, 2, 3};
        EXPECT_EQ(SM::smProtectAPDU(&p, unhex(h), out), SM::kMalformed) << h;
        EXPECT_TRUE(out.empty());
    }
    auto p = aesSession();
    std::vector<unsigned char> out;
    EXPECT_EQ(SM::smProtectAPDU(&p, unhex("00A402"), out), SM::kInvalidArgument);
    EXPECT_EQ(SM::smProtectAPDU(nullptr, unhex("00A4020C"), out), SM::kInvalidArgument);
}

TEST(SmProtect, KeyAndCounterChecks) {
    // 3DES needs a 16-byte MAC key.
    auto p = aesSession("979EC13B1CBFE9DCD01AB0FED307EAE5", "F1CB1F1FB5ADF208806B89DC579DC1", 1);
    p.SSC = secureHex("0000000000000000");
    std::vector<unsigned char> out;
    EXPECT_EQ(SM::smProtectAPDU(&p, unhex("00B0000004"), out), SM::kInvalidArgument);
    EXPECT_TRUE(out.empty());

    // Data but no encryption key.
    auto q = aesSession();
    q.Kenc.clear();
    EXPECT_EQ(SM::smProtectAPDU(&q, unhex("00A4020C02011E"), out), SM::kNoSessionKey);

    // A key too short for the cipher is never read past.
    auto r = aesSession(kKenc128, kKmac128, 4);
    EXPECT_EQ(SM::smProtectAPDU(&r, unhex("00A4020C02011E"), out), SM::kCryptoFailed);

    auto s = aesSession();
    s.SSC.clear();
    EXPECT_EQ(SM::smProtectAPDU(&s, unhex("00B0000004"), out), SM::kSscEmpty);

    auto w = aesSession();
    w.SSC = secureHex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
    ASSERT_EQ(SM::increment_ssc(&w), 0);
    EXPECT_EQ(hex(w.SSC), std::string(32, '0'));
}

TEST(SmProtect, Aes256UsesTheCounterEncryptedAsIv) {
    auto p = aesSession("603DEB1015CA71BE2B73AEF0857D77811F352C073B6108D72D9810A30914DFF4",
                        "603DEB1015CA71BE2B73AEF0857D77811F352C073B6108D72D9810A30914DFF4", 4);
    const auto ref = nextRef(p);
    std::vector<unsigned char> out;
    ASSERT_EQ(SM::smProtectAPDU(&p, unhex("00A4020C02011E"), out), 0);
    EXPECT_EQ(hex(bytes(out.begin() + 8, out.begin() + 24)), hex(ref.encrypt(unhex("011E"))));
}

// ------------------------------------------------------------------------------------------
// Responses
// ------------------------------------------------------------------------------------------

struct answer {
    SM::sm_params p = aesSession();
    smref::session ref = nextRef(p);
    std::vector<unsigned char> out;

    int64_t verify(const bytes& response) { return SM::smFreeAPDU(&p, response, out); }
    // objects || 8E 08 MAC(objects-for-mac) || SW
    bytes build(const bytes& objects, const bytes& macOver, const char* sw = "9000") const {
        return cat(cat(objects, cat(unhex("8E08"), ref.mac(macOver))), unhex(sw));
    }
    bytes build(const bytes& objects) const { return build(objects, objects); }
};

TEST(SmVerify, StatusOnly) {
    answer a;
    EXPECT_EQ(a.verify(a.build(unhex("99029000"))), 0);
    EXPECT_EQ(hex(a.out), "9000");
    EXPECT_EQ(hex(a.p.SSC), hex(a.ref.ssc));
}

// A status word whose SW2 equals a tag follows the checksum: it is not read as an object.
TEST(SmVerify, StatusWordsEndingInATagByte) {
    for (const char* sw : {"6985", "6A87", "628E", "6999"}) {
        answer a;
        const bytes do99 = cat(unhex("9902"), unhex(sw));
        EXPECT_EQ(a.verify(a.build(do99, do99, sw)), 0) << sw;
        EXPECT_EQ(hex(a.out), sw);
        answer tampered;
        bytes r = tampered.build(do99, do99, sw);
        r[6] ^= 1;
        EXPECT_EQ(tampered.verify(r), SM::kMacMismatch) << sw;
        EXPECT_TRUE(tampered.out.empty()) << sw;
    }
}

TEST(SmVerify, DataIsDecryptedAndUnpadded) {
    for (size_t n : {size_t(1), size_t(15), size_t(16), size_t(143), size_t(1024)}) {
        answer a;
        const bytes plain = range(0x41, n);
        const bytes do87 = tlv(0x87, cat({0x01}, a.ref.encrypt(plain)));
        const bytes objects = cat(do87, unhex("99026282"));
        ASSERT_EQ(a.verify(a.build(objects)), 0) << n;
        EXPECT_EQ(hex(a.out), hex(cat(plain, unhex("6282")))) << n;
    }
}

TEST(SmVerify, OddInsAnswerInDo85) {
    answer a;
    const bytes plain = range(0, 20);
    const bytes objects = cat(tlv(0x85, a.ref.encrypt(plain)), unhex("99029000"));
    ASSERT_EQ(a.verify(a.build(objects)), 0);
    EXPECT_EQ(hex(a.out), hex(cat(plain, unhex("9000"))));
}

TEST(SmVerify, LengthCodedLongerThanNeededFailsTheMac) {
    answer a;
    const bytes cryptogram = a.ref.encrypt(range(0, 10));  // 16 bytes
    const bytes sent = cat(cat(unhex("878111"), cat({0x01}, cryptogram)), unhex("99029000"));
    // The card MACed what it sent; the check re-encodes with the short length.
    EXPECT_EQ(a.verify(a.build(sent)), SM::kMacMismatch);
    EXPECT_TRUE(a.out.empty());
    // MACed over the re-encoded form it passes.
    answer b;
    const bytes shortForm = cat(tlv(0x87, cat({0x01}, cryptogram)), unhex("99029000"));
    EXPECT_EQ(b.verify(b.build(sent, shortForm)), 0);
}

TEST(SmVerify, HostileAnswersAreErrors) {
    struct row {
        const char* name;
        std::function<bytes(const answer&)> make;
        int64_t rc;
    };
    // clang-format off
    const std::vector<row> rows = {
        {"wrong MAC", [](const answer& a) { bytes r = a.build(unhex("99029000")); r[6] ^= 1; return r; }, SM::kMacMismatch},
        {"MAC of 4 bytes", [](const answer&) { return unhex("990290008E04010203049000"); }, SM::kMalformed},
        {"no MAC", [](const answer&) { return unhex("990290009000"); }, SM::kObjectMissing},
        {"no DO99", [](const answer& a) { return a.build(tlv(0x87, cat({0x01}, a.ref.encrypt(unhex("01"))))); }, SM::kObjectMissing},
        {"DO99 of 3 bytes", [](const answer& a) { return a.build(unhex("9903900000")); }, SM::kMalformed},
        {"truncated DO87", [](const answer& a) { bytes c = a.ref.encrypt(unhex("0102")); return cat(unhex("871101"), bytes(c.begin(), c.begin() + 8)); }, SM::kMalformed},
        {"DO87 without cryptogram", [](const answer& a) { return a.build(cat(unhex("870101"), unhex("99029000"))); }, SM::kInvalidArgument},
        {"cryptogram not whole blocks", [](const answer& a) { return a.build(cat(unhex("8706010102030405"), unhex("99029000"))); }, SM::kCryptoFailed},
        {"no 80 padding", [](const answer& a) { return a.build(cat(tlv(0x87, cat({0x01}, a.ref.encryptRaw(range(1, 16)))), unhex("99029000"))); }, SM::kMalformed},
        {"both DO85 and DO87", [](const answer& a) { const bytes do87 = tlv(0x87, cat({0x01}, a.ref.encrypt(unhex("01")))); return a.build(cat(cat(tlv(0x85, a.ref.encrypt(unhex("02"))), do87), unhex("99029000")), cat(do87, unhex("99029000"))); }, SM::kMalformed},
        {"plain data and status", [](const answer&) { return unhex("0102039000"); }, SM::kObjectMissing},
        {"tag as last byte", [](const answer&) { return unhex("0102900099"); }, SM::kInvalidArgument},
        {"length runs past the end", [](const answer&) { return unhex("9902900087829000"); }, SM::kMalformed},
        {"length ends the answer", [](const answer&) { return unhex("01029981"); }, SM::kMalformed},
        {"zero length bytes", [](const answer&) { return unhex("998002"); }, SM::kMalformed},
        {"single byte", [](const answer&) { return unhex("90"); }, SM::kInvalidArgument},
    };
    // clang-format on
    for (const row& r : rows) {
        answer a;
        const bytes response = r.make(a);
        const int64_t rc = a.verify(response);
        EXPECT_EQ(rc, r.rc) << r.name;
        EXPECT_NE(rc, 0) << r.name;
        // Nothing but at most the bare status word comes back, and the counter moved on.
        EXPECT_LE(a.out.size(), 2u) << r.name;
        EXPECT_EQ(hex(a.p.SSC), hex(a.ref.ssc)) << r.name;
    }
}

TEST(SmVerify, PlainStatusWordIsReportedButNotAccepted) {
    answer a;
    EXPECT_EQ(a.verify(unhex("6988")), SM::kInvalidArgument);
    EXPECT_EQ(hex(a.out), "6988");
    EXPECT_EQ(hex(a.p.SSC), hex(a.ref.ssc));
}

TEST(SmVerify, PaddingRemoval) {
    std::vector<unsigned char> out;
    EXPECT_EQ(SM::sm_module_ISO9797_pad_meth2_remove(unhex("0102800000"), out), 0);
    EXPECT_EQ(hex(out), "0102");
    EXPECT_EQ(SM::sm_module_ISO9797_pad_meth2_remove(unhex("80"), out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_NE(SM::sm_module_ISO9797_pad_meth2_remove(unhex("0102030000"), out), 0);
    EXPECT_NE(SM::sm_module_ISO9797_pad_meth2_remove(unhex("0180020000"), out), 0);
    EXPECT_NE(SM::sm_module_ISO9797_pad_meth2_remove(unhex("000000"), out), 0);
    EXPECT_EQ(SM::sm_module_ISO9797_pad_meth2_remove({}, out), SM::kInvalidArgument);
}

// ------------------------------------------------------------------------------------------
// The channel's OpenSSL contexts
// ------------------------------------------------------------------------------------------

// The card's answer to the last command protected under `session`: `plain` in DO87 and 90 00,
// made with a fresh copy of the session's fields at the response's counter.
bytes cardAnswer(const SM::sm_params& session, const bytes& plain) {
    SM::sm_params card;
    card.Kenc = session.Kenc;
    card.Kmac = session.Kmac;
    card.SSC = session.SSC;
    card.algorithm = session.algorithm;
    SM::increment_ssc(&card);
    SM::s_apdu data;
    data.data = SecureVector<unsigned char>(plain.data(), plain.size());
    bytes do87, mac;
    EXPECT_EQ(SM::sm_module_build_do8x(&card, data, do87, 0x87), 0);
    const bytes objects = cat(do87, unhex("99029000"));
    EXPECT_EQ(card.algorithm == 1 ? SM::sm_module_ISO9797_mac_method3du(&card, objects, mac)
                                  : SM::sm_module_ISO9797_cmac_method3du(&card, objects, mac),
              0);
    return cat(cat(objects, cat(unhex("8E08"), mac)), unhex("9000"));
}

// One session lives through every kind of key change; each exchange must come out exactly as
// from a fresh session with the same fields, so no context may outlive the key it was made from.
TEST(SmKeyContexts, FollowEveryChangeOfKeyOrAlgorithm) {
    const char* k16a = "979EC13B1CBFE9DCD01AB0FED307EAE5";
    const char* k16b = "F1CB1F1FB5ADF208806B89DC579DC1F8";
    const char* k24 = "8E73B0F7DA0E6452C810F32B809079E562F8EAD2522C6B7B";
    const char* k32 = "8E73B0F7DA0E6452C810F32B809079E562F8EAD2522C6B7B0102030405060708";
    struct step {
        const char* name;
        const char* kenc;
        const char* kmac;
        int alg;
        const char* ssc;
        bool forget;  // the channel forgets its contexts before the exchange
    };
    const step steps[] = {
        {"AES-128", kKenc128, kKmac128, 2, kSsc, false},
        {"new Kenc only", k16a, kKmac128, 2, kSsc, false},
        {"new Kmac only", k16a, k16b, 2, kSsc, false},
        {"the same bytes under 3DES", k16a, k16b, 1, "887022120C06C226", false},
        {"AES-192", k24, k24, 3, kSsc, false},
        {"AES-256 keys that begin as the AES-192 ones", k32, k32, 4, kSsc, false},
        {"AES-256 under AES-192, its first 24 bytes", k32, k24, 3, kSsc, false},
        {"back to the first after forgetting", kKenc128, kKmac128, 2, kSsc, true},
    };
    const bytes command = cat(unhex("00D6000010"), range(0x20, 16));
    const bytes plain = range(0x41, 40);
    SM::sm_params kept;
    for (const step& s : steps) {
        SCOPED_TRACE(s.name);
        kept.Kenc = secureHex(s.kenc);
        kept.Kmac = secureHex(s.kmac);
        kept.SSC = secureHex(s.ssc);
        kept.algorithm = s.alg;
        if (s.forget) SM::forgetKeyContexts(&kept);
        SM::sm_params fresh = kept;  // a copy starts without contexts
        bytes ours, theirs;
        ASSERT_EQ(SM::smProtectAPDU(&kept, command, ours), 0);
        ASSERT_EQ(SM::smProtectAPDU(&fresh, command, theirs), 0);
        EXPECT_EQ(hex(ours), hex(theirs));
        const bytes answer = cardAnswer(fresh, plain);
        ASSERT_EQ(SM::smFreeAPDU(&kept, answer, ours), 0);
        EXPECT_EQ(hex(ours), hex(cat(plain, unhex("9000"))));
    }
    // The MAC key of a working AES-192 channel is too short for AES-256: a change of the
    // algorithm alone must not keep the AES-192 context running.
    kept.Kmac = secureHex(k24);
    kept.algorithm = 3;
    bytes out;
    ASSERT_EQ(SM::smProtectAPDU(&kept, unhex("00B0000004"), out), 0);
    kept.algorithm = 4;
    EXPECT_EQ(SM::smProtectAPDU(&kept, unhex("00B0000004"), out), SM::kCryptoFailed);
    // Nor does a cleared encryption key leave its context in use.
    kept.algorithm = 2;
    kept.Kenc.clear();
    EXPECT_EQ(SM::smProtectAPDU(&kept, command, out), SM::kNoSessionKey);
}

}  // namespace
