#include "Protocols/pacev2.h"

#include <openssl/crypto.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

#include "Data/wipe.h"
#include "ec_params.h"
#include "logger.h"
#include "security_lib.h"

namespace {

constexpr const char* kLogFile = "Protocols/pacev2";
constexpr unsigned long kLogMask = gc_log::kPace;
constexpr unsigned long kErrMask = gc_log::kError | gc_log::kPace;

using bn_ctx_ptr = gc_ossl::BnCtxPtr;
using bn_local = gc_ossl::SecretBnPtr;
using point_local = gc_ossl::SecretEcPointPtr;

// The id-PACE arc (0.4.0.127.0.7.2.2.4) that every PACE protocol OID extends by mapping and cipher.
constexpr unsigned char kPacePrefix[] = {0x04, 0x00, 0x7F, 0x00, 0x07, 0x02, 0x02, 0x04};
constexpr size_t kPaceOidLength = 10;

// A standardised domain parameter id: its curve and the length of an uncompressed point on it.
struct domain {
    int id;
    int nid;  // OpenSSL curve number of a NIST curve, 0 for a Brainpool curve
    gc_ossl::EcGroupPtr (*brainpool)();
    size_t pointLength;
};

const domain* domainFor(int id) {
    static const domain kDomains[] = {
        {10, NID_secp224r1, nullptr, 57},
        {11, 0, &GC_Pace::create_brainpoolP224r1, 57},
        {12, NID_X9_62_prime256v1, nullptr, 65},
        {13, 0, &GC_Pace::create_brainpoolP256r1, 65},
        {14, 0, &GC_Pace::create_brainpoolP320r1, 81},
        {15, NID_secp384r1, nullptr, 97},
        {16, 0, &GC_Pace::create_brainpoolP384r1, 97},
        {17, 0, &GC_Pace::create_brainpoolP512r1, 129},
        {18, NID_secp521r1, nullptr, 133},
    };
    for (const domain& d : kDomains) {
        if (d.id == id) return &d;
    }
    return nullptr;
}

const std::vector<unsigned char>* oidFor(int algorithm) {
    switch (algorithm) {
        case 1:
            return &GC_ECDH_GM_3DES_CBC_CBC;
        case 2:
            return &GC_ECDH_GM_AES_CBC_CMAC_128;
        case 3:
            return &GC_ECDH_GM_AES_CBC_CMAC_192;
        case 4:
            return &GC_ECDH_GM_AES_CBC_CMAC_256;
        default:
            return nullptr;
    }
}

// BER length field.
void appendLength(std::vector<unsigned char>& out, size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<unsigned char>(n));
    } else if (n <= 0xFF) {
        out.insert(out.end(), {0x81, static_cast<unsigned char>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
    }
}

// Reads a BER length of at most two bytes at pos; advances pos past it.
bool readLength(const std::vector<unsigned char>& in, size_t& pos, size_t& len) {
    if (pos >= in.size()) return false;
    const unsigned char first = in[pos++];
    if (first < 0x80) {
        len = first;
        return true;
    }
    const size_t k = first & 0x7F;
    if (k == 0 || k > 2 || in.size() - pos < k) return false;
    len = 0;
    for (size_t i = 0; i < k; ++i) len = (len << 8) | in[pos++];
    return true;
}

// 7C L tag L value.
std::vector<unsigned char> dynamicAuthData(unsigned char tag, const std::vector<unsigned char>& value) {
    std::vector<unsigned char> inner;
    inner.push_back(tag);
    appendLength(inner, value.size());
    inner.insert(inner.end(), value.begin(), value.end());
    std::vector<unsigned char> out;
    out.push_back(0x7C);
    appendLength(out, inner.size());
    out.insert(out.end(), inner.begin(), inner.end());
    return out;
}

bool defaultScalar(const EC_GROUP* group, BIGNUM* scalar) {
    const BIGNUM* order = EC_GROUP_get0_order(group);
    if (order == nullptr) return false;
    for (int tries = 0; tries < 16; ++tries) {
        if (BN_priv_rand_range(scalar, order) != 1) return false;
        if (!BN_is_zero(scalar)) return true;
    }
    return false;
}

int ok(const char* func, int line) {
    GC_LoggerC::ret1(func, kLogFile, line, kLogMask, 0);
    return 0;
}

}  // namespace

GC_Pace::GC_Pace() : GC_Pace(scalar_source{}) {}

GC_Pace::GC_Pace(scalar_source source) : scalarSource_(source ? std::move(source) : scalar_source(defaultScalar)) {}

GC_Pace::~GC_Pace() {
    freeHandle();
}

void GC_Pace::freeHandle() {
    expectedCardToken_.clear();
    selectedOid_.clear();
    nonce_.clear();
    domainParameterId_ = 0;
    version_ = 0;
    algorithm_ = 0;
    blockSize_ = 0;
    publicKeyLength_ = 0;
    terminal_.pub.reset();
    terminal_.priv.reset();
    terminal_.group.reset();
    cardPublicKey_.reset();
    sharedPoint_.reset();
}

void GC_Pace::clearSessionKeys(GC_PaceController::pace_params* params) const {
    if (params == nullptr) return;
    params->Kmac.clear();
    params->Kenc.clear();
    params->SSC.clear();
    GC_SecureMessaging::forgetKeyContexts(params);
}

// ---------------------------------------------------------------------------------------------
// Password, EF.CardAccess, MSE:Set AT
// ---------------------------------------------------------------------------------------------

int GC_Pace::verifySecret(GC_PaceController::pace_params* params, const SecureVector<unsigned char>& secret,
                          const int type) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    freeHandle();
    if (params == nullptr) return GC_FAIL(kErrMask, kSecretType, "Param is null");
    size_t expected = 0;
    switch (type) {
        case 1:
            expected = 20;
            break;
        case 2:
            expected = 6;
            break;
        case 4:
            expected = 8;
            break;
        default:
            return GC_FAIL(kErrMask, kSecretType, "Wrong secret type");
    }
    if (secret.size() != expected) return GC_FAIL(kErrMask, kSecretLength);
    if (&params->secret != &secret) params->secret = secret;
    params->secretType = type;
    return ok(__func__, __LINE__);
}

int GC_Pace::calculateMRZInfo(SecureVector<unsigned char>& mrz) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    // Zero-based first positions of document number (10), date of birth (7), date of expiry (7),
    // each with its check digit.
    size_t doc = 0, birth = 0, expiry = 0;
    switch (mrz.size()) {
        case 90:
            doc = 5;
            birth = 30;
            expiry = 38;
            break;
        case 88:
            doc = 44;
            birth = 57;
            expiry = 65;
            break;
        case 72:
            doc = 36;
            birth = 49;
            expiry = 57;
            break;
        default:
            return GC_FAIL(kErrMask, kSecretType, "Wrong secret type");
    }
    GC_WipedBuffer info(24);
    info.v.insert(info.v.end(), mrz.begin() + doc, mrz.begin() + doc + 10);
    info.v.insert(info.v.end(), mrz.begin() + birth, mrz.begin() + birth + 7);
    info.v.insert(info.v.end(), mrz.begin() + expiry, mrz.begin() + expiry + 7);

    std::vector<std::vector<unsigned char>> pieces;
    pieces.push_back(std::move(info.v));
    GC_WipedBuffer digest(64);
    const int rc = GC_Security::hashValuesToKey(GC_Security::HASH_SHA1, pieces, digest.v);
    gc_wipe(pieces[0]);
    if (rc != 0) return GC_FAIL(kErrMask, kCryptoFailed, "Crypto lib error when calculate hash: %i", rc);
    mrz = digest.secure();
    return ok(__func__, __LINE__);
}

bool GC_Pace::isAlgorithmStronger(const std::vector<unsigned char>& candidate) const {
    // Compared over the shorter of the two: nothing past the selected OID is read, and a candidate
    // that merely extends the selected one does not beat it.
    const size_t n = std::min(candidate.size(), selectedOid_.size());
    for (size_t i = 0; i < n; ++i) {
        if (candidate[i] != selectedOid_[i]) return candidate[i] > selectedOid_[i];
    }
    return false;
}

int GC_Pace::selectPaceParams(GC_PaceController::pace_params* params, std::vector<unsigned char> cardAccess) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (params == nullptr) return GC_FAIL(kErrMask, kWrongAlgorithm, "Param is null");

    const std::vector<unsigned char>& ca = cardAccess;
    const size_t size = ca.size();
    size_t pos = 0;
    int complete = 0;  // PACE entries read with their domain parameter id
    bool selected = false;
    bool emptyOid = false;
    int domainId = 0;
    selectedOid_.clear();
    version_ = 0;

    // Each PACEInfo is read as 06 0A OID 02 01 version 02 01 id; sets and sequences are entered.
    while (pos < size) {
        const unsigned char b = ca[pos];
        if (b == 0x30 || b == 0x31) {
            pos += 2;
            continue;
        }
        if (b != 0x06) {
            ++pos;
            continue;
        }
        if (size - pos < 2) break;
        const size_t len = ca[pos + 1];
        if (len >= 0x80) {  // no PACE OID needs a long length
            pos += 2;
            continue;
        }
        const size_t begin = pos + 2;
        if (size - begin < len) break;  // the OID would run past the file
        const size_t end = begin + len;

        // The INTEGERs that follow: version, then the domain parameter id.
        size_t next = end;
        bool hasVersion = false, hasId = false;
        int version = 0, id = 0;
        if (size - next >= 3 && ca[next] == 0x02 && ca[next + 1] == 0x01) {
            hasVersion = true;
            version = ca[next + 2];
            next += 3;
            if (size - next >= 3 && ca[next] == 0x02 && ca[next + 1] == 0x01) {
                hasId = true;
                id = ca[next + 2];
                next += 3;
            }
        }

        if (len == 0) {
            if (complete == 0) {
                emptyOid = true;
                break;
            }
            pos = next;
            continue;
        }

        const std::vector<unsigned char> candidate(ca.begin() + static_cast<std::ptrdiff_t>(begin),
                                                   ca.begin() + static_cast<std::ptrdiff_t>(end));
        // Only PACE protocols with a cipher this system knows take part in the ranking; an entry
        // without its id never displaces a complete one.
        const bool isPace = len == kPaceOidLength &&
                            std::memcmp(candidate.data(), kPacePrefix, sizeof kPacePrefix) == 0 &&
                            candidate.back() >= 1 && candidate.back() <= 4;
        const bool take = isPace && (complete == 0 || (hasId && isAlgorithmStronger(candidate)));
        if (take) {
            selectedOid_ = candidate;
            selected = true;
            params->algorithm = candidate.back();
            domainId = 0;
            if (hasVersion) version_ = version;
            if (hasId) {
                domainId = id;
                ++complete;
            }
        }
        pos = next;
    }

    if (!selected) return GC_FAIL(kErrMask, kWrongAlgorithm);
    clearSessionKeys(params);
    if (domainFor(domainId) == nullptr) return GC_FAIL(kErrMask, kWrongCurve);
    params->domainParameterId = domainId;
    domainParameterId_ = domainId;
    algorithm_ = params->algorithm;
    if (emptyOid) return GC_FAIL(kErrMask, kEmptyOid);
    return ok(__func__, __LINE__);
}

int GC_Pace::mseSet(GC_PaceController::pace_params* params, std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const std::vector<unsigned char>* oid = oidFor(algorithm_);
    if (params == nullptr || oid == nullptr) return GC_FAIL(kErrMask, kWrongAlgorithm, "Wrong alghoritm");
    out.insert(out.end(), {0x80, 0x0A});
    out.insert(out.end(), oid->begin(), oid->end());
    out.insert(out.end(), {0x83, 0x01, static_cast<unsigned char>(params->secretType)});
    out.insert(out.end(), {0x84, 0x01, static_cast<unsigned char>(params->domainParameterId)});
    blockSize_ = algorithm_ == 1 ? 8 : 16;
    return ok(__func__, __LINE__);
}

// ---------------------------------------------------------------------------------------------
// Nonce, mapping, key agreement
// ---------------------------------------------------------------------------------------------

int GC_Pace::keyDerivation(const std::vector<SecureVector<unsigned char>>& pieces, SecureVector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_Security::data_format format;
    switch (algorithm_) {
        case 1:
        case 2:
            format = GC_Security::HASH_SHA1;
            break;
        case 3:
        case 4:
            format = GC_Security::HASH_SHA256;
            break;
        default:
            return GC_FAIL(kErrMask, kCryptoFailed, "Crypto lib error when calculate hash: %i", -2);
    }
    std::vector<std::vector<unsigned char>> copies;
    copies.reserve(pieces.size());
    for (const auto& piece : pieces) copies.emplace_back(piece.begin(), piece.end());
    GC_WipedBuffer digest(64);
    const int rc = GC_Security::hashValuesToKey(format, copies, digest.v);
    for (auto& copy : copies) gc_wipe(copy);
    if (rc != 0) return GC_FAIL(kErrMask, kCryptoFailed, "Crypto lib error when calculate hash: %i", rc);
    out = digest.secure();
    return ok(__func__, __LINE__);
}

int GC_Pace::decryptNonce(GC_PaceController::pace_params* params, const std::vector<unsigned char>& response) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (params == nullptr) return GC_FAIL(kErrMask, kEcFailure, "Param is null");
    const size_t b = blockSize_ != 0 ? static_cast<size_t>(blockSize_) : (algorithm_ == 1 ? 8u : 16u);
    // 7C L 80 L' nonce, with both lengths matching the answer and whole cipher blocks.
    const size_t size = response.size();
    if (size < b + 4 || size - 2 >= 0x80 || response[0] != 0x7C || response[1] != size - 2 || response[2] != 0x80 ||
        response[3] != size - 4 || (size - 4) % b != 0) {
        freeHandle();
        return GC_FAIL(kErrMask, kBadNonce, "Wrong encrypted nonce");
    }
    const std::vector<unsigned char> encrypted(response.begin() + 4, response.end());

    SecureVector<unsigned char> kpi;
    static const unsigned char kCounter3[] = {0x00, 0x00, 0x00, 0x03};
    int rc = keyDerivation({params->secret, SecureVector<unsigned char>(kCounter3, 4)}, kpi);
    if (rc != 0) return GC_FAIL(kErrMask, rc, "Function keyDerivation failed");

    // A 3DES protocol cannot go further: only the AES protocols are run.
    if (algorithm_ < 2 || algorithm_ > 4) return GC_FAIL(kErrMask, kWrongAlgorithm, "Wrong alghoritm");
    GC_WipedBuffer key(kpi);
    GC_WipedBuffer plain(encrypted.size());
    const std::vector<unsigned char> iv(b, 0);
    rc = GC_Security::decryptValue(static_cast<GC_Security::encipherment_algorithm>(algorithm_), key.v, iv, encrypted,
                                   plain.v);
    if (rc != 0) return GC_FAIL(kErrMask, kCryptoFailed, "Cannot decrypt nonce");
    nonce_ = plain.secure();
    return ok(__func__, __LINE__);
}

GC_Pace::group_ptr GC_Pace::groupFromParams(int nid) {
    const auto it = GC_EC_Params::EC_Params.find(static_cast<GC_EC_Params::ec_nid>(nid));
    if (it == GC_EC_Params::EC_Params.end()) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cannot convert binary to Big Number");
        return nullptr;
    }
    const GC_EC_Params::ec_param& prm = it->second;
    bn_ctx_ptr ctx(BN_CTX_new());
    if (!ctx) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cannot create Big  Number context");
        return nullptr;
    }
    const size_t l = prm.p.size();
    if (l == 0 || prm.G.size() != 2 * l + 1 || prm.G[0] != 0x04 || prm.h.empty()) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cannot convert binary to Big Number");
        return nullptr;
    }
    bn_local p(BN_bin2bn(prm.p.data(), static_cast<int>(prm.p.size()), nullptr));
    bn_local a(BN_bin2bn(prm.a.data(), static_cast<int>(prm.a.size()), nullptr));
    bn_local bb(BN_bin2bn(prm.b.data(), static_cast<int>(prm.b.size()), nullptr));
    bn_local x(BN_bin2bn(prm.G.data() + 1, static_cast<int>(l), nullptr));
    bn_local y(BN_bin2bn(prm.G.data() + 1 + l, static_cast<int>(l), nullptr));
    bn_local n(BN_bin2bn(prm.n.data(), static_cast<int>(prm.n.size()), nullptr));
    bn_local h(BN_bin2bn(prm.h.data(), static_cast<int>(prm.h.size()), nullptr));
    if (!p || !a || !bb || !x || !y || !n || !h) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cannot convert binary to Big Number");
        return nullptr;
    }
    group_ptr group(EC_GROUP_new_curve_GFp(p.get(), a.get(), bb.get(), ctx.get()));
    if (!group) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cannot create curve from parameters");
        return nullptr;
    }
    point_local g(EC_POINT_new(group.get()));
    if (!g) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cannot create new point");
        return nullptr;
    }
    if (EC_POINT_set_affine_coordinates(group.get(), g.get(), x.get(), y.get(), ctx.get()) != 1) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cannot set affine coordinates");
        return nullptr;
    }
    if (EC_GROUP_set_generator(group.get(), g.get(), n.get(), h.get()) != 1) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cannot set generator or order");
        return nullptr;
    }
    return group;
}

gc_ossl::EcGroupPtr GC_Pace::create_brainpoolP224r1() {
    return groupFromParams(GC_EC_Params::brainpoolP224r1);
}
gc_ossl::EcGroupPtr GC_Pace::create_brainpoolP256r1() {
    return groupFromParams(GC_EC_Params::brainpoolP256r1);
}
gc_ossl::EcGroupPtr GC_Pace::create_brainpoolP320r1() {
    return groupFromParams(GC_EC_Params::brainpoolP320r1);
}
gc_ossl::EcGroupPtr GC_Pace::create_brainpoolP384r1() {
    return groupFromParams(GC_EC_Params::brainpoolP384r1);
}
gc_ossl::EcGroupPtr GC_Pace::create_brainpoolP512r1() {
    return groupFromParams(GC_EC_Params::brainpoolP512r1);
}

GC_Pace::group_ptr GC_Pace::groupForDomain() const {
    const domain* d = domainFor(domainParameterId_);
    if (d == nullptr) return nullptr;
    return d->nid != 0 ? group_ptr(EC_GROUP_new_by_curve_name(d->nid)) : d->brainpool();
}

bool GC_Pace::generateKeyPair(group_ptr group) {
    terminal_.pub.reset();
    terminal_.priv.reset();
    terminal_.group.reset();
    if (!group) return false;
    bn_ctx_ptr ctx(BN_CTX_secure_new());
    bn_ptr priv(BN_secure_new());
    point_ptr pub(EC_POINT_new(group.get()));
    const BIGNUM* order = EC_GROUP_get0_order(group.get());
    if (!ctx || !priv || !pub || order == nullptr) return false;
    if (!scalarSource_(group.get(), priv.get())) return false;
    // The scalar must lie in [1, order - 1].
    if (BN_is_zero(priv.get()) || BN_is_negative(priv.get()) || BN_cmp(priv.get(), order) >= 0) return false;
    BN_set_flags(priv.get(), BN_FLG_CONSTTIME);
    if (EC_POINT_mul(group.get(), pub.get(), priv.get(), nullptr, nullptr, ctx.get()) != 1) return false;
    terminal_.group = std::move(group);
    terminal_.priv = std::move(priv);
    terminal_.pub = std::move(pub);
    return true;
}

bool GC_Pace::encodePoint(const EC_GROUP* group, const EC_POINT* point, std::vector<unsigned char>& out) const {
    out.clear();
    if (group == nullptr || point == nullptr) return false;
    const size_t len = EC_POINT_point2oct(group, point, POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr);
    if (len == 0) return false;
    out.resize(len);
    if (EC_POINT_point2oct(group, point, POINT_CONVERSION_UNCOMPRESSED, out.data(), len, nullptr) != len) {
        out.clear();
        return false;
    }
    return true;
}

bool GC_Pace::cardPoint(const std::vector<unsigned char>& response, unsigned char innerTag,
                        std::vector<unsigned char>& point) const {
    point.clear();
    size_t pos = 0;
    size_t outerLen = 0, innerLen = 0;
    if (response.empty() || response[pos++] != 0x7C) return false;
    if (!readLength(response, pos, outerLen) || outerLen != response.size() - pos) return false;
    if (pos >= response.size() || response[pos++] != innerTag) return false;
    if (!readLength(response, pos, innerLen) || innerLen != response.size() - pos) return false;
    if (innerLen != publicKeyLength_ || response[pos] != 0x04) return false;
    point.assign(response.begin() + static_cast<std::ptrdiff_t>(pos), response.end());
    return true;
}

int GC_Pace::prepareMappingNonce(std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    terminal_.pub.reset();
    terminal_.priv.reset();
    terminal_.group.reset();
    cardPublicKey_.reset();

    const domain* d = domainFor(domainParameterId_);
    if (d == nullptr) {
        freeHandle();
        return GC_FAIL(kErrMask, kWrongCurve, "Wrong EC type");
    }
    group_ptr group = groupForDomain();
    if (!group) {
        freeHandle();
        return GC_FAIL(kErrMask, kEcFailure, "Cannot read a group");
    }
    if (!generateKeyPair(std::move(group))) {
        freeHandle();
        return GC_FAIL(kErrMask, kEcFailure, "Cannot generate new key pair");
    }
    std::vector<unsigned char> pub;
    if (!encodePoint(terminal_.group.get(), terminal_.pub.get(), pub) || pub.size() != d->pointLength) {
        freeHandle();
        return GC_FAIL(kErrMask, kEcFailure, "Cannot convert a pub key");
    }
    publicKeyLength_ = d->pointLength;
    out = dynamicAuthData(0x81, pub);
    return ok(__func__, __LINE__);
}

int GC_Pace::mappingNonce(const std::vector<unsigned char>& response) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!terminal_.priv || !terminal_.pub) return GC_FAIL(kErrMask, kEcFailure, "Key pair is null");
    const EC_GROUP* group = terminal_.group.get();
    if (group == nullptr) return GC_FAIL(kErrMask, kEcFailure, "Cannot read a group");

    const auto failFree = [this](int line, const char* msg) {
        freeHandle();
        return GC_LoggerC::fail("mappingNonce", kLogFile, line, kErrMask, kEcFailure, "%s", msg);
    };

    bn_ctx_ptr ctx(BN_CTX_secure_new());
    if (!ctx) return failFree(__LINE__, "Cannot create new group");

    std::vector<unsigned char> encoded;
    point_ptr cardMap(EC_POINT_new(group));
    if (!cardMap) return GC_FAIL(kErrMask, kEcFailure, "Cannot create new pubKey");
    // Decoding checks that the point lies on the curve.
    if (!cardPoint(response, 0x82, encoded) ||
        EC_POINT_oct2point(group, cardMap.get(), encoded.data(), encoded.size(), ctx.get()) != 1 ||
        EC_POINT_is_at_infinity(group, cardMap.get())) {
        return failFree(__LINE__, "Cannot convert to new pubKey");
    }
    cardPublicKey_ = std::move(cardMap);

    // H = SKmap * PKmap,IC
    point_local h(EC_POINT_new(group));
    if (!h) return failFree(__LINE__, "Cannot create new group");
    if (EC_POINT_mul(group, h.get(), nullptr, cardPublicKey_.get(), terminal_.priv.get(), ctx.get()) != 1 ||
        EC_POINT_is_at_infinity(group, h.get())) {
        return failFree(__LINE__, "Cannot realized multipication");
    }

    // G' = s * G + H
    if (nonce_.empty()) return failFree(__LINE__, "Cannot convert nonce");
    bn_local s(BN_secure_new());
    if (!s || BN_bin2bn(nonce_.data(), static_cast<int>(nonce_.size()), s.get()) == nullptr)
        return failFree(__LINE__, "Cannot convert nonce");
    BN_set_flags(s.get(), BN_FLG_CONSTTIME);
    point_local sg(EC_POINT_new(group));
    point_local mapped(EC_POINT_new(group));
    if (!sg || !mapped) return failFree(__LINE__, "Cannot create gen");
    if (EC_POINT_mul(group, sg.get(), s.get(), nullptr, nullptr, ctx.get()) != 1)
        return failFree(__LINE__, "Cannot realized multipication");
    if (EC_POINT_add(group, mapped.get(), sg.get(), h.get(), ctx.get()) != 1 ||
        EC_POINT_is_at_infinity(group, mapped.get())) {
        return failFree(__LINE__, "Cannot realized add");
    }

    // The mapped curve: a copy of the curve (same field, coefficients, order and cofactor) with
    // generator G'. OpenSSL's curve methods take a generator other than the standard one.
    bn_local order(BN_new()), cofactor(BN_new());
    if (!order || !cofactor) return failFree(__LINE__, "Cannot create group order");
    if (EC_GROUP_get_order(group, order.get(), ctx.get()) != 1) return failFree(__LINE__, "Cannot get group order");
    if (EC_GROUP_get_cofactor(group, cofactor.get(), ctx.get()) != 1)
        return failFree(__LINE__, "Cannot get group cofactor");
    group_ptr mappedGroup(EC_GROUP_dup(group));
    if (!mappedGroup) return failFree(__LINE__, "Cannot duplicate group");
    if (EC_GROUP_set_generator(mappedGroup.get(), mapped.get(), order.get(), cofactor.get()) != 1)
        return failFree(__LINE__, "Cannot set group gen");

    // The ephemeral key pair on the mapped curve replaces the mapping key pair.
    cardPublicKey_.reset();
    if (!generateKeyPair(std::move(mappedGroup))) return failFree(__LINE__, "Cannot generate key pair");
    return ok(__func__, __LINE__);
}

int GC_Pace::prepareKeyAgreement(std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    if (!terminal_.priv || !terminal_.pub || !terminal_.group) return GC_FAIL(kErrMask, kEcFailure);
    const domain* d = domainFor(domainParameterId_);
    if (d == nullptr) return GC_FAIL(kErrMask, kWrongCurve, "Wrong EC type");
    std::vector<unsigned char> pub;
    if (!encodePoint(terminal_.group.get(), terminal_.pub.get(), pub) || pub.size() != d->pointLength)
        return GC_FAIL(kErrMask, kEcFailure, "Cannot convert pub key");
    out = dynamicAuthData(0x83, pub);
    return ok(__func__, __LINE__);
}

int GC_Pace::keyAgreement(const std::vector<unsigned char>& response) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const EC_GROUP* group = terminal_.group.get();
    if (group == nullptr || !terminal_.priv || !terminal_.pub) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "grp=NULL");
        freeHandle();
        return GC_FAIL(kErrMask, kEcFailure, "Cannot get group");
    }
    bn_ctx_ptr ctx(BN_CTX_secure_new());
    point_ptr cardEph(EC_POINT_new(group));
    if (!ctx || !cardEph) {
        freeHandle();
        return GC_FAIL(kErrMask, kEcFailure, "Cannot create new pub key");
    }
    std::vector<unsigned char> encoded;
    // On the mapped curve, not at infinity, and not our own key sent back.
    if (!cardPoint(response, 0x84, encoded) ||
        EC_POINT_oct2point(group, cardEph.get(), encoded.data(), encoded.size(), ctx.get()) != 1 ||
        EC_POINT_is_at_infinity(group, cardEph.get()) ||
        EC_POINT_cmp(group, cardEph.get(), terminal_.pub.get(), ctx.get()) != 1) {
        freeHandle();
        return GC_FAIL(kErrMask, kEcFailure, "Cannot convert to new pub key");
    }
    point_ptr shared(EC_POINT_new(group));
    if (!shared) {
        freeHandle();
        return GC_FAIL(kErrMask, kEcFailure, "Cannot create new secret");
    }
    if (EC_POINT_mul(group, shared.get(), nullptr, cardEph.get(), terminal_.priv.get(), ctx.get()) != 1 ||
        EC_POINT_is_at_infinity(group, shared.get())) {
        freeHandle();
        return GC_FAIL(kErrMask, kEcFailure, "Cannot realized multipication");
    }
    cardPublicKey_ = std::move(cardEph);
    sharedPoint_ = std::move(shared);
    return ok(__func__, __LINE__);
}

SecureVector<unsigned char> GC_Pace::sharedSecret() const {
    SecureVector<unsigned char> k;
    if (!terminal_.group || !sharedPoint_) return k;
    const size_t len = EC_POINT_point2oct(terminal_.group.get(), sharedPoint_.get(), POINT_CONVERSION_UNCOMPRESSED,
                                          nullptr, 0, nullptr);
    if (len < 3) return k;
    GC_WipedBuffer encoded(len);
    encoded.v.resize(len);
    if (EC_POINT_point2oct(terminal_.group.get(), sharedPoint_.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.v.data(),
                           len, nullptr) != len)
        return k;
    k.appendRaw(encoded.v.data() + 1, (len - 1) / 2);
    return k;
}

std::vector<unsigned char> GC_Pace::generator() const {
    std::vector<unsigned char> out;
    if (!terminal_.group) return out;
    encodePoint(terminal_.group.get(), EC_GROUP_get0_generator(terminal_.group.get()), out);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Keys and tokens
// ---------------------------------------------------------------------------------------------

int GC_Pace::calculateKey(GC_PaceController::pace_params* params) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (params == nullptr || !terminal_.priv) return GC_FAIL(kErrMask, kEcFailure, "Terminal key pair is nullptr");
    if (!terminal_.group) return GC_FAIL(kErrMask, kEcFailure, "Crypto lib error when getting a group");
    const SecureVector<unsigned char> k = sharedSecret();
    if (k.empty()) return GC_FAIL(kErrMask, kEcFailure, "Crypto lib error when convert point to octet");

    size_t keyLen = 0, sscLen = 16;
    switch (algorithm_) {
        case 1:
            keyLen = 16;
            sscLen = 8;
            break;
        case 2:
            keyLen = 16;
            break;
        case 3:
            keyLen = 24;
            break;
        case 4:
            keyLen = 32;
            break;
        default:
            return GC_FAIL(kErrMask, kWrongAlgorithm, "Wrong crypto alghoritm");
    }

    static const unsigned char kCounter1[] = {0x00, 0x00, 0x00, 0x01};
    static const unsigned char kCounter2[] = {0x00, 0x00, 0x00, 0x02};
    SecureVector<unsigned char> kenc, kmac;
    int rc = keyDerivation({k, SecureVector<unsigned char>(kCounter1, 4)}, kenc);
    if (rc == 0) rc = keyDerivation({k, SecureVector<unsigned char>(kCounter2, 4)}, kmac);
    if (rc != 0 || kenc.size() < keyLen || kmac.size() < keyLen) {
        freeHandle();
        return GC_FAIL(kErrMask, rc != 0 ? rc : kCryptoFailed, "Error in Key derivation function");
    }

    params->Kenc = SecureVector<unsigned char>(kenc.data(), keyLen);
    params->Kmac = SecureVector<unsigned char>(kmac.data(), keyLen);
    // The old channel's contexts go now rather than at the first message under the new keys.
    GC_SecureMessaging::forgetKeyContexts(params);
    // Every new session starts its send sequence counter at zero.
    params->SSC.clear();
    for (size_t i = 0; i < sscLen; ++i) params->SSC.push_back(0x00);
    return ok(__func__, __LINE__);
}

int GC_Pace::calculateToken(GC_PaceController::pace_params* params, std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    if (params == nullptr || !terminal_.priv || !terminal_.pub || !terminal_.group)
        return GC_FAIL(kErrMask, kEcFailure, "Terminal key pair is nullptr");
    if (!cardPublicKey_) return GC_FAIL(kErrMask, kEcFailure, "Card public key is nullptr");
    const domain* d = domainFor(domainParameterId_);
    if (d == nullptr) {
        freeHandle();
        return GC_FAIL(kErrMask, kWrongCurve, "Wrong EC type");
    }
    const std::vector<unsigned char>* oid = oidFor(algorithm_);
    if (oid == nullptr) {
        freeHandle();
        return GC_FAIL(kErrMask, kWrongAlgorithm, "Wrong crypto alghoritm");
    }

    // 7F49 L { 06 0A OID, 86 L' point }
    const auto authInput = [&](const EC_POINT* point, std::vector<unsigned char>& input) {
        std::vector<unsigned char> encoded;
        if (!encodePoint(terminal_.group.get(), point, encoded)) return false;
        std::vector<unsigned char> body = {0x06, static_cast<unsigned char>(oid->size())};
        body.insert(body.end(), oid->begin(), oid->end());
        body.push_back(0x86);
        appendLength(body, encoded.size());
        body.insert(body.end(), encoded.begin(), encoded.end());
        input = {0x7F, 0x49};
        appendLength(input, body.size());
        input.insert(input.end(), body.begin(), body.end());
        return true;
    };
    GC_WipedBuffer kmac(params->Kmac);
    const char* const func = __func__;  // inside the lambda __func__ would name the lambda
    const auto mac = [&](const std::vector<unsigned char>& input, std::vector<unsigned char>& token) {
        int rc;
        if (algorithm_ == 1) {
            std::vector<unsigned char> padded = input;
            padded.push_back(0x80);
            while (padded.size() % 8 != 0) padded.push_back(0x00);
            std::vector<unsigned char> iv(8, 0);
            rc = GC_Security::crypto_mac(kmac.v, iv, padded, token);
            if (rc != 0)
                GC_LoggerC::logf(func, kLogFile, __LINE__, kErrMask, "Crypto lib error when calculate mac: %i", rc);
        } else {
            rc = GC_Security::crypto_cmac(static_cast<GC_Security::encipherment_algorithm>(algorithm_), kmac.v, input,
                                          token);
            if (rc != 0)
                GC_LoggerC::logf(func, kLogFile, __LINE__, kErrMask, "Crypto lib error when calculate cmac: %i", rc);
        }
        if (rc == 0 && token.size() < 8) rc = -1;
        if (rc == 0) token.resize(8);
        return rc;
    };

    std::vector<unsigned char> input;
    if (!authInput(cardPublicKey_.get(), input))
        return GC_FAIL(kErrMask, kEcFailure, "Crypto lib error when convert point to octet");
    std::vector<unsigned char> terminalToken;
    if (mac(input, terminalToken) != 0) {
        freeHandle();
        return GC_FAIL(kErrMask, kCryptoFailed, "Crypto lib error");
    }
    if (!authInput(terminal_.pub.get(), input))
        return GC_FAIL(kErrMask, kEcFailure, "Crypto lib error getting public key from key pair: ");
    std::vector<unsigned char> cardToken;
    if (mac(input, cardToken) != 0) return GC_FAIL(kErrMask, kCryptoFailed, "Crypto lib error");
    expectedCardToken_ = SecureVector<unsigned char>(cardToken.data(), cardToken.size());

    out = {0x7C, 0x0A, 0x85, 0x08};
    out.insert(out.end(), terminalToken.begin(), terminalToken.end());
    return ok(__func__, __LINE__);
}

int GC_Pace::verifyToken(const std::vector<unsigned char>& response, GC_PaceController::pace_params* params) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    // The 7C 0A 86 08 head is not examined, only skipped; the token must be exactly the expected one.
    const bool equal = response.size() >= 4 && expectedCardToken_.size() == 8 &&
                       response.size() - 4 == expectedCardToken_.size() &&
                       CRYPTO_memcmp(response.data() + 4, expectedCardToken_.data(), expectedCardToken_.size()) == 0;
    if (!equal) {
        // A card that cannot prove the password gets no channel: nothing derived stays usable.
        clearSessionKeys(params);
        freeHandle();
        return GC_FAIL(kErrMask, kEcFailure, "Tokens are not equal");
    }
    return ok(__func__, __LINE__);
}
