#include "Data/Container/container.h"

#include <algorithm>

#include "Data/Objects/certobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "logger.h"
#include "security_lib.h"

namespace {

constexpr const char* kLogFile = "Data/Container/container";
constexpr unsigned long kLogMask = gc_log::kContainer;
constexpr unsigned long kErrMask = gc_log::kError;

// Hash formats of both mechanism rows: none, SHA-1, SHA-256, SHA-384, SHA-512 (not SHA-224).
constexpr uint64_t kRowHashFormats = GC_Security::HASH_NONE | GC_Security::HASH_SHA1 | GC_Security::HASH_SHA256 |
                                     GC_Security::HASH_SHA384 | GC_Security::HASH_SHA512;

// The ID of a key or certificate; null for another kind (or an object whose class does not
// match its type code).
const std::vector<unsigned char>* objectId(GC_Object* object) {
    if (object == nullptr) return nullptr;
    switch (object->type) {
        case GC_Object::TYPE_PRIVATE_KEY:
            if (auto* key = dynamic_cast<GC_PrivKeyObject*>(object)) return &key->ID;
            return nullptr;
        case GC_Object::TYPE_PUBLIC_KEY:
            if (auto* key = dynamic_cast<GC_PubKeyObject*>(object)) return &key->ID;
            return nullptr;
        case GC_Object::TYPE_CERTIFICATE:
            if (auto* cert = dynamic_cast<GC_CertObject*>(object)) return &cert->ID;
            return nullptr;
        default:
            return nullptr;
    }
}

bool contains(const std::string& text, const char* word) {
    return text.find(word) != std::string::npos;
}

}  // namespace

GC_Container::~GC_Container() = default;

void GC_Container::buildFromPin(uint8_t pinAuthId, const std::string& pinLabel, uint8_t pinReference,
                                const std::vector<unsigned char>& pinPath, uint64_t minLength, uint64_t maxLength) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    pin = std::make_unique<pin_record>();
    pin->encoding = 1;
    pin->pinReference = pinReference;
    pin->path = pinPath;
    pin->minLength = minLength;
    pin->maxLength = maxLength;
    pin->triesLimit = 3;

    authId = pinAuthId;
    flags = 0;
    if (authId != 0) flags |= FLAG_AUTH_ID;
    if (contains(pinLabel, "PUK")) {
        flags &= ~FLAG_AUTH_ID;
        flags |= FLAG_PUK;
    }
    if (minLength == 0 && maxLength == 0) flags |= FLAG_NO_LENGTH;

    const uint8_t qualified = contains(pinLabel, "Qualified") ? 1 : 0;
    if (pinLabel == "Qualified") {
        auto rsa = std::make_shared<mechanism_info>();
        rsa->mechanism = MECHANISM_RSA;
        rsa->minKeyBits = 1024;
        rsa->maxKeyBits = 2048;
        rsa->hashFormats = kRowHashFormats;
        rsa->paddings = GC_Security::PAD_NONE | GC_Security::PAD_PKCS1_V15;
        rsa->capabilities = {0, 0, 1, 1};
        rsa->noLength = 0;
        rsa->qualified = qualified;
        addMechanism(rsa);
    }
    auto ec = std::make_shared<mechanism_info>();
    ec->mechanism = MECHANISM_EC;
    ec->minKeyBits = 224;
    ec->maxKeyBits = 521;
    ec->hashFormats = kRowHashFormats;
    ec->paddings = GC_Security::PAD_NONE;
    ec->capabilities = {0, 0, 1, 1};
    ec->noLength = (flags & FLAG_NO_LENGTH) != 0 ? 1 : 0;
    ec->qualified = qualified;
    addMechanism(ec);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

int GC_Container::addObjects(std::vector<GC_Object*> objects) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    // Objects of other PINs are left out on purpose: that is how they are sorted into containers.
    for (GC_Object* object : objects) addObject(object);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Container::addObject(GC_Object* object) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (object == nullptr || object->authId != authId) {
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, -1102);
        return -1102;
    }
    objects_.push_back(object);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Container::deleteObject(GC_Object* object) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const auto found = std::find(objects_.begin(), objects_.end(), object);
    if (found == objects_.end()) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, -1102, "Object not found");
        return -1102;
    }
    objects_.erase(found);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

bool GC_Container::isObject(GC_Object* object) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const bool found = object != nullptr && std::find(objects_.begin(), objects_.end(), object) != objects_.end();
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, found ? 1 : 0);
    return found;
}

void GC_Container::getObjects(std::vector<GC_Object*>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out = objects_;
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

GC_Object* GC_Container::getPrivateKey() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    for (GC_Object* object : objects_) {
        if (object->type == GC_Object::TYPE_PRIVATE_KEY) {
            GC_LoggerC::retPtr(__func__, kLogFile, __LINE__, false, kLogMask);
            return object;
        }
    }
    GC_LoggerC::retPtr2(__func__, kLogFile, __LINE__, true, kLogMask, "Not found priv key");
    return nullptr;
}

GC_Object* GC_Container::getPrivateKeyByGUID(std::vector<unsigned char> guid) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (guid.empty()) {
        GC_LoggerC::retPtr2(__func__, kLogFile, __LINE__, true, kLogMask, "GUID is empty");
        return nullptr;
    }
    for (GC_Object* object : objects_) {
        if (object->type != GC_Object::TYPE_PRIVATE_KEY) continue;
        const std::vector<unsigned char>* id = objectId(object);
        if (id != nullptr && *id == guid) {
            GC_LoggerC::retPtr(__func__, kLogFile, __LINE__, false, kLogMask);
            return object;
        }
    }
    GC_LoggerC::retPtr2(__func__, kLogFile, __LINE__, true, kLogMask, "Not found priv key");
    return nullptr;
}

void GC_Container::collectRelated(std::vector<GC_Object*>& out, uint32_t collected, GC_Object* other,
                                  uint32_t expected) {
    // An argument that is null or of another kind selects every object of the collected kind.
    const std::vector<unsigned char>* wanted =
        (other != nullptr && other->type == expected) ? objectId(other) : nullptr;
    const bool all = other == nullptr || other->type != expected;
    for (GC_Object* object : objects_) {
        if (object->type != collected) continue;
        if (all) {
            out.push_back(object);
            continue;
        }
        const std::vector<unsigned char>* id = objectId(object);
        if (wanted != nullptr && id != nullptr && *id == *wanted) out.push_back(object);
    }
}

void GC_Container::getPrivateKeyRelatedWithCert(std::vector<GC_Object*>& out, GC_Object* cert) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    collectRelated(out, GC_Object::TYPE_PRIVATE_KEY, cert, GC_Object::TYPE_CERTIFICATE);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

void GC_Container::getPrivateKeyRelatedWithPubKey(std::vector<GC_Object*>& out, GC_Object* pubKey) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    collectRelated(out, GC_Object::TYPE_PRIVATE_KEY, pubKey, GC_Object::TYPE_PUBLIC_KEY);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

void GC_Container::getPubKeyRelatedWithCert(std::vector<GC_Object*>& out, GC_Object* cert) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    collectRelated(out, GC_Object::TYPE_PUBLIC_KEY, cert, GC_Object::TYPE_CERTIFICATE);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

void GC_Container::getPubKeyRelatedWithPrivKey(std::vector<GC_Object*>& out, GC_Object* privKey) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    collectRelated(out, GC_Object::TYPE_PUBLIC_KEY, privKey, GC_Object::TYPE_PRIVATE_KEY);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

void GC_Container::getCerts(std::vector<GC_Object*>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    for (GC_Object* object : objects_) {
        if (object->type == GC_Object::TYPE_CERTIFICATE) out.push_back(object);
    }
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

void GC_Container::clearObjectList() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    objects_.clear();
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

void GC_Container::keepAlive(std::shared_ptr<const void> owner) {
    if (!owner) return;
    for (const auto& kept : owners_)
        if (kept == owner) return;
    owners_.push_back(std::move(owner));
}

std::vector<std::shared_ptr<GC_Container::mechanism_info>> GC_Container::getSupportedMechanism() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return mechanisms_;
}

void GC_Container::addMechanism(std::shared_ptr<GC_Container::mechanism_info> mechanism) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    mechanisms_.push_back(std::move(mechanism));
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

void GC_Container::findParentContainer(std::shared_ptr<GC_Container> container,
                                       std::vector<std::shared_ptr<GC_Container>> containers,
                                       std::shared_ptr<GC_Container>& parent) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    parent.reset();
    if (!container || container->parentPin == nullptr) {
        GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
        return;
    }
    // By reference, not by identity: the first container with that PIN reference wins.
    const uint8_t reference = container->parentPin->pinReference;
    for (const std::shared_ptr<GC_Container>& candidate : containers) {
        if (candidate && candidate->pin && candidate->pin->pinReference == reference) {
            parent = candidate;
            break;
        }
    }
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}
