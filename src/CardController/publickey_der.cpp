#include "CardController/publickey_der.h"

#include "asn1.h"

namespace gc_pubkey {
namespace {

// id-ecPublicKey, 1.2.840.10045.2.1, with its tag and length.
const std::vector<uint8_t> kEcPublicKeyOid{0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};

// An INTEGER of an unsigned big-endian number: a 00 in front keeps it positive.
GC_ASN1::item unsignedInteger(const std::vector<uint8_t>& number) {
    std::vector<uint8_t> value;
    value.reserve(number.size() + 1);
    if ((number.front() & 0x80) != 0) value.push_back(0x00);
    value.insert(value.end(), number.begin(), number.end());
    GC_ASN1::item it;
    GC_ASN1::createTag(it, {0x02}, std::move(value), true);
    return it;
}

// SEQUENCE of the items, in order.
std::vector<uint8_t> sequence(std::vector<GC_ASN1::item> children) {
    GC_ASN1::item root;
    if (GC_ASN1::createTag(root, {0x30}, {}, false) != 0 || GC_ASN1::addChild(root, children) != 0) return {};
    return GC_ASN1::serialize(root);
}

}  // namespace

std::vector<uint8_t> rsaPublicKey(const std::vector<uint8_t>& modulus, const std::vector<uint8_t>& exponent) {
    if (modulus.empty() || exponent.empty()) return {};
    return sequence({unsignedInteger(modulus), unsignedInteger(exponent)});
}

std::vector<uint8_t> ecSubjectPublicKeyInfo(const std::vector<uint8_t>& point, GC_EC_Params::ec_nid curve) {
    std::vector<uint8_t> algorithm = kEcPublicKeyOid;
    if (const auto oid = GC_EC_Params::ec_OID.find(curve); oid != GC_EC_Params::ec_OID.end())
        algorithm.insert(algorithm.end(), oid->second.begin(), oid->second.end());
    GC_ASN1::item algorithmItem;
    GC_ASN1::createTag(algorithmItem, {0x30}, std::move(algorithm), true);

    std::vector<uint8_t> bits;
    bits.reserve(point.size() + 1);
    bits.push_back(0x00);  // no unused bits
    bits.insert(bits.end(), point.begin(), point.end());
    GC_ASN1::item bitString;
    GC_ASN1::createTag(bitString, {0x03}, std::move(bits), true);
    return sequence({algorithmItem, bitString});
}

}  // namespace gc_pubkey
