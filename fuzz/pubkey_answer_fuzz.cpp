// Public-key answers from a hostile card, as both card generations turn them into DER and the
// key-pair generation imports them. Input: one byte choosing the key (0 RSA, 1 to 9 the curves,
// anything else a curve the tables do not know, 0xFF none), then the card's answer.
//
// Beyond "no crash": whatever comes out is nothing or DER that both parsers read back to the same
// bytes, of the shape its kind has: a SEQUENCE of two positive INTEGERs (an RSAPublicKey), or a
// SEQUENCE of the algorithm (id-ecPublicKey, then the curve) and a BIT STRING without unused bits
// (a SubjectPublicKeyInfo). The second generation's conversions take the answer whole: its
// modulus with exponent 65537, its point unchanged, and an answer on a known curve always gives a
// key. Every result goes through the public-key object's import as the key-pair generation does.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "CardController/cardcontroller_varnel_1_0.h"
#include "CardController/cardcontroller_varnel_2_0.h"
#include "Data/Objects/pubkeyobject.h"
#include "asn1.h"
#include "fuzz_util.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Tree = std::vector<GC_ASN1::item>;

const GC_EC_Params::ec_nid kCurves[] = {
    GC_EC_Params::secp224r1,       GC_EC_Params::prime256v1,      GC_EC_Params::secp384r1,
    GC_EC_Params::secp521r1,       GC_EC_Params::brainpoolP224r1, GC_EC_Params::brainpoolP256r1,
    GC_EC_Params::brainpoolP320r1, GC_EC_Params::brainpoolP384r1, GC_EC_Params::brainpoolP512r1,
};
const Bytes kEcPublicKey{0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};

// The one SEQUENCE that `der` holds, read by both parsers alike and serialised back to `der`.
const GC_ASN1::item* sequenceOf(const Bytes& der, Tree& tree) {
    Tree fast;
    if (GC_ASN1::deserialize(tree, der, false) != 0 || GC_ASN1::deserialize(fast, der, true) != 0) return nullptr;
    if (tree.size() != 1 || fast.size() != 1 || tree[0].tag != Bytes{0x30}) return nullptr;
    if (GC_ASN1::serialize(tree) != der || GC_ASN1::serialize(fast) != der) return nullptr;
    return &tree[0];
}

// The value of a positive INTEGER.
const Bytes& positive(const GC_ASN1::item& integer) {
    CHECK(integer.tag == Bytes{0x02} && !integer.value.empty() && integer.value[0] < 0x80);
    return integer.value;
}

// The INTEGER value of an unsigned number: a 00 in front when its top bit is set.
Bytes integerOf(const Bytes& number) {
    Bytes value;
    if (number[0] >= 0x80) value.push_back(0x00);
    value.insert(value.end(), number.begin(), number.end());
    return value;
}

void import(GC_Object::key_type type, const Bytes& der) {
    GC_PubKeyObject key;
    key.keyType = type;
    const int result = key.setPublicKeyFromRAW(der);
    CHECK(result == 0 || result == 1 || result == -2);
    CHECK((result == 0) == (key.key != nullptr));
}

// An RSAPublicKey, or nothing; the INTEGER values it holds when there is one.
bool checkRsa(const Bytes& der, Bytes* modulus = nullptr, Bytes* exponent = nullptr) {
    if (der.empty()) return false;
    Tree tree;
    const GC_ASN1::item* sequence = sequenceOf(der, tree);
    CHECK(sequence != nullptr && sequence->children.size() == 2);
    const Bytes& n = positive(sequence->children[0]);
    const Bytes& e = positive(sequence->children[1]);
    if (modulus) *modulus = n;
    if (exponent) *exponent = e;
    import(GC_Object::KEY_RSA, der);
    return true;
}

// A SubjectPublicKeyInfo on the curve, or nothing; the point it carries when there is one.
bool checkEc(const Bytes& der, GC_EC_Params::ec_nid curve, Bytes* point = nullptr) {
    if (der.empty()) return false;
    Tree tree;
    const GC_ASN1::item* sequence = sequenceOf(der, tree);
    CHECK(sequence != nullptr && sequence->children.size() == 2);
    const GC_ASN1::item& algorithm = sequence->children[0];
    Bytes expected = kEcPublicKey;
    if (const auto oid = GC_EC_Params::ec_OID.find(curve); oid != GC_EC_Params::ec_OID.end())
        expected.insert(expected.end(), oid->second.begin(), oid->second.end());
    CHECK(algorithm.tag == Bytes{0x30} && algorithm.value == expected);
    const GC_ASN1::item& bits = sequence->children[1];
    CHECK(bits.tag == Bytes{0x03} && !bits.value.empty() && bits.value[0] == 0x00);
    if (point) point->assign(bits.value.begin() + 1, bits.value.end());
    import(GC_Object::KEY_EC, der);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const GcFuzzErrorQueueReset reset;
    if (size < 1) return 0;
    const unsigned choice = data[0];
    const Bytes answer(data + 1, data + size);
    if (choice == 0) {
        checkRsa(GC_CardControllerVarnel_1_0::convertPubKeyRSA(answer));
        Bytes modulus;
        Bytes exponent;
        const bool converted = checkRsa(GC_CardControllerVarnel_2_0::convertPubKey(answer), &modulus, &exponent);
        CHECK(converted == !answer.empty());
        if (converted) CHECK(modulus == integerOf(answer) && exponent == (Bytes{0x01, 0x00, 0x01}));
        return 0;
    }
    const auto curve = choice <= 9      ? kCurves[choice - 1]
                       : choice == 0xFF ? static_cast<GC_EC_Params::ec_nid>(0)
                                        : static_cast<GC_EC_Params::ec_nid>(choice);
    const bool first = checkEc(GC_CardControllerVarnel_1_0::convertPubKeyEC(answer, curve), curve);
    Bytes point;
    const bool second = checkEc(GC_CardControllerVarnel_2_0::convertPubKeyEC(answer, curve), curve, &point);
    CHECK(second == (curve != 0));
    if (curve == 0) CHECK(!first);
    if (second) CHECK(point == answer);
    return 0;
}
