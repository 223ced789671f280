#include "CardController/cardcontroller_varnel.h"

#include <algorithm>

#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Protocols/securemessaging.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/cardcontroller_varnel";
constexpr unsigned long kLogMask = gc_log::kCardController;
constexpr unsigned long kErrMask = gc_log::kCardController | gc_log::kError;

using namespace gc_cc;

constexpr int kTagMissing = -1506;
// READ of a TLV's header: a one-byte tag, its length byte and up to three long-form bytes.
constexpr size_t kHeaderRead = 5;
constexpr size_t kMaxLengthBytes = 3;
constexpr size_t kLargestOffset = 0x8000;

const std::vector<uint8_t> kCardManager{0xA0, 0x00, 0x00, 0x01, 0x51, 0x00, 0x00, 0x00};

int succeed(const char* func, int line) {
    GC_LoggerC::ret1(func, kLogFile, line, kLogMask, kOk);
    return kOk;
}

}  // namespace

GC_CardControllerVarnel::GC_CardControllerVarnel(GC_Controller* controller, std::shared_ptr<GC_Card> card,
                                                 bool sharedMode, std::vector<uint8_t> applicationAid)
    : GC_CardController(controller, std::move(card), sharedMode), applicationAid(std::move(applicationAid)) {}

GC_CardControllerVarnel::~GC_CardControllerVarnel() = default;

bool GC_CardControllerVarnel::selectsDirectory(const std::vector<uint8_t>& fid) const {
    return !fid.empty() && fid[0] == 0xDF;
}

int GC_CardControllerVarnel::readEx(std::vector<uint8_t>& out, const std::vector<uint8_t>& aid,
                                    const std::vector<uint8_t>& path, size_t offset, bool selectApplication,
                                    bool selectPath, std::vector<uint8_t> tag) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (offset >= kLargestOffset) return GC_FAIL(kErrMask, kBadParameter, "Index is too big");
    if (tag.empty()) return GC_FAIL(kErrMask, kBadParameter, "param.size() < 1");
    if (const int rc = controller->read(out, aid, path, offset, kHeaderRead, nullptr, selectApplication, selectPath,
                                        GC_Controller::READ_SELECT, {});
        rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when reading tag from file");
    if (out.empty()) return GC_FAIL(kErrMask, kBadParameter, "Response size is 0");
    if (out.size() < tag.size() + 1) return GC_FAIL(kErrMask, kBadParameter, "Response size is too short");
    auto noTag = [&](const char* text) {
        out.clear();
        return GC_FAIL(kErrMask, kTagMissing, "%s", text);
    };
    if (!std::equal(tag.begin(), tag.end(), out.begin())) return noTag("File not contain a tag");

    // The length comes after the whole tag.
    const uint8_t first = out[tag.size()];
    size_t header = tag.size() + 1;
    size_t length = first;
    if ((first & 0xF0) == 0x80) {
        const size_t n = first & 0x0F;
        if (n == 0 || n > kMaxLengthBytes || out.size() < header + n) return noTag("File not contain a tag");
        length = 0;
        for (size_t i = 0; i < n; ++i) length = (length << 8) | out[header + i];
        header += n;
    }
    const size_t total = header + length;
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Reading a size : %zu", total);
    if (const int rc =
            controller->read(out, aid, path, offset, total, nullptr, false, false, GC_Controller::READ_SELECT, {});
        rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when reading file with tag");
    // A file that ends inside the value holds no whole TLV there.
    if (out.size() != total) return noTag("File ends before the end of the tag's value");
    return succeed(__func__, __LINE__);
}

int GC_CardControllerVarnel::performSecureConnection(const SecureVector<unsigned char>& secret, const int& type) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (const int rc = GC_PaceController::performPACE(controller, secret, type, &paceParams); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when performing pace | %d", rc);
    return succeed(__func__, __LINE__);
}

int GC_CardControllerVarnel::restoreSecureConnection() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    if (const int rc = GC_PaceController::restorePACE(controller, &paceParams); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when restoring pace | %d", rc);
    return succeed(__func__, __LINE__);
}

int GC_CardControllerVarnel::destroySecureConnection() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    // The OpenSSL contexts that hold the session keys go with the channel, whatever the card answers.
    struct ForgetKeys {
        GC_PaceController::pace_params& params;
        ~ForgetKeys() { GC_SecureMessaging::forgetKeyContexts(&params); }
    } forget{paceParams};
    if (select(applicationAid, {}, true, nullptr) == kOk) return succeed(__func__, __LINE__);
    select(kCardManager, {}, true, nullptr);
    if (const int rc = select(applicationAid, {}, true, nullptr); rc != kOk) return GC_FAIL(kErrMask, rc);
    return succeed(__func__, __LINE__);
}

int GC_CardControllerVarnel::encryptApdu(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
    if (const auto rc = GC_SecureMessaging::smProtectAPDU(&paceParams, in, out); rc != 0)
        return GC_FAIL(kErrMask, static_cast<int>(rc), "Error when protecting APDU");
    return kOk;
}

int GC_CardControllerVarnel::decryptApdu(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
    if (const auto rc = GC_SecureMessaging::smFreeAPDU(&paceParams, in, out); rc != 0)
        return GC_FAIL(kErrMask, static_cast<int>(rc), "Error when decrypting APDU");
    return kOk;
}

int GC_CardControllerVarnel::pinUnderChannel(const char* func, std::shared_ptr<GC_Container>& container,
                                             bool carriesPin) {
    if (controller->channelFlags() != 0) return kOk;
    GC_LoggerC::log(func, kLogFile, __LINE__, kErrMask, "Secure Connection is not established.");
    const int restored = controller->restoreSecureConnection();
    // A PIN never goes to the card in plain.
    if (restored != kOk && carriesPin)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, kSecurityStatus,
                                "No secure channel: the PIN is not sent | %d", restored);
    controller->select(container->pin->path, nullptr, container->AID, true);
    return kOk;
}

int GC_CardControllerVarnel::verifyPassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin,
                                            bool statusOnly) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    if (const int rc = pinUnderChannel(__func__, container, !statusOnly && !pin.empty()); rc != kOk) return rc;
    if (const int rc = GC_CardController::verifyPassword(container, pin, statusOnly); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Error when verify password");
    return succeed(__func__, __LINE__);
}

int GC_CardControllerVarnel::changePassword(std::shared_ptr<GC_Container>& container,
                                            const std::vector<uint8_t>& oldPin, const std::vector<uint8_t>& newPin) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    if (const int rc = pinUnderChannel(__func__, container, true); rc != kOk) return rc;
    return GC_CardController::changePassword(container, oldPin, newPin);
}

int GC_CardControllerVarnel::unblockPassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin,
                                             bool setNew) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = pinGuards(__func__, container, true); rc != kOk) return rc;
    if (const int rc = pinUnderChannel(__func__, container, !pin.empty()); rc != kOk) return rc;
    return GC_CardController::unblockPassword(container, pin, setNew);
}

int GC_CardControllerVarnel::selectPinDirectory(std::shared_ptr<GC_Container>& container,
                                                const std::vector<uint8_t>& directory) {
    const int rc = select(container->AID, directory, false, nullptr);
    if (rc == kOk) {
        container->flags |= GC_Container::FLAG_ACTIVE;
        container->flags &= ~GC_Container::FLAG_DEACTIVATED;
        return kOk;
    }
    // Only the card's word on the directory changes what is known of it; a failed exchange (the
    // card pulled or reset) says nothing of it.
    if (rc == kFileDeactivated)
        container->flags = (container->flags & ~GC_Container::FLAG_ACTIVE) | GC_Container::FLAG_DEACTIVATED;
    else if (rc == kFileNotFound)
        container->flags &= ~GC_Container::FLAG_ACTIVE;
    return GC_FAIL(kErrMask, rc, "Error when selecting dir, maybe not active");
}

int GC_CardControllerVarnel::statusContainers(std::vector<std::shared_ptr<GC_Container>>& list) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kFailed, "Controller is nullptr");
    if (!card) return GC_FAIL(kErrMask, kFailed, "Card is nullptr");
    int result = kOk;
    int failedExchange = kOk;  // the card said nothing of a PIN: the query failed, whatever follows
    for (std::shared_ptr<GC_Container>& container : list) {
        if (!container || !container->pin) continue;
        GC_Container& c = *container;
        if (c.pin->pinReference != 0) {
            beforePinStatus(c);
            const int status = controller->verifyPassword(container, {}, false, true);
            if (!isPinVerdict(status) && !pinDirectoryDeactivated(status)) {
                // The directory's selection below may cost no command and succeed: the answer
                // that never came must not end as a query that did.
                if (failedExchange == kOk) failedExchange = status;
                continue;
            }
            if (status == kPinBlocked) {
                c.flags |= GC_Container::FLAG_BLOCKED;
                c.pin->triesLeft = 0;
            } else if (pinDirectoryDeactivated(status)) {
                c.flags = (c.flags & ~GC_Container::FLAG_ACTIVE) | GC_Container::FLAG_DEACTIVATED;
                c.pin->triesLeft = 0;
            } else if (status != kOk && isPinVerdict(status)) {
                // Only the card's word on the PIN says it has no tries; a failed exchange leaves them.
                c.pin->triesLeft = 0;
            }
        }
        result = isActive(container);
    }
    if (failedExchange != kOk) result = failedExchange;
    if (result != kOk) return GC_FAIL(kErrMask, result);
    return succeed(__func__, __LINE__);
}
