#pragma once

#include <cctype>
#include <string>
#include <vector>

#include "Data/securevector.h"

namespace gctest {

// Bytes from hex digits; blanks are ignored. Empty on a stray character or an odd digit count,
// so that a mistyped case does not pass as other bytes.
inline std::vector<unsigned char> unhex(const std::string& text) {
    std::vector<unsigned char> out;
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        const int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<unsigned char>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) return {};
    return out;
}

inline SecureVector<unsigned char> secureHex(const std::string& text) {
    const auto v = unhex(text);
    return SecureVector<unsigned char>(v.data(), v.size());
}

template <typename Range>
std::string hex(const Range& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

}  // namespace gctest
