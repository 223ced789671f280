#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "Queue/queueobjc.h"

// The request/response link to the companion's cache service over the notification transport.
// Before its first exchange, and after every failed one, it picks a new 8-byte link identifier
// and agrees a 32-byte key with the peer (see link_key.h); every later frame carries the
// identifier in clear and its body XOR-ed with the key. This is obfuscation kept for the
// companion's sake, not encryption.
//
// A reply counts only when it carries the current identifier and comes from the sender that
// answered the key agreement; anything else is skipped until the wait ends. Where the centre
// knows who serves the companion's cache, each new link takes replies from that sender alone (see
// GC_QueueObjC::pinAnswerer), and fails at once while nobody serves it. Every failed
// exchange drops the link, and so does a reply with the current identifier that came while no
// exchange waited (a late answer would otherwise be taken for the next request's). A duplicate
// reply that comes after the next request was posted cannot be told apart (the protocol has no
// request numbers); what can be told is that a reply repeats the previous one word for word while
// the request differs, which the caller may take for such a copy.
class GC_Queue : public GC_QueueObjC {
public:
    GC_Queue(const char* peer, const char* own, std::chrono::milliseconds replyWait = std::chrono::milliseconds(500));
    ~GC_Queue() override;

    // One exchange: agrees a link when none stands, sends `message`, deciphers the reply into
    // `reply`. 1 success; 0 a protocol error or an empty message; -1 no reply in time (or nobody
    // serves the cache); otherwise the failed set-up step's result. `secret`: the message or its
    // reply holds a secret, so neither is dumped to the detail log.
    int sendAndRecive(const std::vector<unsigned char>& message, std::vector<unsigned char>& reply,
                      bool secret = false);
    // Sets up a new link: 1 success; 0 arithmetic or protocol failure; otherwise the failed
    // transport step's result.
    int establishEncryptConnection();
    // Whether the last exchange's reply repeated the reply of the exchange before it, on the same
    // link, to another request.
    bool replyRepeatsPrevious() const { return replyRepeated; }
    // Ends the link: the next exchange agrees a new one, and replies still on their way to this
    // one are skipped.
    void dropLink();

private:
    bool linkStands() const { return !key.empty() && !encID.empty(); }
    bool carriesLinkId(const std::vector<unsigned char>& bytes) const;
    // True when a reply of this link came while no exchange waited.
    bool answeredLate();

    std::vector<unsigned char> key;
    std::vector<unsigned char> encID;
    // The companion that answered the key agreement; only it may answer on this link.
    std::string peerSender;
    // Digests of the last exchange's request and reply on this link (empty before one), and whether
    // its reply repeated the one before.
    std::vector<unsigned char> lastRequestDigest;
    std::vector<unsigned char> lastReplyDigest;
    bool replyRepeated = false;
};
