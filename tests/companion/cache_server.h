#pragma once

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "codec.h"
#include "platform/notification_center.h"

namespace companion {

// What the companion saw in one request frame.
struct FrameRecord {
    std::string kind;  // "agree", "message", or "unknown" (an identifier without agreed key)
    Bytes id;
    std::string from;     // the reply address named in the request
    std::string sender;   // who posted it on the centre
    Bytes plain;          // the deciphered command (messages)
    std::string command;  // get, set, del, clr, fail, notallow; empty when not understood
    std::string reader;
    std::string key;
    size_t length = 0;    // value bytes stored (set) or handed back (get hit)
    std::string outcome;  // "hit" or "miss" for get
};

// How the companion misbehaves. The first `skip` replies go out as they should; the next `count`
// (every one when negative) are faulty.
struct Fault {
    // DuplicateLate: each faulty reply comes again, right before the reply to the next request.
    // NoResTags, NoResEnd: the reply to a command goes without its res tags, or without "</res>".
    enum class Kind { None, Silent, Late, Duplicate, WrongId, Garbage, NoBody, DuplicateLate, NoResTags, NoResEnd };
    Kind kind = Kind::None;
    int skip = 0;
    int count = 1;
    std::chrono::milliseconds late{0};  // Late: how long the reply is held back
};

// The companion application's cache service ("cacheServer") as the driver's peer: it agrees a
// key per link identifier (B = g·b mod p, key = SHA-256 of the minimal bytes of A·b mod p),
// deciphers each command with the repeating XOR, keeps entries per reader in memory and answers
// get with "<res>" value "</res>" ("NOT_FOUND" when absent), everything else with "<res>OK</res>".
// Each frame is logged as one JSON line (never a value).
class CacheServer {
public:
    static constexpr const char* kName = "cacheServer";

    CacheServer(std::shared_ptr<plat::NotificationCenter> center, const std::string& logPath = {});
    ~CacheServer();
    CacheServer(const CacheServer&) = delete;
    CacheServer& operator=(const CacheServer&) = delete;

    bool listening() const { return observer_ != 0; }
    void preseed(const std::string& reader, const std::string& key, const Bytes& value);
    void setFault(const Fault& fault);

    std::vector<FrameRecord> frames();
    // Waits until at least `count` frames were seen.
    bool waitForFrames(size_t count, std::chrono::milliseconds limit = std::chrono::milliseconds(3000));
    std::optional<Bytes> entry(const std::string& reader, const std::string& key);
    // Every entry of a reader, by key.
    std::map<std::string, Bytes> entries(const std::string& reader);
    // The key agreed for a link identifier (empty when none).
    Bytes keyFor(const Bytes& id);

    // The group of RFC 5114 section 2.1, as OpenSSL names it ("dh_1024_160"): p, g, q big-endian.
    struct Group {
        Bytes p, g, q;
    };
    static const Group& group();
    // The companion's side of one agreement: B for A, and the key, with a fresh secret b.
    static bool agree(const Bytes& publicA, Bytes& publicB, Bytes& key);

private:
    void received(const plat::Notification& notification);
    void handleFrame(const std::string& from, const std::string& sender, const Bytes& frame);
    Bytes answer(FrameRecord& record);
    // Whether the reply with this number (from 0) meets the fault; under the mutex.
    bool faulty(int reply) const;
    // The reply body as the fault of the reply about to go out leaves it.
    Bytes spoilTags(Bytes body);
    void reply(const std::string& to, Message message);
    void post(const std::string& to, const std::string& object);
    void log(const FrameRecord& record);

    std::shared_ptr<plat::NotificationCenter> center_;
    plat::NotificationCenter::ObserverId observer_ = 0;
    std::ofstream log_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::map<std::string, Bytes>> store_;
    std::map<Bytes, Bytes> keys_;
    std::vector<FrameRecord> frames_;
    Fault fault_;
    int replies_ = 0;
    std::vector<std::thread> lateReplies_;
    std::optional<std::pair<std::string, std::string>> heldDuplicate_;  // address and object
};

}  // namespace companion
