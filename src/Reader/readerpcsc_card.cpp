// PC/SC back-end: adopting handles, connecting, card transactions and transmission.
#include <algorithm>
#include <cstdint>

#include "Data/bytes.h"
#include "Data/wipe.h"
#include "Reader/readerpcsc.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "Reader/readerpcsc";
constexpr unsigned long kLogMask = gc_log::kReader;
constexpr unsigned long kLogDetail = gc_log::kReader | gc_log::kDetail;
constexpr unsigned long kLogError = gc_log::kReader | gc_log::kError;

constexpr size_t kUnknownLengthBuffer = 65000;
// No answer is longer than an extended-length response.
constexpr size_t kMaxResponse = MAX_BUFFER_SIZE_EXTENDED;

// Bytes of the control structures in front of the command they carry (abData).
constexpr size_t kPinVerifyHeader = 19;
constexpr size_t kPinModifyHeader = 24;
// The command's header and Lc.
constexpr size_t kCommandHeader = 5;

// The first `count` bytes (all when there are fewer) as hex text. GC_Bytes takes a whole
// std::vector whatever count it is given: the bytes are cut here.
std::string hex(const std::vector<unsigned char>& bytes, bool spaces, size_t count = SIZE_MAX) {
    GC_Bytes text(SecureVector<unsigned char>(bytes.data(), std::min(count, bytes.size())), 0);
    return text.empty() ? std::string() : std::string(text.toHex(spaces, true).c_str());
}

// How many leading bytes of a control block may go to the log: the EXECUTE_PACE block carries
// the PACE password behind its function index, a PIN structure whatever data its command
// already holds (a PUK, a current PIN) behind the command's header and Lc.
size_t loggable(const GC_ReaderPCSC::pcsc_data& d, unsigned int code, size_t size) {
    if (code == 0) return size;
    if (code == d.ctlExecutePace) return std::min<size_t>(size, 1);
    if (code == d.ctlVerifyPinDirect || code == d.ctlVerifyPinStart)
        return std::min(size, kPinVerifyHeader + kCommandHeader);
    if (code == d.ctlModifyPinDirect || code == d.ctlModifyPinStart)
        return std::min(size, kPinModifyHeader + kCommandHeader);
    return size;
}

// Reconnects the card on its handle in the share mode of the connection (leaving or resetting
// the card) and takes the protocol the card negotiated anew.
LONG reconnect(GC_ReaderPCSC::pcsc_data& d, bool shared, DWORD disposition) {
    DWORD protocol = 0;
    const LONG rv = d.SCardReconnect(d.hCard, shared ? SCARD_SHARE_SHARED : SCARD_SHARE_EXCLUSIVE,
                                     SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, disposition, &protocol);
    if (rv == SCARD_S_SUCCESS) d.activeProtocol = protocol == SCARD_PROTOCOL_T0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
    return rv;
}

}  // namespace

void GC_ReaderPCSC::dropCard() {
    if (!data) return;
    if (data->hCard != 0 && data->ownsCard && data->SCardDisconnect != nullptr)
        data->SCardDisconnect(data->hCard, SCARD_LEAVE_CARD);
    data->hCard = 0;
    data->ownsCard = false;
    locked = false;
}

void GC_ReaderPCSC::releaseLostCard() {
    if (locked && data->SCardEndTransaction != nullptr) data->SCardEndTransaction(data->hCard, SCARD_LEAVE_CARD);
    locked = false;
    if (data->ownsCard) dropCard();
}

int GC_ReaderPCSC::setParam(void* params) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, false); rc != gc_reader::kOk) return rc;
    if (data->SCardIsValidContext == nullptr) return notSupported(__func__);
    if (params == nullptr) return GC_FAIL(kLogError, gc_reader::kBadArgument);
    const auto* block = static_cast<const handle_params*>(params);
    if (block->hContext == data->hContext && block->hCard == data->hCard) {
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
        return gc_reader::kOk;
    }
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "old hContext: %p | hContext: %p",
                     reinterpret_cast<void*>(data->hContext), reinterpret_cast<void*>(block->hContext));
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "old hCard: %p | hCard: %p",
                     reinterpret_cast<void*>(data->hCard), reinterpret_cast<void*>(block->hCard));
    // What this object made itself is given back before the host's handles are taken over.
    if (block->hCard != data->hCard) dropCard();
    if (block->hContext != data->hContext && data->hContext != 0) releaseContext();
    if (block->hContext != data->hContext) {
        data->hContext = block->hContext;
        data->ownsContext = false;
    }
    if (block->hCard != data->hCard) {
        data->hCard = block->hCard;
        data->ownsCard = false;
        data->activeProtocol = SCARD_PROTOCOL_T1;
        DWORD state = 0, protocol = 0;
        if (data->hCard != 0 &&
            data->SCardStatus(data->hCard, nullptr, nullptr, &state, &protocol, nullptr, nullptr) == SCARD_S_SUCCESS &&
            (protocol == SCARD_PROTOCOL_T0 || protocol == SCARD_PROTOCOL_T1))
            data->activeProtocol = protocol;
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderPCSC::initCard(bool shared, void* params) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, false); rc != gc_reader::kOk) return rc;
    if (data->readerName.empty()) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogError, "Reader name is empty");
        if (data->SCardDisconnect == nullptr)
            return GC_FAIL(kLogError, gc_reader::kNotSupported, "Function SCardDisconnect not supported");
        dropCard();
        return GC_FAIL(kLogError, gc_reader::kNotInList, "Reader is not in reader list");
    }
    if (params != nullptr) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "handle params from outside");
        const auto* block = static_cast<const handle_params*>(params);
        if (block->hCard != data->hCard) dropCard();
        if (block->hContext != data->hContext && data->hContext != 0) releaseContext();
        data->ownsContext = data->ownsContext && block->hContext == data->hContext;
        data->hContext = block->hContext;
        if (block->hCard != data->hCard) {
            data->hCard = block->hCard;
            data->ownsCard = false;
            data->activeProtocol = SCARD_PROTOCOL_T1;
        }
    } else {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "SCardConnect | reader:%s shared mode:%i",
                         data->readerName.c_str(), shared ? 1 : 0);
        if (data->SCardConnect == nullptr)
            return GC_FAIL(kLogError, gc_reader::kNotSupported, "Function SCardConnect not supported");
        // An earlier connection of this object would refuse an exclusive connect: it goes first.
        dropCard();
        if (data->hContext == 0) establishContext();
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        LONG rv = data->SCardConnect(data->hContext, data->readerName.c_str(),
                                     shared ? SCARD_SHARE_SHARED : SCARD_SHARE_EXCLUSIVE,
                                     SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
        if (rv != SCARD_S_SUCCESS)
            return GC_FAIL(kLogError, gc_reader::kNoCard, "SCardConnect error : %ld", static_cast<long>(rv));
        data->hCard = card;
        data->ownsCard = true;
        data->activeProtocol = protocol == SCARD_PROTOCOL_T0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
    }
    sharedMode = shared;
    detectReaderFeatures();
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "hContext: %p", reinterpret_cast<void*>(data->hContext));
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "hCard: %p", reinterpret_cast<void*>(data->hCard));
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderPCSC::lock() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, true); rc != gc_reader::kOk) return rc;
    if (data->SCardIsValidContext == nullptr) return notSupported(__func__);
    LONG rv = data->SCardIsValidContext(data->hContext);
    if (rv != SCARD_S_SUCCESS) {
        if (rv == 6 || rv == static_cast<LONG>(SCARD_E_INVALID_HANDLE))
            GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kLogError, gc_reader::kFailed, " handle  error %ld",
                              static_cast<long>(rv));
        else
            GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kLogError, gc_reader::kFailed, " other error %ld",
                              static_cast<long>(rv));
        return gc_reader::kFailed;
    }
    if (data->SCardBeginTransaction == nullptr) return notSupported(__func__);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "hContext: %p", reinterpret_cast<void*>(data->hContext));
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "hCard: %p", reinterpret_cast<void*>(data->hCard));
    rv = data->SCardBeginTransaction(data->hCard);
    if (rv == static_cast<LONG>(SCARD_W_RESET_CARD)) {
        // Another client reset the card: acknowledge it on this handle (without resetting again)
        // and let the caller redo its card session with the next lock.
        rv = reconnect(*data, sharedMode, SCARD_LEAVE_CARD);
        if (rv == SCARD_S_SUCCESS) {
            locked = false;
            GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kCardReset,
                             "Success reconnect - reset");
            return gc_reader::kCardReset;
        }
    }
    if (rv != SCARD_S_SUCCESS)
        return GC_FAIL(kLogError, gc_reader::kBeginTransaction, "SCardBeginTransaction failed: %ld",
                       static_cast<long>(rv));
    locked = true;
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderPCSC::unlock() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, true); rc != gc_reader::kOk) return rc;
    if (data->SCardEndTransaction == nullptr) return notSupported(__func__);
    LONG rv = data->SCardEndTransaction(data->hCard, SCARD_LEAVE_CARD);
    if (rv != SCARD_S_SUCCESS)
        return GC_FAIL(kLogError, gc_reader::kEndTransaction, "SCardEndTransaction return : %ld",
                       static_cast<long>(rv));
    locked = false;
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

bool GC_ReaderPCSC::isLocked() {
    return locked;
}

int GC_ReaderPCSC::sendAPDU(std::vector<unsigned char> apdu, std::vector<unsigned char>& response, unsigned long le) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    // This copy of the command goes with the call; a plain VERIFY carries the PIN.
    GC_WipeGuard wipeCommand{&apdu};
    if (const int rc = checkReady(__func__, true); rc != gc_reader::kOk) return rc;
    if (data->SCardTransmit == nullptr) return notSupported(__func__);
    size_t expected = le != 0 ? std::min<size_t>(static_cast<size_t>(le) + 2, kMaxResponse) : kUnknownLengthBuffer;
    response.resize(expected);
    DWORD received = static_cast<DWORD>(response.size());
    // The protocol the card negotiated (T=1 for adopted handles): a T=0 card refuses a T=1 request.
    SCARD_IO_REQUEST pci{data->activeProtocol, sizeof(SCARD_IO_REQUEST)};
    LONG rv = data->SCardTransmit(data->hCard, &pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr,
                                  response.data(), &received);
    if (received != 0 && rv != static_cast<LONG>(SCARD_E_INVALID_HANDLE)) {
        if (rv == SCARD_S_SUCCESS) {
            // A library that claims more than the buffer holds has not given a usable answer.
            if (received > response.size()) {
                response.clear();
                return GC_FAIL(kLogError, gc_reader::kTransmit, "Answer longer than the buffer");
            }
            response.resize(received);
            GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
            return gc_reader::kOk;
        }
        if (rv != static_cast<LONG>(SCARD_W_RESET_CARD)) {
            response.clear();
            return GC_FAIL(kLogError, gc_reader::kTransmit, "Transmit failed : %ld", static_cast<long>(rv));
        }
    }
    // Nothing came back, the handle is gone or the card was reset: reconnect with a reset.
    response.clear();
    if (detectReaderChanges() != gc_reader::kOk)
        return GC_FAIL(kLogError, gc_reader::kTransmit, "Failed detect reader changes");
    if (data->SCardReconnect == nullptr) return GC_FAIL(kLogError, gc_reader::kTransmit, "SCardReconnect is NULL");
    rv = reconnect(*data, sharedMode, SCARD_RESET_CARD);
    if (rv != SCARD_S_SUCCESS) {
        // No card to reconnect to (pulled): the card transaction this handle holds would keep
        // every other client, and the next card in the reader, waiting. It is ended; a connection
        // of our own goes with it, as its card has gone.
        releaseLostCard();
        return GC_FAIL(kLogError, gc_reader::kTransmit, "Function SCardReconnect failed %ld", static_cast<long>(rv));
    }
    locked = false;
    GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kCardReset, "Success reconnect - reset");
    return gc_reader::kCardReset;
}

int GC_ReaderPCSC::internalTransmit(const std::vector<unsigned char>& in, std::vector<unsigned char>& out,
                                    unsigned int controlCode) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, true); rc != gc_reader::kOk) return rc;
    DWORD sendLength = static_cast<DWORD>(in.size());
    DWORD receiveLength = static_cast<DWORD>(out.size());
    // A block that may carry a secret is dumped only up to it, with its length.
    if (const size_t shown = loggable(*data, controlCode, in.size()); shown < in.size())
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogDetail, "SENDCTL: %s(%zu bytes)",
                         hex(in, true, shown).c_str(), in.size());
    else
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogDetail, "SENDCTL: %s", hex(in, true).c_str());
    LONG rv;
    if (controlCode == 0) {
        if (data->SCardTransmit == nullptr) return notSupported(__func__);
        SCARD_IO_REQUEST sendPci{data->activeProtocol, sizeof(SCARD_IO_REQUEST)};
        SCARD_IO_REQUEST receivePci{data->activeProtocol, sizeof(SCARD_IO_REQUEST)};
        rv = data->SCardTransmit(data->hCard, &sendPci, in.data(), sendLength, &receivePci, out.data(), &receiveLength);
    } else {
        enableWindow(2);
        // The older control function takes no control code, so it cannot carry this exchange.
        if (data->SCardControl132 == nullptr) return notSupported(__func__);
        DWORD returned = 0;
        rv = data->SCardControl132(data->hCard, controlCode, in.data(), sendLength, out.data(), receiveLength,
                                   &returned);
        receiveLength = returned;
        enableWindow(0);
    }
    if (rv != SCARD_S_SUCCESS) {
        if (rv == static_cast<LONG>(SCARD_W_REMOVED_CARD))
            return GC_FAIL(kLogError, gc_reader::kCardRemoved, "Card is remowe");
        return GC_FAIL(kLogError, gc_reader::kTransmit, "Other errror");
    }
    if (receiveLength > out.size()) return GC_FAIL(kLogError, gc_reader::kUnknownData, "Answer longer than the buffer");
    if (data->ctlExecutePace == 0 && receiveLength <= 1)
        return GC_FAIL(kLogError, gc_reader::kUnknownData, "Unknown data");
    out.resize(receiveLength);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogDetail, "RECV: %s", hex(out, true).c_str());
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderPCSC::getCardATR(std::vector<unsigned char>& atr) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!data) return GC_FAIL(kLogError, gc_reader::kNotInitialized, "Reader not intitialized");
    if (data->readerName.empty()) return GC_FAIL(kLogError, gc_reader::kNotInList, "Reader name is empty");
    {
        std::lock_guard lock(readerStatesMutex);
        for (size_t i = firstReaderIndex; i < readerStates.size(); ++i) {
            const SCARD_READERSTATE& entry = readerStates[i];
            if (!(entry.dwCurrentState & SCARD_STATE_PRESENT) || entry.szReader == nullptr ||
                data->readerName != entry.szReader)
                continue;
            size_t length = std::min<size_t>(entry.cbAtr, sizeof entry.rgbAtr);
            atr.assign(entry.rgbAtr, entry.rgbAtr + length);
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "In reader %s  is card with ATR: %s",
                             data->readerName.c_str(), hex(atr, false).c_str());
            GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
            return gc_reader::kOk;
        }
    }
    return GC_FAIL(kLogError, gc_reader::kNoCard, "Reader is empty");
}
