#include "CardController/cardcontroller.h"

#include <algorithm>
#include <string>

#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Data/data.h"
#include "Data/wipe.h"
#include "common.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/cardcontroller";
constexpr unsigned long kLogMask = gc_log::kCardController;
constexpr unsigned long kErrMask = gc_log::kCardController | gc_log::kError;

using namespace gc_cc;

const std::vector<uint8_t> kMasterFile{0x3F, 0x00};

std::string hex(const std::vector<uint8_t>& bytes) {
    return GC_CommonStr::byte2HexStr(bytes, false, true);
}

void dropStatusWord(std::vector<uint8_t>& response) {
    if (response.size() >= 2) response.resize(response.size() - 2);
}

// 67 00: the card found the command's length wrong, which a smaller chunk may mend. Every other
// refusal is the card's answer to the command itself, and no smaller reader size changes it.
bool wrongLength(const std::vector<uint8_t>& response) {
    return response.size() >= 2 && response[response.size() - 2] == 0x67 && response.back() == 0x00;
}

int succeed(const char* func, int line) {
    GC_LoggerC::ret1(func, kLogFile, line, kLogMask, kOk);
    return kOk;
}

// What a selection reports for a failed exchange: a warning as it is, and a lost channel or a
// card reset as they are, so that the session reopens the channel and selects again; any other
// failure is -1100.
int selectTransportCode(int rc) {
    return rc == kWarning || rc == kSecurityStatus || rc == kCardReset ? rc : kFailed;
}

// Card-level verdicts of GC_Card::checkSW and the library codes they stand for; any other
// non-zero verdict is -1100.
struct VerdictRow {
    int verdict;
    int code;
};
constexpr VerdictRow kVerdicts[] = {
    {.verdict = 0, .code = kOk},
    {.verdict = -34, .code = kSecurityStatus},   // conditions of use not satisfied
    {.verdict = -13, .code = kSecurityStatus},   // secure messaging data objects incorrect
    {.verdict = -30, .code = kFileDeactivated},  // file deactivated
    {.verdict = -29, .code = -1111},             // applet selection failed
    {.verdict = -17, .code = -2317},             // referenced data not found
    {.verdict = -14, .code = kFileNotFound},     // file not found
    {.verdict = -12, .code = kBadParameter},     // wrong parameters, index out of range
    {.verdict = -11, .code = -2307},             // referenced data not usable
    {.verdict = -10, .code = -2307},             // authentication method blocked
    {.verdict = -9, .code = -2316},              // security status not satisfied
    {.verdict = -4, .code = kEndOfFile},         // end of file before Le bytes
    {.verdict = -2, .code = kWarning},           // warning
};

}  // namespace

GC_CardController::GC_CardController(GC_Controller* controller, std::shared_ptr<GC_Card> card, bool sharedMode)
    : controller(controller),
      card(std::move(card)),
      sharedMode(sharedMode),
      data(std::make_unique<GC_Data>(controller)) {}

GC_CardController::~GC_CardController() = default;

std::unique_ptr<GC_CardController> GC_CardController::checkController(GC_Controller* controller, bool sharedMode) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) {
        GC_LoggerC::retPtr2(__func__, kLogFile, __LINE__, true, kErrMask, "Controller is nullptr");
        return nullptr;
    }
    // Any card: this is the controller of cards of no known generation.
    auto generic = std::make_unique<GC_CardController>(controller, std::make_shared<GC_Card>(), sharedMode);
    GC_LoggerC::retPtr(__func__, kLogFile, __LINE__, false, kLogMask);
    return generic;
}

bool GC_CardController::atrIsOneOf(GC_Controller* controller, const atr_table& rows) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Controller is nullptr");
        return false;
    }
    const std::vector<uint8_t> atr = controller->getATRcard();
    const bool found = std::any_of(rows.begin(), rows.end(), [&](const auto& row) { return row.second == atr; });
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "%s: %s", rows.empty() ? "" : rows.front().first.c_str(),
                     found ? "this card" : "not this card");
    return found;
}

void GC_CardController::forgetFile() {
    currentPath.clear();
    currentFileSize = 0;
}

void GC_CardController::forgetSelection() {
    currentAid.clear();
    forgetFile();
}

int GC_CardController::getSerialNumber(std::vector<uint8_t>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (&out != &serialNumber) out = serialNumber;
    return succeed(__func__, __LINE__);
}

int GC_CardController::readSerialNumber() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    // The command first: a command set without GET DATA costs the card nothing.
    std::vector<uint8_t> command;
    if (const int rc = card->getSerialNumber(command); rc != 0)
        return GC_FAIL(kErrMask, rc, "Error when getting command");
    if (const int rc = select({}, kMasterFile, false, nullptr); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when selecting main dir");
    std::vector<uint8_t> response;
    if (const int rc = controller->sendApdu(command, response, 0, true); rc != kOk)
        return GC_FAIL(kErrMask, rc == kWarning ? kWarning : kFailed, "Error when transmiting command");
    // Only a plain 90 00 gives a serial number; GET DATA warnings do not count.
    if (response.size() < 2 || response[response.size() - 2] != 0x90 || response.back() != 0x00)
        return GC_FAIL(kErrMask, kFailed, "Wrong answer to GET DATA");
    dropStatusWord(response);
    serialNumber = std::move(response);
    return succeed(__func__, __LINE__);
}

int GC_CardController::checkSW(GC_Card::operation op, std::vector<uint8_t>& response) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (response.size() < 2) return GC_FAIL(kErrMask, kFailed, "Response has no status word");
    const int verdict = card->checkSW(op, response);
    for (const VerdictRow& row : kVerdicts) {
        if (row.verdict != verdict) continue;
        if (row.code == kOk) return succeed(__func__, __LINE__);
        return GC_FAIL(kErrMask, row.code, "Card verdict %d", verdict);
    }
    return GC_FAIL(kErrMask, kFailed, "Card verdict %d", verdict);
}

int GC_CardController::selectAID(const std::vector<uint8_t>& aid, bool force) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (aid.empty() || (!force && aid == currentAid)) return succeed(__func__, __LINE__);
    std::vector<uint8_t> command;
    if (card->select(aid, command, false, false, true) != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when geting select AID command");
    std::vector<uint8_t> response;
    if (const int rc = controller->sendApdu(command, response, 0, true); rc != kOk)
        return GC_FAIL(kErrMask, selectTransportCode(rc), "Error when transmiting select command");
    int rc = checkSW(GC_Card::OP_SELECT, response);
    if (rc == kEndOfFile) rc = kOk;
    // Whatever the card said, what it has selected below the application is not known any more.
    forgetSelection();
    if (rc != kOk) return GC_FAIL(kErrMask, rc, "Select AID %s", hex(aid).c_str());
    currentAid = aid;
    return succeed(__func__, __LINE__);
}

int GC_CardController::selectFid(const std::vector<uint8_t>& fid, bool fci, bool df, std::vector<uint8_t>& answer) {
    std::vector<uint8_t> command;
    if (const int rc = card->select(fid, command, fci, df, false); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when getting select command | %d", rc);
    answer.clear();
    if (const int rc = controller->sendApdu(command, answer, 0, true); rc != kOk)
        return GC_FAIL(kErrMask, selectTransportCode(rc), "Error when transmiting select command");
    int rc = checkSW(GC_Card::OP_SELECT, answer);
    dropStatusWord(answer);
    return rc == kEndOfFile ? kOk : rc;
}

bool GC_CardController::selectsDirectory(const std::vector<uint8_t>& /*fid*/) const {
    return false;
}

bool GC_CardController::answersFileSize(const std::vector<uint8_t>& /*fid*/) const {
    return true;
}

int GC_CardController::select(const std::vector<uint8_t>& aid, const std::vector<uint8_t>& path, bool selectAppFirst,
                              size_t* fileSize) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    // Whole file identifiers only: a path from the card (a key's) may end in half of one.
    if (path.size() % 2 != 0) return GC_FAIL(kErrMask, gc_session::kWrongFidLength, "Wrong FID length");
    // An application alone: whatever file was selected in it is left behind.
    if (!currentPath.empty() && path.empty() && !aid.empty()) forgetFile();
    // The application goes first whenever it is not the current one: a file identifier may exist
    // in more than one application.
    if (const int rc = selectAID(aid, selectAppFirst); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Select AID failed | AID:%s", hex(aid).c_str());
    if (!path.empty()) GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Select : %s", hex(path).c_str());

    // What is still to be selected: the tail of `path` below the longest selected prefix.
    size_t from = path.size();
    if (!path.empty()) {
        from = 0;
        for (size_t k = 0; k < path.size(); k += 2) {
            if (currentPath.size() == path.size() - k &&
                std::equal(currentPath.begin(), currentPath.end(), path.begin())) {
                from = path.size() - k;
                break;
            }
        }
        if (from == 0) forgetFile();
    }
    if (fileSize != nullptr) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Select with FCP");
        *fileSize = 0;
        if (from == path.size()) {
            if (currentFileSize != 0 || path.empty())
                *fileSize = currentFileSize;
            else {
                // Selected before without asking its size: select the file itself again.
                from = path.size() - 2;
                currentPath.resize(from);
            }
        }
    }

    int result = kOk;
    bool recovered = false;
    for (size_t at = from; at + 2 <= path.size();) {
        const std::vector<uint8_t> fid(path.begin() + static_cast<long>(at), path.begin() + static_cast<long>(at) + 2);
        at += 2;
        std::vector<uint8_t> answer;
        result = selectFid(fid, fileSize != nullptr, selectsDirectory(fid), answer);
        if (result == kFileNotFound && !recovered && !aid.empty()) {
            // The card may not be where it is believed to be: the application again, then the whole path.
            currentAid.clear();
            if (const int rc = selectAID(aid, true); rc != kOk)
                return GC_FAIL(kErrMask, rc, "Select AID failed | AID:%s", hex(aid).c_str());
            forgetFile();
            recovered = true;
            result = kOk;
            at = 0;
            continue;
        }
        if (result != kOk) break;
        if (fileSize != nullptr) {
            *fileSize = 0;
            if (answersFileSize(fid) && answer.size() >= 5 && card->parseFilesize(answer, fileSize) != 0) {
                // The file is selected; only its size is unknown. A later identifier decides the result.
                GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Error when parsing file size | %i", -1100);
                *fileSize = 0;
                result = kFailed;
            }
        }
        currentFileSize = fileSize != nullptr ? *fileSize : 0;
        // Above every application: whatever application was current is not any more.
        if (fid == kMasterFile) currentAid.clear();
        currentPath.insert(currentPath.end(), fid.begin(), fid.end());
    }
    if (result != kOk) {
        forgetFile();
        return GC_FAIL(kErrMask, result, "Select %s failed", hex(path).c_str());
    }
    return succeed(__func__, __LINE__);
}

int GC_CardController::read(std::vector<uint8_t>& out, size_t offset, size_t count) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    out.clear();
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Reading file | idx:%zu count:%zu", offset, count);
    size_t remaining = count;
    while (true) {
        const int max = controller->getMaxApduSize(false);
        if (max <= 0) return GC_FAIL(kErrMask, kFailed, "No APDU size | %d", max);
        const size_t chunk = std::min(remaining, static_cast<size_t>(max));
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Size APDU:%zu | %d | %zu", chunk, max, remaining);
        std::vector<uint8_t> command;
        if (const int rc = card->read(command, chunk, offset); rc != 0)
            return GC_FAIL(kErrMask, kFailed, "Create select APDU with error: %d", rc);
        std::vector<uint8_t> response;
        GC_WipeGuard wipeResponse{&response};
        int rc = controller->sendApdu(command, response, chunk, true);
        if (rc == kApduTooLong) {
            if (controller->failedApduSize() == kOk) continue;
            return GC_FAIL(kErrMask, kApduTooLong, "General error | error : %d", rc);
        }
        if (rc != kOk) return GC_FAIL(kErrMask, rc, "Send read APDU with error : %d", rc);
        rc = checkSW(GC_Card::OP_READ, response);
        const bool shrink = wrongLength(response);
        dropStatusWord(response);
        if (shrink) {
            if (controller->failedApduSize() == kOk) continue;
            return GC_FAIL(kErrMask, rc, "General error | error : %d", rc);
        }
        if (rc != kOk && rc != kEndOfFile) return GC_FAIL(kErrMask, rc);
        // Never more than was asked for, whatever the card sent.
        const size_t taken = count == 0 ? response.size() : std::min(response.size(), remaining);
        out.insert(out.end(), response.begin(), response.begin() + static_cast<long>(taken));
        offset += taken;
        remaining -= count == 0 ? 0 : taken;
        // Done when all is read; the end of the file (62 82, or an answer without data) ends the
        // read with what the file had: asking past its end would only be refused.
        if (count == 0 || remaining == 0 || rc == kEndOfFile || taken == 0) break;
    }
    return succeed(__func__, __LINE__);
}

int GC_CardController::update(const std::vector<uint8_t>& data, size_t offset) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    size_t position = 0;
    while (position < data.size()) {
        const int max = controller->getMaxApduSize(true);
        if (max <= 0) return GC_FAIL(kErrMask, kFailed, "No APDU size | %d", max);
        // Room for the command header and length fields.
        const size_t room = static_cast<size_t>(max > 9 ? max - 10 : max);
        const size_t chunk = std::min(data.size() - position, room);
        const std::vector<uint8_t> piece(data.begin() + static_cast<long>(position),
                                         data.begin() + static_cast<long>(position + chunk));
        std::vector<uint8_t> command;
        if (const int rc = card->update(command, piece, offset); rc != 0)
            return GC_FAIL(kErrMask, kFailed, "Create update APDU with error: %d", rc);
        std::vector<uint8_t> response;
        int rc = controller->sendApdu(command, response, 0, true);
        if (rc == kApduTooLong) {
            if (controller->failedApduSize() == kOk) continue;
            return GC_FAIL(kErrMask, kApduTooLong, "General error | error : %d", rc);
        }
        if (rc != kOk) return GC_FAIL(kErrMask, rc, "Send update APDU with error : %d", rc);
        rc = checkSW(GC_Card::OP_UPDATE, response);
        if (rc == kEndOfFile) rc = kWriteBeyondEnd;
        if (wrongLength(response)) {
            if (controller->failedApduSize() == kOk) continue;
            return GC_FAIL(kErrMask, rc, "General error | error : %d", rc);
        }
        if (rc != kOk) return GC_FAIL(kErrMask, rc);
        offset += chunk;
        position += chunk;
    }
    return succeed(__func__, __LINE__);
}

int GC_CardController::getResponse(std::vector<uint8_t>& out, size_t le) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    std::vector<uint8_t> command;
    if (const int rc = card->getResponse(le, command); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when getting Get Response command | error: %d", rc);
    std::vector<uint8_t> response;
    if (const int rc = controller->sendApdu(command, response, 0, false); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Send read APDU with error : %d", rc);
    // The final status word belongs to the chained command; its end-of-file warning is for the
    // caller to read, not a failure of the chain.
    if (const int rc = checkSW(GC_Card::OP_READ, response); rc != kOk && rc != kEndOfFile) return GC_FAIL(kErrMask, rc);
    out = std::move(response);
    return succeed(__func__, __LINE__);
}

int GC_CardController::getMaxApduSize(bool commandData) {
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    return static_cast<int>(card->getMaxApduSize(commandData));
}

int GC_CardController::loadContainers(std::vector<std::shared_ptr<GC_Container>>& containers, bool force) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!data) return GC_FAIL(kErrMask, kFailed, "Data is nullptr");
    // Every container is tried, so that those that can be read are. One whose reading failed
    // through the card or the channel is not loaded: the first such failure is the result, and a
    // load repeated without force reads just the containers that are not loaded.
    int failure = kOk;
    for (const std::shared_ptr<GC_Container>& container : containers) {
        if (!container || (container->objectsLoaded != 0 && !force)) continue;
        std::vector<GC_Object*> objects;
        container->getObjects(objects);
        if (objects.empty()) continue;
        if (const int rc = data->readObjects(objects); rc != kOk) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "reading objects returned error code = %d", rc);
            if (failure == kOk) failure = rc;
            continue;
        }
        container->objectsLoaded = 1;
    }
    if (failure != kOk) return GC_FAIL(kErrMask, failure);
    return succeed(__func__, __LINE__);
}

int GC_CardController::getContainers(std::vector<std::shared_ptr<GC_Container>>& containers) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (!data) return GC_FAIL(kErrMask, kFailed, "Data is nullptr");
    if (const int rc = data->getContainers(containers); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when getting container");
    if (const int rc = controller->statusContainers(containers, true); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when checking status container");
    return succeed(__func__, __LINE__);
}

// --- What the card generations offer and this controller does not ---

int GC_CardController::readEx(std::vector<uint8_t>& /*out*/, const std::vector<uint8_t>& /*aid*/,
                              const std::vector<uint8_t>& /*path*/, size_t /*offset*/, bool /*selectApplication*/,
                              bool /*selectPath*/, std::vector<uint8_t> /*tag*/) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}

int GC_CardController::performSecureConnection(const SecureVector<unsigned char>& /*secret*/, const int& /*type*/) {
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}

int GC_CardController::restoreSecureConnection() {
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}

int GC_CardController::destroySecureConnection() {
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}

int GC_CardController::performChipAuthentication() {
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}

int GC_CardController::encryptApdu(const std::vector<uint8_t>& /*in*/, std::vector<uint8_t>& /*out*/) {
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}

int GC_CardController::decryptApdu(const std::vector<uint8_t>& /*in*/, std::vector<uint8_t>& /*out*/) {
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}

int GC_CardController::activeContainer(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& /*data*/) {
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (!container) return GC_FAIL(kErrMask, kBadParameter, "Container is nullptr");
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}

int GC_CardController::initContainer(std::shared_ptr<GC_Container>& container, std::vector<uint8_t> /*data*/) {
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (!container) return GC_FAIL(kErrMask, kBadParameter, "Container is nullptr");
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}

int GC_CardController::deleteObject(std::shared_ptr<GC_Container>& container, GC_Object* /*object*/, bool /*force*/) {
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (!container || !container->pin) return GC_FAIL(kErrMask, kBadParameter, "Container is nullptr");
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}

int GC_CardController::createObject(std::shared_ptr<GC_Container>& container, GC_Object* /*templ*/,
                                    GC_Object** /*out*/) {
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (!container || !container->pin) return GC_FAIL(kErrMask, kBadParameter, "Container is nullptr");
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}

int GC_CardController::generateKeyPair(std::shared_ptr<GC_Container>& /*container*/, GC_Object* /*privateTemplate*/,
                                       GC_Object* /*publicTemplate*/, GC_Object** /*privateKey*/,
                                       GC_Object** /*publicKey*/) {
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}

int GC_CardController::signatureData(std::shared_ptr<GC_Container>& /*container*/, GC_PrivKeyObject* /*key*/,
                                     std::vector<uint8_t> /*data*/, GC_Security::data_format /*format*/,
                                     GC_Security::padding_type /*padding*/, std::vector<uint8_t>& /*out*/) {
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}
