#include "Queue/queueobjc.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "Data/wipe.h"
#include "Queue/frame.h"
#include "logger.h"
#include "platform/base64.h"
#include "platform/json.h"
#include "platform/notification_center.h"

namespace {

constexpr const char* kLogFile = "Queue/queueobjc";
constexpr unsigned long kLogMask = gc_log::kQueue | gc_log::kMessage;
constexpr unsigned long kErrMask = gc_log::kError | gc_log::kQueue;

constexpr std::string_view kBase64Mark = "BASE64";

void wipeReply(GC_QueueObjC::Reply& reply) {
    gc_wipe(reply.bytes);
    reply.bytes.clear();
}

// Appends to a bounded list, dropping (and wiping) the oldest entry when it is full.
bool keep(std::deque<GC_QueueObjC::Reply>& list, GC_QueueObjC::Reply reply) {
    const bool full = list.size() >= GC_QueueObjC::kMaxKept;
    if (full) {
        wipeReply(list.front());
        list.pop_front();
    }
    list.push_back(std::move(reply));
    return full;
}

void wipeAll(std::deque<GC_QueueObjC::Reply>& list) {
    for (auto& reply : list) wipeReply(reply);
    list.clear();
}

}  // namespace

// The observer registration and the replies. `received` runs on the centre's delivery thread;
// everything else on the caller's.
class GC_QueueObjCInt {
public:
    GC_QueueObjCInt(std::shared_ptr<plat::NotificationCenter> center, const std::string& listenName,
                    std::chrono::milliseconds replyWait)
        : center_(std::move(center)), replyWait_(replyWait) {
        observer_ = center_->addObserver(listenName, [this](const plat::Notification& n) { received(n); });
    }
    ~GC_QueueObjCInt() {
        if (observer_ != 0) center_->removeObserver(observer_);
        wipeAll(inbox_);
        wipeAll(strays_);
    }
    bool registered() const { return observer_ != 0; }

    bool post(const std::string& name, const std::optional<std::string>& object) {
        {
            std::lock_guard lock(mutex_);
            waiting_ = true;  // armed before posting: a quick reply must not count as a stray
        }
        if (center_->postNotification(name, object)) return true;
        std::lock_guard lock(mutex_);
        stopWaiting();
        return false;
    }

    int wait(GC_QueueObjC::Reply& reply, const GC_QueueObjC::Acceptor& accept) {
        const auto deadline = std::chrono::steady_clock::now() + replyWait_;
        std::unique_lock lock(mutex_);
        for (;;) {
            if (!arrived_.wait_until(lock, deadline, [&] { return !inbox_.empty(); })) {
                stopWaiting();
                GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "recv timeout");
                return -1;
            }
            GC_QueueObjC::Reply candidate = std::move(inbox_.front());
            inbox_.pop_front();
            lock.unlock();
            const bool taken = accept(candidate);
            lock.lock();
            if (taken) {
                stopWaiting();
                reply = std::move(candidate);
                GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "recv success");
                return reply.bytes.empty() ? 0 : 1;
            }
            wipeReply(candidate);
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "reply skipped");
        }
    }

    std::vector<GC_QueueObjC::Reply> takeStrays(bool& lost) {
        std::lock_guard lock(mutex_);
        std::vector<GC_QueueObjC::Reply> taken(std::make_move_iterator(strays_.begin()),
                                               std::make_move_iterator(strays_.end()));
        strays_.clear();
        lost = straysLost_;
        straysLost_ = false;
        return taken;
    }

    bool onDeliveryThread() const { return center_->onDeliveryThread(); }

    bool pinAnswerer(const std::string& peerName) {
        std::optional<std::string> answerer = center_->answererFor(peerName);
        const bool served = !answerer || !answerer->empty();
        std::lock_guard lock(mutex_);
        answerer_ = std::move(answerer);
        return served;
    }

private:
    // Whatever came after the awaited reply (a duplicate, say) counts as having come unasked.
    void stopWaiting() {
        waiting_ = false;
        while (!inbox_.empty()) {
            straysLost_ |= keep(strays_, std::move(inbox_.front()));
            inbox_.pop_front();
        }
    }

    void received(const plat::Notification& notification) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "message received");
        if (!notification.object) return;
        {
            std::lock_guard lock(mutex_);
            if (answerer_ && notification.sender != *answerer_) {
                GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "not from the service: dropped");
                return;
            }
        }
        GC_QueueObjC::Reply reply{{}, notification.sender};
        if (!GC_QueueObjC::assembleReply(*notification.object, reply.bytes)) {
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "not a reply: ignored");
            return;
        }
        {
            std::lock_guard lock(mutex_);
            if (waiting_)
                keep(inbox_, std::move(reply));
            else
                straysLost_ |= keep(strays_, std::move(reply));
        }
        arrived_.notify_all();
    }

    std::shared_ptr<plat::NotificationCenter> center_;
    const std::chrono::milliseconds replyWait_;
    plat::NotificationCenter::ObserverId observer_ = 0;

    std::mutex mutex_;
    std::condition_variable arrived_;
    bool waiting_ = false;
    std::optional<std::string> answerer_;  // the only sender whose replies count; none: anyone
    std::deque<GC_QueueObjC::Reply> inbox_;
    std::deque<GC_QueueObjC::Reply> strays_;
    bool straysLost_ = false;
};

GC_QueueObjC::GC_QueueObjC(const char* peer, const char* own, std::chrono::milliseconds replyWait)
    : ownName("%s", own), peerName("%s", peer) {
    auto center = plat::NotificationCenter::defaultCenter();
    if (center == nullptr) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "no notification centre: link disabled");
        return;
    }
    auto made = std::make_unique<GC_QueueObjCInt>(std::move(center), std::string(ownName.c_str()), replyWait);
    if (!made->registered()) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "observer registration failed: link disabled");
        return;
    }
    bridge = std::move(made);
    disabled = false;
}

GC_QueueObjC::~GC_QueueObjC() = default;

int GC_QueueObjC::send(const std::vector<unsigned char>& message) {
    if (bridge == nullptr) return GC_FAIL(kErrMask, 0, "reinterpret_cast GC_QueueObjCInt failed");
    GC_Bytes payload("<from>%s</from>", ownName.c_str());
    payload.append(GC_Bytes(message, 0));
    // The frame goes in base64 inside the JSON text: each form is made once, in a block of its
    // own, and wiped once it has served.
    std::string encoded = plat::base64::encode(payload.begin(), payload.size(), kBase64Mark);
    if (encoded.size() == kBase64Mark.size()) return GC_FAIL(kErrMask, 0, "base64 encoding fail");
    std::optional<std::string> object = plat::json::writeObjectTexts({{"xml", encoded}});
    gc_wipe(encoded);
    if (!object) return GC_FAIL(kErrMask, 0, "request not serialisable");
    const bool posted = bridge->post(peerName.c_str(), object);
    gc_wipe(*object);
    if (!posted) return GC_FAIL(kErrMask, 0, "posting failed");
    return 1;
}

int GC_QueueObjC::receive(Reply& reply, const Acceptor& accept) {
    wipeReply(reply);
    reply.sender.clear();
    if (bridge == nullptr) return GC_FAIL(kErrMask, 0, "reinterpret_cast GC_QueueObjCInt failed");
    return bridge->wait(reply, accept);
}

bool GC_QueueObjC::pinAnswerer() {
    return bridge == nullptr || bridge->pinAnswerer(peerName.c_str());  // without a bridge, sending fails
}

std::vector<GC_QueueObjC::Reply> GC_QueueObjC::takeStrays(bool& lost) {
    lost = false;
    if (bridge == nullptr) return {};
    return bridge->takeStrays(lost);
}

bool GC_QueueObjC::onDeliveryThread() const {
    return bridge != nullptr && bridge->onDeliveryThread();
}

bool GC_QueueObjC::assembleReply(const std::string& object, std::vector<unsigned char>& out) {
    gc_wipe(out);
    out.clear();
    std::optional<plat::json::TextEntries> entries = plat::json::parseObjectTexts(object);
    if (!entries) return false;
    // Sized once: grown, it would free the parts already in it unwiped. No entry outgrows twice its text.
    out.reserve(2 * object.size());
    bool ok = true;
    for (auto& [key, text] : *entries) {
        std::vector<unsigned char> value;
        if (!text)
            ok = false;  // a value that is not text
        else if (!text->starts_with(kBase64Mark))
            value.assign(text->begin(), text->end());
        else if (!plat::base64::decode(std::string_view(*text).substr(kBase64Mark.size()), value))
            ok = false;
        if (ok) gc_frame::appendTagged(out, key, value);
        gc_wipe(value);
        if (text) gc_wipe(*text);
    }
    if (ok) return true;
    gc_wipe(out);
    out.clear();
    return false;
}
