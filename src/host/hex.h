#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Upper-case hexadecimal digits, two a byte, nothing between: how the host and its tool write
// object identifiers and ATRs.
std::string toHex(const std::vector<unsigned char>& bytes);
// The bytes of an even number of hexadecimal digits (either case); nullopt for anything else
// (an empty text included).
std::optional<std::vector<unsigned char>> fromHex(std::string_view text);

}  // namespace host
