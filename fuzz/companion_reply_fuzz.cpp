// Replies from a hostile companion: the JSON object of a reply notification assembled into
// tagged bytes, then the frame parser's identifier, B and message searches on those bytes, and
// the key agreement's take of B; the same text read as a message to the extension ("Ctk").
// The input is the notification's object text.
//
// Beyond "no crash": the key agreement takes B exactly when it is a number from 1 to p - 1 in at
// most as many bytes as p, and then gives a 32-byte key; the extension's own reader of "Ctk"
// messages takes exactly the texts that nlohmann's parser reads as an object of at most
// plat::json::kMaxMembers members (each key counted as often as it is written), with the same keys
// and the same string values (texts without a NUL byte: no notification carries one, and nlohmann
// ends its input there); those texts, written by the library's own writer, read the same again.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Queue/frame.h"
#include "Queue/link_key.h"
#include "Queue/queueobjc.h"
#include "fuzz_util.h"
#include "platform/json.h"

namespace {

// Whether B, big-endian, is from 1 to p - 1.
bool inGroup(std::span<const unsigned char> b) {
    const auto* first = std::find_if(b.data(), b.data() + b.size(), [](unsigned char c) { return c != 0; });
    const std::span<const unsigned char> digits(first, b.data() + b.size());
    if (digits.empty()) return false;
    const auto& p = gc_link::kPrime;
    if (digits.size() != p.size()) return digits.size() < p.size();
    return std::lexicographical_compare(digits.begin(), digits.end(), p.begin(), p.end());
}

void agree(std::span<const unsigned char> b) {
    gc_link::KeyAgreement agreement;
    std::vector<unsigned char> a;
    CHECK(agreement.start(a));
    std::vector<unsigned char> key;
    const bool taken = agreement.finish(b, key);
    CHECK(taken == (inGroup(b) && b.size() <= gc_link::kPrime.size()));
    CHECK(key.size() == (taken ? gc_link::kKeyLength : 0));
}

void parseFrame(const std::vector<unsigned char>& bytes) {
    volatile size_t seen = 0;
    if (auto id = gc_frame::enclosed(bytes, "encID")) seen = seen + id->size();
    if (auto b = gc_frame::enclosed(bytes, "B")) {
        seen = seen + b->size();
        agree(*b);
    }
    if (auto body = gc_frame::messageBody(bytes)) seen = seen + body->size();
    seen = seen + gc_frame::findLast(bytes, "</res>");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const GcFuzzErrorQueueReset reset;
    const std::string object(reinterpret_cast<const char*>(data), size);
    std::vector<unsigned char> reply;
    if (GC_QueueObjC::assembleReply(object, reply)) parseFrame(reply);
    parseFrame(std::vector<unsigned char>(data, data + size));  // the same parser on raw bytes

    if (object.find('\0') != std::string::npos) return 0;
    const auto texts = plat::json::parseObjectTexts(object);
    size_t members = 0;  // of the outermost object, as written
    const nlohmann::json reference = nlohmann::json::parse(
        object,
        [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
            if (event == nlohmann::json::parse_event_t::key && depth == 1) ++members;
            return true;
        },
        /*allow_exceptions=*/false);
    CHECK(texts.has_value() == (reference.is_object() && members <= plat::json::kMaxMembers));
    if (texts) {
        CHECK(texts->size() == reference.size());
        std::vector<plat::json::TextMember> members;
        for (const auto& [key, text] : *texts) {
            const auto value = reference.find(key);
            CHECK(value != reference.end());
            CHECK(text.has_value() == value->is_string());
            if (text) CHECK(*text == value->get<std::string>());
            if (text) members.emplace_back(key, *text);
        }
        // Its texts written back (as the extension echoes an address or a reader's name) read the same.
        const std::optional<std::string> written = plat::json::writeObjectTexts(members);
        CHECK(written.has_value());
        const nlohmann::json again = nlohmann::json::parse(*written, nullptr, /*allow_exceptions=*/false);
        CHECK(again.is_object() && again.size() == members.size());
        for (const auto& [key, text] : members) {
            const auto value = again.find(std::string(key));
            CHECK(value != again.end() && value->is_string() && value->get<std::string>() == text);
        }
    }
    return 0;
}
