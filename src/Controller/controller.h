#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CardController/cardcontroller.h"
#include "Data/Objects/object.h"
#include "Data/securevector.h"
#include "security_lib.h"

class GC_Container;
class GC_Object;
class GC_Reader;

// Library result codes of the card session (besides those of the card controllers, gc_cc).
namespace gc_session {
inline constexpr int kWrongFidLength = -1501;     // a file identifier path shorter than two bytes or odd
inline constexpr int kNoContainer = -2309;        // a PIN operation without container
inline constexpr int kReaderMissing = -1901;      // no reader bound, or the reader went away
inline constexpr int kCardMissing = -2001;        // no card controller: no card, or not recognised
inline constexpr int kCardNotRecognized = -2002;  // no card controller fits the card
inline constexpr int kAlreadyCreated = -2200;     // create on a session that has a reader
}  // namespace gc_session

// The card session on one reader: binds a reader object of the registry to the card controller
// chosen for the card, sends every command APDU (locking, secure messaging, chained answers,
// learning the reader's APDU size), offers file access to the data layer and the secure channel,
// and keeps the channel's password so that a lost channel can be reopened.
//
// Two locks. The reader lock is the card transaction: every operation takes it unless the reader
// holds it already, and in a shared session every command exchange ends it, so that each runs in
// a transaction of its own. The controller mutex is held only around single calls into the
// reader, never across an operation and never while a card controller is made.
//
// The file operations are virtual so that a data layout can be exercised against an in-memory
// file store (tests/support) without a reader or a card.
class GC_Controller {
public:
    // How read reaches the file.
    enum read_mode : uint32_t {
        // Select the file (when asked) and read it; the companion cache is used when enabled.
        READ_SELECT = 1,
        // Read through the card controller's extended read, without the cache: exactly the TLV
        // that starts at the offset, which must begin with the given tag.
        READ_EXTENDED = 2,
    };

    // Bits of the channel state; any bit set means secure messaging is in force.
    static constexpr uint32_t kChannelUp = 0x1;
    static constexpr uint32_t kChipAuthenticated = 0x2;

    // Bits of the reader features.
    static constexpr int kFeatureCardPresent = 0x2;
    static constexpr int kFeatureNoPassword = 0x4;  // no PACE password held or cached
    static constexpr int kFeaturePinpad = 0x8;

    GC_Controller();
    virtual ~GC_Controller();

    GC_Controller(const GC_Controller&) = delete;
    GC_Controller& operator=(const GC_Controller&) = delete;

    // --- Life cycle (controller.cpp) ---

    // Opens the session on the named reader (known to the registry from a reader listing): binds
    // the reader, connects to a card if one is there and chooses its controller (type 2 and 8
    // force a generation, any other value detects it by ATR), then takes the reader's APDU size
    // from the settings. -2200 when the session has a reader already; -1901 for an unknown
    // reader; -2002 (session still open) when no controller fits the card.
    int create(const std::string& readerName, GC_CardController::card_controller type, bool sharedMode, void* param);
    int setReaderParam(void* param);
    // Brings the session up to date with the reader: a new card gets its controller, a card
    // taken out takes its controller, containers, channel and password with it, a reader that
    // went away ends the session (-1901).
    int state();
    // Fills `features` with kFeature... bits.
    int readerFeatures(int& features);
    std::vector<uint8_t> getATRcard();
    // The bound reader's name (the key of the companion's entries); empty without a reader.
    std::string readerName() const;
    std::vector<uint8_t> getSerialNumber();
    GC_CardController::card_controller getCardControllerType() const;

    // The reader lock (a card transaction). lockReader does nothing when the reader holds it;
    // unlockReader(0) ends it in a shared session only. Failures are told to the companion cache.
    int lockReader();
    int unlockReader(long result);
    // The controller mutex; false (logged) when it cannot be taken.
    bool lockController();
    void unlockController();

    // --- Command transport (controller_transport.cpp) ---

    // Sends one command APDU (under secure messaging when the channel is up and `secure`) and
    // appends the answer, data and status word, to `response`. Follows 61 xx chains (a bounded
    // number of rounds) and learns the largest command the reader takes. -1913 for a command the
    // reader cannot take or an answer without a status word; -1914 when the card was reset under
    // the exchange; reader codes as they come.
    int sendApdu(const std::vector<uint8_t>& command, std::vector<uint8_t>& response, unsigned long le, bool secure);
    // Largest data field of one file chunk: the smaller of the card's limit and the reader's size,
    // less the secure-messaging overhead while our own channel is up.
    int getMaxApduSize(bool commandData);
    // Lowers the reader's APDU size once after a failed transfer and fixes it; -1100 when it is
    // fixed already or cannot go lower.
    int failedApduSize();

    // --- File access (controller_files.cpp) ---

    // Selects `path` in application `aid` (an application alone with an empty path); `force`
    // selects the application even when it is the current one. `fileSize` (may be null)
    // receives the file's size. -1501 for a path that is not whole file identifiers without aid.
    virtual int select(const std::vector<unsigned char>& path, unsigned long* fileSize,
                       const std::vector<unsigned char>& aid, bool force);

    // Reads `length` bytes (0: to the end of the file) from `offset` of file `path` in the
    // directory or application `aid` into out. `size` (may be null) receives the file size.
    // selectApplication: select `aid` anew even when it is the current one; selectPath: select
    // `path` under it. `tag` is used by READ_EXTENDED only.
    // 0 or a negative library code (-1501 for a path shorter than two bytes, -1508 for a
    // deactivated file, ...).
    virtual int read(std::vector<unsigned char>& out, const std::vector<unsigned char>& aid,
                     const std::vector<unsigned char>& path, unsigned long offset, unsigned long length,
                     unsigned long* size, bool selectApplication, bool selectPath, read_mode mode,
                     std::vector<unsigned char> tag);

    // Writes data at `offset` of file `path` in `aid`; the flags as for read. 0 or a negative
    // library code (-1504 when the data does not fit the file).
    virtual int update(std::vector<unsigned char>& data, const std::vector<unsigned char>& aid,
                       const std::vector<unsigned char>& path, unsigned long offset, bool selectApplication,
                       bool selectPath);

    // Drops the companion's copy of a file whose contents proved unusable, so that the next read
    // takes the file from the card.
    void forgetCachedFile(const std::vector<unsigned char>& aid, const std::vector<unsigned char>& path);

    // Whether a card controller's result is taken for a lost channel or transfer (the retransmit rule).
    static bool channelLost(int rc);

    // --- Secure channel (controller_secure.cpp) ---

    // Opens the channel with PACE (the reader's own on a pinpad reader) and keeps the password.
    int performSecureConnection(std::vector<uint8_t> password, const int& type);
    // Closes and reopens the channel with the kept password, or the CAN of the companion cache.
    int restoreSecureConnection();
    // Ends secure messaging (and the chip authentication that came with the channel); the password stays.
    int destroySecureConnection();
    int performChipAuthentication();

    // --- PIN operations (controller_pin.cpp) ---
    // The PIN is the container's, or with `parent` the PIN that guards it (found among the
    // session's containers). Each operation selects the PIN's directory in the container's
    // application first. On a pinpad reader an empty PIN is typed on the reader's keypad. The
    // companion's tries-left entry of the PIN is removed before a verify, change or unblock and
    // written again after it when the card said something of the PIN (a failed exchange leaves
    // it removed): 0 to 254 tries, 255 for a PIN whose directory is not active.

    // An empty PIN on a keyboard reader, or statusOnly, asks the PIN's state only (a wrong or
    // unverified PIN is then no failure; the tries are recorded). -2310 for a PIN outside the
    // PIN's length limits.
    int verifyPassword(std::shared_ptr<GC_Container>& container, const std::vector<unsigned char>& pin, bool parent,
                       bool statusOnly);
    int changePassword(std::shared_ptr<GC_Container>& container, const std::vector<unsigned char>& oldPin,
                       const std::vector<unsigned char>& newPin, bool parent);
    // Resets the retry counter of the container's own PIN, and with setNew sets `newPin` (typed on
    // a pinpad when empty). The PIN that allows it (the PUK) is verified before, with verifyPassword.
    int unblockPassword(std::shared_ptr<GC_Container>& container, const std::vector<unsigned char>& newPin,
                        bool setNew);
    int logoutPassword(std::shared_ptr<GC_Container>& container, bool parent);
    // Brings the active and blocked flags and the tries left of each container (and with
    // withParents of their parent PINs) up to date: from the companion where it has them, from the
    // card otherwise.
    int statusContainers(std::vector<std::shared_ptr<GC_Container>>& containers, bool withParents);
    // Not offered: -1101.
    int initPassword(std::shared_ptr<GC_Container>& container, const std::vector<unsigned char>& pin);

    // --- Containers (controller_containers.cpp) ---
    // A container operation that loses the channel (-1701, -1914) reopens it and runs once more.

    // The card's containers: read once (again with force, which drops the old list) and kept;
    // `list` receives the kept list, also after a failure (what the card controller left).
    int getContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force);
    // The container at `index` of the kept list; the list is read from the card (replacing it)
    // when it was not read yet or with force. -1102 for an index beyond the list.
    int getContainer(unsigned long index, std::shared_ptr<GC_Container>& container, bool force);
    // Reads the objects of the containers not loaded yet (every one with force). -1101 before the
    // container list was read; a card or channel failure of the reads is the result (a lost
    // channel is reopened once and the containers not loaded are read again).
    int loadContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force);

    // --- Signatures (controller_signature.cpp, controller_verify.cpp) ---

    // Has the card sign with `key`, a private key of the container whose type is keyType, after
    // checking that the container offers a mechanism for the key type and hash. Forms the input
    // the card signs: EC: the data (format 1), taken as the digest when of the hash's length, else
    // its digest; cut to the curve's byte length. RSA: zero-padded to the modulus (padding 1), the
    // DigestInfo or the whole PKCS#1 v1.5 block of the data (padding 2), or with format 1 a
    // complete encoding passed as it is. Never repeated; the PIN must be verified.
    int signatureData(std::shared_ptr<GC_Container>& container, GC_Object* key, std::vector<unsigned char> data,
                      GC_Object::key_type keyType, GC_Security::data_format format, GC_Security::padding_type padding,
                      std::vector<unsigned char>& signature);
    // Checks a signature in software with the public key `object` of the container, or the one
    // related to the certificate `object`; the input is formed as for signing. 0 valid, 1 no
    // match, negative codes for refusals and errors. Needs neither reader nor card.
    int verifySignature(std::shared_ptr<GC_Container>& container, GC_Object* object, std::vector<unsigned char> data,
                        std::vector<unsigned char> signature, GC_Object::key_type keyType,
                        GC_Security::data_format format, GC_Security::padding_type padding);

    // --- Containers, objects and keys on the card (controller_keys.cpp) ---
    // Each holds the reader lock around the card controller's operation and keeps the container's
    // object list in step with the card. Only activation reopens a lost channel (once).

    // Activates the container's PIN on the card when it is deactivated, with `pin` as its value.
    int activeContainer(std::shared_ptr<GC_Container>& container, const std::vector<unsigned char>& pin);
    // Empties the container on the card and its object list; then the companion's entries of the
    // reader are cleared (-1100 when that fails, whatever the card said).
    int initContainer(std::shared_ptr<GC_Container>& container, std::vector<unsigned char> data);
    // Deletes the object (destroyed by the layout) from the card and the container's list; -1102
    // when the card deleted an object the list did not hold. force: see GC_CardController.
    int deleteObject(std::shared_ptr<GC_Container>& container, GC_Object* object, bool force);
    // Writes a new object from the template; `newObject` gets it and the container lists it.
    int createObject(GC_Object* object, std::shared_ptr<GC_Container> container, GC_Object** newObject);
    // Generates a key pair from the private-key template (type, curve, size, ID); the public-key
    // template, when given, takes those from it. The new objects go to the outputs and the
    // container's list.
    int generateKeyPair(std::shared_ptr<GC_Container> container, GC_Object* privateTemplate, GC_Object* publicTemplate,
                        GC_Object** newPrivate, GC_Object** newPublic);

    // Attempts of the running operation under the retransmit rule (0 when none runs).
    int retransmitCount() const { return retransmitCounter; }
    uint32_t channelFlags() const { return flags; }

protected:
    // The opening of a card operation: a reader, a card controller and the reader lock; 0 or the
    // failure, logged under `func`.
    int beginOperation(const char* func);
    // The end of a card operation that took the reader lock: releases it and returns `rc` (logged
    // under `func` with `text` when it is a failure), or the release's own failure.
    int finishOperation(const char* func, int rc, const char* text = nullptr);
    // The opening checks of the container, object and key operations: a reader, a card
    // controller and a container; 0 or the failure, logged under `func`.
    int keyOperationGuards(const char* func, const std::shared_ptr<GC_Container>& container) const;
    // Takes the reader lock; `reset` (may be null) tells whether the card was found reset (and
    // the lock taken on a second attempt).
    int lockReader(bool* reset);
    // The card was reset under the session: what was selected and the secure channel are gone.
    void cardWasReset();
    // Removes the card's controller and everything that belongs to the card.
    void dropCard();
    // Chooses the card controller of the card in the reader (create and state).
    int installCardController();
    // The reader's APDU size from the settings, or saved to them (create).
    void loadApduSize();
    // The retransmit rule after `result` (-1701 or -1914) of the card controller: reopen the
    // channel (and lower the APDU size on the second attempt) and run `repeat`, at most twice in
    // all. Releases the reader lock.
    int retransmit(int result, const std::function<int()>& repeat);
    // Whether the companion's cache serves this card: enabled, and its entries bound to the card.
    bool cacheInUse() const;
    // Reads the card's serial number and binds the companion's entries of the reader to the card.
    void bindCardToCache();
    // The PIN an operation works on: `container`'s, or its parent's; 0 or the failure.
    int pinTarget(const char* func, std::shared_ptr<GC_Container>& container, bool parent,
                  std::shared_ptr<GC_Container>& target);
    // The companion's tries-left entry of the target's PIN: removed before an attempt, written
    // after the card's word on it.
    void forgetTries(const GC_Container& target);
    void recordTries(const GC_Container& target, unsigned long tries);
    // Takes the reader lock and selects the PIN's directory; on a failure the lock is released.
    int selectPin(const char* func, const GC_Container& target);
    // The reader's own PIN entry under the controller mutex: `answer` gets the reader's code;
    // false when the mutex could not be taken.
    bool pinpadEntry(const std::function<int(GC_Reader&)>& entry, int& answer);
    // The companion's tries-left entries of the containers' PINs, applied to them; the rest is
    // left in `query`.
    void triesFromCache(const std::vector<std::shared_ptr<GC_Container>>& containers,
                        std::vector<std::shared_ptr<GC_Container>>& query, const char* found);
    // The follow-up of a 61 xx answer: appends the rest of the chain to `raw`.
    int followChain(std::vector<uint8_t>& raw);
    // APDU-size learning after a successful exchange: the command as handed in and as sent, the
    // card's answer (chains joined) and what the caller received.
    void learnApduSize(size_t commandLength, size_t sentLength, size_t rawLength, size_t responseLength);

    uint32_t flags = 0;
    // A card reset took the channel away (flags are 0): commands asking for protection are
    // refused until a channel is opened or closed on purpose.
    bool channelTakenByReset = false;
    std::mutex mutex;
    GC_Reader* reader = nullptr;  // owned by the registry
    std::unique_ptr<GC_CardController> cardController;
    std::vector<std::shared_ptr<GC_Container>> containers;
    bool sharedMode = false;
    GC_CardController::card_controller cardControllerType = GC_CardController::CARD_GENERIC;
    int retransmitCounter = 0;
    SecureVector<unsigned char> password;  // PACE password of the last successful channel
    int passwordType = 0;                  // 0 none, 1 MRZ, 2 CAN, 3 PIN, 4 PUK
    bool containersLoaded = false;
    bool cacheBound = false;  // the companion's entries of the reader belong to this card
    // The 61 xx chain being followed: GET RESPONSE rounds and bytes so far.
    int chainRounds = 0;
    size_t chainBytes = 0;
};
