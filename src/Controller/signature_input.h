// What signing and verification in the card session share: the container mechanism that serves
// a key type and hash, and the value that a hash format makes of the caller's data.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Data/Container/container.h"
#include "Data/Objects/object.h"
#include "security_lib.h"

namespace gc_signing {

// Key usage bits that a key must not carry both of to sign or verify (sign, non-repudiation).
inline constexpr uint64_t kUsageSign = 2;
inline constexpr uint64_t kUsageNonRepudiation = 16;

// The largest key, in bits, that input is formed for.
inline constexpr uint64_t kLargestKeyBits = 16384;

// Whether input can be formed for a key of this type and size (in bits, 0 unknown): never above
// kLargestKeyBits; an RSA key's size must be known, its block is as long as the key. An EC key of
// unknown size is signed over the whole digest.
bool usableKeySize(GC_Object::key_type keyType, uint64_t bits);

// The size of the EC key of the container's certificate with this ID; 0 when there is none.
uint64_t certifiedKeyBits(GC_Container& container, const std::vector<unsigned char>& id);

// The hash and digest of an exact PKCS#1 v1.5 type-1 block of keyLen bytes: 00 01, at least
// eight FF, 00, the DigestInfo (with NULL parameters) of a known hash. 0; -1102 for any other
// bytes.
int exactPkcs1Block(const std::vector<unsigned char>& block, size_t keyLen, GC_Security::data_format& format,
                    std::vector<unsigned char>& digest);

// The container's first mechanism for the key type (EC or RSA family) whose hash set holds
// `format`; null when there is none.
std::shared_ptr<GC_Container::mechanism_info> findMechanism(GC_Container& container, GC_Object::key_type keyType,
                                                            GC_Security::data_format format);

// The digest that is signed: the data itself for format 1 or when it has the digest's length
// (taken as the digest), otherwise its digest (also of empty data). 0, or the hash's failure code.
int digestInput(const std::vector<unsigned char>& data, GC_Security::data_format format,
                std::vector<unsigned char>& input);

// The PKCS#1 v1.5 input for `data` under `format` and a key of `keyLen` bytes: the DigestInfo of
// its digest, inside the whole block when `wholeBlock` (for a mechanism that does not pad). 0;
// -1102 when the digest cannot fit the key; -1100 when hashing or encoding fails.
int pkcs1Input(const std::vector<unsigned char>& data, GC_Security::data_format format, size_t keyLen, bool wholeBlock,
               std::vector<unsigned char>& input);

// Zero bytes in front of data up to `length` bytes (data no longer than that).
std::vector<unsigned char> zeroPadded(const std::vector<unsigned char>& data, size_t length);

}  // namespace gc_signing
