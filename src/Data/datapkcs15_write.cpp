#include <algorithm>
#include <limits>

#include "Data/Objects/certobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Data/datapkcs15.h"
#include "Data/datapkcs15_image.h"
#include "Data/datapkcs15_internal.h"
#include "logger.h"

// Object creation: a new private-key, public-key or certificate entry appended to its
// directory, the public key or certificate appended to its content file, and the layout's copy
// of the new object.

using namespace gc_pkcs15;

namespace {

constexpr unsigned long kLogMask = gc_log::kData;
constexpr unsigned long kErrMask = gc_log::kError;

// An ID is written nested (04 L 04 L' ID); the reader takes the inner header off by its two
// bytes, so the inner length must fit one byte.
constexpr size_t kMaxNestedId = 127;

using Item = GC_ASN1::item;

Item primitive(unsigned char tag, Bytes value) {
    Item it;
    GC_ASN1::createTag(it, {tag}, std::move(value), true);
    return it;
}

Item constructed(unsigned char tag, std::vector<Item> children) {
    Item it;
    GC_ASN1::createTag(it, {tag}, {}, false);
    for (Item& child : children) GC_ASN1::addChild(it, child);
    return it;
}

// The ID as an OCTET STRING holding a complete OCTET STRING: 45 01 is written 04 04 04 02 45 01.
// An empty ID stays an empty OCTET STRING, which reads back empty (04 00 would read as 04 00).
Item nestedId(const Bytes& id) {
    Bytes value;
    if (!id.empty()) {
        value = {kOctetString, static_cast<unsigned char>(id.size())};
        value.insert(value.end(), id.begin(), id.end());
    }
    return primitive(kOctetString, std::move(value));
}

// CommonObjectAttributes: label, flags and, when wanted and not 0, the auth id.
Item commonAttributes(const GC_Object& object, bool withAuthId) {
    std::vector<Item> children;
    children.push_back(primitive(kUtf8String, GC_CommonStr::str2Bytes(object.label)));
    children.push_back(primitive(kBitString, GC_DataPKCS15::parseFlags(static_cast<unsigned long long>(object.flags))));
    if (withAuthId && object.authId != 0) children.push_back(primitive(kOctetString, {object.authId}));
    return constructed(kSequence, std::move(children));
}

// The Path SEQUENCE of an object's content: path, and for contents this layout writes the index
// and the length.
Item contentPath(const GC_Object& object, bool withPlace) {
    std::vector<Item> children;
    children.push_back(primitive(kOctetString, object.path));
    if (withPlace) {
        children.push_back(primitive(kInteger, derInteger(object.index)));
        children.push_back(primitive(kContext0, derInteger(object.length)));
    }
    return constructed(kSequence, std::move(children));
}

unsigned char keyTag(GC_Object::key_type type) {
    return type == GC_Object::KEY_RSA ? kSequence : kContextA0;
}

Item privateKeyEntry(GC_PrivKeyObject& key) {
    const int bits = key.getKeySize();
    return constructed(
        keyTag(key.keyType),
        {commonAttributes(key, true),
         constructed(kSequence,
                     {nestedId(key.ID), primitive(kBitString, GC_DataPKCS15::parseKeyUsageFlags(key.usage, true)),
                      primitive(kBitString, GC_DataPKCS15::parseKeyAccessFlags(key.access)),
                      primitive(kInteger, derInteger(key.keyReference))}),
         constructed(
             kContextA1,
             {constructed(kSequence, {contentPath(key, false),
                                      primitive(kInteger, derInteger(bits < 0 ? 0 : static_cast<uint64_t>(bits)))})})});
}

Item publicKeyEntry(GC_PubKeyObject& key) {
    const unsigned char native = (key.flags & GC_Object::FLAG_NATIVE) != 0 ? 0x01 : 0x00;
    return constructed(
        keyTag(key.keyType),
        {commonAttributes(key, true),
         constructed(
             kSequence,
             {nestedId(key.ID), primitive(kBitString, GC_DataPKCS15::parseKeyUsageFlags(key.usage, true)),
              primitive(kBoolean, {native}), primitive(kBitString, GC_DataPKCS15::parseKeyAccessFlags(key.access)),
              primitive(kInteger, derInteger(key.keyReference))}),
         constructed(kContextA1, {constructed(kSequence, {contentPath(key, true)})})});
}

Item certificateEntry(GC_CertObject& cert) {
    return constructed(kSequence, {commonAttributes(cert, false), constructed(kSequence, {nestedId(cert.ID)}),
                                   constructed(kContextA1, {constructed(kSequence, {contentPath(cert, true)})})});
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max() : a + b;
}

// Where a new content goes in a content file: behind the data of the file as read, and behind
// every object of the application that the layout knows in that file, so that nothing there is
// overwritten even when zero bytes lie between two contents.
uint64_t freeOffset(const GC_DataPKCS15::app_info& app, const Bytes& path, const Image& file, const GC_Object* self) {
    uint64_t end = file.end;
    for (const auto& record : app.objectInfos) {
        if (!record) continue;
        for (const auto& object : record->objects) {
            if (!object || object.get() == self || object->path != path) continue;
            uint64_t extent = object->length;
            if (object->index < file.data.size()) {
                extent = std::max<uint64_t>(extent, tlvSizeAt(file.data, static_cast<size_t>(object->index)));
            }
            end = std::max(end, saturatingAdd(object->index, extent));
        }
    }
    return end;
}

void copyCommon(GC_Object& to, const GC_Object& from) {
    to.type = from.type;
    to.authId = from.authId;
    to.label = from.label;
    to.path = from.path;
    to.index = from.index;
    to.length = from.length;
    to.state = from.state;
    to.flags = from.flags;
    to.flagByte = from.flagByte;
}

// The layout's own copy of a created object, with its content as written.
std::unique_ptr<GC_Object> makeCopy(GC_Object* object, const Bytes& content) {
    switch (object->type) {
        case GC_Object::TYPE_PRIVATE_KEY:
            return std::make_unique<GC_PrivKeyObject>(static_cast<GC_PrivKeyObject*>(object));
        case GC_Object::TYPE_PUBLIC_KEY: {
            auto* source = static_cast<GC_PubKeyObject*>(object);
            auto copy = std::make_unique<GC_PubKeyObject>();
            copyCommon(*copy, *source);
            copy->keyReference = source->keyReference;
            copy->ID = source->ID;
            copy->usage = source->usage;
            copy->access = source->access;
            copy->keyType = source->keyType;
            copy->keyBits = source->keyBits;
            if (!content.empty() && copy->setPublicKeyFromRAW(content) == 0) copy->getKeySize();
            return copy;
        }
        default: {
            auto* source = static_cast<GC_CertObject*>(object);
            auto copy = std::make_unique<GC_CertObject>();
            copyCommon(*copy, *source);
            copy->ID = source->ID;
            copy->setCert(content);
            return copy;
        }
    }
}

}  // namespace

int GC_DataPKCS15::createObject(GC_Object* templ, GC_Container* container, GC_Object** out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (templ == nullptr) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kNotFound, "Object is nullptr");
        return kNotFound;
    }
    if (out == nullptr) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kNotFound, "Result pointer is nullptr");
        return kNotFound;
    }

    app_info* app = nullptr;
    int result = findAppInfo(container, &app);
    if (app == nullptr) {
        GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, kNotFound, "AppInfo is nullptr | %ld",
                          static_cast<long>(result));
        return kNotFound;
    }
    std::vector<object_info*> found;
    result = findObjInfoByPath(app, templ, found);
    if (found.empty()) {
        GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, kNotFound, "Object info size is 0 | %ld",
                          static_cast<long>(result));
        return kNotFound;
    }
    object_info* target = found.front();
    const uint32_t type = templ->type;
    if (type != GC_Object::TYPE_PRIVATE_KEY && type != GC_Object::TYPE_PUBLIC_KEY &&
        type != GC_Object::TYPE_CERTIFICATE) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure, "Cannot recognize object type");
        return kGeneralFailure;
    }
    const Bytes& id = type == GC_Object::TYPE_PRIVATE_KEY  ? static_cast<GC_PrivKeyObject*>(templ)->ID
                      : type == GC_Object::TYPE_PUBLIC_KEY ? static_cast<GC_PubKeyObject*>(templ)->ID
                                                           : static_cast<GC_CertObject*>(templ)->ID;
    if (id.size() > kMaxNestedId) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure, "ID is too long");
        return kGeneralFailure;
    }
    templ->authId = container->authId;

    // The directory as it stands; it is what a failed write is put back to.
    Bytes read;
    result = readArea(controller, app->aid, target->path, target->index, target->length, read);
    if (result != 0) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Cannot read object centent");
        return result;
    }
    Image directory;
    result = parseImage(std::move(read), directory);
    if (result != 0) {
        GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure,
                          "Cannot deserialize object INFO | %i", result);
        return kGeneralFailure;
    }
    // The new object will be the last of the record and its entry the last of the directory:
    // that only holds while the record stands for the directory as it is.
    if (objectPositions(target->kind, directory.items).size() != target->objects.size()) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure,
                         "Object info data does not match the objects read");
        return kGeneralFailure;
    }

    // The content and where it goes, before anything is written.
    Bytes content;
    Image file;
    if (type == GC_Object::TYPE_PUBLIC_KEY) {
        // A key that is not known yet gives an entry without content (length 0).
        result = static_cast<GC_PubKeyObject*>(templ)->getPublicKeyBytes(content);
        if (result == -1108) {
            content.clear();
        } else if (result != 0) {
            GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Cannot get public key");
            return result;
        }
    } else if (type == GC_Object::TYPE_CERTIFICATE) {
        result = static_cast<GC_CertObject*>(templ)->getCert(content);
        if (result != 0) {
            GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Cannot get certificate");
            return result;
        }
    }
    if (type != GC_Object::TYPE_PRIVATE_KEY) {
        result = readArea(controller, app->aid, templ->path, 0, 0, read);
        if (result != 0) {
            GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Cannot read object");
            return result;
        }
        result = parseImage(std::move(read), file);
        if (result != 0) {
            GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure,
                              "Cannot deserialize object INFO | %i", result);
            return kGeneralFailure;
        }
        const uint64_t index = freeOffset(*app, templ->path, file, templ);
        if (index > file.data.size() || content.size() > file.data.size() - index) {
            GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kTooBig, "Filesize is to small, index is to big");
            return kTooBig;
        }
        templ->index = index;
        templ->length = content.size();
    }

    Item entry;
    switch (type) {
        case GC_Object::TYPE_PRIVATE_KEY:
            entry = privateKeyEntry(*static_cast<GC_PrivKeyObject*>(templ));
            break;
        case GC_Object::TYPE_PUBLIC_KEY:
            entry = publicKeyEntry(*static_cast<GC_PubKeyObject*>(templ));
            break;
        default:
            entry = certificateEntry(*static_cast<GC_CertObject*>(templ));
            break;
    }
    const Bytes encoded = GC_ASN1::serialize(entry);
    if (encoded.empty()) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure, "Data size is 0");
        return kGeneralFailure;
    }
    if (encoded.size() > directory.data.size() - directory.end) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kTooBig, "Data size is too big");
        return kTooBig;
    }

    // The entry goes behind the entries there; the entries themselves are not rewritten.
    std::vector<Write> writes;
    Bytes updated = directory.data;
    std::copy(encoded.begin(), encoded.end(), updated.begin() + static_cast<std::ptrdiff_t>(directory.end));
    addChange(writes, app->aid, target->path, target->index, directory.data, updated);
    const size_t directoryWrites = writes.size();
    if (!content.empty()) {
        updated = file.data;
        std::copy(content.begin(), content.end(), updated.begin() + static_cast<std::ptrdiff_t>(templ->index));
        addChange(writes, app->aid, templ->path, 0, file.data, updated);
    }
    if (overlapping(writes)) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure, "Object info and object share bytes");
        return kGeneralFailure;
    }

    size_t failed = 0;
    std::vector<int> restores;
    result = runWrites(controller, writes, failed, restores);
    if (result != 0) {
        // restores[0] put back the failed write, the next one the write before it.
        if (failed < directoryWrites) {
            if (!restores.empty() && restores[0] == 0) {
                GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Recovered file.");
            }
        } else {
            if (restores.size() > 1 && restores[1] == 0) {
                GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Recovered object info file.");
            }
            if (!restores.empty() && restores[0] == 0) {
                GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Recovered object data file.");
            }
        }
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Error in update function");
        return result;
    }

    std::unique_ptr<GC_Object> copy = makeCopy(templ, content);
    copy->objectInfo = target;
    *out = copy.get();
    target->objects.push_back(std::move(copy));
    // The caller lists the new object in the container: the container keeps its record.
    container->keepAlive(shareOf(app));
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_DataPKCS15::findAppInfo(GC_Container* container, app_info** app) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (container == nullptr) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kNotFound, "Container is nullptr");
        return kNotFound;
    }
    // A container without PIN names no PIN record to look for.
    const GC_Container::pin_record* pin = container->pin.get();
    if (pin == nullptr) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kNotFound, "Container has no PIN");
        return kNotFound;
    }
    // The PIN record built for the container is the surest sign; then the PIN's path,
    // reference and auth id.
    for (int pass = 0; pass < 2; ++pass) {
        for (auto it = applications.rbegin(); it != applications.rend(); ++it) {
            const auto& application = *it;
            if (!application) continue;
            for (const auto& record : application->pinInfos) {
                if (!record) continue;
                const bool match = pass == 0
                                       ? record->containerPin == pin
                                       : record->pinPath == pin->path && record->pinReference == pin->pinReference &&
                                             record->authId == container->authId;
                if (!match) continue;
                if (app != nullptr) *app = application.get();
                GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
                return 0;
            }
        }
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kErrMask, kNotFound);
    return kNotFound;
}

int GC_DataPKCS15::findObjInfoByPath(app_info* app, GC_Object* object, std::vector<object_info*>& found) {
    found.clear();
    if (app == nullptr || object == nullptr || object->objectInfo == nullptr) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kNotFound, "Param is nullptr");
        return kNotFound;
    }
    const Bytes& path = object->objectInfo->path;
    for (const auto& record : app->objectInfos) {
        if (record && record->kind == object->type && record->path == path) found.push_back(record.get());
    }
    return 0;
}
