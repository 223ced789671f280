#pragma once

#include <cstdint>
#include <map>
#include <vector>

// Fixed knowledge of the nine elliptic curves the card can hold keys on: domain parameters
// and the DER encoding of each curve's object identifier.
//
// Both tables are filled during static initialisation and never change afterwards. They are
// const: look entries up with find() or at(); an identifier outside the nine has no entry
// (find() returns end()), so every caller checks its identifier first.
// No code that runs during static initialisation of another unit may read them.
class GC_EC_Params {
public:
    // The curve numbers OpenSSL gives these curves (its NIDs), so an OpenSSL key's curve
    // number can be compared with them directly.
    enum ec_nid : int32_t {
        secp224r1 = 713,
        prime256v1 = 415,
        secp384r1 = 715,
        secp521r1 = 716,
        brainpoolP224r1 = 925,
        brainpoolP256r1 = 927,
        brainpoolP320r1 = 929,
        brainpoolP384r1 = 931,
        brainpoolP512r1 = 933,
    };

    // One curve's domain parameters, big-endian. p, a, b and n are exactly as long as the
    // field size in bytes (left-padded with zero bytes), G is the uncompressed base point
    // 04 || x || y, h the single cofactor byte.
    struct ec_param {
        std::vector<unsigned char> p;
        std::vector<unsigned char> a;
        std::vector<unsigned char> b;
        std::vector<unsigned char> G;
        std::vector<unsigned char> n;
        std::vector<unsigned char> h;
        int64_t bitLength = 0;
    };

    // DER of each curve's OBJECT IDENTIFIER, tag 06 and length byte included.
    static const std::map<ec_nid, std::vector<unsigned char>> ec_OID;
    // Published domain parameters (SEC 2 for the NIST curves, RFC 5639 for Brainpool).
    static const std::map<ec_nid, ec_param> EC_Params;
};
