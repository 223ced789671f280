#pragma once

#include <cstdint>
#include <vector>

#include "Data/Objects/object.h"
#include "ec_params.h"

// A private key of a card application (object type 1). Only its attributes live here: the key
// itself stays on the card.
class GC_PrivKeyObject : public GC_Object {
public:
    // Key usage mask.
    static constexpr uint64_t USAGE_ENCRYPT = 1;  // encryption and decryption
    static constexpr uint64_t USAGE_SIGN = 2;     // signature and verification
    static constexpr uint64_t USAGE_DERIVE = 4;
    static constexpr uint64_t USAGE_WRAP = 8;
    static constexpr uint64_t USAGE_NON_REPUDIATION = 16;

    // Key access mask.
    static constexpr uint64_t ACCESS_SENSITIVE = 1;
    static constexpr uint64_t ACCESS_EXTRACTABLE = 2;
    static constexpr uint64_t ACCESS_ALWAYS_SENSITIVE = 4;
    static constexpr uint64_t ACCESS_NEVER_EXTRACTABLE = 8;
    static constexpr uint64_t ACCESS_LOCAL = 16;

    GC_PrivKeyObject();
    // Copies every field of source (the common fields only for null).
    explicit GC_PrivKeyObject(GC_PrivKeyObject* source);
    ~GC_PrivKeyObject() override;

    // The stored key size in bits; no key material is consulted.
    int getKeySize();

    uint64_t usage = 0;
    uint64_t access = 0;
    // The key's reference on the card.
    uint8_t keyReference = 0;
    // Reference of the PIN that protects the key; 0 when there is none.
    uint8_t pinReference = 0;
    // Low byte of the entry's userConsent.
    uint64_t userConsent = 0;
    // Identifier shared with the certificate and public key of the same pair.
    std::vector<unsigned char> ID;
    GC_Object::key_type keyType = static_cast<GC_Object::key_type>(0);
    // Named curve of an EC key.
    GC_EC_Params::ec_nid curve = static_cast<GC_EC_Params::ec_nid>(0);
    uint64_t keyBits = 0;
};
