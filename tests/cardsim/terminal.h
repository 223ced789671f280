// A test terminal on OpenPACE's terminal side: reads EF.CardAccess, runs PACE (generic
// mapping) with a CAN or PUK and then protects commands with secure messaging. It is the
// independent client the simulated card is checked against; it shares no code with the card
// (nor with the driver) beyond OpenPACE and OpenSSL themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cardsim {

using Bytes = std::vector<uint8_t>;

// Sends one command APDU, returns the response APDU; nullopt when the transport failed.
using Transport = std::function<std::optional<Bytes>(const Bytes&)>;

struct CardResponse {
    Bytes data;
    uint16_t sw = 0;
};

class PaceTerminal {
public:
    enum class Result {
        Ok,
        Transport,      // the transport failed
        CardAccess,     // EF.CardAccess could not be read or used
        Refused,        // MSE:Set AT or a General Authenticate was refused (status in lastStatus())
        Protocol,       // a malformed answer or an OpenPACE step failed
        WrongPassword,  // the card refused the terminal's token (63 xx)
        CardToken,      // the card's token did not verify
    };

    explicit PaceTerminal(Transport transport);
    ~PaceTerminal();
    PaceTerminal(const PaceTerminal&) = delete;
    PaceTerminal& operator=(const PaceTerminal&) = delete;

    // Plain exchange; a 61 xx answer is followed by GET RESPONSE.
    std::optional<CardResponse> plain(const Bytes& command);

    // PACE with password type 2 (CAN) or 4 (PUK). With an empty `cardAccess` the terminal
    // reads EF.CardAccess (3F00/011C) from the card.
    Result establish(const std::string& password, int type, const Bytes& cardAccess = {});
    bool channelOpen() const;
    void closeChannel();
    uint16_t lastStatus() const { return lastSw_; }
    // Session keys of the open channel (for tests that rebuild secure messaging by hand).
    bool sessionKeys(Bytes& encryption, Bytes& mac) const;

    // Protected exchange. `ne` 0 sends DO 97 with 00 (everything), nullopt sends no DO 97.
    std::optional<CardResponse> secure(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data,
                                       std::optional<size_t> ne = 0);
    // The pieces of `secure`, for tests that tamper with the wire.
    std::optional<Bytes> protect(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data,
                                 std::optional<size_t> ne = 0);
    std::optional<CardResponse> unprotect(const Bytes& response);

    // Convenience over `secure` (or `plain` while no channel is open).
    std::optional<CardResponse> exchange(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data,
                                         std::optional<size_t> ne = 0);
    // Reads a whole transparent EF below `aid` (empty: the MF) by its path of file
    // identifiers, selecting each DF on the way (P1 01) and the EF last (P1 02).
    std::optional<Bytes> readFile(const Bytes& aid, const Bytes& path, size_t chunk = 0xDF);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    Transport transport_;
    uint16_t lastSw_ = 0;
};

}  // namespace cardsim
