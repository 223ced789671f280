#include "Queue/frame.h"

#include <algorithm>
#include <string>

namespace gc_frame {

size_t findFirst(Bytes bytes, std::string_view text) {
    if (text.empty()) return npos;
    const auto at = std::search(bytes.begin(), bytes.end(), text.begin(), text.end(),
                                [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); });
    return at == bytes.end() ? npos : static_cast<size_t>(at - bytes.begin());
}

size_t findLast(Bytes bytes, std::string_view text) {
    if (text.empty()) return npos;
    const auto at = std::find_end(bytes.begin(), bytes.end(), text.begin(), text.end(),
                                  [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); });
    return at == bytes.end() ? npos : static_cast<size_t>(at - bytes.begin());
}

namespace {

struct Tags {
    std::string open;
    std::string close;
};

Tags tagsOf(std::string_view tag) {
    return {"<" + std::string(tag) + ">", "</" + std::string(tag) + ">"};
}

}  // namespace

std::optional<Bytes> enclosed(Bytes bytes, std::string_view tag) {
    const Tags tags = tagsOf(tag);
    const size_t open = findFirst(bytes, tags.open);
    const size_t close = findFirst(bytes, tags.close);
    if (open == npos || close == npos) return std::nullopt;
    const size_t start = open + tags.open.size();
    if (close < start) return std::nullopt;
    return bytes.subspan(start, close - start);
}

std::optional<Bytes> messageBody(Bytes bytes) {
    const Tags tags = tagsOf("msg");
    const size_t open = findFirst(bytes, tags.open);
    if (open == npos) return std::nullopt;
    const size_t start = open + tags.open.size();
    const size_t close = findFirst(bytes, tags.close);
    if (close == npos) return bytes.subspan(start);
    if (close < start) return std::nullopt;
    return bytes.subspan(start, close - start);
}

void appendTagged(std::vector<unsigned char>& out, std::string_view tag, Bytes value) {
    const Tags tags = tagsOf(tag);
    out.insert(out.end(), tags.open.begin(), tags.open.end());
    out.insert(out.end(), value.begin(), value.end());
    out.insert(out.end(), tags.close.begin(), tags.close.end());
}

}  // namespace gc_frame
