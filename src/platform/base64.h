#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Standard base64 (RFC 4648 alphabet, with padding, no line breaks), the encoding of the
// platform's data objects.
namespace plat::base64 {

// `prefix` goes before the encoding, in the same block (a frame's mark, say).
std::string encode(const unsigned char* bytes, size_t count, std::string_view prefix = {});
inline std::string encode(const std::vector<unsigned char>& bytes) {
    return encode(bytes.data(), bytes.size());
}

// Strict: only the canonical encoding of some bytes is accepted (whole groups of four, padding
// only at the end, unused bits zero, no white space). False, and `out` emptied, otherwise.
bool decode(std::string_view text, std::vector<unsigned char>& out);

}  // namespace plat::base64
