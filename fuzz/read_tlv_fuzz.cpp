// The card generations' read of one whole TLV of a file (readEx), on hostile file contents: the
// header read, the tag comparison, the length after the whole tag, and the read of the TLV.
//
// Input: one byte whose low bit picks a tag of one or two bytes, two bytes of offset
// (big-endian; below 0x8000 taken modulo the file's size plus one, so that it lands in the
// file), the tag, then the file's content.
//
// Beyond "no crash": what comes back is the file's bytes at the offset, starting with the tag,
// and exactly as long as its own length field says; every TLV in a definite form of one to three
// length bytes that starts at the offset and fits in the file is found; an offset from 0x8000 on
// is refused before anything is read.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "CardController/cardcontroller_varnel_2_0.h"
#include "fuzz_util.h"
#include "support/fake_controller.h"

namespace {

using gctest::Bytes;
using gctest::FakeController;

const Bytes kAid{0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x4E};
const Bytes kFile{0x57, 0x81};
constexpr size_t kLargestOffset = 0x8000;
constexpr size_t kHeaderRead = 5;  // what the first read asks for

// The length of the TLV `tlv` by its own length field after `tagLength` tag bytes (a high nibble
// 8 is the long form with that many length bytes, any other byte a length), or nothing when the
// field is cut off or names no bytes.
std::optional<size_t> declaredSize(const Bytes& tlv, size_t tagLength) {
    if (tlv.size() <= tagLength) return std::nullopt;
    const unsigned char first = tlv[tagLength];
    if ((first & 0xF0) != 0x80) return tagLength + 1 + first;
    const size_t n = first & 0x0F;
    if (n == 0 || tlv.size() < tagLength + 1 + n) return std::nullopt;
    size_t length = 0;
    for (size_t i = 0; i < n; ++i) length = length << 8 | tlv[tagLength + 1 + i];
    return tagLength + 1 + n + length;
}

// A TLV in standard definite form (short, or 81 to 83) starting at `at` with the tag, whose header
// fits in the first read and which ends inside the file.
bool wholeTlvAt(const Bytes& file, size_t at, const Bytes& tag) {
    if (at >= file.size() || file.size() - at < tag.size() + 1) return false;
    if (!std::equal(tag.begin(), tag.end(), file.begin() + static_cast<long>(at))) return false;
    const unsigned char first = file[at + tag.size()];
    if (first == 0x80 || first > 0x83) return false;
    const size_t n = first > 0x80 ? first & 0x0F : 0;
    if (tag.size() + 1 + n > kHeaderRead) return false;
    const Bytes rest(file.begin() + static_cast<long>(at), file.end());
    const std::optional<size_t> size = declaredSize(rest, tag.size());
    return size && *size <= rest.size();
}

class Varnel2 : public GC_CardControllerVarnel_2_0 {
public:
    using GC_CardControllerVarnel_2_0::GC_CardControllerVarnel_2_0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const GcFuzzErrorQueueReset reset;
    const size_t tagLength = size > 0 && (data[0] & 1) ? 2 : 1;
    if (size < 3 + tagLength) return 0;
    size_t offset = static_cast<size_t>(data[1]) << 8 | data[2];
    const Bytes tag(data + 3, data + 3 + tagLength);
    const Bytes file(data + 3 + tagLength, data + size);
    if (offset < kLargestOffset) offset %= file.size() + 1;

    FakeController card;
    card.setFile(kAid, kFile, file);
    Varnel2 controller(&card, true);
    card.clearLog();
    Bytes out;
    const int result = controller.readEx(out, kAid, kFile, offset, false, true, tag);
    CHECK(card.reads().size() <= 2);
    if (offset >= kLargestOffset) {
        CHECK(result == -1102 && card.reads().empty());
        return 0;
    }
    if (result == 0) {
        CHECK(offset + out.size() <= file.size());
        CHECK(std::equal(out.begin(), out.end(), file.begin() + static_cast<long>(offset)));
        CHECK(std::equal(tag.begin(), tag.end(), out.begin()));
        CHECK(declaredSize(out, tag.size()) == out.size());
    }
    if (wholeTlvAt(file, offset, tag)) CHECK(result == 0);
    return 0;
}
