#pragma once

// A scriptable stand-in for the PC/SC client library, loaded by the reader back-end through
// GC_PCSC_LIBRARY. The test reaches the library's state through the exported function
// fakepcsc_state (dlopen of the same path gives the same library).

#include <winscard.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace fakepcsc {

struct Reader {
    std::string name;
    bool present = false;
    std::vector<unsigned char> atr;
};

// One scripted answer of SCardTransmit.
struct TransmitStep {
    LONG rv = SCARD_S_SUCCESS;
    std::vector<unsigned char> response;
};

struct State {
    std::mutex mutex;
    std::vector<Reader> readers;
    int listFailures = 0;  // the next SCardListReaders calls that fail (SCARD_E_NO_SERVICE)
    LONG beginTransactionResult = SCARD_S_SUCCESS;  // once, then success
    LONG reconnectResult = SCARD_S_SUCCESS;
    DWORD connectProtocol = SCARD_PROTOCOL_T1;
    std::deque<TransmitStep> transmitScript;  // empty: 90 00

    // What the back-end did.
    int contextsEstablished = 0;
    int contextsReleased = 0;
    int connects = 0;
    int disconnects = 0;
    DWORD lastShareMode = 0;
    std::vector<DWORD> reconnectDispositions;
    std::vector<DWORD> transmitBufferSizes;
    std::vector<DWORD> transmitProtocols;
    int openCards = 0;

    void clear() {
        std::lock_guard lock(mutex);
        readers.clear();
        listFailures = 0;
        beginTransactionResult = SCARD_S_SUCCESS;
        reconnectResult = SCARD_S_SUCCESS;
        connectProtocol = SCARD_PROTOCOL_T1;
        transmitScript.clear();
        contextsEstablished = contextsReleased = connects = disconnects = 0;
        lastShareMode = 0;
        reconnectDispositions.clear();
        transmitBufferSizes.clear();
        transmitProtocols.clear();
        openCards = 0;
    }
};

using StateFunction = State* (*)();

}  // namespace fakepcsc
