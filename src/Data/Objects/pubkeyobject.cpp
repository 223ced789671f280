#include "Data/Objects/pubkeyobject.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <climits>

#include "Data/wipe.h"
#include "asn1.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "Data/Objects/pubkeyobject";
constexpr unsigned long kLogMask = gc_log::kObjects;
constexpr unsigned long kErrMask = gc_log::kError;
constexpr unsigned long kMsgMask = gc_log::kObjects | gc_log::kMessage;
constexpr unsigned long kDetailMask = gc_log::kObjects | gc_log::kDetail;

using Bytes = std::vector<unsigned char>;

using gc_ossl::BnPtr;
using PkeyPtr = gc_ossl::EvpPkeyPtr;
using PkeyCtxPtr = gc_ossl::EvpPkeyCtxPtr;
using MdCtxPtr = gc_ossl::EvpMdCtxPtr;

bool isRsa(const EVP_PKEY* pkey) {
    return pkey != nullptr && EVP_PKEY_is_a(pkey, "RSA") == 1;
}
// OpenSSL reads an RSA key whose modulus or exponent is zero; such a key verifies nothing.
bool hasRsaNumbers(const EVP_PKEY* pkey) {
    const auto nonZero = [pkey](const char* param) {
        BIGNUM* raw = nullptr;
        if (EVP_PKEY_get_bn_param(pkey, param, &raw) != 1) return false;
        const gc_ossl::BnPtr number(raw);
        return !BN_is_zero(number.get());
    };
    return nonZero(OSSL_PKEY_PARAM_RSA_N) && nonZero(OSSL_PKEY_PARAM_RSA_E);
}
bool isEc(const EVP_PKEY* pkey) {
    return pkey != nullptr && EVP_PKEY_is_a(pkey, "EC") == 1;
}

// One DER structure from the front of der (trailing bytes are ignored); null when none parses.
PkeyPtr parseSubjectPublicKeyInfo(const Bytes& der) {
    if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) return nullptr;
    const unsigned char* p = der.data();
    return PkeyPtr(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
}

PkeyPtr parseRsaPublicKey(const Bytes& der) {
    if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) return nullptr;
    const unsigned char* p = der.data();
    return PkeyPtr(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size())));
}

// The encoded public point of an EC key as OpenSSL holds it (compressed or not); empty when
// there is none.
Bytes encodedPoint(EVP_PKEY* pkey) {
    size_t len = 0;
    if (EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &len) != 1 || len == 0) return {};
    Bytes point(len);
    if (EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &len) != 1)
        return {};
    point.resize(len);
    return point;
}

// OpenSSL's number of the named curve of an EC key with a public point; NID_undef when the key
// has no point or no curve name (explicit parameters).
int namedCurve(EVP_PKEY* pkey) {
    if (!isEc(pkey) || encodedPoint(pkey).empty()) return NID_undef;
    char name[80] = {};
    size_t nameLen = 0;
    if (EVP_PKEY_get_group_name(pkey, name, sizeof name, &nameLen) != 1 || nameLen == 0) return NID_undef;
    int nid = OBJ_txt2nid(name);
    if (nid == NID_undef) nid = EC_curve_nist2nid(name);
    return nid;
}

const EVP_MD* digestForLength(size_t length) {
    switch (length) {
        case 20:
            return EVP_sha1();
        case 28:
            return EVP_sha224();
        case 32:
            return EVP_sha256();
        case 48:
            return EVP_sha384();
        case 64:
            return EVP_sha512();
        default:
            return nullptr;
    }
}

}  // namespace

GC_PubKeyObject::GC_PubKeyObject() : GC_Object(TYPE_PUBLIC_KEY) {}

GC_PubKeyObject::GC_PubKeyObject(GC_PubKeyObject* source) : GC_Object(static_cast<GC_Object*>(source)) {
    type = TYPE_PUBLIC_KEY;
    if (source == nullptr) return;
    keyType = source->keyType;
    curve = source->curve;
    keyBits = source->keyBits;
    Bytes spki;
    if (source->getPublicKeyBytes(spki) != 0) {
        GC_LoggerC::log("GC_PubKeyObject", kLogFile, __LINE__, kDetailMask, "[get]  error copying public key ");
        return;
    }
    if (setPublicKeyFromRAW(std::move(spki)) != 0) {
        GC_LoggerC::log("GC_PubKeyObject", kLogFile, __LINE__, kDetailMask, "error copying public key with set");
        return;
    }
    keyReference = source->keyReference;
    ID = source->ID;
    usage = source->usage;
    access = source->access;
}

GC_PubKeyObject::~GC_PubKeyObject() = default;

int GC_PubKeyObject::setPublicKeyFromRAW(std::vector<unsigned char> der) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (der.empty()) return GC_FAIL(kErrMask, 1, "Key data size is 0");
    key.reset();

    if (keyType == KEY_RSA) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kMsgMask, "setting RSA from RAW data");
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kDetailMask, " RSA key data is available: %i %zu",
                         static_cast<int>(der.size() > INT_MAX ? INT_MAX : der.size()), der.size());
        PkeyPtr parsed = parseSubjectPublicKeyInfo(der);
        if (!isRsa(parsed.get())) parsed = parseRsaPublicKey(der);
        gc_wipe(der);
        if (!isRsa(parsed.get()) || !hasRsaNumbers(parsed.get())) {
            ERR_clear_error();
            return GC_FAIL(kErrMask, 1, "RSA struct is null");
        }
        ERR_clear_error();  // the first form may have failed before the second one parsed
        key = std::move(parsed);
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
        return 0;
    }

    if (keyType == KEY_EC) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kMsgMask, "setting EC from RAW data");
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kDetailMask, "EC key data is available: %i %zu",
                         static_cast<int>(der.size() > INT_MAX ? INT_MAX : der.size()), der.size());
        PkeyPtr parsed = parseSubjectPublicKeyInfo(der);
        gc_wipe(der);
        if (!isEc(parsed.get())) {
            ERR_clear_error();
            return GC_FAIL(kErrMask, -2, "Pub is null");
        }
        key = std::move(parsed);
        // A key on a curve outside the table is kept; its curve field stays as it was.
        Bytes oid;
        getOID(oid);
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
        return 0;
    }

    // Without a known key type nothing can be imported: say so rather than hold an empty key.
    gc_wipe(der);
    return GC_FAIL(kErrMask, -4, "Invalid type key");
}

int GC_PubKeyObject::setPublicKeyFromX509(X509* cert) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (cert == nullptr) return GC_FAIL(kErrMask, 1, "Cert is null");
    key.reset(X509_get_pubkey(cert));  // a reference of its own
    if (!key) {
        ERR_clear_error();
        return GC_FAIL(kErrMask, 1, "Pub is null");
    }
    if (keyType == KEY_EC) {
        Bytes oid;
        getOID(oid);
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_PubKeyObject::getPublicKeyBytes(std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!key) return GC_FAIL(kErrMask, -1108, "Pub is null");
    if (keyType == KEY_RSA) {
        if (!isRsa(key.get())) return GC_FAIL(kErrMask, 1, "RSA pub is null");
    } else if (keyType != KEY_EC) {
        return GC_FAIL(kErrMask, -4, "Invalid type key");
    }
    const int len = i2d_PUBKEY(key.get(), nullptr);
    if (len < 1) {
        ERR_clear_error();
        return GC_FAIL(kErrMask, -2, "Len is 0");
    }
    Bytes der(static_cast<size_t>(len));
    unsigned char* p = der.data();
    if (i2d_PUBKEY(key.get(), &p) != len) {
        ERR_clear_error();
        return GC_FAIL(kErrMask, -2, "Len is 0");
    }
    out = std::move(der);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_PubKeyObject::checkKeyKind(const char* func, bool rsa) {
    if (!key) return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, -1108, "Pub is null");
    if ((keyType == KEY_RSA) != rsa)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, -1, "Invalid key type");
    return 0;
}

int GC_PubKeyObject::getOID(std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int refused = checkKeyKind(__func__, false)) return refused;
    const int nid = namedCurve(key.get());
    if (nid == NID_undef) {
        ERR_clear_error();
        return GC_FAIL(kErrMask, -1, "OpenSSL error");
    }
    out.clear();
    const auto found = GC_EC_Params::ec_OID.find(static_cast<GC_EC_Params::ec_nid>(nid));
    if (found == GC_EC_Params::ec_OID.end()) return GC_FAIL(kErrMask, -1, "Invalid key type");
    out = found->second;
    curve = found->first;
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

uint64_t GC_PubKeyObject::getKeySize() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    keyBits = 0;
    if (!key) {
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
        return 0;
    }
    uint64_t size = 0;
    if (keyType == KEY_RSA) {
        // A key of another kind than the entry says has no size here: unknown, 0.
        BIGNUM* modulus = nullptr;
        const bool found = isRsa(key.get()) && EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &modulus) == 1;
        const BnPtr n(modulus);
        if (!found) {
            ERR_clear_error();
            GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, 0, "RSA pub is null");
            return 0;
        }
        size = static_cast<uint64_t>(BN_num_bytes(n.get())) * 8;
    } else if (keyType == KEY_EC) {
        const int bits = isEc(key.get()) ? EVP_PKEY_get_bits(key.get()) : 0;
        size = bits > 0 ? static_cast<uint64_t>(bits) : 0;
    } else {
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
        return 0;
    }
    keyBits = size;
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, static_cast<int>(size > INT_MAX ? INT_MAX : size));
    return size;
}

int GC_PubKeyObject::getModulus(std::vector<unsigned char>& out) {
    return getRsaNumber(__func__, OSSL_PKEY_PARAM_RSA_N, {-1, -3, "OpenSSL error | get n", -4}, out);
}

int GC_PubKeyObject::getExponent(std::vector<unsigned char>& out) {
    return getRsaNumber(__func__, OSSL_PKEY_PARAM_RSA_E, {-3, -4, "OpenSSL error", -5}, out);
}

int GC_PubKeyObject::getRsaNumber(const char* func, const char* param, const RsaNumberCodes& codes,
                                  std::vector<unsigned char>& out) {
    GC_LoggerC::call1(func, kLogFile, __LINE__, kLogMask);
    if (const int refused = checkKeyKind(func, true)) return refused;
    if (!isRsa(key.get()))
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, codes.noRsaKey, "RSA pub is null");
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), param, &raw) != 1) {
        ERR_clear_error();
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, codes.noNumber, "%s", codes.noNumberText);
    }
    BnPtr number(raw);
    out.resize(static_cast<size_t>(BN_num_bytes(number.get())));
    if (BN_bn2bin(number.get(), out.data()) != static_cast<int>(out.size()))
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, codes.conversion, "OpenSSL error");
    GC_LoggerC::ret1(func, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_PubKeyObject::getECPoint(std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int refused = checkKeyKind(__func__, false)) return refused;
    Bytes point = isEc(key.get()) ? encodedPoint(key.get()) : Bytes();
    if (!point.empty() && point[0] != 0x04) {
        // A key imported from a compressed point keeps that form: expand it on the curve.
        Bytes expanded;
        const int nid = namedCurve(key.get());
        gc_ossl::EcGroupPtr group(nid != NID_undef ? EC_GROUP_new_by_curve_name(nid) : nullptr);
        gc_ossl::EcPointPtr ecPoint(group ? EC_POINT_new(group.get()) : nullptr);
        if (ecPoint && EC_POINT_oct2point(group.get(), ecPoint.get(), point.data(), point.size(), nullptr) == 1) {
            const size_t len =
                EC_POINT_point2oct(group.get(), ecPoint.get(), POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr);
            expanded.resize(len);
            if (len == 0 || EC_POINT_point2oct(group.get(), ecPoint.get(), POINT_CONVERSION_UNCOMPRESSED,
                                               expanded.data(), len, nullptr) != len)
                expanded.clear();
        }
        point = std::move(expanded);
    }
    if (point.empty() || point[0] != 0x04) {
        ERR_clear_error();
        return GC_FAIL(kErrMask, -1, "OpenSSL error");
    }
    GC_ASN1::item octets;
    if (GC_ASN1::createTag(octets, {0x04}, point, true) != 0) {
        return GC_FAIL(kErrMask, -1, "OpenSSL error");
    }
    out = GC_ASN1::serialize(octets);
    if (out.empty()) return GC_FAIL(kErrMask, -1, "OpenSSL error");
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_PubKeyObject::verifySignature(std::vector<unsigned char> data, std::vector<unsigned char> signature,
                                     GC_Security::padding_type padding) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    int result;
    if (!key) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Pub is null");
        result = -1108;
    } else if (keyType == KEY_RSA) {
        result = verifyRsa(data, signature, padding);
    } else if (keyType == KEY_EC) {
        result = verifyEc(data, signature);
    } else {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Invalid key type");
        result = -4;
    }
    ERR_clear_error();
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, result);
    return result;
}

int GC_PubKeyObject::verifyRsa(const std::vector<unsigned char>& data, const std::vector<unsigned char>& signature,
                               GC_Security::padding_type padding) {
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kMsgMask, "getting RSA key");
    if (!isRsa(key.get())) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "RSA pub is null");
        return -7;
    }
    int rsaPadding;
    if (padding == GC_Security::PAD_PKCS1_V15) {
        rsaPadding = RSA_PKCS1_PADDING;
    } else if (padding == GC_Security::PAD_NONE) {
        rsaPadding = RSA_NO_PADDING;
    } else {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Invalid padding");
        return -8;
    }

    const size_t modulusBytes = static_cast<size_t>(getKeySize() / 8);
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    Bytes recovered(modulusBytes);
    size_t recoveredLen = recovered.size();
    if (modulusBytes == 0 || signature.size() != modulusBytes || !ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), rsaPadding) != 1 ||
        EVP_PKEY_verify_recover(ctx.get(), recovered.data(), &recoveredLen, signature.data(), signature.size()) != 1) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Openssl error");
        return -8;
    }
    recovered.resize(recoveredLen);
    if (recovered != data) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Invalid signeture");
        return 1;
    }
    return 0;
}

int GC_PubKeyObject::verifyEc(const std::vector<unsigned char>& data, const std::vector<unsigned char>& signature) {
    if (!isEc(key.get())) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "OpenSSL error");
        return -7;
    }
    MdCtxPtr digest(EVP_MD_CTX_new());
    if (!digest) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Invalid signeture");
        return 1;
    }

    // r and s: from a DER SEQUENCE of two INTEGERs, else from raw r || s of the key's length.
    Bytes r;
    Bytes s;
    bool fromDer = false;
    {
        std::vector<GC_ASN1::item> items;
        if (GC_ASN1::deserialize(items, signature, true) == 0) {
            std::vector<GC_ASN1::item> integers;
            GC_ASN1::getData(items, {0x30, 0x02}, integers);
            if (integers.size() == 2) {
                r = integers[0].value;
                s = integers[1].value;
                fromDer = true;
            }
        }
    }
    if (!fromDer) {
        // Halves as long as the order in whole bytes: 66 for secp521r1.
        const uint64_t bits = getKeySize();
        const size_t half = static_cast<size_t>((bits + 7) / 8);
        if (half == 0 || signature.size() != 2 * half) return -12;
        r.assign(signature.begin(), signature.begin() + static_cast<long>(half));
        s.assign(signature.begin() + static_cast<long>(half), signature.end());
    }

    BnPtr rBn(BN_bin2bn(r.data(), static_cast<int>(r.size()), nullptr));
    BnPtr sBn(BN_bin2bn(s.data(), static_cast<int>(s.size()), nullptr));
    gc_ossl::EcdsaSigPtr sig(ECDSA_SIG_new());
    if (!rBn || !sBn || !sig || ECDSA_SIG_set0(sig.get(), rBn.get(), sBn.get()) != 1) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Invalid signeture");
        return 1;
    }
    rBn.release();  // owned by sig now
    sBn.release();
    // DER with minimal INTEGERs: the only form OpenSSL accepts.
    const int derLen = i2d_ECDSA_SIG(sig.get(), nullptr);
    Bytes minimalDer(derLen > 0 ? static_cast<size_t>(derLen) : 0);
    unsigned char* p = minimalDer.data();
    if (derLen <= 0 || i2d_ECDSA_SIG(sig.get(), &p) != derLen) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Invalid signeture");
        return 1;
    }

    // data as the digest.
    static const unsigned char kNoData = 0;
    const unsigned char* dataPtr = data.empty() ? &kNoData : data.data();
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Other error");
        return -9;
    }
    const int direct = EVP_PKEY_verify(ctx.get(), minimalDer.data(), minimalDer.size(), dataPtr, data.size());
    if (direct == 1) return 0;
    if (direct < 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Other error");
        return -9;
    }

    // Not valid over data itself: data may be what was hashed.
    digest.reset(EVP_MD_CTX_new());
    if (!digest) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Invalid signeture");
        return 1;
    }
    const EVP_MD* md = digestForLength(data.size());
    if (md == nullptr) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Invalid data size");
        return -1;
    }
    if (EVP_DigestVerifyInit(digest.get(), nullptr, md, nullptr, key.get()) != 1 ||
        EVP_DigestVerifyUpdate(digest.get(), data.data(), data.size()) != 1) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "OpenSSL error");
        return -1;
    }
    const Bytes& derSignature = fromDer ? signature : minimalDer;
    const int hashed = EVP_DigestVerifyFinal(digest.get(), derSignature.data(), derSignature.size());
    if (hashed == 1) return 0;
    if (hashed == 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Invalid signeture");
        return 1;
    }
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Other error");
    return -9;
}
