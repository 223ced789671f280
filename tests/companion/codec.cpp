#include "codec.h"

#include <openssl/evp.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace companion {

std::string base64Encode(const Bytes& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(), static_cast<int>(bytes.size()));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    if (text.empty()) return Bytes{};
    const bool valid = std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=';
    });
    if (!valid) return std::nullopt;
    Bytes out(text.size() / 4 * 3);
    const int n =
        EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    size_t padding = 0;
    if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    out.resize(static_cast<size_t>(n) - padding);
    return out;
}

std::optional<Message> parseMessage(const std::string& json) {
    // A value nested deeper is refused: writing it back as text recurses once per level.
    constexpr int kMaxDepth = 32;
    bool tooDeep = false;
    const auto value = nlohmann::json::parse(
        json,
        [&](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
            tooDeep = tooDeep || depth > kMaxDepth;
            return !tooDeep;
        },
        false);
    if (tooDeep || !value.is_object()) return std::nullopt;
    Message message;
    for (const auto& [key, item] : value.items())
        message[key] = item.is_string() ? item.get<std::string>() : item.dump();
    return message;
}

std::string dumpMessage(const Message& message) {
    return nlohmann::json(message).dump();
}

Bytes toBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

std::string toText(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string toHex(const Bytes& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

size_t find(const Bytes& bytes, std::string_view text, size_t from) {
    if (from > bytes.size()) return npos;
    const auto at = std::search(bytes.begin() + static_cast<long>(from), bytes.end(), text.begin(), text.end(),
                                [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); });
    return at == bytes.end() ? npos : static_cast<size_t>(at - bytes.begin());
}

size_t findLast(const Bytes& bytes, std::string_view text) {
    const auto at = std::find_end(bytes.begin(), bytes.end(), text.begin(), text.end(),
                                  [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); });
    return at == bytes.end() ? npos : static_cast<size_t>(at - bytes.begin());
}

Bytes xorWith(const Bytes& key, const Bytes& data) {
    Bytes out(data.size());
    for (size_t i = 0; i < data.size(); ++i) out[i] = data[i] ^ key[i % key.size()];
    return out;
}

}  // namespace companion
