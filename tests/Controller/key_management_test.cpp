// Key management through the Driver on both card generations, under PACE and secure messaging
// (the card's plain view of a protected command carries Le 00):
// initialisation of the qualified container, key-pair generation for every key the cards make
// (each of the size asked and signing after VERIFY, checked by OpenSSL), the rollback of a generation
// the card refuses at any step, activation of a deactivated PIN with a new value, objects created
// and deleted, and what is refused before the card hears anything.
#include <algorithm>
#include <string>
#include <vector>

#include "Data/Container/container.h"
#include "Data/Objects/certobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Queue/hub_companion.h"
#include "Reader/reader.h"
#include "driver.h"
#include "openssl_reference.h"
#include "session_fixture.h"
#include "support/hex.h"

namespace session_test {
namespace {

using cardsim::Personality;
using Containers = std::vector<std::shared_ptr<GC_Container>>;
using Algorithm = Driver::signature_alghoritm;

class TestDriver : public Driver {
public:
    using Driver::Driver;
    GC_Controller& session() { return controller; }
};

// Files of the qualified container, from the MF.
const Bytes kV1Cio{0x50, 0x15, 0x50, 0x83};
const Bytes kV1Cert{0x50, 0x15, 0x57, 0x83};
const Bytes kV2Cio{0x50, 0x15, 0xAD, 0xFC, 0xDF, 0x0C, 0x50, 0x83};
const Bytes kV2Cert{0x50, 0x15, 0xAD, 0xFC, 0xDF, 0x0C, 0x57, 0x83};
const Bytes kQualifiedPin{'3', '3', '3', '3', '3', '3'};

struct KeySpec {
    const char* name;
    GC_Object::key_type type;
    GC_EC_Params::ec_nid curve;
    uint64_t bits;
};
constexpr GC_EC_Params::ec_nid kNoCurve = static_cast<GC_EC_Params::ec_nid>(0);
const KeySpec kRsa2048{"RSA-2048", GC_Object::KEY_RSA, kNoCurve, 2048};
const KeySpec kP256{"P-256", GC_Object::KEY_EC, GC_EC_Params::prime256v1, 256};
const KeySpec kSecondGenerationKeys[] = {
    kRsa2048,
    {"P-224", GC_Object::KEY_EC, GC_EC_Params::secp224r1, 224},
    kP256,
    {"P-384", GC_Object::KEY_EC, GC_EC_Params::secp384r1, 384},
    {"P-521", GC_Object::KEY_EC, GC_EC_Params::secp521r1, 521},
    {"brainpoolP224r1", GC_Object::KEY_EC, GC_EC_Params::brainpoolP224r1, 224},
    {"brainpoolP256r1", GC_Object::KEY_EC, GC_EC_Params::brainpoolP256r1, 256},
    {"brainpoolP320r1", GC_Object::KEY_EC, GC_EC_Params::brainpoolP320r1, 320},
    {"brainpoolP384r1", GC_Object::KEY_EC, GC_EC_Params::brainpoolP384r1, 384},
    {"brainpoolP512r1", GC_Object::KEY_EC, GC_EC_Params::brainpoolP512r1, 512},
};

std::unique_ptr<GC_PrivKeyObject> privateTemplate(const KeySpec& shape, const char* label) {
    auto key = std::make_unique<GC_PrivKeyObject>();
    key->label = std::string(label) + " key";
    key->ID = {0x45, 0x99};
    key->usage = GC_PrivKeyObject::USAGE_SIGN;
    key->flags = GC_Object::FLAG_PRIVATE;
    key->keyType = shape.type;
    key->curve = shape.curve;
    key->keyBits = shape.bits;
    return key;
}

std::unique_ptr<GC_PubKeyObject> publicTemplate(const char* label) {
    auto key = std::make_unique<GC_PubKeyObject>();
    key->label = std::string(label) + " public key";
    key->usage = GC_PrivKeyObject::USAGE_SIGN;
    return key;
}

Bytes publicBytes(GC_Object* object) {
    Bytes der;
    if (object == nullptr || static_cast<GC_PubKeyObject*>(object)->getPublicKeyBytes(der) != 0) return {};
    return der;
}

// A DER SubjectPublicKeyInfo as OpenSSL reads it.
gc_ossl::EvpPkeyPtr opensslKey(const Bytes& der) {
    const unsigned char* p = der.data();
    return gc_ossl::EvpPkeyPtr(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
}

std::vector<std::string> commandsWith(const std::vector<Received>& received, const std::string& prefix) {
    std::vector<std::string> out;
    for (const Received& r : received)
        if (r.command.compare(0, prefix.size(), prefix) == 0) out.push_back(r.command);
    return out;
}

// The plain answer (data and status word) to the first command with this prefix.
std::string answerTo(const std::vector<Received>& received, const std::string& prefix) {
    for (const Received& r : received)
        if (r.command.compare(0, prefix.size(), prefix) == 0) return r.response;
    return {};
}

class KeyManagementTest : public SessionTest {
protected:
    // A card generation as it is, a Driver with a secure channel on it and the card's containers
    // with their objects.
    void open(cardsim::CardConfig config) {
        plug(std::move(config));
        driver = std::make_unique<TestDriver>(name, GC_CardController::CARD_GENERIC, true, nullptr);
        ASSERT_EQ(driver->getLastError(), 0);
        // A reader that takes extended commands (curve parameters) and long answers (a modulus).
        reader().maxApduSize = 2048;
        reader().extendedApdu = true;
        reader().apduSizeFixed = true;
        ASSERT_EQ(driver->performSecureConnection(kCan, 2), 0);
        reload();
    }

    // The containers as the card describes them now.
    void reload() {
        containers.clear();
        ASSERT_EQ(driver->getContainers(containers, true), 0);
        ASSERT_EQ(driver->loadContainers(containers, true), 0);
    }

    std::shared_ptr<GC_Container> container(const std::string& word) const {
        for (const auto& c : containers)
            if (c->label.find(word) != std::string::npos) return c;
        ADD_FAILURE() << "no container " << word;
        return nullptr;
    }

    static std::vector<GC_Object*> objects(const std::shared_ptr<GC_Container>& c) {
        std::vector<GC_Object*> out;
        c->getObjects(out);
        return out;
    }

    Bytes file(const Bytes& path) const { return card->file(path).value_or(Bytes{}); }

    // Generates, checks the registered public key against the card's and its size, signs after
    // VERIFY and checks the signature with OpenSSL and with the Driver's own verification.
    void generateAndSign(const std::shared_ptr<GC_Container>& c, const KeySpec& shape, const char* label,
                         uint8_t cardKey, const Bytes& pin) {
        auto priv = privateTemplate(shape, label);
        auto pub = publicTemplate(label);
        GC_Object* newPrivate = nullptr;
        GC_Object* newPublic = nullptr;
        ASSERT_EQ(driver->generateKeyPair(c, priv.get(), pub.get(), &newPrivate, &newPublic), 0);
        EXPECT_EQ(priv->objectInfo, nullptr);
        EXPECT_EQ(pub->objectInfo, nullptr);
        const auto onCard = card->publicKey(cardKey);
        ASSERT_TRUE(onCard);
        EXPECT_EQ(publicBytes(newPublic), *onCard);
        const gc_ossl::EvpPkeyPtr key = opensslKey(*onCard);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(static_cast<uint64_t>(EVP_PKEY_get_bits(key.get())), shape.bits) << "the size asked";
        auto listed = objects(c);
        EXPECT_NE(std::find(listed.begin(), listed.end(), newPrivate), listed.end());
        EXPECT_NE(std::find(listed.begin(), listed.end(), newPublic), listed.end());

        std::shared_ptr<GC_Container> target = c;
        ASSERT_EQ(driver->session().verifyPassword(target, pin, false, false), 0);
        const Bytes message{'k', 'e', 'y', ' ', 'o', 'f', ' ', 'o', 'n', 'e', ' ', 'c', 'a', 'r', 'd'};
        const Algorithm algorithm = shape.type == GC_Object::KEY_RSA ? Driver::RSA_PKCS1_SHA256 : Driver::EC_SHA256;
        Bytes signature;
        ASSERT_EQ(driver->signatureData(c, newPrivate, message, algorithm, signature), 0);
        EXPECT_TRUE(reference::verifiesMessage(key.get(), EVP_sha256(), message, signature));
        EXPECT_EQ(driver->verifySignature(c, newPublic, message, signature, algorithm), 0);
        // An algorithm outside 1 to 10 is refused and not recorded.
        EXPECT_EQ(driver->verifySignature(c, newPublic, message, signature, static_cast<Algorithm>(0)), -1102);
        EXPECT_EQ(driver->verifySignature(c, newPublic, message, signature, static_cast<Algorithm>(11)), -1102);
        EXPECT_EQ(driver->getLastError(), 0);
    }

    std::unique_ptr<TestDriver> driver;
    Containers containers;
};

TEST_F(KeyManagementTest, SecondGenerationInitialisesAndGeneratesEveryKey) {
    if (slotBackend()) GTEST_SKIP() << "the whole table runs once, over PC/SC";
    Companion link;
    open(varnelCard(Personality::Varnel2));
    auto qualified = container("Qualified");
    ASSERT_EQ(objects(qualified).size(), 3u);
    const size_t cioSize = file(kV2Cio).size();
    const size_t certSize = file(kV2Cert).size();
    ASSERT_TRUE(card->publicKey(0x13));

    const size_t mark = logMark();
    ASSERT_EQ(driver->initContainer(qualified, kQualifiedPin, {}, false), 0);
    EXPECT_EQ(file(kV2Cio), Bytes(cioSize, 0x00));
    EXPECT_EQ(file(kV2Cert), Bytes(certSize, 0x00));
    EXPECT_FALSE(card->publicKey(0x13)) << "key 13 deleted";
    EXPECT_TRUE(objects(qualified).empty());
    const auto sent = receivedSince(*card, mark);
    EXPECT_EQ(commandsWith(sent, "0020000C").size(), 1u);
    EXPECT_EQ(commandsWith(sent, "00E4"), (std::vector<std::string>{"00E40A0002001300"}));
    const auto frames = link.server.frames();
    EXPECT_TRUE(std::any_of(frames.begin(), frames.end(), [&](const auto& f) { return f.command == "clr"; }))
        << "the companion forgets the card";

    for (const KeySpec& shape : kSecondGenerationKeys) {
        SCOPED_TRACE(shape.name);
        ASSERT_EQ(driver->initContainer(qualified, kQualifiedPin, {}, false), 0);
        generateAndSign(qualified, shape, "Qualified", 0x13, kQualifiedPin);
    }

    // Read back from the card: the directory holds the last key pair alone.
    reload();
    qualified = container("Qualified");
    const auto read = objects(qualified);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0]->type, GC_Object::TYPE_PRIVATE_KEY);
    EXPECT_EQ(static_cast<GC_PrivKeyObject*>(read[0])->keyReference, 0x13);
    EXPECT_EQ(publicBytes(read[1]), card->publicKey(0x13).value());
}

TEST_F(KeyManagementTest, FirstGenerationQualifiedRsaAndAuthenticationP256) {
    if (slotBackend()) GTEST_SKIP() << "once, over PC/SC";
    open(varnelCard(Personality::Varnel1));
    auto qualified = container("Qualified");
    auto authentication = container("Authentication");
    // The places follow the PIN's own label, whatever the display name says.
    qualified->label = "Authentication card (Qualified)";
    authentication->label = "Qualified card (Authentication)";
    const size_t cioSize = file(kV1Cio).size();
    const size_t certSize = file(kV1Cert).size();

    size_t mark = logMark();
    ASSERT_EQ(driver->initContainer(qualified, kQualifiedPin, {}, false), 0);
    auto sent = receivedSince(*card, mark);
    // References 0C and 8C (the card names both 0C): RSA private and public, EC private and public.
    const std::vector<std::string> halves{"80E5900C00", "80E5A00C00", "80E5920C00", "80E5A20C00"};
    std::vector<std::string> deletions = halves;
    deletions.insert(deletions.end(), halves.begin(), halves.end());
    EXPECT_EQ(commandsWith(sent, "80E5"), deletions);
    EXPECT_EQ(answerTo(sent, "80E5900C"), "9000");
    EXPECT_EQ(answerTo(sent, "80E5920C"), "6A88") << "a key that is not there counts as deleted";
    EXPECT_EQ(file(kV1Cio), Bytes(cioSize, 0x00));
    EXPECT_EQ(file(kV1Cert), Bytes(certSize, 0x00));
    EXPECT_TRUE(objects(qualified).empty());

    // The halves take the qualified PIN and the reference 0C: the card signs with them after
    // that PIN only.
    generateAndSign(qualified, kRsa2048, "Qualified", 0x0C, kQualifiedPin);

    // Authentication is no container to initialise; its key makes room for the new one.
    const Bytes authenticationPin{'1', '1', '1', '1', '1', '1'};
    mark = logMark();
    EXPECT_EQ(driver->initContainer(authentication, authenticationPin, {}, false), -1102);
    EXPECT_EQ(commandsWith(receivedSince(*card, mark), "80E5").size(), 0u);
    mark = logMark();
    ASSERT_EQ(driver->deleteObject(authentication, authentication->getPrivateKey()), 0);
    EXPECT_EQ(commandsWith(receivedSince(*card, mark), "80E5"), (std::vector<std::string>{"80E5920A00", "80E5A20A00"}));
    generateAndSign(authentication, kP256, "Authentication", 0x0A, authenticationPin);
}

// The card refuses one command of the generation (answers an error without executing it): the
// halves or the key object created before are deleted again, the card files and the container are
// as they were, and nothing stands in the way of the next generation.
TEST_F(KeyManagementTest, RefusalAtEachStepRollsBack) {
    if (slotBackend()) GTEST_SKIP() << "once, over PC/SC";
    struct Step {
        Personality personality;
        const char* name;
        cardsim::CommandMatch match;
        std::vector<std::string> rollback;  // the DELETEs that follow
    };
    const std::vector<std::string> v1Both{"80E5A00C00", "80E5900C00"};
    const std::vector<std::string> v2Key{"00E40A0002001300"};
    // The private key's entry goes to offset 0 of the object directory file, the public key's to 1024.
    const cardsim::CommandMatch privateEntry{.ins = 0xD6, .p1 = 0x00, .p2 = 0x00};
    const cardsim::CommandMatch publicEntry{.ins = 0xD6, .p1 = 0x04, .p2 = 0x00};
    const Step steps[] = {
        {Personality::Varnel1, "create private half", {.ins = 0xE1, .p1 = 0x90}, {}},
        {Personality::Varnel1, "create public half", {.ins = 0xE1, .p1 = 0xA0}, {"80E5900C00"}},
        {Personality::Varnel1, "generate", {.ins = 0x47}, v1Both},
        {Personality::Varnel1, "read public key", {.ins = 0xCB, .p1 = 0x3F}, v1Both},
        {Personality::Varnel1, "register the private key", privateEntry, v1Both},
        {Personality::Varnel1, "register the public key", publicEntry, v1Both},
        {Personality::Varnel2, "create key pair", {.ins = 0xE0}, {}},
        {Personality::Varnel2, "load curve", {.ins = 0x24, .p1 = 0x00, .p2 = 0x93}, v2Key},
        {Personality::Varnel2, "generate", {.ins = 0x46}, v2Key},
        {Personality::Varnel2, "register the private key", privateEntry, v2Key},
        {Personality::Varnel2, "register the public key", publicEntry, v2Key},
    };
    Personality current = Personality::Generic;
    Bytes cio, cert;
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(cardsim::personalityName(step.personality)) + ": " + step.name);
        const bool first = step.personality == Personality::Varnel1;
        // The first generation's halves are RSA here, the second generation's key pair EC.
        const KeySpec& shape = first ? kRsa2048 : kP256;
        if (step.personality != current) {
            open(varnelCard(step.personality));
            current = step.personality;
            ASSERT_EQ(driver->initContainer(container("Qualified"), kQualifiedPin, {}, false), 0);
            cio = file(first ? kV1Cio : kV2Cio);
            cert = file(first ? kV1Cert : kV2Cert);
        }
        auto qualified = container("Qualified");
        card->answerStatus(step.match, 0x6A80);
        auto priv = privateTemplate(shape, "Qualified");
        auto pub = publicTemplate("Qualified");
        GC_Object* newPrivate = nullptr;
        GC_Object* newPublic = nullptr;
        const size_t mark = logMark();
        EXPECT_NE(driver->generateKeyPair(qualified, priv.get(), pub.get(), &newPrivate, &newPublic), 0);
        EXPECT_EQ(commandsWith(receivedSince(*card, mark), first ? "80E5" : "00E4"), step.rollback);
        EXPECT_EQ(file(first ? kV1Cio : kV2Cio), cio);
        EXPECT_EQ(file(first ? kV1Cert : kV2Cert), cert);
        EXPECT_TRUE(objects(qualified).empty());
        EXPECT_EQ(priv->objectInfo, nullptr);
        EXPECT_EQ(pub->objectInfo, nullptr);

        // No half or key object was left: the same generation goes through, and goes again.
        auto again = privateTemplate(shape, "Qualified");
        ASSERT_EQ(driver->generateKeyPair(qualified, again.get(), nullptr, &newPrivate, nullptr), 0);
        EXPECT_EQ(objects(qualified), std::vector<GC_Object*>{newPrivate});
        ASSERT_EQ(driver->initContainer(qualified, kQualifiedPin, {}, false), 0);
    }
}

// A deactivated qualified PIN: activation finds its directory deactivated, activates it and sets
// the new PIN, which VERIFY then takes. Activated again, it answers -2200: it sets no PIN.
TEST_F(KeyManagementTest, ActivationWithANewPin) {
    if (slotBackend()) GTEST_SKIP() << "once, over PC/SC";
    struct Case {
        Personality personality;
        std::vector<std::string> sequence;  // the commands after the selections, plain
    };
    const Case cases[] = {
        {Personality::Varnel1, {"0044000000", "002C028C0631323331323300"}},
        {Personality::Varnel2, {"0044000002ADFC00", "002C038C00", "0024018C0631323331323300"}},
    };
    const Bytes fresh{'1', '2', '3', '1', '2', '3'};
    for (const Case& c : cases) {
        SCOPED_TRACE(cardsim::personalityName(c.personality));
        auto config = varnelCard(c.personality);
        config.deactivatedPins = {0x0C};
        open(config);
        auto qualified = container("Qualified");
        const size_t mark = logMark();
        ASSERT_EQ(driver->activeContainer(qualified, fresh), 0);
        EXPECT_NE(qualified->flags & GC_Container::FLAG_ACTIVE, 0u);
        const auto sent = receivedSince(*card, mark);
        EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const Received& r) { return r.response == "6283"; }), 1)
            << "the PIN's directory is found deactivated";
        std::vector<std::string> rest;
        for (const Received& r : sent)
            if (r.command.compare(0, 4, "00A4") != 0) rest.push_back(r.command);
        EXPECT_EQ(rest, c.sequence);
        std::shared_ptr<GC_Container> target = qualified;
        EXPECT_EQ(driver->session().verifyPassword(target, fresh, false, false), 0);
        EXPECT_EQ(card->pin(0x0C)->value, "123123");

        // Active now: the directory is selected, nothing else happens, and no PIN is reported set.
        const size_t again = logMark();
        qualified->flags &= ~GC_Container::FLAG_ACTIVE;
        ASSERT_EQ(driver->activeContainer(qualified, fresh), -2200);
        EXPECT_NE(qualified->flags & GC_Container::FLAG_ACTIVE, 0u);
        for (const Received& r : receivedSince(*card, again)) EXPECT_EQ(r.command.substr(0, 4), "00A4");
    }
}

// A container whose private-key directory the session did not take in (here the companion's copy
// of the directory file has that part blank) lists no key, while the card keeps its registered
// key: a generation the card refuses (6A 89) ends in that refusal, and the key stays.
TEST_F(KeyManagementTest, RegisteredKeyStaysWhenItsDirectoryWasNotRead) {
    if (slotBackend()) GTEST_SKIP() << "once, over PC/SC";
    struct Case {
        Personality personality;
        Bytes directory;  // the qualified object directory file as the layout names it
        Bytes cio;        // the same from the MF
        uint8_t key;
        std::string deletion;
    };
    const Case cases[] = {
        {Personality::Varnel1, {0x50, 0x83}, kV1Cio, 0x0C, "80E5"},
        {Personality::Varnel2, {0xAD, 0xFC, 0xDF, 0x0C, 0x50, 0x83}, kV2Cio, 0x13, "00E4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(cardsim::personalityName(c.personality));
        gctest::HubCompanion link;
        open(varnelCard(c.personality));
        const std::string prefix = gctest::hex(c.directory);
        std::string key;
        Bytes copy;
        for (const auto& [entryKey, value] : link.server.entries(name)) {
            if (entryKey.compare(0, prefix.size(), prefix) != 0) continue;
            key = entryKey;
            copy = value;
        }
        ASSERT_GE(copy.size(), 1024u);
        std::fill(copy.begin(), copy.begin() + 1024, 0x00);
        link.server.preseed(name, key, copy);
        driver = std::make_unique<TestDriver>(name, GC_CardController::CARD_GENERIC, true, nullptr);
        ASSERT_EQ(driver->performSecureConnection(kCan, 2), 0);
        reload();
        auto qualified = container("Qualified");
        ASSERT_EQ(qualified->getPrivateKey(), nullptr);

        const auto registered = card->publicKey(c.key);
        ASSERT_TRUE(registered);
        const Bytes cio = file(c.cio);
        auto priv = privateTemplate(kRsa2048, "Qualified");
        auto pub = publicTemplate("Qualified");
        GC_Object* newPrivate = nullptr;
        GC_Object* newPublic = nullptr;
        const size_t mark = logMark();
        EXPECT_NE(driver->generateKeyPair(qualified, priv.get(), pub.get(), &newPrivate, &newPublic), 0);
        EXPECT_TRUE(commandsWith(receivedSince(*card, mark), c.deletion).empty());
        EXPECT_EQ(card->publicKey(c.key), registered);
        EXPECT_EQ(file(c.cio), cio);
        containers.clear();
        driver.reset();
    }
}

// A certificate written and deleted again on both generations: the files come back byte for byte.
TEST_F(KeyManagementTest, CertificateCreatedAndDeleted) {
    if (slotBackend()) GTEST_SKIP() << "once, over PC/SC";
    const Bytes der = reference::cardFile("certs/v1_auth_p256.der");
    for (const Personality personality : {Personality::Varnel1, Personality::Varnel2}) {
        SCOPED_TRACE(cardsim::personalityName(personality));
        const bool first = personality == Personality::Varnel1;
        open(varnelCard(personality));
        auto qualified = container("Qualified");
        const Bytes cio = file(first ? kV1Cio : kV2Cio);
        const Bytes cert = file(first ? kV1Cert : kV2Cert);
        const size_t listed = objects(qualified).size();

        GC_CertObject templ;
        templ.label = "Second certificate";
        templ.ID = {0x45, 0x77};
        ASSERT_EQ(templ.setCert(der), 0);
        GC_Object* created = nullptr;
        ASSERT_EQ(driver->createObject(&templ, qualified, &created), 0);
        EXPECT_EQ(templ.objectInfo, nullptr);
        const Bytes& certFile = first ? kV1Cert : kV2Cert;
        EXPECT_EQ(created->path, Bytes(certFile.begin() + 2, certFile.end())) << "the content file, below 50 15";
        EXPECT_EQ(objects(qualified).size(), listed + 1);
        EXPECT_NE(file(first ? kV1Cio : kV2Cio), cio);
        const Bytes written = file(first ? kV1Cert : kV2Cert);
        EXPECT_NE(std::search(written.begin(), written.end(), der.begin(), der.end()), written.end());

        const size_t mark = logMark();
        ASSERT_EQ(driver->deleteObject(qualified, created), 0);
        EXPECT_TRUE(commandsWith(receivedSince(*card, mark), first ? "80E5" : "00E4").empty())
            << "a certificate has no key material";
        EXPECT_EQ(file(first ? kV1Cio : kV2Cio), cio);
        EXPECT_EQ(file(first ? kV1Cert : kV2Cert), cert);
        EXPECT_EQ(objects(qualified).size(), listed);
    }
}

// What is refused before the card: an RSA key whose modulus does not fit the reader's usable
// answer (the companion is told), a container without PIN record, missing objects, a PIN the card
// refuses.
TEST_F(KeyManagementTest, RefusalsBeforeTheCard) {
    Companion link;
    open(varnelCard(Personality::Varnel2));
    auto qualified = container("Qualified");
    auto priv = privateTemplate(kRsa2048, "Qualified");
    auto pub = publicTemplate("Qualified");
    GC_Object* newPrivate = nullptr;
    GC_Object* newPublic = nullptr;

    // 265 usable bytes under secure messaging: one short of a 2048-bit modulus and its margin.
    reader().maxApduSize = 265 + 25;
    size_t mark = logMark();
    EXPECT_EQ(driver->generateKeyPair(qualified, priv.get(), pub.get(), &newPrivate, &newPublic), -1913);
    EXPECT_TRUE(sentSince(mark).empty());
    const auto frames = link.server.frames();
    EXPECT_TRUE(std::any_of(frames.begin(), frames.end(),
                            [&](const auto& f) { return f.command == "notallow" && f.reader == name; }));
    // With exactly 266 the card is asked; it refuses (key 13 is there), and a refused first
    // command is not rolled back.
    reader().maxApduSize = 266 + 25;
    mark = logMark();
    EXPECT_NE(driver->generateKeyPair(qualified, priv.get(), pub.get(), &newPrivate, &newPublic), 0);
    auto sent = receivedSince(*card, mark);
    ASSERT_EQ(commandsWith(sent, "80E0").size(), 1u);
    EXPECT_EQ(answerTo(sent, "80E0"), "6A89");
    EXPECT_TRUE(commandsWith(sent, "00E4").empty());
    EXPECT_TRUE(card->publicKey(0x13));
    reader().maxApduSize = 2048;

    // Missing objects and a container without PIN record: nothing is sent.
    auto bare = std::make_shared<GC_Container>();
    bare->AID = qualified->AID;
    GC_CertObject cert;
    GC_Object* created = nullptr;
    mark = logMark();
    EXPECT_EQ(driver->generateKeyPair(qualified, priv.get(), pub.get(), &newPrivate, nullptr), -1102);
    EXPECT_EQ(driver->generateKeyPair(qualified, nullptr, pub.get(), &newPrivate, &newPublic), -1102);
    EXPECT_EQ(driver->generateKeyPair(qualified, pub.get(), nullptr, &newPrivate, nullptr), -1102);
    EXPECT_EQ(driver->generateKeyPair(bare, priv.get(), pub.get(), &newPrivate, &newPublic), -1102);
    EXPECT_EQ(driver->createObject(&cert, qualified, nullptr), -1102);
    EXPECT_EQ(driver->createObject(nullptr, qualified, &created), -1102);
    EXPECT_EQ(driver->createObject(&cert, bare, &created), -1102);
    EXPECT_EQ(driver->deleteObject(qualified, nullptr), -1102);
    EXPECT_EQ(driver->deleteObject(bare, qualified->getPrivateKey()), -1102);
    EXPECT_EQ(driver->activeContainer(bare, kQualifiedPin), -1102);
    // EC keys on the cards' curves only (714 is secp256k1).
    for (const auto curve : {kNoCurve, static_cast<GC_EC_Params::ec_nid>(714)}) {
        auto ec = privateTemplate({"outside the table", GC_Object::KEY_EC, curve, 256}, "Qualified");
        EXPECT_EQ(driver->generateKeyPair(qualified, ec.get(), pub.get(), &newPrivate, &newPublic), -1102);
    }
    EXPECT_EQ(driver->getLastError(), -1102);
    EXPECT_TRUE(sentSince(mark).empty());

    // A wrong PIN: only the VERIFY goes to the card.
    mark = logMark();
    EXPECT_EQ(driver->initContainer(qualified, {'9', '9', '9', '9', '9', '9'}, {}, false), -2305);
    sent = receivedSince(*card, mark);
    EXPECT_EQ(countPrefix(sent, "0020000C"), 1u);
    EXPECT_EQ(countPrefix(sent, "00D6") + countPrefix(sent, "00E4"), 0u);
    EXPECT_EQ(objects(qualified).size(), 3u);
}

// Initialisation zeroes a file of the size the card's control information gives: a size above
// what a card file can hold is refused, and nothing is written over the file.
TEST_F(KeyManagementTest, InitialisationRefusesFileSizesNoCardFileHas) {
    if (slotBackend()) GTEST_SKIP() << "once, over PC/SC";
    open(varnelCard(Personality::Varnel2));
    auto qualified = container("Qualified");
    const Bytes cio = file(kV2Cio);
    const Bytes sizes[] = {
        {0x80, 0x00},                                     // 32768
        {0x01, 0x00, 0x00},                               // 65536
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}  // 2^64 - 1
    };
    for (const Bytes& size : sizes) {
        SCOPED_TRACE(gctest::hex(size));
        card->setFileSizeItem(0x5083, size);
        EXPECT_EQ(driver->initContainer(qualified, kQualifiedPin, {}, false), -1100);
        EXPECT_EQ(file(kV2Cio), cio);
    }
}

// Key material that cannot be deleted is reported, never taken for success: by initialisation
// (which still empties the files and the container, as they no longer list anything), and by a
// forced deletion whose entry the layout could not remove (the key goes all the same).
TEST_F(KeyManagementTest, FailedKeyDeletionsAreReported) {
    if (slotBackend()) GTEST_SKIP() << "once, over PC/SC";
    open(varnelCard(Personality::Varnel2));
    auto qualified = container("Qualified");
    card->answerStatus({.ins = 0xE4}, 0x6581);
    EXPECT_EQ(driver->initContainer(qualified, kQualifiedPin, {}, false), -1100);
    EXPECT_TRUE(card->publicKey(0x13)) << "the key is still there";
    EXPECT_EQ(file(kV2Cio), Bytes(file(kV2Cio).size(), 0x00));
    EXPECT_TRUE(objects(qualified).empty());

    open(varnelCard(Personality::Varnel1));
    auto authentication = container("Authentication");
    GC_Object* key = authentication->getPrivateKey();
    const Bytes cio = file({0x50, 0x15, 0x50, 0x81});
    // The layout cannot rewrite the directory: without force nothing else happens.
    card->answerStatus({.ins = 0xD6}, 0x6581);
    size_t mark = logMark();
    EXPECT_NE(driver->session().deleteObject(authentication, key, false), 0);
    EXPECT_TRUE(commandsWith(receivedSince(*card, mark), "80E5").empty());
    EXPECT_EQ(objects(authentication).size(), 3u);
    // With force the key goes, and the layout's failure is still the result; the object stays.
    card->answerStatus({.ins = 0xD6}, 0x6581);
    mark = logMark();
    const int forced = driver->session().deleteObject(authentication, key, true);
    EXPECT_NE(forced, 0);
    EXPECT_EQ(commandsWith(receivedSince(*card, mark), "80E5"), (std::vector<std::string>{"80E5920A00", "80E5A20A00"}));
    EXPECT_EQ(file({0x50, 0x15, 0x50, 0x81}), cio);
    auto listed = objects(authentication);
    EXPECT_NE(std::find(listed.begin(), listed.end(), key), listed.end());
    // Now the entry goes; the halves are gone already: the private one is a failure, the public
    // one would not be.
    mark = logMark();
    EXPECT_EQ(driver->session().deleteObject(authentication, key, false), -2317);
    EXPECT_EQ(commandsWith(receivedSince(*card, mark), "80E5"), (std::vector<std::string>{"80E5920A00"}));
    listed = objects(authentication);
    EXPECT_EQ(std::find(listed.begin(), listed.end(), key), listed.end()) << "destroyed with its entry";

    // A public half already deleted counts as deleted.
    auto presence = container("Presence");
    Bytes response;
    ASSERT_EQ(driver->session().select({0xDF, 0x08}, nullptr, presence->AID, true), 0);
    ASSERT_EQ(driver->session().sendApdu({0x80, 0xE5, 0xA2, 0x08}, response, 0, true), 0);
    ASSERT_EQ(response, (Bytes{0x90, 0x00}));
    mark = logMark();
    EXPECT_EQ(driver->deleteObject(presence, presence->getPrivateKey()), 0);
    const auto sent = receivedSince(*card, mark);
    EXPECT_EQ(answerTo(sent, "80E5A208"), "6A88");
    EXPECT_EQ(objects(presence).size(), 2u);
}

}  // namespace
}  // namespace session_test
