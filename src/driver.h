#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CardController/cardcontroller.h"
#include "Controller/controller.h"
#include "security_lib.h"

class GC_Container;
class GC_Object;

// The public face of the card library: one object per reader, made with the reader's name and
// used by the token extension for everything it does with the card. It owns one card session and
// forwards every operation to it, keeping the result of the last operation that records one;
// on top it maps a signing algorithm to key type, hash and padding, hashes caller data, and
// refuses what the library does not offer (-1101).
//
// Results are library result codes: 0 success, negative codes for failures; verifySignature
// alone answers 1 for a signature that does not match.
//
// No locking of its own: the session serialises calls into the reader. One thread drives a
// Driver at a time.
class Driver {
public:
    // How a signature is made. RSA requests use PKCS#1 v1.5 padding, EC requests none.
    //
    // Data handed with a hashing algorithm (2 to 5, 7 to 10) whose length equals that hash's
    // digest length is taken as the digest and signed as it is; any other length is hashed first.
    // Algorithm 1 signs an exact PKCS#1 v1.5 block of the key's length (verification also takes
    // its DigestInfo alone); algorithm 6 a value signed as given (cut to the curve's byte length
    // when the key's size is known).
    enum signature_alghoritm : uint32_t {
        RSA_PKCS1_NONE = 1,
        RSA_PKCS1_SHA1 = 2,
        RSA_PKCS1_SHA256 = 3,
        RSA_PKCS1_SHA384 = 4,
        RSA_PKCS1_SHA512 = 5,
        EC_NONE = 6,
        EC_SHA1 = 7,
        EC_SHA256 = 8,
        EC_SHA384 = 9,
        EC_SHA512 = 10,
    };

    // Opens the card session on the named reader (a name the registry knows from a reader
    // listing): type CARD_GENERIC (or any value but 2 and 8) detects the card by its ATR. Never
    // fails: the session's answer is the first recorded result (-1901 for an unknown reader,
    // after which every operation answers -1901).
    Driver(std::string readerName, GC_CardController::card_controller type, bool sharedMode, void* param);
    virtual ~Driver();

    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Result of the last operation that records one (see each operation).
    long long getLastError() const { return lastError; }

    // --- Reader and card (recorded) ---
    int setDriverParam(void* param);
    int getReaderFeatures(int& features);
    int state();

    // --- Secure channel (recorded) ---
    // Opens the channel with PACE; password types: 1 MRZ, 2 CAN, 4 PUK. The password is wiped.
    int performSecureConnection(std::vector<uint8_t> password, int type);
    int restoreSecureConnection();
    int destroySecureConnection();
    int performChipAuthentication();
    // Not offered by the library: -1101 (recorded).
    int authenticateChip(std::vector<uint8_t> data, int type);
    int authenticateTerminal(std::vector<uint8_t> data, int type);
    int authenticateTerminal(std::vector<std::vector<uint8_t>> certificates, std::vector<uint8_t> key);
    int authenticateTerminal(std::vector<uint8_t> data);

    // --- Containers (recorded) ---
    // The card's containers; force reads them from the card again.
    int getContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force);
    // The container at `index` of the session's list (read from the card when not read yet).
    int getContainer(int index, std::shared_ptr<GC_Container>& container);
    // Reads the objects (certificates, public keys, data) of the containers not loaded yet, or of
    // all with force. -1101 before the containers were read.
    int loadContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force);
    int loadContainer(std::shared_ptr<GC_Container>& container, bool force);
    // Refreshes the PIN state (active, blocked, tries left) of the containers (force: of their
    // parent PINs too).
    int statusContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force);

    // --- PINs (recorded, but initPassword). PINs are wiped. ---
    // flag: the PIN of the container's parent (the PIN that unblocks it) instead of its own.
    int verifyPassword(std::shared_ptr<GC_Container> container, std::vector<uint8_t> pin, bool flag);
    // Not offered by the library: -1101, not recorded.
    int initPassword(std::shared_ptr<GC_Container> container, std::vector<uint8_t> pin);
    int logoutPassword(std::shared_ptr<GC_Container> container, bool flag);
    int changePassword(std::shared_ptr<GC_Container> container, std::vector<uint8_t> oldPin,
                       std::vector<uint8_t> newPin, bool flag);
    // Resets the retry counter of the container's PIN (its parent PIN verified before), and with
    // setNew sets newPin.
    int unblockPassword(std::shared_ptr<GC_Container> container, std::vector<uint8_t> newPin, bool setNew);

    // --- Signatures ---
    // Has the card sign `data` with `key` (a private key of the container) as `algorithm` says;
    // the PIN must be verified. EC signatures come as DER ECDSA-Sig-Value, RSA signatures as the
    // modulus-long block. An algorithm outside 1 to 10: -1102 without touching the card, not
    // recorded; otherwise recorded.
    int signatureData(std::shared_ptr<GC_Container> container, GC_Object* key, std::vector<uint8_t> data,
                      signature_alghoritm algorithm, std::vector<uint8_t>& signature);
    // Checks a signature in software with a public key of the container, given directly or as
    // the certificate it belongs to. 0 match, 1 no match, negative codes for refusals; an
    // algorithm outside 1 to 10 is -1102, not recorded.
    int verifySignature(std::shared_ptr<GC_Container> container, GC_Object* object, std::vector<uint8_t> data,
                        std::vector<uint8_t> signature, signature_alghoritm algorithm);

    // --- Containers, objects and keys on the card (recorded; driver_keys.cpp) ---
    // Activates the container's deactivated PIN with `pin` as its new value. The PIN is wiped.
    int activeContainer(std::shared_ptr<GC_Container> container, std::vector<uint8_t> pin);
    // Verifies `pin` (flag: the parent's PIN) and only then empties the container on the card
    // (files, key, objects); a failed verification is the result. The PIN is wiped.
    int initContainer(std::shared_ptr<GC_Container> container, std::vector<uint8_t> pin, std::vector<uint8_t> data,
                      bool flag);
    // Deletes the object from the card and the container; it must not be used afterwards.
    int deleteObject(std::shared_ptr<GC_Container> container, GC_Object* object);
    // Writes a new object from the template; `newObject` gets the container's new object.
    int createObject(GC_Object* object, std::shared_ptr<GC_Container> container, GC_Object** newObject);
    // Generates a key pair on the card from the private-key template (and registers its public
    // key when a public-key template is given); the outputs get the container's new objects.
    int generateKeyPair(std::shared_ptr<GC_Container> container, GC_Object* privateTemplate, GC_Object* publicTemplate,
                        GC_Object** newPrivate, GC_Object** newPublic);

    // Digest of data (of the parts concatenated) with SHA-1, SHA-256, SHA-384 or SHA-512. 0;
    // -1102 for another format or no parts; -1100 when hashing fails. Not recorded.
    int hashData(std::vector<uint8_t> data, GC_Security::data_format format, std::vector<uint8_t>& hash);
    int hashData(std::vector<std::vector<uint8_t>> parts, GC_Security::data_format format, std::vector<uint8_t>& hash);

    // --- Plain accessors (not recorded) ---
    std::string getReaderName();
    std::vector<uint8_t> getAtr();
    std::vector<uint8_t> getSerialNumber();
    GC_CardController::card_controller getCardType();

protected:
    // Stores the result of an operation that records it, and hands it back.
    int record(int result);

    std::string readerName;
    GC_Controller controller;
    long long lastError = 0;
};
