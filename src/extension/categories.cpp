#include "extension/categories.h"

#include <cstdint>
#include <cstdio>

#include "platform/ctk_keychain.h"
#include "platform/md5.h"

void setName(ctk::KeychainItem& item, const std::string& label) {
    const std::optional<std::string>& current = item.label();
    if (!current) {
        item.setLabel(label);
        return;
    }
    item.setLabel(label + " (" + *current + ")");
}

std::string MD5String(const std::string& text) {
    const auto digest = plat::md5(text.data(), text.size());
    if (!digest) return {};
    char length[24];
    std::snprintf(length, sizeof length, "%03zu", text.size());
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out = length;
    for (unsigned char byte : *digest) {
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 0x0F]);
    }
    return out;
}

std::string toHex(const std::vector<unsigned char>& data) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(data.size() * 2 + data.size() / 4 + 1);
    for (size_t i = 0; i < data.size(); ++i) {
        if (i % 4 == 0) out.push_back(' ');
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 0x0F]);
    }
    return out;
}

int toInt(const std::vector<unsigned char>& data) {
    uint32_t value = 0;
    for (size_t i = 0; i < data.size() && i < 4; ++i) value |= static_cast<uint32_t>(data[i]) << (8 * i);
    return static_cast<int>(value);
}
