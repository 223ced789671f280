#include "platform/observer_registry.h"

#include <vector>

namespace plat {

NotificationCenter::ObserverId ObserverRegistry::add(const std::string& name, NotificationCenter::Callback callback) {
    std::lock_guard lock(mutex_);
    const NotificationCenter::ObserverId id = nextId_++;
    entries_[id] = Entry{name, std::make_shared<NotificationCenter::Callback>(std::move(callback))};
    return id;
}

std::string ObserverRegistry::remove(NotificationCenter::ObserverId id) {
    std::unique_lock lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return {};
    std::string name = std::move(it->second.name);
    entries_.erase(it);
    if (std::this_thread::get_id() != deliveryThread_) finished_.wait(lock, [&] { return running_ != id; });
    return name;
}

bool ObserverRegistry::watches(const std::string& name) const {
    std::lock_guard lock(mutex_);
    for (const auto& [id, entry] : entries_) {
        if (entry.name == name) return true;
    }
    return false;
}

void ObserverRegistry::deliver(const Notification& notification) {
    std::vector<NotificationCenter::ObserverId> ids;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, entry] : entries_) {
            if (entry.name == notification.name) ids.push_back(id);
        }
    }
    for (NotificationCenter::ObserverId id : ids) {
        std::shared_ptr<NotificationCenter::Callback> callback;
        {
            std::lock_guard lock(mutex_);
            auto it = entries_.find(id);
            if (it == entries_.end()) continue;  // removed by an earlier callback
            callback = it->second.callback;
            running_ = id;
        }
        (*callback)(notification);
        {
            std::lock_guard lock(mutex_);
            running_ = 0;
        }
        finished_.notify_all();
    }
}

void ObserverRegistry::setDeliveryThread(std::thread::id id) {
    std::lock_guard lock(mutex_);
    deliveryThread_ = id;
}

bool ObserverRegistry::onDeliveryThread() const {
    std::lock_guard lock(mutex_);
    return deliveryThread_ == std::this_thread::get_id();
}

}  // namespace plat
