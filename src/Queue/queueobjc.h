#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Data/bytes.h"

class GC_QueueObjCInt;

// Carries one request and its reply between the driver and a companion service over the
// distributed notification centre. A request is posted as the notification named after the
// peer, its object {"xml": "BASE64" + base64("<from>" own name "</from>" + message)}; replies come
// as notifications named after this side, each a JSON object of strings that is turned into
// "<key>" value "</key>" parts (values "BASE64..." decoded).
//
// Replies that arrive while no request waits (a late answer, a duplicate) are kept apart as
// strays, at most kMaxKept of them, the oldest dropped, so the layer above can tell that its peer
// answered unasked. Where the centre knows who serves the peer name (a bus name's holder), replies
// of every other sender are dropped on arrival: they neither answer nor count as strays.
class GC_QueueObjC {
public:
    // One assembled reply and who posted it.
    struct Reply {
        std::vector<unsigned char> bytes;
        std::string sender;
    };
    // Decides whether a reply answers the request; others are skipped and the wait goes on.
    using Acceptor = std::function<bool(const Reply&)>;

    static constexpr size_t kMaxKept = 64;

    // Registers for replies on the default notification centre; `disabled` stays true when
    // no centre is installed.
    GC_QueueObjC(const char* peer, const char* own,
                 std::chrono::milliseconds replyWait = std::chrono::milliseconds(500));
    virtual ~GC_QueueObjC();
    GC_QueueObjC(const GC_QueueObjC&) = delete;
    GC_QueueObjC& operator=(const GC_QueueObjC&) = delete;

    // Asks the centre who serves the peer name now and from then on takes replies from that
    // sender only (from any sender when the centre ties no service to the name). False when the
    // name has a service that nobody provides at the moment.
    bool pinAnswerer();
    // Posts one request: 1 when posted, 0 on failure. Replies count as answers from now until the
    // wait for them ends.
    int send(const std::vector<unsigned char>& message);
    // Waits up to the reply wait for a reply that `accept` takes: 1 with a non-empty reply, 0 for
    // an empty one or without registration, -1 when none came in time. `reply` is emptied first.
    int receive(Reply& reply, const Acceptor& accept);
    // The replies that came while no request waited, oldest first; true in `lost` when some were
    // dropped for lack of room.
    std::vector<Reply> takeStrays(bool& lost);

    // Whether the calling thread delivers this transport's replies (it must not wait for one).
    bool onDeliveryThread() const;

    // The bytes of a reply notification's object: each entry "<key>" value "</key>", values
    // beginning "BASE64" decoded from their seventh character on. False for an object that is not
    // a JSON object of strings, or whose base64 does not decode.
    static bool assembleReply(const std::string& object, std::vector<unsigned char>& out);

    bool disabled = true;

protected:
    GC_Bytes ownName;
    GC_Bytes peerName;
    std::unique_ptr<GC_QueueObjCInt> bridge;
};
