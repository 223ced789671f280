#include "pcsc_client.h"

#include <winscard.h>

#include <thread>

namespace cardsim {

PcscClient::~PcscClient() {
    disconnect();
    if (hasContext_) SCardReleaseContext(static_cast<SCARDCONTEXT>(context_));
}

bool PcscClient::establish() {
    if (hasContext_) return true;
    SCARDCONTEXT ctx = 0;
    lastError_ = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx);
    if (lastError_ != SCARD_S_SUCCESS) return false;
    context_ = static_cast<long>(ctx);
    hasContext_ = true;
    return true;
}

std::vector<std::string> PcscClient::readers() {
    std::vector<std::string> out;
    if (!establish()) return out;
    DWORD length = 0;
    lastError_ = SCardListReaders(static_cast<SCARDCONTEXT>(context_), nullptr, nullptr, &length);
    if (lastError_ != SCARD_S_SUCCESS || length == 0) return out;
    std::string buffer(length, '\0');
    lastError_ = SCardListReaders(static_cast<SCARDCONTEXT>(context_), nullptr, buffer.data(), &length);
    if (lastError_ != SCARD_S_SUCCESS) return out;
    for (size_t pos = 0; pos < buffer.size() && buffer[pos];) {
        const std::string name(buffer.c_str() + pos);
        out.push_back(name);
        pos += name.size() + 1;
    }
    return out;
}

bool PcscClient::waitCard(const std::string& reader, bool present, std::chrono::milliseconds timeout) {
    if (!establish()) return false;
    const auto end = std::chrono::steady_clock::now() + timeout;
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        lastError_ =
            SCardGetStatusChange(static_cast<SCARDCONTEXT>(context_), static_cast<DWORD>(left.count()), &state, 1);
        if (lastError_ == SCARD_E_TIMEOUT) return false;
        if (lastError_ != SCARD_S_SUCCESS) {
            // the reader may not be listed yet
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            state.dwCurrentState = SCARD_STATE_UNAWARE;
            continue;
        }
        const bool isPresent = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
        if (isPresent == present) return true;
        state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
    }
}

bool PcscClient::connect(const std::string& reader) {
    if (!establish()) return false;
    disconnect();
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    lastError_ = SCardConnect(static_cast<SCARDCONTEXT>(context_), reader.c_str(), SCARD_SHARE_SHARED,
                              SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol);
    if (lastError_ != SCARD_S_SUCCESS) return false;
    card_ = static_cast<long>(handle);
    protocol_ = protocol;
    return true;
}

void PcscClient::disconnect(bool reset) {
    if (!card_) return;
    SCardDisconnect(static_cast<SCARDHANDLE>(card_), reset ? SCARD_RESET_CARD : SCARD_LEAVE_CARD);
    card_ = 0;
}

bool PcscClient::reconnect(bool reset) {
    if (!card_) return false;
    DWORD protocol = 0;
    lastError_ =
        SCardReconnect(static_cast<SCARDHANDLE>(card_), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                       reset ? SCARD_RESET_CARD : SCARD_LEAVE_CARD, &protocol);
    if (lastError_ != SCARD_S_SUCCESS) return false;
    protocol_ = protocol;
    return true;
}

std::vector<uint8_t> PcscClient::atr() {
    if (!card_) return {};
    char name[256];
    DWORD nameLength = sizeof name;
    DWORD state = 0, protocol = 0;
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    lastError_ = SCardStatus(static_cast<SCARDHANDLE>(card_), name, &nameLength, &state, &protocol, atr, &atrLength);
    if (lastError_ != SCARD_S_SUCCESS) return {};
    return std::vector<uint8_t>(atr, atr + atrLength);
}

std::optional<std::vector<uint8_t>> PcscClient::transmit(const std::vector<uint8_t>& command) {
    if (!card_) return std::nullopt;
    std::vector<uint8_t> response(MAX_BUFFER_SIZE_EXTENDED);
    DWORD length = static_cast<DWORD>(response.size());
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    lastError_ = SCardTransmit(static_cast<SCARDHANDLE>(card_), pci, command.data(), static_cast<DWORD>(command.size()),
                               nullptr, response.data(), &length);
    if (lastError_ != SCARD_S_SUCCESS) return std::nullopt;
    response.resize(length);
    return response;
}

}  // namespace cardsim
