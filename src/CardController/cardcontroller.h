#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CardController/Card/card.h"
#include "Data/securevector.h"
#include "security_lib.h"

class GC_Controller;
class GC_Container;
class GC_Data;
class GC_Object;
class GC_PrivKeyObject;

// Library result codes of the card controllers.
namespace gc_cc {
inline constexpr int kOk = 0;
inline constexpr int kFailed = -1100;           // general failure; a missing session, command set or layout
inline constexpr int kNotSupported = -1101;     // the card (or this controller) does not offer it
inline constexpr int kBadParameter = -1102;     // wrong parameter, missing container, index out of range
inline constexpr int kWriteBeyondEnd = -1504;   // an update ran past the end of the file
inline constexpr int kFileNotFound = -1505;     // file not found
inline constexpr int kEndOfFile = -1507;        // end of file reached before the asked length
inline constexpr int kFileDeactivated = -1508;  // file deactivated
inline constexpr int kSecurityStatus = -1701;   // security status or conditions of use not satisfied
inline constexpr int kWarning = -1807;          // warning status word
inline constexpr int kApduTooLong = -1913;      // command or answer too long for the reader, or no usable answer
inline constexpr int kCardReset = -1914;        // the reader had to reconnect to the card
inline constexpr int kPinElsewhere = -1109;     // a PIN pre-check: the card controller verifies this PIN its own way
inline constexpr int kAlreadyActive = -2200;    // already initialised: a PIN directory active before its activation
inline constexpr int kWrongPin = -2305;         // wrong PIN (the card counts the try)
inline constexpr int kPinBlocked = -2307;       // PIN blocked
inline constexpr int kPinLength = -2310;        // PIN length outside the PIN's limits
inline constexpr int kPinNotFound = -2311;      // no such PIN: on the card, or no PIN record
inline constexpr int kDataNotFound = -2317;     // referenced data not found (6A 88)
inline constexpr int kPinpadCancelled = -2318;  // the PIN entry was cancelled on the pinpad
inline constexpr int kPinMismatch = -2319;      // the two entries on the pinpad differ
inline constexpr int kUnblockFailed = -2320;    // an unblock on a pinpad reader failed
inline constexpr int kPinpadTimeout = -2321;    // nobody typed on the pinpad in time

// Whether a result is what the card said of a PIN (right, wrong, blocked, unknown, deactivated)
// rather than a failed exchange: only such a result may change what is known of the PIN's tries,
// so that a communication error never shows a PIN as blocked.
inline bool isPinVerdict(int rc) {
    return rc == kOk || rc == kWrongPin || rc == kPinBlocked || rc == kPinNotFound || rc == kFileDeactivated;
}

// The longest file that READ and UPDATE BINARY reach (their offsets have 15 bits): a size, an
// offset or a length above it, as a card may state one, belongs to no card file.
inline constexpr size_t kLargestFile = 0x7FFF;
}  // namespace gc_cc

// The card-level layer between the card session (GC_Controller) and the stateless command
// builder of the card's operating system (GC_Card): turns a request such as "select this file of
// that application" or "read 3000 bytes from offset 0" into command APDUs, sends each through
// GC_Controller::sendApdu and maps every answer to a library result code with checkSW.
//
// It remembers what is selected on the card (application, path below it, file size), so that a
// repeated selection costs no I/O, and cuts reads and writes into chunks of the size the session
// allows. This class serves any card of no known generation; GC_CardControllerVarnel_1_0 and
// GC_CardControllerVarnel_2_0 derive from it (through GC_CardControllerVarnel).
//
// Each PIN operation is four virtual steps (precondition, command, interpretation of the answer,
// and the whole operation that runs the three), so that a card generation can replace one step
// and the session can drive the steps itself around a pinpad reader's own PIN entry.
class GC_CardController {
public:
    // Named exact ATRs of a card generation.
    using atr_table = std::vector<std::pair<std::string, std::vector<unsigned char>>>;

    // The kinds of card controller; any other value asks for detection by ATR.
    enum card_controller : uint32_t {
        CARD_GENERIC = 1,
        CARD_VARNEL_1_0 = 2,
        CARD_VARNEL_2_0 = 8,
    };

    // controller: the card session (not owned); card: the command set. Creates the plain data layer.
    GC_CardController(GC_Controller* controller, std::shared_ptr<GC_Card> card, bool sharedMode);
    virtual ~GC_CardController();

    GC_CardController(const GC_CardController&) = delete;
    GC_CardController& operator=(const GC_CardController&) = delete;

    // The card's serial number as read by readSerialNumber (no I/O).
    virtual int getSerialNumber(std::vector<uint8_t>& out);
    // Reads the card's serial number (MF, then GET DATA) into serialNumber; the session calls it
    // once the controller is installed. A command set without GET DATA sends nothing.
    int readSerialNumber();

    // Selects file `path` (2-byte file identifiers below the application) in application `aid`.
    // The application is selected when it differs from the current one, or always with
    // selectAppFirst; with a non-null fileSize the size of the last file is asked for and
    // returned (the remembered size when nothing had to be selected).
    virtual int select(const std::vector<uint8_t>& aid, const std::vector<uint8_t>& path, bool selectAppFirst,
                       size_t* fileSize);
    // Reads `count` bytes (0: one READ BINARY with Le 00) of the selected file from `offset`.
    // Stops early at the end of the file and returns what was read. A chunk the reader could not
    // carry (-1913) or the card found too long (67 00) lowers the session's size and goes again.
    virtual int read(std::vector<uint8_t>& out, size_t offset, size_t count);
    // Reads the whole TLV that starts at `offset` of a file, which must begin with `tag`. The
    // card generations offer it; here -1101.
    virtual int readEx(std::vector<uint8_t>& out, const std::vector<uint8_t>& aid, const std::vector<uint8_t>& path,
                       size_t offset, bool selectApplication, bool selectPath, std::vector<uint8_t> tag);
    // Writes data at `offset` of the selected file, in chunks lowered as in read. Empty data: 0,
    // nothing sent.
    virtual int update(const std::vector<uint8_t>& data, size_t offset);

    // The secure channel (PACE and secure messaging) of the card generations; here -1101.
    virtual int performSecureConnection(const SecureVector<unsigned char>& secret, const int& type);
    virtual int restoreSecureConnection();
    virtual int destroySecureConnection();
    virtual int performChipAuthentication();
    virtual int encryptApdu(const std::vector<uint8_t>& in, std::vector<uint8_t>& out);
    virtual int decryptApdu(const std::vector<uint8_t>& in, std::vector<uint8_t>& out);

    // Fetches a chained answer with GET RESPONSE (never under secure messaging); `out` receives
    // the data and the final status word.
    virtual int getResponse(std::vector<uint8_t>& out, size_t le);

    // --- PIN operations (cardcontroller_pin.cpp) ---
    // The PIN is the container's PIN record's. An empty `pin` with statusOnly asks for the PIN's
    // state: a wrong or unverified PIN is then no failure, and the tries left are recorded. After a
    // success the tries left are 3 (the card's limit), not read from the card.

    // Preconditions: 0 lets the operation go on (verify also goes on with -1109).
    virtual int performVerifyPassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin,
                                      bool statusOnly);
    // The commands; `command` may carry the PIN and is the caller's to wipe.
    virtual int getPerformPasswordCommand(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& command,
                                          const std::vector<uint8_t>& pin, bool statusOnly);
    // The interpretations of the card's answer (the status word is taken off `response`); they
    // write the tries left and the blocked and verified flags of the container.
    virtual int checkVerifyPassword(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& response,
                                    bool statusOnly);
    virtual int verifyPassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin,
                               bool statusOnly);
    virtual int performLogoutPassword(std::shared_ptr<GC_Container>& container);
    virtual int getLogoutPasswordCommand(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& command);
    virtual int checkLogoutPassword(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& response);
    virtual int logoutPassword(std::shared_ptr<GC_Container>& container);
    virtual int performChangePassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& oldPin,
                                      const std::vector<uint8_t>& newPin);
    virtual int getChangePasswordCommand(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& command,
                                         const std::vector<uint8_t>& oldPin, const std::vector<uint8_t>& newPin);
    virtual int checkChangePassword(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& response);
    virtual int changePassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& oldPin,
                               const std::vector<uint8_t>& newPin);
    // RESET RETRY COUNTER; with setNew `pin` is the new PIN. `previous` is a failure the caller
    // met before the answer (a pinpad reader's), returned as it is.
    virtual int performUnblockPassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin,
                                       bool setNew);
    // An empty `command` with 0: the builder did all the card work itself, nothing more to send.
    virtual int getUnblockPasswordCommand(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& command,
                                          const std::vector<uint8_t>& pin, bool setNew);
    virtual int checkUnblockPassword(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& response,
                                     long previous, bool setNew);
    virtual int unblockPassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin, bool setNew);
    // Asks the card for the PIN state of each container with a PIN record. The result is the last
    // container's (0 for an empty list).
    virtual int statusContainers(std::vector<std::shared_ptr<GC_Container>>& list);

    // Container and key management of the card generations; here the guards, then -1101.
    virtual int activeContainer(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& data);
    virtual int initContainer(std::shared_ptr<GC_Container>& container, std::vector<uint8_t> data);
    virtual int deleteObject(std::shared_ptr<GC_Container>& container, GC_Object* object, bool force);
    virtual int createObject(std::shared_ptr<GC_Container>& container, GC_Object* templ, GC_Object** out);
    virtual int generateKeyPair(std::shared_ptr<GC_Container>& container, GC_Object* privateTemplate,
                                GC_Object* publicTemplate, GC_Object** privateKey, GC_Object** publicKey);

    // Appends the card's containers, as the data layout finds them, to `containers`.
    virtual int getContainers(std::vector<std::shared_ptr<GC_Container>>& containers);
    // Reads the objects of each container not loaded yet (every one with force) into them. 0, or
    // the first read that failed through the card or the channel (that container stays not
    // loaded; contents the card does not have or that do not parse are passed over).
    virtual int loadContainers(std::vector<std::shared_ptr<GC_Container>>& containers, bool force);

    // Largest data field of one command (commandData) or answer the card takes.
    virtual int getMaxApduSize(bool commandData);
    // The library's one mapping from the card's answer (status word at its end) to a result code.
    virtual int checkSW(GC_Card::operation op, std::vector<uint8_t>& response);

    // Signs on the card; the card generations offer it, here -1101.
    virtual int signatureData(std::shared_ptr<GC_Container>& container, GC_PrivKeyObject* key,
                              std::vector<uint8_t> data, GC_Security::data_format format,
                              GC_Security::padding_type padding, std::vector<uint8_t>& out);

    // Selects application `aid` by name unless it is the current one (always with force).
    virtual int selectAID(const std::vector<uint8_t>& aid, bool force);

    // A generic controller for any card of a session; null without a session.
    static std::unique_ptr<GC_CardController> checkController(GC_Controller* controller, bool sharedMode);

    // Forgets what is selected on the card: after a reset, an MF selection or a new secure channel
    // the card's state is no longer what this controller remembers.
    void forgetSelection();

protected:
    // A new controller of card generation `Generation` when the session's card answers with
    // exactly one of the ATRs of its table (Generation::atr()); null otherwise or without session.
    template <typename Generation>
    static std::unique_ptr<GC_CardController> recognise(GC_Controller* controller, bool sharedMode) {
        if (!atrIsOneOf(controller, Generation::atr())) return nullptr;
        return std::make_unique<Generation>(controller, sharedMode);
    }
    // Whether there is a session and its card answers with exactly one of the ATRs of the table
    // (logged under the table's first name).
    static bool atrIsOneOf(GC_Controller* controller, const atr_table& rows);
    // How the selection of one file identifier of a path goes: as a directory (SELECT's df flag;
    // never here), and whether its answer gives a file size (always here).
    virtual bool selectsDirectory(const std::vector<uint8_t>& fid) const;
    virtual bool answersFileSize(const std::vector<uint8_t>& fid) const;
    // The guards of the PIN steps: session, command set, container and (pinRecord) its PIN record;
    // 0 or the failure, logged under `func`.
    int pinGuards(const char* func, const std::shared_ptr<GC_Container>& container, bool pinRecord) const;
    // The whole of a PIN operation after its precondition (0 goes on): the command that `build`
    // makes, sent, and the card's answer handed to `check`; an empty command means the builder
    // did the card work itself. Failures are returned as they are, logged under `func`.
    int pinOperation(const char* func, int precondition, const std::function<int(std::vector<uint8_t>&)>& build,
                     const std::function<int(std::vector<uint8_t>&)>& check);
    // The file state below the application is unknown from here on.
    void forgetFile();
    // The card's part of a signature that both generations share: the channel reopened first for
    // a container whose PIN has no length limits, the key's file selected in the container's
    // application, MANAGE SECURITY ENVIRONMENT: SET of the digital-signature template with the
    // generation's record, and PERFORM SECURITY OPERATION: COMPUTE DIGITAL SIGNATURE over `input`.
    // `answer` receives the card's data (cardcontroller_signature.cpp).
    int signOnCard(std::shared_ptr<GC_Container>& container, GC_PrivKeyObject* key, bool selectAppFirst,
                   unsigned long long usage, const void* record, const std::vector<uint8_t>& input,
                   std::vector<uint8_t>& answer);
    // The send-and-check of one SELECT of a file identifier; `answer` gets the data without the
    // status word. The transport's failure is -1807 when it said so, else -1100.
    int selectFid(const std::vector<uint8_t>& fid, bool fci, bool df, std::vector<uint8_t>& answer);

    std::vector<uint8_t> currentAid;   // application selected last; empty: none known
    std::vector<uint8_t> currentPath;  // file identifiers selected below it; empty: none known
    size_t currentFileSize = 0;        // size of currentPath's file (0: unknown)
    GC_Controller* controller;         // not owned
    std::shared_ptr<GC_Card> card;
    bool sharedMode;
    std::unique_ptr<GC_Data> data;
    std::vector<uint8_t> serialNumber;
};
