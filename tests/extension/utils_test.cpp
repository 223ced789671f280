#include "extension/utils.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "Data/Container/container.h"
#include "Data/Objects/certobject.h"
#include "Data/Objects/privkeyobject.h"
#include "extension/categories.h"
#include "extension/find_key.h"
#include "platform/bundle.h"
#include "platform/ctk_keychain.h"
#include "platform/ctk_memory.h"
#include "platform/ctk_token.h"
#include "support/env_guard.h"
#include "support/fake_card.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

TEST(ExtensionUtils, SuffixesAreTheFirstFreeByteAndComeOffAgain) {
    EXPECT_EQ(Utils::guidAddSuffix({0x45}, {{0x45, 0x01}, {0x45, 0x03}}), (Bytes{0x45, 0x02}));
    // A used identifier that only starts like the candidate does not take its suffix.
    EXPECT_EQ(Utils::guidAddSuffix({0x45}, {{0x45, 0x01, 0x00}, {0x45}}), (Bytes{0x45, 0x01}));
    EXPECT_EQ(Utils::guidAddSuffix({}, {{0x01}}), (Bytes{0x02}));

    std::vector<Bytes> all;
    for (int suffix = 1; suffix <= 255; ++suffix) all.push_back({0x45, static_cast<unsigned char>(suffix)});
    EXPECT_EQ(Utils::guidAddSuffix({0x45}, all), (Bytes{0x45}));

    EXPECT_EQ(Utils::guidRemoveSuffix({0x45, 0x02}), (Bytes{0x45}));
    EXPECT_EQ(Utils::guidRemoveSuffix({}), Bytes{});
}

TEST(ExtensionUtils, TextViews) {
    // A key's constraint byte names its container: little-endian, four bytes at most.
    EXPECT_EQ(toInt({}), 0);
    EXPECT_EQ(toInt({0x01, 0x02, 0x03, 0x04, 0x05}), 0x04030201);
    EXPECT_EQ(toInt({0xFF, 0xFF, 0xFF, 0xFF}), -1);

    // RFC 1321 test suite digests.
    EXPECT_EQ(MD5String(""), "000d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(MD5String("abc"), "003900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(MD5String(std::string(1000, 'a')).substr(0, 4), "1000");

    const std::string der = gctest::readFile(gctest::dataPath("asn1/cert-p256.der"));
    auto item = ctk::KeychainCertificate::create(sec::Certificate::createWithData(Bytes(der.begin(), der.end())), {1});
    ASSERT_NE(item, nullptr);
    setName(*item, "Card label");
    EXPECT_EQ(item->label(), "Card label (EC Holder)");
    item->setLabel(std::nullopt);
    setName(*item, "Card label");
    EXPECT_EQ(item->label(), "Card label");
}

TEST(ExtensionUtils, FindKeyTakesOnlyPrivateKeys) {
    GC_CertObject certificate;
    certificate.ID = {0x45};
    GC_PrivKeyObject first, second;
    first.ID = {0x46};
    second.ID = {0x45};
    auto container = std::make_shared<GC_Container>();
    container->addObjects({&certificate, &first, &second});
    EXPECT_EQ(findKey(container, {0x45}), &second);
    EXPECT_EQ(findKey(container, {0x47}), nullptr);
    std::shared_ptr<GC_Container> none;
    EXPECT_EQ(findKey(none, {0x45}), nullptr);
}

// A home directory of its own with the container's Documents directory, and a stand-in for the
// system's smart-card listing.
struct InstanceIdFixture : ::testing::Test {
    void SetUp() override {
        documents = home.makeDirs(std::string("Library/Containers/") + plat::kBundleIdentifier + "/Data/Documents");
        const std::string p = std::string(plat::kBundleIdentifier) + ":";
        const std::string script =
            "#!/bin/sh\n[ \"$1\" = list-smartcards ] || exit 1\necho 'com.example.other:AAAA.1'\n" +
            ("echo '" + p + "nodot'\necho '    " + p + "5F3A.0001'\necho '" + p + "5F3A.0002'\n");
        ASSERT_TRUE(gctest::writeExecutable(listing, script));
        manager->addSlot("Reader 0");
        manager->insertCard("Reader 0", std::make_shared<gctest::FakeCard>(Bytes{0x3B, 0x00}));
        std::promise<std::shared_ptr<ctk::Slot>> found;
        manager->getSlotWithName("Reader 0", [&](std::shared_ptr<ctk::Slot> slot) { found.set_value(slot); });
        card = found.get_future().get()->makeSmartCard();
        ASSERT_NE(card, nullptr);
    }

    gctest::TempDir home;
    gctest::EnvGuard homeVariable{"HOME", home.path()};
    std::string documents;
    const std::string listing = home.path() + "/security";
    std::shared_ptr<ctk::mem::SlotManager> manager = std::make_shared<ctk::mem::SlotManager>();
    std::shared_ptr<ctk::SmartCard> card;
};

TEST_F(InstanceIdFixture, FileThenListingThenDigestOfTheSlotName) {
    EXPECT_EQ(Utils::getBrokenInstances(listing), (std::vector<std::string>{"5F3A.0001", "5F3A.0002"}));

    ASSERT_TRUE(gctest::writeFile(documents + "/instance_id.txt", "abc\n"));
    EXPECT_EQ(Utils::getInstanceId(card, listing), "abc\n");

    ASSERT_TRUE(gctest::writeFile(documents + "/instance_id.txt", ""));  // counts as no file
    EXPECT_EQ(Utils::getInstanceId(card, listing), "5F3A.0001");

    const std::string noListing = home.path() + "/missing";
    EXPECT_EQ(Utils::getInstanceId(card, noListing), MD5String("Reader 0"));
    EXPECT_EQ(MD5String("Reader 0").size(), 35u);
    EXPECT_EQ(Utils::getInstanceId(nullptr, noListing), MD5String("unknown"));
}

TEST_F(InstanceIdFixture, ListingThatNeverEndsIsKilledAndReaped) {
    ASSERT_TRUE(gctest::writeExecutable(listing, "#!/bin/sh\necho $$ > \"$0.pid\"\necho 'x:1.2'\nexec sleep 600\n"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Utils::osRun(listing, {"list-smartcards"}, 300ms), "x:1.2\n");  // what it wrote in time
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child left behind, not even a zombie
    EXPECT_EQ(errno, ECHILD);
    const pid_t child = std::stoi(gctest::readFile(listing + ".pid"));
    EXPECT_NE(kill(child, 0), 0);
}

}  // namespace
