#include "Data/Objects/certobject.h"
#include "Data/Objects/dataobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Data/datapkcs15.h"
#include "Data/datapkcs15_internal.h"
#include "logger.h"

// Object directories (PrKDF, PuKDF, CDF, DODF): one card object per usable entry.

using namespace gc_pkcs15;

namespace {

constexpr unsigned long kLogMask = gc_log::kData;
constexpr unsigned long kErrMask = gc_log::kError;

const std::vector<unsigned char> kPath0103 = {0x01, 0x03};

// As many bits as the largest card file holds: no key stated by the card is larger.
constexpr uint64_t kBitsOfLargestFile = uint64_t{gc_cc::kLargestFile} * 8;

// An ID as stored: some writers wrap it in an inner OCTET STRING header (04 L), which is dropped
// when the content is at least 3 bytes long and starts with 04.
std::vector<unsigned char> idAt(const GC_ASN1::item& it, const std::vector<unsigned char>& path) {
    std::vector<unsigned char> id = bytesAt(it, path);
    if (id.size() >= 3 && id[0] == kOctetString) id.erase(id.begin(), id.begin() + 2);
    return id;
}

// What private-key and public-key entries have in common.
struct KeyEntry {
    GC_Object::key_type keyType = static_cast<GC_Object::key_type>(0);
    std::string label;
    uint64_t flags = 0;
    uint8_t authId = 0;
    uint64_t userConsent = 0;
    uint8_t keyReference = 0;
    std::vector<unsigned char> id;
    uint64_t usage = 0;
    uint64_t access = 0;
    std::vector<unsigned char> path;
    uint64_t index = 0;
    uint64_t length = 0;
    uint64_t keyBits = 0;
};

// Reads one key entry: tag 30 (RSA) or A0 (EC) with its common object attributes (L0), its
// common key attributes (L1) and its type attributes [1]. False for an unusable entry.
bool readKeyEntry(const char* func, const GC_ASN1::item& entry, KeyEntry& key) {
    if (entry.tag.empty()) {
        GC_LoggerC::log(func, kLogFile, __LINE__, kErrMask, "ASN1 error");
        return false;
    }
    if (entry.tag[0] == kContextA0) {
        key.keyType = GC_Object::KEY_EC;
    } else if (entry.tag[0] == kSequence) {
        key.keyType = GC_Object::KEY_RSA;
    } else {
        GC_LoggerC::log(func, kLogFile, __LINE__, kErrMask, "Invalid key type");
        return false;
    }
    const std::vector<GC_ASN1::item> attributes = findAll(entry, pathFrom(entry, {kSequence}));
    if (attributes.size() < 2) {
        GC_LoggerC::log(func, kLogFile, __LINE__, kErrMask, "ASN1 error");
        return false;
    }
    const GC_ASN1::item& common = attributes[0];
    const GC_ASN1::item& keyAttributes = attributes[1];

    key.label = textAt(common, {kSequence, kUtf8String});
    key.flags = GC_DataPKCS15::parseFlags(bytesAt(common, {kSequence, kBitString}));
    key.authId = byteAt(common, {kSequence, kOctetString});
    key.userConsent = byteAt(common, {kSequence, kInteger});

    key.keyReference = byteAt(keyAttributes, {kSequence, kInteger});
    key.id = idAt(keyAttributes, {kSequence, kOctetString});
    const std::vector<GC_ASN1::item> bitStrings = findAll(keyAttributes, {kSequence, kBitString});
    if (!bitStrings.empty()) key.usage = GC_DataPKCS15::parseKeyUsageFlags(bitStrings[0].value);
    if (bitStrings.size() > 1) key.access = GC_DataPKCS15::parseKeyAccessFlags(bitStrings[1].value);
    const std::vector<unsigned char> native = bytesAt(keyAttributes, {kSequence, kBoolean});
    if (!native.empty() && native[0] == 0x01) key.flags |= GC_Object::FLAG_NATIVE;

    key.path = bytesAt(entry, pathFrom(entry, {kContextA1, kSequence, kSequence, kOctetString}));
    key.index = numberAt(entry, pathFrom(entry, {kContextA1, kSequence, kSequence, kInteger}));
    key.length = numberAt(entry, pathFrom(entry, {kContextA1, kSequence, kSequence, kContext0}));
    // A size above what a card file could hold is no key's: it reads as unknown.
    key.keyBits = numberAt(entry, pathFrom(entry, {kContextA1, kSequence, kInteger}));
    if (key.keyBits > kBitsOfLargestFile) key.keyBits = 0;
    return true;
}

// The fields that private-key and public-key objects take alike from their entry.
template <typename KeyObject>
void takeKeyFields(const KeyEntry& fields, KeyObject& key) {
    key.keyType = fields.keyType;
    key.label = fields.label;
    key.flags = fields.flags;
    key.authId = fields.authId;
    key.ID = fields.id;
    key.usage = fields.usage;
    key.access = fields.access;
    key.path = fields.path;
    key.index = fields.index;
    key.length = fields.length;
    key.keyBits = fields.keyBits;
    key.state = GC_Object::STATE_FROM_CARD;
}

}  // namespace

int GC_DataPKCS15::parseObjects(app_info* app, parse_failure rule) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (app == nullptr) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure, "AppInfo is nullptr");
        return kGeneralFailure;
    }

    int result = 0;
    for (const auto& info : app->objectInfos) {
        if (info->kind == KIND_AUTH_OBJECTS) continue;

        std::vector<unsigned char> content;
        const int read = readFile(controller, content, app->aid, info->path, info->index, info->length, false);
        if (read == kFileNotActive) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "File not active | %ld", static_cast<long>(read));
            continue;
        }
        if (read == kFileNotFound && rule == SKIP_MISSING_FILES) {
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "No such directory on the card");
            continue;
        }
        if (read != 0) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Error when read a object | %ld",
                             static_cast<long>(read));
            if (result == 0) result = read;
            continue;
        }
        std::vector<GC_ASN1::item> entries;
        const int parsed = GC_ASN1::deserialize(entries, content, true);
        if (parsed != 0) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Error when deserialize a file contnet | %i",
                             parsed);
            continue;
        }

        switch (info->kind) {
            case KIND_PRIVATE_KEYS:
                parsePrivateKeys(app, info.get(), entries);
                break;
            case KIND_PUBLIC_KEYS:
                parsePublicKeys(info.get(), entries);
                break;
            case KIND_CERTIFICATES:
                parseCertificates(info.get(), entries);
                break;
            case KIND_DATA_OBJECTS:
                parseDataObjects(info.get(), entries);
                break;
            default:
                GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Invalid object type");
                break;
        }
    }

    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, result == 0 ? kLogMask : kErrMask, result);
    return result;
}

void GC_DataPKCS15::parsePrivateKeys(app_info* app, object_info* info, const std::vector<GC_ASN1::item>& entries) {
    for (const GC_ASN1::item& entry : entries) {
        KeyEntry fields;
        if (!readKeyEntry("parseObjects", entry, fields)) continue;
        auto key = std::make_unique<GC_PrivKeyObject>();
        takeKeyFields(fields, *key);
        key->userConsent = fields.userConsent;
        key->keyReference = fields.keyReference;
        key->pinReference = id2ref(key->authId, app);
        if (key->pinReference != 0) key->state |= GC_Object::STATE_PIN_REFERENCE;
        key->objectInfo = info;
        info->objects.push_back(std::move(key));
    }
}

void GC_DataPKCS15::parsePublicKeys(object_info* info, const std::vector<GC_ASN1::item>& entries) {
    for (const GC_ASN1::item& entry : entries) {
        KeyEntry fields;
        if (!readKeyEntry("parseObjects", entry, fields)) continue;
        auto key = std::make_unique<GC_PubKeyObject>();
        takeKeyFields(fields, *key);
        key->objectInfo = info;
        info->objects.push_back(std::move(key));
    }
}

void GC_DataPKCS15::parseCertificates(object_info* info, const std::vector<GC_ASN1::item>& entries) {
    for (const GC_ASN1::item& entry : entries) {
        // Only X.509 certificates (a SEQUENCE entry with common object and common certificate
        // attributes) are taken; other certificate kinds are passed over, and the entries
        // after them are still read.
        const std::vector<GC_ASN1::item> attributes = findAll(entry, {kSequence, kSequence});
        if (attributes.size() < 2) {
            GC_LoggerC::log("parseObjects", kLogFile, __LINE__, kErrMask, "Certificate is not X.509");
            continue;
        }
        const GC_ASN1::item& common = attributes[0];
        auto cert = std::make_unique<GC_CertObject>();
        cert->label = textAt(common, {kSequence, kUtf8String});
        cert->flags = parseFlags(bytesAt(common, {kSequence, kBitString}));
        cert->authId = byteAt(common, {kSequence, kOctetString});
        cert->ID = idAt(attributes[1], {kSequence, kOctetString});
        cert->path = bytesAt(entry, {kSequence, kContextA1, kSequence, kSequence, kOctetString});
        cert->index = numberAt(entry, {kSequence, kContextA1, kSequence, kSequence, kInteger});
        cert->length = numberAt(entry, {kSequence, kContextA1, kSequence, kSequence, kContext0});
        cert->state = GC_Object::STATE_FROM_CARD;
        cert->objectInfo = info;
        info->objects.push_back(std::move(cert));
    }
}

void GC_DataPKCS15::parseDataObjects(object_info* info, const std::vector<GC_ASN1::item>& entries) {
    for (const GC_ASN1::item& entry : entries) {
        auto data = std::make_unique<GC_DataObject>();
        data->authId = 0;
        data->label = textAt(entry, {kSequence, kSequence, kUtf8String});
        data->path = bytesAt(entry, {kSequence, kContextA1, kSequence, kOctetString});
        data->index = numberAt(entry, {kSequence, kContextA1, kSequence, kInteger});
        data->length = numberAt(entry, {kSequence, kContextA1, kSequence, kContext0});
        data->state = GC_Object::STATE_FROM_CARD;
        if (data->path == kPath0103) data->state |= GC_Object::STATE_DATA_0103;
        data->objectInfo = info;
        info->objects.push_back(std::move(data));
    }
}

int GC_DataPKCS15::privateKeyReferences(const std::vector<unsigned char>& content, std::vector<uint8_t>& references) {
    references.clear();
    std::vector<GC_ASN1::item> entries;
    if (const int parsed = GC_ASN1::deserialize(entries, content, true); parsed != 0) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Error when deserialize a file contnet | %i", parsed);
        return kGeneralFailure;
    }
    for (const GC_ASN1::item& entry : entries) {
        KeyEntry fields;
        if (!readKeyEntry(__func__, entry, fields)) return kGeneralFailure;
        references.push_back(fields.keyReference);
    }
    return 0;
}
