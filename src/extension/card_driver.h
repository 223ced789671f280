#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class GC_Container;
class GC_Object;

// The card library as the token extension uses it. The card library's public face is `Driver`,
// one per reader; the token reaches it only through CardDriver, which names exactly the Driver
// operations the token calls, with Driver's names, arguments and result codes (0 success, a
// negative library code otherwise). CardLibrary is the library's process-wide side: the reader
// registry and the making of a Driver for a reader.

// Library result codes that the token extension tells apart.
namespace card_result {
inline constexpr int kOk = 0;
inline constexpr int kBadParameter = -1102;
inline constexpr int kSecurityStatusNotSatisfied = -1701;  // GC_LIB_ERROR_APDU_STATUS_NOT_SATISFIED
inline constexpr int kWrongPin = -2305;                    // GC_LIB_ERROR_WRONG_PIN
inline constexpr int kPinBlocked = -2307;
inline constexpr int kWrongPinLength = -2310;  // GC_LIB_ERROR_WRONG_PIN as well
}  // namespace card_result

class CardDriver {
public:
    // Driver::signature_alghoritm: which key, hash and padding a signature uses.
    enum signature_alghoritm : uint32_t {
        RSA_PKCS1_NONE = 1,  // RSA, PKCS#1 v1.5, the data is the complete encoding
        RSA_PKCS1_SHA1 = 2,
        RSA_PKCS1_SHA256 = 3,
        RSA_PKCS1_SHA384 = 4,
        RSA_PKCS1_SHA512 = 5,
        EC_NONE = 6,  // ECDSA over the data as given
        EC_SHA1 = 7,
        EC_SHA256 = 8,
        EC_SHA384 = 9,
        EC_SHA512 = 10,
    };

    // PACE password types of performSecureConnection.
    static constexpr int kPasswordCan = 2;

    virtual ~CardDriver() = default;

    // Opens the secure channel with PACE; the password is the callee's to wipe.
    virtual int performSecureConnection(std::vector<uint8_t> password, int type) = 0;
    virtual int destroySecureConnection() = 0;
    // The card's containers (force: read them from the card again).
    virtual int getContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force) = 0;
    // Reads the contents of the containers' objects (certificates, public keys).
    virtual int loadContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force) = 0;
    // Verifies the container's PIN on the card; the PIN is the callee's to wipe.
    virtual int verifyPassword(std::shared_ptr<GC_Container> container, std::vector<uint8_t> pin, bool flag) = 0;
    virtual int logoutPassword(std::shared_ptr<GC_Container> container, bool flag) = 0;
    // Has the card sign `data` with `key` (a private key of the container).
    virtual int signatureData(std::shared_ptr<GC_Container> container, GC_Object* key, std::vector<uint8_t> data,
                              signature_alghoritm algorithm, std::vector<uint8_t>& signature) = 0;
};

class CardLibrary {
public:
    virtual ~CardLibrary() = default;

    // Registers the reader back-end of the platform's smart-card slots with the registry.
    virtual void addReaderBackEnd() = 0;
    // Lists the readers again, so that a reader seen for the first time gets its reader object.
    virtual void refreshReaders() = 0;
    // A Driver for the reader (card kind detected by ATR, shared mode). Null, with the library's
    // result code in `result`, when the session on the reader could not be made.
    virtual std::shared_ptr<CardDriver> createDriver(const std::string& readerName, int& result) = 0;
};

// The card library of this process.
std::shared_ptr<CardLibrary> cardLibrary();
