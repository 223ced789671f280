#include "platform/sec_certificate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes fixture(const std::string& name) {
    const std::string text = gctest::readFile(gctest::dataPath("asn1/" + name));
    return Bytes(text.begin(), text.end());
}

TEST(SecCertificate, ParsesWholeCertificatesOnly) {
    struct Case {
        const char* file;
        const char* summary;
        sec::KeyType keyType;
        int bits;
    };
    for (const Case& c :
         {Case{.file = "cert-p256.der", .summary = "EC Holder", .keyType = sec::KeyType::EC, .bits = 256},
          Case{.file = "cert-rsa2048.der", .summary = "RSA Holder", .keyType = sec::KeyType::RSA, .bits = 2048},
          Case{.file = "cert-ed25519.der", .summary = "EdDSA Holder", .keyType = sec::KeyType::Other, .bits = 0}}) {
        SCOPED_TRACE(c.file);
        const Bytes der = fixture(c.file);
        ASSERT_GT(der.size(), 100u);
        auto certificate = sec::Certificate::createWithData(der);
        ASSERT_NE(certificate, nullptr);
        EXPECT_EQ(certificate->data(), der);
        EXPECT_EQ(certificate->subjectSummary(), c.summary);
        EXPECT_EQ(certificate->keyType(), c.keyType);
        EXPECT_EQ(certificate->keySizeInBits(), c.bits);

        Bytes trailing = der;
        trailing.push_back(0x00);
        EXPECT_EQ(sec::Certificate::createWithData(trailing), nullptr);
        EXPECT_EQ(sec::Certificate::createWithData(Bytes(der.begin(), der.end() - 1)), nullptr);
    }
    EXPECT_EQ(sec::Certificate::createWithData({}), nullptr);
    EXPECT_EQ(sec::Certificate::createWithData({0x30, 0x03, 0x02, 0x01, 0x01}), nullptr);
}

}  // namespace
