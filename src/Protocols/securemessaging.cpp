#include "Protocols/securemessaging.h"

#include <openssl/crypto.h>

#include "Data/wipe.h"
#include "logger.h"
#include "security_lib.h"

namespace {

constexpr const char* kLogFile = "Protocols/securemessaging";
constexpr unsigned long kLogMask = gc_log::kSecureMessaging;
constexpr unsigned long kErrMask = gc_log::kError | gc_log::kSecureMessaging;

constexpr int kAlg3Des = GC_Security::ALG_3DES;
constexpr unsigned long kMacLength = 8;

// Every test below is 3DES against any other algorithm value (which counts as AES).
bool is3Des(const GC_SecureMessaging::sm_params* params) {
    return params->algorithm == kAlg3Des;
}
unsigned long blockSize(const GC_SecureMessaging::sm_params* params) {
    return is3Des(params) ? 8 : 16;
}

int64_t ok(const char* func, int line) {
    GC_LoggerC::ret1(func, kLogFile, line, kLogMask, 0);
    return 0;
}

// The session cipher over whole blocks with the channel's contexts: two-key 3DES-CBC with a zero
// IV, or AES-CBC with the IV E(Kenc, SSC). out gets len bytes. Returns 0, or the contexts' code
// with the log text of that family in `failure`.
int sessionCipher(const GC_SecureMessaging::sm_params* params, bool encrypt, const unsigned char* in, size_t len,
                  std::vector<unsigned char>& out, const char*& failure) {
    failure = is3Des(params) ? "Function crypto des failed" : "Function encrypt value failed";
    out.resize(len);
    return params->keyContexts.cipher(params->algorithm, params->Kenc, params->SSC, encrypt, in, len, out.data());
}

// The 8-byte MAC over SSC || data, padded by method 2 to `block`, with the channel's contexts.
int sessionMac(const GC_SecureMessaging::sm_params* params, const std::vector<unsigned char>& data, size_t block,
               std::vector<unsigned char>& out) {
    // The padding is fed as a piece of its own: no padded copy of the data is made.
    unsigned char padding[16] = {0x80};
    const size_t padLen = block - (params->SSC.size() + data.size()) % block;
    out.resize(kMacLength);
    const int rc = params->keyContexts.mac(
        params->algorithm, params->Kmac,
        {{params->SSC.data(), params->SSC.size()}, {data.data(), data.size()}, {padding, padLen}}, out.data());
    if (rc != 0) out.clear();
    return rc;
}

}  // namespace

void GC_SecureMessaging::forgetKeyContexts(sm_params* params) {
    if (params != nullptr) params->keyContexts.forget();
}

// ---------------------------------------------------------------------------------------------
// Command protection
// ---------------------------------------------------------------------------------------------

int64_t GC_SecureMessaging::smProtectAPDU(sm_params* params, const std::vector<unsigned char>& apdu,
                                          std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    if (params == nullptr || apdu.size() < 4) return GC_FAIL(kErrMask, kInvalidArgument, "Invalid arguments");

    s_apdu plain;
    int64_t rc = decompose_apdu(apdu, plain);
    if (rc != 0) return GC_FAIL(kErrMask, rc, "APDU decomposition failed");

    // AES: the IV of the data object depends on the incremented counter.
    if (!is3Des(params)) {
        rc = increment_ssc(params);
        if (rc != 0) return GC_FAIL(kErrMask, rc, "Cannot increment ssc");
    }

    std::vector<unsigned char> do8x;
    if (plain.dataLen != 0) {
        const int tag = 0x87 ^ ((plain.INS << 1) & 2);  // odd INS: DO85 without indicator
        rc = sm_module_build_do8x(params, plain, do8x, tag);
        if (rc != 0) return GC_FAIL(kErrMask, rc, "Cannot create do8x");
    }

    std::vector<unsigned char> do97;
    sm_module_build_do97(static_cast<unsigned long>(plain.Le), do97, plain.apduCase & 0x10);

    std::vector<unsigned char> do8e;
    rc = sm_module_build_do8e(params, plain, do8x, do97, do8e);
    if (rc != 0) return GC_FAIL(kErrMask, rc, "Cannot create do8e");

    s_apdu secured;
    secured.CLA = plain.CLA | 0x0C;
    secured.INS = plain.INS;
    secured.P1 = plain.P1;
    secured.P2 = plain.P2;
    secured.data.appendRaw(do8x.data(), do8x.size());
    secured.data.appendRaw(do97.data(), do97.size());
    secured.data.appendRaw(do8e.data(), do8e.size());
    secured.Lc = secured.data.size();
    secured.dataLen = secured.Lc;
    secured.Le = 0;
    const bool plainExtended = (plain.apduCase & 0x10) != 0;
    secured.apduCase = (secured.Lc <= 200 && plain.Lc <= 200 && plain.Le <= 256 && !plainExtended) ? 4 : 20;

    compose_apdu(secured, out);
    return ok(__func__, __LINE__);
}

int64_t GC_SecureMessaging::decompose_apdu(const std::vector<unsigned char>& apdu, s_apdu& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (apdu.size() < 4) return GC_FAIL(kErrMask, kMalformed, "APDU is too short");
    out.CLA = apdu[0];
    out.INS = apdu[1];
    out.P1 = apdu[2];
    out.P2 = apdu[3];
    out.data.clear();
    out.dataLen = 0;
    out.Lc = 0;
    out.Le = 0;
    out.apduCase = 0;

    const unsigned char* body = apdu.data() + 4;
    const size_t len = apdu.size() - 4;

    if (len == 0) {
        out.apduCase = 1;
        return ok(__func__, __LINE__);
    }

    if (len >= 3 && body[0] == 0x00) {
        // Extended length.
        if (len == 3) {
            out.apduCase = 18;
            const uint64_t le = (static_cast<uint64_t>(body[1]) << 8) | body[2];
            out.Le = le == 0 ? 65536 : le;
            return ok(__func__, __LINE__);
        }
        const uint64_t lc = (static_cast<uint64_t>(body[1]) << 8) | body[2];
        const size_t rest = len - 3;
        if (rest < lc) return GC_FAIL(kErrMask, kMalformed, "APDU lc > len");
        out.Lc = lc;
        out.data.appendRaw(body + 3, lc);
        out.dataLen = lc;
        const size_t left = rest - lc;
        if (left == 0) {
            out.apduCase = 19;
        } else if (left == 1) {
            return GC_FAIL(kErrMask, kMalformed, "Len is too small");
        } else if (left == 2) {
            out.apduCase = 20;
            const uint64_t le = (static_cast<uint64_t>(body[3 + lc]) << 8) | body[4 + lc];
            out.Le = le == 0 ? 65536 : le;
        } else {
            return GC_FAIL(kErrMask, kMalformed, "Len exist");
        }
        return ok(__func__, __LINE__);
    }

    if (len == 1) {
        out.apduCase = 2;
        out.Le = body[0] == 0 ? 256 : body[0];
        return ok(__func__, __LINE__);
    }

    const uint64_t lc = body[0];
    const size_t rest = len - 1;
    if (rest < lc) return GC_FAIL(kErrMask, kMalformed, "APDU lc > len");
    out.Lc = lc;
    out.data.appendRaw(body + 1, lc);
    out.dataLen = lc;
    const size_t left = rest - lc;
    if (left == 0) {
        out.apduCase = 3;
    } else if (left == 1) {
        out.apduCase = 4;
        out.Le = body[1 + lc] == 0 ? 256 : body[1 + lc];
    } else {
        return GC_FAIL(kErrMask, kMalformed, "Len exist");
    }
    return ok(__func__, __LINE__);
}

int64_t GC_SecureMessaging::increment_ssc(sm_params* params) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (params == nullptr) return GC_FAIL(kErrMask, kInvalidArgument, "Param is null");
    if (params->SSC.empty()) return GC_FAIL(kErrMask, kSscEmpty, "SSC size is 0");
    for (size_t i = params->SSC.size(); i-- > 0;) {
        if (++params->SSC[i] != 0) break;  // carry out of the first byte is dropped
    }
    return ok(__func__, __LINE__);
}

int64_t GC_SecureMessaging::sm_module_build_do8x(sm_params* params, const s_apdu& apdu, std::vector<unsigned char>& out,
                                                 int tag) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    if (params == nullptr) return GC_FAIL(kErrMask, kInvalidArgument, "Param is empty");
    if (params->Kenc.empty()) return GC_FAIL(kErrMask, kNoSessionKey, "Session key is empty");

    const unsigned long block = blockSize(params);
    GC_WipedBuffer plain(apdu.data.data(), apdu.data.size());
    GC_WipedBuffer padded(apdu.data.size() + block);
    int64_t rc = sm_module_ISO9797_pad_meth2_add(plain.v, padded.v, block);
    if (rc != 0) return GC_FAIL(kErrMask, rc, "Function padding failed");

    std::vector<unsigned char> cryptogram;
    const char* failure = "";
    const int crc = sessionCipher(params, true, padded.v.data(), padded.v.size(), cryptogram, failure);
    if (crc != 0) {
        GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, static_cast<int>(kCryptoFailed), "%s | %i", failure,
                          crc);
        return kCryptoFailed;
    }

    const bool withIndicator = (tag & 0xFF) == 0x87;
    const std::vector<unsigned char> len = get_enc_data_len(cryptogram, withIndicator ? 1 : 0);
    if (len.empty()) return GC_FAIL(kErrMask, kInvalidArgument, "Param is invalid");
    out.reserve(1 + len.size() + 1 + cryptogram.size());
    out.push_back(static_cast<unsigned char>(tag));
    out.insert(out.end(), len.begin(), len.end());
    if (withIndicator) out.push_back(0x01);
    out.insert(out.end(), cryptogram.begin(), cryptogram.end());
    return ok(__func__, __LINE__);
}

int64_t GC_SecureMessaging::sm_module_build_do97(unsigned long le, std::vector<unsigned char>& out, int extended) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    out.push_back(0x97);
    if (le == 0 || (le == 256 && extended == 0) || (le == 65536 && extended != 0)) {
        if (extended != 0) {
            out.insert(out.end(), {0x02, 0x00, 0x00});
        } else {
            out.insert(out.end(), {0x01, 0x00});
        }
        return ok(__func__, __LINE__);
    }
    unsigned char k = 0;
    for (unsigned long v = le; v != 0; v >>= 8) ++k;
    if (extended != 0 && k < 2) k = 2;
    out.push_back(k);
    for (int i = k - 1; i >= 0; --i) {
        out.push_back(i >= static_cast<int>(sizeof le) ? 0 : static_cast<unsigned char>(le >> (8 * i)));
    }
    return ok(__func__, __LINE__);
}

int64_t GC_SecureMessaging::sm_module_build_do8e(sm_params* params, const s_apdu& apdu,
                                                 const std::vector<unsigned char>& do8x,
                                                 const std::vector<unsigned char>& do97,
                                                 std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    if (params == nullptr) return GC_FAIL(kErrMask, kInvalidArgument, "Param is empty");

    const unsigned long block = blockSize(params);
    const std::vector<unsigned char> header = {static_cast<unsigned char>(apdu.CLA | 0x0C), apdu.INS, apdu.P1, apdu.P2};
    std::vector<unsigned char> macInput;
    int64_t rc = sm_module_ISO9797_pad_meth2_add(header, macInput, block);
    if (rc != 0) return GC_FAIL(kErrMask, rc, "Function padding failed");
    macInput.insert(macInput.end(), do8x.begin(), do8x.end());
    if (do97.size() >= 2 && do97[1] != 0) macInput.insert(macInput.end(), do97.begin(), do97.end());

    std::vector<unsigned char> mac;
    if (is3Des(params)) {
        rc = increment_ssc(params);
        if (rc != 0) return GC_FAIL(kErrMask, rc, "Function increment ssc failed");
        rc = sm_module_ISO9797_mac_method3du(params, macInput, mac);
        if (rc != 0) return GC_FAIL(kErrMask, rc, "Function ISO9797 mac failed");
    } else {
        rc = sm_module_ISO9797_cmac_method3du(params, macInput, mac);
        if (rc != 0) return GC_FAIL(kErrMask, rc, "Function IDO9797 cmac failed");
    }
    out.push_back(0x8E);
    out.push_back(static_cast<unsigned char>(mac.size()));
    out.insert(out.end(), mac.begin(), mac.end());
    return ok(__func__, __LINE__);
}

int64_t GC_SecureMessaging::compose_apdu(const s_apdu& apdu, std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    out.reserve(4 + 3 + apdu.data.size() + 2);
    out.insert(out.end(), {apdu.CLA, apdu.INS, apdu.P1, apdu.P2});
    // The data field written is exactly the data held; Lc is the coded length.
    const auto byte = [](uint64_t v, int shift) { return static_cast<unsigned char>((v >> shift) & 0xFF); };
    switch (apdu.apduCase) {
        case 1:
            break;
        case 2:
            out.push_back(byte(apdu.Le, 0));
            break;
        case 3:
            out.push_back(byte(apdu.Lc, 0));
            out.insert(out.end(), apdu.data.begin(), apdu.data.end());
            break;
        case 4:
            out.push_back(byte(apdu.Lc, 0));
            out.insert(out.end(), apdu.data.begin(), apdu.data.end());
            out.push_back(byte(apdu.Le, 0));
            break;
        case 18:
            out.insert(out.end(), {0x00, byte(apdu.Le, 8), byte(apdu.Le, 0)});
            break;
        case 19:
            out.insert(out.end(), {0x00, byte(apdu.Lc, 8), byte(apdu.Lc, 0)});
            out.insert(out.end(), apdu.data.begin(), apdu.data.end());
            break;
        case 20:
            out.insert(out.end(), {0x00, byte(apdu.Lc, 8), byte(apdu.Lc, 0)});
            out.insert(out.end(), apdu.data.begin(), apdu.data.end());
            out.insert(out.end(), {byte(apdu.Le, 8), byte(apdu.Le, 0)});
            break;
        default:
            break;
    }
    return ok(__func__, __LINE__);
}

int64_t GC_SecureMessaging::sm_module_ISO9797_pad_meth2_add(const std::vector<unsigned char>& in,
                                                            std::vector<unsigned char>& out, unsigned long blockSize) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (in.empty()) return GC_FAIL(kErrMask, kInvalidArgument, "Source is empty");
    if (blockSize == 0) return GC_FAIL(kErrMask, kInvalidArgument, "Param is invalid");
    const size_t total = (in.size() / blockSize + 1) * blockSize;
    if (total <= in.size()) return GC_FAIL(kErrMask, kPaddingOverrun, "Dest len > padding len");
    out.clear();
    out.reserve(total);
    out.insert(out.end(), in.begin(), in.end());
    out.push_back(0x80);
    out.resize(total, 0x00);
    return ok(__func__, __LINE__);
}

std::vector<unsigned char> GC_SecureMessaging::get_enc_data_len(const std::vector<unsigned char>& data,
                                                                unsigned long extra) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::vector<unsigned char> out;
    if (data.empty()) {
        GC_LoggerC::end2(__func__, kLogFile, __LINE__, kErrMask, "Data is empty");
        return out;
    }
    const unsigned long n = data.size() + extra;
    if (n < data.size()) {
        GC_LoggerC::end2(__func__, kLogFile, __LINE__, kErrMask, "Octets num is too big");
        return out;
    }
    if (n < 0x80) {
        out.push_back(static_cast<unsigned char>(n));
    } else {
        unsigned char k = 0;
        for (unsigned long v = n; v != 0; v >>= 8) ++k;
        out.push_back(static_cast<unsigned char>(0x80 + k));
        for (int i = k - 1; i >= 0; --i) out.push_back(static_cast<unsigned char>(n >> (8 * i)));
    }
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return out;
}

int64_t GC_SecureMessaging::sm_module_ISO9797_mac_method3du(const sm_params* params,
                                                            const std::vector<unsigned char>& data,
                                                            std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    if (params == nullptr || params->Kmac.size() != 16 || data.empty() || params->SSC.empty())
        return GC_FAIL(kErrMask, kInvalidArgument, "Param is invalid");
    if (const int crc = sessionMac(params, data, 8, out); crc != 0) {
        GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, static_cast<int>(kCryptoFailed),
                          "Function crypto mac failed | %i", crc);
        return kCryptoFailed;
    }
    return ok(__func__, __LINE__);
}

int64_t GC_SecureMessaging::sm_module_ISO9797_cmac_method3du(const sm_params* params,
                                                             const std::vector<unsigned char>& data,
                                                             std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    if (params == nullptr || params->Kmac.empty() || data.empty() || params->SSC.empty())
        return GC_FAIL(kErrMask, kInvalidArgument, "Param is invalid");
    if (const int crc = sessionMac(params, data, 16, out); crc != 0) {
        GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, static_cast<int>(kCryptoFailed),
                          "Function crypto cmac failed | %i", crc);
        return kCryptoFailed;
    }
    return ok(__func__, __LINE__);
}

// ---------------------------------------------------------------------------------------------
// Response verification
// ---------------------------------------------------------------------------------------------

int64_t GC_SecureMessaging::smFreeAPDU(sm_params* params, const std::vector<unsigned char>& response,
                                       std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    if (params == nullptr || response.empty()) return GC_FAIL(kErrMask, kInvalidArgument, "Param is null");

    int64_t rc = increment_ssc(params);
    if (rc != 0) return GC_FAIL(kErrMask, rc, "Cannot increase ssc after receiving apdu");

    do_list objects;
    rc = decompose_response_apdu(response, {0x87, 0x85, 0x99, 0x8E}, objects);
    if (rc != 0) {
        // No secure-messaging answer: hand the plain status word up for the caller to see, but as
        // a failure, since nothing of it is authentic.
        if (response.size() >= 2) out.assign(response.end() - 2, response.end());
        return GC_FAIL(kErrMask, rc, "Response apdu decomposition failed");
    }

    // The checksum covers only one of the two encrypted-data objects; an answer with both would
    // carry unauthenticated data.
    if (objects.count(0x85) != 0 && objects.count(0x87) != 0)
        return GC_FAIL(kErrMask, kMalformed, "Response holds both do85 and do87");

    rc = sm_module_verify_response_mac(params, objects);
    if (rc != 0) return GC_FAIL(kErrMask, rc, "MAC verification failed - skip");

    // Plain data never exceeds the answer: reserving up front leaves no unwiped copies behind.
    out.reserve(response.size());

    for (const auto& [tag, value] : objects) {
        if (tag == 0x85 || tag == 0x87) {
            rc = sm_module_decode_rdo8x(params, static_cast<uint8_t>(tag), value, out);
        } else if (tag == 0x99) {
            rc = sm_module_decode_rdo99(value, out);
        } else {
            continue;  // DO8E was checked above
        }
        if (rc != 0) {
            gc_wipe(out);
            out.clear();
            return GC_FAIL(kErrMask, rc, "Error while processing apdu");
        }
    }
    return ok(__func__, __LINE__);
}

int64_t GC_SecureMessaging::decompose_response_apdu(const std::vector<unsigned char>& response,
                                                    const std::vector<unsigned char>& tags, do_list& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (response.size() < 3 || tags.empty()) return GC_FAIL(kErrMask, kInvalidArgument, "Param is invalid");
    out.clear();

    const size_t size = response.size();
    size_t pos = 0;
    while (pos < size) {
        const unsigned char tag = response[pos];
        bool known = false;
        for (unsigned char t : tags) known = known || t == tag;
        if (!known) {
            ++pos;
            continue;
        }
        if (pos + 1 >= size) {
            out.clear();
            return GC_FAIL(kErrMask, kInvalidArgument, "Param is invalid");
        }
        size_t lenPos = pos + 1;
        size_t valueLen = response[lenPos];
        size_t valuePos = lenPos + 1;
        if (valueLen >= 0x80) {
            // Long form: at most 3 length bytes, which any answer of at most 64 KiB needs.
            const size_t k = valueLen & 0x0F;
            if (k == 0 || k > 3 || (valueLen & 0x70) != 0 || size - valuePos < k + 1) {
                out.clear();
                return GC_FAIL(kErrMask, kMalformed, "Param is invalid");
            }
            valueLen = 0;
            for (size_t i = 0; i < k; ++i) valueLen = (valueLen << 8) | response[valuePos + i];
            valuePos += k;
        }
        // Nothing may end right after the length field, and the value must lie inside the answer.
        if (valuePos >= size || valueLen > size - valuePos) {
            out.clear();
            return GC_FAIL(kErrMask, kMalformed, "Param is invalid");
        }
        out[tag] = std::vector<unsigned char>(response.begin() + static_cast<std::ptrdiff_t>(valuePos),
                                              response.begin() + static_cast<std::ptrdiff_t>(valuePos + valueLen));
        pos = valuePos + valueLen;
        // The checksum closes the protected objects: what follows is the plain status word, whose
        // SW2 may well equal a tag (69 85, 6A 87).
        if (tag == 0x8E) break;
    }
    if (out.empty()) return GC_FAIL(kErrMask, kObjectMissing, "DoList is empty");
    return ok(__func__, __LINE__);
}

int64_t GC_SecureMessaging::sm_module_verify_response_mac(sm_params* params, const do_list& objects) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (params == nullptr) return GC_FAIL(kErrMask, kInvalidArgument, "Param is null");

    data do8x;
    if (auto it = objects.find(0x87); it != objects.end()) {
        do8x = {it->second, 0x87};
    } else if (auto it85 = objects.find(0x85); it85 != objects.end()) {
        do8x = {it85->second, 0x85};
    } else {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask | gc_log::kMessage,
                        "Cannot find do8x object on the list");
    }
    const auto do99 = objects.find(0x99);
    if (do99 == objects.end()) return GC_FAIL(kErrMask, kObjectMissing, "Cannot find do99 object on the list");
    const auto do8e = objects.find(0x8E);
    if (do8e == objects.end()) return GC_FAIL(kErrMask, kObjectMissing, "Cannot find do8E object on the list");
    if (do8e->second.size() != kMacLength)
        return GC_FAIL(kErrMask, kMalformed, "Cannot decode do8e object. MAC has to be 8 bytes long");

    std::vector<unsigned char> macInput;
    if (!do8x.value.empty()) {
        const data encoded = lv_data_new_from_tlv(do8x);
        macInput.insert(macInput.end(), encoded.value.begin(), encoded.value.end());
    }
    const data encoded99 = lv_data_new_from_tlv({do99->second, 0x99});
    if (encoded99.value.empty()) return GC_FAIL(kErrMask, kObjectMissing, "DO99 missing");
    macInput.insert(macInput.end(), encoded99.value.begin(), encoded99.value.end());

    std::vector<unsigned char> mac;
    const int64_t rc = is3Des(params) ? sm_module_ISO9797_mac_method3du(params, macInput, mac)
                                      : sm_module_ISO9797_cmac_method3du(params, macInput, mac);
    if (rc != 0) return GC_FAIL(kErrMask, rc, "Error cannot calculate mac");
    if (mac.size() < kMacLength || CRYPTO_memcmp(mac.data(), do8e->second.data(), kMacLength) != 0)
        return GC_FAIL(kErrMask, kMacMismatch, "MAC is not equal");
    return ok(__func__, __LINE__);
}

int64_t GC_SecureMessaging::sm_module_decode_rdo8x(const sm_params* params, const uint8_t tag,
                                                   const std::vector<unsigned char>& value,
                                                   std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (params == nullptr) return GC_FAIL(kErrMask, kInvalidArgument, "Param is null");
    const size_t skip = tag == 0x87 ? 1 : 0;  // padding-content indicator
    if (value.size() <= skip) return GC_FAIL(kErrMask, kInvalidArgument, "Param is invalid");
    const size_t length = value.size() - skip;

    GC_WipedBuffer plain(length);
    const char* failure = "";
    // Unlike the command side, the answer side's line carries no primitive code.
    if (sessionCipher(params, false, value.data() + skip, length, plain.v, failure) != 0) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, static_cast<int>(kCryptoFailed), failure);
        return kCryptoFailed;
    }

    GC_WipedBuffer unpadded(plain.v.size());
    const int64_t rc = sm_module_ISO9797_pad_meth2_remove(plain.v, unpadded.v);
    if (rc != 0) return GC_FAIL(kErrMask, rc, "Error while removing padding");
    out.insert(out.end(), unpadded.v.begin(), unpadded.v.end());
    return ok(__func__, __LINE__);
}

int64_t GC_SecureMessaging::sm_module_decode_rdo99(const std::vector<unsigned char>& value,
                                                   std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (value.size() != 2) return GC_FAIL(kErrMask, kMalformed, "Don't know how to interpret this response");
    out.insert(out.end(), value.begin(), value.end());
    return ok(__func__, __LINE__);
}

int64_t GC_SecureMessaging::sm_module_decode_rdo8e(const std::vector<unsigned char>& value,
                                                   std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (value.size() != kMacLength) return GC_FAIL(kErrMask, kMalformed, "MAC has to be 8 bytes long");
    out.insert(out.end(), value.begin(), value.end());
    return ok(__func__, __LINE__);
}

GC_SecureMessaging::data GC_SecureMessaging::lv_data_new_from_tlv(const data& in) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    data out;
    if (in.value.empty()) {
        GC_LoggerC::end2(__func__, kLogFile, __LINE__, kErrMask, "Data value is empty");
        return out;
    }
    const std::vector<unsigned char> len = get_enc_data_len(in.value, 0);
    if (len.empty()) {
        GC_LoggerC::end2(__func__, kLogFile, __LINE__, kErrMask, "Data len is 0");
        return out;
    }
    out.tag = in.tag;
    out.value.reserve(1 + len.size() + in.value.size());
    out.value.push_back(static_cast<unsigned char>(in.tag & 0xFF));
    out.value.insert(out.value.end(), len.begin(), len.end());
    out.value.insert(out.value.end(), in.value.begin(), in.value.end());
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return out;
}

int64_t GC_SecureMessaging::sm_module_ISO9797_pad_meth2_remove(const std::vector<unsigned char>& in,
                                                               std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    if (in.empty()) return GC_FAIL(kErrMask, kInvalidArgument, "Source is empty");
    // Method 2 padding is 80 followed by zero bytes only; anything else is not a padded block.
    size_t i = in.size();
    while (i > 0 && in[i - 1] == 0x00) --i;
    if (i == 0 || in[i - 1] != 0x80) return GC_FAIL(kErrMask, kMalformed, "Padding not found");
    out.assign(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(i - 1));
    return ok(__func__, __LINE__);
}
