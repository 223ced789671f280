// The card session's PIN operations: verify, change, unblock and logout of a container's PIN, on
// the keyboard (the PIN in the command) or on a pinpad reader's keypad, the PIN state of
// containers, and the companion's tries-left entries around them.
#include <algorithm>
#include <string>

#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Data/wipe.h"
#include "Reader/reader.h"
#include "cache.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "Controller/controller_pin";
constexpr unsigned long kLogMask = gc_log::kController;
constexpr unsigned long kErrMask = gc_log::kController | gc_log::kError;

using namespace gc_cc;

// What a pinpad entry is given: seconds to wait, and the reader's message (its default).
constexpr unsigned long kPinpadWait = 25;
constexpr unsigned long kPinpadMessage = 255;
// Tries-left entry of a PIN whose directory is not active.
constexpr unsigned long kNotActive = 255;

// The pinpad's answers and what the session reports for them; any other answer passes as it is.
struct PinpadRow {
    int reader;
    int code;
    const char* text;
};
constexpr PinpadRow kPinpadAnswers[] = {
    {.reader = gc_reader::kPinLength, .code = kPinLength, .text = "Wrong length PIN"},
    {.reader = gc_reader::kPinMismatch, .code = kPinMismatch, .text = "PIN mismatch"},
    {.reader = gc_reader::kTimeout, .code = kPinpadTimeout, .text = "PINPAD timeout"},
    {.reader = gc_reader::kCancelled, .code = kPinpadCancelled, .text = "PINPAD cancelled operation"},
};

int pinpadCode(const char* func, int answer) {
    for (const PinpadRow& row : kPinpadAnswers)
        if (row.reader == answer) return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, row.code, "%s", row.text);
    return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, answer, "Unknown result from reader %d", answer);
}

// A PIN of `length` characters against the PIN's limits; an empty PIN always passes (it is a
// status query, or typed on the pinpad). A maximum of 0 sets no upper limit.
bool lengthFits(const GC_Container::pin_record& pin, size_t length) {
    if (length == 0) return true;
    if (pin.maxLength != 0 && length > pin.maxLength) return false;
    return length >= pin.minLength;
}

// The tries-left entry `n` of a PIN, applied to its container.
void applyTries(GC_Container& c, unsigned long n) {
    const bool limits = (c.flags & GC_Container::FLAG_NO_LENGTH) == 0;
    c.flags |= GC_Container::FLAG_ACTIVE;
    bool blocked = false;
    if (n < kNotActive) {
        c.pin->triesLeft = n;
        blocked = n == 0 && limits;
    } else {
        c.flags &= ~GC_Container::FLAG_ACTIVE;
        c.pin->triesLeft = 0;
        blocked = limits;
    }
    if (blocked)
        c.flags |= GC_Container::FLAG_BLOCKED;
    else
        c.flags &= ~GC_Container::FLAG_BLOCKED;
}

}  // namespace

void GC_Controller::forgetTries(const GC_Container& target) {
    GC_Cache::removeTriesLeft(reader->getReaderName().c_str(), target.pin->pinReference);
}

void GC_Controller::recordTries(const GC_Container& target, unsigned long tries) {
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "setTriesLeft");
    if (cacheInUse()) GC_Cache::setTriesLeft(reader->getReaderName().c_str(), target.pin->pinReference, tries);
}

int GC_Controller::pinTarget(const char* func, std::shared_ptr<GC_Container>& container, bool parent,
                             std::shared_ptr<GC_Container>& target) {
    auto fail = [&](int rc, const char* text) {
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, rc, "%s", text);
    };
    if (reader == nullptr) return fail(gc_session::kReaderMissing, "Reader is nullptr");
    if (!cardController) return fail(gc_session::kCardMissing, "Card is nullptr");
    if (!container) return fail(gc_session::kNoContainer, "Container is nullptr");
    if (!container->pin) return fail(kPinNotFound, "Container pin is nullptr");
    target = container;
    if (!parent) return 0;
    GC_Container::findParentContainer(container, containers, target);
    if (!target || !target->pin) return fail(kPinNotFound, "Cannot find parent PIN");
    return 0;
}

int GC_Controller::selectPin(const char* func, const GC_Container& target) {
    if (const int rc = lockReader(); rc != 0)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, rc, "Reader cannot lock");
    if (const int rc = select(target.pin->path, nullptr, target.AID, false); rc != 0)
        return finishOperation(func, rc, "Cannot select pin path");
    return 0;
}

bool GC_Controller::pinpadEntry(const std::function<int(GC_Reader&)>& entry, int& answer) {
    if (!lockController()) return false;
    answer = entry(*reader);
    unlockController();
    return true;
}

int GC_Controller::verifyPassword(std::shared_ptr<GC_Container>& container, const std::vector<unsigned char>& pin,
                                  bool parent, bool statusOnly) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::shared_ptr<GC_Container> target;
    if (const int rc = pinTarget(__func__, container, parent, target); rc != 0) return rc;
    forgetTries(*target);
    if ((target->flags & GC_Container::FLAG_NO_LENGTH) != 0) {
        // A PIN without limits is not asked for: taken as verified, nothing sent.
        recordTries(*target, 0);
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
        return 0;
    }
    if (!lengthFits(*target->pin, pin.size())) return GC_FAIL(kErrMask, kPinLength, "PIN length is wrong");
    if (const int rc = selectPin(__func__, *target); rc != 0) return rc;

    int result = 0;
    if (!reader->isPinpad() || !pin.empty() || statusOnly) {
        result = cardController->verifyPassword(target, pin, statusOnly);
    } else if (result = cardController->performVerifyPassword(target, pin, false); result == kPinElsewhere) {
        // The card controller verifies this PIN its own way (PACE with the PUK).
        result = cardController->verifyPassword(target, pin, false);
    } else if (result == 0) {
        std::vector<uint8_t> command;
        GC_WipeGuard wipeCommand{&command};
        result = cardController->getPerformPasswordCommand(target, command, pin, false);
        if (result == 0) {
            std::vector<uint8_t> response;
            int answer = 0;
            auto entry = [&](GC_Reader& r) {
                return r.verifyPassword(command, target, response, kPinpadWait, kPinpadMessage);
            };
            // No mutex, no PIN entry: nothing to record and nothing to repeat.
            if (!pinpadEntry(entry, answer)) return finishOperation(__func__, kFailed, "Controller cannot lock");
            result = answer == 0 ? cardController->checkVerifyPassword(target, response, false)
                                 : pinpadCode(__func__, answer);
        }
    }
    if (const int released = unlockReader(0); released != 0) return GC_FAIL(kErrMask, released, "Reader cannot unlock");
    if (channelLost(result) && retransmitCounter < 2)
        return retransmit(result, [&] { return verifyPassword(container, pin, parent, statusOnly); });
    // Only what the card said of the PIN is recorded; after a failed exchange the entry stays
    // removed rather than show a count nobody read.
    if (isPinVerdict(result)) recordTries(*target, target->pin->triesLeft);
    if (result != 0) return GC_FAIL(kErrMask, result);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Controller::changePassword(std::shared_ptr<GC_Container>& container, const std::vector<unsigned char>& oldPin,
                                  const std::vector<unsigned char>& newPin, bool parent) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::shared_ptr<GC_Container> target;
    if (const int rc = pinTarget(__func__, container, parent, target); rc != 0) return rc;
    const bool pinpad = reader->isPinpad();
    // Only a pinpad types a PIN that is not given.
    if ((oldPin.empty() && !pinpad) || !lengthFits(*target->pin, oldPin.size()))
        return GC_FAIL(kErrMask, kPinLength, "PIN length is wrong");
    if ((newPin.empty() && !pinpad) || !lengthFits(*target->pin, newPin.size()))
        return GC_FAIL(kErrMask, kPinLength, "New PIN length is wrong");
    forgetTries(*target);
    if (const int rc = selectPin(__func__, *target); rc != 0) return rc;

    int result = 0;
    if (!pinpad || (!oldPin.empty() && !newPin.empty())) {
        result = cardController->changePassword(target, oldPin, newPin);
    } else {
        std::vector<uint8_t> command;
        GC_WipeGuard wipeCommand{&command};
        result = cardController->performChangePassword(target, oldPin, newPin);
        if (result == 0) result = cardController->getChangePasswordCommand(target, command, oldPin, newPin);
        if (result == 0) {
            std::vector<uint8_t> response;
            int answer = 0;
            auto entry = [&](GC_Reader& r) {
                return r.changePassword(command, target, response, kPinpadWait, kPinpadMessage);
            };
            if (!pinpadEntry(entry, answer)) return finishOperation(__func__, kFailed, "Controller cannot lock");
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "controller change password return code: %i",
                             answer);
            result = answer == 0 ? cardController->checkChangePassword(target, response) : pinpadCode(__func__, answer);
        }
    }
    if (const int released = unlockReader(0); released != 0) return GC_FAIL(kErrMask, released, "Reader cannot unlock");
    if (channelLost(result) && retransmitCounter < 2)
        return retransmit(result, [&] { return changePassword(target, oldPin, newPin, false); });
    if (result == 0 || result == kPinBlocked) recordTries(*target, target->pin->triesLeft);
    if (result != 0) return GC_FAIL(kErrMask, result);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Controller::unblockPassword(std::shared_ptr<GC_Container>& container, const std::vector<unsigned char>& newPin,
                                   bool setNew) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::shared_ptr<GC_Container> target;
    if (const int rc = pinTarget(__func__, container, false, target); rc != 0) return rc;
    const bool pinpad = reader->isPinpad();
    if ((newPin.empty() && !pinpad) || !lengthFits(*target->pin, newPin.size()))
        return GC_FAIL(kErrMask, kPinLength, "New PIN length is wrong");
    forgetTries(*target);
    if (const int rc = selectPin(__func__, *target); rc != 0) return rc;

    int result = 0;
    if (pinpad && newPin.empty() && setNew) {
        std::vector<uint8_t> command;
        GC_WipeGuard wipeCommand{&command};
        if (const int rc = cardController->performUnblockPassword(target, newPin, setNew); rc != 0)
            return finishOperation(__func__, rc, "Cannot perform Unblock operation");
        if (const int rc = cardController->getUnblockPasswordCommand(target, command, newPin, setNew); rc != 0)
            return finishOperation(__func__, rc, "Cannot get Unblock Command");
        std::vector<uint8_t> response;
        int answer = 0;
        auto entry = [&](GC_Reader& r) {
            return r.unblockPassword(command, target, response, kPinpadWait, kPinpadMessage);
        };
        if (!pinpadEntry(entry, answer)) return finishOperation(__func__, kFailed, "Controller cannot lock");
        // The card controller judges the reader's answer with the card's.
        result = cardController->checkUnblockPassword(target, response, answer, setNew);
        if (answer != 0 && result == answer) result = pinpadCode(__func__, answer);
    } else {
        result = cardController->unblockPassword(target, newPin, setNew);
    }
    if (const int released = unlockReader(0); released != 0) return GC_FAIL(kErrMask, released, "Reader cannot unlock");
    if (result == 0 || result == kPinBlocked) recordTries(*target, target->pin->triesLeft);
    if (result != 0) return GC_FAIL(kErrMask, result);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Controller::logoutPassword(std::shared_ptr<GC_Container>& container, bool parent) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::shared_ptr<GC_Container> target;
    if (const int rc = pinTarget(__func__, container, parent, target); rc != 0) return rc;
    if (const int rc = selectPin(__func__, *target); rc != 0) return rc;
    const int result = cardController->logoutPassword(target);
    if (const int released = unlockReader(0); released != 0) return GC_FAIL(kErrMask, released, "Reader cannot unlock");
    if (channelLost(result) && retransmitCounter < 2)
        return retransmit(result, [&] { return logoutPassword(container, parent); });
    if (result != 0) return GC_FAIL(kErrMask, result);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

void GC_Controller::triesFromCache(const std::vector<std::shared_ptr<GC_Container>>& list,
                                   std::vector<std::shared_ptr<GC_Container>>& query, const char* found) {
    if (!cacheInUse()) {
        query = list;
        return;
    }
    const std::string name = reader->getReaderName();
    for (const std::shared_ptr<GC_Container>& container : list) {
        if (!container) {
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Container is nullptr");
            continue;
        }
        if (!container->pin) continue;
        unsigned long tries = 0;
        const int rc = GC_Cache::getTriesLeft(name.c_str(), container->pin->pinReference, tries);
        if (rc == 0) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, found, container->label.c_str(),
                             static_cast<size_t>(tries));
            applyTries(*container, tries);
        } else {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Cannot get tries left from cache | %i", rc);
            query.push_back(container);
        }
    }
}

int GC_Controller::statusContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool withParents) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = beginOperation(__func__); rc != 0) return rc;
    const std::string name = reader->getReaderName();

    std::vector<std::shared_ptr<GC_Container>> query;
    triesFromCache(list, query, "GET tries pin %s lefto to %zu");
    // What the card says of the directories in this query, nothing an earlier one found.
    for (const std::shared_ptr<GC_Container>& container : query)
        if (container) container->flags &= ~GC_Container::FLAG_DEACTIVATED;
    int result = query.empty() ? 0 : cardController->statusContainers(query);
    if (result == kFileDeactivated || result == kPinBlocked) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Container is not Active or Blocked | %d", result);
        result = 0;
    }
    // Only the card's own answer that a PIN's directory is deactivated is told to the companion: a
    // query the card did not finish (pulled out, reset) tells it nothing.
    for (const std::shared_ptr<GC_Container>& container : query) {
        if (!container || !container->pin) continue;
        if ((container->flags & GC_Container::FLAG_DEACTIVATED) == 0) continue;
        if ((container->flags & GC_Container::FLAG_PUK) != 0) continue;
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "SET tries pin %s left to %i",
                         container->label.c_str(), static_cast<int>(kNotActive));
        if (cacheInUse()) GC_Cache::setTriesLeft(name.c_str(), container->pin->pinReference, kNotActive);
    }

    if (result == 0 && withParents) {
        std::vector<std::shared_ptr<GC_Container>> parents;
        for (const std::shared_ptr<GC_Container>& container : list) {
            if (!container || !container->pin) continue;
            std::shared_ptr<GC_Container> parent;
            GC_Container::findParentContainer(container, containers, parent);
            if (!parent || !parent->pin) continue;
            const bool known = std::any_of(parents.begin(), parents.end(), [&](const auto& p) {
                return p->pin->pinReference == parent->pin->pinReference;
            });
            if (!known) parents.push_back(parent);
        }
        std::vector<std::shared_ptr<GC_Container>> parentQuery;
        triesFromCache(parents, parentQuery, "GET tries pin %s left to %zu");
        result = parentQuery.empty() ? 0 : cardController->statusContainers(parentQuery);
        if (result == kPinBlocked) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Container is not Blocked | %d", result);
            result = 0;
        }
    }
    return finishOperation(__func__, result);
}

int GC_Controller::initPassword(std::shared_ptr<GC_Container>& /*container*/,
                                const std::vector<unsigned char>& /*pin*/) {
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}
