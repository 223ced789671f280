#include "Controller/controller.h"

#include <system_error>

#include "Data/Container/container.h"
#include "Data/wipe.h"
#include "Reader/reader.h"
#include "cache.h"
#include "factory.h"
#include "logger.h"
#include "settings.h"

namespace {

constexpr const char* kLogFile = "Controller/controller";
constexpr unsigned long kLogMask = gc_log::kController;
constexpr unsigned long kErrMask = gc_log::kController | gc_log::kError;

using namespace gc_session;

// GC_Reader::state: a usable card is present / no card.
constexpr int kStateCard = 0x2;
constexpr int kStateNoCard = 0x1;
constexpr int kStateTimeout = 100;

constexpr long long kDefaultApduSize = 200;
constexpr long long kShortApduSize = 255;
constexpr long long kLargestApduSize = 65535;

// Room for a CAN from the companion cache: filling it never reallocates.
constexpr size_t kCachedPasswordRoom = 64;

int succeed(const char* func, int line) {
    GC_LoggerC::ret1(func, kLogFile, line, kLogMask, 0);
    return 0;
}

}  // namespace

GC_Controller::GC_Controller() = default;

GC_Controller::~GC_Controller() {
    containers.clear();
    password.clear();
    // An exchange still running on another thread ends before the card controller goes.
    try {
        std::lock_guard wait(mutex);
    } catch (const std::system_error& e) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Catch release mutex error: %s", e.what());
    }
    cardController.reset();
}

bool GC_Controller::lockController() {
    try {
        mutex.lock();
        return true;
    } catch (const std::system_error& e) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Catch lock error: %s", e.what());
        return false;
    }
}

void GC_Controller::unlockController() {
    mutex.unlock();
}

int GC_Controller::create(const std::string& readerName, GC_CardController::card_controller type, bool shared,
                          void* param) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (reader != nullptr) return GC_FAIL(kErrMask, kAlreadyCreated, "Library already initialized");
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Create reader | %s | sharedMode : %i", readerName.c_str(),
                     shared ? 1 : 0);
    reader = GC_Factory::createReader(readerName);
    if (reader == nullptr) return GC_FAIL(kErrMask, kReaderMissing, "Reader not found");
    sharedMode = shared;
    cardControllerType = type;
    if (const int rc = reader->init(readerName); rc != 0) return GC_FAIL(kErrMask, rc, "Cannot init reader");
    int status = 0;
    if (const int rc = reader->state(status, kStateTimeout); rc != 0)
        return GC_FAIL(kErrMask, rc, "Cannot read state of reader");
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Card create %i", status);
    int result = 0;
    if ((status & kStateCard) != 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Card init create");
        if (const int rc = reader->initCard(sharedMode, param); rc != 0)
            return GC_FAIL(kErrMask, rc, "Cannot Init card");
        result = installCardController();
    }
    loadApduSize();
    if (result != 0) return GC_FAIL(kErrMask, result);
    return succeed(__func__, __LINE__);
}

int GC_Controller::installCardController() {
    // Made without the controller mutex: a card generation reads from the card when it is made.
    cardController = GC_Factory::createCardController(this, cardControllerType, sharedMode);
    if (!cardController) return GC_FAIL(kErrMask, kCardNotRecognized, "Card not recognized");
    if (!sharedMode) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Lock CARD");
        if (!lockController()) return GC_FAIL(kErrMask, gc_cc::kFailed, "Controller cannot lock");
        const int rc = reader->lock();
        unlockController();
        if (rc != 0) return GC_FAIL(kErrMask, rc, "Cannot lock the card");
    }
    // Before anything is read from the card or the cache, and before PACE.
    bindCardToCache();
    return 0;
}

void GC_Controller::bindCardToCache() {
    // Read here, not when the card controller is made: it talks to the card through the session.
    if (const int rc = cardController->readSerialNumber(); rc != 0)
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Cannot read the serial number | %d", rc);
    std::vector<uint8_t> serial;
    cardController->getSerialNumber(serial);
    // ATR and serial name the card; without a serial the entries cannot be told apart and go.
    std::vector<uint8_t> id;
    if (!serial.empty()) {
        id = getATRcard();
        id.insert(id.end(), serial.begin(), serial.end());
    }
    const int rc = GC_Cache::bindCard(reader->getReaderName().c_str(), id);
    cacheBound = rc == 0;
    if (rc != 0 && rc != GC_Cache::kDisabled)
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "The companion's entries are not this card's | %d",
                         rc);
}

bool GC_Controller::cacheInUse() const {
    return cacheBound && !GC_Cache::isDisable();
}

void GC_Controller::loadApduSize() {
    const std::string name = reader->getReaderName();
    const int stored = GC_Settings::getReaderMaxAPDUSize(name.c_str());
    if (stored == -1) {
        // Nothing stored: a size the reader reported itself is worth keeping.
        if (reader->apduSizeFixed && reader->maxApduSize < kLargestApduSize) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Saving reader %s APDU size: %lld", name.c_str(),
                             reader->maxApduSize);
            GC_Settings::setReaderMaxAPDUSize(name.c_str(), static_cast<int>(reader->maxApduSize),
                                              reader->extendedApdu);
        }
    } else if (stored == GC_Settings::kExtendedMark) {
        reader->maxApduSize = kShortApduSize;
        reader->extendedApdu = true;
    } else if (stored > kShortApduSize) {
        reader->maxApduSize = stored;
        reader->extendedApdu = true;
        reader->apduSizeFixed = true;
    } else if (stored < 1) {
        reader->maxApduSize = kDefaultApduSize;
        reader->extendedApdu = false;
        reader->apduSizeFixed = false;
    } else {
        reader->maxApduSize = stored;
        reader->extendedApdu = false;
        reader->apduSizeFixed = true;
    }
    if (reader->maxApduSize > kLargestApduSize) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Reader support APDU size is too big.");
        reader->maxApduSize = kDefaultApduSize;
        reader->extendedApdu = false;
        reader->apduSizeFixed = false;
    }
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Reader support APDU size: %lld  this is a max APDU: %i",
                     reader->maxApduSize, reader->apduSizeFixed ? 1 : 0);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Reader support extended APDU: %i",
                     reader->extendedApdu ? 1 : 0);
}

int GC_Controller::setReaderParam(void* param) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (reader == nullptr) return GC_FAIL(kErrMask, kReaderMissing, "Reader is nullptr");
    if (param == nullptr) return GC_FAIL(kErrMask, gc_cc::kBadParameter, "Param is nullptr");
    if (const int rc = reader->setParam(param); rc != 0) return GC_FAIL(kErrMask, rc, "Cannot set a param in reader");
    return succeed(__func__, __LINE__);
}

void GC_Controller::dropCard() {
    // The channel goes with the card, chip authentication included.
    flags = 0;
    channelTakenByReset = false;
    password.clear();
    passwordType = 0;
    containers.clear();
    cardController.reset();
    cacheBound = false;
}

int GC_Controller::state() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (reader == nullptr) return GC_FAIL(kErrMask, kReaderMissing, "Reader is nullptr");
    if (!lockController()) return GC_FAIL(kErrMask, gc_cc::kFailed, "Controller cannot lock");
    int status = 0;
    int rc = reader->state(status, kStateTimeout);
    unlockController();
    if (rc != 0) return GC_FAIL(kErrMask, rc, "Cannot read state of reader");

    if ((status & kStateCard) != 0) {
        if (cardController) return succeed(__func__, __LINE__);
        if (!lockController()) return GC_FAIL(kErrMask, gc_cc::kFailed, "Controller cannot lock");
        rc = reader->initCard(sharedMode, nullptr);
        unlockController();
        if (rc != 0) return GC_FAIL(kErrMask, rc, "Cannot Init card");
        if (rc = installCardController(); rc != 0) return GC_FAIL(kErrMask, rc);
        return succeed(__func__, __LINE__);
    }
    if ((status & kStateNoCard) != 0) {
        if (!cardController) return succeed(__func__, __LINE__);
        if (!lockController()) return GC_FAIL(kErrMask, gc_cc::kFailed, "Controller cannot lock");
        dropCard();
        rc = sharedMode ? 0 : reader->unlock();
        unlockController();
        if (rc != 0) return GC_FAIL(kErrMask, rc, "Reader cannot unlock");
        return succeed(__func__, __LINE__);
    }
    // The reader itself is gone: so is the session.
    if (!lockController()) return GC_FAIL(kErrMask, gc_cc::kFailed, "Controller cannot lock");
    if (cardController) dropCard();
    reader = nullptr;
    unlockController();
    return GC_FAIL(kErrMask, kReaderMissing, "Reader is nullptr");
}

int GC_Controller::readerFeatures(int& features) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    features = 0;
    if (reader == nullptr) return GC_FAIL(kErrMask, kReaderMissing, "Reader is nullptr");
    if (!lockController()) return GC_FAIL(kErrMask, gc_cc::kFailed, "Controller cannot lock");
    if (reader->isPinpad()) {
        features |= kFeaturePinpad;
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Reader feature | PINPAD");
    }
    int status = 0;
    if (const int rc = reader->state(status, kStateTimeout); rc != 0) {
        unlockController();
        return GC_FAIL(kErrMask, rc, "Cannot read state of reader");
    }
    if ((status & kStateCard) != 0) {
        if (flags == 0 && password.empty()) {
            GC_WipedBuffer cached(kCachedPasswordRoom);
            const std::string name = reader->getReaderName();
            const int rc = cacheInUse() ? GC_Cache::getPassword(name.c_str(), cached.v) : GC_Cache::kDisabled;
            if (rc == 0) {
                // A CAN another session stored: adopted for later restores.
                password = cached.secure();
                passwordType = 2;
                GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Password Pace is in cache");
            } else if (rc == -4) {
                features |= kFeatureNoPassword;
                passwordType = 0;
                password.clear();
                GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Password Pace is not in cache");
            } else {
                features |= kFeatureNoPassword;
                GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Cannot finnd password in cache | %i", rc);
            }
        }
        features |= kFeatureCardPresent;
    }
    unlockController();
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "GC_LIB Succces get reader featueres");
    return succeed(__func__, __LINE__);
}

std::vector<uint8_t> GC_Controller::getATRcard() {
    if (reader == nullptr) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Reader is nullptr");
        return {};
    }
    std::vector<uint8_t> atr;
    if (reader->getCardATR(atr) != 0) return {};
    return atr;
}

std::string GC_Controller::readerName() const {
    return reader != nullptr ? reader->getReaderName() : std::string{};
}

std::vector<uint8_t> GC_Controller::getSerialNumber() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (reader == nullptr) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Reader is nullptr");
        return {};
    }
    if (!cardController) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Card is nullptr");
        return {};
    }
    if (const int rc = lockReader(); rc != 0) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Reader cannot lock %d", rc);
        return {};
    }
    std::vector<uint8_t> serial;
    cardController->getSerialNumber(serial);
    if (const int rc = unlockReader(0); rc != 0)
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Reader cannot unlock %d", rc);
    return serial;
}

GC_CardController::card_controller GC_Controller::getCardControllerType() const {
    return cardControllerType;
}

int GC_Controller::lockReader() {
    return lockReader(nullptr);
}

int GC_Controller::lockReader(bool* reset) {
    if (reset != nullptr) *reset = false;
    if (reader == nullptr) return GC_FAIL(kErrMask, kReaderMissing, "Reader is nullptr");
    if (!lockController()) return GC_FAIL(kErrMask, gc_cc::kFailed, "Controller cannot lock");
    int rc = 0;
    bool wasReset = false;
    if (!reader->isLocked()) {
        rc = reader->lock();
        if (rc == gc_reader::kCardReset) {
            // The reader re-armed itself after a reset; one more try takes the lock.
            wasReset = true;
            rc = reader->lock();
        }
    }
    unlockController();
    if (wasReset) {
        cardWasReset();
        if (reset != nullptr) *reset = true;
    }
    if (rc != 0) {
        GC_Cache::connectionFailed(reader->getReaderName().c_str());
        return GC_FAIL(kErrMask, rc, "Reader cannot lock");
    }
    return 0;
}

int GC_Controller::unlockReader(long result) {
    if (reader == nullptr) return GC_FAIL(kErrMask, kReaderMissing, "Reader is nullptr");
    if (!lockController()) return GC_FAIL(kErrMask, gc_cc::kFailed, "Controller cannot lock");
    int rc = 0;
    // An exclusive session keeps its card transaction for the whole session.
    if (reader->isLocked() && result == 0 && sharedMode) {
        rc = reader->unlock();
        if (rc == gc_reader::kCardReset) rc = 0;
    }
    unlockController();
    if (rc != 0) {
        GC_Cache::connectionFailed(reader->getReaderName().c_str());
        return GC_FAIL(kErrMask, rc, "Reader cannot unlock");
    }
    return 0;
}

int GC_Controller::beginOperation(const char* func) {
    if (reader == nullptr)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kReaderMissing, "Reader is nullptr");
    if (!cardController) return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kCardMissing, "Card is nullptr");
    if (const int rc = lockReader(); rc != 0)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, rc, "Reader cannot lock");
    return 0;
}

int GC_Controller::finishOperation(const char* func, int rc, const char* text) {
    if (const int released = unlockReader(0); released != 0)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, released, "Reader cannot unlock");
    if (rc != 0) {
        if (text != nullptr) return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, rc, "%s", text);
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, rc);
    }
    GC_LoggerC::ret1(func, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

void GC_Controller::cardWasReset() {
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Card was reset: its selection and channel are gone");
    if (cardController) cardController->forgetSelection();
    // Secure messaging ended with the reset; the password stays for reopening the channel. Until
    // it is reopened nothing that asks for protection goes out in plain.
    if (flags != 0) channelTakenByReset = true;
    flags = 0;
}
