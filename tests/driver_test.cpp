// The Driver without a card: what it records, what it refuses before the session, and hashing.
// Signing and verification through the simulated cards are in tests/Controller.
#include "driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Data/Container/container.h"
#include "support/hex.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A reader name the registry never listed: every session operation answers -1901.
class DriverWithoutReader : public ::testing::Test {
protected:
    Driver driver{"GC no such reader 0", GC_CardController::CARD_GENERIC, true, nullptr};
};

TEST_F(DriverWithoutReader, RecordsTheSessionAnswers) {
    EXPECT_EQ(driver.getLastError(), -1901);
    EXPECT_EQ(driver.getReaderName(), "GC no such reader 0");
    EXPECT_TRUE(driver.getAtr().empty());
    EXPECT_TRUE(driver.getSerialNumber().empty());

    // Recorded: each answer becomes the last error.
    EXPECT_EQ(driver.authenticateChip({1, 2}, 2), -1101);
    EXPECT_EQ(driver.getLastError(), -1101);
    int features = -1;
    EXPECT_EQ(driver.getReaderFeatures(features), -1901);
    EXPECT_EQ(features, 0);
    EXPECT_EQ(driver.getLastError(), -1901);
    EXPECT_EQ(driver.authenticateTerminal(Bytes{1}), -1101);
    EXPECT_EQ(driver.performSecureConnection(text("123456"), 2), -1901);
    EXPECT_EQ(driver.getLastError(), -1901);
    for (int (Driver::*op)() : {&Driver::state, &Driver::restoreSecureConnection, &Driver::destroySecureConnection,
                                &Driver::performChipAuthentication}) {
        driver.authenticateTerminal({}, 0);
        EXPECT_EQ((driver.*op)(), -1901);
        EXPECT_EQ(driver.getLastError(), -1901);
    }
    driver.authenticateTerminal({Bytes{1}}, Bytes{2});
    EXPECT_EQ(driver.getLastError(), -1101);

    // The PIN operations are the session's: without a reader, -1901, recorded.
    auto container = std::make_shared<GC_Container>();
    std::vector<std::shared_ptr<GC_Container>> list{container};
    EXPECT_EQ(driver.statusContainers(list, true), -1901);
    for (int rc : {driver.verifyPassword(container, text("123456"), false), driver.logoutPassword(container, false),
                   driver.changePassword(container, text("123456"), text("654321"), false),
                   driver.unblockPassword(container, text("123456"), true)}) {
        EXPECT_EQ(rc, -1901);
        EXPECT_EQ(driver.getLastError(), -1901);
    }

    // Not recorded: the PIN initialisation the library does not offer, and refused algorithms. The
    // last error is another code first, so that a recorded -1101 or -1102 would show.
    EXPECT_EQ(driver.state(), -1901);
    EXPECT_EQ(driver.initPassword(nullptr, text("1234")), -1101);
    EXPECT_EQ(driver.getLastError(), -1901);
    Bytes signature{9};
    for (uint32_t refused : {0u, 11u, 0xFFFFFFFFu}) {
        const auto algorithm = static_cast<Driver::signature_alghoritm>(refused);
        EXPECT_EQ(driver.signatureData(nullptr, nullptr, text("m"), algorithm, signature), -1102);
        EXPECT_EQ(driver.verifySignature(nullptr, nullptr, text("m"), signature, algorithm), -1102);
    }
    EXPECT_EQ(signature, Bytes{9});
    EXPECT_EQ(driver.getLastError(), -1901);
}

TEST(DriverHash, DigestsOfTheConcatenatedParts) {
    Driver driver{"", GC_CardController::CARD_GENERIC, true, nullptr};
    // FIPS 180-4 examples ("abc"), split across parts.
    struct Case {
        GC_Security::data_format format;
        const char* digest;
    } cases[] = {
        // clang-format off
        {GC_Security::HASH_SHA1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {GC_Security::HASH_SHA256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {GC_Security::HASH_SHA384, "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {GC_Security::HASH_SHA512, "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        // clang-format on
    };
    for (const Case& c : cases) {
        Bytes hash{0xEE};
        EXPECT_EQ(driver.hashData({text("a"), text(""), text("bc")}, c.format, hash), 0);
        EXPECT_EQ(hash, gctest::unhex(c.digest));
        EXPECT_EQ(driver.hashData(text("abc"), c.format, hash), 0);
        EXPECT_EQ(hash, gctest::unhex(c.digest));
    }
    // One empty buffer is one part, and is hashed.
    Bytes hash;
    EXPECT_EQ(driver.hashData(Bytes{}, GC_Security::HASH_SHA1, hash), 0);
    EXPECT_EQ(hash, gctest::unhex("da39a3ee5e6b4b0d3255bfef95601890afd80709"));

    const long long before = driver.getLastError();
    hash = {7};
    EXPECT_EQ(driver.hashData(std::vector<Bytes>{}, GC_Security::HASH_SHA256, hash), -1102);
    for (auto refused : {GC_Security::HASH_NONE, GC_Security::HASH_SHA224, static_cast<GC_Security::data_format>(64)})
        EXPECT_EQ(driver.hashData(text("abc"), refused, hash), -1102);
    EXPECT_EQ(hash, Bytes{7});
    EXPECT_EQ(driver.getLastError(), before);
}

}  // namespace
