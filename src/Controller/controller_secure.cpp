// The card session's secure channel: opening it with PACE (the card controller's, or the pinpad
// reader's own), closing and reopening it with the kept password, chip authentication.
#include "Controller/controller.h"
#include "Data/wipe.h"
#include "Reader/reader.h"
#include "cache.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "Controller/controller_secure";
constexpr unsigned long kLogMask = gc_log::kController;
constexpr unsigned long kErrMask = gc_log::kController | gc_log::kError;

// The pinpad reader's PACE answers and what the session reports for them.
struct PinpadPaceRow {
    int reader;
    int code;
};
constexpr PinpadPaceRow kPinpadPace[] = {
    {.reader = gc_reader::kOk, .code = 0},
    {.reader = gc_reader::kPaceWrongPassword, .code = gc_cc::kSecurityStatus},
    {.reader = gc_reader::kPinLength, .code = -2310},
    {.reader = gc_reader::kPinMismatch, .code = -2319},
    {.reader = gc_reader::kTimeout, .code = -2321},
    {.reader = gc_reader::kCancelled, .code = -2318},
    {.reader = gc_reader::kPaceStep, .code = -2305},
};

int pinpadPaceCode(int readerAnswer) {
    for (const PinpadPaceRow& row : kPinpadPace)
        if (row.reader == readerAnswer) return row.code;
    GC_LoggerC::logf("performSecureConnection", kLogFile, __LINE__, kErrMask, "Unknown result from reader | %i",
                     readerAnswer);
    return gc_cc::kFailed;
}

// The CAN the companion cache holds for the reader; 0 or the cache's code.
int cachedPassword(const std::string& readerName, SecureVector<unsigned char>& out) {
    GC_WipedBuffer cached(64);
    const int rc = GC_Cache::getPassword(readerName.c_str(), cached.v);
    if (rc == 0) out = cached.secure();
    return rc;
}

}  // namespace

int GC_Controller::performSecureConnection(std::vector<uint8_t> secret, const int& type) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_WipeGuard wipeSecret{&secret};
    if (const int rc = beginOperation(__func__); rc != 0) return rc;
    // A new run starts in plain: its commands are never wrapped in the keys of an old channel,
    // nor in keys the run itself has emptied.
    flags = 0;
    channelTakenByReset = false;
    int rc = 0;
    if (reader->isPinpad()) {
        rc = select({0x3F, 0x00}, nullptr, {}, false);
        if (rc != 0) {
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cannot select 3F 00");
        } else {
            if (!lockController()) return finishOperation(__func__, gc_cc::kFailed, "Controller cannot lock");
            const int answer = reader->performSecureConnection(secret, type);
            unlockController();
            rc = pinpadPaceCode(answer);
        }
    } else {
        rc = cardController->performSecureConnection(SecureVector<unsigned char>(secret.data(), secret.size()), type);
    }
    // PACE selects files of its own (the reader's PACE behind the controller's back).
    cardController->forgetSelection();
    if (rc != 0) {
        flags &= ~kChannelUp;
        password.clear();
        passwordType = 0;
        return finishOperation(__func__, rc, "Cannot perform Secure Connection");
    }
    if (const int released = finishOperation(__func__, 0); released != 0) return released;
    password = SecureVector<unsigned char>(secret.data(), secret.size());
    passwordType = type;
    // Only a CAN is shared with the companion, and only the first one for the reader.
    const std::string name = reader->getReaderName();
    if (type == 2 && cacheInUse() && GC_Cache::existPassword(name.c_str()) == GC_Cache::kNotFound)
        GC_Cache::setPassword(name.c_str(), secret);
    flags |= kChannelUp;
    return 0;
}

int GC_Controller::destroySecureConnection() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = beginOperation(__func__); rc != 0) return rc;
    // Every bit: chip authentication belongs to the channel, and any bit left would keep secure
    // messaging in force, wrapping the very selection that ends it.
    flags = 0;
    int rc = 0;
    if (reader->isPinpad()) {
        if (!lockController()) return finishOperation(__func__, gc_cc::kFailed, "Controller cannot lock");
        rc = reader->destroySecureConnection();
        unlockController();
    } else {
        rc = cardController->destroySecureConnection();
    }
    rc = finishOperation(__func__, rc);
    flags = 0;
    channelTakenByReset = false;
    return rc;
}

int GC_Controller::restoreSecureConnection() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = beginOperation(__func__); rc != 0) return rc;
    destroySecureConnection();
    if (password.empty() || passwordType < 1 || passwordType > 4) {
        if (cacheInUse() && cachedPassword(reader->getReaderName(), password) == 0) {
            passwordType = 2;  // the companion keeps CANs only
        } else {
            password.clear();
            passwordType = 0;
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cannot read password from cache");
        }
    }
    const int rc = performSecureConnection(std::vector<uint8_t>(password.begin(), password.end()), passwordType);
    return finishOperation(__func__, rc, "Cannot restore secure connection");
}

int GC_Controller::performChipAuthentication() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = beginOperation(__func__); rc != 0) return rc;
    int rc = 0;
    if (reader->isPinpad()) {
        rc = gc_cc::kNotSupported;
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Reader unsupport perform Chip Authenticaion");
    } else {
        rc = cardController->performChipAuthentication();
    }
    if (rc != 0) {
        flags &= ~kChipAuthenticated;
        password.clear();
        passwordType = 0;
        return finishOperation(__func__, rc, "Cannot perform Chip Authentication Connection");
    }
    if (const int released = finishOperation(__func__, 0); released != 0) return released;
    flags |= kChipAuthenticated;
    return 0;
}
