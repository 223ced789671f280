#pragma once

#include <cstdint>
#include <vector>

#include "ec_params.h"

// The DER forms in which a public key read from the card is handed to the data layer
// (GC_PubKeyObject::setPublicKeyFromRAW): the card generations answer with bare numbers or points,
// and these wrap them.
namespace gc_pubkey {

// PKCS#1 RSAPublicKey: SEQUENCE { INTEGER modulus, INTEGER exponent }. Each number's bytes are
// kept as given (leading zero bytes too), behind a 00 when the first byte has its top bit set.
// Empty for a number without bytes.
std::vector<uint8_t> rsaPublicKey(const std::vector<uint8_t>& modulus, const std::vector<uint8_t>& exponent);

// X.509 SubjectPublicKeyInfo of a point on a named curve:
// SEQUENCE { SEQUENCE { id-ecPublicKey, the curve's OID }, BIT STRING { 00, point } }. A curve
// without an OID in GC_EC_Params::ec_OID adds no OID bytes (OpenSSL then refuses the key).
std::vector<uint8_t> ecSubjectPublicKeyInfo(const std::vector<uint8_t>& point, GC_EC_Params::ec_nid curve);

}  // namespace gc_pubkey
