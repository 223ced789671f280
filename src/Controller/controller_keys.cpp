// The card session's container, object and key operations: each a frame around the card
// controller's operation of the same name that holds the reader lock and keeps the container's
// object list in step with the card.
#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "Reader/reader.h"
#include "cache.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "Controller/controller_keys";
constexpr unsigned long kLogMask = gc_log::kController;
constexpr unsigned long kErrMask = gc_log::kController | gc_log::kError;

using namespace gc_cc;
using gc_session::kCardMissing;
using gc_session::kNoContainer;
using gc_session::kReaderMissing;

}  // namespace

int GC_Controller::keyOperationGuards(const char* func, const std::shared_ptr<GC_Container>& container) const {
    if (reader == nullptr)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kReaderMissing, "Reader is nullptr");
    if (!cardController) return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kCardMissing, "Card is nullptr");
    if (!container) return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kNoContainer, "Container is nullptr");
    return 0;
}

int GC_Controller::activeContainer(std::shared_ptr<GC_Container>& container, const std::vector<unsigned char>& pin) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = keyOperationGuards(__func__, container); rc != 0) return rc;
    if (const int rc = lockReader(); rc != 0) return GC_FAIL(kErrMask, rc, "Reader cannot lock");
    int result = cardController->activeContainer(container, pin);
    if (const int released = unlockReader(0); released != 0) return GC_FAIL(kErrMask, released, "Reader cannot unlock");
    // A lost channel is reopened once and the activation runs again; the APDU size stays. An
    // ACTIVATE that went through is not repeated: the card controller then sets only the PIN.
    if (channelLost(result) && retransmitCounter == 0) {
        retransmitCounter = 1;
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "First retransit");
        if (const int rc = restoreSecureConnection(); rc != 0) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Restore SM failed | %i", rc);
            result = kSecurityStatus;
        } else {
            result = activeContainer(container, pin);
        }
        retransmitCounter = 0;
    }
    if (result != 0) return GC_FAIL(kErrMask, result);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Controller::initContainer(std::shared_ptr<GC_Container>& container, std::vector<unsigned char> data) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = keyOperationGuards(__func__, container); rc != 0) return rc;
    if (const int rc = lockReader(); rc != 0) return GC_FAIL(kErrMask, rc, "Reader cannot lock");
    int result = cardController->initContainer(container, std::move(data));
    if (result == 0) container->clearObjectList();
    if (const int released = unlockReader(0); released != 0) return GC_FAIL(kErrMask, released, "Reader cannot unlock");
    // What the companion keeps of the card (CAN, tries left, files) no longer describes it.
    if (!GC_Cache::isDisable()) {
        if (const int rc = GC_Cache::clear(reader->getReaderName().c_str()); rc != 0)
            return GC_FAIL(kErrMask, kFailed, "Cannot clear the cache | %d", rc);
    }
    if (result != 0) return GC_FAIL(kErrMask, result);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Controller::deleteObject(std::shared_ptr<GC_Container>& container, GC_Object* object, bool force) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = keyOperationGuards(__func__, container); rc != 0) return rc;
    if (object == nullptr) return GC_FAIL(kErrMask, kBadParameter, "Object is nullptr");
    if (const int rc = lockReader(); rc != 0) return GC_FAIL(kErrMask, rc, "Cannot lock reader");
    // Asked while the object lives: the card controller takes it out of the list as it goes.
    const bool listed = container->isObject(object);
    int result = cardController->deleteObject(container, object, force);
    if (result == 0 && !listed) result = GC_FAIL(kErrMask, kBadParameter, "Object not found");
    return finishOperation(__func__, result);
}

int GC_Controller::createObject(GC_Object* object, std::shared_ptr<GC_Container> container, GC_Object** newObject) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (object == nullptr || newObject == nullptr)
        return GC_FAIL(kErrMask, kBadParameter, "Object or new object is nullptr");
    if (const int rc = keyOperationGuards(__func__, container); rc != 0) return rc;
    if (const int rc = lockReader(); rc != 0) return GC_FAIL(kErrMask, rc, "Cannot lock reader");
    int result = cardController->createObject(container, object, newObject);
    // The card holds the object even when the container refuses to list it (another auth id).
    if (result == 0) result = container->addObject(*newObject);
    return finishOperation(__func__, result);
}

int GC_Controller::generateKeyPair(std::shared_ptr<GC_Container> container, GC_Object* privateTemplate,
                                   GC_Object* publicTemplate, GC_Object** newPrivate, GC_Object** newPublic) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = keyOperationGuards(__func__, container); rc != 0) return rc;
    if (privateTemplate == nullptr) return GC_FAIL(kErrMask, kBadParameter, "Private key is nullptr");
    if (privateTemplate->type != GC_Object::TYPE_PRIVATE_KEY)
        return GC_FAIL(kErrMask, kBadParameter, "Object is not a private key");
    if (publicTemplate != nullptr && publicTemplate->type != GC_Object::TYPE_PUBLIC_KEY)
        return GC_FAIL(kErrMask, kBadParameter, "Object is not a public key");
    if (newPrivate == nullptr || (publicTemplate != nullptr && newPublic == nullptr))
        return GC_FAIL(kErrMask, kBadParameter, "Object or new object is nullptr");
    if (const int rc = lockReader(); rc != 0) return GC_FAIL(kErrMask, rc, "Cannot lock reader");
    if (publicTemplate != nullptr) {
        // The public key describes the same pair.
        const auto* key = static_cast<const GC_PrivKeyObject*>(privateTemplate);
        auto* pub = static_cast<GC_PubKeyObject*>(publicTemplate);
        pub->keyBits = key->keyBits;
        pub->ID = key->ID;
        pub->keyType = key->keyType;
        pub->curve = key->curve;
    }
    int result = cardController->generateKeyPair(container, privateTemplate, publicTemplate, newPrivate, newPublic);
    if (result == 0) result = container->addObject(*newPrivate);
    if (result == 0 && publicTemplate != nullptr) result = container->addObject(*newPublic);
    return finishOperation(__func__, result);
}
