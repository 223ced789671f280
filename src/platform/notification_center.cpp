#include "platform/notification_center.h"

#include <mutex>
#include <utility>

#include "platform/json_reader.h"

namespace plat {

namespace {

std::mutex& defaultMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<NotificationCenter>& defaultSlot() {
    static std::shared_ptr<NotificationCenter> center;
    return center;
}

}  // namespace

std::shared_ptr<NotificationCenter> NotificationCenter::defaultCenter() {
    std::lock_guard lock(defaultMutex());
    return defaultSlot();
}

void NotificationCenter::setDefaultCenter(std::shared_ptr<NotificationCenter> center) {
    std::shared_ptr<NotificationCenter> old;
    {
        std::lock_guard lock(defaultMutex());
        old = std::exchange(defaultSlot(), std::move(center));
    }
    // `old` may be the last owner: it stops its delivery thread outside the lock.
}

std::optional<std::string> NotificationCenter::answererFor(const std::string&) {
    return std::nullopt;
}

bool isPostableText(std::string_view text) {
    return text.find('\0') == std::string_view::npos && json::isUtf8Text(text);
}

}  // namespace plat
