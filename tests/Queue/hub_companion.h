#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cache.h"
#include "cache_server.h"
#include "platform/notification_hub.h"

namespace gctest {

// The driver and the test companion on one in-process hub; the cache starts afresh on the
// driver's side and waits `wait` for each reply.
struct HubCompanion {
    explicit HubCompanion(std::chrono::milliseconds wait = GC_Cache::kDefaultReplyWait) {
        plat::NotificationCenter::setDefaultCenter(driverSide);
        GC_Cache::resetForTesting(wait);
    }
    ~HubCompanion() {
        GC_Cache::resetForTesting();
        plat::NotificationCenter::setDefaultCenter(nullptr);
    }

    plat::NotificationHub hub;
    std::shared_ptr<plat::NotificationCenter> driverSide = hub.connect();
    std::shared_ptr<plat::NotificationCenter> companionSide = hub.connect();
    companion::CacheServer server{companionSide};
};

inline std::vector<unsigned char> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

}  // namespace gctest
