// Terminal side of PACE and secure messaging for the card tests, on OpenPACE.
#include "terminal.h"

#include <eac/eac.h>
#include <eac/objects.h>
#include <eac/pace.h>
#include <openssl/buffer.h>
#include <openssl/objects.h>

#include <cstring>
#include <mutex>

namespace cardsim {
namespace {

struct BufFree {
    void operator()(BUF_MEM* b) const { BUF_MEM_clear_free(b); }
};
using Buf = std::unique_ptr<BUF_MEM, BufFree>;
struct CtxFree {
    void operator()(EAC_CTX* c) const { EAC_CTX_clear_free(c); }
};
struct SecFree {
    void operator()(PACE_SEC* s) const { PACE_SEC_clear_free(s); }
};

Buf buf(const Bytes& data) {
    Buf b(BUF_MEM_new());
    if (!b || !BUF_MEM_grow(b.get(), data.size())) return nullptr;
    if (!data.empty()) std::memcpy(b->data, data.data(), data.size());
    b->length = data.size();
    return b;
}

Bytes bytes(const BUF_MEM* b) {
    if (!b) return {};
    const auto* p = reinterpret_cast<const uint8_t*>(b->data);
    return Bytes(p, p + b->length);
}

void putLength(Bytes& out, size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n));
    }
}

Bytes tagged(uint8_t tag, const Bytes& value) {
    Bytes out{tag};
    putLength(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

// Reads one TLV at `pos`; false when malformed.
bool readTlv(const Bytes& in, size_t& pos, uint8_t& tag, Bytes& value, Bytes* raw = nullptr) {
    const size_t start = pos;
    if (pos + 2 > in.size()) return false;
    tag = in[pos++];
    size_t len = in[pos++];
    if (len == 0x81 || len == 0x82) {
        const size_t n = len & 0x7F;
        if (pos + n > in.size()) return false;
        len = 0;
        for (size_t i = 0; i < n; ++i) len = len << 8 | in[pos++];
    } else if (len > 0x82) {
        return false;
    }
    if (pos + len > in.size()) return false;
    value.assign(in.begin() + static_cast<long>(pos), in.begin() + static_cast<long>(pos + len));
    pos += len;
    if (raw) raw->assign(in.begin() + static_cast<long>(start), in.begin() + static_cast<long>(pos));
    return true;
}

// The value of the single object inside a 7C answer.
std::optional<Bytes> dynamicValue(const Bytes& data, uint8_t expected) {
    size_t pos = 0;
    uint8_t tag;
    Bytes outer;
    if (!readTlv(data, pos, tag, outer) || tag != 0x7C || pos != data.size()) return std::nullopt;
    size_t inner = 0;
    Bytes value;
    if (!readTlv(outer, inner, tag, value) || tag != expected || inner != outer.size()) return std::nullopt;
    return value;
}

Bytes shortApdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data, bool le) {
    Bytes out{cla, ins, p1, p2};
    if (!data.empty()) {
        out.push_back(static_cast<uint8_t>(data.size()));
        out.insert(out.end(), data.begin(), data.end());
    }
    if (le) out.push_back(0x00);
    return out;
}

}  // namespace

struct PaceTerminal::Impl {
    std::unique_ptr<EAC_CTX, CtxFree> channel;
};

PaceTerminal::PaceTerminal(Transport transport) : impl_(std::make_unique<Impl>()), transport_(std::move(transport)) {
    static std::once_flag once;
    std::call_once(once, [] { EAC_init(); });
}

PaceTerminal::~PaceTerminal() = default;

bool PaceTerminal::channelOpen() const {
    return impl_->channel != nullptr;
}
void PaceTerminal::closeChannel() {
    impl_->channel.reset();
}

bool PaceTerminal::sessionKeys(Bytes& encryption, Bytes& mac) const {
    const EAC_CTX* ctx = impl_->channel.get();
    if (!ctx || !ctx->key_ctx || !ctx->key_ctx->k_enc || !ctx->key_ctx->k_mac) return false;
    encryption = bytes(ctx->key_ctx->k_enc);
    mac = bytes(ctx->key_ctx->k_mac);
    return true;
}

std::optional<CardResponse> PaceTerminal::plain(const Bytes& command) {
    std::optional<Bytes> raw = transport_(command);
    if (!raw || raw->size() < 2) return std::nullopt;
    CardResponse r;
    r.data.assign(raw->begin(), raw->end() - 2);
    r.sw = static_cast<uint16_t>((*raw)[raw->size() - 2] << 8 | raw->back());
    for (int guard = 0; (r.sw >> 8) == 0x61 && guard < 64; ++guard) {
        std::optional<Bytes> more = transport_({0x00, 0xC0, 0x00, 0x00, static_cast<uint8_t>(r.sw & 0xFF)});
        if (!more || more->size() < 2) return std::nullopt;
        r.data.insert(r.data.end(), more->begin(), more->end() - 2);
        r.sw = static_cast<uint16_t>((*more)[more->size() - 2] << 8 | more->back());
    }
    lastSw_ = r.sw;
    return r;
}

PaceTerminal::Result PaceTerminal::establish(const std::string& password, int type, const Bytes& cardAccessIn) {
    impl_->channel.reset();
    Bytes cardAccess = cardAccessIn;
    if (cardAccess.empty()) {
        auto ca = readFile({}, {0x01, 0x1C});
        if (!ca) return Result::CardAccess;
        cardAccess = *ca;
    }
    std::unique_ptr<EAC_CTX, CtxFree> ctx(EAC_CTX_new());
    if (!ctx || !EAC_CTX_init_ef_cardaccess(cardAccess.data(), cardAccess.size(), ctx.get()) || !ctx->pace_ctx)
        return Result::CardAccess;
    const ASN1_OBJECT* obj = EAC_OBJ_nid2obj(ctx->pace_ctx->protocol);
    if (!obj) return Result::CardAccess;
    const Bytes oid(OBJ_get0_data(obj), OBJ_get0_data(obj) + OBJ_length(obj));

    Bytes mse = tagged(0x80, oid);
    const Bytes ref = tagged(0x83, {static_cast<uint8_t>(type)});
    const Bytes id = tagged(0x84, {static_cast<uint8_t>(ctx->pace_ctx->id)});
    mse.insert(mse.end(), ref.begin(), ref.end());
    mse.insert(mse.end(), id.begin(), id.end());
    auto r = plain(shortApdu(0x00, 0x22, 0xC1, 0xA4, mse, false));
    if (!r) return Result::Transport;
    if (r->sw != 0x9000 && (r->sw & 0xFFF0) != 0x63C0) return Result::Refused;

    std::unique_ptr<PACE_SEC, SecFree> secret(
        PACE_SEC_new(password.data(), password.size(), type == 4 ? PACE_PUK : PACE_CAN));
    if (!secret) return Result::Protocol;

    // 1: encrypted nonce
    r = plain(shortApdu(0x10, 0x86, 0x00, 0x00, {0x7C, 0x00}, true));
    if (!r) return Result::Transport;
    if (r->sw != 0x9000) return Result::Refused;
    auto nonce = dynamicValue(r->data, 0x80);
    Buf nonceBuf = nonce ? buf(*nonce) : nullptr;
    if (!nonceBuf || !PACE_STEP2_dec_nonce(ctx.get(), secret.get(), nonceBuf.get())) return Result::Protocol;

    // 2: mapping
    Buf mapping(PACE_STEP3A_generate_mapping_data(ctx.get()));
    if (!mapping) return Result::Protocol;
    r = plain(shortApdu(0x10, 0x86, 0x00, 0x00, tagged(0x7C, tagged(0x81, bytes(mapping.get()))), true));
    if (!r) return Result::Transport;
    if (r->sw != 0x9000) return Result::Refused;
    auto cardMapping = dynamicValue(r->data, 0x82);
    Buf cardMappingBuf = cardMapping ? buf(*cardMapping) : nullptr;
    if (!cardMappingBuf || !PACE_STEP3A_map_generator(ctx.get(), cardMappingBuf.get())) return Result::Protocol;

    // 3: key agreement
    Buf ephemeral(PACE_STEP3B_generate_ephemeral_key(ctx.get()));
    if (!ephemeral) return Result::Protocol;
    r = plain(shortApdu(0x10, 0x86, 0x00, 0x00, tagged(0x7C, tagged(0x83, bytes(ephemeral.get()))), true));
    if (!r) return Result::Transport;
    if (r->sw != 0x9000) return Result::Refused;
    auto cardKey = dynamicValue(r->data, 0x84);
    Buf cardKeyBuf = cardKey ? buf(*cardKey) : nullptr;
    if (!cardKeyBuf || !PACE_STEP3B_compute_shared_secret(ctx.get(), cardKeyBuf.get()) ||
        !PACE_STEP3C_derive_keys(ctx.get()))
        return Result::Protocol;

    // 4: mutual authentication
    Buf token(PACE_STEP3D_compute_authentication_token(ctx.get(), cardKeyBuf.get()));
    if (!token) return Result::Protocol;
    r = plain(shortApdu(0x00, 0x86, 0x00, 0x00, tagged(0x7C, tagged(0x85, bytes(token.get()))), true));
    if (!r) return Result::Transport;
    if ((r->sw >> 8) == 0x63) return Result::WrongPassword;
    if (r->sw != 0x9000) return Result::Refused;
    auto cardToken = dynamicValue(r->data, 0x86);
    Buf cardTokenBuf = cardToken ? buf(*cardToken) : nullptr;
    if (!cardTokenBuf || PACE_STEP3D_verify_authentication_token(ctx.get(), cardTokenBuf.get()) != 1)
        return Result::CardToken;
    if (!EAC_CTX_set_encryption_ctx(ctx.get(), EAC_ID_PACE)) return Result::Protocol;
    impl_->channel = std::move(ctx);
    return Result::Ok;
}

std::optional<Bytes> PaceTerminal::protect(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data,
                                           std::optional<size_t> ne) {
    EAC_CTX* ctx = impl_->channel.get();
    if (!ctx || !EAC_increment_ssc(ctx)) return std::nullopt;
    const uint8_t pcla = static_cast<uint8_t>(cla | 0x0C);
    Bytes objects;
    if (!data.empty()) {
        Buf plainData = buf(data);
        Buf padded(plainData ? EAC_add_iso_pad(ctx, plainData.get()) : nullptr);
        Buf enc(padded ? EAC_encrypt(ctx, padded.get()) : nullptr);
        if (!enc) return std::nullopt;
        Bytes value = bytes(enc.get());
        if (!(ins & 1)) value.insert(value.begin(), 0x01);
        objects = tagged((ins & 1) ? 0x85 : 0x87, value);
    }
    bool extended = data.size() > 255;
    if (ne) {
        Bytes le;
        if (*ne > 256 || (*ne == 0 && extended)) {
            extended = true;
            le = {static_cast<uint8_t>(*ne >> 8 & 0xFF), static_cast<uint8_t>(*ne & 0xFF)};
        } else {
            le = {static_cast<uint8_t>(*ne & 0xFF)};
        }
        const Bytes do97 = tagged(0x97, le);
        objects.insert(objects.end(), do97.begin(), do97.end());
    }
    Buf header = buf({pcla, ins, p1, p2});
    Buf paddedHeader(header ? EAC_add_iso_pad(ctx, header.get()) : nullptr);
    if (!paddedHeader) return std::nullopt;
    Bytes macInput = bytes(paddedHeader.get());
    macInput.insert(macInput.end(), objects.begin(), objects.end());
    Buf in = buf(macInput);
    Buf paddedIn(in ? EAC_add_iso_pad(ctx, in.get()) : nullptr);
    Buf mac(paddedIn ? EAC_authenticate(ctx, paddedIn.get()) : nullptr);
    if (!mac) return std::nullopt;
    const Bytes do8e = tagged(0x8E, bytes(mac.get()));
    objects.insert(objects.end(), do8e.begin(), do8e.end());

    Bytes apdu{pcla, ins, p1, p2};
    if (extended || objects.size() > 255) {
        apdu.push_back(0x00);
        apdu.push_back(static_cast<uint8_t>(objects.size() >> 8));
        apdu.push_back(static_cast<uint8_t>(objects.size()));
        apdu.insert(apdu.end(), objects.begin(), objects.end());
        apdu.push_back(0x00);
        apdu.push_back(0x00);
    } else {
        apdu.push_back(static_cast<uint8_t>(objects.size()));
        apdu.insert(apdu.end(), objects.begin(), objects.end());
        apdu.push_back(0x00);
    }
    return apdu;
}

std::optional<CardResponse> PaceTerminal::unprotect(const Bytes& response) {
    EAC_CTX* ctx = impl_->channel.get();
    if (!ctx || response.size() < 2) return std::nullopt;
    const uint16_t outerSw = static_cast<uint16_t>(response[response.size() - 2] << 8 | response.back());
    const Bytes body(response.begin(), response.end() - 2);
    if (!EAC_increment_ssc(ctx)) return std::nullopt;
    if (body.empty()) {  // a plain status word: the card has closed the channel
        impl_->channel.reset();
        lastSw_ = outerSw;
        return CardResponse{{}, outerSw};
    }
    Bytes cryptogramRaw, cryptogram, statusRaw, status, mac;
    uint8_t cryptogramTag = 0;
    size_t pos = 0;
    while (pos < body.size()) {
        uint8_t tag;
        Bytes value, raw;
        if (!readTlv(body, pos, tag, value, &raw)) return std::nullopt;
        if (tag == 0x87 || tag == 0x85) {
            cryptogramTag = tag;
            cryptogram = value;
            cryptogramRaw = raw;
        } else if (tag == 0x99) {
            status = value;
            statusRaw = raw;
        } else if (tag == 0x8E) {
            mac = value;
        } else {
            return std::nullopt;
        }
    }
    if (status.size() != 2 || mac.size() != 8) return std::nullopt;
    Bytes macInput = cryptogramRaw;
    macInput.insert(macInput.end(), statusRaw.begin(), statusRaw.end());
    Buf in = buf(macInput);
    Buf paddedIn(in ? EAC_add_iso_pad(ctx, in.get()) : nullptr);
    Buf macBuf = buf(mac);
    if (!paddedIn || !macBuf || EAC_verify_authentication(ctx, paddedIn.get(), macBuf.get()) != 1) return std::nullopt;
    CardResponse r;
    r.sw = static_cast<uint16_t>(status[0] << 8 | status[1]);
    if (!cryptogram.empty()) {
        if (cryptogramTag == 0x87) {
            if (cryptogram[0] != 0x01) return std::nullopt;
            cryptogram.erase(cryptogram.begin());
        }
        Buf enc = buf(cryptogram);
        Buf dec(enc ? EAC_decrypt(ctx, enc.get()) : nullptr);
        Buf unpadded(dec ? EAC_remove_iso_pad(dec.get()) : nullptr);
        if (!unpadded) return std::nullopt;
        r.data = bytes(unpadded.get());
    }
    lastSw_ = r.sw;
    return r;
}

std::optional<CardResponse> PaceTerminal::secure(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data,
                                                 std::optional<size_t> ne) {
    auto command = protect(cla, ins, p1, p2, data, ne);
    if (!command) return std::nullopt;
    auto raw = plain(*command);
    if (!raw) return std::nullopt;
    Bytes full = raw->data;
    full.push_back(static_cast<uint8_t>(raw->sw >> 8));
    full.push_back(static_cast<uint8_t>(raw->sw));
    return unprotect(full);
}

std::optional<CardResponse> PaceTerminal::exchange(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data,
                                                   std::optional<size_t> ne) {
    if (channelOpen()) return secure(0x00, ins, p1, p2, data, ne);
    Bytes apdu{0x00, ins, p1, p2};
    const bool extended = data.size() > 255 || (ne && *ne > 256);
    if (!data.empty()) {
        if (extended) {
            apdu.push_back(0x00);
            apdu.push_back(static_cast<uint8_t>(data.size() >> 8));
        }
        apdu.push_back(static_cast<uint8_t>(data.size()));
        apdu.insert(apdu.end(), data.begin(), data.end());
    }
    if (ne) {
        if (extended) {
            if (data.empty()) apdu.push_back(0x00);
            apdu.push_back(static_cast<uint8_t>(*ne >> 8 & 0xFF));
        }
        apdu.push_back(static_cast<uint8_t>(*ne & 0xFF));
    }
    return plain(apdu);
}

std::optional<Bytes> PaceTerminal::readFile(const Bytes& aid, const Bytes& path, size_t chunk) {
    if (path.size() < 2 || path.size() % 2) return std::nullopt;
    auto r = aid.empty() ? exchange(0xA4, 0x00, 0x0C, {0x3F, 0x00}, std::nullopt)
                         : exchange(0xA4, 0x04, 0x0C, aid, std::nullopt);
    if (!r || r->sw != 0x9000) return std::nullopt;
    for (size_t i = 0; i < path.size(); i += 2) {
        const bool last = i + 2 == path.size();
        r = exchange(0xA4, last ? 0x02 : 0x01, 0x0C, {path[i], path[i + 1]}, std::nullopt);
        if (!r || (r->sw != 0x9000 && r->sw != 0x6283)) return std::nullopt;
    }
    Bytes content;
    for (size_t offset = 0; offset < 0x8000;) {
        r = exchange(0xB0, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), {}, chunk);
        if (!r) return std::nullopt;
        if (r->sw == 0x6B00) break;
        if (r->sw != 0x9000 && r->sw != 0x6282) return std::nullopt;
        content.insert(content.end(), r->data.begin(), r->data.end());
        offset += r->data.size();
        if (r->sw == 0x6282 || r->data.size() < chunk) break;
    }
    return content;
}

}  // namespace cardsim
