#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ctk_smartcard.h"
#include "platform/ctk_token.h"

namespace host {

// A token the host made for a card, with the card object of that insertion.
struct HostedToken {
    std::string reader;
    std::shared_ptr<ctk::SmartCardToken> token;
    std::shared_ptr<ctk::SmartCard> card;
};

// The tokens of the cards now inserted, by reader name, as the platform's clients see them: a
// token appears once it is made and goes when its card is removed. Clients may wait for either.
class TokenRegistry {
public:
    void publish(HostedToken hosted);
    // Drops the reader's token (no effect when there is none).
    void withdraw(const std::string& reader);

    std::optional<HostedToken> find(const std::string& reader) const;
    std::vector<HostedToken> all() const;

    // Waits until the reader (any reader when empty) has a token; nullopt at the deadline or once
    // the registry is closed.
    std::optional<HostedToken> waitForToken(const std::string& reader, std::chrono::steady_clock::time_point deadline);
    // Waits until the reader has no token; false at the deadline or once the registry is closed.
    bool waitUntilGone(const std::string& reader, std::chrono::steady_clock::time_point deadline);

    // Wakes every waiter for good (the host is stopping).
    void close();
    bool closed() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, HostedToken> tokens_;
    bool closed_ = false;
};

}  // namespace host
