#include "pkcs1.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "asn1.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "pkcs1";
constexpr unsigned long kLogMask = gc_log::kPkcs1;
constexpr unsigned long kErrMask = gc_log::kError;

// Tags of the DigestInfo.
constexpr unsigned char kTagSequence = 0x30;
constexpr unsigned char kTagOid = 0x06;
constexpr unsigned char kTagNull = 0x05;
constexpr unsigned char kTagOctetString = 0x04;

// 00 01, at least eight FF, 00: the block's fixed overhead around T.
constexpr unsigned long kPaddingOverhead = 11;

// DER of DigestInfo { AlgorithmIdentifier { oid, NULL }, OCTET STRING digest } (the OCTET STRING
// left out for an empty digest). Empty on failure.
std::vector<unsigned char> buildDigestInfo(const std::vector<unsigned char>& oid,
                                           const std::vector<unsigned char>& digest) {
    GC_ASN1::item nullItem;
    GC_ASN1::item oidItem;
    GC_ASN1::item algId;
    GC_ASN1::item octets;
    GC_ASN1::item digestInfo;
    if (GC_ASN1::createTag(nullItem, {kTagNull}, {}, true) != 0) return {};
    if (GC_ASN1::createTag(oidItem, {kTagOid}, oid, true) != 0) return {};
    if (GC_ASN1::createTag(algId, {kTagSequence}, {}, false) != 0) return {};
    if (GC_ASN1::addChild(algId, oidItem) != 0 || GC_ASN1::addChild(algId, nullItem) != 0) return {};
    if (GC_ASN1::createTag(digestInfo, {kTagSequence}, {}, false) != 0) return {};
    if (GC_ASN1::addChild(digestInfo, algId) != 0) return {};
    if (!digest.empty()) {
        if (GC_ASN1::createTag(octets, {kTagOctetString}, digest, true) != 0) return {};
        if (GC_ASN1::addChild(digestInfo, octets) != 0) return {};
    }
    return GC_ASN1::serialize(digestInfo);
}

}  // namespace

int GC_PKCS1::EMSA_v1_5_encode(std::vector<unsigned char> data, unsigned long keyLen, GC_Security::data_format format,
                               std::vector<unsigned char>& out, bool addPadding) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (format == GC_Security::HASH_NONE) return GC_FAIL(kErrMask, -1, "Hash wrong alg");
    const auto oid = GC_Security::hash_OID.find(format);
    if (oid == GC_Security::hash_OID.end() || oid->second.empty()) return GC_FAIL(kErrMask, -1);

    // Data of the digest's length (or none) is taken as the digest itself: callers that hashed
    // already rely on it not being hashed a second time.
    std::vector<unsigned char> digest;
    if (data.empty() || data.size() == GC_Security::alghoritmLenOutput(format)) {
        digest = data;
    } else if (GC_Security::hashValuesToKey(format, {data}, digest) != 0) {
        return GC_FAIL(kErrMask, -1);
    }

    const std::vector<unsigned char> t = buildDigestInfo(oid->second, digest);
    if (t.empty()) return GC_FAIL(kErrMask, -1);
    if (t.size() + kPaddingOverhead > keyLen) return GC_FAIL(kErrMask, -2);

    // keyLen comes from a key object's stated size: a size that cannot be allocated is a failure,
    // not an exception.
    std::vector<unsigned char> block;
    try {
        if (addPadding) {
            block.reserve(keyLen);
            block.push_back(0x00);
            block.push_back(0x01);
            block.insert(block.end(), keyLen - t.size() - 3, 0xFF);
            block.push_back(0x00);
        }
        block.insert(block.end(), t.begin(), t.end());
    } catch (const std::bad_alloc&) {
        return GC_FAIL(kErrMask, -1);
    } catch (const std::length_error&) {
        return GC_FAIL(kErrMask, -1);
    }
    out.swap(block);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_PKCS1::EMSA_v1_5_decode(std::vector<unsigned char> block, unsigned long keyLen, GC_Security::data_format& format,
                               std::vector<unsigned char>& digest) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (block.size() > keyLen) return GC_FAIL(kErrMask, -4);
    // Only the hash OID is looked for; the padding and the DigestInfo's structure are not checked,
    // and the digest is the block's tail.
    if (EMSA_v1_5_checkHash(block, format) != 0) return GC_FAIL(kErrMask, -3);
    const unsigned long len = GC_Security::alghoritmLenOutput(format);
    if (block.size() < len) return GC_FAIL(kErrMask, -3);
    digest.assign(block.end() - static_cast<long>(len), block.end());
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_PKCS1::EMSA_v1_5_checkHash(std::vector<unsigned char> block, GC_Security::data_format& format) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    // The map is ordered by format value: SHA-1 first, SHA-512 last.
    for (const auto& [candidate, oid] : GC_Security::hash_OID) {
        if (oid.empty()) continue;
        if (std::search(block.begin(), block.end(), oid.begin(), oid.end()) != block.end()) {
            format = candidate;
            GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
            return 0;
        }
    }
    return GC_FAIL(kErrMask, -3);
}
