#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/notification_center.h"

namespace plat {

// The observers of one centre and the rules every centre shares: a registration is in force at
// once, and once removed a callback is not running and never runs again. Callbacks run on the
// delivery thread only, one at a time, without any lock held.
class ObserverRegistry {
public:
    NotificationCenter::ObserverId add(const std::string& name, NotificationCenter::Callback callback);
    // Returns the name the observer watched (empty when the id is unknown), after its callback
    // has finished when it was running on another thread.
    std::string remove(NotificationCenter::ObserverId id);
    bool watches(const std::string& name) const;

    // Runs every callback registered for the notification's name. Delivery thread only.
    void deliver(const Notification& notification);

    void setDeliveryThread(std::thread::id id);
    bool onDeliveryThread() const;

private:
    struct Entry {
        std::string name;
        std::shared_ptr<NotificationCenter::Callback> callback;
    };

    mutable std::mutex mutex_;
    std::condition_variable finished_;
    std::map<NotificationCenter::ObserverId, Entry> entries_;
    NotificationCenter::ObserverId nextId_ = 1;
    NotificationCenter::ObserverId running_ = 0;
    std::thread::id deliveryThread_;
};

}  // namespace plat
