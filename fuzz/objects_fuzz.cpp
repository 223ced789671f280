// Object contents from a hostile card, as the PKCS#15 layer hands them to the card objects:
// certificates (DER), public keys (SubjectPublicKeyInfo or a bare RSAPublicKey) and data objects.
// First input byte: what the rest is (0 certificate, whose key an EC and an RSA public key then
// take; 1 EC key, 2 RSA key, 3 key of no known type; 4 data object content).
//
// Beyond "no crash": whatever an object accepts it gives back in a form that it accepts again
// unchanged (and so do its copies); the names, serial, dates and points it derives are well
// formed; a key of another kind than its object's type has an unknown size (0); a data object
// keeps the bytes it was given, or a DER re-encoding that holds the same primitive values in the
// same order.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Data/Objects/certobject.h"
#include "Data/Objects/dataobject.h"
#include "Data/Objects/pubkeyobject.h"
#include "asn1.h"
#include "fuzz_util.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Tree = std::vector<GC_ASN1::item>;

bool digits(const std::string& text, size_t n) {
    if (text.size() != n) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// One SEQUENCE, as the codec reads it.
bool isSequence(const Bytes& der) {
    Tree items;
    return GC_ASN1::deserialize(items, der, true) == 0 && !items.empty() && items[0].tag == Bytes{0x30};
}

// A name as the certificate carries it. OpenSSL keeps a name's own encoding and is more lenient than
// DER (a SEQUENCE with its constructed bit clear, attribute values that are not TLV), so only the tag
// number of the outer item can be relied on.
bool isNameEncoding(const Bytes& der) {
    return !der.empty() && (der[0] & 0xDF) == 0x10;
}

void checkCertificate(const Bytes& der) {
    GC_CertObject cert;
    const int result = cert.setCert(der);
    CHECK(cert.derLength == der.size());
    CHECK((result == 0) == (cert.cert != nullptr));
    if (result != 0) {
        CHECK(result == 1);
        Bytes out;
        CHECK(cert.getCert(out) == -1108 && cert.getSubject(out) == -1108 && cert.getSerialNumber(out) == -1108);
        return;
    }

    Bytes encoded;
    CHECK(cert.getCert(encoded) == 0 && !encoded.empty());
    GC_CertObject again;
    CHECK(again.setCert(encoded) == 0);
    Bytes reencoded;
    CHECK(again.getCert(reencoded) == 0 && reencoded == encoded);
    GC_CertObject copy(&cert);
    CHECK(copy.getCert(reencoded) == 0 && reencoded == encoded);

    std::string day, month, year;
    for (int start = 0; start < 2; ++start) {
        const int dated = start ? cert.getStartDate(day, month, year) : cert.getEndDate(day, month, year);
        CHECK(dated == 0 || dated == -1);
        if (dated == 0) CHECK(digits(day, 2) && digits(month, 2) && digits(year, 4));
    }
    Bytes name;
    if (cert.getSubject(name) == 0) CHECK(isNameEncoding(name));
    if (cert.getIssuer(name) == 0) CHECK(isNameEncoding(name));
    Bytes serial;
    if (cert.getSerialNumber(serial) == 0) CHECK(!serial.empty() && serial[0] != 0x00);

    // The public key that a certificate hands to the key objects of the same ID. One of another
    // kind than the object's entry says has an unknown size, never one that buffers are sized by.
    for (const auto type : {GC_Object::KEY_EC, GC_Object::KEY_RSA}) {
        GC_PubKeyObject key;
        key.keyType = type;
        if (key.setPublicKeyFromX509(cert.cert.get()) == 0) {
            const uint64_t bits = key.getKeySize();
            if (EVP_PKEY_is_a(key.key.get(), type == GC_Object::KEY_EC ? "EC" : "RSA") != 1)
                CHECK(bits == 0 && key.keyBits == 0);
            Bytes out;
            key.getPublicKeyBytes(out);
            key.getOID(out);
            key.getECPoint(out);
            key.getModulus(out);
        }
    }
}

// The key's SubjectPublicKeyInfo, imported again, gives the same bytes and the same facts.
void checkPublicKey(GC_Object::key_type type, const Bytes& der) {
    GC_PubKeyObject key;
    key.keyType = type;
    const int result = key.setPublicKeyFromRAW(der);
    if (type != GC_Object::KEY_EC && type != GC_Object::KEY_RSA) {
        CHECK(result == (der.empty() ? 1 : -4) && !key.key);
        return;
    }
    CHECK(result == 0 || result == 1 || result == -2);
    CHECK((result == 0) == (key.key != nullptr));
    if (result != 0) return;

    const uint64_t bits = key.getKeySize();
    if (EVP_PKEY_is_a(key.key.get(), type == GC_Object::KEY_EC ? "EC" : "RSA") != 1) CHECK(bits == 0);
    Bytes spki;
    const int exported = key.getPublicKeyBytes(spki);
    CHECK(exported == 0 || exported == -2);
    if (exported != 0) return;
    CHECK(isSequence(spki));

    GC_PubKeyObject again;
    again.keyType = type;
    CHECK(again.setPublicKeyFromRAW(spki) == 0);
    Bytes spki2;
    CHECK(again.getPublicKeyBytes(spki2) == 0 && spki2 == spki);
    CHECK(again.getKeySize() == bits);
    GC_PubKeyObject copy(&key);
    CHECK(copy.getPublicKeyBytes(spki2) == 0 && spki2 == spki && copy.keyBits == key.keyBits);

    Bytes out;
    if (type == GC_Object::KEY_RSA) {
        CHECK(key.getOID(out) == -1 && key.getECPoint(out) == -1);
        if (key.getModulus(out) == 0) CHECK(!out.empty() && out[0] != 0 && out.size() * 8 == bits);
        if (key.getExponent(out) == 0) CHECK(!out.empty() && out[0] != 0);
    } else {
        CHECK(key.getModulus(out) == -1 && key.getExponent(out) == -1);
        if (key.getOID(out) == 0) CHECK(out.size() > 2 && out[0] == 0x06 && key.curve == again.curve);
        if (key.getECPoint(out) == 0) {
            // An OCTET STRING holding the uncompressed point 04 || X || Y.
            Tree items;
            CHECK(GC_ASN1::deserialize(items, out, true) == 0 && items.size() == 1 && items[0].tag == Bytes{0x04});
            const Bytes& point = items[0].value;
            CHECK(point.size() % 2 == 1 && point.size() > 1 && point[0] == 0x04);
        }
    }

    // A signature check over data and signature taken from the key bytes themselves.
    const Bytes data(der.begin(), der.begin() + static_cast<long>(der.size() < 32 ? der.size() : 32));
    const size_t half = static_cast<size_t>((bits + 7) / 8);
    const Bytes raw(der.size() >= 2 * half ? der.end() - static_cast<long>(2 * half) : der.begin(), der.end());
    for (const auto padding : {GC_Security::PAD_NONE, GC_Security::PAD_PKCS1_V15}) {
        for (const Bytes* signature : {&der, &raw}) {
            const int verified = key.verifySignature(data, *signature, padding);
            CHECK(verified == 0 || verified == 1 || verified == -1 || verified == -8 || verified == -9 ||
                  verified == -12);
        }
    }
}

// The primitive items of a tree in document order, as (tag, value).
void leaves(const Tree& items, std::vector<std::pair<Bytes, Bytes>>& out) {
    for (const GC_ASN1::item& it : items) {
        if (it.primitive)
            out.emplace_back(it.tag, it.value);
        else
            leaves(it.children, out);
    }
}

void checkDataObject(const Bytes& input) {
    GC_DataObject object;
    object.setData(input);
    CHECK(object.loaded == 1);
    const Bytes content = object.getData();
    if (content == input) return;

    // Re-encoded: DER holding the primitive values that each parser accepting the input read from it
    // (the recursive one always does: only what it reads whole is re-encoded).
    Tree stored;
    CHECK(GC_ASN1::deserialize(stored, content, true) == 0);
    std::vector<std::pair<Bytes, Bytes>> kept;
    leaves(stored, kept);
    CHECK(GC_ASN1::serialize(stored) == content);
    for (const bool fast : {true, false}) {
        Tree given;
        const int parsed = GC_ASN1::deserialize(given, input, fast);
        CHECK(parsed == 0 || fast);
        if (parsed != 0) continue;
        std::vector<std::pair<Bytes, Bytes>> read;
        leaves(given, read);
        CHECK(read == kept);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const GcFuzzErrorQueueReset reset;
    if (size == 0) return 0;
    const Bytes payload(data + 1, data + size);
    switch (data[0] % 5) {
        case 0:
            checkCertificate(payload);
            break;
        case 1:
            checkPublicKey(GC_Object::KEY_EC, payload);
            break;
        case 2:
            checkPublicKey(GC_Object::KEY_RSA, payload);
            break;
        case 3:
            checkPublicKey(static_cast<GC_Object::key_type>(0), payload);
            break;
        default:
            checkDataObject(payload);
            break;
    }
    return 0;
}
