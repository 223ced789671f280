// The fake PC/SC library. Built twice: with the usual function names, and (FAKEPCSC_A_NAMES)
// with SCardConnect, SCardStatus, SCardGetStatusChange and SCardListReaders exported only under
// their "A" names.
#include "fake_pcsc.h"

#include <algorithm>
#include <cstring>

#ifdef FAKEPCSC_A_NAMES
#define NARROW(name) name##A
#else
#define NARROW(name) name
#endif

namespace {

fakepcsc::State& state() {
    static fakepcsc::State s;
    return s;
}

constexpr SCARDCONTEXT kContextBase = 0x1000;
constexpr SCARDHANDLE kCardBase = 0x2000;
SCARDCONTEXT nextContext = kContextBase;
SCARDHANDLE nextCard = kCardBase;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) fakepcsc::State* fakepcsc_state() { return &state(); }

__attribute__((visibility("default"))) LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    std::lock_guard lock(state().mutex);
    ++state().contextsEstablished;
    *context = ++nextContext;
    return SCARD_S_SUCCESS;
}

__attribute__((visibility("default"))) LONG SCardReleaseContext(SCARDCONTEXT) {
    std::lock_guard lock(state().mutex);
    ++state().contextsReleased;
    return SCARD_S_SUCCESS;
}

__attribute__((visibility("default"))) LONG SCardIsValidContext(SCARDCONTEXT context) {
    return context != 0 ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

__attribute__((visibility("default"))) LONG NARROW(SCardConnect)(SCARDCONTEXT, LPCSTR reader, DWORD share, DWORD,
                                                                 LPSCARDHANDLE card, LPDWORD protocol) {
    std::lock_guard lock(state().mutex);
    auto& s = state();
    auto it = std::find_if(s.readers.begin(), s.readers.end(), [&](const auto& r) { return r.name == reader; });
    if (it == s.readers.end()) return SCARD_E_UNKNOWN_READER;
    if (!it->present) return SCARD_E_NO_SMARTCARD;
    if (share == SCARD_SHARE_EXCLUSIVE && s.openCards > 0) return SCARD_E_SHARING_VIOLATION;
    ++s.connects;
    ++s.openCards;
    s.lastShareMode = share;
    *card = ++nextCard;
    *protocol = s.connectProtocol;
    return SCARD_S_SUCCESS;
}

__attribute__((visibility("default"))) LONG SCardReconnect(SCARDHANDLE, DWORD share, DWORD, DWORD disposition,
                                                           LPDWORD protocol) {
    std::lock_guard lock(state().mutex);
    state().reconnectDispositions.push_back(disposition);
    state().lastShareMode = share;
    *protocol = state().connectProtocol;
    return state().reconnectResult;
}

__attribute__((visibility("default"))) LONG SCardDisconnect(SCARDHANDLE, DWORD) {
    std::lock_guard lock(state().mutex);
    ++state().disconnects;
    if (state().openCards > 0) --state().openCards;
    return SCARD_S_SUCCESS;
}

__attribute__((visibility("default"))) LONG SCardBeginTransaction(SCARDHANDLE) {
    std::lock_guard lock(state().mutex);
    LONG rv = state().beginTransactionResult;
    state().beginTransactionResult = SCARD_S_SUCCESS;
    return rv;
}

__attribute__((visibility("default"))) LONG SCardEndTransaction(SCARDHANDLE, DWORD) { return SCARD_S_SUCCESS; }

__attribute__((visibility("default"))) LONG NARROW(SCardStatus)(SCARDHANDLE, LPSTR, LPDWORD, LPDWORD, LPDWORD protocol,
                                                                LPBYTE, LPDWORD) {
    if (protocol != nullptr) *protocol = state().connectProtocol;
    return SCARD_S_SUCCESS;
}

__attribute__((visibility("default"))) LONG NARROW(SCardGetStatusChange)(SCARDCONTEXT, DWORD,
                                                                         SCARD_READERSTATE* states, DWORD count) {
    std::lock_guard lock(state().mutex);
    bool changed = false;
    for (DWORD i = 0; i < count; ++i) {
        SCARD_READERSTATE& e = states[i];
        if (std::strcmp(e.szReader, "\\\\?PnP?\\Notification") == 0) {
            DWORD event = static_cast<DWORD>(state().readers.size()) << 16;
            if ((e.dwCurrentState >> 16) != (event >> 16)) {
                e.dwEventState = event | SCARD_STATE_CHANGED;
                changed = true;
            } else {
                e.dwEventState = e.dwCurrentState;
            }
            continue;
        }
        auto it = std::find_if(state().readers.begin(), state().readers.end(),
                               [&](const auto& r) { return r.name == e.szReader; });
        DWORD event = SCARD_STATE_UNKNOWN;
        e.cbAtr = 0;
        if (it != state().readers.end()) {
            event = it->present ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
            if (it->present) {
                e.cbAtr = static_cast<DWORD>(std::min<size_t>(it->atr.size(), MAX_ATR_SIZE));
                std::memcpy(e.rgbAtr, it->atr.data(), e.cbAtr);
            }
        }
        if ((e.dwCurrentState & ~SCARD_STATE_CHANGED & 0xFFFF) != event) {
            changed = true;
            event |= SCARD_STATE_CHANGED;
        }
        e.dwEventState = event;
    }
    return changed ? SCARD_S_SUCCESS : SCARD_E_TIMEOUT;
}

__attribute__((visibility("default"))) LONG SCardCancel(SCARDCONTEXT) { return SCARD_S_SUCCESS; }

__attribute__((visibility("default"))) LONG SCardGetAttrib(SCARDHANDLE, DWORD, LPBYTE, LPDWORD) {
    return SCARD_E_UNSUPPORTED_FEATURE;
}

__attribute__((visibility("default"))) LONG SCardControl(SCARDHANDLE, DWORD, LPCVOID, DWORD, LPVOID, DWORD,
                                                         LPDWORD returned) {
    if (returned != nullptr) *returned = 0;
    return SCARD_E_UNSUPPORTED_FEATURE;
}

__attribute__((visibility("default"))) LONG SCardTransmit(SCARDHANDLE, const SCARD_IO_REQUEST* pci, LPCBYTE, DWORD,
                                                          SCARD_IO_REQUEST*, LPBYTE response, LPDWORD length) {
    std::lock_guard lock(state().mutex);
    auto& s = state();
    s.transmitBufferSizes.push_back(*length);
    s.transmitProtocols.push_back(pci != nullptr ? pci->dwProtocol : 0);
    fakepcsc::TransmitStep step;
    step.response = {0x90, 0x00};
    if (!s.transmitScript.empty()) {
        step = s.transmitScript.front();
        s.transmitScript.pop_front();
    }
    if (step.response.size() > *length) {
        *length = 0;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(response, step.response.data(), step.response.size());
    *length = static_cast<DWORD>(step.response.size());
    return step.rv;
}

__attribute__((visibility("default"))) LONG NARROW(SCardListReaders)(SCARDCONTEXT, LPCSTR, LPSTR buffer,
                                                                     LPDWORD length) {
    std::lock_guard lock(state().mutex);
    auto& s = state();
    if (s.listFailures > 0) {
        --s.listFailures;
        return SCARD_E_NO_SERVICE;
    }
    if (s.readers.empty()) return SCARD_E_NO_READERS_AVAILABLE;
    std::string list;
    for (const auto& r : s.readers) list += r.name + '\0';
    list += '\0';
    if (buffer == nullptr) {
        *length = static_cast<DWORD>(list.size());
        return SCARD_S_SUCCESS;
    }
    if (*length < list.size()) return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, list.data(), list.size());
    *length = static_cast<DWORD>(list.size());
    return SCARD_S_SUCCESS;
}

}  // extern "C"
