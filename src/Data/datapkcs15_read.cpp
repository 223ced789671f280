#include "Data/Objects/certobject.h"
#include "Data/Objects/dataobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Data/datapkcs15.h"
#include "Data/datapkcs15_image.h"
#include "Data/datapkcs15_internal.h"
#include "Data/wipe.h"
#include "logger.h"

// Reading object contents (certificates, public keys, data objects) from their content files,
// and the look-ups that the read and write operations share.

using namespace gc_pkcs15;

namespace {

constexpr unsigned long kLogMask = gc_log::kData;
constexpr unsigned long kErrMask = gc_log::kError;

// Data group 3 of the travel-document application: never read.
const Bytes kPathDg3 = {0x01, 0x03};

// The first byte a content is expected to start with; 0 when any will do.
unsigned char expectedTag(GC_Object* object) {
    if (object->type == GC_Object::TYPE_CERTIFICATE) return kSequence;
    if (object->type == GC_Object::TYPE_PUBLIC_KEY) {
        switch (static_cast<GC_PubKeyObject*>(object)->keyType) {
            case GC_Object::KEY_RSA:
                return kSequence;
            case GC_Object::KEY_EC:
                return kContextA0;
            default:
                return 0;
        }
    }
    return 0;
}

}  // namespace

int GC_DataPKCS15::readObjects(std::vector<GC_Object*>& objects) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);

    // Every object is tried, so that whatever can be read is. A content the card does not have,
    // has deactivated or holds in a form that does not parse is passed over; a read that failed
    // through the card or the channel fails the call (the first such code), so that the objects
    // after it cannot hide a certificate or key that is missing.
    int failure = 0;
    const auto note = [&](int result) {
        if (failure == 0) failure = result;
    };

    for (GC_Object* object : objects) {
        if (object == nullptr || object->type == GC_Object::TYPE_PRIVATE_KEY) continue;
        if (object->path.empty()) {
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Error object path is empty");
            continue;
        }
        const unsigned char expected = expectedTag(object);

        app_info* app = nullptr;
        object_info* info = nullptr;
        int result = findObjectInfo(object, &app, &info);
        if (result != 0) {
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cannto find object info");
            note(result);
            continue;
        }

        if (object->type == GC_Object::TYPE_DATA && object->path == kPathDg3) {
            static_cast<GC_DataObject*>(object)->setData({});
            object->length = 0;
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Cannot read DG3 content");
            continue;
        }

        // The place comes from the card's directory: one beyond any card file is not read (the
        // length counts where the read takes it).
        const uint64_t length = expected == 0 ? object->length : 0;
        if (object->index > gc_cc::kLargestFile || length > gc_cc::kLargestFile) {
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Object lies beyond any card file");
            note(kNotFound);
            continue;
        }

        Bytes content;
        if (controller == nullptr) {
            note(kNoReader);
            continue;
        }
        if (expected != 0) {
            // Exactly the TLV at the index. An EC key may be stored as a plain SEQUENCE.
            result = controller->read(content, app->aid, object->path, object->index, 0, nullptr, false, true,
                                      GC_Controller::READ_EXTENDED, {expected});
            if (result == kTagNotFound && expected != kSequence) {
                gc_wipe(content);
                content.clear();
                result = controller->read(content, app->aid, object->path, object->index, 0, nullptr, false, true,
                                          GC_Controller::READ_EXTENDED, {kSequence});
            }
        } else {
            // The length the entry gives, so that content files shared by several objects give
            // each only its own bytes; to the end of the file when the entry gives none.
            result = controller->read(content, app->aid, object->path, object->index, length, nullptr, false, true,
                                      GC_Controller::READ_SELECT, {});
        }
        if (result != 0) {
            gc_wipe(content);
            content.clear();
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Error when read a file(object content) | %ld",
                             static_cast<long>(result));
            if (result != kFileNotFound && result != kFileNotActive && result != kTagNotFound) note(result);
            continue;
        }

        object->length = content.size();
        switch (object->type) {
            case GC_Object::TYPE_DATA:
                static_cast<GC_DataObject*>(object)->setData(content);
                result = 0;
                break;
            case GC_Object::TYPE_CERTIFICATE: {
                auto* cert = static_cast<GC_CertObject*>(object);
                result = cert->setCert(content);
                if (result != 0) break;
                GC_PubKeyObject* key = nullptr;
                if (findRelatedPubKey(objects, cert, &key) != 0) break;
                if (cert->cert && !key->key) result = key->setPublicKeyFromX509(cert->cert.get());
                key->getKeySize();
                break;
            }
            case GC_Object::TYPE_PUBLIC_KEY: {
                auto* key = static_cast<GC_PubKeyObject*>(object);
                result = 0;
                if (!content.empty()) {
                    result = key->setPublicKeyFromRAW(content);
                    key->getKeySize();
                }
                break;
            }
            default:
                result = 0;
                break;
        }
        gc_wipe(content);
        content.clear();
        if (result != 0) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Error when read a object contnent | %ld",
                             static_cast<long>(result));
        }
    }

    return GC_FAIL(failure == 0 ? kLogMask : kErrMask, failure);
}

int GC_DataPKCS15::findObjectInfo(GC_Object* object, app_info** app, object_info** info) {
    if (object == nullptr) return GC_FAIL(kErrMask, kNotFound, "object is null");
    for (auto it = applications.rbegin(); it != applications.rend(); ++it) {
        const auto& application = *it;
        if (!application) continue;
        for (const auto& record : application->objectInfos) {
            if (!record) continue;
            for (const auto& held : record->objects) {
                if (held.get() != object) continue;
                if (app != nullptr) *app = application.get();
                if (info != nullptr) *info = record.get();
                return 0;
            }
        }
    }
    return kNotFound;
}

int GC_DataPKCS15::findRelatedPubKey(std::vector<GC_Object*>& objects, GC_CertObject* cert, GC_PubKeyObject** out) {
    if (cert == nullptr) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kLogMask, 1, "Cert is null");
        return 1;
    }
    for (GC_Object* object : objects) {
        if (object == nullptr || object->type != GC_Object::TYPE_PUBLIC_KEY) continue;
        auto* key = static_cast<GC_PubKeyObject*>(object);
        if (key->ID != cert->ID) continue;
        if (out != nullptr) *out = key;
        return 0;
    }
    GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kLogMask, 1, "Not found pub key");
    return 1;
}
