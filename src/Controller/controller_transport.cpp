// The card session's command transport: locking, secure messaging, 61 xx chains, and learning
// the largest command the reader takes.
#include <algorithm>
#include <cmath>

#include "Controller/controller.h"
#include "Data/wipe.h"
#include "Protocols/securemessaging.h"
#include "Reader/reader.h"
#include "cache.h"
#include "logger.h"
#include "settings.h"

namespace {

constexpr const char* kLogFile = "Controller/controller_transport";
constexpr unsigned long kLogMask = gc_log::kController;
constexpr unsigned long kErrMask = gc_log::kController | gc_log::kError;

using namespace gc_cc;

constexpr long long kDefaultApduSize = 200;
// Learning grows and shrinking lowers the size in steps of this many bytes.
constexpr long long kSizeStep = 201;
constexpr long long kShrinkThreshold = 457;
// Secure messaging's share of a command: tags, lengths, padding and checksum.
constexpr int kSecureMessagingOverhead = 25;
// The card controller's and the reader's size when the session has neither.
constexpr int kSizeWithoutCard = 255;
// A chain of 61 xx answers is followed this far, then taken as a card that never ends it.
constexpr int kMaxChainRounds = 32;
constexpr size_t kMaxChainBytes = 64 * 1024;

// The plain answers of a card that has no secure-messaging channel (any more): SM data objects
// missing or wrong.
bool channelRefused(const std::vector<uint8_t>& raw) {
    return raw.size() == 2 && raw[0] == 0x69 && (raw[1] == 0x87 || raw[1] == 0x88);
}

bool endsWith9000(const std::vector<uint8_t>& response) {
    return response.size() >= 2 && response[response.size() - 2] == 0x90 && response.back() == 0x00;
}

}  // namespace

int GC_Controller::sendApdu(const std::vector<uint8_t>& command, std::vector<uint8_t>& response, unsigned long le,
                            bool secure) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (reader == nullptr) return GC_FAIL(kErrMask, gc_session::kReaderMissing, "Reader is nullptr");
    if (!cardController) return GC_FAIL(kErrMask, gc_session::kCardMissing, "Card is nullptr");
    // Not even a header: nothing a card could answer.
    if (command.size() < 4) return GC_FAIL(kErrMask, kBadParameter, "Command is too short | %zu", command.size());
    const std::string name = reader->getReaderName();
    if (static_cast<long long>(command.size()) > reader->maxApduSize && !reader->extendedApdu) {
        GC_Cache::operationNotAllow(name.c_str());
        return GC_FAIL(kErrMask, kApduTooLong, "APDU size is to long");
    }
    bool reset = false;
    if (const int rc = lockReader(&reset); rc != 0) return GC_FAIL(kErrMask, rc, "Reader cannot lock");
    auto failReleased = [&](int rc, const char* text) { return finishOperation(__func__, rc, text); };
    if (reset) {
        // The card was reset since this operation's last exchange: the file it selected (and any
        // channel) went with it, so this command must not go to the card as if nothing happened.
        return failReleased(kCardReset, "Card was reset since the last exchange");
    }
    // A command meant for the channel a reset took away (a PIN, say) waits for the channel to be
    // reopened: it never goes to the card in plain.
    if (secure && channelTakenByReset && !reader->isPinpad())
        return failReleased(kSecurityStatus, "The channel went with a card reset");

    GC_LoggerC::apdu(__func__, __LINE__, kLogMask, command, false, false, true);
    const bool protect = flags != 0 && secure && !reader->isPinpad();
    std::vector<uint8_t> sent;
    GC_WipeGuard wipeSent{&sent};  // a plain VERIFY carries the PIN
    if (protect) {
        if (const int rc = cardController->encryptApdu(command, sent); rc != 0)
            return failReleased(rc, "Cannot encrypt APDU");
        GC_LoggerC::apdu(__func__, __LINE__, kLogMask, sent, false, true, true);
        le = 0;
    } else {
        sent = command;
    }
    if (static_cast<long long>(sent.size()) > reader->maxApduSize && !reader->extendedApdu) {
        GC_Cache::operationNotAllow(name.c_str());
        return failReleased(kApduTooLong, "Encrypt APDU size is to long");
    }

    std::vector<uint8_t> raw;
    GC_WipeGuard wipeRaw{&raw};
    if (!lockController()) return failReleased(kFailed, "Controller cannot lock");
    int rc = reader->sendAPDU(sent, raw, le);
    unlockController();
    if (rc == gc_reader::kCardReset) {
        // The reader reconnected to a reset card.
        cardWasReset();
        if (const int released = unlockReader(0); released != 0)
            return GC_FAIL(kErrMask, released, "Reader cannot unlock");
        failedApduSize();
        return GC_FAIL(kErrMask, kCardReset, "Card was reset during the exchange");
    }
    if (rc != 0) return failReleased(rc, "Controller cannot send APDU");
    // No status word: nothing of it can be read.
    if (raw.size() < 2) return failReleased(kApduTooLong, "Response data invalid");
    if (raw[raw.size() - 2] == 0x61) {
        if (rc = followChain(raw); rc != 0) {
            // Under the channel a card that chains has protected bytes to give: a follow-up it
            // refuses shows a damaged answer that merely ended in 61 xx. The command may have been
            // carried out, so the refusal is no lost channel to repeat the command on.
            if (protect && rc == kSecurityStatus) rc = static_cast<int>(GC_SecureMessaging::kMalformed);
            return failReleased(rc, "Controller cannot get response APDU");
        }
    }

    const size_t rawLength = raw.size();
    const size_t responseStart = response.size();
    int result = 0;
    if (protect) {
        // Every answer to a protected command is verified: a plain status word (even 90 00) is not
        // an answer of the channel.
        GC_LoggerC::apdu(__func__, __LINE__, kLogMask, raw, true, true, true);
        std::vector<uint8_t> plain;
        GC_WipeGuard wipePlain{&plain};
        result = cardController->decryptApdu(raw, plain);
        if (result != 0) GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Cannot decrypt APDU %d", result);
        // A card without the channel (reset, or it dropped it) refuses in plain: 69 87, 69 88. That
        // refusal is the caller's to see, so that the channel is reopened; no other plain answer
        // counts under the channel.
        if (result != 0 && channelRefused(raw)) result = 0;
        response.insert(response.end(), plain.begin(), plain.end());
    } else {
        response.insert(response.end(), raw.begin(), raw.end());
    }
    if (result == 0) GC_LoggerC::apdu(__func__, __LINE__, kLogMask, response, true, false, true);

    if (const int released = unlockReader(0); released != 0) {
        if (reader->apduSizeFixed) return GC_FAIL(kErrMask, released, "Reader cannot unlock");
        // The reader choked on the exchange: taken as one too large for it, the size is fixed.
        const long long before = reader->maxApduSize;
        reader->apduSizeFixed = true;
        reader->maxApduSize = before >= kShrinkThreshold ? before - kSizeStep : kDefaultApduSize;
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask,
                         "Change max reader supported APDU size: %lld => %lld for %s", before, reader->maxApduSize,
                         name.c_str());
        GC_Settings::setReaderMaxAPDUSize(name.c_str(), static_cast<int>(reader->maxApduSize), reader->extendedApdu);
        const int sw1 = rawLength >= 2 ? raw[rawLength - 2] : 0;
        const int sw2 = rawLength >= 2 ? raw[rawLength - 1] : 0;
        std::fill(response.begin() + static_cast<long>(responseStart), response.end(), 0);
        response.resize(responseStart);
        return GC_FAIL(kErrMask, kApduTooLong, "Response data invalid | dropped answer ending %02X %02X", sw1, sw2);
    }
    if (result != 0) return GC_FAIL(kErrMask, result);
    if (!reader->apduSizeFixed && endsWith9000(response))
        learnApduSize(command.size(), sent.size(), rawLength, response.size() - responseStart);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Controller::followChain(std::vector<uint8_t>& raw) {
    const size_t part = raw.size() - 2;
    if (chainRounds >= kMaxChainRounds || chainBytes + part > kMaxChainBytes)
        return GC_FAIL(kErrMask, kApduTooLong, "Chained answer does not end | rounds: %d bytes: %zu", chainRounds,
                       chainBytes + part);
    const size_t le = raw.back();
    std::vector<uint8_t> more;
    GC_WipeGuard wipeMore{&more};
    ++chainRounds;
    chainBytes += part;
    const int rc = cardController->getResponse(more, le);
    --chainRounds;
    chainBytes -= part;
    if (rc != 0) return rc;
    raw.resize(part);
    raw.insert(raw.end(), more.begin(), more.end());
    return 0;
}

void GC_Controller::learnApduSize(size_t commandLength, size_t sentLength, size_t rawLength, size_t responseLength) {
    long long& size = reader->maxApduSize;
    const long long sent = static_cast<long long>(sentLength);
    const long long raw = static_cast<long long>(rawLength);
    const std::string name = reader->getReaderName();
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "APDU SIZE: %zu | Max APDU SIZE: %lld", commandLength,
                     size);
    if (size >= 256 && (sent >= size || raw > size) && !reader->extendedApdu) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Reader support Extended APDU: %s", name.c_str());
        reader->extendedApdu = true;
        GC_Settings::setReaderMaxAPDUSize(name.c_str(), GC_Settings::kExtendedMark, true);
    }
    const long long before = size;
    if (sent >= size) {
        size += kSizeStep;
    } else if (size >= kDefaultApduSize && raw > size - kDefaultApduSize) {
        // Room for the answer just seen, in whole steps, and one step more than the size had.
        long long steps = static_cast<long long>(std::ceil(static_cast<double>(responseLength) / kSizeStep));
        if (steps * kDefaultApduSize <= size) ++steps;
        size = steps * kSizeStep - 1;
    }
    if (size != before)
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask,
                         "Change max reader supported APDU size: %lld => %lld for %s", before, size, name.c_str());
}

int GC_Controller::getMaxApduSize(bool commandData) {
    if (reader == nullptr || !cardController) return kSizeWithoutCard;
    long long size = std::min<long long>(cardController->getMaxApduSize(commandData), reader->maxApduSize);
    if (flags != 0 && !reader->isPinpad() && size >= kSecureMessagingOverhead) size -= kSecureMessagingOverhead;
    return static_cast<int>(size);
}

int GC_Controller::failedApduSize() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (reader == nullptr) return GC_FAIL(kErrMask, gc_session::kReaderMissing, "Reader is nullptr");
    const std::string name = reader->getReaderName();
    long long& size = reader->maxApduSize;
    if (reader->apduSizeFixed) {
        GC_Cache::connectionFailed(name.c_str());
        return GC_FAIL(kErrMask, kFailed, "For %s is MAX APDU SIZE: %lld", name.c_str(), size);
    }
    if (size < kDefaultApduSize) {
        GC_Cache::connectionFailed(name.c_str());
        return GC_FAIL(kErrMask, kFailed, "Failed set MAX supported APDU for %s", name.c_str());
    }
    size = size >= kShrinkThreshold ? size - kSizeStep : kDefaultApduSize;
    reader->apduSizeFixed = true;
    GC_Settings::setReaderMaxAPDUSize(name.c_str(), static_cast<int>(size), reader->extendedApdu);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Set reader MAX supported APDU size: %lld for %s", size,
                     name.c_str());
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}
