// Container discovery on the first card generation. The card has no EF.DIR and no ODF read by
// the layout: the signature application keeps its TokenInfo and its PINs (AODF) at fixed file
// identifiers, one object directory file per PIN chosen by the PIN's label (three fixed regions:
// private keys, public keys, certificates), and the travel-document application a list of its
// data objects. The result has the shape of the PKCS#15 layout's own discovery: application
// records handed to the layout and one container per PIN, plus one for the travel document.
#include <string>

#include "CardController/cardcontroller_varnel_1_0.h"
#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Data/Objects/certobject.h"
#include "Data/Objects/dataobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Data/datapkcs15.h"
#include "Data/datapkcs15_internal.h"
#include "asn1.h"
#include "common.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/cardcontroller_varnel_1_0_discovery";
constexpr unsigned long kLogMask = gc_log::kCardController;
constexpr unsigned long kErrMask = gc_log::kCardController | gc_log::kError;

using gc_cc::kFailed;
using gc_cc::kOk;
using Bytes = std::vector<unsigned char>;
using AppInfo = GC_DataPKCS15::app_info;
using ObjectInfo = GC_DataPKCS15::object_info;
using PinInfo = GC_DataPKCS15::pin_info;
using Containers = std::vector<std::shared_ptr<GC_Container>>;

const Bytes kSignatureAid{0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x4E};
const Bytes kLdsAid{0xA0, 0x00, 0x00, 0x02, 0x47, 0x10, 0x01};
const char* const kAppLabel = "ChipDoc";
const char* const kCardDescription = "PKCS#15 Card";
const char* const kLdsLabel = "eMRTD";
const Bytes kOdf{0x50, 0x31};  // recorded, never read
const Bytes kTokenInfo{0x50, 0x32};
const Bytes kAodf{0x52, 0x00};
const Bytes kLdsList{0x53, 0x00};

// The object directory file of a PIN, by its label; the other labels (the PUK's included) have
// no object directories.
struct DirectoryRow {
    const char* label;
    Bytes file;
};
const DirectoryRow kDirectories[] = {
    {.label = "Authentication", .file = {0x50, 0x81}},
    {.label = "Presence", .file = {0x50, 0x88}},
    {.label = "Authorization", .file = {0x50, 0x82}},
    {.label = "Qualified", .file = {0x50, 0x83}},
};

// The three fixed regions of every object directory file.
struct RegionRow {
    uint64_t offset;
    uint64_t length;
    uint32_t kind;
};
constexpr RegionRow kRegions[] = {
    {.offset = 0, .length = 1024, .kind = GC_DataPKCS15::KIND_PRIVATE_KEYS},
    {.offset = 1024, .length = 1024, .kind = GC_DataPKCS15::KIND_PUBLIC_KEYS},
    {.offset = 2048, .length = 1024, .kind = GC_DataPKCS15::KIND_CERTIFICATES},
};

// The data objects that every travel document has, added when the list does not name them.
struct DefaultObject {
    const char* label;
    Bytes path;
};
const DefaultObject kDefaultObjects[] = {
    {.label = "SOD", .path = {0x01, 0x1D}},
    {.label = "COM", .path = {0x01, 0x1E}},
};

using gc_pkcs15::kContext0;
using gc_pkcs15::kContextA1;
using gc_pkcs15::kInteger;
using gc_pkcs15::kOctetString;
using gc_pkcs15::kSequence;
using gc_pkcs15::kUtf8String;

std::unique_ptr<ObjectInfo> objectInfo(const Bytes& path, uint64_t offset, uint64_t length, uint32_t kind) {
    auto info = std::make_unique<ObjectInfo>();
    info->path = path;
    info->index = offset;
    info->length = length;
    info->kind = kind;
    return info;
}

// A whole file of an application; forced: select the application anew.
int readWhole(GC_Controller* controller, const Bytes& aid, const Bytes& fid, bool forced, Bytes& out) {
    return controller->read(out, aid, fid, 0, 0, nullptr, forced, true, GC_Controller::READ_SELECT, {});
}

// One PIN entry of the AODF; false for an entry without its two attribute sequences or without
// PIN lengths (the lengths decide whether a PIN is checked at all).
bool readPinEntry(const GC_ASN1::item& entry, PinInfo& pin) {
    const std::vector<GC_ASN1::item> attributes = gc_pkcs15::findAll(entry, {kSequence, kSequence});
    const std::vector<GC_ASN1::item> lengths = gc_pkcs15::findAll(entry, {kSequence, kContextA1, kSequence, kInteger});
    if (attributes.size() < 2 || lengths.empty()) return false;
    pin.label = gc_pkcs15::textAt(attributes[0], {kSequence, kUtf8String});
    pin.parentAuthId = gc_pkcs15::byteAt(attributes[0], {kSequence, kOctetString});
    pin.authId = gc_pkcs15::byteAt(attributes[1], {kSequence, kOctetString});
    pin.minLength = byte2ULong(lengths.front().value, true, 0);
    pin.maxLength = byte2ULong(lengths.back().value, true, 0);
    pin.pinReference = gc_pkcs15::byteAt(entry, {kSequence, kContextA1, kSequence, kContext0});
    pin.aodfPath = kAodf;
    pin.status = 1;
    return true;
}

const Bytes* directoryOf(const std::string& label) {
    for (const DirectoryRow& row : kDirectories)
        if (label == row.label) return &row.file;
    return nullptr;
}

// Certificates and public keys belong to the PIN of the key with the same ID: a certificate
// without owner takes its public key's, and a private key gives its owner to both.
void propagateOwners(const std::vector<GC_Object*>& objects) {
    for (GC_Object* key : objects) {
        const bool privateKey = key->type == GC_Object::TYPE_PRIVATE_KEY;
        if (!privateKey && key->type != GC_Object::TYPE_PUBLIC_KEY) continue;
        const Bytes& keyId = *gc_pkcs15::idOf(key);
        for (GC_Object* other : objects) {
            const bool certificate = other->type == GC_Object::TYPE_CERTIFICATE;
            if (!certificate && !(privateKey && other->type == GC_Object::TYPE_PUBLIC_KEY)) continue;
            if (!privateKey && other->authId != 0) continue;
            if (*gc_pkcs15::idOf(other) == keyId) other->authId = key->authId;
        }
    }
}

// Objects that no PIN owns belong to no container: they go (data objects never have an owner).
void dropUnowned(GC_DataPKCS15& layout, AppInfo& app) {
    const std::vector<GC_Object*> objects = layout.getAllObjects(&app);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "all objects before: %zu", objects.size());
    for (GC_Object* object : objects) {
        if (object->type == GC_Object::TYPE_DATA || object->authId != 0) continue;
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Delete object with id= 0 from app info");
        for (const auto& info : app.objectInfos) GC_DataPKCS15::deleteObjectFromObjectInfo(object, info.get());
    }
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "all objects after: %zu",
                     layout.getAllObjects(&app).size());
}

std::shared_ptr<GC_Container> signatureContainer(const AppInfo& app, const PinInfo& pin) {
    auto container = std::make_shared<GC_Container>();
    container->version = app.version;
    container->version2 = app.version;
    container->serialNumber = app.serialNumber;
    container->manufacturer = GC_CommonStr::byte2Str(app.manufacturer);
    container->appLabel = kAppLabel;
    container->cardDescription = kCardDescription;
    container->label = app.tokenLabel.empty() ? pin.label : app.tokenLabel + " (" + pin.label + ")";
    container->AID = app.aid;
    // The first generation addresses its PINs by reference only: no PIN path.
    container->buildFromPin(pin.authId, pin.label, pin.pinReference, {}, pin.minLength, pin.maxLength);
    return container;
}

// A PIN's parent is the PIN whose authId is the PIN's parent authId; the link goes to a container
// of this discovery, whatever the caller's list held before.
void linkParents(const AppInfo& app, const Containers& built) {
    for (const auto& pin : app.pinInfos) {
        const PinInfo* parent = nullptr;
        for (const auto& candidate : app.pinInfos) {
            if (candidate->authId == pin->parentAuthId) {
                parent = candidate.get();
                break;
            }
        }
        if (parent == nullptr) continue;
        for (const auto& container : built) {
            if (container->authId == pin->authId) {
                container->parentPin = parent->containerPin;
                break;
            }
        }
    }
}

// The length of a travel-document entry: the BER form 81 xx or 82 xx xx in which the card writes
// long lengths, otherwise an unsigned INTEGER. A BER form with the wrong byte count gives 0
// (unknown: the object is read to the end of its file).
uint64_t entryLength(const Bytes& value) {
    if (!value.empty() && (value[0] == 0x81 || value[0] == 0x82)) {
        if (value.size() != 1u + (value[0] & 0x0Fu)) return 0;
        return byte2ULong(Bytes(value.begin() + 1, value.end()), true, 0);
    }
    return byte2ULong(value, true, 0);
}

std::unique_ptr<GC_DataObject> dataObject(const std::string& label, const Bytes& path, uint64_t offset, uint64_t length,
                                          ObjectInfo* info) {
    auto object = std::make_unique<GC_DataObject>();
    object->authId = 0;
    object->label = label;
    object->path = path;
    object->index = offset;
    object->length = length;
    object->state = GC_Object::STATE_FROM_CARD;
    object->flags = 0;
    object->objectInfo = info;
    return object;
}

}  // namespace

int GC_CardControllerVarnel_1_0::getContainers(std::vector<std::shared_ptr<GC_Container>>& containers) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (const int rc = getPKCS15(containers); rc != kOk) return GC_FAIL(kErrMask, rc);
    return controller->statusContainers(containers, false);
}

int GC_CardControllerVarnel_1_0::getPKCS15(std::vector<std::shared_ptr<GC_Container>>& containers) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    auto* layout = dynamic_cast<GC_DataPKCS15*>(data.get());
    if (layout == nullptr) return GC_FAIL(kErrMask, kFailed, "Data is nullptr");
    layout->startDiscovery();

    auto app = std::make_shared<AppInfo>();
    app->label = kAppLabel;
    app->aid = kSignatureAid;
    app->path = kSignatureAid;
    app->tokenInfoPath = kTokenInfo;
    app->odfPath = kOdf;

    // TokenInfo: the first access of the run selects the application anew.
    Bytes content;
    if (const int rc = readWhole(controller, app->aid, kTokenInfo, true, content); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when reading tokenInfo");
    std::vector<GC_ASN1::item> items;
    if (const int rc = GC_ASN1::deserialize(items, content, true); rc != 0)
        return GC_FAIL(kErrMask, rc, "Error when deserialize a file content | %d", rc);
    GC_ASN1::item field;
    GC_ASN1::getData(items, {kSequence, kInteger}, field);
    app->version = field.value;
    GC_ASN1::getData(items, {kSequence, kOctetString}, field);
    app->serialNumber = field.value;
    GC_ASN1::getData(items, {kSequence, kUtf8String}, field);
    app->manufacturer = field.value;
    GC_ASN1::getData(items, {kSequence, kContext0}, field);
    app->tokenLabel = GC_CommonStr::byte2Str(field.value);

    content.clear();
    if (const int rc = readWhole(controller, app->aid, kAodf, false, content); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when read auth object info");
    if (const int rc = GC_ASN1::deserialize(items, content, true); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when deserialize a file contnet | %d", rc);
    for (const GC_ASN1::item& entry : items) {
        auto pin = std::make_unique<PinInfo>();
        if (!readPinEntry(entry, *pin)) return GC_FAIL(kErrMask, kFailed, "ASN1 error");
        app->pinInfos.push_back(std::move(pin));
    }

    app->objectInfos.push_back(objectInfo(kAodf, 0, 0, GC_DataPKCS15::KIND_AUTH_OBJECTS));
    for (const auto& pin : app->pinInfos) {
        // A label of no known PIN names no directory: that PIN has no objects.
        const Bytes* directory = directoryOf(pin->label);
        if (directory == nullptr) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "No object directory for the PIN %s",
                             pin->label.c_str());
            continue;
        }
        for (const RegionRow& region : kRegions)
            app->objectInfos.push_back(objectInfo(*directory, region.offset, region.length, region.kind));
    }
    // The regions may name files a card does not have; any other failed read fails the
    // discovery, or a container would go without the keys it has.
    if (const int rc = layout->parseObjects(app.get(), GC_DataPKCS15::SKIP_MISSING_FILES); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when parse object");
    propagateOwners(layout->getAllObjects(app.get()));
    dropUnowned(*layout, *app);

    const std::vector<GC_Object*> objects = layout->getAllObjects(app.get());
    Containers built;
    for (const auto& pin : app->pinInfos) {
        auto container = signatureContainer(*app, *pin);
        container->addObjects(objects);
        container->keepAlive(app);
        pin->containerPin = container->pin.get();
        built.push_back(container);
    }
    linkParents(*app, built);
    containers.insert(containers.end(), built.begin(), built.end());
    layout->appendApplication(std::move(app));

    return readTravelDocument(containers);
}

int GC_CardControllerVarnel_1_0::readTravelDocument(std::vector<std::shared_ptr<GC_Container>>& containers) {
    auto* layout = static_cast<GC_DataPKCS15*>(data.get());
    auto lds = std::make_shared<AppInfo>();
    lds->label = kAppLabel;
    lds->aid = kLdsAid;
    lds->path = kLdsAid;

    Bytes content;
    if (const int rc = readWhole(controller, lds->aid, kLdsList, false, content); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when read 53 00 file");
    std::vector<GC_ASN1::item> items;
    if (const int rc = GC_ASN1::deserialize(items, content, true); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when deserialize a file contnet | %d", rc);

    auto info = objectInfo(kLdsList, 0, 0, GC_DataPKCS15::KIND_DATA_OBJECTS);
    for (const GC_ASN1::item& entry : items) {
        if (entry.tag != Bytes{kSequence}) continue;
        Bytes path = gc_pkcs15::bytesAt(entry, {kSequence, kContextA1, kSequence, kOctetString});
        // A path from the MF (3F 00 01 1E) names the file by its last identifier.
        if (path.size() >= 3) path.erase(path.begin(), path.end() - 2);
        info->objects.push_back(dataObject(
            gc_pkcs15::textAt(entry, {kSequence, kSequence, kUtf8String}), path,
            gc_pkcs15::numberAt(entry, {kSequence, kContextA1, kSequence, kInteger}),
            entryLength(gc_pkcs15::bytesAt(entry, {kSequence, kContextA1, kSequence, kContext0})), info.get()));
    }
    for (const DefaultObject& object : kDefaultObjects) {
        bool listed = false;
        for (const auto& held : info->objects) listed = listed || held->label == object.label;
        if (!listed) info->objects.push_back(dataObject(object.label, object.path, 0, 0, info.get()));
    }
    lds->objectInfos.push_back(std::move(info));

    auto container = std::make_shared<GC_Container>();
    container->AID = lds->aid;
    container->appLabel = kAppLabel;
    container->label = kLdsLabel;
    container->cardDescription = kCardDescription;
    container->addObjects(layout->getAllObjects(lds.get()));
    container->keepAlive(lds);
    layout->appendApplication(std::move(lds));
    containers.push_back(container);
    GC_LoggerC::ret1("getPKCS15", kLogFile, __LINE__, kLogMask, kOk);
    return kOk;
}
