#include "Data/datapkcs15.h"

#include <array>

#include "Data/Objects/certobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Data/datapkcs15_internal.h"
#include "logger.h"

// Discovery: EF.DIR, TokenInfo and ODF of every application, and the containers built from them.

using namespace gc_pkcs15;

namespace {

constexpr unsigned long kLogMask = gc_log::kData;
constexpr unsigned long kErrMask = gc_log::kError;

const std::vector<unsigned char> kMasterFile = {0x3F, 0x00};
const std::vector<unsigned char> kEfDir = {0x2F, 0x00};

// ODF entry tags in the order their directories are recorded, with the kind each gives.
struct OdfKind {
    unsigned char tag;
    uint32_t kind;
};
constexpr std::array<OdfKind, 5> kOdfKinds = {{
    {0xA0, GC_DataPKCS15::KIND_PRIVATE_KEYS},
    {0xA1, GC_DataPKCS15::KIND_PUBLIC_KEYS},
    {0xA4, GC_DataPKCS15::KIND_CERTIFICATES},
    {0xA7, GC_DataPKCS15::KIND_DATA_OBJECTS},
    {0xA8, GC_DataPKCS15::KIND_AUTH_OBJECTS},
}};

// The first item that path reaches in the list of top-level items.
GC_ASN1::item findIn(const std::vector<GC_ASN1::item>& items, const std::vector<unsigned char>& path) {
    GC_ASN1::item out;
    GC_ASN1::getData(items, path, out);
    return out;
}

}  // namespace

const std::vector<unsigned char>* gc_pkcs15::idOf(GC_Object* object) {
    switch (object->type) {
        case GC_Object::TYPE_PRIVATE_KEY:
            return &static_cast<GC_PrivKeyObject*>(object)->ID;
        case GC_Object::TYPE_PUBLIC_KEY:
            return &static_cast<GC_PubKeyObject*>(object)->ID;
        case GC_Object::TYPE_CERTIFICATE:
            return &static_cast<GC_CertObject*>(object)->ID;
        default:
            return nullptr;
    }
}

GC_DataPKCS15::GC_DataPKCS15(GC_Controller* controller) : GC_Data(controller) {}

GC_DataPKCS15::~GC_DataPKCS15() {
    while (!applications.empty()) applications.pop_back();
}

int GC_DataPKCS15::getContainers(std::vector<std::shared_ptr<GC_Container>>& containers) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    startDiscovery();

    std::vector<unsigned char> dir;
    int result = readFile(controller, dir, kMasterFile, kEfDir, 0, 0, true);
    if (result != 0) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Error when read file 2F00");
        return result;
    }
    std::vector<GC_ASN1::item> records;
    result = GC_ASN1::deserialize(records, dir, true);
    if (result != 0) {
        GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure,
                          "Error when deserialize a file content | %ld", static_cast<long>(result));
        return kGeneralFailure;
    }

    for (const GC_ASN1::item& record : records) {
        auto app = std::make_shared<app_info>();
        app->aid = bytesAt(record, pathFrom(record, {0x4F}));
        app->label = textAt(record, pathFrom(record, {0x50}));
        app->path = bytesAt(record, pathFrom(record, {0x51}));
        app->odfPath = bytesAt(record, pathFrom(record, {0x73, kSequence, kOctetString}));
        app->tokenInfoPath = bytesAt(record, pathFrom(record, {0x73, kContextA0, kOctetString}));

        // A failed application is dropped with everything built for it; the containers and
        // records of the applications before it stay.
        result = readApplication(app.get());
        if (result != 0) {
            GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kErrMask, result);
            return result;
        }

        // Certificates and public keys belong to the PIN of the private key with the same ID.
        const std::vector<GC_Object*> objects = getAllObjects(app.get());
        for (GC_Object* key : objects) {
            if (key->type != GC_Object::TYPE_PRIVATE_KEY) continue;
            const std::vector<unsigned char>& keyId = *idOf(key);
            for (GC_Object* other : objects) {
                if (other->type != GC_Object::TYPE_CERTIFICATE && other->type != GC_Object::TYPE_PUBLIC_KEY) continue;
                if (*idOf(other) == keyId) other->authId = key->authId;
            }
        }

        buildContainers(app, containers);
        applications.push_back(std::move(app));
    }

    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_DataPKCS15::readApplication(app_info* app) {
    std::vector<unsigned char> content;
    int result = readFile(controller, content, app->path, app->tokenInfoPath, 0, 0, true);
    if (result != 0) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Error when read file");
        return result;
    }
    std::vector<GC_ASN1::item> items;
    result = GC_ASN1::deserialize(items, content, true);
    if (result != 0) {
        GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure,
                          "Error when deserialize a file contnet | %ld", static_cast<long>(result));
        return kGeneralFailure;
    }
    app->version = findIn(items, {kSequence, kInteger}).value;
    app->serialNumber = findIn(items, {kSequence, kOctetString}).value;
    app->manufacturer = findIn(items, {kSequence, kUtf8String}).value;
    app->tokenLabel = GC_CommonStr::byte2Str(findIn(items, {kSequence, kContext0}).value);

    content.clear();
    result = readFile(controller, content, app->aid, app->odfPath, 0, 0, false);
    if (result != 0) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Error when read file");
        return result;
    }
    result = GC_ASN1::deserialize(items, content, true);
    if (result != 0) {
        GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure,
                          "Error when deserialize a file contnet | %ld", static_cast<long>(result));
        return kGeneralFailure;
    }
    // All directories of one kind before those of the next, each kind in its ODF order.
    for (const OdfKind& odf : kOdfKinds) {
        std::vector<GC_ASN1::item> entries;
        GC_ASN1::getData(items, {odf.tag}, entries);
        for (const GC_ASN1::item& entry : entries) {
            auto info = std::make_unique<object_info>();
            info->path = bytesAt(entry, {odf.tag, kSequence, kOctetString});
            info->index = numberAt(entry, {odf.tag, kSequence, kInteger});
            info->length = numberAt(entry, {odf.tag, kSequence, kContext0});
            info->kind = odf.kind;
            app->objectInfos.push_back(std::move(info));
        }
    }

    result = parseAuthObjects(app);
    if (result != 0) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Error when parse auth object");
        return result;
    }
    result = parseObjects(app);
    if (result != 0) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Error when parse object");
        return result;
    }
    return 0;
}

void GC_DataPKCS15::buildContainers(const std::shared_ptr<app_info>& app,
                                    std::vector<std::shared_ptr<GC_Container>>& containers) {
    const std::vector<GC_Object*> objects = getAllObjects(app.get());

    if (app->pinInfos.empty()) {
        // No PIN: one container for the objects that carry no authId, without mechanisms.
        auto container = std::make_shared<GC_Container>();
        container->label = app->label;
        container->appLabel = app->label;
        container->AID = app->aid;
        container->version = app->version;
        container->version2 = app->version;
        container->serialNumber = app->serialNumber;
        container->manufacturer = GC_CommonStr::byte2Str(app->manufacturer);
        container->addObjects(objects);
        container->keepAlive(app);
        containers.push_back(container);
        return;
    }

    // This application's containers, in PIN order, for the parent links below.
    std::vector<GC_Container*> built;
    for (const auto& pin : app->pinInfos) {
        auto container = std::make_shared<GC_Container>();
        container->AID = app->aid;
        container->appLabel = app->label;
        container->label = app->tokenLabel.empty() ? pin->label : app->tokenLabel + " (" + pin->label + ")";
        container->version = app->version;
        container->version2 = app->version;
        container->serialNumber = app->serialNumber;
        container->manufacturer = GC_CommonStr::byte2Str(app->manufacturer);
        container->buildFromPin(pin->authId, pin->label, pin->pinReference, pin->pinPath, pin->minLength,
                                pin->maxLength);
        container->addObjects(objects);
        container->keepAlive(app);
        containers.push_back(container);
        pin->containerPin = container->pin.get();
        built.push_back(container.get());
    }

    // A PIN's parent is the PIN of the same application whose authId is the PIN's parent
    // authId; the link goes to this application's first container of the PIN's authId, never to
    // a container of another application. A parent authId of 0 means that there is no parent.
    for (const auto& pin : app->pinInfos) {
        if (pin->parentAuthId == 0) continue;
        pin_info* parent = nullptr;
        for (const auto& candidate : app->pinInfos) {
            if (candidate->authId == pin->parentAuthId) {
                parent = candidate.get();
                break;
            }
        }
        if (parent == nullptr) continue;
        for (GC_Container* container : built) {
            if (container->authId == pin->authId) {
                container->parentPin = parent->containerPin;
                break;
            }
        }
    }
}

void GC_DataPKCS15::startDiscovery() {
    applications.clear();
}

GC_DataPKCS15::app_info* GC_DataPKCS15::appendApplication(std::shared_ptr<app_info> app) {
    if (!app) return nullptr;
    applications.push_back(std::move(app));
    return applications.back().get();
}

std::shared_ptr<GC_DataPKCS15::app_info> GC_DataPKCS15::shareOf(const app_info* app) const {
    for (const auto& held : applications)
        if (held.get() == app) return held;
    return nullptr;
}

std::vector<GC_Object*> GC_DataPKCS15::getAllObjects(app_info* app) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::vector<GC_Object*> objects;
    for (const auto& info : app->objectInfos) {
        for (const auto& object : info->objects) objects.push_back(object.get());
    }
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return objects;
}
