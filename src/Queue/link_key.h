#pragma once

#include <array>
#include <span>
#include <vector>

#include "openssl_ptr.h"

// The key agreement of the companion link, kept as the companion application does it: over the
// group of RFC 5114 section 2.1, the public values and the shared value are modular *products*
// (A = g·a mod p, K = B·a mod p), not powers. Anyone who sees A and B can compute K, so the link
// only obfuscates; no secret that needs real protection (a PIN) may travel over it.
namespace gc_link {

extern const std::array<unsigned char, 128> kPrime;
extern const std::array<unsigned char, 128> kGenerator;
extern const std::array<unsigned char, 20> kOrder;

inline constexpr size_t kIdLength = 8;
inline constexpr size_t kKeyLength = 32;

// A new link identifier: 8 bytes, least significant first, of a value from 2^61 to 2^62.
std::vector<unsigned char> newLinkId();

class KeyAgreement {
public:
    // Draws the secret a (1 to q-1) and gives A = g·a mod p in its minimal big-endian bytes.
    bool start(std::vector<unsigned char>& publicValue);
    // From the peer's B (big-endian, 1 to p-1): key = SHA-256 of the minimal bytes of B·a mod p.
    bool finish(std::span<const unsigned char> peerValue, std::vector<unsigned char>& key);

private:
    gc_ossl::SecretBnPtr secret_;
};

}  // namespace gc_link
