// Secure-messaging answers from a hostile card: decomposition, checksum, decryption, padding.
// First input byte: the session's algorithm (1 3DES, 2-4 AES); the rest is the card's answer.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Protocols/securemessaging.h"

namespace {

GC_SecureMessaging::sm_params session(int algorithm) {
    static const unsigned char key[32] = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6, 0xAB, 0xF7, 0x15,
                                          0x88, 0x09, 0xCF, 0x4F, 0x3C, 0x60, 0x3D, 0xEB, 0x10, 0x15, 0xCA,
                                          0x71, 0xBE, 0x2B, 0x73, 0xAE, 0xF0, 0x85, 0x7D, 0x77, 0x81};
    static const unsigned char zero[16] = {};
    const size_t keyLen = algorithm == 3 ? 24 : algorithm == 4 ? 32 : 16;
    GC_SecureMessaging::sm_params p;
    p.algorithm = algorithm;
    p.Kenc = SecureVector<unsigned char>(key, keyLen);
    p.Kmac = SecureVector<unsigned char>(key + 32 - keyLen, keyLen);
    p.SSC = SecureVector<unsigned char>(zero, algorithm == 1 ? 8 : 16);
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    auto p = session(1 + data[0] % 4);
    const std::vector<unsigned char> response(data + 1, data + size);

    std::vector<unsigned char> out;
    const int64_t rc = GC_SecureMessaging::smFreeAPDU(&p, response, out);
    // Success always ends in a status word, and a failure hands back at most a bare status word.
    if (rc == 0 && out.size() < 2) __builtin_trap();
    if (rc != 0 && out.size() > 2) __builtin_trap();

    // Below the checksum: the decoders on whatever objects the answer holds.
    GC_SecureMessaging::do_list objects;
    if (GC_SecureMessaging::decompose_response_apdu(response, {0x87, 0x85, 0x99, 0x8E}, objects) == 0) {
        for (const auto& [tag, value] : objects) {
            std::vector<unsigned char> decoded;
            if (tag == 0x85 || tag == 0x87)
                GC_SecureMessaging::sm_module_decode_rdo8x(&p, static_cast<uint8_t>(tag), value, decoded);
            else if (tag == 0x99)
                GC_SecureMessaging::sm_module_decode_rdo99(value, decoded);
            else
                GC_SecureMessaging::sm_module_decode_rdo8e(value, decoded);
        }
        GC_SecureMessaging::sm_module_verify_response_mac(&p, objects);
    }
    std::vector<unsigned char> unpadded;
    if (GC_SecureMessaging::sm_module_ISO9797_pad_meth2_remove(response, unpadded) == 0 &&
        unpadded.size() >= response.size())
        __builtin_trap();
    return 0;
}
