#pragma once

// OpenPACE (libeac) as the independent other side of PACE and secure messaging, for tests and
// benchmarks only. Header-only so that the benchmark program can use it as well.

#include <eac/eac.h>
#include <eac/objects.h>
#include <eac/pace.h>
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/buffer.h>
#include <openssl/objects.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace openpace {

using bytes = std::vector<unsigned char>;

inline void initOnce() {
    static std::once_flag once;
    std::call_once(once, [] { EAC_init(); });
}

struct BufFree {
    void operator()(BUF_MEM* b) const { BUF_MEM_clear_free(b); }
};
using buf_ptr = std::unique_ptr<BUF_MEM, BufFree>;
struct CtxFree {
    void operator()(EAC_CTX* c) const { EAC_CTX_clear_free(c); }
};
using ctx_ptr = std::unique_ptr<EAC_CTX, CtxFree>;
struct SecFree {
    void operator()(PACE_SEC* s) const { PACE_SEC_clear_free(s); }
};
using sec_ptr = std::unique_ptr<PACE_SEC, SecFree>;

inline buf_ptr toBuf(const unsigned char* data, size_t len) {
    buf_ptr b(BUF_MEM_new());
    if (!b || (len != 0 && BUF_MEM_grow(b.get(), len) == 0)) return nullptr;
    if (len != 0) std::memcpy(b->data, data, len);
    b->length = len;
    return b;
}
inline buf_ptr toBuf(const bytes& v) {
    return toBuf(v.data(), v.size());
}
inline bytes fromBuf(const BUF_MEM* b) {
    if (b == nullptr) return {};
    return bytes(reinterpret_cast<const unsigned char*>(b->data),
                 reinterpret_cast<const unsigned char*>(b->data) + b->length);
}

inline void appendLength(bytes& out, size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<unsigned char>(n));
    } else if (n <= 0xFF) {
        out.insert(out.end(), {0x81, static_cast<unsigned char>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
    }
}

inline bool readLength(const bytes& in, size_t& pos, size_t& len) {
    if (pos >= in.size()) return false;
    unsigned char first = in[pos++];
    if (first < 0x80) {
        len = first;
        return true;
    }
    size_t k = first & 0x7F;
    if (k == 0 || k > 3 || in.size() - pos < k) return false;
    len = 0;
    for (size_t i = 0; i < k; ++i) len = (len << 8) | in[pos++];
    return true;
}

// 7C L tag L value
inline bytes dynamicAuth(unsigned char tag, const bytes& value) {
    bytes inner{tag};
    appendLength(inner, value.size());
    inner.insert(inner.end(), value.begin(), value.end());
    bytes out{0x7C};
    appendLength(out, inner.size());
    out.insert(out.end(), inner.begin(), inner.end());
    return out;
}

// The value of the single object `tag` inside 7C; empty when the data is not exactly that.
inline bytes innerValue(const bytes& data, unsigned char tag) {
    size_t pos = 0, len = 0;
    if (data.empty() || data[pos++] != 0x7C || !readLength(data, pos, len) || len != data.size() - pos) return {};
    if (pos >= data.size() || data[pos++] != tag || !readLength(data, pos, len) || len != data.size() - pos) return {};
    return bytes(data.begin() + static_cast<std::ptrdiff_t>(pos), data.end());
}

// NID of id-PACE-ECDH-GM-<cipher> (cipher 1 3DES, 2-4 AES-128/192/256).
inline int gmProtocolNid(int cipher) {
    initOnce();
    switch (cipher) {
        case 1:
            return NID_id_PACE_ECDH_GM_3DES_CBC_CBC;
        case 2:
            return NID_id_PACE_ECDH_GM_AES_CBC_CMAC_128;
        case 3:
            return NID_id_PACE_ECDH_GM_AES_CBC_CMAC_192;
        case 4:
            return NID_id_PACE_ECDH_GM_AES_CBC_CMAC_256;
        default:
            return NID_undef;
    }
}

// DER OBJECT IDENTIFIER of a protocol, from OpenPACE's own object table.
inline bytes oidDer(int nid) {
    const ASN1_OBJECT* obj = EAC_OBJ_nid2obj(nid);
    if (obj == nullptr) return {};
    int len = i2d_ASN1_OBJECT(obj, nullptr);
    if (len <= 0) return {};
    bytes out(static_cast<size_t>(len));
    unsigned char* p = out.data();
    i2d_ASN1_OBJECT(obj, &p);
    return out;
}

// EF.CardAccess with one PACEInfo { protocol, version 2, parameterId }.
inline bytes cardAccess(int cipher, int parameterId) {
    bytes info = oidDer(gmProtocolNid(cipher));
    info.insert(info.end(), {0x02, 0x01, 0x02, 0x02, 0x01, static_cast<unsigned char>(parameterId)});
    bytes seq{0x30};
    appendLength(seq, info.size());
    seq.insert(seq.end(), info.begin(), info.end());
    bytes set{0x31};
    appendLength(set, seq.size());
    set.insert(set.end(), seq.begin(), seq.end());
    return set;
}

// One side of a PACE run driven through OpenPACE's steps.
class Party {
public:
    bool init(const bytes& ef, const std::string& secret, s_type type) {
        initOnce();
        ctx_.reset(EAC_CTX_new());
        sec_.reset(PACE_SEC_new(secret.data(), secret.size(), type));
        return ctx_ && sec_ && EAC_CTX_init_ef_cardaccess(ef.data(), ef.size(), ctx_.get()) == 1;
    }
    EAC_CTX* ctx() const { return ctx_.get(); }
    const PACE_SEC* sec() const { return sec_.get(); }

protected:
    ctx_ptr ctx_;
    sec_ptr sec_;
};

// The card: answers the four General Authenticate commands, then secure messaging.
class Card : public Party {
public:
    // GA 1 answer: 7C L 80 L z
    bytes ga1() {
        buf_ptr z(PACE_STEP1_enc_nonce(ctx(), sec()));
        return z ? dynamicAuth(0x80, fromBuf(z.get())) : bytes{};
    }
    // GA 2: terminal mapping key in, card mapping key out.
    bytes ga2(const bytes& request) {
        buf_ptr mT = toBuf(innerValue(request, 0x81));
        if (!mT || mT->length == 0) return {};
        buf_ptr mC(PACE_STEP3A_generate_mapping_data(ctx()));
        if (!mC || PACE_STEP3A_map_generator(ctx(), mT.get()) != 1) return {};
        return dynamicAuth(0x82, fromBuf(mC.get()));
    }
    // GA 3: terminal ephemeral key in, card ephemeral key out; keys derived.
    bytes ga3(const bytes& request) {
        eT_ = toBuf(innerValue(request, 0x83));
        if (!eT_ || eT_->length == 0) return {};
        buf_ptr eC(PACE_STEP3B_generate_ephemeral_key(ctx()));
        if (!eC || PACE_STEP3B_compute_shared_secret(ctx(), eT_.get()) != 1 || PACE_STEP3C_derive_keys(ctx()) != 1)
            return {};
        return dynamicAuth(0x84, fromBuf(eC.get()));
    }
    // GA 4: verifies the terminal token; answers with the card token and switches to SM.
    bytes ga4(const bytes& request) {
        buf_ptr tT = toBuf(innerValue(request, 0x85));
        if (!tT || !eT_ || PACE_STEP3D_verify_authentication_token(ctx(), tT.get()) != 1) return {};
        buf_ptr tC(PACE_STEP3D_compute_authentication_token(ctx(), eT_.get()));
        if (!tC || EAC_CTX_set_encryption_ctx(ctx(), EAC_ID_PACE) != 1) return {};
        return dynamicAuth(0x86, fromBuf(tC.get()));
    }

    // Secure messaging: a protected command checked and unwrapped the way a card does it.
    struct command {
        bytes header;  // CLA INS P1 P2 as sent
        bytes data;    // decrypted command data
        bool hasLe = false;
        bytes le;  // value of DO97
        bool extended = false;
        bool oddIns = false;
    };

    bool unwrap(const bytes& apdu, command& out) {
        out = {};
        if (apdu.size() < 5 || EAC_increment_ssc(ctx()) != 1) return false;
        out.header.assign(apdu.begin(), apdu.begin() + 4);
        size_t pos = 4, lc = 0;
        if (apdu[4] == 0x00 && apdu.size() > 7) {
            out.extended = true;
            lc = (static_cast<size_t>(apdu[5]) << 8) | apdu[6];
            pos = 7;
            if (apdu.size() != pos + lc + 2 || apdu[pos + lc] != 0 || apdu[pos + lc + 1] != 0) return false;
        } else {
            lc = apdu[4];
            pos = 5;
            if (apdu.size() != pos + lc + 1 || apdu[pos + lc] != 0) return false;
        }
        const bytes body(apdu.begin() + static_cast<std::ptrdiff_t>(pos),
                         apdu.begin() + static_cast<std::ptrdiff_t>(pos + lc));
        // Walk the objects: [87|85] [97] 8E, in that order.
        size_t p = 0;
        bytes cryptogram, macInput, mac;
        bool sawMac = false;
        while (p < body.size()) {
            const size_t start = p;
            const unsigned char tag = body[p++];
            size_t len = 0;
            if (!readLength(body, p, len) || len > body.size() - p) return false;
            const bytes value(body.begin() + static_cast<std::ptrdiff_t>(p),
                              body.begin() + static_cast<std::ptrdiff_t>(p + len));
            p += len;
            if (sawMac) return false;
            if (tag == 0x87 || tag == 0x85) {
                out.oddIns = tag == 0x85;
                if (tag == 0x87) {
                    if (value.empty() || value[0] != 0x01) return false;
                    cryptogram.assign(value.begin() + 1, value.end());
                } else {
                    cryptogram = value;
                }
                macInput.insert(macInput.end(), body.begin() + static_cast<std::ptrdiff_t>(start),
                                body.begin() + static_cast<std::ptrdiff_t>(p));
            } else if (tag == 0x97) {
                out.hasLe = true;
                out.le = value;
                macInput.insert(macInput.end(), body.begin() + static_cast<std::ptrdiff_t>(start),
                                body.begin() + static_cast<std::ptrdiff_t>(p));
            } else if (tag == 0x8E) {
                mac = value;
                sawMac = true;
            } else {
                return false;
            }
        }
        if (!sawMac || mac.size() != 8) return false;
        // MAC input: padded header || objects, padded; OpenPACE prepends the SSC.
        buf_ptr header = toBuf(out.header);
        buf_ptr paddedHeader(EAC_add_iso_pad(ctx(), header.get()));
        if (!paddedHeader) return false;
        bytes full = fromBuf(paddedHeader.get());
        full.insert(full.end(), macInput.begin(), macInput.end());
        buf_ptr fullBuf = toBuf(full);
        buf_ptr paddedFull(EAC_add_iso_pad(ctx(), fullBuf.get()));
        buf_ptr macBuf = toBuf(mac);
        if (!paddedFull || EAC_verify_authentication(ctx(), paddedFull.get(), macBuf.get()) != 1) return false;
        if (!cryptogram.empty()) {
            buf_ptr c = toBuf(cryptogram);
            buf_ptr plain(EAC_decrypt(ctx(), c.get()));
            if (!plain) return false;
            buf_ptr unpadded(EAC_remove_iso_pad(plain.get()));
            if (!unpadded) return false;
            out.data = fromBuf(unpadded.get());
        }
        return true;
    }

    // A protected answer: [87 L 01 cryptogram] 99 02 SW 8E 08 MAC SW.
    bytes wrap(const bytes& data, unsigned char sw1, unsigned char sw2) {
        if (EAC_increment_ssc(ctx()) != 1) return {};
        bytes objects;
        if (!data.empty()) {
            buf_ptr d = toBuf(data);
            buf_ptr padded(EAC_add_iso_pad(ctx(), d.get()));
            buf_ptr c(padded ? EAC_encrypt(ctx(), padded.get()) : nullptr);
            if (!c) return {};
            bytes cv = fromBuf(c.get());
            objects.push_back(0x87);
            appendLength(objects, cv.size() + 1);
            objects.push_back(0x01);
            objects.insert(objects.end(), cv.begin(), cv.end());
        }
        objects.insert(objects.end(), {0x99, 0x02, sw1, sw2});
        buf_ptr o = toBuf(objects);
        buf_ptr padded(EAC_add_iso_pad(ctx(), o.get()));
        buf_ptr mac(padded ? EAC_authenticate(ctx(), padded.get()) : nullptr);
        if (!mac || mac->length != 8) return {};
        bytes out = objects;
        out.insert(out.end(), {0x8E, 0x08});
        bytes m = fromBuf(mac.get());
        out.insert(out.end(), m.begin(), m.end());
        out.insert(out.end(), {sw1, sw2});
        return out;
    }

    // The card's send sequence counter as a number (fits: tests run few exchanges).
    unsigned long ssc() const { return ctx()->ssc == nullptr ? ~0ul : BN_get_word(ctx()->ssc); }
    bytes kEnc() const { return fromBuf(ctx()->key_ctx->k_enc); }
    bytes kMac() const { return fromBuf(ctx()->key_ctx->k_mac); }

private:
    buf_ptr eT_;
};

// The terminal side through OpenPACE, for comparisons in the benchmark.
class Terminal : public Party {
public:
    bool ga1(const bytes& answer) {
        buf_ptr z = toBuf(innerValue(answer, 0x80));
        return z && PACE_STEP2_dec_nonce(ctx(), sec(), z.get()) == 1;
    }
    bytes ga2Request() {
        buf_ptr m(PACE_STEP3A_generate_mapping_data(ctx()));
        return m ? dynamicAuth(0x81, fromBuf(m.get())) : bytes{};
    }
    bool ga2(const bytes& answer) {
        buf_ptr m = toBuf(innerValue(answer, 0x82));
        return m && PACE_STEP3A_map_generator(ctx(), m.get()) == 1;
    }
    bytes ga3Request() {
        buf_ptr e(PACE_STEP3B_generate_ephemeral_key(ctx()));
        return e ? dynamicAuth(0x83, fromBuf(e.get())) : bytes{};
    }
    bool ga3(const bytes& answer) {
        eC_ = toBuf(innerValue(answer, 0x84));
        return eC_ && PACE_STEP3B_compute_shared_secret(ctx(), eC_.get()) == 1 && PACE_STEP3C_derive_keys(ctx()) == 1;
    }
    bytes ga4Request() {
        buf_ptr t(PACE_STEP3D_compute_authentication_token(ctx(), eC_.get()));
        return t ? dynamicAuth(0x85, fromBuf(t.get())) : bytes{};
    }
    bool ga4(const bytes& answer) {
        buf_ptr t = toBuf(innerValue(answer, 0x86));
        return t && PACE_STEP3D_verify_authentication_token(ctx(), t.get()) == 1 &&
               EAC_CTX_set_encryption_ctx(ctx(), EAC_ID_PACE) == 1;
    }

private:
    buf_ptr eC_;
};

}  // namespace openpace
