#pragma once

#include <initializer_list>
#include <vector>

#include "Data/wipe.h"

// Small helpers shared by the command sets' builders (internal to CardController/Card).
namespace gc_card {

// The largest data field a one-byte Lc can announce.
inline constexpr size_t kShortMax = 255;
// The largest data field or Ne a three-byte extended field can carry here.
inline constexpr size_t kExtendedMax = 0xFFFF;

// Empties the output vector, wiping what it held first (it may have carried a PIN), its spare
// capacity included.
inline void resetApdu(std::vector<unsigned char>& apdu) {
    gc_wipe(apdu);
    apdu.clear();
}

// Empties the output and makes room for `size` bytes up front, so that appending a PIN never
// reallocates and leaves a copy behind in freed memory.
inline void resetApdu(std::vector<unsigned char>& apdu, size_t size) {
    resetApdu(apdu);
    if (apdu.capacity() < size) {
        std::vector<unsigned char> fresh;
        fresh.reserve(size);
        apdu.swap(fresh);
    }
}

inline void append(std::vector<unsigned char>& apdu, std::initializer_list<unsigned char> bytes) {
    apdu.insert(apdu.end(), bytes.begin(), bytes.end());
}

inline void append(std::vector<unsigned char>& apdu, const std::vector<unsigned char>& bytes) {
    apdu.insert(apdu.end(), bytes.begin(), bytes.end());
}

// A length field standing alone (Lc without Le, or Le without Lc): one byte below 256,
// else 00 followed by two big-endian bytes.
inline void appendLength(std::vector<unsigned char>& apdu, size_t length) {
    if (length < 256) {
        apdu.push_back(static_cast<unsigned char>(length));
    } else {
        append(apdu,
               {0x00, static_cast<unsigned char>((length >> 8) & 0xFF), static_cast<unsigned char>(length & 0xFF)});
    }
}

}  // namespace gc_card
