#include "ctl/companion_channel.h"

#include <unistd.h>

#include <algorithm>

#include "host/control_protocol.h"
#include "platform/dbus_notification_center.h"

namespace ctl {

namespace {

constexpr const char* kRequestName = "Ctk";
constexpr const char* kProgressName = "Can";
constexpr const char* kReplyName = "GcTokenCtl";
constexpr auto kPresenceCheck = std::chrono::milliseconds(500);
constexpr auto kLastWordsWait = std::chrono::milliseconds(300);

std::optional<std::string> valueOf(const CompanionChannel::Message& message, const std::string& key) {
    for (const auto& [name, value] : message) {
        if (name == key) return value;
    }
    return std::nullopt;
}

}  // namespace

std::unique_ptr<CompanionChannel> CompanionChannel::open(const std::string& busAddress, std::string* error) {
    std::unique_ptr<CompanionChannel> channel(new CompanionChannel());
    channel->bus_ = host::BusConnection::open(busAddress, error);
    if (!channel->bus_) return nullptr;
    channel->center_ = plat::connectDBusNotificationCenter(busAddress, {{kRequestName, host::protocol::kBusName}});
    if (!channel->center_) {
        *error = "cannot reach the bus for notifications";
        return nullptr;
    }
    // Answers count only from the host that holds its bus name now; any peer can post the rest.
    channel->host_ = channel->center_->answererFor(kRequestName).value_or("");
    if (channel->host_.empty()) {
        *error = "no token host runs on the bus";
        return nullptr;
    }
    channel->replyAddress_ = std::string(kReplyName) + "/" + std::to_string(getpid());
    CompanionChannel* self = channel.get();
    channel->observers_.push_back(channel->center_->addObserver(
        kReplyName, [self](const plat::Notification& n) { self->received(n, /*isProgress=*/false); }));
    channel->observers_.push_back(channel->center_->addObserver(
        kProgressName, [self](const plat::Notification& n) { self->received(n, /*isProgress=*/true); }));
    if (std::find(channel->observers_.begin(), channel->observers_.end(), 0) != channel->observers_.end()) {
        *error = "cannot observe the replies on the bus";
        return nullptr;
    }
    return channel;
}

CompanionChannel::~CompanionChannel() {
    if (center_) {
        for (plat::NotificationCenter::ObserverId id : observers_) center_->removeObserver(id);
    }
}

void CompanionChannel::received(const plat::Notification& notification, bool isProgress) {
    if (notification.sender != host_) return;
    std::optional<Message> message = plat::json::parseStringObject(notification.object.value_or(""));
    if (!message) return;
    if (!isProgress && valueOf(*message, "to") != replyAddress_) return;  // another client's reply
    {
        std::lock_guard lock(mutex_);
        (isProgress ? progress_ : replies_).push_back(std::move(*message));
    }
    arrived_.notify_all();
}

bool CompanionChannel::post(const std::optional<std::string>& message) {
    return center_->postNotification(kRequestName, message);
}

std::optional<CompanionChannel::Message> CompanionChannel::waitFor(const std::function<bool(const Message&)>& wanted,
                                                                   const std::function<void(const Message&)>& progress,
                                                                   std::chrono::steady_clock::time_point deadline,
                                                                   std::string* error) {
    auto nextPresenceCheck = std::chrono::steady_clock::now() + kPresenceCheck;
    bool hostGone = false;
    std::string failure = "no answer from the token extension in time";
    std::unique_lock lock(mutex_);
    for (;;) {
        while (!progress_.empty()) {
            Message notice = std::move(progress_.front());
            progress_.pop_front();
            lock.unlock();
            progress(notice);
            lock.lock();
        }
        while (!replies_.empty()) {
            Message reply = std::move(replies_.front());
            replies_.pop_front();
            if (wanted(reply)) return reply;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            *error = failure;
            return std::nullopt;
        }
        if (now >= nextPresenceCheck) {
            lock.unlock();
            const std::optional<bool> present = bus_->nameHasOwner(host::protocol::kBusName);
            lock.lock();
            if (present == false && !hostGone) {
                // Its last replies may still be on their way to our other connection.
                hostGone = true;
                deadline = std::min(deadline, now + kLastWordsWait);
                failure = "the token host left the bus before answering";
            }
            nextPresenceCheck = now + kPresenceCheck;
        }
        arrived_.wait_until(lock, std::min(deadline, nextPresenceCheck));
    }
}

}  // namespace ctl
