#include "platform/notification_hub.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/observer_registry.h"

namespace plat {

namespace {

using Clock = std::chrono::steady_clock;

class HubClient;

struct FaultRule {
    NotificationHub::Fault fault;
    int count;
    std::chrono::milliseconds delay;
};

}  // namespace

struct NotificationHub::State {
    std::mutex mutex;
    std::condition_variable wake;
    // Due time and posting order: equal due times keep the order of posting.
    std::map<std::pair<Clock::time_point, std::uint64_t>, Notification> pending;
    std::uint64_t postCount = 0;
    std::map<std::string, FaultRule> faults;
    std::vector<std::weak_ptr<HubClient>> clients;
    int clientCount = 0;
    bool stopping = false;
    std::thread worker;
    std::thread::id workerId;

    void post(Notification notification);
    void run();
};

namespace {

class HubClient : public NotificationCenter {
public:
    HubClient(std::shared_ptr<NotificationHub::State> hub, std::string name)
        : hub_(std::move(hub)), name_(std::move(name)) {
        observers_.setDeliveryThread(hub_->workerId);
    }

    ObserverId addObserver(const std::string& name, Callback callback) override {
        return observers_.add(name, std::move(callback));
    }
    void removeObserver(ObserverId id) override { observers_.remove(id); }
    bool postNotification(const std::string& name, const std::optional<std::string>& object) override {
        if (!isPostableText(name) || (object && !isPostableText(*object))) return false;
        hub_->post(Notification{name, object, name_});
        return true;
    }
    bool onDeliveryThread() const override { return observers_.onDeliveryThread(); }
    std::string senderName() const override { return name_; }

    void deliver(const Notification& notification) { observers_.deliver(notification); }

private:
    std::shared_ptr<NotificationHub::State> hub_;
    std::string name_;
    ObserverRegistry observers_;
};

}  // namespace

void NotificationHub::State::post(Notification notification) {
    {
        std::lock_guard lock(mutex);
        Clock::time_point due = Clock::now();
        int copies = 1;
        auto rule = faults.find(notification.name);
        if (rule != faults.end()) {
            switch (rule->second.fault) {
                case Fault::Drop:
                    copies = 0;
                    break;
                case Fault::Delay:
                    due += rule->second.delay;
                    break;
                case Fault::Duplicate:
                    copies = 2;
                    break;
            }
            if (--rule->second.count <= 0) faults.erase(rule);
        }
        for (int i = 0; i < copies; ++i) pending.emplace(std::make_pair(due, postCount++), notification);
    }
    wake.notify_all();
}

void NotificationHub::State::run() {
    std::unique_lock lock(mutex);
    for (;;) {
        if (stopping) return;
        if (pending.empty()) {
            wake.wait(lock);
            continue;
        }
        auto first = pending.begin();
        if (first->first.first > Clock::now()) {
            wake.wait_until(lock, first->first.first);
            continue;
        }
        Notification notification = std::move(first->second);
        pending.erase(first);
        std::vector<std::shared_ptr<HubClient>> receivers;
        for (auto& weak : clients) {
            if (auto client = weak.lock()) receivers.push_back(std::move(client));
        }
        lock.unlock();
        for (auto& client : receivers) client->deliver(notification);
        receivers.clear();  // a client released here ends on this thread, outside the lock
        lock.lock();
    }
}

NotificationHub::NotificationHub() : state_(std::make_shared<State>()) {
    std::lock_guard lock(state_->mutex);
    // The worker keeps the state alive, so it may outlive a hub destroyed on the worker itself.
    state_->worker = std::thread([state = state_] { state->run(); });
    state_->workerId = state_->worker.get_id();
}

NotificationHub::~NotificationHub() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (state_->worker.get_id() == std::this_thread::get_id())
        state_->worker.detach();
    else
        state_->worker.join();
}

std::shared_ptr<NotificationCenter> NotificationHub::connect() {
    std::lock_guard lock(state_->mutex);
    auto client = std::make_shared<HubClient>(state_, ":hub." + std::to_string(++state_->clientCount));
    std::erase_if(state_->clients, [](const auto& weak) { return weak.expired(); });
    state_->clients.push_back(client);
    return client;
}

void NotificationHub::injectFault(const std::string& name, Fault fault, int count, std::chrono::milliseconds delay) {
    std::lock_guard lock(state_->mutex);
    state_->faults[name] = FaultRule{fault, count, delay};
}

}  // namespace plat
