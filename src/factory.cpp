#include "factory.h"

#include <list>
#include <mutex>
#include <utility>

#include "CardController/cardcontroller_varnel_1_0.h"
#include "CardController/cardcontroller_varnel_2_0.h"
#include "Reader/readerctk.h"
#include "Reader/readerpcsc.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "factory";
constexpr unsigned long kLogMask = gc_log::kFactory;
constexpr unsigned long kErrMask = gc_log::kFactory | gc_log::kError;

// The registry's state. The token lists readers on a background queue while sessions look
// their readers up, so every access holds the mutex.
struct Registry {
    std::mutex mutex;
    // Back-end kind -> the prototype that lists that back-end's readers.
    std::map<int, std::unique_ptr<GC_Reader>> drivers;
    // Reader name -> (back-end kind, the reader object of every session on that reader).
    std::map<std::string, std::pair<int, std::shared_ptr<GC_Reader>>> readers;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

std::unique_ptr<GC_Reader> makeReader(int kind) {
    if (kind == GC_Factory::READER_PCSC) return std::make_unique<GC_ReaderPCSC>();
    return std::make_unique<GC_ReaderCTK>();
}

}  // namespace

int GC_Factory::addDriver(int mask) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Add reader driver : %d", mask);
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    bool added = false;
    for (const auto& [kind, text] :
         {std::pair{READER_PCSC, "Added PCSC driver"}, std::pair{READER_CTK, "Added CTK driver"}}) {
        if ((mask & kind) == 0 || r.drivers.count(kind) != 0) continue;
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, text);
        r.drivers.emplace(kind, makeReader(kind));
        added = true;
    }
    if (!added) return GC_FAIL(kErrMask, gc_cc::kFailed, "Driver not supported");
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

void GC_Factory::clearDriver() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.drivers.clear();
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

std::vector<std::string> GC_Factory::getReadersList(bool supportedOnly) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    Registry& r = registry();
    std::vector<std::string> names;
    {
        std::lock_guard lock(r.mutex);
        for (const auto& [kind, prototype] : r.drivers) {
            const std::list<std::string> listed = prototype->getReadersList(supportedOnly);
            for (const std::string& name : listed)
                if (r.readers.count(name) == 0) r.readers.emplace(name, std::pair{kind, makeReader(kind)});
            names.insert(names.end(), listed.begin(), listed.end());
        }
    }
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Reader list:");
    for (const std::string& name : names) GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, name.c_str());
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return names;
}

GC_Reader* GC_Factory::createReader(const std::string& name) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Create reader : %s", name.c_str());
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    const auto found = r.readers.find(name);
    if (found == r.readers.end()) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "reader=%s", name.c_str());
        GC_LoggerC::retPtr2(__func__, kLogFile, __LINE__, true, kErrMask, "Not found reader in list");
        return nullptr;
    }
    GC_LoggerC::retPtr(__func__, kLogFile, __LINE__, false, kLogMask);
    return found->second.second.get();
}

std::unique_ptr<GC_CardController> GC_Factory::createCardController(GC_Controller* controller,
                                                                    GC_CardController::card_controller& kind,
                                                                    bool sharedMode) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::unique_ptr<GC_CardController> chosen;
    if (kind == GC_CardController::CARD_VARNEL_2_0) {
        chosen = GC_CardControllerVarnel_2_0::checkController(controller, sharedMode);
    } else if (kind == GC_CardController::CARD_VARNEL_1_0) {
        chosen = GC_CardControllerVarnel_1_0::checkController(controller, sharedMode);
    } else if ((chosen = GC_CardControllerVarnel_1_0::checkController(controller, sharedMode))) {
        kind = GC_CardController::CARD_VARNEL_1_0;
    } else if ((chosen = GC_CardControllerVarnel_2_0::checkController(controller, sharedMode))) {
        kind = GC_CardController::CARD_VARNEL_2_0;
    } else if ((chosen = GC_CardController::checkController(controller, sharedMode))) {
        kind = GC_CardController::CARD_GENERIC;
    }
    if (!chosen) {
        GC_LoggerC::retPtr2(__func__, kLogFile, __LINE__, true, kErrMask, "Card not supported");
        return nullptr;
    }
    GC_LoggerC::retPtr(__func__, kLogFile, __LINE__, false, kLogMask);
    return chosen;
}

std::map<std::vector<unsigned char>, std::string> GC_Factory::getCardsATRs() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::map<std::vector<unsigned char>, std::string> atrs;
    for (const GC_CardController::atr_table* rows :
         {&GC_CardControllerVarnel_1_0::atr(), &GC_CardControllerVarnel_2_0::atr()})
        for (const auto& [name, atr] : *rows) atrs.emplace(atr, name);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return atrs;
}
