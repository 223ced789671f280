#pragma once

#include <array>
#include <cstddef>
#include <optional>

namespace plat {

// The MD5 digest of the bytes; none only when the crypto library cannot compute it.
std::optional<std::array<unsigned char, 16>> md5(const void* data, size_t size);

}  // namespace plat
