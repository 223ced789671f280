#pragma once

#include "openssl_ptr.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "Data/Objects/object.h"
#include "ec_params.h"
#include "security_lib.h"

// A public key of a card application (object type 2), held as an OpenSSL key.
// Results are signed integers, 0 = success, unless said otherwise.
class GC_PubKeyObject : public GC_Object {
public:
    GC_PubKeyObject();
    // Copy through the SubjectPublicKeyInfo; a source whose key cannot be exported or imported
    // gives a copy with no key, an empty ID and zero masks.
    explicit GC_PubKeyObject(GC_PubKeyObject* source);
    ~GC_PubKeyObject() override;

    // Imports the key according to keyType: RSA from a SubjectPublicKeyInfo or a bare PKCS#1
    // RSAPublicKey, EC from a SubjectPublicKeyInfo (then the curve is recorded). 0; 1 empty
    // argument (key held untouched) or unusable RSA bytes; -2 unusable EC bytes; -4 key type
    // neither EC nor RSA. A failed import leaves no key. The argument is wiped.
    int setPublicKeyFromRAW(std::vector<unsigned char> der);
    // Takes the certificate's public key (and records the curve of an EC key). 0; 1 for a null
    // certificate (key held untouched) or a certificate without usable key (no key left).
    int setPublicKeyFromX509(X509* cert);
    // The key as DER SubjectPublicKeyInfo. 0; -1108 no key; 1 RSA type without RSA key;
    // -4 other key type; -2 not encodable. out is unchanged on failure.
    int getPublicKeyBytes(std::vector<unsigned char>& out);
    // EC only: DER of the named curve's OBJECT IDENTIFIER (one of the nine curves); records the
    // curve. 0; -1108 no key; -1 RSA key, curve outside the table, or no usable EC key.
    int getOID(std::vector<unsigned char>& out);
    // Key size in bits (RSA: modulus bytes times 8; EC: the order's bit length), also recorded
    // in keyBits; 0 (unknown) without key, for another key type, or for a key of another kind
    // than keyType says.
    uint64_t getKeySize();
    // RSA only: modulus and public exponent as unsigned big-endian bytes of minimal length.
    int getModulus(std::vector<unsigned char>& out);
    int getExponent(std::vector<unsigned char>& out);
    // EC only: OCTET STRING of the uncompressed point 04 || X || Y.
    int getECPoint(std::vector<unsigned char>& out);
    // Checks a signature in software. RSA: the public key applied to signature with PKCS#1 v1.5
    // (padding 2) or no padding (1) must give data. EC (padding unused): DER or raw r || s (two
    // halves of the key's byte length), checked over data as the digest, then over the hash of
    // data chosen by its length (20, 28, 32, 48, 64 bytes). 0 valid; 1 invalid; -1108 no key;
    // -4 key type; -7 key of the wrong kind; -8 RSA padding or operation; -12 raw length;
    // -1 data length for the retry; -9 other error.
    int verifySignature(std::vector<unsigned char> data, std::vector<unsigned char> signature,
                        GC_Security::padding_type padding);

    // Written as the keyReference of a new entry on the card; 0 for keys read from the card.
    uint8_t keyReference = 0;
    // Identifier shared with the certificate and private key of the same pair.
    std::vector<unsigned char> ID;
    uint64_t usage = 0;
    uint64_t access = 0;
    // The key; null until imported.
    gc_ossl::EvpPkeyPtr key;
    // Set before the key is imported; selects the import format.
    GC_Object::key_type keyType = static_cast<GC_Object::key_type>(0);
    // Named curve of an EC key, recorded by getOID.
    GC_EC_Params::ec_nid curve = static_cast<GC_EC_Params::ec_nid>(0);
    // Recorded by getKeySize.
    uint64_t keyBits = 0;

private:
    // Result codes of getModulus and getExponent, which differ only in these.
    struct RsaNumberCodes {
        int noRsaKey;              // the key type says RSA but the key is not one
        int noNumber;              // OpenSSL gives no such number
        const char* noNumberText;  // the log text of that failure
        int conversion;            // the number could not be written out
    };
    // One number of an RSA key (param: an OSSL_PKEY_PARAM_RSA_ name), logged under func.
    // 0 when a key is held and its type is RSA (rsa true) or not (rsa false); else logs and returns
    // -1108 (no key) or -1 (wrong type) under func's name.
    int checkKeyKind(const char* func, bool rsa);
    int getRsaNumber(const char* func, const char* param, const RsaNumberCodes& codes, std::vector<unsigned char>& out);
    int verifyRsa(const std::vector<unsigned char>& data, const std::vector<unsigned char>& signature,
                  GC_Security::padding_type padding);
    int verifyEc(const std::vector<unsigned char>& data, const std::vector<unsigned char>& signature);
};
