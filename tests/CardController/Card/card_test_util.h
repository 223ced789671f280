#pragma once

// Test-side references for the command-set tests, written without the library's own codecs:
// a minimal BER-TLV reader and OpenSSL's curve parameters.

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "support/hex.h"

namespace cardtest {

using Bytes = std::vector<unsigned char>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
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
