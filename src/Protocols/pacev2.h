#pragma once

#include "openssl_ptr.h"

#include <openssl/bn.h>
#include <openssl/ec.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "CardController/Protocols/pacecontroller.h"
#include "Data/securevector.h"

// Content bytes (no tag, no length) of the PACE protocol object identifiers of BSI TR-03110
// that the terminal sends; the last byte is the algorithm (GC_Security::encipherment_algorithm).
inline const std::vector<unsigned char> GC_ECDH_GM_3DES_CBC_CBC = {0x04, 0x00, 0x7F, 0x00, 0x07,
                                                                   0x02, 0x02, 0x04, 0x02, 0x01};
inline const std::vector<unsigned char> GC_ECDH_GM_AES_CBC_CMAC_128 = {0x04, 0x00, 0x7F, 0x00, 0x07,
                                                                       0x02, 0x02, 0x04, 0x02, 0x02};
inline const std::vector<unsigned char> GC_ECDH_GM_AES_CBC_CMAC_192 = {0x04, 0x00, 0x7F, 0x00, 0x07,
                                                                       0x02, 0x02, 0x04, 0x02, 0x03};
inline const std::vector<unsigned char> GC_ECDH_GM_AES_CBC_CMAC_256 = {0x04, 0x00, 0x7F, 0x00, 0x07,
                                                                       0x02, 0x02, 0x04, 0x02, 0x04};

// The state and the cryptographic steps of one terminal-side PACE run (ECDH, generic mapping):
// password, EF.CardAccess and MSE:Set AT data, nonce decryption, mapping, key agreement, key
// derivation and the authentication tokens. One object lives for exactly one run; every key it
// holds is wiped when it is released.
//
// Results are bit codes: 0 success; 1 elliptic-curve failure, missing key or unequal tokens;
// 4 wrong password length; 8 unsupported password type; 16, 32, 64 parameters and algorithm;
// 128 malformed encrypted nonce; 256 hash, cipher or MAC failure.
class GC_Pace {
public:
    static constexpr int kOk = 0;
    static constexpr int kEcFailure = 1;
    static constexpr int kSecretLength = 4;
    static constexpr int kSecretType = 8;
    static constexpr int kEmptyOid = 16;
    static constexpr int kWrongCurve = 32;
    static constexpr int kWrongAlgorithm = 64;
    static constexpr int kBadNonce = 128;
    static constexpr int kCryptoFailed = 256;

    // Draws a terminal private scalar in [1, order - 1] of the given group into `scalar`; returns
    // true on success. The default draws from OpenSSL's random generator; tests inject fixed
    // scalars (first the mapping key, then the ephemeral key) to replay published examples.
    using scalar_source = std::function<bool(const EC_GROUP* group, BIGNUM* scalar)>;

    GC_Pace();
    explicit GC_Pace(scalar_source source);
    virtual ~GC_Pace();

    GC_Pace(const GC_Pace&) = delete;
    GC_Pace& operator=(const GC_Pace&) = delete;

    // --- Password, EF.CardAccess, MSE:Set AT ---

    // Checks the password length for its type (1 MRZ hash: 20, 2 CAN: 6, 4 PUK: 8) and stores
    // password and type in params. Releases all key material first.
    int verifySecret(GC_PaceController::pace_params* params, const SecureVector<unsigned char>& secret, const int type);
    // Replaces an MRZ text (90, 88 or 72 characters) by the SHA-1 of its document number, birth
    // and expiry fields with their check digits.
    int calculateMRZInfo(SecureVector<unsigned char>& mrz);
    // Picks the strongest PACE protocol and its domain parameters from EF.CardAccess.
    int selectPaceParams(GC_PaceController::pace_params* params, std::vector<unsigned char> cardAccess);
    bool isAlgorithmStronger(const std::vector<unsigned char>& candidate) const;
    // Appends the MSE:Set AT data: 80 0A OID 83 01 type 84 01 id.
    int mseSet(GC_PaceController::pace_params* params, std::vector<unsigned char>& out);

    // --- Key agreement and tokens ---

    int decryptNonce(GC_PaceController::pace_params* params, const std::vector<unsigned char>& response);
    // Hash of the concatenated pieces (SHA-1 for algorithms 1 and 2, SHA-256 for 3 and 4).
    int keyDerivation(const std::vector<SecureVector<unsigned char>>& pieces, SecureVector<unsigned char>& out);
    int prepareMappingNonce(std::vector<unsigned char>& out);
    int mappingNonce(const std::vector<unsigned char>& response);
    int prepareKeyAgreement(std::vector<unsigned char>& out);
    int keyAgreement(const std::vector<unsigned char>& response);
    int calculateKey(GC_PaceController::pace_params* params);
    int calculateToken(GC_PaceController::pace_params* params, std::vector<unsigned char>& out);
    // On a mismatch the session keys in params are wiped as well, so nothing usable remains.
    int verifyToken(const std::vector<unsigned char>& response, GC_PaceController::pace_params* params);
    void freeHandle();

    // Curve groups built from the published RFC 5639 domain parameters, owned by the caller; empty
    // on failure.
    static gc_ossl::EcGroupPtr create_brainpoolP224r1();
    static gc_ossl::EcGroupPtr create_brainpoolP256r1();
    static gc_ossl::EcGroupPtr create_brainpoolP320r1();
    static gc_ossl::EcGroupPtr create_brainpoolP384r1();
    static gc_ossl::EcGroupPtr create_brainpoolP512r1();

    // Read-only views for diagnostics and tests.
    const std::vector<unsigned char>& selectedOid() const { return selectedOid_; }
    int domainParameterId() const { return domainParameterId_; }
    int version() const { return version_; }
    int algorithm() const { return algorithm_; }
    int blockSize() const { return blockSize_; }
    const SecureVector<unsigned char>& nonce() const { return nonce_; }
    size_t publicKeyLength() const { return publicKeyLength_; }
    // Uncompressed generator of the current group (the mapped one after mappingNonce); empty if none.
    std::vector<unsigned char> generator() const;
    // x coordinate of the shared point (the key-agreement secret K); empty before keyAgreement.
    SecureVector<unsigned char> sharedSecret() const;

private:
    using group_ptr = gc_ossl::EcGroupPtr;
    using point_ptr = gc_ossl::SecretEcPointPtr;
    using bn_ptr = gc_ossl::SecretBnPtr;

    // Terminal key pair: its group, private scalar and public point.
    struct key_pair {
        group_ptr group;
        bn_ptr priv;
        point_ptr pub;
    };

    static group_ptr groupFromParams(int nid);
    group_ptr groupForDomain() const;
    bool generateKeyPair(group_ptr group);
    bool encodePoint(const EC_GROUP* group, const EC_POINT* point, std::vector<unsigned char>& out) const;
    // The uncompressed point of a GA 2 or GA 3 answer with the given inner tag, checked for length.
    bool cardPoint(const std::vector<unsigned char>& response, unsigned char innerTag,
                   std::vector<unsigned char>& point) const;
    void clearSessionKeys(GC_PaceController::pace_params* params) const;

    SecureVector<unsigned char> expectedCardToken_;
    std::vector<unsigned char> selectedOid_;
    int domainParameterId_ = 0;
    int version_ = 0;
    int algorithm_ = 0;
    int blockSize_ = 0;
    SecureVector<unsigned char> nonce_;
    key_pair terminal_;
    point_ptr cardPublicKey_;
    point_ptr sharedPoint_;
    size_t publicKeyLength_ = 0;
    scalar_source scalarSource_;
};
