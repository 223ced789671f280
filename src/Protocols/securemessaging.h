#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "Data/securevector.h"
#include "Protocols/smkeycontexts.h"

// ISO/IEC 7816-4 secure messaging with the session keys of a PACE run: protection of command
// APDUs and verification of the card's answers. Two families: two-key 3DES (CBC with a zero IV,
// retail MAC) and AES-128/192/256 (CBC with IV = E(Kenc, SSC), CMAC cut to 8 bytes).
//
// The class holds no state: everything lives in the caller's sm_params, so one set of functions
// serves every card session. The caller serialises the exchanges of one session; the send
// sequence counter advances once per protected command and once per verified response.
// The session keys are set up in OpenSSL once per channel (sm_params::keyContexts) and released,
// wiped, by forgetKeyContexts when the channel closes.
class GC_SecureMessaging {
public:
    // Session state. Card controllers hand their PACE parameters in as this type, so these four
    // fields must stay the leading part of GC_PaceController::pace_params.
    struct sm_params {
        SecureVector<unsigned char> Kmac;  // 16 bytes for 3DES; 16, 24 or 32 for AES
        SecureVector<unsigned char> Kenc;
        SecureVector<unsigned char> SSC;  // big-endian counter, one cipher block long
        int algorithm = 0;                // GC_Security::encipherment_algorithm: 1 3DES, 2-4 AES
        // OpenSSL contexts holding Kenc and Kmac, made on first use and made again whenever the
        // algorithm or a key above has changed, so they never run with other keys. Used from
        // the const operations too, hence mutable.
        mutable GC_SmKeyContexts keyContexts;
    };

    // A decomposed plain command APDU.
    struct s_apdu {
        SecureVector<unsigned char> data;  // may hold a PIN: wiped when released
        uint8_t apduCase = 0;              // 1-4 short; 18, 19, 20 extended 2, 3, 4
        uint8_t CLA = 0;
        uint8_t INS = 0;
        uint8_t P1 = 0;
        uint8_t P2 = 0;
        uint64_t Lc = 0;
        uint64_t Le = 0;       // short 00 read as 256, extended 00 00 as 65536; 0 without Le
        uint64_t dataLen = 0;  // length of the data field taken (0 when there is none)
    };

    // A data object: tag with its value (only the tag's low byte is written out).
    struct data {
        std::vector<unsigned char> value;
        uint32_t tag = 0;
    };

    using do_list = std::map<uint32_t, std::vector<unsigned char>>;

    // Result codes (besides 0 and 17, a failed cipher or MAC primitive).
    static constexpr int64_t kInvalidArgument = -3000;
    static constexpr int64_t kSscEmpty = -3001;
    static constexpr int64_t kMalformed = -3002;
    static constexpr int64_t kNoSessionKey = -3003;
    static constexpr int64_t kPaddingOverrun = -3004;
    static constexpr int64_t kObjectMissing = -3008;
    static constexpr int64_t kMacMismatch = -3009;
    static constexpr int64_t kCryptoFailed = 17;

    virtual ~GC_SecureMessaging() = default;

    // Frees the channel's OpenSSL contexts, wiping the keys they held; the key fields themselves
    // stay. For when the channel closes or its keys are cleared or replaced: the next message sets
    // the contexts up again from the keys it finds.
    static void forgetKeyContexts(sm_params* params);

    // --- Command protection ---

    // Protects a plain command APDU; advances the SSC by one. out is empty on failure.
    static int64_t smProtectAPDU(sm_params* params, const std::vector<unsigned char>& apdu,
                                 std::vector<unsigned char>& out);
    static int64_t decompose_apdu(const std::vector<unsigned char>& apdu, s_apdu& out);
    static int64_t increment_ssc(sm_params* params);
    // DO87 (tag 0x87, with the padding-content indicator) or DO85 (tag 0x85) of the command data.
    static int64_t sm_module_build_do8x(sm_params* params, const s_apdu& apdu, std::vector<unsigned char>& out,
                                        int tag);
    static int64_t sm_module_build_do97(unsigned long le, std::vector<unsigned char>& out, int extended);
    static int64_t sm_module_build_do8e(sm_params* params, const s_apdu& apdu, const std::vector<unsigned char>& do8x,
                                        const std::vector<unsigned char>& do97, std::vector<unsigned char>& out);
    static int64_t compose_apdu(const s_apdu& apdu, std::vector<unsigned char>& out);
    // ISO/IEC 9797-1 padding method 2: 80 then zero bytes up to the next multiple of the block.
    static int64_t sm_module_ISO9797_pad_meth2_add(const std::vector<unsigned char>& in,
                                                   std::vector<unsigned char>& out, unsigned long blockSize);
    // BER length field for len(data) + extra; empty when data is empty.
    static std::vector<unsigned char> get_enc_data_len(const std::vector<unsigned char>& data, unsigned long extra);
    // 8-byte MACs over SSC || data (padded here): retail MAC (3DES) and CMAC (AES).
    static int64_t sm_module_ISO9797_mac_method3du(const sm_params* params, const std::vector<unsigned char>& data,
                                                   std::vector<unsigned char>& out);
    static int64_t sm_module_ISO9797_cmac_method3du(const sm_params* params, const std::vector<unsigned char>& data,
                                                    std::vector<unsigned char>& out);

    // --- Response verification ---

    // Advances the SSC, verifies the checksum and returns plain data || SW1 SW2 from DO99.
    // Any answer that is not a complete, authentic secure-messaging answer is an error; a plain
    // two-byte status word comes back in out with -3000 so the caller can see what the card said.
    static int64_t smFreeAPDU(sm_params* params, const std::vector<unsigned char>& response,
                              std::vector<unsigned char>& out);
    // The objects of `tags` in the answer, by tag; the scan ends after DO8E (the plain status word
    // follows it).
    static int64_t decompose_response_apdu(const std::vector<unsigned char>& response,
                                           const std::vector<unsigned char>& tags, do_list& out);
    static int64_t sm_module_verify_response_mac(sm_params* params, const do_list& objects);
    // Appends the decrypted, unpadded data of DO87/DO85 to out.
    static int64_t sm_module_decode_rdo8x(const sm_params* params, const uint8_t tag,
                                          const std::vector<unsigned char>& value, std::vector<unsigned char>& out);
    static int64_t sm_module_decode_rdo99(const std::vector<unsigned char>& value, std::vector<unsigned char>& out);
    static int64_t sm_module_decode_rdo8e(const std::vector<unsigned char>& value, std::vector<unsigned char>& out);
    static data lv_data_new_from_tlv(const data& in);
    static int64_t sm_module_ISO9797_pad_meth2_remove(const std::vector<unsigned char>& in,
                                                      std::vector<unsigned char>& out);
};
