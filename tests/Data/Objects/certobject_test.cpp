#include "Data/Objects/certobject.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "support/hex.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes fixture(const std::string& name) {
    const std::string content = gctest::readFile(gctest::dataPath("objects/" + name));
    return Bytes(content.begin(), content.end());
}

// The value of "key=..." in the openssl x509 record of a fixture; empty when absent.
std::string recorded(const std::string& cert, const std::string& key) {
    const std::string text = gctest::readFile(gctest::dataPath("objects/" + cert + ".txt"));
    const std::string prefix = key + "=";
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
        pos = end + 1;
    }
    return {};
}

static_assert(!std::is_copy_constructible_v<GC_CertObject>, "a copy would share the X509 handle");
static_assert(!std::is_copy_assignable_v<GC_CertObject>);
static_assert(std::has_virtual_destructor_v<GC_Object>);

class CertFixture : public ::testing::TestWithParam<const char*> {};

// Everything the object reports equals what the openssl command line recorded for the file.
TEST_P(CertFixture, MatchesOpensslRecord) {
    const std::string name = GetParam();
    const Bytes der = fixture(name + ".der");
    ASSERT_FALSE(der.empty());

    GC_CertObject cert;
    EXPECT_EQ(cert.type, GC_Object::TYPE_CERTIFICATE);
    ASSERT_EQ(cert.setCert(der), 0);
    EXPECT_EQ(cert.derLength, der.size());

    Bytes out;
    ASSERT_EQ(cert.getCert(out), 0);
    EXPECT_EQ(out, der);
    ASSERT_EQ(cert.getSubject(out), 0);
    EXPECT_EQ(out, fixture(name + ".subject.der"));
    ASSERT_EQ(cert.getIssuer(out), 0);
    EXPECT_EQ(out, fixture(name + ".issuer.der"));

    // openssl prints the serial's content bytes in hex ("00" for zero).
    const Bytes serial = gctest::unhex(recorded(name, "serial"));
    ASSERT_FALSE(serial.empty());
    Bytes significant(serial.begin(), serial.end());
    while (!significant.empty() && significant.front() == 0) significant.erase(significant.begin());
    if (significant.empty()) {
        out = {1};
        EXPECT_EQ(cert.getSerialNumber(out), -1);
        EXPECT_TRUE(out.empty());
    } else {
        ASSERT_EQ(cert.getSerialNumber(out), 0);
        EXPECT_EQ(out, significant);
    }

    // Dates as "YYYY-MM-DD hh:mm:ssZ", or "Bad time value" for a time openssl cannot read.
    struct DateCase {
        const char* key;
        int (GC_CertObject::*get)(std::string&, std::string&, std::string&);
    };
    for (const DateCase& d :
         {DateCase{"notBefore", &GC_CertObject::getStartDate}, DateCase{"notAfter", &GC_CertObject::getEndDate}}) {
        SCOPED_TRACE(d.key);
        const std::string iso = recorded(name, d.key);
        std::string day = "d", month = "m", year = "y";
        if (iso == "Bad time value") {
            EXPECT_EQ((cert.*d.get)(day, month, year), -1);
            EXPECT_EQ(day + month + year, "dmy");
            continue;
        }
        ASSERT_GE(iso.size(), 10u);
        ASSERT_EQ((cert.*d.get)(day, month, year), 0);
        EXPECT_EQ(year, iso.substr(0, 4));
        EXPECT_EQ(month, iso.substr(5, 2));
        EXPECT_EQ(day, iso.substr(8, 2));
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CertFixture,
                         ::testing::Values("rsa_ca", "ec_leaf", "times_utc", "times_gen", "short_time"));

TEST(GC_CertObject, WithoutCertificate) {
    GC_CertObject cert;
    Bytes out = {1, 2};
    EXPECT_EQ(cert.getCert(out), -1108);
    EXPECT_EQ(out, Bytes({1, 2}));  // untouched
    for (auto get : {&GC_CertObject::getSubject, &GC_CertObject::getIssuer, &GC_CertObject::getSerialNumber}) {
        out = {3};
        EXPECT_EQ((cert.*get)(out), -1108);
        EXPECT_TRUE(out.empty());  // emptied
    }
    std::string day = "d", month = "m", year = "y";
    EXPECT_EQ(cert.getStartDate(day, month, year), -1108);
    EXPECT_EQ(cert.getEndDate(day, month, year), -1108);
    EXPECT_EQ(day + month + year, "dmy");
}

// A damaged time that OpenSSL still parses (here the month of notAfter, "12" made "1x") gives no
// date rather than one with characters that are not digits.
TEST(GC_CertObject, DateWithOtherThanDigitsIsRefused) {
    Bytes der = fixture("times_gen.der");
    const std::string notAfter = "20991231235959Z";
    const auto at = std::search(der.begin(), der.end(), notAfter.begin(), notAfter.end());
    ASSERT_NE(at, der.end());
    at[5] = 'x';
    GC_CertObject cert;
    ASSERT_EQ(cert.setCert(der), 0);

    std::string day = "d", month = "m", year = "y";
    EXPECT_EQ(cert.getEndDate(day, month, year), -1);
    EXPECT_EQ(day + month + year, "dmy");
    ASSERT_EQ(cert.getStartDate(day, month, year), 0);
    EXPECT_EQ(day + month + year, "31121999");
}

TEST(GC_CertObject, SetCertFailuresLeaveNoCertificate) {
    const Bytes der = fixture("rsa_ca.der");
    GC_CertObject cert;
    ASSERT_EQ(cert.setCert(der), 0);

    EXPECT_EQ(cert.setCert(Bytes{0x30, 0x03, 0x02, 0x01, 0x05}), 1);
    EXPECT_EQ(cert.derLength, 5u);
    Bytes out;
    EXPECT_EQ(cert.getCert(out), -1108);

    Bytes truncated(der.begin(), der.end() - 1);
    EXPECT_EQ(cert.setCert(truncated), 1);
    EXPECT_EQ(cert.setCert(Bytes()), 1);
    EXPECT_EQ(cert.derLength, 0u);
    EXPECT_EQ(cert.getCert(out), -1108);

    // Zero padding behind the certificate, as read from a content file, is ignored.
    Bytes padded = der;
    padded.insert(padded.end(), 16, 0x00);
    ASSERT_EQ(cert.setCert(padded), 0);
    EXPECT_EQ(cert.derLength, padded.size());
    ASSERT_EQ(cert.getCert(out), 0);
    EXPECT_EQ(out, der);
}

TEST(GC_CertObject, CopyConstructor) {
    GC_CertObject source;
    source.label = "Signature certificate";
    source.ID = {0x45, 0x01};
    ASSERT_EQ(source.setCert(fixture("ec_leaf.der")), 0);
    GC_CertObject copy(&source);
    EXPECT_EQ(copy.type, GC_Object::TYPE_CERTIFICATE);
    EXPECT_EQ(copy.label, source.label);
    EXPECT_EQ(copy.ID, source.ID);
    EXPECT_EQ(copy.derLength, source.derLength);
    EXPECT_NE(copy.cert.get(), source.cert.get());
    Bytes a, b;
    ASSERT_EQ(source.getCert(a), 0);
    ASSERT_EQ(copy.getCert(b), 0);
    EXPECT_EQ(a, b);

    // A source without a certificate: the copy keeps no ID and DER length 0.
    GC_CertObject empty;
    empty.ID = {0x01};
    empty.derLength = 77;
    GC_CertObject emptyCopy(&empty);
    EXPECT_TRUE(emptyCopy.ID.empty());
    EXPECT_EQ(emptyCopy.derLength, 0u);
    EXPECT_EQ(emptyCopy.getCert(b), -1108);
}

// Builds a time of the given ASN.1 type with arbitrary text (OpenSSL does not check it here).
struct TimeFree {
    void operator()(ASN1_TIME* t) const { ASN1_STRING_free(t); }
};
std::unique_ptr<ASN1_TIME, TimeFree> makeTime(int type, const char* text) {
    std::unique_ptr<ASN1_TIME, TimeFree> t(ASN1_STRING_type_new(type));
    if (text != nullptr) ASN1_STRING_set(t.get(), text, -1);
    return t;
}

TEST(GC_CertObject, ConvertAsn1Time) {
    struct Case {
        int type;
        const char* text;
        const char* expected;
    };
    // clang-format off
    const Case cases[] = {
        {V_ASN1_UTCTIME, "991231235959Z", "31121999235959"},
        {V_ASN1_UTCTIME, "500101000000Z", "01011950000000"},
        {V_ASN1_UTCTIME, "491231235959Z", "31122049235959"},
        {V_ASN1_UTCTIME, "000131235959Z", "31012000235959"},
        {V_ASN1_GENERALIZEDTIME, "19991231235959Z", "31121999235959"},
        {V_ASN1_GENERALIZEDTIME, "20991231235959Z", "31122099235959"},
        // Short texts give what they hold and nothing read past their end.
        {V_ASN1_UTCTIME, "9912Z", "Z121999"},
        {V_ASN1_UTCTIME, "99", "1999"},
        {V_ASN1_GENERALIZEDTIME, "199", "199"},
        // Another string type: no year, the rest from the start.
        {V_ASN1_OCTET_STRING, "0102030405", "0201030405"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto t = makeTime(c.type, c.text);
        std::string out = "old";
        GC_CertObject::convertASN1TimetoString(t.get(), out);
        EXPECT_EQ(out, c.expected);
    }

    std::string out = "old";
    GC_CertObject::convertASN1TimetoString(nullptr, out);
    EXPECT_EQ(out, "");
    auto noText = makeTime(V_ASN1_UTCTIME, nullptr);
    out = "old";
    GC_CertObject::convertASN1TimetoString(noText.get(), out);
    EXPECT_EQ(out, "");
}

}  // namespace
