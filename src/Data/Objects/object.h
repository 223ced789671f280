#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The directory record of the PKCS#15 layer that lists an object (one object directory file of
// an application). GC_DataPKCS15 defines it and names it object_info; its first member is the
// path of the directory file.
struct GC_PKCS15ObjectInfo;

// Common base of the card objects: private keys, public keys, certificates and data objects, as
// listed by the object directories of a card application.
//
// Objects travel as GC_Object*; callers tell them apart by the type code and then treat the
// pointer as the class of that code. The only virtual operations are the destructors.
// Objects are not copyable by value: the pointer-taking constructors make copies.
class GC_Object {
public:
    // Object type codes, one bit each so that several kinds fit in one mask.
    static constexpr uint32_t TYPE_PRIVATE_KEY = 1;
    static constexpr uint32_t TYPE_PUBLIC_KEY = 2;
    static constexpr uint32_t TYPE_CERTIFICATE = 4;
    static constexpr uint32_t TYPE_DATA = 8;

    // Key algorithm of a private or public key (not the card command sets' key type).
    enum key_type : uint32_t {
        KEY_EC = 1,
        KEY_RSA = 2,
    };

    // State bits.
    static constexpr uint64_t STATE_FROM_CARD = 1;         // read from a directory of the card
    static constexpr uint64_t STATE_PIN_REFERENCE = 2;     // private key whose PIN has a reference other than 0
    static constexpr uint64_t STATE_DATA_0103 = 4 | 8;     // data object whose content path is 01 03
    static constexpr uint64_t STATE_KEYREF_HIGH_BIT = 16;  // key reference sent with bit 0x80 set (first generation)

    // Common object flags.
    static constexpr uint64_t FLAG_PRIVATE = 1;
    static constexpr uint64_t FLAG_MODIFIABLE = 2;
    static constexpr uint64_t FLAG_NATIVE = 4;  // keys only

    // Copies the common fields of source (nothing when source is null); the copy points at the
    // same directory record.
    explicit GC_Object(GC_Object* source);
    // Wipes the label and the path.
    virtual ~GC_Object();

    GC_Object(const GC_Object&) = delete;
    GC_Object& operator=(const GC_Object&) = delete;

    // The directory record whose object list holds this object (not owned); null for an object
    // made elsewhere.
    GC_PKCS15ObjectInfo* objectInfo = nullptr;
    uint32_t type = 0;
    // authId of the PIN that protects the object; 0 = none.
    uint8_t authId = 0;
    std::string label;
    // Path of the card file that holds the content.
    std::vector<unsigned char> path;
    // Offset and length of the content in that file.
    uint64_t index = 0;
    uint64_t length = 0;
    uint64_t state = 0;
    uint64_t flags = 0;
    // Carried along with the object (copied, written back unchanged); nothing here reads it.
    uint8_t flagByte = 0;

protected:
    explicit GC_Object(uint32_t objectType) : type(objectType) {}
};
