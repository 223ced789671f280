#include "extension/token.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Data/Container/container.h"
#include "Data/Objects/certobject.h"
#include "Data/Objects/privkeyobject.h"
#include "extension/keychain_items.h"
#include "extension/token_world.h"
#include "support/hex.h"
#include "support/temp_dir.h"

// A token's CAN check and the keychain items it publishes, over the fake card library that
// serves the second-generation simulated card's personalisation.

namespace {

using gctest::Bytes;
using gctest::TokenWorld;

Bytes fixture(const std::string& name) {
    const std::string content = gctest::readFile(gctest::dataPath("cardsim/" + name));
    return Bytes(content.begin(), content.end());
}

// What a published item shows; `constraint` is the byte of the sign constraint (0: none).
struct ItemView {
    Bytes id;
    bool key;
    std::string label;
    int signConstraint;
    Bytes certificate;

    bool operator==(const ItemView&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ItemView& item) {
    out << (item.key ? "key " : "cert ") << item.label << " id";
    for (unsigned char b : item.id) out << ' ' << static_cast<int>(b);
    return out << " constraint " << item.signConstraint;
}

std::vector<ItemView> view(const std::vector<std::shared_ptr<ctk::KeychainItem>>& items) {
    std::vector<ItemView> out;
    for (const auto& item : items) {
        auto key = std::dynamic_pointer_cast<ctk::KeychainKey>(item);
        auto certificate = std::dynamic_pointer_cast<ctk::KeychainCertificate>(item);
        int constraint = 0;
        const auto sign = item->constraints().find(ctk::TokenOperation::SignData);
        if (sign != item->constraints().end()) {
            const Bytes* bytes = std::get_if<Bytes>(&sign->second);
            constraint = bytes != nullptr && bytes->size() == 1 ? (*bytes)[0] : -1;
        }
        out.push_back({item->objectID(), key != nullptr, item->label().value_or(""), constraint,
                       key ? key->certificate()->data() : certificate->data()});
    }
    return out;
}

TEST(TokenCanCheck, PublishesEveryKeyAndCertificateOfTheCard) {
    TokenWorld world;
    std::shared_ptr<Token> token = world.createToken();
    ASSERT_NE(token, nullptr);
    EXPECT_TRUE(world.card->calls().empty());  // a new token does not touch the card
    EXPECT_EQ(world.checkCan("123456"), "SUCCESS");
    EXPECT_EQ(world.card->calls(), (std::vector<std::string>{"destroy", "perform", "getContainers", "loadContainers"}));

    const Bytes auth = fixture("certs/v2_auth_bp256.der");
    const Bytes authz = fixture("certs/v2_authz_p384.der");
    const Bytes qualified = fixture("certs/v2_qualified_rsa.der");
    // Key and certificate of a pair share the card's identifier: the certificate takes suffix 01,
    // the key 02; the constraint is the container's index + 1 (the PUK's container has no key).
    const std::vector<ItemView> expected{
        {{0x45, 0x01, 0x02}, true, "Authentication key (Varnel 2.0 Authentication)", 1, auth},
        {{0x45, 0x01, 0x01}, false, "Authentication certificate (Varnel 2.0 Authentication)", 0, auth},
        {{0x45, 0x02, 0x02}, true, "Authorization key (Varnel 2.0 Authorization)", 2, authz},
        {{0x45, 0x02, 0x01}, false, "Authorization certificate (Varnel 2.0 Authorization)", 0, authz},
        {{0x45, 0x0C, 0x02}, true, "Qualified key (Varnel 2.0 Qualified)", 3, qualified},
        {{0x45, 0x0C, 0x01}, false, "Qualified certificate (Varnel 2.0 Qualified)", 0, qualified},
    };
    const auto items = token->keychainContents().items();
    EXPECT_EQ(view(items), expected);
    for (const auto& item : items) {
        if (auto key = std::dynamic_pointer_cast<ctk::KeychainKey>(item)) {
            EXPECT_TRUE(key->canSign());  // sign (authentication keys) or non-repudiation (qualified)
            EXPECT_FALSE(key->canDecrypt() || key->canPerformKeyExchange() || key->isSuitableForLogin());
            EXPECT_EQ(key->constraints().size(), 1u);
        }
    }

    // Every failure keeps what was published and answers the library's code.
    world.card->failNext(gctest::FakeCardDriver::Op::Perform, -1701);
    EXPECT_EQ(world.checkCan("123456"), "-1701");
    world.card->failNext(gctest::FakeCardDriver::Op::GetContainers, -1100);
    EXPECT_EQ(world.checkCan("123456"), "-1100");
    world.card->failNext(gctest::FakeCardDriver::Op::LoadContainers, -1914);
    EXPECT_EQ(world.checkCan("123456"), "-1914");
    EXPECT_EQ(token->keychainContents().items(), items);

    // A CAN that is not six digits never reaches the card.
    world.card->clearCalls();
    for (const char* can : {"12345", "1234567", "12a456", ""}) EXPECT_EQ(world.checkCan(can), "-1102") << can;
    EXPECT_TRUE(world.card->calls().empty());
    EXPECT_EQ(world.library->driversMade(), 1);  // one Driver for every check of the token

    // A read after the failures publishes the card again.
    EXPECT_EQ(world.checkCan("123456"), "SUCCESS");
    EXPECT_EQ(view(token->keychainContents().items()), expected);
}

TEST(TokenCanCheck, FailedDriverIsNotKeptAndBadCertificateIsSkipped) {
    TokenWorld world;
    std::shared_ptr<Token> token = world.createToken();
    world.library->failNextCreate(-1901);
    EXPECT_EQ(world.checkCan("123456"), "-1901");
    EXPECT_EQ(world.library->driversMade(), 0);
    EXPECT_TRUE(world.card->calls().empty());

    // The Authorization certificate's file holds no certificate.
    world.card->files().setFile(gctest::unhex("A000000167455349474E"), gctest::unhex("ADF2DF025782"),
                                Bytes(2048, 0));
    testing::internal::CaptureStderr();
    EXPECT_EQ(world.checkCan("123456"), "SUCCESS");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("cert #1 has invalid id"), std::string::npos);
    std::vector<Bytes> ids;
    for (const auto& item : token->keychainContents().items()) ids.push_back(item->objectID());
    EXPECT_EQ(ids,
              (std::vector<Bytes>{{0x45, 0x01, 0x02}, {0x45, 0x01, 0x01}, {0x45, 0x0C, 0x02}, {0x45, 0x0C, 0x01}}));
    EXPECT_EQ(world.library->driversMade(), 1);
}

TEST(TokenCardLibrary, ADriverOnAReaderTheRegistryDoesNotKnowIsNotHandedOut) {
    int result = 0;
    EXPECT_EQ(cardLibrary()->createDriver("No such reader", result), nullptr);
    EXPECT_EQ(result, -1901);
}

// Containers made by hand, for the identifier rules that the card's personalisation does not show.
struct HandMadeContainers : ::testing::Test {
    std::shared_ptr<GC_Container> container(GC_PrivKeyObject* key, std::vector<GC_CertObject*> certificates) {
        auto c = std::make_shared<GC_Container>();
        if (key != nullptr) c->addObject(key);
        for (GC_CertObject* certificate : certificates) c->addObject(certificate);
        return c;
    }
    static void setUp(GC_PrivKeyObject& key, Bytes id, uint64_t usage, const char* label) {
        key.ID = std::move(id);
        key.usage = usage;
        key.label = label;
    }
    static void setUp(GC_CertObject& certificate, Bytes id, const char* file, const char* label) {
        certificate.ID = std::move(id);
        certificate.label = label;
        if (file != nullptr) {
            ASSERT_EQ(certificate.setCert(fixture(file)), 0);
        }
    }
};

TEST_F(HandMadeContainers, SuffixesCountAcrossTheReadAndTheKeyBindsToTheFirstCertificate) {
    GC_PrivKeyObject signKey, decryptKey, orphanKey, blankKey, edKey;
    GC_CertObject first, second, decryptCert, blankCert, edCert;
    setUp(signKey, {0x45}, GC_PrivKeyObject::USAGE_SIGN, "Sign");
    setUp(first, {0x45}, "certs/v2_auth_bp256.der", "First");
    setUp(second, {0x46}, "certs/v2_authz_p384.der", "Second");
    setUp(decryptKey, {0x46}, GC_PrivKeyObject::USAGE_ENCRYPT | GC_PrivKeyObject::USAGE_DERIVE, "Decrypt");
    setUp(decryptCert, {0x46}, "certs/v2_authz_p384.der", "Third");
    setUp(orphanKey, {0x47}, GC_PrivKeyObject::USAGE_SIGN, "Orphan");
    setUp(blankKey, {}, GC_PrivKeyObject::USAGE_SIGN, "Blank");
    setUp(blankCert, {}, "certs/v2_qualified_rsa.der", "BlankCert");
    setUp(edKey, {0x48}, GC_PrivKeyObject::USAGE_SIGN, "Ed\x01\nKey");  // a key type items cannot carry
    setUp(edCert, {0x48}, "../asn1/cert-ed25519.der", "Ed");
    const std::vector<std::shared_ptr<GC_Container>> containers{
        container(&signKey, {&first, &second}),
        container(&decryptKey, {&decryptCert}),
        container(nullptr, {&first}),  // no private key: nothing
        container(&orphanKey, {}),     // no certificate: nothing
        container(&blankKey, {&blankCert}),
        container(&edKey, {&edCert})};  // nothing, and its label logged without its control characters

    KeychainItemsBuilder builder;
    testing::internal::CaptureStderr();
    for (int i = 0; i < static_cast<int>(containers.size()); ++i) builder.readContainer(containers, i);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("certificate Ed..Key\n"), std::string::npos) << log;
    const auto& items = builder.items();
    const std::vector<Bytes> ids{{0x45, 0x02}, {0x45, 0x01}, {0x46, 0x01}, {0x46, 0x03}, {0x46, 0x02}, {0x02}, {0x01}};
    std::vector<Bytes> got;
    for (const auto& item : items) got.push_back(item->objectID());
    // The second certificate's unpublished key item used up 45 03, its certificate 46 01.
    ASSERT_EQ(got, ids);

    auto signItem = std::dynamic_pointer_cast<ctk::KeychainKey>(items[0]);
    ASSERT_NE(signItem, nullptr);
    EXPECT_EQ(signItem->certificate()->data(), fixture("certs/v2_auth_bp256.der"));
    EXPECT_EQ(signItem->label(), "Sign (Varnel 2.0 Authentication)");

    auto decryptItem = std::dynamic_pointer_cast<ctk::KeychainKey>(items[3]);
    ASSERT_NE(decryptItem, nullptr);
    EXPECT_FALSE(decryptItem->canSign());
    EXPECT_TRUE(decryptItem->canDecrypt() && decryptItem->canPerformKeyExchange());
    const std::map<ctk::TokenOperation, ctk::Constraint> byContainer2{
        {ctk::TokenOperation::DecryptData, Bytes{0x02}}, {ctk::TokenOperation::PerformKeyExchange, Bytes{0x02}}};
    EXPECT_EQ(decryptItem->constraints(), byContainer2);

    // A key without identifier cannot be found again: its operations need no container.
    auto blankItem = std::dynamic_pointer_cast<ctk::KeychainKey>(items[5]);
    ASSERT_NE(blankItem, nullptr);
    EXPECT_EQ(blankItem->constraints(),
              (std::map<ctk::TokenOperation, ctk::Constraint>{{ctk::TokenOperation::SignData, true}}));
}

}  // namespace
