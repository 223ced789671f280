#include "platform/md5.h"

#include <openssl/evp.h>

namespace plat {

std::optional<std::array<unsigned char, 16>> md5(const void* data, size_t size) {
    std::array<unsigned char, 16> digest{};
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest.data(), &length, EVP_md5(), nullptr) != 1 || length != digest.size())
        return std::nullopt;
    return digest;
}

}  // namespace plat
