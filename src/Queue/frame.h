#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// Tagged frames of the companion link: "<name>" value "</name>" parts found by searching raw
// bytes. The peer's reply dictionary has no defined order, so parts are found by their first
// occurrence from the start of the reply, whatever stands around them.
namespace gc_frame {

using Bytes = std::span<const unsigned char>;
inline constexpr size_t npos = static_cast<size_t>(-1);

// Index of the first (or last) occurrence of `text` in `bytes`, or npos; an empty text is absent.
size_t findFirst(Bytes bytes, std::string_view text);
size_t findLast(Bytes bytes, std::string_view text);

// The bytes between the first "<tag>" and the first "</tag>"; nullopt when either is missing or
// the closing tag starts before the opening one ends.
std::optional<Bytes> enclosed(Bytes bytes, std::string_view tag);

// The body of "<msg>": up to the first "</msg>", or to the end when there is none; nullopt without
// "<msg>" or when "</msg>" starts before "<msg>" ends.
std::optional<Bytes> messageBody(Bytes bytes);

// Appends "<tag>", the value, "</tag>".
void appendTagged(std::vector<unsigned char>& out, std::string_view tag, Bytes value);

}  // namespace gc_frame
