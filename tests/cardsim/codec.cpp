// APDU and BER-TLV coding of the simulated card, and small helpers.
#include <openssl/crypto.h>

#include <cctype>
#include <cstring>

#include "card_internal.h"

namespace cardsim {

bool parseApdu(const Bytes& raw, Apdu& out) {
    out = Apdu{};
    if (raw.size() < 4) return false;
    out.cla = raw[0];
    out.ins = raw[1];
    out.p1 = raw[2];
    out.p2 = raw[3];
    const size_t body = raw.size() - 4;
    if (body == 0) return true;  // case 1
    const uint8_t* b = raw.data() + 4;
    if (body == 1) {  // case 2 short
        out.hasLe = true;
        out.ne = b[0] == 0 ? 256 : b[0];
        return true;
    }
    if (b[0] != 0) {  // short Lc
        const size_t lc = b[0];
        if (body == 1 + lc) {
            out.data.assign(b + 1, b + 1 + lc);
            return true;
        }
        if (body == 2 + lc) {
            out.data.assign(b + 1, b + 1 + lc);
            out.hasLe = true;
            out.ne = b[1 + lc] == 0 ? 256 : b[1 + lc];
            return true;
        }
        return false;
    }
    // extended forms start with 00
    out.extended = true;
    if (body == 3) {  // case 2 extended
        out.hasLe = true;
        const size_t le = (size_t{b[1]} << 8) | b[2];
        out.ne = le == 0 ? 65536 : le;
        return true;
    }
    if (body < 3) return false;
    const size_t lc = (size_t{b[1]} << 8) | b[2];
    if (lc == 0) return false;
    if (body == 3 + lc) {
        out.data.assign(b + 3, b + 3 + lc);
        return true;
    }
    if (body == 5 + lc) {
        out.data.assign(b + 3, b + 3 + lc);
        out.hasLe = true;
        const size_t le = (size_t{b[3 + lc]} << 8) | b[4 + lc];
        out.ne = le == 0 ? 65536 : le;
        return true;
    }
    return false;
}

Bytes encodeApdu(const Apdu& a) {
    Bytes out{a.cla, a.ins, a.p1, a.p2};
    const bool ext = a.extended || a.data.size() > 255 || a.ne > 256;
    if (!a.data.empty()) {
        if (ext) {
            out.push_back(0);
            out.push_back(static_cast<uint8_t>(a.data.size() >> 8));
            out.push_back(static_cast<uint8_t>(a.data.size()));
        } else {
            out.push_back(static_cast<uint8_t>(a.data.size()));
        }
        out.insert(out.end(), a.data.begin(), a.data.end());
    }
    if (a.hasLe) {
        if (ext) {
            if (a.data.empty()) out.push_back(0);
            out.push_back(static_cast<uint8_t>((a.ne >> 8) & 0xFF));
            out.push_back(static_cast<uint8_t>(a.ne & 0xFF));
        } else {
            out.push_back(static_cast<uint8_t>(a.ne & 0xFF));
        }
    }
    return out;
}

bool parseTlvs(const uint8_t* in, size_t length, std::vector<Tlv>& out) {
    out.clear();
    size_t pos = 0;
    while (pos < length) {
        const size_t start = pos;
        Tlv t;
        t.tag = in[pos++];
        if ((t.tag & 0x1F) == 0x1F) {  // two-byte tag
            if (pos >= length) return false;
            t.tag = (t.tag << 8) | in[pos++];
        }
        if (pos >= length) return false;
        size_t len = in[pos++];
        if (len & 0x80) {
            const size_t n = len & 0x7F;
            if (n == 0 || n > 3 || length - pos < n) return false;
            len = 0;
            for (size_t i = 0; i < n; ++i) len = (len << 8) | in[pos++];
        }
        if (length - pos < len) return false;
        t.value.assign(in + pos, in + pos + len);
        pos += len;
        t.raw.assign(in + start, in + pos);
        out.push_back(std::move(t));
    }
    return true;
}

void appendLength(Bytes& out, size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
    } else if (length <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(length));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.push_back(static_cast<uint8_t>(length));
    }
}

Bytes tlv(unsigned tag, const Bytes& value) {
    Bytes out;
    if (tag > 0xFFFF) out.push_back(static_cast<uint8_t>(tag >> 16));
    if (tag > 0xFF) out.push_back(static_cast<uint8_t>(tag >> 8));
    out.push_back(static_cast<uint8_t>(tag));
    appendLength(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Secret& Secret::operator=(const Secret& other) {
    if (this != &other) {
        OPENSSL_cleanse(value_.data(), value_.size());
        value_ = other.value_;
    }
    return *this;
}

Secret::~Secret() {
    OPENSSL_cleanse(value_.data(), value_.size());
}

bool Secret::equals(const uint8_t* data, size_t length) const {
    return length == value_.size() && CRYPTO_memcmp(data, value_.data(), length) == 0;
}

void Secret::assign(const uint8_t* data, size_t length) {
    OPENSSL_cleanse(value_.data(), value_.size());
    value_.assign(reinterpret_cast<const char*>(data), length);
}

std::string toHex(const Bytes& bytes, bool spaced) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (spaced && i) out.push_back(' ');
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0xF]);
    }
    return out;
}

std::optional<Bytes> fromHex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '\n' || c == '\t') continue;
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return out;
}

}  // namespace cardsim
