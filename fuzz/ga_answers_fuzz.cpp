// General Authenticate answers from a hostile card. Each of the four answers is fed to its step
// on a run whose earlier steps got well-formed answers, so that every parser is reached.
// Input: one byte choosing the domain parameters (10-18) and cipher, then four answers, each
// preceded by its length in two bytes (big-endian).

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Protocols/pacev2.h"

namespace {

using bytes = std::vector<unsigned char>;

// Fixed terminal scalars keep runs reproducible.
bool fixedScalar(const EC_GROUP* group, BIGNUM* scalar) {
    static const unsigned char k[] = {0x1D, 0x2C, 0x3B, 0x4A, 0x59, 0x68, 0x77, 0x86, 0x95, 0xA4, 0xB3};
    return BN_bin2bn(k, sizeof k, scalar) != nullptr && EC_GROUP_get0_order(group) != nullptr;
}

bytes wrap(unsigned char tag, const bytes& value) {
    bytes inner = {tag};
    if (value.size() >= 0x80) inner.push_back(0x81);
    inner.push_back(static_cast<unsigned char>(value.size()));
    inner.insert(inner.end(), value.begin(), value.end());
    bytes out = {0x7C};
    if (inner.size() >= 0x80) out.push_back(0x81);
    out.push_back(static_cast<unsigned char>(inner.size()));
    out.insert(out.end(), inner.begin(), inner.end());
    return out;
}

// m times the standard generator: a valid point on both the standard and the mapped curve.
bytes multipleOfG(GC_Pace& pace, int m) {
    gc_ossl::EcGroupPtr owned;
    switch (pace.domainParameterId()) {
        case 10:
            owned.reset(EC_GROUP_new_by_curve_name(NID_secp224r1));
            break;
        case 12:
            owned.reset(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
            break;
        case 15:
            owned.reset(EC_GROUP_new_by_curve_name(NID_secp384r1));
            break;
        case 18:
            owned.reset(EC_GROUP_new_by_curve_name(NID_secp521r1));
            break;
        case 11:
            owned = GC_Pace::create_brainpoolP224r1();
            break;
        case 13:
            owned = GC_Pace::create_brainpoolP256r1();
            break;
        case 14:
            owned = GC_Pace::create_brainpoolP320r1();
            break;
        case 16:
            owned = GC_Pace::create_brainpoolP384r1();
            break;
        default:
            owned = GC_Pace::create_brainpoolP512r1();
            break;
    }
    const EC_GROUP* group = owned.get();
    bytes out;
    const gc_ossl::EcPointPtr p(group ? EC_POINT_new(group) : nullptr);
    const gc_ossl::BnPtr k(BN_new());
    if (p && k && BN_set_word(k.get(), static_cast<BN_ULONG>(m)) &&
        EC_POINT_mul(group, p.get(), k.get(), nullptr, nullptr, nullptr) == 1) {
        out.resize(EC_POINT_point2oct(group, p.get(), POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr));
        EC_POINT_point2oct(group, p.get(), POINT_CONVERSION_UNCOMPRESSED, out.data(), out.size(), nullptr);
    }
    return out;
}

bool start(GC_Pace& pace, GC_PaceController::pace_params& params, int id, int cipher) {
    static const unsigned char can[] = {'1', '2', '3', '4', '5', '6'};
    bytes ef = {0x31, 0x14,
                0x30, 0x12,
                0x06, 0x0A,
                0x04, 0x00,
                0x7F, 0x00,
                0x07, 0x02,
                0x02, 0x04,
                0x02, static_cast<unsigned char>(cipher),
                0x02, 0x01,
                0x02, 0x02,
                0x01, static_cast<unsigned char>(id)};
    bytes mse;
    return pace.verifySecret(&params, SecureVector<unsigned char>(can, sizeof can), 2) == 0 &&
           pace.selectPaceParams(&params, ef) == 0 && pace.mseSet(&params, mse) == 0;
}

const bytes kNonceAnswer = {0x7C, 0x12, 0x80, 0x10, 0x95, 0xA3, 0xA0, 0x16, 0x52, 0x2E,
                            0xE9, 0x8D, 0x01, 0xE7, 0x6C, 0xB6, 0xB9, 0x8B, 0x42, 0xC3};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int id = 10 + data[0] % 9;
    const int cipher = 2 + (data[0] / 9) % 3;
    std::vector<bytes> answers;
    size_t pos = 1;
    while (answers.size() < 4 && size - pos >= 2) {
        const size_t len = static_cast<size_t>(data[pos]) << 8 | data[pos + 1];
        pos += 2;
        const size_t take = len < size - pos ? len : size - pos;
        answers.emplace_back(data + pos, data + pos + take);
        pos += take;
    }
    answers.resize(4);

    // GA 1
    {
        GC_Pace pace(fixedScalar);
        GC_PaceController::pace_params params;
        if (start(pace, params, id, cipher)) pace.decryptNonce(&params, answers[0]);
    }
    // GA 2, then GA 3, then GA 4, each after well-formed earlier answers.
    for (int stage = 1; stage <= 3; ++stage) {
        GC_Pace pace(fixedScalar);
        GC_PaceController::pace_params params;
        bytes out;
        if (!start(pace, params, id, cipher) || pace.decryptNonce(&params, kNonceAnswer) != 0) return 0;
        if (pace.prepareMappingNonce(out) != 0) return 0;
        if (stage == 1) {
            pace.mappingNonce(answers[1]);
            continue;
        }
        if (pace.mappingNonce(wrap(0x82, multipleOfG(pace, 2))) != 0 || pace.prepareKeyAgreement(out) != 0)
            __builtin_trap();
        if (stage == 2) {
            if (pace.keyAgreement(answers[2]) == 0 && (pace.calculateKey(&params) != 0 || params.Kenc.empty()))
                __builtin_trap();
            continue;
        }
        if (pace.keyAgreement(wrap(0x84, multipleOfG(pace, 3))) != 0 || pace.calculateKey(&params) != 0 ||
            pace.calculateToken(&params, out) != 0)
            __builtin_trap();
        // A forged token never verifies; a rejected one leaves no keys.
        if (pace.verifyToken(answers[3], &params) == 0) __builtin_trap();
        if (!params.Kenc.empty() || !params.Kmac.empty()) __builtin_trap();
    }
    return 0;
}
