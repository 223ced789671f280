// The card session's containers: the list read once through the card controller and kept, single
// entries of it, and the loading of the containers' objects. Each operation reopens a lost
// channel once and runs again (without lowering the APDU size), unless a recovery runs already
// (its own or an enclosing operation's).
#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "Controller/controller_containers";
constexpr unsigned long kLogMask = gc_log::kController;
constexpr unsigned long kErrMask = gc_log::kController | gc_log::kError;

using namespace gc_cc;

}  // namespace

int GC_Controller::getContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = beginOperation(__func__); rc != 0) return rc;
    int result = 0;
    if (!containersLoaded || force) {
        containers.clear();
        result = cardController->getContainers(containers);
        if (result == 0) containersLoaded = true;
        if (channelLost(result) && retransmitCounter == 0)
            return retransmit(result, [&] { return getContainers(list, force); });
    }
    list = containers;
    return finishOperation(__func__, result);
}

int GC_Controller::getContainer(unsigned long index, std::shared_ptr<GC_Container>& container, bool force) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    container.reset();
    if (reader == nullptr) return GC_FAIL(kErrMask, gc_session::kReaderMissing, "Reader is nullptr");
    if (!cardController) return GC_FAIL(kErrMask, gc_session::kCardMissing, "Card is nullptr");
    int result = 0;
    if (!containersLoaded || force) {
        if (const int rc = lockReader(); rc != 0) return GC_FAIL(kErrMask, rc, "Reader cannot lock");
        // A new reading replaces the list: reading into what is kept would list every container twice.
        containers.clear();
        result = cardController->getContainers(containers);
        if (channelLost(result) && retransmitCounter == 0)
            return retransmit(result, [&] { return getContainer(index, container, force); });
        if (const int rc = unlockReader(0); rc != 0) return GC_FAIL(kErrMask, rc, "Reader cannot unlock");
    }
    if (result != 0) return GC_FAIL(kErrMask, result);
    if (index >= containers.size()) return GC_FAIL(kErrMask, kBadParameter, "Index getting container is to high");
    container = containers[index];
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Controller::loadContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = beginOperation(__func__); rc != 0) return rc;
    if (!containersLoaded) return finishOperation(__func__, kNotSupported, "Containers are not read yet");
    const int result = cardController->loadContainers(list, force);
    // Repeated once, by the card controller: a read's own recovery inside the repetition ends
    // with the counter at 0, and a repetition of this operation would start over and over.
    if (channelLost(result) && retransmitCounter == 0)
        return retransmit(result, [&] { return cardController->loadContainers(list, force); });
    return finishOperation(__func__, result);
}
