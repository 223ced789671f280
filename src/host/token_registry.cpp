#include "host/token_registry.h"

namespace host {

void TokenRegistry::publish(HostedToken hosted) {
    {
        std::lock_guard lock(mutex_);
        const std::string reader = hosted.reader;
        tokens_[reader] = std::move(hosted);
    }
    changed_.notify_all();
}

void TokenRegistry::withdraw(const std::string& reader) {
    std::optional<HostedToken> dropped;  // released outside the lock
    {
        std::lock_guard lock(mutex_);
        const auto entry = tokens_.find(reader);
        if (entry == tokens_.end()) return;
        dropped = std::move(entry->second);
        tokens_.erase(entry);
    }
    changed_.notify_all();
}

std::optional<HostedToken> TokenRegistry::find(const std::string& reader) const {
    std::lock_guard lock(mutex_);
    const auto entry = tokens_.find(reader);
    if (entry == tokens_.end()) return std::nullopt;
    return entry->second;
}

std::vector<HostedToken> TokenRegistry::all() const {
    std::lock_guard lock(mutex_);
    std::vector<HostedToken> out;
    for (const auto& [reader, hosted] : tokens_) out.push_back(hosted);
    return out;
}

std::optional<HostedToken> TokenRegistry::waitForToken(const std::string& reader,
                                                       std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    std::optional<HostedToken> found;
    changed_.wait_until(lock, deadline, [&] {
        if (closed_) return true;
        const auto entry = reader.empty() ? tokens_.begin() : tokens_.find(reader);
        if (entry == tokens_.end()) return false;
        found = entry->second;
        return true;
    });
    return found;
}

bool TokenRegistry::waitUntilGone(const std::string& reader, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    const bool gone = changed_.wait_until(lock, deadline, [&] { return closed_ || tokens_.count(reader) == 0; });
    return gone && tokens_.count(reader) == 0 && !closed_;
}

void TokenRegistry::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool TokenRegistry::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace host
