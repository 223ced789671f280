// Replies from a hostile companion: the JSON object of a reply notification assembled into
// tagged bytes, then the frame parser's identifier, B and message searches on those bytes.
// The input is the notification's object text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Queue/frame.h"
#include "Queue/queueobjc.h"

namespace {

void parseFrame(const std::vector<unsigned char>& bytes) {
    volatile size_t seen = 0;
    if (auto id = gc_frame::enclosed(bytes, "encID")) seen = seen + id->size();
    if (auto b = gc_frame::enclosed(bytes, "B")) seen = seen + b->size();
    if (auto body = gc_frame::messageBody(bytes)) seen = seen + body->size();
    seen = seen + gc_frame::findLast(bytes, "</res>");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string object(reinterpret_cast<const char*>(data), size);
    std::vector<unsigned char> reply;
    if (GC_QueueObjC::assembleReply(object, reply)) parseFrame(reply);
    parseFrame(std::vector<unsigned char>(data, data + size));  // the same parser on raw bytes
    return 0;
}
