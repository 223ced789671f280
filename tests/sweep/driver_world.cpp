#include "driver_world.h"

#include "Data/Container/container.h"
#include "Data/Objects/certobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Reader/reader.h"
#include "factory.h"
#include "test_util.h"
#include "token_road.h"

namespace sweep {

namespace {

using Pin = std::vector<uint8_t>;

Pin pin(const char* text) {
    return Pin(text, text + std::char_traits<char>::length(text));
}

std::unique_ptr<GC_PrivKeyObject> privateTemplate() {
    auto key = std::make_unique<GC_PrivKeyObject>();
    key->label = "Qualified key";
    key->ID = {0x45, 0x99};
    key->usage = GC_PrivKeyObject::USAGE_SIGN;
    key->flags = GC_Object::FLAG_PRIVATE;
    key->keyType = GC_Object::KEY_EC;
    key->curve = GC_EC_Params::prime256v1;
    key->keyBits = 256;
    return key;
}

std::unique_ptr<GC_PubKeyObject> publicTemplate() {
    auto key = std::make_unique<GC_PubKeyObject>();
    key->label = "Qualified public key";
    key->usage = GC_PrivKeyObject::USAGE_SIGN;
    return key;
}

int generate(DriverWorld& world) {
    auto priv = privateTemplate();
    auto pub = publicTemplate();
    GC_Object* newPrivate = nullptr;
    GC_Object* newPublic = nullptr;
    return world.driver().generateKeyPair(world.container("Qualified"), priv.get(), pub.get(), &newPrivate, &newPublic);
}

int createCertificate(DriverWorld& world) {
    GC_CertObject certificate;
    certificate.label = "Second certificate";
    certificate.ID = {0x45, 0x77};
    if (certificate.setCert(cardsim::test::dataFile("certs/v1_auth_p256.der").value_or(Bytes{})) != 0) return -1;
    GC_Object* created = nullptr;
    return world.driver().createObject(&certificate, world.container("Qualified"), &created);
}

int deleteQualifiedKey(DriverWorld& world) {
    std::shared_ptr<GC_Container> qualified = world.container("Qualified");
    GC_Object* key = qualified ? qualified->getPrivateKey() : nullptr;
    // Gone from the card's directory already: nothing is left to delete there.
    if (key == nullptr) return 0;
    return world.driver().deleteObject(qualified, key);
}

int blockQualifiedPin(DriverWorld& world) {
    for (int attempt = 0; attempt < 3; ++attempt)
        world.driver().verifyPassword(world.container("Qualified"), pin("999999"), false);
    return 0;
}

int unblockQualifiedPin(DriverWorld& world) {
    if (const int rc = world.driver().verifyPassword(world.container("Qualified"), pin("12345678"), true); rc != 0)
        return rc;
    return world.driver().unblockPassword(world.container("Qualified"), pin("343434"), true);
}

int noPreparation(DriverWorld&) {
    return 0;
}

int activateQualified(DriverWorld& world) {
    return world.driver().activeContainer(world.container("Qualified"), pin("343434"));
}

int initialiseQualified(DriverWorld& world) {
    return world.driver().initContainer(world.container("Qualified"), pin("333333"), {}, false);
}

const char* never(Fault, cardsim::Personality) {
    return nullptr;
}

}  // namespace

const std::vector<WriteOperation>& writeOperations() {
    using cardsim::Personality;
    static const std::vector<WriteOperation> all = {
        {"change PIN", noPreparation,
         [](DriverWorld& w) {
             return w.driver().changePassword(w.container("Authentication"), pin("111111"), pin("121212"), false);
         },
         never, nullptr},
        {"unblock PIN", blockQualifiedPin, unblockQualifiedPin,
         [](Fault, Personality personality) {
             return personality == Personality::Varnel2
                        ? "the second generation unblocks in two commands: retry counter reset, new PIN not set yet"
                        : nullptr;
         },
         nullptr},
        {"initialise container", noPreparation, initialiseQualified,
         [](Fault, Personality) { return "initialisation is not transactional"; }, nullptr},
        {"generate key pair", initialiseQualified, generate,
         [](Fault fault, Personality) {
             return fault == Fault::Removal ? "the card pulled before the rollback could take the key back" : nullptr;
         },
         [](DriverWorld& w) {
             // A key registered before the card went away stays the container's: start over.
             if (const int rc = initialiseQualified(w); rc != 0) return rc;
             return generate(w);
         }},
        {"create object", noPreparation, createCertificate,
         [](Fault fault, Personality) {
             return fault == Fault::Removal ? "the card pulled between the directory entry and the content" : nullptr;
         },
         nullptr},
        {"delete object", noPreparation, deleteQualifiedKey,
         [](Fault, Personality) { return "deletion is not transactional: the entry goes first"; }, nullptr},
        {"activate container", noPreparation, activateQualified,
         // A lost channel is reopened within the call, and the new PIN set on it.
         [](Fault fault, Personality) {
             return fault == Fault::Plain6988 ? nullptr
                                              : "ACTIVATE cannot be undone: the new PIN is then set by unblock";
         },
         unblockQualifiedPin, [](cardsim::CardConfig& config) { config.deactivatedPins = {0x0C}; }, true},
    };
    return all;
}

cardsim::CardConfig writeCard(cardsim::Personality personality) {
    cardsim::CardConfig config;
    config.personality = personality;
    config.keySeed = {'s', 'w', 'e', 'e', 'p'};
    return config;
}

void forgetLearnedSize(const std::string& readerName) {
    GC_Reader* reader = GC_Factory::createReader(readerName);
    if (reader == nullptr) return;
    reader->maxApduSize = 200;
    reader->extendedApdu = false;
    reader->apduSizeFixed = false;
}

SlotHolder::SlotHolder(cardsim::CardConfig config, const std::string& slot)
    : slotName_(slot), card_(std::move(config)), slots_(std::make_shared<ctk::mem::SlotManager>()) {
    ctk::SlotManager::setDefaultManager(slots_);
    slotCard_ = std::make_shared<SlotCard>(card_, slots_, slotName_);
    slotCard_->insert();
    GC_Factory::addDriver(GC_Factory::READER_CTK);
    GC_Factory::getReadersList(false);
    forgetLearnedSize(slotName_);
}

SlotHolder::~SlotHolder() {
    slotCard_->discard();
    ctk::SlotManager::resetDefaultManager();
}

bool SlotHolder::reinsert() {
    slotCard_->pull();
    slotCard_->insert();
    return true;
}

DriverWorld::DriverWorld(CardHolder& holder) : holder_(holder) {}

DriverWorld::~DriverWorld() {
    containers_.clear();
    driver_.reset();
}

int DriverWorld::open() {
    containers_.clear();
    driver_.reset();
    driver_ = std::make_unique<Driver>(holder_.readerName(), GC_CardController::CARD_GENERIC, true, nullptr);
    if (driver_->getLastError() != 0) return static_cast<int>(driver_->getLastError());
    if (const int rc = driver_->performSecureConnection({'1', '2', '3', '4', '5', '6'}, 2); rc != 0) return rc;
    if (const int rc = driver_->getContainers(containers_, true); rc != 0) return rc;
    return driver_->loadContainers(containers_, true);
}

int DriverWorld::reinsert() {
    containers_.clear();
    driver_.reset();
    if (!holder_.reinsert()) return -1;
    return open();
}

int DriverWorld::sign(const std::string& word, const char* pinText) {
    std::shared_ptr<GC_Container> signer = container(word);
    if (!signer) return -1102;
    GC_Object* key = signer->getPrivateKey();
    GC_CertObject* certificate = nullptr;
    std::vector<GC_Object*> objects;
    signer->getObjects(objects);
    for (GC_Object* object : objects)
        if (object->type == GC_Object::TYPE_CERTIFICATE) certificate = static_cast<GC_CertObject*>(object);
    Bytes der;
    if (key == nullptr || certificate == nullptr || certificate->getCert(der) != 0) return -1102;
    if (const int rc = driver_->verifyPassword(signer, pin(pinText), false); rc != 0) return rc;
    const Bytes digest(32, 0x5A);
    const bool ec = static_cast<GC_PrivKeyObject*>(key)->keyType == GC_Object::KEY_EC;
    Bytes signature;
    const int rc =
        driver_->signatureData(signer, key, digest, ec ? Driver::EC_SHA256 : Driver::RSA_PKCS1_SHA256, signature);
    driver_->logoutPassword(signer, false);
    if (rc != 0) return rc;
    return verifies(der, digest, signature) ? 0 : 1;
}

std::shared_ptr<GC_Container> DriverWorld::container(const std::string& word) const {
    for (const auto& c : containers_)
        if (c->label.find(word) != std::string::npos) return c;
    return nullptr;
}

}  // namespace sweep
