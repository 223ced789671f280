#pragma once

#include "security_lib.h"

#include <vector>

// EMSA-PKCS1-v1_5 encoding of RSA signatures (RFC 8017, 9.2).
// The byte vectors are taken by value so that a caller may pass one vector as input and output.
class GC_PKCS1 {
public:
    // DigestInfo of data (hashed with format unless it is empty or already of digest length);
    // with addPadding the whole block 00 01 FF..FF 00 T of keyLen bytes. 0; -1 bad format or
    // build failure; -2 keyLen too short. out is untouched on failure.
    static int EMSA_v1_5_encode(std::vector<unsigned char> data, unsigned long keyLen, GC_Security::data_format format,
                                std::vector<unsigned char>& out, bool addPadding);
    // Recovers the hash (first known OID found) and its digest (the block's last bytes).
    // 0; -3 no known OID or block shorter than the digest; -4 block longer than keyLen.
    static int EMSA_v1_5_decode(std::vector<unsigned char> block, unsigned long keyLen,
                                GC_Security::data_format& format, std::vector<unsigned char>& digest);
    // Which known hash OID the block holds (ascending format order). 0, or -3 for none.
    static int EMSA_v1_5_checkHash(std::vector<unsigned char> block, GC_Security::data_format& format);
};
