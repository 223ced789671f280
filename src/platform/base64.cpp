#include "platform/base64.h"

#include <openssl/evp.h>

#include <cstring>

namespace plat::base64 {

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of a base64 digit, or -1.
int digitValue(char c) {
    const size_t at = kAlphabet.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

bool canonical(std::string_view text) {
    if (text.size() % 4 != 0) return false;
    size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    const size_t digits = text.size() - padding;
    for (size_t i = 0; i < digits; ++i) {
        if (digitValue(text[i]) < 0) return false;
    }
    if (padding == 0) return true;
    // The last digit before the padding must not carry bits that fall outside the decoded bytes.
    const int last = digitValue(text[digits - 1]);
    return (last & (padding == 1 ? 0x03 : 0x0F)) == 0;
}

}  // namespace

std::string encode(const unsigned char* bytes, size_t count, std::string_view prefix) {
    std::string text(prefix.size() + 4 * ((count + 2) / 3) + 1, '\0');
    prefix.copy(text.data(), prefix.size());
    const int written = count == 0 ? 0
                                   : EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data() + prefix.size()),
                                                     bytes, static_cast<int>(count));
    text.resize(prefix.size() + (written < 0 ? 0 : static_cast<size_t>(written)));
    return text;
}

bool decode(std::string_view text, std::vector<unsigned char>& out) {
    out.clear();
    if (!canonical(text)) return false;
    if (text.empty()) return true;
    out.resize(text.size() / 4 * 3);
    const int written =
        EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (written < 0) {
        OPENSSL_cleanse(out.data(), out.size());
        out.clear();
        return false;
    }
    // EVP_DecodeBlock counts the zero bytes that stand for the padding.
    const size_t padding = text.size() - text.find_last_not_of('=') - 1;
    out.resize(static_cast<size_t>(written) - padding);
    return true;
}

}  // namespace plat::base64
