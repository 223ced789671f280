// Key objects of the two card generations, in each generation's own command form:
// - Varnel 1.0 (ChipDoc 2.0) keeps a key as a private and a public half (kind bytes 90/92 and
//   A0/A2, RSA/EC) under the low four bits of its reference: create each half (E1 with its
//   template), generate the pair into both (47), read the public half (GET DATA 3F FF), delete
//   a half (class 80, E5).
// - Varnel 2.0 (ChipDoc 3.0) keeps one key-pair object: create it (class 80, E0), give an EC key
//   its curve (class 80, 24), generate (46, the answer is the public key) and delete (E4).
// Every object lives in the current DF. Creation asks for no PIN; signing with the key keeps
// the PIN rule of PERFORM SECURITY OPERATION.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>

#include <algorithm>

#include "card_internal.h"

namespace cardsim {
namespace {

constexpr uint16_t kOk = 0x9000;

// First-generation kind bytes: private RSA 90, private EC 92, public RSA A0, public EC A2.
constexpr uint8_t kPrivateRsa = 0x90;
constexpr uint8_t kPrivateEc = 0x92;
constexpr uint8_t kPublicRsa = 0xA0;
constexpr uint8_t kPublicEc = 0xA2;

bool isKindByte(uint8_t kind) {
    return kind == kPrivateRsa || kind == kPrivateEc || kind == kPublicRsa || kind == kPublicEc;
}
KeyKind kindOf(uint8_t kindByte) {
    return (kindByte & 0x0F) == 0x02 ? KeyKind::Ec : KeyKind::Rsa;
}
bool isPrivateKind(uint8_t kindByte) {
    return (kindByte & 0xF0) == 0x90;
}

// RSA sizes the cards create.
bool rsaSizeSupported(size_t bits) {
    return bits >= 1024 && bits <= 4096 && bits % 8 == 0;
}

// The curves both generations know, with their parameters as big-endian byte strings.
struct Curve {
    int nid = 0;
    size_t bits = 0;
    Bytes p, a, b, g, n;
};

const int kCurveNids[] = {NID_secp224r1,       NID_X9_62_prime256v1, NID_secp384r1,
                          NID_secp521r1,       NID_brainpoolP224r1,  NID_brainpoolP256r1,
                          NID_brainpoolP320r1, NID_brainpoolP384r1,  NID_brainpoolP512r1};

struct GroupFree {
    void operator()(EC_GROUP* g) const { EC_GROUP_free(g); }
};
struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

Bytes bnBytes(const BIGNUM* bn, size_t length) {
    Bytes out(length);
    if (BN_bn2binpad(bn, out.data(), static_cast<int>(length)) != static_cast<int>(length)) return {};
    return out;
}

std::optional<Curve> curveOf(int nid) {
    std::unique_ptr<EC_GROUP, GroupFree> group(EC_GROUP_new_by_curve_name(nid));
    BnPtr p(BN_new()), a(BN_new()), b(BN_new());
    if (!group || !p || !a || !b || !EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), nullptr))
        return std::nullopt;
    Curve c;
    c.nid = nid;
    c.bits = static_cast<size_t>(EC_GROUP_get_degree(group.get()));
    const size_t length = (c.bits + 7) / 8;
    c.p = bnBytes(p.get(), length);
    c.a = bnBytes(a.get(), length);
    c.b = bnBytes(b.get(), length);
    const BIGNUM* order = EC_GROUP_get0_order(group.get());
    c.n = bnBytes(order, static_cast<size_t>(BN_num_bytes(order)));
    const EC_POINT* generator = EC_GROUP_get0_generator(group.get());
    c.g.resize(2 * length + 1);
    if (EC_POINT_point2oct(group.get(), generator, POINT_CONVERSION_UNCOMPRESSED, c.g.data(), c.g.size(), nullptr) !=
        c.g.size())
        return std::nullopt;
    return c;
}

// Equal as unsigned numbers (leading zero bytes do not count).
bool sameNumber(const Bytes& x, const Bytes& y) {
    auto significant = [](const Bytes& v) {
        return std::find_if(v.begin(), v.end(), [](uint8_t byte) { return byte != 0; });
    };
    return std::equal(significant(x), x.end(), significant(y), y.end());
}

// The known curve with these parameters, or nullopt.
std::optional<Curve> findCurve(const Bytes& p, const Bytes& a, const Bytes& b, const Bytes& g, const Bytes& n) {
    for (int nid : kCurveNids) {
        std::optional<Curve> c = curveOf(nid);
        if (c && sameNumber(c->p, p) && sameNumber(c->a, a) && sameNumber(c->b, b) && c->g == g && sameNumber(c->n, n))
            return c;
    }
    return std::nullopt;
}

// An EC key whose private value is SHA-256(seed || reference), reduced into [1, n - 1]: the same
// key for every generation under that reference, so that whole cards can be compared.
std::shared_ptr<EVP_PKEY> derivedEcKey(const Key& key, const Bytes& seed) {
    std::unique_ptr<EC_GROUP, GroupFree> group(EC_GROUP_new_by_curve_name(key.curve));
    Bytes input = seed;
    input.push_back(key.reference);
    uint8_t digest[32];
    unsigned int length = 0;
    BnPtr d(BN_new()), orderLessOne(BN_new());
    std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)> point(group ? EC_POINT_new(group.get()) : nullptr,
                                                              EC_POINT_free);
    if (!group || !d || !orderLessOne || !point ||
        !EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha256(), nullptr) ||
        !BN_bin2bn(digest, static_cast<int>(length), d.get()) ||
        !BN_sub(orderLessOne.get(), EC_GROUP_get0_order(group.get()), BN_value_one()))
        return nullptr;
    BnPtr reduced(BN_new());
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
    if (!reduced || !ctx || !BN_mod(reduced.get(), d.get(), orderLessOne.get(), ctx.get()) ||
        !BN_add_word(reduced.get(), 1) ||
        !EC_POINT_mul(group.get(), point.get(), reduced.get(), nullptr, nullptr, ctx.get()))
        return nullptr;
    Bytes publicPoint(EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr));
    if (publicPoint.empty() ||
        EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, publicPoint.data(),
                           publicPoint.size(), ctx.get()) != publicPoint.size())
        return nullptr;
    std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> build(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
    if (!build || !OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, OBJ_nid2sn(key.curve), 0) ||
        !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, reduced.get()) ||
        !OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, publicPoint.data(), publicPoint.size()))
        return nullptr;
    std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(OSSL_PARAM_BLD_to_param(build.get()),
                                                                   OSSL_PARAM_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> pctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr),
                                                                     EVP_PKEY_CTX_free);
    EVP_PKEY* pkey = nullptr;
    if (!params || !pctx || EVP_PKEY_fromdata_init(pctx.get()) <= 0 ||
        EVP_PKEY_fromdata(pctx.get(), &pkey, EVP_PKEY_KEYPAIR, params.get()) <= 0)
        return nullptr;
    return std::shared_ptr<EVP_PKEY>(pkey, EVP_PKEY_free);
}

std::shared_ptr<EVP_PKEY> generate(const Key& key, const Bytes& seed) {
    if (key.kind == KeyKind::Ec && !seed.empty()) return derivedEcKey(key, seed);
    EVP_PKEY* pkey = key.kind == KeyKind::Rsa ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", key.bits)
                                              : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", OBJ_nid2sn(key.curve));
    return std::shared_ptr<EVP_PKEY>(pkey, EVP_PKEY_free);
}

Bytes bnParam(const EVP_PKEY* pkey, const char* name) {
    BIGNUM* raw = nullptr;
    if (!EVP_PKEY_get_bn_param(pkey, name, &raw)) return {};
    BnPtr bn(raw);
    return bnBytes(bn.get(), static_cast<size_t>(BN_num_bytes(bn.get())));
}

// RSA: the modulus (as long as the key); EC: the uncompressed point 04 || X || Y.
Bytes publicValue(const EVP_PKEY* pkey, Bytes* exponent = nullptr) {
    if (EVP_PKEY_get_base_id(pkey) == EVP_PKEY_RSA) {
        if (exponent) *exponent = bnParam(pkey, OSSL_PKEY_PARAM_RSA_E);
        return bnParam(pkey, OSSL_PKEY_PARAM_RSA_N);
    }
    size_t length = 0;
    if (!EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &length)) return {};
    Bytes point(length);
    if (!EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &length)) return {};
    point.resize(length);
    return point;
}

// Parses a TLV sequence that must hold exactly the tags of `order` (those in `optional` may be
// missing), in that order; the values by tag.
bool parseExactly(const Bytes& data, std::initializer_list<unsigned> order, std::initializer_list<unsigned> optional,
                  std::map<unsigned, Bytes>& out) {
    std::vector<Tlv> items;
    if (!parseTlvs(data.data(), data.size(), items)) return false;
    size_t next = 0;
    for (unsigned tag : order) {
        if (next < items.size() && items[next].tag == tag) {
            out[tag] = items[next++].value;
        } else if (std::find(optional.begin(), optional.end(), tag) == optional.end()) {
            return false;
        }
    }
    return next == items.size();
}

// ChipDoc 3.0 curve data: 0C, then p, a, b, G, n each with a two-byte length, then 00 01.
bool parseCurveData(const Bytes& d, std::vector<Bytes>& parts) {
    if (d.size() < 3 || d[0] != 0x0C || d[d.size() - 2] != 0x00 || d.back() != 0x01) return false;
    size_t pos = 1;
    const size_t end = d.size() - 2;
    for (int i = 0; i < 5; ++i) {
        if (end - pos < 2) return false;
        const size_t length = size_t{d[pos]} << 8 | d[pos + 1];
        pos += 2;
        if (end - pos < length) return false;
        parts.emplace_back(d.begin() + static_cast<long>(pos), d.begin() + static_cast<long>(pos + length));
        pos += length;
    }
    return pos == end;
}

}  // namespace

// ---------------------------------------------------------------- routing

std::optional<Response> CardSim::Impl::keyCommand(const Apdu& a, bool secure) {
    const bool first = config.personality == Personality::Varnel1;
    const bool second = config.personality == Personality::Varnel2;
    if (a.cla & 0x80) {
        if (second && a.ins == 0xE0) return createKeyPair(a, secure);
        if (second && a.ins == 0x24) return loadCurve(a, secure);
        if (first && a.ins == 0xE5) return deleteKeyHalf(a, secure);
        return Response::status(0x6E00);  // class 80 with an instruction the card does not know
    }
    if (first && a.ins == 0xE1) return createKeyHalf(a, secure);
    if (first && a.ins == 0x47) return generateKeyHalves(a, secure);
    if (first && a.ins == 0xCB && a.p1 == 0x3F && a.p2 == 0xFF) return readPublicKey(a, secure);
    if (second && a.ins == 0x46) return generateKeyPair(a, secure);
    if (second && a.ins == 0xE4) return deleteKeyPair(a, secure);
    return std::nullopt;
}

Key* CardSim::Impl::keyInCurrentDf(uint8_t reference, std::optional<bool> isPrivate, std::optional<KeyKind> kind) {
    if (!currentDf) return nullptr;
    for (Key& k : currentDf->keys)
        if (k.reference == (reference & 0x7F) && (!isPrivate || k.isPrivate == *isPrivate) &&
            (!kind || k.kind == *kind))
            return &k;
    return nullptr;
}

void CardSim::Impl::removeKey(Key* key) {
    if (se.key == key) se = SecurityEnvironment{};
    currentDf->keys.remove_if([key](const Key& k) { return &k == key; });
}

// ---------------------------------------------------------------- Varnel 2.0

// 80 E0 01 00 08 | ref+C0, 06 RSA / 0C EC, key bits (2), PIN reference ^ 80 (twice), B2 01
Response CardSim::Impl::createKeyPair(const Apdu& a, bool secure) {
    if (a.p1 != 0x01 || a.p2 != 0x00) return Response::status(0x6A86);
    if (requireSm && !secure) return Response::status(0x6982);
    const Bytes& d = a.data;
    if (d.size() != 8 || (d[1] != 0x06 && d[1] != 0x0C) || d[4] != d[5] || d[6] != 0xB2 || d[7] != 0x01)
        return Response::status(0x6A80);
    const uint8_t reference = static_cast<uint8_t>(d[0] - 0xC0);
    const size_t bits = size_t{d[2]} << 8 | d[3];
    Key key;
    key.reference = reference & 0x7F;
    key.kind = d[1] == 0x06 ? KeyKind::Rsa : KeyKind::Ec;
    key.bits = bits;
    key.pinReference = (d[4] ^ 0x80) & 0x7F;
    if (key.kind == KeyKind::Rsa && !rsaSizeSupported(bits)) return Response::status(0x6A80);
    if (keyInCurrentDf(reference, std::nullopt, std::nullopt)) return Response::status(0x6A89);
    currentDf->keys.push_back(std::move(key));
    return Response::status(kOk);
}

// 80 24 00 (ref ^ 80) Lc curve data: the key object of an EC pair learns its curve.
Response CardSim::Impl::loadCurve(const Apdu& a, bool secure) {
    if (a.p1 != 0x00) return Response::status(0x6A86);
    if (requireSm && !secure) return Response::status(0x6982);
    Key* key = keyInCurrentDf(static_cast<uint8_t>(a.p2 ^ 0x80), std::nullopt, std::nullopt);
    if (!key) return Response::status(0x6A88);
    if (key->kind != KeyKind::Ec) return Response::status(0x6985);
    std::vector<Bytes> parts;
    if (!parseCurveData(a.data, parts)) return Response::status(0x6A80);
    const std::optional<Curve> curve = findCurve(parts[0], parts[1], parts[2], parts[3], parts[4]);
    if (!curve || curve->bits != key->bits) return Response::status(0x6A80);
    key->curve = curve->nid;
    return Response::status(kOk);
}

// 00 46 00 ref Le: generates the pair and answers its public key (the bare modulus, or 04 || X || Y).
Response CardSim::Impl::generateKeyPair(const Apdu& a, bool secure) {
    if (a.p1 != 0x00) return Response::status(0x6A86);
    if (requireSm && !secure) return Response::status(0x6982);
    if (!a.hasLe || !a.data.empty()) return Response::status(0x6700);
    Key* key = keyInCurrentDf(a.p2, std::nullopt, std::nullopt);
    if (!key) return Response::status(0x6A88);
    if (key->kind == KeyKind::Ec && !key->curve) return Response::status(0x6985);
    std::shared_ptr<EVP_PKEY> pkey = generate(*key, config.keySeed);
    if (!pkey) return Response::status(0x6F00);
    Response r{publicValue(pkey.get()), kOk};
    if (r.data.empty()) return Response::status(0x6F00);
    key->pkey = std::move(pkey);
    return r;
}

// 00 E4 0A 00 02 00 ref
Response CardSim::Impl::deleteKeyPair(const Apdu& a, bool secure) {
    if (a.p1 != 0x0A || a.p2 != 0x00) return Response::status(0x6A86);
    if (requireSm && !secure) return Response::status(0x6982);
    if (a.data.size() != 2 || a.data[0] != 0x00) return Response::status(0x6A80);
    Key* key = keyInCurrentDf(a.data[1], std::nullopt, std::nullopt);
    if (!key) return Response::status(0x6A88);
    removeKey(key);
    return Response::status(kOk);
}

// ---------------------------------------------------------------- Varnel 1.0

// 00 E1 kind ref Lc 70 { A0 { A1 { 8C 05 D9 ssss, 9C 05 D9 ssss }, 80 size [, 9E 01 00] } [, 7F49 curve] },
// s = PIN reference + D0; 9E only on a private half, the curve only on EC halves.
Response CardSim::Impl::createKeyHalf(const Apdu& a, bool secure) {
    if (!isKindByte(a.p1) || a.p2 > 0x0F) return Response::status(0x6A86);
    if (requireSm && !secure) return Response::status(0x6982);
    const bool isPrivate = isPrivateKind(a.p1);
    const KeyKind kind = kindOf(a.p1);
    std::map<unsigned, Bytes> top, object, attributes, domain;
    if (!parseExactly(a.data, {0x70}, {}, top) || !parseExactly(top[0x70], {0xA0, 0x7F49}, {0x7F49}, object) ||
        !parseExactly(object[0xA0], {0xA1, 0x80, 0x9E}, {0x9E}, attributes) ||
        !parseExactly(attributes[0xA1], {0x8C, 0x9C}, {}, domain))
        return Response::status(0x6A80);
    const Bytes& access = domain[0x8C];
    if (access.size() != 5 || access[0] != 0xD9 || domain[0x9C] != access ||
        !std::all_of(access.begin() + 1, access.end(), [&](uint8_t s) { return s == access[1]; }))
        return Response::status(0x6A80);
    const Bytes& size = attributes[0x80];
    if (size.size() != 2 || (attributes.count(0x9E) != 0) != isPrivate ||
        (isPrivate && attributes[0x9E] != Bytes{0x00}) || (object.count(0x7F49) != 0) != (kind == KeyKind::Ec))
        return Response::status(0x6A80);

    Key key;
    key.reference = a.p2;
    key.kind = kind;
    key.isPrivate = isPrivate;
    key.pinReference = static_cast<uint8_t>(access[1] - 0xD0) & 0x7F;
    const size_t bytes = size_t{size[0]} << 8 | size[1];
    if (kind == KeyKind::Rsa) {
        key.bits = bytes * 8;
        if (!rsaSizeSupported(key.bits)) return Response::status(0x6A80);
    } else {
        std::map<unsigned, Bytes> c;
        if (!parseExactly(object[0x7F49], {0x81, 0x82, 0x83, 0x84, 0x85, 0x87}, {}, c) || !sameNumber(c[0x87], {1}))
            return Response::status(0x6A80);
        const std::optional<Curve> curve = findCurve(c[0x81], c[0x82], c[0x83], c[0x84], c[0x85]);
        if (!curve || (curve->bits + 7) / 8 != bytes) return Response::status(0x6A80);
        key.bits = curve->bits;
        key.curve = curve->nid;
    }
    if (keyInCurrentDf(key.reference, isPrivate, kind)) return Response::status(0x6A89);
    currentDf->keys.push_back(std::move(key));
    return Response::status(kOk);
}

// 00 47 00 00 05 70 03 BF kind ref: both halves get the new pair.
Response CardSim::Impl::generateKeyHalves(const Apdu& a, bool secure) {
    if (a.p1 != 0x00 || a.p2 != 0x00) return Response::status(0x6A86);
    if (requireSm && !secure) return Response::status(0x6982);
    const Bytes& d = a.data;
    if (d.size() != 5 || d[0] != 0x70 || d[1] != 0x03 || d[2] != 0xBF || (d[3] != kPrivateRsa && d[3] != kPrivateEc) ||
        d[4] > 0x0F)
        return Response::status(0x6A80);
    const KeyKind kind = kindOf(d[3]);
    Key* privateHalf = keyInCurrentDf(d[4], true, kind);
    Key* publicHalf = keyInCurrentDf(d[4], false, kind);
    if (!privateHalf || !publicHalf) return Response::status(0x6A88);
    if (privateHalf->bits != publicHalf->bits || privateHalf->curve != publicHalf->curve)
        return Response::status(0x6A80);
    std::shared_ptr<EVP_PKEY> pkey = generate(*privateHalf, config.keySeed);
    if (!pkey) return Response::status(0x6F00);
    privateHalf->pkey = pkey;
    publicHalf->pkey = std::move(pkey);
    return Response::status(kOk);
}

// 00 CB 3F FF 0A 4D 09 70 07 BF kind ref 03 7F 49 00 (the last byte is Le): the public half as
// 70 { BF kind ref { 7F49 { 81 n, 82 e } } }, or { 7F49 { 86 point } }, with minimal lengths.
Response CardSim::Impl::readPublicKey(const Apdu& a, bool secure) {
    if (requireSm && !secure) return Response::status(0x6982);
    const Bytes& d = a.data;
    if (d.size() != 10 || d[0] != 0x4D || d[1] != 0x09 || d[2] != 0x70 || d[3] != 0x07 || d[4] != 0xBF ||
        (d[5] != kPublicRsa && d[5] != kPublicEc) || d[6] > 0x0F || d[7] != 0x03 || d[8] != 0x7F || d[9] != 0x49)
        return Response::status(0x6A80);
    const Key* key = keyInCurrentDf(d[6], false, kindOf(d[5]));
    if (!key) return Response::status(0x6A88);
    if (!key->pkey) return Response::status(0x6985);
    Bytes exponent;
    const Bytes value = publicValue(key->pkey.get(), &exponent);
    if (value.empty()) return Response::status(0x6F00);
    Bytes components;
    if (key->kind == KeyKind::Rsa) {
        components = tlv(0x81, value);
        const Bytes e = tlv(0x82, exponent);
        components.insert(components.end(), e.begin(), e.end());
    } else {
        components = tlv(0x86, value);
    }
    return Response{tlv(0x70, tlv(0xBF0000u | unsigned{d[5]} << 8 | d[6], tlv(0x7F49, components))), kOk};
}

// 80 E5 kind ref
Response CardSim::Impl::deleteKeyHalf(const Apdu& a, bool secure) {
    if (!isKindByte(a.p1) || a.p2 > 0x0F) return Response::status(0x6A86);
    if (requireSm && !secure) return Response::status(0x6982);
    if (!a.data.empty()) return Response::status(0x6700);
    Key* key = keyInCurrentDf(a.p2, isPrivateKind(a.p1), kindOf(a.p1));
    if (!key) return Response::status(0x6A88);
    removeKey(key);
    return Response::status(kOk);
}

}  // namespace cardsim
