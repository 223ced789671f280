#include "ctk_client.h"

namespace companion {

CtkClient::CtkClient(std::shared_ptr<plat::NotificationCenter> center, std::string replyAddress)
    : center_(std::move(center)), replyAddress_(std::move(replyAddress)) {
    const std::string replyName = replyAddress_.substr(0, replyAddress_.find('/'));
    for (const std::string& name : {replyName, std::string("Can")}) {
        observers_.push_back(center_->addObserver(name, [this](const plat::Notification& n) {
            if (!n.object) return;
            auto message = parseMessage(*n.object);
            if (!message) return;
            {
                std::lock_guard lock(mutex_);
                messages_.push_back(std::move(*message));
            }
            changed_.notify_all();
        }));
    }
}

CtkClient::~CtkClient() {
    for (auto id : observers_) center_->removeObserver(id);
}

bool CtkClient::askVersion() {
    return send({{"getVersion", "1"}});
}

bool CtkClient::checkCan(const std::string& reader, const std::string& can) {
    return send({{"checkCan", can}, {"rid", reader}});
}

bool CtkClient::send(Message request) {
    request["from"] = replyAddress_;
    return center_->postNotification("Ctk", dumpMessage(request));
}

std::vector<Message> CtkClient::waitForMessages(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return messages_.size() >= count; });
    return messages_;
}

}  // namespace companion
