#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/notification_center.h"

namespace gctest {

// Records the notifications an observer receives, so a test can wait for a number of them.
class NotificationCollector {
public:
    plat::NotificationCenter::Callback callback() {
        return [this](const plat::Notification& n) {
            {
                std::lock_guard lock(mutex_);
                received_.push_back(n);
                onDeliveryThread_ = onDeliveryThread_ && center_ != nullptr && center_->onDeliveryThread();
            }
            changed_.notify_all();
        };
    }
    // Also checks in every callback that the centre reports its delivery thread.
    void checkDeliveryThreadOf(plat::NotificationCenter* center) { center_ = center; }

    // Waits up to `limit` until `count` notifications have come; returns those seen so far.
    std::vector<plat::Notification> waitFor(size_t count,
                                            std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return received_.size() >= count; });
        return received_;
    }
    std::vector<plat::Notification> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    bool allOnDeliveryThread() {
        std::lock_guard lock(mutex_);
        return onDeliveryThread_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<plat::Notification> received_;
    plat::NotificationCenter* center_ = nullptr;
    bool onDeliveryThread_ = true;
};

}  // namespace gctest
