#include "Queue/queue.h"

#include <algorithm>

#include "Data/wipe.h"
#include "Queue/frame.h"
#include "Queue/link_key.h"
#include "logger.h"
#include "security_lib.h"

namespace {

constexpr const char* kLogFile = "Queue/queue";
constexpr unsigned long kLogMask = gc_log::kQueue;
constexpr unsigned long kErrMask = gc_log::kError | gc_log::kQueue;
constexpr unsigned long kDumpMask = gc_log::kQueue | gc_log::kDetail;

// "PLAIN" and "HEX" lines of some bytes under a title, built only when the detail level is on.
void dump(const char* title, const std::vector<unsigned char>& bytes, bool secret) {
    if (!GC_LoggerC::levelEnabled(kDumpMask)) return;
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kDumpMask, title);
    if (secret) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kDumpMask, "PLAIN: (withheld)");
        return;
    }
    GC_Bytes data(bytes, 0);
    GC_Bytes plain = data.toPlainText();
    GC_Bytes hex = data.toHex(false, true);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kDumpMask, "PLAIN: %s", plain.c_str());
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kDumpMask, "HEX: %s", hex.c_str());
}

std::vector<unsigned char> tagged(const std::vector<unsigned char>& id, const char* tag,
                                  const std::vector<unsigned char>& value) {
    std::vector<unsigned char> frame;
    frame.reserve(id.size() + value.size() + 32);
    gc_frame::appendTagged(frame, "encID", id);
    gc_frame::appendTagged(frame, tag, value);
    return frame;
}

// SHA-256 of bytes that may hold a secret; the copy the hash function is handed is wiped.
std::vector<unsigned char> digestOf(const std::vector<unsigned char>& bytes) {
    std::vector<std::vector<unsigned char>> pieces(1, bytes);
    std::vector<unsigned char> digest;
    GC_Security::hashValuesToKey(GC_Security::HASH_SHA256, pieces, digest);
    gc_wipe(pieces.front());
    return digest;
}

}  // namespace

GC_Queue::GC_Queue(const char* peer, const char* own, std::chrono::milliseconds replyWait)
    : GC_QueueObjC(peer, own, replyWait) {}

GC_Queue::~GC_Queue() {
    gc_wipe(key);
    gc_wipe(encID);
    gc_wipe(lastRequestDigest);
    gc_wipe(lastReplyDigest);
}

void GC_Queue::dropLink() {
    gc_wipe(key);
    key.clear();
    gc_wipe(encID);
    encID.clear();
    peerSender.clear();
    gc_wipe(lastRequestDigest);
    lastRequestDigest.clear();
    gc_wipe(lastReplyDigest);
    lastReplyDigest.clear();
}

bool GC_Queue::carriesLinkId(const std::vector<unsigned char>& bytes) const {
    const auto id = gc_frame::enclosed(bytes, "encID");
    return id && !encID.empty() && std::ranges::equal(*id, encID);
}

bool GC_Queue::answeredLate() {
    bool lost = false;
    std::vector<Reply> strays = takeStrays(lost);
    bool late = lost;
    for (auto& stray : strays) {
        late = late || (stray.sender == peerSender && carriesLinkId(stray.bytes));
        gc_wipe(stray.bytes);
    }
    return late;
}

int GC_Queue::establishEncryptConnection() {
    dropLink();
    // Nobody to agree with: as if the companion were silent, without the wait.
    if (!pinAnswerer()) return GC_FAIL(kErrMask, -1, "no companion serves the cache");
    bool lost = false;
    for (auto& stray : takeStrays(lost)) gc_wipe(stray.bytes);  // they answered an older link

    encID = gc_link::newLinkId();
    gc_link::KeyAgreement agreement;
    std::vector<unsigned char> publicValue;
    if (!agreement.start(publicValue)) return GC_FAIL(kErrMask, 0, "key agreement: arithmetic failed");

    const int sent = send(tagged(encID, "A", publicValue));
    if (sent != 1) return GC_FAIL(kErrMask, sent);

    Reply reply;
    GC_WipeGuard wipeReply{&reply.bytes};
    const int received = receive(reply, [this](const Reply& r) { return carriesLinkId(r.bytes); });
    if (received != 1) return GC_FAIL(kErrMask, received);

    const auto peerValue = gc_frame::enclosed(reply.bytes, "B");
    if (!peerValue) return GC_FAIL(kErrMask, 0, "key agreement: reply without B");
    if (!agreement.finish(*peerValue, key)) return GC_FAIL(kErrMask, 0, "key agreement: B refused");
    peerSender = reply.sender;
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 1);
    return 1;
}

int GC_Queue::sendAndRecive(const std::vector<unsigned char>& message, std::vector<unsigned char>& reply, bool secret) {
    gc_wipe(reply);
    reply.clear();
    replyRepeated = false;
    dump("CACHE | SEND:", message, secret);
    if (message.empty()) return GC_FAIL(kErrMask, 0, "empty message");

    if (linkStands() && answeredLate()) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "a reply came while no request waited: new link");
        dropLink();
    }
    if (!linkStands()) {
        const int rc = establishEncryptConnection();
        if (rc != 1) {
            dropLink();
            return GC_FAIL(kErrMask, rc);
        }
    }

    // The enciphered frames give the message away to whoever learns the key: wiped like it.
    std::vector<unsigned char> body;
    std::vector<unsigned char> frame;
    std::vector<unsigned char> sealedAnswer;
    GC_WipeGuard wipeFrames{&body, &frame, &sealedAnswer};
    GC_Security::encryptdecryptXOR(key, message, body);
    frame = tagged(encID, "msg", body);
    dump("CACHE | ENC | SEND:", frame, secret);

    const int sent = send(frame);
    if (sent != 1) {
        dropLink();
        return GC_FAIL(kErrMask, sent);
    }
    Reply answer;
    GC_WipeGuard wipeAnswer{&answer.bytes};
    const int received =
        receive(answer, [this](const Reply& r) { return r.sender == peerSender && carriesLinkId(r.bytes); });
    if (received != 1) {
        dropLink();
        return GC_FAIL(kErrMask, received);
    }
    dump("CACHE | ENC | RECV:", answer.bytes, secret);

    const auto answerBody = gc_frame::messageBody(answer.bytes);
    if (!answerBody || answerBody->empty()) {
        dropLink();
        return GC_FAIL(kErrMask, 0, "reply without message body");
    }
    sealedAnswer.assign(answerBody->begin(), answerBody->end());
    GC_Security::encryptdecryptXOR(key, sealedAnswer, reply);
    dump("CACHE | RECV:", reply, secret);
    // Digests only, and wiped like the rest: the request or the reply may hold a CAN, which its
    // digest gives away as well.
    std::vector<unsigned char> requestDigest = digestOf(message);
    std::vector<unsigned char> replyDigest = digestOf(reply);
    replyRepeated = !lastReplyDigest.empty() && replyDigest == lastReplyDigest && requestDigest != lastRequestDigest;
    gc_wipe(lastRequestDigest);
    gc_wipe(lastReplyDigest);
    lastRequestDigest = std::move(requestDigest);
    lastReplyDigest = std::move(replyDigest);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 1);
    return 1;
}
