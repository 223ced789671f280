#include "vpcd_card.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace cardsim {

VpcdCard::VpcdCard(CardSim& card, int port) : card_(card), port_(port) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

VpcdCard::~VpcdCard() {
    stop();
    if (wakeFd_ >= 0) close(wakeFd_);
}

bool VpcdCard::start(bool exitOnClose) {
    if (wakeFd_ < 0 || thread_.joinable()) return false;
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
        exitOnClose_ = exitOnClose;
    }
    running_ = true;
    thread_ = std::thread([this] { loop(); });
    return true;
}

void VpcdCard::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    wake();
    if (thread_.joinable()) thread_.join();
}

bool VpcdCard::running() const {
    return running_;
}

bool VpcdCard::inserted() const {
    std::lock_guard lock(mutex_);
    return inserted_;
}

bool VpcdCard::waitInserted(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return inserted_; });
}

void VpcdCard::remove() {
    {
        std::lock_guard lock(mutex_);
        wantInserted_ = false;
    }
    changed_.notify_all();
    wake();
}

void VpcdCard::insert() {
    {
        std::lock_guard lock(mutex_);
        wantInserted_ = true;
    }
    changed_.notify_all();
}

void VpcdCard::wake() {
    if (wakeFd_ < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

int VpcdCard::connectOnce() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool VpcdCard::sendFrame(int fd, const Bytes& payload) {
    if (payload.empty() || payload.size() > 0xFFFF) {
        // An empty frame would hang vpcd's slot thread; the caller closes the connection instead.
        return false;
    }
    Bytes frame{static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    frame.insert(frame.end(), payload.begin(), payload.end());
    size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

VpcdCard::ReadResult VpcdCard::readFrame(int fd, Bytes& payload) {
    uint8_t header[2];
    size_t got = 0;
    Bytes body;
    size_t need = 2;
    while (true) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        // Only wait for a wake-up between frames; inside a frame keep reading.
        const nfds_t count = (got == 0 && body.empty()) ? 2 : 1;
        const int rc = poll(fds, count, -1);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return ReadResult::Closed;
        }
        if (count == 2 && (fds[1].revents & POLLIN)) {
            uint64_t value;
            [[maybe_unused]] ssize_t n = read(wakeFd_, &value, sizeof value);
            return ReadResult::Woken;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        uint8_t* target = need == 2 && body.empty() ? header + got : body.data() + got;
        // vpcd writes the length and the payload separately; acknowledging at once keeps its
        // Nagle algorithm from holding the payload back for a delayed ACK.
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        const ssize_t n = recv(fd, target, need - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ReadResult::Closed;
        got += static_cast<size_t>(n);
        if (got < need) continue;
        if (body.empty() && need == 2) {
            const size_t length = static_cast<size_t>(header[0] << 8 | header[1]);
            if (length == 0) return ReadResult::Closed;  // vpcd never sends empty frames
            body.resize(length);
            need = length;
            got = 0;
            continue;
        }
        payload = std::move(body);
        return ReadResult::Frame;
    }
}

void VpcdCard::loop() {
    // The connection of a card that is back at once after a reset, made before the old one ended.
    int next = -1;
    while (true) {
        {
            std::unique_lock lock(mutex_);
            if (stopping_) break;
            if (!wantInserted_) {
                changed_.wait(lock, [this] { return stopping_ || wantInserted_; });
                continue;
            }
        }
        const int fd = next >= 0 ? std::exchange(next, -1) : connectOnce();
        if (fd < 0) {  // vpcd not listening (yet): retry
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, std::chrono::milliseconds(50), [this] { return stopping_; });
            continue;
        }
        bool served = false;
        bool peerClosed = false;
        while (true) {
            Bytes payload;
            const ReadResult r = readFrame(fd, payload);
            if (r == ReadResult::Woken) {
                std::lock_guard lock(mutex_);
                if (stopping_ || !wantInserted_) break;
                continue;
            }
            if (r == ReadResult::Closed) {
                peerClosed = true;
                break;
            }
            if (payload.size() == 1) {
                if (payload[0] == 0x00) {
                    card_.powerOff();
                } else if (payload[0] == 0x01) {
                    card_.powerOn();
                } else if (payload[0] == 0x02) {
                    card_.reset();
                } else if (payload[0] == 0x04) {
                    if (!sendFrame(fd, card_.atr())) break;
                    served = true;
                    {
                        std::lock_guard lock(mutex_);
                        inserted_ = true;
                    }
                    changed_.notify_all();
                }
                continue;  // other control values are not answered
            }
            const Bytes response = card_.transmit(payload);
            if (response.empty()) {
                if (card_.takeEvent() == Event::Removed) {
                    std::lock_guard lock(mutex_);
                    wantInserted_ = false;
                } else {
                    // A reset: the card is back before vpcd sees it leave, however late this
                    // thread runs, so a reconnect right after the broken exchange finds it.
                    next = connectOnce();
                }
                break;  // leave the reader; reconnect (a reset) unless removed
            }
            if (!sendFrame(fd, response)) break;
        }
        close(fd);
        {
            std::lock_guard lock(mutex_);
            inserted_ = false;
        }
        changed_.notify_all();
        bool exit = false;
        {
            std::lock_guard lock(mutex_);
            exit = peerClosed && served && exitOnClose_;
        }
        if (exit) break;
    }
    if (next >= 0) close(next);
    running_ = false;
    changed_.notify_all();
}

}  // namespace cardsim
