#include "platform/dbus_notification_center.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "Data/wipe.h"
#include "platform/error_text.h"
#include "platform/observer_registry.h"

namespace plat {

namespace {

constexpr const char* kPath = "/org/gctoken/Notification";
constexpr const char* kInterface = "org.gctoken.Notification1";
constexpr const char* kMember = "Post";
constexpr uint64_t kBusCallTimeoutUs = 2'000'000;  // the daemon's own answers (names)

struct BusFree {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusFree>;

// Quotes and backslashes are escaped differently by sd-bus and by the bus daemon, so names that
// hold them cannot be matched reliably and are refused.
bool matchable(const std::string& name) {
    return isPostableText(name) && name.find_first_of("'\\") == std::string::npos;
}

std::string matchRule(const std::string& name) {
    return std::string("type='signal',path='") + kPath + "',interface='" + kInterface + "',member='" + kMember +
           "',arg0='" + name + "'";
}

// Everything the connection thread shares with the facade; the thread keeps it alive, so the
// centre may be released on its own delivery thread.
struct State {
    BusPtr bus;
    std::mutex busMutex;  // sd-bus objects are not thread-safe: every call on `bus` holds it
    struct Match {
        sd_bus_slot* slot = nullptr;
        int observers = 0;
    };
    std::map<std::string, Match> matches;  // guarded by busMutex
    std::string uniqueName;
    ServiceNames services;  // fixed once connected

    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    std::deque<Notification> arrived;  // filled and drained on the connection thread only
    ObserverRegistry observers;
    std::thread thread;

    ~State() {
        for (Notification& notification : arrived) forget(notification);
        for (auto& [name, match] : matches) sd_bus_slot_unref(match.slot);
        if (wakeFd >= 0) close(wakeFd);
    }

    // A message may carry a secret (a CAN check, the link's frames): our copy is wiped once
    // delivered. The bus library's own copy of the message is freed by it, unwiped.
    static void forget(Notification& notification) {
        if (notification.object) gc_wipe(*notification.object);
    }

    void wake() const {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
    }

    static int onPost(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* state = static_cast<State*>(userdata);
        const char* signature = sd_bus_message_get_signature(message, 1);
        const char* name = nullptr;
        const char* object = nullptr;
        if (signature != nullptr && strcmp(signature, "ss") == 0) {
            if (sd_bus_message_read(message, "ss", &name, &object) < 0) return 0;
        } else if (signature != nullptr && strcmp(signature, "s") == 0) {
            if (sd_bus_message_read(message, "s", &name) < 0) return 0;
        } else {
            return 0;  // not a notification
        }
        const char* sender = sd_bus_message_get_sender(message);
        Notification notification{name, std::nullopt, sender != nullptr ? sender : ""};
        if (object != nullptr) notification.object = object;
        state->arrived.push_back(std::move(notification));
        return 0;
    }

    // Reads and dispatches what the bus has; false when the connection is broken.
    bool process(int& fd, short& events, int& timeoutMs) {
        std::lock_guard lock(busMutex);
        for (;;) {
            const int r = sd_bus_process(bus.get(), nullptr);
            if (r < 0) return false;
            if (r == 0) break;
        }
        fd = sd_bus_get_fd(bus.get());
        events = static_cast<short>(sd_bus_get_events(bus.get()));
        uint64_t until = 0;
        timeoutMs = -1;
        if (sd_bus_get_timeout(bus.get(), &until) > 0 && until != UINT64_MAX) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
            timeoutMs = until <= nowUs ? 0 : static_cast<int>((until - nowUs + 999) / 1000);
        }
        return fd >= 0;
    }

    void run() {
        observers.setDeliveryThread(std::this_thread::get_id());
        while (!stopping) {
            int fd = -1, timeoutMs = -1;
            short events = 0;
            if (!process(fd, events, timeoutMs)) return;  // the bus went away: nothing more arrives
            while (!arrived.empty() && !stopping) {
                Notification notification = std::move(arrived.front());
                arrived.pop_front();
                observers.deliver(notification);
                forget(notification);
            }
            pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
            if (poll(fds, 2, timeoutMs) < 0 && errno != EINTR) return;
            if (fds[1].revents & POLLIN) {
                uint64_t count = 0;
                [[maybe_unused]] ssize_t n = read(wakeFd, &count, sizeof count);
            }
        }
    }
};

class BusCenter : public DBusNotificationCenter {
public:
    explicit BusCenter(std::shared_ptr<State> state) : state_(std::move(state)) {}

    ~BusCenter() override {
        state_->stopping = true;
        state_->wake();
        if (state_->thread.get_id() == std::this_thread::get_id())
            state_->thread.detach();  // released by an observer: the thread ends on its own
        else
            state_->thread.join();
    }

    ObserverId addObserver(const std::string& name, Callback callback) override {
        if (!matchable(name)) return 0;
        {
            std::lock_guard lock(state_->busMutex);
            State::Match& match = state_->matches[name];
            if (match.observers == 0) {
                // Synchronous: once it returns the bus routes every later Post of `name` to us.
                if (sd_bus_add_match(state_->bus.get(), &match.slot, matchRule(name).c_str(), State::onPost,
                                     state_.get()) < 0) {
                    state_->matches.erase(name);
                    return 0;
                }
            }
            ++match.observers;
        }
        const ObserverId id = state_->observers.add(name, std::move(callback));
        state_->wake();  // the synchronous call may have queued messages that the thread must read
        return id;
    }

    void removeObserver(ObserverId id) override {
        const std::string name = state_->observers.remove(id);
        if (name.empty()) return;
        std::lock_guard lock(state_->busMutex);
        auto match = state_->matches.find(name);
        if (match == state_->matches.end() || --match->second.observers > 0) return;
        sd_bus_slot_unref(match->second.slot);
        state_->matches.erase(match);
    }

    bool postNotification(const std::string& name, const std::optional<std::string>& object) override {
        if (!isPostableText(name) || (object && !isPostableText(*object))) return false;
        int r;
        {
            std::lock_guard lock(state_->busMutex);
            if (object)
                r = sd_bus_emit_signal(state_->bus.get(), kPath, kInterface, kMember, "ss", name.c_str(),
                                       object->c_str());
            else
                r = sd_bus_emit_signal(state_->bus.get(), kPath, kInterface, kMember, "s", name.c_str());
            if (r >= 0) r = sd_bus_flush(state_->bus.get());
        }
        state_->wake();
        return r >= 0;
    }

    bool onDeliveryThread() const override { return state_->observers.onDeliveryThread(); }
    std::string senderName() const override { return state_->uniqueName; }

    std::optional<std::string> answererFor(const std::string& name) override {
        const auto service = state_->services.find(name);
        if (service == state_->services.end()) return std::nullopt;
        sd_bus_error failure = SD_BUS_ERROR_NULL;
        sd_bus_message* call = nullptr;
        sd_bus_message* reply = nullptr;
        const char* owner = nullptr;
        std::string answerer;  // nobody, also when the bus cannot say
        {
            std::lock_guard lock(state_->busMutex);
            int r = sd_bus_message_new_method_call(state_->bus.get(), &call, "org.freedesktop.DBus",
                                                   "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner");
            if (r >= 0) r = sd_bus_message_append(call, "s", service->second.c_str());
            if (r >= 0) r = sd_bus_call(state_->bus.get(), call, kBusCallTimeoutUs, &failure, &reply);
            if (r >= 0 && sd_bus_message_read(reply, "s", &owner) >= 0 && owner != nullptr) answerer = owner;
        }
        sd_bus_message_unref(reply);
        sd_bus_message_unref(call);
        sd_bus_error_free(&failure);
        state_->wake();  // the call may have queued messages that the thread must read
        return answerer;
    }

    bool claimName(const std::string& name, std::string* error) override {
        if (!isWellKnownBusName(name)) return setError(error, name + " is no well-known bus name");
        int r;
        {
            std::lock_guard lock(state_->busMutex);
            r = sd_bus_request_name(state_->bus.get(), name.c_str(), 0);
        }
        state_->wake();
        if (r >= 0) return true;
        if (r == -EEXIST) return setError(error, name + " is held by another process on this bus");
        return setError(error, "cannot take the bus name " + name + ": " + std::strerror(-r));
    }

private:
    std::shared_ptr<State> state_;
};

std::shared_ptr<DBusNotificationCenter> refused(std::string* error, const std::string& text) {
    setError(error, text);
    return nullptr;
}

}  // namespace

std::shared_ptr<DBusNotificationCenter> connectDBusNotificationCenter(const std::string& address,
                                                                      const ServiceNames& services,
                                                                      std::string* error) {
    for (const auto& [name, service] : services) {
        if (!isWellKnownBusName(service)) return refused(error, service + " is no well-known bus name");
    }
    auto state = std::make_shared<State>();
    state->services = services;
    const std::string where = address.empty() ? "(session bus)" : address;
    sd_bus* bus = nullptr;
    int r = address.empty() ? sd_bus_open_user(&bus) : sd_bus_new(&bus);
    if (r >= 0) state->bus.reset(bus);
    if (r >= 0 && !address.empty()) {
        r = sd_bus_set_address(bus, address.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0) r = sd_bus_start(bus);
    }
    if (r < 0) return refused(error, "cannot reach the bus " + where + ": " + std::strerror(-r));
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus, &unique) < 0 || unique == nullptr)
        return refused(error, "no name on the bus " + where);
    state->uniqueName = unique;
    state->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wakeFd < 0) return refused(error, std::string("eventfd: ") + std::strerror(errno));
    State* raw = state.get();
    auto center = std::make_shared<BusCenter>(state);
    std::lock_guard lock(raw->busMutex);  // the thread starts reading once the facade holds it
    raw->thread = std::thread([state] { state->run(); });
    return center;
}

bool isWellKnownBusName(const std::string& name) {
    return !name.empty() && name.front() != ':' && sd_bus_service_name_is_valid(name.c_str()) > 0;
}

}  // namespace plat
