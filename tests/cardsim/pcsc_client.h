// A small PC/SC client for tests (libpcsclite): waits for a card in a reader, connects,
// transmits. Independent of the driver's reader back-end.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cardsim {

class PcscClient {
public:
    PcscClient() = default;
    ~PcscClient();
    PcscClient(const PcscClient&) = delete;
    PcscClient& operator=(const PcscClient&) = delete;

    bool establish();
    std::vector<std::string> readers();
    // Waits until the reader reports a card (present true) or none (present false).
    bool waitCard(const std::string& reader, bool present, std::chrono::milliseconds timeout);
    // Shared mode, T=0 or T=1.
    bool connect(const std::string& reader);
    void disconnect(bool reset = false);
    bool reconnect(bool reset);
    bool connected() const { return card_ != 0; }
    std::vector<uint8_t> atr();
    // nullopt on a transport error (lastError() has the PC/SC code).
    std::optional<std::vector<uint8_t>> transmit(const std::vector<uint8_t>& command);
    long lastError() const { return lastError_; }

private:
    long context_ = 0;
    long card_ = 0;
    unsigned long protocol_ = 0;
    long lastError_ = 0;
    bool hasContext_ = false;
};

}  // namespace cardsim
