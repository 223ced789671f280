// Card side of PACE (ECDH generic mapping) and of secure messaging, both on OpenPACE.
#include <eac/eac.h>
#include <eac/objects.h>
#include <eac/pace.h>
#include <openssl/buffer.h>
#include <openssl/objects.h>

#include <cstring>
#include <mutex>

#include "card_internal.h"

namespace cardsim {

void EacCtxFree::operator()(eac_ctx* ctx) const {
    EAC_CTX_clear_free(ctx);
}
void PaceSecFree::operator()(pace_sec* sec) const {
    PACE_SEC_clear_free(sec);
}

void initOpenPace() {
    static std::once_flag once;
    std::call_once(once, [] { EAC_init(); });
}

namespace {

struct BufFree {
    void operator()(BUF_MEM* b) const { BUF_MEM_clear_free(b); }
};
using BufPtr = std::unique_ptr<BUF_MEM, BufFree>;

BufPtr toBuf(const uint8_t* data, size_t length) {
    BufPtr b(BUF_MEM_new());
    if (!b || !BUF_MEM_grow(b.get(), length)) return nullptr;
    if (length) std::memcpy(b->data, data, length);
    b->length = length;
    return b;
}
BufPtr toBuf(const Bytes& data) {
    return toBuf(data.data(), data.size());
}
Bytes fromBuf(const BUF_MEM* b) {
    return b ? Bytes(reinterpret_cast<const uint8_t*>(b->data), reinterpret_cast<const uint8_t*>(b->data) + b->length)
             : Bytes{};
}

// The PACE protocol NID of a cipher byte (last OID byte), ECDH generic mapping.
int protocolNid(uint8_t cipher) {
    switch (cipher) {
        case 1:
            return NID_id_PACE_ECDH_GM_3DES_CBC_CBC;
        case 2:
            return NID_id_PACE_ECDH_GM_AES_CBC_CMAC_128;
        case 3:
            return NID_id_PACE_ECDH_GM_AES_CBC_CMAC_192;
        case 4:
            return NID_id_PACE_ECDH_GM_AES_CBC_CMAC_256;
    }
    return 0;
}

// The content bytes of the OID OpenPACE registers for a NID.
Bytes oidBytes(int nid) {
    const ASN1_OBJECT* obj = EAC_OBJ_nid2obj(nid);
    if (!obj) return {};
    const unsigned char* data = OBJ_get0_data(obj);
    return Bytes(data, data + OBJ_length(obj));
}

// 7C L { tag L value }
Bytes dynamicData(unsigned tag, const Bytes& value) {
    return tlv(0x7C, tlv(tag, value));
}

// The one object inside 7C that a General Authenticate carries, or nullopt.
std::optional<Tlv> dynamicObject(const Bytes& data, unsigned expectedTag, bool mayBeEmpty) {
    std::vector<Tlv> outer;
    if (!parseTlvs(data.data(), data.size(), outer) || outer.size() != 1 || outer[0].tag != 0x7C) return std::nullopt;
    std::vector<Tlv> inner;
    if (!parseTlvs(outer[0].value.data(), outer[0].value.size(), inner)) return std::nullopt;
    if (inner.empty()) {
        if (mayBeEmpty) return Tlv{};
        return std::nullopt;
    }
    if (inner.size() != 1 || inner[0].tag != expectedTag || inner[0].value.empty()) return std::nullopt;
    return inner[0];
}

}  // namespace

// ---------------------------------------------------------------- PACE

Response CardSim::Impl::mseSetAt(const Apdu& a) {
    pace.reset();
    std::vector<Tlv> objects;
    if (!parseTlvs(a.data.data(), a.data.size(), objects)) return Response::status(0x6A80);
    const Tlv* oid = nullptr;
    const Tlv* ref = nullptr;
    const Tlv* param = nullptr;
    for (const Tlv& t : objects) {
        if (t.tag == 0x80)
            oid = &t;
        else if (t.tag == 0x83)
            ref = &t;
        else if (t.tag == 0x84)
            param = &t;
    }
    if (!oid || !ref || ref->value.size() != 1) return Response::status(0x6A80);

    const PaceInfo* info = nullptr;
    int nid = 0;
    for (const PaceInfo& candidate : config.pace) {
        const int n = protocolNid(static_cast<uint8_t>(candidate.cipher));
        if (!n || oidBytes(n) != oid->value) continue;
        if (param && (param->value.size() != 1 || param->value[0] != candidate.parameterId)) continue;
        info = &candidate;
        nid = n;
        break;
    }
    if (!info) return Response::status(0x6A80);

    const uint8_t passwordRef = ref->value[0];
    std::string password;
    s_type type = PACE_CAN;
    Pin* puk = nullptr;
    if (passwordRef == 0x02) {
        password = config.can;
        type = PACE_CAN;
    } else if (passwordRef == 0x04) {
        for (Pin& p : pins)
            if (p.isPuk) puk = &p;
        if (!puk) return Response::status(0x6A88);
        if (puk->blocked()) return Response::status(0x6983);
        password = puk->value.str();
        type = PACE_PUK;
    } else {
        return Response::status(0x6A88);  // MRZ and PIN are not PACE passwords of this card
    }

    auto run = std::make_unique<PaceRun>();
    run->ctx.reset(EAC_CTX_new());
    if (!run->ctx || !EAC_CTX_init_pace(run->ctx.get(), nid, info->parameterId)) return Response::status(0x6F00);
    run->secret.reset(PACE_SEC_new(password.data(), password.size(), type));
    OPENSSL_cleanse(password.data(), password.size());
    if (!run->secret) return Response::status(0x6F00);
    run->passwordRef = passwordRef;
    pace = std::move(run);
    if (puk && puk->tries < puk->maxTries) return Response::status(static_cast<uint16_t>(0x63C0 | puk->tries));
    return Response::status(0x9000);
}

Response CardSim::Impl::generalAuthenticate(const Apdu& a) {
    if (a.p1 != 0x00 || a.p2 != 0x00) return Response::status(0x6A86);
    if (!pace) return Response::status(0x6985);
    std::unique_ptr<PaceRun> run = std::move(pace);  // put back only while the protocol goes on
    const bool chained = (a.cla & 0x10) != 0;
    const bool last = run->step == 3;
    if (chained == last) return Response::status(0x6985);  // steps 1 to 3 are chained, the token ends the chain
    EAC_CTX* ctx = run->ctx.get();

    switch (run->step) {
        case 0: {
            if (!dynamicObject(a.data, 0, true)) return Response::status(0x6A80);
            BufPtr nonce(PACE_STEP1_enc_nonce(ctx, run->secret.get()));
            if (!nonce) return Response::status(0x6F00);
            run->step = 1;
            Response r{dynamicData(0x80, fromBuf(nonce.get())), 0x9000};
            pace = std::move(run);
            return r;
        }
        case 1: {
            const auto mapping = dynamicObject(a.data, 0x81, false);
            if (!mapping) return Response::status(0x6A80);
            BufPtr own(PACE_STEP3A_generate_mapping_data(ctx));
            BufPtr peer = toBuf(mapping->value);
            if (!own || !peer || !PACE_STEP3A_map_generator(ctx, peer.get())) return Response::status(0x6A80);
            run->step = 2;
            Response r{dynamicData(0x82, fromBuf(own.get())), 0x9000};
            pace = std::move(run);
            return r;
        }
        case 2: {
            const auto ephemeral = dynamicObject(a.data, 0x83, false);
            if (!ephemeral) return Response::status(0x6A80);
            BufPtr own(PACE_STEP3B_generate_ephemeral_key(ctx));
            BufPtr peer = toBuf(ephemeral->value);
            // OpenPACE refuses a peer key equal to its own (a reflected key).
            if (!own || !peer || !PACE_STEP3B_compute_shared_secret(ctx, peer.get()) || !PACE_STEP3C_derive_keys(ctx))
                return Response::status(0x6A80);
            run->terminalKey = ephemeral->value;
            run->step = 3;
            Response r{dynamicData(0x84, fromBuf(own.get())), 0x9000};
            pace = std::move(run);
            return r;
        }
        default: {
            const auto token = dynamicObject(a.data, 0x85, false);
            if (!token) return Response::status(0x6A80);
            BufPtr terminalToken = toBuf(token->value);
            Pin* puk = nullptr;
            if (run->passwordRef == 0x04)
                for (Pin& p : pins)
                    if (p.isPuk) puk = &p;
            if (!terminalToken || PACE_STEP3D_verify_authentication_token(ctx, terminalToken.get()) != 1) {
                // Wrong password: found only here, at the terminal's token.
                if (puk) return wrongPin(*puk);
                return Response::status(config.wrongCanStatus);
            }
            BufPtr terminalKey = toBuf(run->terminalKey);
            BufPtr cardToken(terminalKey ? PACE_STEP3D_compute_authentication_token(ctx, terminalKey.get()) : nullptr);
            if (!cardToken || !EAC_CTX_set_encryption_ctx(ctx, EAC_ID_PACE)) return Response::status(0x6F00);
            if (puk) {
                puk->tries = puk->maxTries;
                puk->verified = true;
            }
            sessionKeys.push_back(fromBuf(ctx->key_ctx->k_enc));
            sessionKeys.push_back(fromBuf(ctx->key_ctx->k_mac));
            nextSm = std::move(run->ctx);
            return Response{dynamicData(0x86, fromBuf(cardToken.get())), 0x9000};
        }
    }
}

// ---------------------------------------------------------------- secure messaging

void CardSim::Impl::dropSecureMessaging() {
    sm.reset();
    nextSm.reset();
}

CardSim::Impl::SmError CardSim::Impl::unwrap(const Apdu& wire, Apdu& plain) {
    std::vector<Tlv> objects;
    if (!parseTlvs(wire.data.data(), wire.data.size(), objects)) return SmError::Missing;
    const Tlv* cryptogram = nullptr;
    const Tlv* le = nullptr;
    const Tlv* mac = nullptr;
    for (size_t i = 0; i < objects.size(); ++i) {
        const Tlv& t = objects[i];
        if ((t.tag == 0x87 || t.tag == 0x85) && !cryptogram && !le && !mac)
            cryptogram = &t;
        else if (t.tag == 0x97 && !le && !mac)
            le = &t;
        else if (t.tag == 0x8E && !mac && i + 1 == objects.size())
            mac = &t;
        else
            return SmError::Mac;  // an object the card does not accept, or out of order
    }
    if (!mac) return SmError::Missing;
    if (mac->value.size() != 8) return SmError::Mac;
    EAC_CTX* ctx = sm.get();
    if (!EAC_increment_ssc(ctx)) return SmError::Mac;

    BufPtr header = toBuf(Bytes{wire.cla, wire.ins, wire.p1, wire.p2});
    BufPtr paddedHeader(header ? EAC_add_iso_pad(ctx, header.get()) : nullptr);
    if (!paddedHeader) return SmError::Mac;
    Bytes macInput = fromBuf(paddedHeader.get());
    if (cryptogram) macInput.insert(macInput.end(), cryptogram->raw.begin(), cryptogram->raw.end());
    if (le) macInput.insert(macInput.end(), le->raw.begin(), le->raw.end());
    BufPtr input = toBuf(macInput);
    BufPtr paddedInput(input ? EAC_add_iso_pad(ctx, input.get()) : nullptr);
    BufPtr macValue = toBuf(mac->value);
    if (!paddedInput || !macValue || EAC_verify_authentication(ctx, paddedInput.get(), macValue.get()) != 1)
        return SmError::Mac;

    plain = Apdu{};
    plain.cla = static_cast<uint8_t>(wire.cla & ~0x0C);
    plain.ins = wire.ins;
    plain.p1 = wire.p1;
    plain.p2 = wire.p2;
    plain.extended = wire.extended;
    if (cryptogram) {
        Bytes enc = cryptogram->value;
        if (cryptogram->tag == 0x87) {
            if (enc.empty() || enc[0] != 0x01) return SmError::Mac;
            enc.erase(enc.begin());
        }
        BufPtr encBuf = toBuf(enc);
        BufPtr decrypted(encBuf && !enc.empty() ? EAC_decrypt(ctx, encBuf.get()) : nullptr);
        BufPtr unpadded(decrypted ? EAC_remove_iso_pad(decrypted.get()) : nullptr);
        if (!unpadded) return SmError::Mac;
        plain.data = fromBuf(unpadded.get());
    }
    if (le) {
        const Bytes& v = le->value;
        if (v.size() == 1) {
            plain.hasLe = true;
            plain.ne = v[0] == 0 ? 256 : v[0];
        } else if (v.size() == 2) {
            plain.hasLe = true;
            plain.extended = true;
            const size_t n = size_t{v[0]} << 8 | v[1];
            plain.ne = n == 0 ? 65536 : n;
        } else if (!v.empty()) {
            return SmError::Mac;
        }
    }
    if (plain.data.size() > 255 || plain.ne > 256) plain.extended = true;
    return SmError::None;
}

Bytes CardSim::Impl::wrap(const Response& response, uint8_t ins) {
    EAC_CTX* ctx = sm.get();
    const Bytes sw = {static_cast<uint8_t>(response.sw >> 8), static_cast<uint8_t>(response.sw)};
    Bytes body;
    if (!EAC_increment_ssc(ctx)) return {0x69, 0x88};
    if (!response.data.empty()) {
        BufPtr data = toBuf(response.data);
        BufPtr padded(data ? EAC_add_iso_pad(ctx, data.get()) : nullptr);
        BufPtr encrypted(padded ? EAC_encrypt(ctx, padded.get()) : nullptr);
        if (!encrypted) return {0x6F, 0x00};
        Bytes value = fromBuf(encrypted.get());
        // Odd instructions carry BER-TLV data: DO 85 without the padding indicator.
        if (!(ins & 1)) value.insert(value.begin(), 0x01);
        body = tlv((ins & 1) ? 0x85 : 0x87, value);
    }
    const Bytes status = tlv(0x99, sw);
    body.insert(body.end(), status.begin(), status.end());
    BufPtr input = toBuf(body);
    BufPtr paddedInput(input ? EAC_add_iso_pad(ctx, input.get()) : nullptr);
    BufPtr mac(paddedInput ? EAC_authenticate(ctx, paddedInput.get()) : nullptr);
    if (!mac) return {0x6F, 0x00};
    const Bytes checksum = tlv(0x8E, fromBuf(mac.get()));
    body.insert(body.end(), checksum.begin(), checksum.end());
    body.insert(body.end(), sw.begin(), sw.end());
    return body;
}

}  // namespace cardsim
