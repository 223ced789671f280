// Objects of a container on the card of either generation: where a new object goes, creating and
// deleting objects with their key material, and the steps key-pair generation shares.
#include <algorithm>
#include <string>

#include "CardController/cardcontroller_varnel.h"
#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Data/datapkcs15.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/cardcontroller_varnel";
constexpr unsigned long kLogMask = gc_log::kCardController;
constexpr unsigned long kErrMask = gc_log::kCardController | gc_log::kError;

using namespace gc_cc;

void dropStatusWord(std::vector<uint8_t>& response) {
    if (response.size() >= 2) response.resize(response.size() - 2);
}

// The transport's failure as the key and object operations report it.
int transportFailure(int rc) {
    return rc == kWarning ? kWarning : kFailed;
}

// Points the object at the object directory file `path` while the layout writes its entry: the
// layout picks the directory record of the object's kind with that path.
class DirectoryLink {
public:
    DirectoryLink(GC_Object* object, const std::vector<uint8_t>& path) : object_(object) {
        directory_.path = path;
        object_->objectInfo = &directory_;
    }
    ~DirectoryLink() { object_->objectInfo = nullptr; }
    DirectoryLink(const DirectoryLink&) = delete;
    DirectoryLink& operator=(const DirectoryLink&) = delete;

private:
    GC_Object* object_;
    GC_PKCS15ObjectInfo directory_;
};

// The command sets' key types of the nine curves.
struct CurveRow {
    GC_EC_Params::ec_nid curve;
    GC_Card::key_type type;
};
constexpr CurveRow kCurves[] = {
    {.curve = GC_EC_Params::secp224r1, .type = GC_Card::KEY_SECP224R1},
    {.curve = GC_EC_Params::prime256v1, .type = GC_Card::KEY_PRIME256V1},
    {.curve = GC_EC_Params::secp384r1, .type = GC_Card::KEY_SECP384R1},
    {.curve = GC_EC_Params::secp521r1, .type = GC_Card::KEY_SECP521R1},
    {.curve = GC_EC_Params::brainpoolP224r1, .type = GC_Card::KEY_BRAINPOOLP224R1},
    {.curve = GC_EC_Params::brainpoolP256r1, .type = GC_Card::KEY_BRAINPOOLP256R1},
    {.curve = GC_EC_Params::brainpoolP320r1, .type = GC_Card::KEY_BRAINPOOLP320R1},
    {.curve = GC_EC_Params::brainpoolP384r1, .type = GC_Card::KEY_BRAINPOOLP384R1},
    {.curve = GC_EC_Params::brainpoolP512r1, .type = GC_Card::KEY_BRAINPOOLP512R1},
};

}  // namespace

GC_DataPKCS15* GC_CardControllerVarnel::layout() const {
    return dynamic_cast<GC_DataPKCS15*>(data.get());
}

std::string GC_CardControllerVarnel::pinLabel(const GC_Container& container) {
    const GC_DataPKCS15* pkcs15 = layout();
    const GC_DataPKCS15::pin_info* entry = pkcs15 != nullptr ? pkcs15->findPinInfo(&container) : nullptr;
    if (entry == nullptr) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "No PIN entry for %s", container.label.c_str());
        return {};
    }
    return entry->label;
}

int GC_CardControllerVarnel::keyCommand(const std::vector<uint8_t>& command, GC_Card::operation op,
                                        std::vector<uint8_t>& response, bool& transport) {
    response.clear();
    transport = false;
    if (const int rc = controller->sendApdu(command, response, 0, true); rc != kOk) {
        transport = true;
        return rc;
    }
    if (response.size() >= 2 && response[response.size() - 2] == 0x6A && response.back() == 0x89) keyObjectFound = true;
    const int rc = checkSW(op, response);
    dropStatusWord(response);
    return rc;
}

int GC_CardControllerVarnel::deleteKeyHalf(uint8_t keyReference, GC_Object::key_type keyType, bool privateHalf,
                                           delete_stage& stage) {
    std::vector<uint8_t> command;
    if (card->deleteObject(keyReference, static_cast<int>(keyType), privateHalf, command) != 0) {
        stage = delete_stage::build;
        return kFailed;
    }
    std::vector<uint8_t> response;
    bool transport = false;
    const int rc = keyCommand(command, GC_Card::OP_DELETE, response, transport);
    stage = rc == kOk ? delete_stage::done : transport ? delete_stage::send : delete_stage::answer;
    return transport ? transportFailure(rc) : rc;
}

int GC_CardControllerVarnel::createObject(std::shared_ptr<GC_Container>& container, GC_Object* templ, GC_Object** out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    if (templ == nullptr || out == nullptr) return GC_FAIL(kErrMask, kBadParameter, "Object is nullptr");
    key_places places;
    if (const int rc = keyPlaces(__func__, *container, places); rc != kOk) return rc;
    if (!layout()) return GC_FAIL(kErrMask, kFailed, "Data is nullptr");

    // Data objects have no place of their own here.
    std::vector<uint8_t> directory;
    const uint32_t type = templ->type;
    if (type == GC_Object::TYPE_PRIVATE_KEY || type == GC_Object::TYPE_PUBLIC_KEY ||
        type == GC_Object::TYPE_CERTIFICATE) {
        if (places.known) templ->path = type == GC_Object::TYPE_PRIVATE_KEY ? places.keyDirectory : places.contentPath;
        directory = places.objectDirectory;
    }
    int rc = kOk;
    {
        const DirectoryLink link(templ, directory);
        rc = data->createObject(templ, container.get(), out);
    }
    if (rc != kOk) return GC_FAIL(kErrMask, rc, "Error when creating object");
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, kOk);
    return kOk;
}

int GC_CardControllerVarnel::deleteObject(std::shared_ptr<GC_Container>& container, GC_Object* object, bool force) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    if (object == nullptr) return GC_FAIL(kErrMask, kBadParameter, "Object is nullptr");
    key_places places;
    if (const int rc = keyPlaces(__func__, *container, places); rc != kOk) return rc;

    // The layout destroys the object: what the key deletion needs is taken first.
    const bool privateKey = object->type == GC_Object::TYPE_PRIVATE_KEY;
    const std::vector<uint8_t> keyPath = object->path;
    uint8_t keyReference = 0;
    auto keyType = static_cast<GC_Object::key_type>(0);
    if (privateKey) {
        const auto* key = static_cast<const GC_PrivKeyObject*>(object);
        keyReference = key->keyReference;
        keyType = key->keyType;
    }
    // The container never lists an object the layout has destroyed: it leaves the list first and
    // comes back when the layout keeps it.
    const bool listed = container->deleteObject(object) == kOk;
    const int removed = data->deleteObject(object);
    if (removed != kOk && listed) container->addObject(object);
    object = nullptr;
    if (removed == kOk && !privateKey) {
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, kOk);
        return kOk;
    }
    if (removed != kOk && !(privateKey && force)) return GC_FAIL(kErrMask, removed, "Error when deleting object");

    if (const int rc = select(container->AID, keyPath, selectsApplicationFirst(), nullptr); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when selecting key path");
    if (const int rc = deleteKeyMaterial(keyReference, keyType); rc != kOk) return GC_FAIL(kErrMask, rc);
    // A forced deletion removed the key material; the layout's failure is still the caller's to know.
    if (removed != kOk) return GC_FAIL(kErrMask, removed, "Key deleted, the object's entry was not");
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, kOk);
    return kOk;
}

int GC_CardControllerVarnel::registerKeyPair(std::shared_ptr<GC_Container>& container, const key_places& places,
                                             GC_Object* privateTemplate, GC_Object* publicTemplate,
                                             const std::vector<uint8_t>& publicKey, GC_Object** privateOut,
                                             GC_Object** publicOut) {
    if (publicTemplate != nullptr) {
        auto* pub = static_cast<GC_PubKeyObject*>(publicTemplate);
        if (places.known) pub->path = places.contentPath;
        pub->keyReference = container->pin->pinReference;
        if (publicKey.empty()) return GC_FAIL(kErrMask, kFailed, "Response size is zero");
        if (pub->setPublicKeyFromRAW(publicKey) != 0)
            return GC_FAIL(kErrMask, kFailed, "Cennot set a public key from raw");
    }
    int rc = kOk;
    {
        const DirectoryLink link(privateTemplate, places.objectDirectory);
        rc = data->createObject(privateTemplate, container.get(), privateOut);
    }
    if (rc != kOk) return GC_FAIL(kErrMask, rc, "Cannot create object public or priv key");
    if (publicTemplate == nullptr) return kOk;
    {
        const DirectoryLink link(publicTemplate, places.objectDirectory);
        rc = data->createObject(publicTemplate, container.get(), publicOut);
    }
    if (rc != kOk) {
        // Without its public key the private one is not registered either.
        if (const int removed = data->deleteObject(*privateOut); removed != kOk)
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Cannot remove the private key | %d", removed);
        *privateOut = nullptr;
        return GC_FAIL(kErrMask, rc, "Cannot create object public or priv key");
    }
    return kOk;
}

int GC_CardControllerVarnel::deleteGeneratedKey(const char* func, std::shared_ptr<GC_Container>& container,
                                                GC_Object::key_type keyType, bool privateHalf) {
    if (const int rc = pinGuards(func, container, true); rc != kOk) return rc;
    key_places places;
    if (const int rc = keyPlaces(func, *container, places); rc != kOk) return rc;
    // A rollback runs after whatever made the generation fail: a channel lost on the way is
    // reopened, and the deletion made again from the selection on.
    delete_stage stage = delete_stage::done;
    int rc = kOk;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0) {
            if (const int restored = controller->restoreSecureConnection(); restored != kOk)
                return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, rc, "Restore SM failed | %d", restored);
        }
        rc = select(container->AID, places.keyDirectory, selectsApplicationFirst(), nullptr);
        if (rc == kOk) rc = deleteKeyHalf(generatedKeyReference(*container), keyType, privateHalf, stage);
        if (rc != kSecurityStatus && rc != kCardReset) break;
    }
    if (rc == kOk || rc == kDataNotFound) return kOk;
    if (stage == delete_stage::build)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, rc,
                                "Error in create delete object command | error : %ld", static_cast<long>(rc));
    return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, rc, "Error when deleting key material");
}

int GC_CardControllerVarnel::keyListedOnCard(std::shared_ptr<GC_Container>& container, const key_places& places,
                                             uint8_t reference, bool& listed) {
    listed = false;
    GC_DataPKCS15* pkcs15 = layout();
    GC_DataPKCS15::app_info* app = nullptr;
    if (pkcs15 == nullptr || pkcs15->findAppInfo(container.get(), &app) != kOk)
        return GC_FAIL(kErrMask, kFailed, "No application for the container");
    bool seen = false;
    for (const auto& info : app->objectInfos) {
        if (!info || info->kind != GC_DataPKCS15::KIND_PRIVATE_KEYS || info->path != places.objectDirectory) continue;
        size_t size = 0;
        if (const int rc = select(container->AID, info->path, selectsApplicationFirst(), &size); rc != kOk)
            return GC_FAIL(kErrMask, rc, "Cannot select the private key directory");
        size_t count = info->length;
        if (size != 0) {
            if (info->index >= size) return GC_FAIL(kErrMask, kFailed, "Private key directory beyond its file");
            const size_t rest = size - info->index;
            count = count == 0 ? rest : std::min<size_t>(count, rest);
        }
        if (count == 0) return GC_FAIL(kErrMask, kFailed, "Private key directory of unknown length");
        std::vector<uint8_t> content;
        if (const int rc = read(content, info->index, count); rc != kOk)
            return GC_FAIL(kErrMask, rc, "Cannot read the private key directory");
        std::vector<uint8_t> references;
        if (const int rc = GC_DataPKCS15::privateKeyReferences(content, references); rc != kOk)
            return GC_FAIL(kErrMask, rc, "Private key directory does not parse");
        for (const uint8_t entry : references) listed = listed || sameKeyMaterial(entry, reference);
        seen = true;
    }
    if (!seen) return GC_FAIL(kErrMask, kFailed, "No private key directory for the container");
    return kOk;
}

int GC_CardControllerVarnel::generateOverLeftovers(std::shared_ptr<GC_Container>& container,
                                                   const std::function<int()>& attempt) {
    keyObjectFound = false;
    const int rc = attempt();
    if (rc == kOk || !keyObjectFound || container->getPrivateKey() != nullptr) return rc;
    // The container may lack a key whose directory could not be read: only the card's own
    // directory tells material nobody registered from a registered key.
    key_places places;
    if (keyPlaces(__func__, *container, places) != kOk) return rc;
    const uint8_t reference = generatedKeyReference(*container);
    bool listed = true;
    if (keyListedOnCard(container, places, reference, listed) != kOk || listed)
        return GC_FAIL(kErrMask, rc, "The key at the reference is not known to be a leftover");
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Key material left by a failed generation is deleted");
    if (select(container->AID, places.keyDirectory, selectsApplicationFirst(), nullptr) != kOk) return rc;
    deleteLeftoverKey(reference);
    return attempt();
}

int GC_CardControllerVarnel::keyPairGuards(const char* func, const std::shared_ptr<GC_Container>& container,
                                           const GC_Object* privateTemplate, const GC_Object* publicTemplate,
                                           GC_Object** privateOut, GC_Object** publicOut,
                                           GC_Card::key_type& type) const {
    auto fail = [&](int code, const char* text) {
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, code, "%s", text);
    };
    if (controller == nullptr) return fail(kFailed, "Controller is nullptr");
    if (!card) return fail(kFailed, "Card is nullptr");
    if (!container) return fail(kFailed, "Container is nullptr");
    if (privateTemplate == nullptr) return fail(kFailed, "Private key is nullptr");
    if (!container->pin) return fail(kBadParameter, "Container pin is nullptr");
    if (privateTemplate->type != GC_Object::TYPE_PRIVATE_KEY) return fail(kBadParameter, "Object is not a private key");
    if (publicTemplate != nullptr && publicTemplate->type != GC_Object::TYPE_PUBLIC_KEY)
        return fail(kBadParameter, "Object is not a public key");
    if (privateOut == nullptr || (publicTemplate != nullptr && publicOut == nullptr))
        return fail(kBadParameter, "Object or new object is nullptr");

    const auto* key = static_cast<const GC_PrivKeyObject*>(privateTemplate);
    if (key->keyType != GC_Object::KEY_EC) {
        type = GC_Card::KEY_RSA;
        return kOk;
    }
    const auto* row =
        std::find_if(std::begin(kCurves), std::end(kCurves), [&](const CurveRow& r) { return r.curve == key->curve; });
    if (row == std::end(kCurves)) return fail(kBadParameter, "Wrong EC type");
    type = row->type;
    return kOk;
}
