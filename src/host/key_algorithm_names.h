#pragma once

#include <string_view>

#include "platform/sec_key_algorithm.h"

namespace host {

// The hash a caller computes over its message before it hands the result to a "Digest" algorithm.
enum class Digest { None, SHA1, SHA224, SHA256, SHA384, SHA512 };

struct NamedKeyAlgorithm {
    const char* name;  // the platform constant's name without "kSecKeyAlgorithm"
    sec::KeyAlgorithm algorithm;
    // None for the Raw, Message, encryption and key-exchange algorithms, which take the data as
    // it is. ECDSASignatureDigestX962 names no hash: SHA-256 is this system's choice for it.
    Digest digest;
};

// The algorithm of that name, with or without the "kSecKeyAlgorithm" prefix; null when unknown.
const NamedKeyAlgorithm* findKeyAlgorithm(std::string_view name);
// The name of an algorithm.
const char* keyAlgorithmName(sec::KeyAlgorithm algorithm);

}  // namespace host
