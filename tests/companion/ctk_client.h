#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codec.h"
#include "platform/notification_center.h"

namespace companion {

// The companion's other role: it asks the driver on "Ctk" for its version and has it check a
// CAN, and collects what comes back on its reply address and on "Can" (progress messages).
class CtkClient {
public:
    CtkClient(std::shared_ptr<plat::NotificationCenter> center, std::string replyAddress = "gcTestCompanion");
    ~CtkClient();
    CtkClient(const CtkClient&) = delete;
    CtkClient& operator=(const CtkClient&) = delete;

    bool askVersion();
    bool checkCan(const std::string& reader, const std::string& can);
    // Posts any request (the reply address is added as "from").
    bool send(Message request);

    // Waits until at least `count` messages came; returns those seen so far.
    std::vector<Message> waitForMessages(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));

private:
    std::shared_ptr<plat::NotificationCenter> center_;
    std::string replyAddress_;
    std::vector<plat::NotificationCenter::ObserverId> observers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
};

}  // namespace companion
