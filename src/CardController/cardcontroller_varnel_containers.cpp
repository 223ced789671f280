// The qualified container's life on the card of either generation: activation of its PIN with a
// new value, and initialisation (files zeroed, key material deleted, objects dropped).
#include <string>
#include <vector>

#include "CardController/cardcontroller_varnel.h"
#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Data/datapkcs15.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/cardcontroller_varnel";
constexpr unsigned long kLogMask = gc_log::kCardController;
constexpr unsigned long kErrMask = gc_log::kCardController | gc_log::kError;

using namespace gc_cc;

// The certificate file of the qualified container, selected after its object directory file.
const std::vector<uint8_t> kCertificateFile{0x57, 0x83};

int succeed(const char* func, int line) {
    GC_LoggerC::ret1(func, kLogFile, line, kLogMask, kOk);
    return kOk;
}

}  // namespace

int GC_CardControllerVarnel::qualifiedGuards(const char* func, std::shared_ptr<GC_Container>& container) {
    if (const int rc = pinGuards(func, container, true); rc != kOk) return rc;
    if (pinLabel(*container).find("Qualified") == std::string::npos)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kBadParameter,
                                "Cannot init container other than Qualified");
    return kOk;
}

int GC_CardControllerVarnel::activeContainer(std::shared_ptr<GC_Container>& container,
                                             const std::vector<uint8_t>& pin) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = qualifiedGuards(__func__, container); rc != kOk) return rc;
    if (alwaysActive(*container)) return succeed(__func__, __LINE__);

    const std::vector<uint8_t> directory = pinDirectory(*container);
    const bool activatedHere =
        pinToSet && pinToSet->aid == container->AID && pinToSet->reference == container->pin->pinReference;
    const int selected = select(container->AID, directory, false, nullptr);
    if (selected == kOk) {
        container->flags |= GC_Container::FLAG_ACTIVE;
        // Activated by this session (its answer to ACTIVATE may have been lost): the PIN is left.
        if (activatedHere) return installActivatedPin(container, pin);
        // Nothing tells whether its PIN is the one asked for; activation does not set it.
        return GC_FAIL(kErrMask, kAlreadyActive, "PIN directory is active already: its PIN is set by unblock");
    }
    if (selected != kFileDeactivated) return GC_FAIL(kErrMask, selected, "Error when selecting PIN directory");

    // The directory just selected is the one to activate (the second generation names it).
    std::vector<uint8_t> command;
    if (card->activePassword(command, directory) != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when geting activete command");
    // From here on the card may have done it, and that cannot be undone.
    pinToSet = activated_pin{.aid = container->AID, .reference = container->pin->pinReference};
    std::vector<uint8_t> response;
    bool transport = false;
    if (const int rc = keyCommand(command, GC_Card::OP_ACTIVATE, response, transport); rc != kOk) {
        if (transport)
            return GC_FAIL(kErrMask, rc == kWarning ? kWarning : kFailed, "Error when transmiting activete command");
        pinToSet.reset();
        container->flags &= ~GC_Container::FLAG_ACTIVE;
        return GC_FAIL(kErrMask, rc, "Error when activating PIN directory");
    }
    container->flags |= GC_Container::FLAG_ACTIVE;
    return installActivatedPin(container, pin);
}

int GC_CardControllerVarnel::installActivatedPin(std::shared_ptr<GC_Container>& container,
                                                 const std::vector<uint8_t>& pin) {
    if (const int rc = controller->unblockPassword(container, pin, true); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when unblocking pin");
    pinToSet.reset();
    return succeed(__func__, __LINE__);
}

int GC_CardControllerVarnel::zeroFile(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& path,
                                      bool force, const char* name) {
    unsigned long size = 0;
    if (const int rc = controller->select(path, &size, container->AID, force); rc != kOk) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Select %s failed: %ld", name, static_cast<long>(rc));
        return rc;
    }
    // The size is the card's word: no more than a card file can hold is written.
    if (size > kLargestFile)
        return GC_FAIL(kErrMask, kFailed, "%s size %lu is too big", name, size);
    std::vector<uint8_t> zeros(size, 0x00);
    if (const int rc = controller->update(zeros, container->AID, path, 0, false, true); rc != kOk) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Update %s failed: %ld", name, static_cast<long>(rc));
        return rc;
    }
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Update %s success", name);
    return kOk;
}

int GC_CardControllerVarnel::initContainer(std::shared_ptr<GC_Container>& container, std::vector<uint8_t> /*data*/) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = qualifiedGuards(__func__, container); rc != kOk) return rc;
    key_places places;
    if (const int rc = keyPlaces(__func__, *container, places); rc != kOk) return rc;
    GC_DataPKCS15* pkcs15 = layout();
    if (pkcs15 == nullptr) return GC_FAIL(kErrMask, kFailed, "Data is nullptr");

    // Both files are written whatever became of the other; a failure of the second wins.
    int result = zeroFile(container, places.objectDirectory, selectsApplicationFirst(), "CIO");
    if (const int rc = zeroFile(container, kCertificateFile, false, "CERT"); rc != kOk) result = rc;

    if (const int rc = select(container->AID, places.keyDirectory, selectsApplicationFirst(), nullptr); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Select KEY dir failed: %ld", static_cast<long>(rc));
    const int deleted = deleteContainerKeys(*container);

    // The objects leave the layout and the container only when their files are empty on the card.
    // Each leaves the container before the layout destroys it, and comes back when the layout
    // keeps it.
    if (result == kOk) {
        std::vector<GC_Object*> objects;
        container->getObjects(objects);
        for (GC_Object* object : objects) {
            container->deleteObject(object);
            if (const int rc = pkcs15->deleteObjectFromAppInfo(object); rc != kOk) {
                GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Object stays in the layout | %d", rc);
                container->addObject(object);
            }
        }
    }
    if (result != kOk) return GC_FAIL(kErrMask, result);
    if (deleted != kOk) return GC_FAIL(kErrMask, deleted, "The container's keys were not all deleted");
    return succeed(__func__, __LINE__);
}
