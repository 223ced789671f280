#include "platform/notification_center.h"

#include <mutex>
#include <utility>

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

bool isPostableText(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead == 0) return false;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        char32_t code;
        char32_t minimum;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, code = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, code = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, code = lead & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

}  // namespace plat
