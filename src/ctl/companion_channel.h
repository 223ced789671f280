#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/bus_name.h"
#include "platform/json.h"
#include "platform/notification_center.h"

namespace ctl {

// The tool's side of the companion messages: it posts on "Ctk" as the companion application does,
// with a reply address of its own, and collects the replies to that address and the progress
// notices on "Can", taking them only from the token host that holds its bus name. It also watches
// that a token host holds that name, so that a host that is not there, or goes, is told apart from
// a slow answer.
class CompanionChannel {
public:
    using Message = plat::json::StringObject;

    // Null, with the reason, when the bus cannot be reached or no host runs on it.
    static std::unique_ptr<CompanionChannel> open(const std::string& busAddress, std::string* error);
    ~CompanionChannel();

    const std::string& replyAddress() const { return replyAddress_; }
    // Posts the JSON text on "Ctk"; the caller wipes it.
    bool post(const std::optional<std::string>& message);
    // Waits for a reply that `wanted` takes, handing every progress notice to `progress` meanwhile.
    // Nullopt, with the reason, at the deadline or when the host leaves the bus.
    std::optional<Message> waitFor(const std::function<bool(const Message&)>& wanted,
                                   const std::function<void(const Message&)>& progress,
                                   std::chrono::steady_clock::time_point deadline, std::string* error);

private:
    CompanionChannel() = default;
    void received(const plat::Notification& notification, bool isProgress);

    std::unique_ptr<host::BusConnection> bus_;
    std::shared_ptr<plat::NotificationCenter> center_;
    std::string host_;  // the host's sender name on the bus
    std::string replyAddress_;
    std::vector<plat::NotificationCenter::ObserverId> observers_;

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Message> replies_;
    std::deque<Message> progress_;
};

}  // namespace ctl
