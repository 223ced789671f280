#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/notification_center.h"

namespace plat {

// An in-process notification centre for tests: every client connected to one hub sees every
// notification posted by any client, delivered by the hub's single delivery thread. Fault
// switches make the hub drop, delay or duplicate the deliveries of a notification name.
class NotificationHub {
public:
    enum class Fault { Drop, Delay, Duplicate };

    NotificationHub();
    ~NotificationHub();
    NotificationHub(const NotificationHub&) = delete;
    NotificationHub& operator=(const NotificationHub&) = delete;

    // A new client with its own sender name (":hub.1", ":hub.2", ...).
    std::shared_ptr<NotificationCenter> connect();

    // The next `count` notifications named `name` are dropped, delivered `delay` late (later
    // notifications may overtake them) or delivered twice.
    void injectFault(const std::string& name, Fault fault, int count = 1,
                     std::chrono::milliseconds delay = std::chrono::milliseconds(0));

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace plat
