// Internals of the simulated card, shared by its source files only.
#pragma once

#include <openssl/evp.h>

#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cardsim.h"

struct eac_ctx;
struct pace_sec;

namespace cardsim {

// ---------------------------------------------------------------- APDUs
struct Apdu {
    uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;
    size_t ne = 0;  // expected response length (256 / 65536 for Le 00 / 00 00)
    bool hasLe = false;
    bool extended = false;
};

// ISO 7816-3 cases 1 to 4, short and extended; false for a malformed command.
bool parseApdu(const Bytes& raw, Apdu& out);
Bytes encodeApdu(const Apdu& apdu);

struct Response {
    Bytes data;
    uint16_t sw = 0x9000;
    static Response status(uint16_t sw) { return Response{{}, sw}; }
};

// ---------------------------------------------------------------- BER-TLV
struct Tlv {
    unsigned tag = 0;  // one or two tag bytes
    Bytes value;
    Bytes raw;  // tag, length and value as received
};
// Parses a sequence of TLVs covering all of `in`; false when anything is malformed.
bool parseTlvs(const uint8_t* in, size_t length, std::vector<Tlv>& out);
void appendLength(Bytes& out, size_t length);
Bytes tlv(unsigned tag, const Bytes& value);  // one to three tag bytes

// ---------------------------------------------------------------- OpenSSL ownership
struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct EacCtxFree {
    void operator()(eac_ctx* ctx) const;
};
using EacCtxPtr = std::unique_ptr<eac_ctx, EacCtxFree>;
struct PaceSecFree {
    void operator()(pace_sec* sec) const;
};
using PaceSecPtr = std::unique_ptr<pace_sec, PaceSecFree>;

// A string that wipes itself (PINs, CAN).
class Secret {
public:
    Secret() = default;
    explicit Secret(std::string value) : value_(std::move(value)) {}
    Secret(const Secret& other) : value_(other.value_) {}
    Secret& operator=(const Secret& other);
    ~Secret();
    const std::string& str() const { return value_; }
    bool equals(const uint8_t* data, size_t length) const;
    void assign(const uint8_t* data, size_t length);

private:
    std::string value_;
};

// ---------------------------------------------------------------- card objects
enum class KeyKind { Rsa, Ec };

struct Key {
    uint8_t reference = 0;  // low 7 bits (the first generation names keys by the low 4)
    KeyKind kind = KeyKind::Rsa;
    bool isPrivate = true;           // the first generation keeps a private and a public half; the others one object
    size_t bits = 0;                 // the size the object was created for
    int curve = 0;                   // EC: the curve's NID, once known
    std::shared_ptr<EVP_PKEY> pkey;  // null until generated; the two halves of a pair share it
    uint8_t pinReference = 0;        // low 7 bits of the PIN that must be verified
};

struct Node {
    uint16_t fid = 0;
    bool isDf = false;
    Bytes aid;               // DF name
    Bytes content;           // EF
    bool active = true;      // deactivated DFs answer SELECT with 62 83
    bool plainRead = false;  // readable without secure messaging
    bool readOnly = false;
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;
    std::list<Key> keys;  // a list: the security environment points into it while keys come and go

    Node* addDf(uint16_t id, Bytes name = {});
    Node* addEf(uint16_t id, Bytes data);
    Node* child(uint16_t id) const;
    bool ancestorsActive() const;
};

struct Pin {
    uint8_t reference = 0;  // as personalised; matched on the low 7 bits
    std::string label;
    Secret value;
    size_t minLength = 4;
    size_t maxLength = 8;
    int maxTries = 3;
    int tries = 3;
    uint8_t parent = 0;  // low 7 bits of the unblocking PIN, 0 for none
    Node* directory = nullptr;
    Node* application = nullptr;
    bool verified = false;     // volatile
    bool pendingInit = false;  // activated in this session: may get its value without the PUK (volatile)
    bool unblocked = false;    // reset without a value in this session: CHANGE P1 01 may set one (volatile)
    bool isPuk = false;

    bool blocked() const { return tries <= 0; }
    bool active() const { return directory == nullptr || directory->active; }
};

struct Traits {
    size_t maxCommandData = 255;
    size_t maxResponseData = 256;
    bool extendedLength = false;
    bool chipdoc = false;          // ChipDoc status words (63 81, 69 85 for algorithm errors), class 80
    bool efSelectFindsDf = false;  // SELECT P1 02 also selects a child DF (ChipDoc 3.0)
};

struct PaceRun {
    EacCtxPtr ctx;
    PaceSecPtr secret;
    int step = 0;  // next General Authenticate expected: 0 nonce, 1 map, 2 key agreement, 3 token
    uint8_t passwordRef = 0;
    Bytes terminalKey;  // the terminal's ephemeral public key, for the card token
};

struct SecurityEnvironment {
    Key* key = nullptr;
    uint8_t algorithm = 0;
};

struct PendingChain {
    Bytes data;
    uint16_t sw = 0x9000;
    bool active = false;
};

struct StatusFault {
    CommandMatch match;
    uint16_t sw = 0;
    int times = 0;
    bool unprotected = false;
};

struct CardSim::Impl {
    ~Impl();
    mutable std::mutex mutex;
    CardConfig config;
    Traits traits;
    bool requireSm = true;
    std::string error;
    Bytes atr;
    Bytes serial;
    std::unique_ptr<Node> mf;
    std::vector<Pin> pins;

    // volatile state
    bool powered = true;
    Node* currentDf = nullptr;
    Node* currentEf = nullptr;
    std::unique_ptr<PaceRun> pace;
    EacCtxPtr sm;      // secure messaging in force when set
    EacCtxPtr nextSm;  // channel opened by the command being answered; takes over after the answer
    // K_enc and K_mac of every channel opened, in order
    std::vector<Bytes> sessionKeys;
    SecurityEnvironment se;
    PendingChain chain;

    // test hooks
    std::vector<LogEntry> log;
    std::optional<long> flipIndex;
    std::optional<size_t> truncateTo;
    std::vector<StatusFault> statusFaults;
    struct AnswerCut {
        CommandMatch match;
        size_t bytes;
    };
    std::optional<AnswerCut> answerCut;
    std::optional<SignatureHalf> zeroHalf;  // of the next ECDSA signature
    struct PendingAnswerFault {
        AnswerFault fault;
        size_t after;  // commands still answered as usual before it strikes
    };
    std::optional<PendingAnswerFault> answerFault;
    std::map<uint16_t, Bytes> sizeItems;  // by EF identifier: the content of its FCP's 80 item
    bool resetNext = false;
    bool removeNext = false;
    size_t eventAfter = 0;  // commands still answered before resetNext or removeNext strikes
    Event event = Event::None;

    // personalisation.cpp
    bool personalise();
    // cardsim.cpp
    void clearVolatile();
    Bytes handle(const Bytes& wire, LogEntry& entry);
    Response dispatch(const Apdu& apdu, bool secure);
    Response select(const Apdu& apdu);
    Response readBinary(const Apdu& apdu, bool secure);
    Response updateBinary(const Apdu& apdu, bool secure);
    Response verify(const Apdu& apdu, bool secure);
    Response changeReferenceData(const Apdu& apdu, bool secure);
    Response resetRetryCounter(const Apdu& apdu, bool secure);
    Response activate(const Apdu& apdu, bool secure);
    Response putData(const Apdu& apdu, bool secure);
    Response getData(const Apdu& apdu);
    Response getResponse(const Apdu& apdu);
    Pin* findPin(uint8_t reference);
    Node* currentApplication() const;
    Response wrongPin(Pin& pin);
    // card_pace.cpp
    Response mseSetAt(const Apdu& apdu);
    Response generalAuthenticate(const Apdu& apdu);
    enum class SmError { None, Missing, Mac };
    SmError unwrap(const Apdu& wire, Apdu& plain);
    Bytes wrap(const Response& response, uint8_t ins);
    void dropSecureMessaging();
    // card_sign.cpp
    Response mseSetSignature(const Apdu& apdu, bool secure);
    Response computeSignature(const Apdu& apdu, bool secure);
    // card_keys.cpp: the key commands of the personality, nullopt for any other command
    std::optional<Response> keyCommand(const Apdu& apdu, bool secure);
    Key* keyInCurrentDf(uint8_t reference, std::optional<bool> isPrivate, std::optional<KeyKind> kind);
    void removeKey(Key* key);
    Response createKeyPair(const Apdu& apdu, bool secure);
    Response loadCurve(const Apdu& apdu, bool secure);
    Response generateKeyPair(const Apdu& apdu, bool secure);
    Response deleteKeyPair(const Apdu& apdu, bool secure);
    Response createKeyHalf(const Apdu& apdu, bool secure);
    Response generateKeyHalves(const Apdu& apdu, bool secure);
    Response readPublicKey(const Apdu& apdu, bool secure);
    Response deleteKeyHalf(const Apdu& apdu, bool secure);
};

std::string dataDirectory(const CardConfig& config);
Bytes buildCardAccess(const std::vector<PaceInfo>& infos);
void initOpenPace();

}  // namespace cardsim
