// Password checks, the EF.CardAccess scan and the MSE:Set AT data.

#include <gtest/gtest.h>

#include "Protocols/pacev2.h"
#include "support/hex.h"
#include "support/temp_dir.h"

using gctest::hex;
using gctest::unhex;

namespace {

std::vector<unsigned char> fixture(const std::string& name) {
    const std::string text = gctest::readFile(gctest::dataPath("pace/" + name));
    return std::vector<unsigned char>(text.begin(), text.end());
}

SecureVector<unsigned char> text(const std::string& s) {
    return SecureVector<unsigned char>(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

GC_PaceController::pace_params withKeys() {
    GC_PaceController::pace_params p;
    p.Kmac = text("mmmmmmmmmmmmmmmm");
    p.Kenc = text("eeeeeeeeeeeeeeee");
    p.SSC = text("0000000000000001");
    return p;
}

TEST(PaceParams, CardAccessFiles) {
    struct row {
        const char* file;
        int rc;
        int algorithm;
        int id;
    };
    const row rows[] = {
        {"icao.der", 0, 2, 13},
        {"two_ciphers.der", 0, 4, 13},  // the stronger cipher, with its own entry's id
        {"mixed.der", 0, 3, 16},        // only PACE entries take part; ECDH over DH
        {"id9.der", GC_Pace::kWrongCurve, 2, 0},
        {"id19.der", GC_Pace::kWrongCurve, 2, 0},
    };
    for (const row& r : rows) {
        const auto ef = fixture(r.file);
        ASSERT_FALSE(ef.empty()) << r.file;
        GC_Pace pace;
        auto params = withKeys();
        EXPECT_EQ(pace.selectPaceParams(&params, ef), r.rc) << r.file;
        EXPECT_EQ(params.algorithm, r.algorithm) << r.file;
        EXPECT_EQ(params.domainParameterId, r.id) << r.file;
        // Once a protocol was found, old session keys are gone, whatever the id.
        EXPECT_TRUE(params.Kmac.empty() && params.Kenc.empty() && params.SSC.empty()) << r.file;
        if (r.rc == 0) {
            EXPECT_EQ(pace.version(), 2);
            EXPECT_EQ(pace.domainParameterId(), r.id);
            EXPECT_EQ(pace.algorithm(), r.algorithm);
            EXPECT_EQ(pace.selectedOid().size(), 10u);
        }
    }
}

TEST(PaceParams, WithoutAnyPaceEntryTheKeysStay) {
    for (const auto& ef : {fixture("no_pace.der"), std::vector<unsigned char>{}, unhex("3100")}) {
        GC_Pace pace;
        auto params = withKeys();
        EXPECT_EQ(pace.selectPaceParams(&params, ef), GC_Pace::kWrongAlgorithm);
        EXPECT_EQ(params.Kmac.size(), 16u);
        EXPECT_EQ(params.SSC.size(), 16u);
    }
}

TEST(PaceParams, RankingDoesNotDependOnOrder) {
    const char* aes128id12 = "3012 060A04007F00070202040202 020102 02010C";
    const char* aes256id13 = "3012 060A04007F00070202040204 020102 02010D";
    for (const auto& order :
         {std::string("3124") + aes128id12 + aes256id13, std::string("3124") + aes256id13 + aes128id12}) {
        GC_Pace pace;
        GC_PaceController::pace_params params;
        ASSERT_EQ(pace.selectPaceParams(&params, unhex(order)), 0) << order;
        EXPECT_EQ(params.algorithm, 4);
        EXPECT_EQ(params.domainParameterId, 13);
    }
}

TEST(PaceParams, OnlyCompleteKnownPaceEntriesWin) {
    struct row {
        const char* name;
        const char* ef;
        int rc;
        int algorithm;
        int id;
    };
    // clang-format off
    const row rows[] = {
        {"unknown cipher 05 ignored", "3124 3012060A04007F00070202040205020102020111 3012060A04007F0007020204020202010202010D", 0, 2, 13},
        {"a stronger entry without id does not displace", "311F 3012060A04007F0007020204020202010202010D 300F060A04007F00070202040204020102", 0, 2, 13},
        {"empty OID after a complete entry is skipped", "3116 3012060A04007F0007020204020202010202010D 0600", 0, 2, 13},
        {"empty OID first ends the scan", "3116 0600 3012060A04007F0007020204020202010202010D", GC_Pace::kWrongAlgorithm, 0, 0},
        {"long-form OID length ignored", "3118 06810A04007F00070202040204 3012060A04007F0007020204020202010202010C", 0, 2, 12},
        {"OID running past the file", "3116 3012060A04007F0007020204020202010202010D 060A04007F", 0, 2, 13},
        {"non-PACE OID of PACE length", "3114 3012060A04007F0007020203020202010202010D", GC_Pace::kWrongAlgorithm, 0, 0},
    };
    // clang-format on
    for (const row& r : rows) {
        GC_Pace pace;
        GC_PaceController::pace_params params;
        EXPECT_EQ(pace.selectPaceParams(&params, unhex(r.ef)), r.rc) << r.name;
        EXPECT_EQ(params.algorithm, r.algorithm) << r.name;
        EXPECT_EQ(params.domainParameterId, r.id) << r.name;
    }
}

TEST(PaceParams, EveryTruncationStaysInsideTheFile) {
    // Exact-size copies: the sanitizer build catches any read past the end.
    const auto ef = fixture("mixed.der");
    for (size_t n = 0; n <= ef.size(); ++n) {
        GC_Pace pace;
        GC_PaceController::pace_params params;
        const int rc = pace.selectPaceParams(&params, std::vector<unsigned char>(ef.begin(), ef.begin() + n));
        EXPECT_TRUE(rc == 0 || rc == GC_Pace::kWrongCurve || rc == GC_Pace::kWrongAlgorithm) << n << " " << rc;
    }
}

TEST(PaceParams, Ranking) {
    GC_Pace pace;
    GC_PaceController::pace_params params;
    ASSERT_EQ(pace.selectPaceParams(&params, fixture("icao.der")), 0);
    EXPECT_TRUE(pace.isAlgorithmStronger(GC_ECDH_GM_AES_CBC_CMAC_192));
    EXPECT_TRUE(pace.isAlgorithmStronger(GC_ECDH_GM_AES_CBC_CMAC_256));
    EXPECT_FALSE(pace.isAlgorithmStronger(GC_ECDH_GM_AES_CBC_CMAC_128));
    EXPECT_FALSE(pace.isAlgorithmStronger(GC_ECDH_GM_3DES_CBC_CBC));
    EXPECT_FALSE(pace.isAlgorithmStronger({}));
    auto longer = GC_ECDH_GM_AES_CBC_CMAC_128;
    longer.push_back(0xFF);
    EXPECT_FALSE(pace.isAlgorithmStronger(longer));
}

TEST(PaceParams, Secrets) {
    struct row {
        int type;
        size_t length;
        int rc;
    };
    const row rows[] = {
        {1, 20, 0},
        {1, 19, GC_Pace::kSecretLength},
        {1, 90, GC_Pace::kSecretLength},
        {2, 6, 0},
        {2, 5, GC_Pace::kSecretLength},
        {2, 7, GC_Pace::kSecretLength},
        {4, 8, 0},
        {4, 6, GC_Pace::kSecretLength},
        {3, 6, GC_Pace::kSecretType},
        {0, 6, GC_Pace::kSecretType},
    };
    for (const row& r : rows) {
        GC_Pace pace;
        GC_PaceController::pace_params params;
        const auto secret = text(std::string(r.length, '1'));
        EXPECT_EQ(pace.verifySecret(&params, secret, r.type), r.rc) << r.type << "/" << r.length;
        if (r.rc == 0) {
            EXPECT_EQ(params.secretType, r.type);
            EXPECT_EQ(hex(params.secret), hex(secret));
        } else {
            EXPECT_TRUE(params.secret.empty());
        }
    }
    // The stored secret itself may be checked again (as a restore does).
    GC_Pace pace;
    GC_PaceController::pace_params params;
    ASSERT_EQ(pace.verifySecret(&params, text("123456"), 2), 0);
    EXPECT_EQ(pace.verifySecret(&params, params.secret, 2), 0);
    EXPECT_EQ(hex(params.secret), hex(text("123456")));
}

TEST(PaceParams, MrzLengths) {
    GC_Pace pace;
    for (size_t n : {size_t(0), size_t(20), size_t(71), size_t(89), size_t(91)}) {
        auto mrz = text(std::string(n, 'A'));
        EXPECT_EQ(pace.calculateMRZInfo(mrz), GC_Pace::kSecretType) << n;
        EXPECT_EQ(mrz.size(), n);
    }
    // TD1: SHA-1 over positions 5-14, 30-36 and 38-44 (`printf 0123456789ABCDEFGabcdefg | openssl sha1`).
    std::string td1(90, '<');
    td1.replace(5, 10, "0123456789");
    td1.replace(30, 7, "ABCDEFG");
    td1.replace(38, 7, "abcdefg");
    auto mrz = text(td1);
    ASSERT_EQ(pace.calculateMRZInfo(mrz), 0);
    EXPECT_EQ(hex(mrz), "BEBC8B97F925B7C6A9D1BC3ADC7744D2A4436D81");
}

TEST(PaceParams, MseSetData) {
    GC_Pace pace;
    GC_PaceController::pace_params params;
    ASSERT_EQ(pace.verifySecret(&params, text("123456"), 2), 0);
    ASSERT_EQ(pace.selectPaceParams(&params, fixture("icao.der")), 0);
    std::vector<unsigned char> out = {0xAA};
    ASSERT_EQ(pace.mseSet(&params, out), 0);
    EXPECT_EQ(hex(out),
              "AA"
              "800A04007F00070202040202"
              "830102"
              "84010D");
    EXPECT_EQ(pace.blockSize(), 16);

    // The generic-mapping OID is sent whatever mapping the card's entry named.
    GC_Pace cam;
    ASSERT_EQ(cam.verifySecret(&params, text("12345678"), 4), 0);
    ASSERT_EQ(cam.selectPaceParams(&params, unhex("3114 3012060A04007F00070202040604020102020112")), 0);
    out.clear();
    ASSERT_EQ(cam.mseSet(&params, out), 0);
    EXPECT_EQ(hex(out),
              "800A04007F00070202040204"
              "830104"
              "840112");

    GC_Pace none;
    out.clear();
    EXPECT_EQ(none.mseSet(&params, out), GC_Pace::kWrongAlgorithm);
    EXPECT_TRUE(out.empty());
}

}  // namespace
