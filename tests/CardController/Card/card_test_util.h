#pragma once

// Test-side references for the command-set tests, written without the library's own codecs:
// hex literals, an ISO 7816-4 APDU-case decoder, a minimal BER-TLV reader and OpenSSL's curve
// parameters.

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cardtest {

using Bytes = std::vector<unsigned char>;

// "00 A4 04 0C" -> bytes; blanks are ignored.
inline Bytes hex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<unsigned char>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ---- ISO 7816-4 command APDU cases (ISO/IEC 7816-3 12.1.3) ----

struct Apdu {
    int apduCase = 0;  // 1 to 4
    bool extended = false;
    unsigned char cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;     // Nc bytes
    size_t ne = 0;  // 0: no Le field; else Ne (256 / 65536 for an Le of zero)
};

// Decodes a command APDU by its length alone; nullopt when no case fits.
inline std::optional<Apdu> decodeApdu(const Bytes& c) {
    if (c.size() < 4) return std::nullopt;
    Apdu a;
    a.cla = c[0];
    a.ins = c[1];
    a.p1 = c[2];
    a.p2 = c[3];
    const size_t n = c.size();
    if (n == 4) {
        a.apduCase = 1;
        return a;
    }
    if (n == 5) {
        a.apduCase = 2;
        a.ne = c[4] == 0 ? 256 : c[4];
        return a;
    }
    if (c[4] != 0) {  // short Lc
        const size_t nc = c[4];
        if (n == 5 + nc) {
            a.apduCase = 3;
        } else if (n == 6 + nc) {
            a.apduCase = 4;
            a.ne = c[n - 1] == 0 ? 256 : c[n - 1];
        } else {
            return std::nullopt;
        }
        a.data.assign(c.begin() + 5, c.begin() + 5 + static_cast<long>(nc));
        return a;
    }
    // Extended: B1 = 00.
    a.extended = true;
    if (n == 7) {
        const size_t le = static_cast<size_t>(c[5]) << 8 | c[6];
        a.apduCase = 2;
        a.ne = le == 0 ? 65536 : le;
        return a;
    }
    if (n < 8) return std::nullopt;
    const size_t nc = static_cast<size_t>(c[5]) << 8 | c[6];
    if (nc == 0) return std::nullopt;
    if (n == 7 + nc) {
        a.apduCase = 3;
    } else if (n == 9 + nc) {
        const size_t le = static_cast<size_t>(c[n - 2]) << 8 | c[n - 1];
        a.apduCase = 4;
        a.ne = le == 0 ? 65536 : le;
    } else {
        return std::nullopt;
    }
    a.data.assign(c.begin() + 7, c.begin() + 7 + static_cast<long>(nc));
    return a;
}

// ---- Minimal BER-TLV reader (definite lengths only) ----

struct Tlv {
    Bytes tag;
    Bytes value;
    std::vector<Tlv> children;  // filled for constructed tags
};

// Parses consecutive TLVs covering data exactly; false on any inconsistency.
inline bool parseTlvs(const Bytes& data, std::vector<Tlv>& out) {
    size_t i = 0;
    while (i < data.size()) {
        Tlv t;
        const unsigned char first = data[i];
        t.tag.push_back(data[i++]);
        if ((first & 0x1F) == 0x1F) {
            do {
                if (i >= data.size()) return false;
                t.tag.push_back(data[i]);
            } while (data[i++] & 0x80);
        }
        if (i >= data.size()) return false;
        size_t len = data[i++];
        if (len & 0x80) {
            const size_t k = len & 0x7F;
            if (k == 0 || k > 3 || i + k > data.size()) return false;
            len = 0;
            for (size_t j = 0; j < k; ++j) len = len << 8 | data[i++];
        }
        if (i + len > data.size()) return false;
        t.value.assign(data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(i + len));
        i += len;
        if ((first & 0x20) && !parseTlvs(t.value, t.children)) return false;
        out.push_back(std::move(t));
    }
    return true;
}

// ---- OpenSSL's parameters of a named curve, each padded to the field length ----

struct CurveRef {
    Bytes p, a, b, G, n;
    size_t fieldBytes = 0;
};

inline CurveRef opensslCurve(int nid) {
    CurveRef r;
    std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)> group(EC_GROUP_new_by_curve_name(nid), EC_GROUP_free);
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> p(BN_new(), BN_free), a(BN_new(), BN_free), b(BN_new(), BN_free);
    EXPECT_TRUE(group && ctx);
    if (!group || !ctx) return r;
    EXPECT_EQ(EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), ctx.get()), 1);
    r.fieldBytes = static_cast<size_t>(BN_num_bytes(p.get()));
    auto pad = [&](const BIGNUM* bn) {
        Bytes out(r.fieldBytes);
        BN_bn2binpad(bn, out.data(), static_cast<int>(out.size()));
        return out;
    };
    r.p = pad(p.get());
    r.a = pad(a.get());
    r.b = pad(b.get());
    r.n = pad(EC_GROUP_get0_order(group.get()));
    r.G.resize(2 * r.fieldBytes + 1);
    EC_POINT_point2oct(group.get(), EC_GROUP_get0_generator(group.get()), POINT_CONVERSION_UNCOMPRESSED, r.G.data(),
                       r.G.size(), ctx.get());
    return r;
}

// Card key type 1..9 -> OpenSSL NID, in the card's order.
inline int nidOfKeyType(int keyType) {
    static const int nids[] = {NID_secp224r1,       NID_X9_62_prime256v1, NID_secp384r1,
                               NID_secp521r1,       NID_brainpoolP224r1,  NID_brainpoolP256r1,
                               NID_brainpoolP320r1, NID_brainpoolP384r1,  NID_brainpoolP512r1};
    return nids[keyType - 1];
}

}  // namespace cardtest
