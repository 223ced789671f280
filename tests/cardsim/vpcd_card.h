// vpcd front-end of the simulated card: connects to the vpcd reader driver inside pcscd
// (TCP on 127.0.0.1, the card is the client) and serves one CardSim in a thread of its own.
//
// Wire protocol: every frame is a 2-byte big-endian length and the payload. vpcd sends
// 1-byte control frames (00 power off, 01 power on, 02 reset, 04 get ATR; only 04 is
// answered) and command APDUs (answered with the response APDU). A frame is never empty:
// vpcd would block forever on it, so an absent answer closes the connection instead
// (the card leaves the reader).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "cardsim.h"

namespace cardsim {

class VpcdCard {
public:
    // Port of the vpcd slot (35963 for slot 0 of the stock configuration, +1 for slot 1).
    VpcdCard(CardSim& card, int port);
    ~VpcdCard();
    VpcdCard(const VpcdCard&) = delete;
    VpcdCard& operator=(const VpcdCard&) = delete;

    // Starts serving (connecting and retrying until vpcd listens). With exitOnClose, the
    // thread ends when vpcd closes an established connection (pcscd stopped).
    bool start(bool exitOnClose = false);
    void stop();
    bool running() const;

    // True once vpcd asked for the ATR on the current connection: pcscd has seen the card.
    bool inserted() const;
    bool waitInserted(std::chrono::milliseconds timeout);

    // Pulls the card out of the reader (closes the connection) and puts it back.
    void remove();
    void insert();

private:
    void loop();
    int connectOnce();
    bool sendFrame(int fd, const Bytes& payload);
    enum class ReadResult { Frame, Closed, Woken };
    ReadResult readFrame(int fd, Bytes& payload);
    void wake();

    CardSim& card_;
    const int port_;
    std::thread thread_;
    int wakeFd_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool wantInserted_ = true;
    bool reconnect_ = false;
    bool inserted_ = false;
    bool exitOnClose_ = false;
    std::atomic<bool> running_{false};
};

}  // namespace cardsim
