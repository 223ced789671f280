// Simulated identity card for tests: an APDU-level emulation of the generic ISO 7816-4
// card and of the two card generations (Varnel 1.0 on ChipDoc 2.0, Varnel 2.0 on
// ChipDoc 3.0), written from the card's side. It never uses the driver's code: PACE and
// secure messaging come from OpenPACE, signatures from OpenSSL, the personalisation from
// files made by the OpenSSL command line (tests/data/cardsim/make.sh).
//
// One core (this class) serves every front-end: in process, a vpcd client
// (vpcd_card.h, the cardsim-vpcd program) and later fake PC/SC libraries. All members are
// thread-safe: a test thread may inspect the log or inject faults while a front-end
// thread transmits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace cardsim {

using Bytes = std::vector<uint8_t>;

enum class Personality { Generic, Varnel1, Varnel2 };

// "generic", "varnel1", "varnel2"
const char* personalityName(Personality personality);
std::optional<Personality> parsePersonality(const std::string& name);

// The ATR a personality answers with (generic: 3B 80 80 01 01, T=0 and T=1).
Bytes defaultAtr(Personality personality);

// One PACEInfo of EF.CardAccess (ECDH generic mapping); the cipher is the last byte of the
// protocol OID, the parameter id a standardized domain parameter (10 to 18).
enum class PaceCipher : uint8_t { Des3 = 1, Aes128 = 2, Aes192 = 3, Aes256 = 4 };
struct PaceInfo {
    PaceCipher cipher = PaceCipher::Aes128;
    int parameterId = 13;
};

struct CardConfig {
    Personality personality = Personality::Varnel2;
    Bytes atr;                            // empty: defaultAtr(personality)
    Bytes serial;                         // empty: the personalisation's (GET DATA 7F FF, 8 bytes)
    std::string can = "123456";           // PACE password type 2
    std::string puk;                      // non-empty: replaces the personalisation's PUK (PIN object and PACE type 4)
    std::map<uint8_t, std::string> pins;  // by PIN reference (low 7 bits): replaces the personalisation's value
    std::vector<PaceInfo> pace = {PaceInfo{}};   // EF.CardAccess, in this order
    std::set<uint8_t> deactivatedPins;           // PIN references (low 7 bits) whose directory starts deactivated
    std::optional<bool> requireSecureMessaging;  // default: true for both Varnel generations, false for generic
    size_t maxCommandSize = 0;                   // whole command APDUs longer than this are answered 67 00 (0: none)
    size_t maxReadSize = 0;     // READ BINARY asking for more than this is answered 67 00, protected under SM (0: none)
    size_t chainAbove = 0;      // answers with more data than this go out as 61 xx chains (0: the card's own limit)
    bool endlessChain = false;  // every answer and every GET RESPONSE ends in 61 01, so the chain never ends
    size_t scratchSize = 4096;  // size of the writable scratch EF 4F00 in the PKCS#15 application
    std::string dataDir;        // empty: the checked-in tests/data/cardsim
    // Answer to the terminal's token after a wrong CAN: 69 82 (security status not satisfied),
    // or 63 00 as other cards of the family answer it.
    uint16_t wrongCanStatus = 0x6982;
    // Varnel 1.0: the application A0 00 00 01 67 45 53 49 47 40 exists (a plain SELECT of it
    // then succeeds); absent by default, so that its SELECT fails.
    bool destroyAidPresent = false;
    // Non-empty: an EC key generated on the card is derived from this seed and its reference
    // (the same key every time), so that cards can be compared whole; RSA keys stay random.
    Bytes keySeed;
};

// Personalisation values, for tests that need them.
struct PinInfo {
    uint8_t reference = 0;  // as the AODF states it
    std::string label;
    std::string value;
    int triesLeft = 0;
    int maxTries = 0;
    bool verified = false;
    bool active = true;  // its directory is activated
};

struct LogEntry {
    enum class Kind { Command, PowerOn, PowerOff, Reset };
    Kind kind = Kind::Command;
    Bytes command;        // as received
    Bytes response;       // as sent; empty when the card did not answer
    bool secure = false;  // the command was protected with secure messaging
    Bytes plainCommand;   // the command without protection (equal to command when plain)
    Bytes plainResponse;  // the response before protection (data and status word)
};

// Selects commands for answerStatus: by INS, optionally P1 and P2 (-1: any), optionally only
// those under secure messaging.
struct CommandMatch {
    uint8_t ins = 0;
    int p1 = -1;
    int p2 = -1;
    bool secureOnly = false;
};

// The two halves of an ECDSA signature (r, s).
enum class SignatureHalf { R, S };

// What a front-end must do after transmit returned no answer (an empty vector).
enum class Event { None, Reset, Removed };

// A damaged answer to one command (see CardSim::faultAnswer).
enum class AnswerFault {
    FlipMiddleByte,  // the byte at half the answer's length is inverted (SW2 of a bare status word)
    TruncateHalf,    // only the first half of the answer arrives (at least one byte)
    Plain6988,       // 69 88 in plain instead of executing the command: the card lost the channel
    HalfAsChain,     // the first half only, ending in 61 xx: a damaged answer that reads as a chain's first part
};

// What the card keeps across power cycles, for comparing whole cards.
struct CardImage {
    std::map<Bytes, Bytes> files;       // EF contents by path from the MF (3F 00 omitted)
    std::map<Bytes, bool> directories;  // whether each DF is activated, by path
    std::vector<std::string> keys;      // one line per key object: DF path, reference, kind, size, public key
    std::vector<std::string> pins;      // one line per PIN: reference, digest of the value, tries left
    bool operator==(const CardImage&) const = default;
};
// The differences between two images, one line each; empty when they are equal.
std::vector<std::string> differences(const CardImage& before, const CardImage& after);

class CardSim {
public:
    explicit CardSim(CardConfig config = CardConfig{});
    ~CardSim();
    CardSim(const CardSim&) = delete;
    CardSim& operator=(const CardSim&) = delete;

    // False when the personalisation could not be loaded; the card then answers 6F 00.
    bool ok() const;
    std::string error() const;

    Personality personality() const;
    Bytes atr() const;

    // One command APDU in, the response APDU out (data || SW1 SW2, never empty unless a
    // fault made the card go away: then takeEvent() says what happened).
    Bytes transmit(const Bytes& command);

    // Reader-side events; each drops the volatile state (selection, PACE and secure
    // messaging, security environment, verified PINs, pending GET RESPONSE data).
    void reset();
    void powerOff();
    void powerOn();

    bool secureMessagingActive() const;

    // Command log, in order, with power events.
    std::vector<LogEntry> log() const;
    void clearLog();

    // Fault injection. Response faults apply to the next response that is sent.
    void flipResponseByte(long index = -3);  // negative: from the end (-3 = last byte before SW1 SW2)
    void truncateResponse(size_t length);    // keeps the first length bytes (at least 1)
    // The next `times` commands matching `match` are answered with `sw` instead of being
    // executed (protected when the command was; unprotected drops the secure channel).
    void answerStatus(CommandMatch match, uint16_t sw, int times = 1, bool unprotected = false);
    // The answer to the next command matching `match` loses the last `bytes` bytes of its data
    // (all it has, at most) before it is protected: a short answer that passes the checksum.
    void cutAnswer(CommandMatch match, size_t bytes = 1);
    // The next command (after `after` more commands answered as usual) is not answered: the card
    // resets (Event::Reset), or is pulled (Event::Removed).
    void resetOnNextCommand(size_t after = 0);
    void removeOnNextCommand(size_t after = 0);
    // The next ECDSA signature has the chosen half start with a zero byte in its fixed-length
    // form (r || s; in DER the INTEGER is shorter): the card signs again until it does.
    void leadingZeroInNextEcdsa(SignatureHalf half);
    void setMaxReadSize(size_t size);
    void setChainAbove(size_t size);
    void setEndlessChain(bool endless);
    // The answer to the command `after` commands from now (0: the next one) meets `fault`.
    void faultAnswer(AnswerFault fault, size_t after = 0);
    // The size item (80) of the control information of every EF `fid` holds `value` instead of
    // the file's size; an empty value gives the true size again.
    void setFileSizeItem(uint16_t fid, Bytes value);
    Event takeEvent();

    // State inspection.
    Bytes serialNumber() const;
    // The session keys of every secure channel PACE opened so far, in order: K_enc, then K_mac.
    std::vector<Bytes> sessionKeys() const;
    std::optional<PinInfo> pin(uint8_t reference) const;
    std::vector<PinInfo> pins() const;
    // Content of an EF by its path of file identifiers from the MF (3F 00 omitted).
    std::optional<Bytes> file(const Bytes& path) const;
    // The public key of a key on the card as DER SubjectPublicKeyInfo (key reference, low 7 bits;
    // the first generation's low 4 bits), once the key has been generated or loaded.
    std::optional<Bytes> publicKey(uint8_t keyReference) const;
    // Files, directories, keys and PINs as they are now.
    CardImage image() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Hex helpers shared by the front-ends and tests ("00A4 04 0C", blanks and colons ignored).
std::string toHex(const Bytes& bytes, bool spaced = false);
std::optional<Bytes> fromHex(const std::string& text);

}  // namespace cardsim
