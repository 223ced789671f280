#include "Reader/readerctk.h"

#include <algorithm>
#include <semaphore>
#include <utility>

#include "Data/bytes.h"
#include "Data/wipe.h"
#include "factory.h"
#include "logger.h"
#include "platform/system_log.h"

namespace {

constexpr const char* kLogFile = "Reader/readerctk";
constexpr unsigned long kLogMask = gc_log::kReader;
constexpr unsigned long kLogDetail = gc_log::kReader | gc_log::kDetail;
constexpr unsigned long kLogError = gc_log::kReader | gc_log::kError;

// The value this back-end keeps as the card's context; an empty context means the card was
// reset or claimed since it was set.
constexpr bool kContextMark = true;

// Guards the registry vector; held for a whole refresh so that two refreshes never overlap.
std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

// The outcome of one asynchronous platform request; shared with its reply so that the reply
// never touches the waiting caller's stack.
struct Pending {
    std::binary_semaphore done{0};
    int result = gc_reader::kFailed;
    std::vector<unsigned char> response;
};

// The record's card object, read under the record's lock; null without record or card.
std::shared_ptr<ctk::SmartCard> cardOf(const std::shared_ptr<GC_ReaderCTK::reader_data>& record) {
    if (!record) return nullptr;
    std::lock_guard lock(record->mutex);
    return record->card;
}

}  // namespace

std::vector<std::shared_ptr<GC_ReaderCTK::reader_data>> GC_ReaderCTK::readers;
std::atomic<unsigned long> GC_ReaderCTK::apduNr{0};

GC_ReaderCTK::reader_data::~reader_data() {
    plat::systemLog("reader_data destruct");
}

GC_ReaderCTK::GC_ReaderCTK() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "call construtor");
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

GC_ReaderCTK::~GC_ReaderCTK() = default;

void updateReaderState(const std::shared_ptr<ctk::SlotManager>& manager,
                       const std::shared_ptr<GC_ReaderCTK::reader_data>& record) {
    if (!record) {
        plat::systemLog("r is null pointer");
        return;
    }
    if (!manager) return;
    auto pending = std::make_shared<Pending>();
    std::string slotName;
    {
        std::lock_guard lock(record->mutex);
        slotName = record->slotName;
    }
    manager->getSlotWithName(slotName, [record, pending](std::shared_ptr<ctk::Slot> slot) {
        int slotState = slot ? static_cast<int>(slot->state()) : 0;
        std::optional<ctk::Bytes> atr = slot ? slot->ATR() : std::nullopt;
        {
            std::lock_guard lock(record->mutex);
            if (slot != record->slot) {
                if (record->slot)
                    plat::systemLog("release old pointer:%p, use new %p", static_cast<void*>(record->slot.get()),
                                    static_cast<void*>(slot.get()));
                record->slot = slot;
            }
            record->cardState = 0;
            record->slotState = slotState;
            record->atr = atr ? std::move(*atr) : std::vector<unsigned char>();
        }
        GC_LoggerC::logf("updateReaderState", kLogFile, __LINE__, kLogDetail, "tksmartcardslot %lu",
                         static_cast<unsigned long>(reinterpret_cast<uintptr_t>(slot.get())));
        pending->done.release();
    });
    pending->done.acquire();
}

int GC_ReaderCTK::detectReaderChanges() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    plat::systemLog("detectReaderChanges()");
    std::shared_ptr<ctk::SlotManager> manager = ctk::SlotManager::defaultManager();
    if (!manager) return GC_FAIL(kLogError, gc_reader::kFailed, "No slot manager");
    std::vector<std::string> names = manager->slotNames();

    std::lock_guard registry(registryMutex());
    for (auto it = readers.begin(); it != readers.end();) {
        std::shared_ptr<reader_data> record = *it;
        bool present = std::find(names.begin(), names.end(), record->slotName) != names.end();
        std::erase(names, record->slotName);
        if (present) {
            plat::systemLog("update reader:%s", record->slotName.c_str());
            updateReaderState(manager, record);
            ++it;
        } else {
            plat::systemLog("remove reader:%s", record->slotName.c_str());
            it = readers.erase(it);
        }
    }
    for (const std::string& slotName : names) {
        bool known = std::any_of(readers.begin(), readers.end(),
                                 [&](const std::shared_ptr<reader_data>& r) { return r->slotName == slotName; });
        if (known) continue;  // the manager listed the name twice
        plat::systemLog("new reader: %s", slotName.c_str());
        auto record = std::make_shared<reader_data>();
        record->name = slotName;
        record->slotName = slotName;
        updateReaderState(manager, record);
        readers.push_back(std::move(record));
    }
    for (const auto& record : readers) {
        std::lock_guard lock(record->mutex);
        if (record->slot) record->cardState = record->slotState == static_cast<int>(ctk::SlotState::ValidCard) ? 2 : 1;
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderCTK::detectCardChanges() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::lock_guard registry(registryMutex());
    for (const auto& record : readers) {
        std::lock_guard lock(record->mutex);
        if (record->slot) record->cardState = record->slotState == static_cast<int>(ctk::SlotState::ValidCard) ? 2 : 1;
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

std::shared_ptr<GC_ReaderCTK::reader_data> GC_ReaderCTK::findReader(const std::string& readerName) {
    std::lock_guard registry(registryMutex());
    for (const auto& record : readers)
        if (record->name == readerName) return record;
    return nullptr;
}

std::list<std::string> GC_ReaderCTK::getReadersList(bool supportedOnly) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "getReadersList()");
    detectReaderChanges();
    std::list<std::string> names;
    std::lock_guard registry(registryMutex());
    for (const auto& record : readers) {
        std::lock_guard lock(record->mutex);
        if (!record->slot) continue;
        if (supportedOnly) {
            auto atrs = GC_Factory::getCardsATRs();
            if (record->cardState != 2 || atrs.find(record->atr) == atrs.end()) continue;
        }
        names.push_back(record->name);
    }
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return names;
}

std::string GC_ReaderCTK::getReaderName() {
    return name;
}

int GC_ReaderCTK::init(std::string readerName) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Reader init: %s", readerName.c_str());
    if (readerName.empty()) return GC_FAIL(kLogError, gc_reader::kEmptyName, "Reader name is empty");
    if (!findReader(readerName)) return GC_FAIL(kLogError, gc_reader::kNotInList, "Reader is not in reader list");
    name = std::move(readerName);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderCTK::state(int& status, int) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    bool known = findReader(name) != nullptr;
    status = (status & ~3) | (known ? 2 : 1);
    if (!known) return GC_FAIL(kLogError, gc_reader::kNotInList, "Reader not found");
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderCTK::initCard(bool, void*) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    apduNr = 0;
    std::shared_ptr<reader_data> record = findReader(name);
    if (!record) return GC_FAIL(kLogError, gc_reader::kNotInitialized, "Reader not intitialized");
    std::shared_ptr<ctk::SmartCard> card;
    std::shared_ptr<ctk::Slot> slot;
    {
        std::lock_guard lock(record->mutex);
        card = record->card;
        slot = record->slot;
    }
    if (!card) {
        if (!slot) return GC_FAIL(kLogError, gc_reader::kNotInitialized, "TKSmartCardSlot not intitialized");
        card = slot->makeSmartCard();
        if (!card) return GC_FAIL(kLogError, gc_reader::kNotInitialized, "TKSmartCard not intitialized");
        std::lock_guard lock(record->mutex);
        record->card = card;
    }
    if (!card->valid()) {
        card = slot ? slot->makeSmartCard() : nullptr;
        if (card) {
            std::lock_guard lock(record->mutex);
            record->card = card;
        }
        if (!card || !card->valid()) return GC_FAIL(kLogError, gc_reader::kNoCard, "TKSmartCard is not valid");
    }
    card->setContext(kContextMark);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderCTK::lock() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::shared_ptr<reader_data> record;
    std::shared_ptr<ctk::SmartCard> card;
    if (const int rc = recordAndCard(__func__, "RKSmartCard not intitialized", record, card); rc != gc_reader::kOk)
        return rc;
    if (!card->context().has_value()) {
        // Reset or claimed since the context was set: re-arm; the caller's next lock begins the session.
        card->setContext(kContextMark);
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kCardReset, "Card context is nil");
        return gc_reader::kCardReset;
    }
    auto pending = std::make_shared<Pending>();
    card->beginSession([record, pending](bool success, std::optional<ctk::Error> error) {
        if (success) {
            std::lock_guard lock(record->mutex);
            record->inSession = true;
            pending->result = gc_reader::kOk;
        } else {
            pending->result = convertError(error);
        }
        pending->done.release();
    });
    pending->done.acquire();
    if (pending->result != gc_reader::kOk)
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kLogError, pending->result, "beginSession failed");
    else
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, pending->result);
    return pending->result;
}

int GC_ReaderCTK::unlock() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::shared_ptr<reader_data> record;
    std::shared_ptr<ctk::SmartCard> card;
    if (const int rc = recordAndCard(__func__, "TKSmartCard not intitialized", record, card); rc != gc_reader::kOk)
        return rc;
    card->endSession();
    {
        std::lock_guard lock(record->mutex);
        record->inSession = false;
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

bool GC_ReaderCTK::isLocked() {
    std::shared_ptr<reader_data> record = findReader(name);
    if (!record) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogError, "Reader not found");
        return false;
    }
    std::lock_guard lock(record->mutex);
    return record->inSession;
}

int GC_ReaderCTK::getCardATR(std::vector<unsigned char>& atr) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::shared_ptr<reader_data> record = findReader(name);
    if (!record) return GC_FAIL(kLogError, gc_reader::kNotInList, "Reader not found");
    std::shared_ptr<ctk::Slot> slot;
    {
        std::lock_guard lock(record->mutex);
        slot = record->slot;
    }
    if (!slot) return GC_FAIL(kLogError, gc_reader::kNotInList, "tksmartcardslot is nil");
    // Asked anew: the slot may hold another card than at the last lookup. No ATR reads as empty.
    std::optional<ctk::Bytes> current = slot->ATR();
    atr = current ? std::move(*current) : std::vector<unsigned char>();
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "ATR %s", GC_Bytes(atr, 0).toHex(false, true).c_str());
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderCTK::recordAndCard(const char* func, const char* noCardText, std::shared_ptr<reader_data>& record,
                                std::shared_ptr<ctk::SmartCard>& card) {
    record = findReader(name);
    if (!record)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kLogError, gc_reader::kNotInitialized,
                                "Reader not intitialized");
    card = cardOf(record);
    if (!card)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kLogError, gc_reader::kNotInitialized, "%s", noCardText);
    return gc_reader::kOk;
}

int GC_ReaderCTK::convertError(const std::optional<ctk::Error>& error) {
    if (!error) return gc_reader::kFailed;
    switch (error->code) {
        case ctk::error::kBadParameter:
            return gc_reader::kBadArgument;
        case ctk::error::kTokenNotFound:
            return gc_reader::kCardRemoved;
        case ctk::error::kObjectNotFound:
            return gc_reader::kFailed;
        case ctk::error::kAuthenticationFailed:
            return gc_reader::kPinLength;
        case ctk::error::kCanceledByUser:
            return gc_reader::kCancelled;
        case ctk::error::kCorruptedData:
            return gc_reader::kUnknownData;
        case ctk::error::kCommunicationError:
            return gc_reader::kTransmit;
        case ctk::error::kNotImplemented:
            return gc_reader::kNotSupported;
        default:
            return gc_reader::kFailed;
    }
}

int GC_ReaderCTK::sendAPDU(std::vector<unsigned char> apdu, std::vector<unsigned char>& response, unsigned long le) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    // Wiped when refused here; once handed on (below) it is empty.
    GC_WipeGuard wipeCommand{&apdu};
    std::shared_ptr<reader_data> record;
    std::shared_ptr<ctk::SmartCard> card;
    if (const int rc = recordAndCard(__func__, "RKSmartCard not intitialized", record, card); rc != gc_reader::kOk)
        return rc;
    // Never more than an extended-length answer, whatever `le` says.
    response.resize(le != 0 ? std::min<unsigned long>(le, 65536) + 2 : 65000);
    ++apduNr;
    if (apdu.empty()) {
        plat::systemLog("Error, to short Apdu!");
        response.clear();
        return GC_FAIL(kLogError, gc_reader::kTransmit, "Empty APDU");
    }
    card->setCla(apdu[0]);
    card->setUseCommandChaining((apdu[0] & 0x10) != 0);
    // Handed on, not copied: the transmission wipes the command (it may hold a PIN) once sent.
    int rv = sendAPDU_with_sema(record, std::move(apdu), response, le);
    if (rv != gc_reader::kOk) {
        response.clear();
        return GC_FAIL(kLogError, gc_reader::kTransmit, "Transmit failed : %i", gc_reader::kTransmit);
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderCTK::sendAPDU_with_sema(std::shared_ptr<reader_data> record, std::vector<unsigned char> apdu,
                                     std::vector<unsigned char>& response, unsigned long) {
    GC_WipeGuard wipeCommand{&apdu};
    if (apdu.empty()) {
        plat::systemLog("To short apdu!, %s", "");
        return gc_reader::kFailed;
    }
    std::shared_ptr<ctk::SmartCard> card = cardOf(record);
    if (!card) return gc_reader::kNotInitialized;
    card->setCla(0);
    // Every transmission has its own semaphore, so transmissions on different readers can be
    // outstanding at the same time.
    auto pending = std::make_shared<Pending>();
    card->transmitRequest(std::move(apdu), [pending](std::optional<ctk::Bytes> data, std::optional<ctk::Error> error) {
        if (data) {
            pending->response = std::move(*data);
            // A response without a status word is not an answer.
            pending->result = pending->response.size() >= 2 ? gc_reader::kOk : gc_reader::kTransmit;
        } else {
            pending->result = convertError(error);
        }
        pending->done.release();
    });
    pending->done.acquire();
    if (pending->result == gc_reader::kOk) response = std::move(pending->response);
    return pending->result;
}

int GC_ReaderCTK::sendAPDU_without_sema(std::shared_ptr<reader_data> record, std::vector<unsigned char> apdu,
                                        std::vector<unsigned char>& response, unsigned long) {
    // The command may carry a PIN (and so may the copy of its data below).
    GC_WipeGuard wipeCommand{&apdu};
    const size_t n = apdu.size();
    if (n < 4) {
        plat::systemLog("Error, to short Apdu!, minimum is 4");
        return gc_reader::kTransmit;
    }
    std::shared_ptr<ctk::SmartCard> card = cardOf(record);
    if (!card) return gc_reader::kNotInitialized;

    const unsigned char cla = apdu[0], ins = apdu[1], p1 = apdu[2], p2 = apdu[3];
    std::optional<ctk::Bytes> data;
    std::optional<unsigned long> le;
    size_t lc = 0;
    if (n == 5) {
        le = apdu[4];
    } else if (n >= 9 && apdu[4] == 0) {
        // Extended form: Lc in two bytes, then the data, then Le.
        lc = static_cast<size_t>(apdu[5]) << 8 | apdu[6];
        if (7 + lc > n) {
            plat::systemLog("Error, APDU shorter than its Lc");
            return gc_reader::kTransmit;
        }
        data = ctk::Bytes(apdu.begin() + 7, apdu.begin() + 7 + static_cast<long>(lc));
        if (n > lc + 7) {
            if (cla == 0x0C) {
                // Protected command: Le travels in the secure-messaging object 97.
                for (size_t at = 5; at + 4 <= n; ++at) {
                    if (apdu[at] != 0x97) continue;
                    unsigned char len = apdu[at + 1];
                    le = len == 1   ? apdu[at + 2]
                         : len == 2 ? (static_cast<unsigned long>(apdu[at + 2]) << 8 | apdu[at + 3])
                                    : 0;
                    break;
                }
            } else if (n == lc + 9) {
                unsigned long value = static_cast<unsigned long>(apdu[n - 2]) << 8 | apdu[n - 1];
                le = value == 0 ? 65536 : value;
            } else {
                le = apdu[n - 1];
            }
        }
    } else if (n > 4) {
        lc = apdu[4];
        // As in the extended form: a command without the data its Lc announces is not sent
        // as another command.
        if (n - 5 < lc) {
            plat::systemLog("Error, APDU shorter than its Lc");
            return gc_reader::kTransmit;
        }
        data = ctk::Bytes(apdu.begin() + 5, apdu.begin() + 5 + static_cast<long>(lc));
        if (n == lc + 6)
            le = apdu[n - 1];
        else if (n != lc + 5)
            le = 2000;
    }
    std::string leText = le ? std::to_string(*le) : std::string("(null)");
    plat::systemLog("APDU #%lu cla=%02X ins=%02X p1=%02X p2=%02X lc=%u, DATA=<hidden> le=%s", apduNr.load(), cla, ins,
                    p1, p2, static_cast<unsigned>(lc), leText.c_str());
    bool extended = le && *le > 255;
    card->setUseExtendedLength(extended);
    if (extended) le = 0;
    card->setCla(cla);
    unsigned short sw = 0;
    std::optional<ctk::Error> error;
    std::optional<ctk::Bytes> answer = card->sendIns(ins, p1, p2, data, le, sw, error);
    if (data) gc_wipe(*data);
    if (!answer && error) return convertError(error);
    response = answer ? std::move(*answer) : std::vector<unsigned char>();
    response.push_back(static_cast<unsigned char>(sw >> 8));
    response.push_back(static_cast<unsigned char>(sw & 0xFF));
    return gc_reader::kOk;
}

// The slot reader runs neither PACE nor PIN entry itself; the copies it is handed (a password, a
// command that may carry a PIN or PUK) are wiped all the same.
int GC_ReaderCTK::performSecureConnection(std::vector<unsigned char> password, int) {
    GC_WipeGuard wipePassword{&password};
    return gc_reader::kNotSupported;
}
int GC_ReaderCTK::restoreSecureConnection() {
    return gc_reader::kNotSupported;
}
int GC_ReaderCTK::destroySecureConnection() {
    return gc_reader::kNotSupported;
}

int GC_ReaderCTK::verifyPassword(std::vector<unsigned char> apdu, const std::shared_ptr<GC_Container>&,
                                 std::vector<unsigned char>&, unsigned long, unsigned long) {
    GC_WipeGuard wipeCommand{&apdu};
    return gc_reader::kNotSupported;
}

int GC_ReaderCTK::changePassword(std::vector<unsigned char> apdu, const std::shared_ptr<GC_Container>&,
                                 std::vector<unsigned char>&, unsigned long, unsigned long) {
    GC_WipeGuard wipeCommand{&apdu};
    return gc_reader::kNotSupported;
}

int GC_ReaderCTK::unblockPassword(std::vector<unsigned char> apdu, const std::shared_ptr<GC_Container>&,
                                  std::vector<unsigned char>&, unsigned long, unsigned long) {
    GC_WipeGuard wipeCommand{&apdu};
    return gc_reader::kNotSupported;
}

bool GC_ReaderCTK::isPinpad() {
    return false;
}
