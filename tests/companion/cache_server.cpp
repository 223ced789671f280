#include "cache_server.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include <utility>

namespace companion {

namespace {

struct BnFree {
    void operator()(BIGNUM* n) const { BN_clear_free(n); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn toBn(const Bytes& bytes) {
    return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

Bytes fromBn(const BIGNUM* n) {
    Bytes bytes(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, bytes.data());
    return bytes;
}

Bytes sha256(const Bytes& data) {
    Bytes digest(32);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

// The bytes between `open` and `close`, searching `open` from `from` on and `close` after it.
std::optional<Bytes> between(const Bytes& bytes, std::string_view open, std::string_view close, size_t from = 0,
                             size_t* end = nullptr) {
    const size_t start = find(bytes, open, from);
    if (start == npos) return std::nullopt;
    const size_t valueStart = start + open.size();
    const size_t stop = find(bytes, close, valueStart);
    if (stop == npos) return std::nullopt;
    if (end != nullptr) *end = stop + close.size();
    return Bytes(bytes.begin() + static_cast<long>(valueStart), bytes.begin() + static_cast<long>(stop));
}

}  // namespace

const CacheServer::Group& CacheServer::group() {
    static const Group group = [] {
        Group g;
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
        EVP_PKEY* params = nullptr;
        OSSL_PARAM settings[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("dh_1024_160"), 0),
            OSSL_PARAM_construct_end()};
        if (ctx != nullptr && EVP_PKEY_paramgen_init(ctx) > 0 && EVP_PKEY_CTX_set_params(ctx, settings) > 0 &&
            EVP_PKEY_paramgen(ctx, &params) > 0) {
            const char* names[] = {OSSL_PKEY_PARAM_FFC_P, OSSL_PKEY_PARAM_FFC_G, OSSL_PKEY_PARAM_FFC_Q};
            Bytes* fields[] = {&g.p, &g.g, &g.q};
            for (int i = 0; i < 3; ++i) {
                BIGNUM* n = nullptr;
                if (EVP_PKEY_get_bn_param(params, names[i], &n) > 0) *fields[i] = fromBn(n);
                BN_free(n);
            }
        }
        EVP_PKEY_free(params);
        EVP_PKEY_CTX_free(ctx);
        return g;
    }();
    return group;
}

bool CacheServer::agree(const Bytes& publicA, Bytes& publicB, Bytes& key) {
    const Group& grp = group();
    Bn p = toBn(grp.p), g = toBn(grp.g), q = toBn(grp.q), a = toBn(publicA);
    Bn b(BN_new()), bigB(BN_new()), shared(BN_new());
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
    if (!p || !g || !q || !a || !b || !bigB || !shared || !ctx || grp.p.empty()) return false;
    do {
        if (BN_rand_range(b.get(), q.get()) != 1) return false;
    } while (BN_is_zero(b.get()));
    if (BN_mod_mul(bigB.get(), g.get(), b.get(), p.get(), ctx.get()) != 1) return false;
    if (BN_mod_mul(shared.get(), a.get(), b.get(), p.get(), ctx.get()) != 1) return false;
    publicB = fromBn(bigB.get());
    key = sha256(fromBn(shared.get()));
    return true;
}

CacheServer::CacheServer(std::shared_ptr<plat::NotificationCenter> center, const std::string& logPath)
    : center_(std::move(center)) {
    if (!logPath.empty()) log_.open(logPath, std::ios::app);
    observer_ = center_->addObserver(kName, [this](const plat::Notification& n) { received(n); });
}

CacheServer::~CacheServer() {
    if (observer_ != 0) center_->removeObserver(observer_);
    std::vector<std::thread> late;
    {
        std::lock_guard lock(mutex_);
        late.swap(lateReplies_);
    }
    for (auto& t : late) t.join();
}

void CacheServer::preseed(const std::string& reader, const std::string& key, const Bytes& value) {
    std::lock_guard lock(mutex_);
    store_[reader][key] = value;
}

void CacheServer::setFault(const Fault& fault) {
    std::lock_guard lock(mutex_);
    fault_ = fault;
    replies_ = 0;
}

std::vector<FrameRecord> CacheServer::frames() {
    std::lock_guard lock(mutex_);
    return frames_;
}

bool CacheServer::waitForFrames(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return frames_.size() >= count; });
}

std::optional<Bytes> CacheServer::entry(const std::string& reader, const std::string& key) {
    std::lock_guard lock(mutex_);
    auto r = store_.find(reader);
    if (r == store_.end()) return std::nullopt;
    auto k = r->second.find(key);
    if (k == r->second.end()) return std::nullopt;
    return k->second;
}

std::map<std::string, Bytes> CacheServer::entries(const std::string& reader) {
    std::lock_guard lock(mutex_);
    auto found = store_.find(reader);
    return found == store_.end() ? std::map<std::string, Bytes>{} : found->second;
}

Bytes CacheServer::keyFor(const Bytes& id) {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(id);
    return it == keys_.end() ? Bytes{} : it->second;
}

void CacheServer::received(const plat::Notification& notification) {
    if (!notification.object) return;
    const auto message = parseMessage(*notification.object);
    if (!message || !message->contains("xml")) return;
    const std::string& xml = message->at("xml");
    if (xml.rfind("BASE64", 0) != 0) return;
    const auto payload = base64Decode(std::string_view(xml).substr(6));
    if (!payload) return;
    size_t frameStart = 0;
    const auto from = between(*payload, "<from>", "</from>", 0, &frameStart);
    if (!from || find(*payload, "<from>") != 0) return;
    handleFrame(toText(*from), notification.sender,
                Bytes(payload->begin() + static_cast<long>(frameStart), payload->end()));
}

void CacheServer::handleFrame(const std::string& from, const std::string& sender, const Bytes& frame) {
    size_t afterId = 0;
    const auto id = between(frame, "<encID>", "</encID>", 0, &afterId);
    if (!id) return;
    FrameRecord record;
    record.id = *id;
    record.from = from;
    record.sender = sender;
    Message replyMessage{{"encID", "BASE64" + base64Encode(*id)}};

    if (find(frame, "<A>", afterId) != npos) {
        record.kind = "agree";
        const auto publicA = between(frame, "<A>", "</A>", afterId);
        Bytes publicB, key;
        if (!publicA || !agree(*publicA, publicB, key)) return;
        {
            std::lock_guard lock(mutex_);
            keys_[*id] = key;
        }
        replyMessage["B"] = "BASE64" + base64Encode(publicB);
    } else {
        const size_t open = find(frame, "<msg>", afterId);
        const size_t close = findLast(frame, "</msg>");
        if (open == npos || close == npos || close < open + 5) return;
        const Bytes body(frame.begin() + static_cast<long>(open + 5), frame.begin() + static_cast<long>(close));
        const Bytes key = keyFor(*id);
        if (key.empty() || body.empty()) {
            record.kind = "unknown";
            log(record);
            std::lock_guard lock(mutex_);
            frames_.push_back(record);
            changed_.notify_all();
            return;
        }
        record.kind = "message";
        record.plain = xorWith(key, body);
        replyMessage["msg"] = "BASE64" + base64Encode(xorWith(key, spoilTags(answer(record))));
    }
    log(record);
    {
        std::lock_guard lock(mutex_);
        frames_.push_back(record);
    }
    changed_.notify_all();
    reply(from, std::move(replyMessage));
}

// Carries out one deciphered command and gives the reply body.
Bytes CacheServer::answer(FrameRecord& record) {
    const Bytes& plain = record.plain;
    size_t at = 0;
    if (find(plain, "<rid>") == 0) {
        const auto reader = between(plain, "<rid>", "</rid>", 0, &at);
        if (reader) record.reader = toText(*reader);
    }
    const Bytes ok = toBytes("<res>OK</res>");
    std::lock_guard lock(mutex_);
    for (const char* tag : {"get", "del", "clr", "fail", "notallow"}) {
        const std::string open = std::string("<") + tag + ">";
        if (find(plain, open, at) != at) continue;
        const auto value = between(plain, open, std::string("</") + tag + ">", at);
        if (!value) return toBytes("<res>BAD</res>");
        record.command = tag;
        if (record.command == "get" || record.command == "del") record.key = toText(*value);
        if (record.command == "clr" || record.command == "fail" || record.command == "notallow")
            record.reader = toText(*value);
        if (record.command == "del") store_[record.reader].erase(record.key);
        if (record.command == "clr") store_.erase(record.reader);
        if (record.command != "get") return ok;
        const auto& entries = store_[record.reader];
        const auto found = entries.find(record.key);
        record.outcome = found == entries.end() ? "miss" : "hit";
        if (found == entries.end()) return toBytes("<res>NOT_FOUND</res>");
        record.length = found->second.size();
        Bytes body = toBytes("<res>");
        body.insert(body.end(), found->second.begin(), found->second.end());
        const Bytes close = toBytes("</res>");
        body.insert(body.end(), close.begin(), close.end());
        return body;
    }
    if (find(plain, "<set", at) == at) {
        const size_t keyEnd = find(plain, ">", at);
        if (keyEnd == npos) return toBytes("<res>BAD</res>");
        record.command = "set";
        record.key =
            toText(Bytes(plain.begin() + static_cast<long>(at + 4), plain.begin() + static_cast<long>(keyEnd)));
        const size_t close = findLast(plain, "</set" + record.key + ">");
        if (close == npos || close < keyEnd + 1) return toBytes("<res>BAD</res>");
        Bytes value(plain.begin() + static_cast<long>(keyEnd + 1), plain.begin() + static_cast<long>(close));
        record.length = value.size();
        store_[record.reader][record.key] = std::move(value);
        return ok;
    }
    return toBytes("<res>BAD</res>");
}

bool CacheServer::faulty(int reply) const {
    return reply >= fault_.skip && (fault_.count < 0 || reply < fault_.skip + fault_.count);
}

Bytes CacheServer::spoilTags(Bytes body) {
    Fault::Kind kind = Fault::Kind::None;
    {
        std::lock_guard lock(mutex_);
        if (faulty(replies_)) kind = fault_.kind;
    }
    if (kind != Fault::Kind::NoResTags && kind != Fault::Kind::NoResEnd) return body;
    std::vector<std::string> tags{"</res>"};
    if (kind == Fault::Kind::NoResTags) tags.push_back("<res>");
    for (const std::string& tag : tags) {
        const size_t at = tag == "<res>" ? find(body, tag) : findLast(body, tag);
        if (at != npos)
            body.erase(body.begin() + static_cast<long>(at), body.begin() + static_cast<long>(at + tag.size()));
    }
    return body;
}

void CacheServer::reply(const std::string& to, Message message) {
    Fault fault;
    std::optional<std::pair<std::string, std::string>> held;
    {
        std::lock_guard lock(mutex_);
        held = std::exchange(heldDuplicate_, std::nullopt);
        if (faulty(replies_++)) fault = fault_;
    }
    // The duplicate of the last reply goes out first: the driver is already waiting for this one.
    if (held) post(held->first, held->second);
    using Kind = Fault::Kind;
    switch (fault.kind) {
        case Kind::Silent:
            return;
        case Kind::Late: {
            const std::string object = dumpMessage(message);
            std::lock_guard lock(mutex_);
            lateReplies_.emplace_back([this, to, object, delay = fault.late] {
                std::this_thread::sleep_for(delay);
                post(to, object);
            });
            return;
        }
        case Kind::WrongId: {
            auto id = base64Decode(std::string_view(message["encID"]).substr(6)).value_or(Bytes{0});
            id[0] ^= 0x01;
            message["encID"] = "BASE64" + base64Encode(id);
            break;
        }
        case Kind::Garbage:
            // Not JSON, not an object, not all text: none of them is a reply; the real one follows.
            post(to, "garbage{");
            post(to, "[\"encID\"]");
            post(to, nlohmann::json{{"encID", message["encID"]}, {"msg", 5}}.dump());
            break;
        case Kind::NoBody:
            message.erase("msg");
            message.erase("B");
            break;
        case Kind::Duplicate:
            post(to, dumpMessage(message));
            break;
        case Kind::DuplicateLate: {
            std::lock_guard lock(mutex_);
            heldDuplicate_ = std::make_pair(to, dumpMessage(message));
            break;
        }
        case Kind::None:
        case Kind::NoResTags:  // spoilt in the body already
        case Kind::NoResEnd:
            break;
    }
    post(to, dumpMessage(message));
}

void CacheServer::post(const std::string& to, const std::string& object) {
    center_->postNotification(to, object);
}

void CacheServer::log(const FrameRecord& record) {
    if (!log_.is_open()) return;
    nlohmann::json line = {{"kind", record.kind},       {"id", toHex(record.id)}, {"reader", record.reader},
                           {"command", record.command}, {"key", record.key},      {"length", record.length},
                           {"result", record.outcome}};
    std::lock_guard lock(mutex_);
    log_ << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

}  // namespace companion
