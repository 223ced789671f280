#pragma once

// A scriptable stand-in for the PC/SC client library, loaded by the reader back-end through
// GC_PCSC_LIBRARY. The test reaches the library's state through the exported function
// fakepcsc_state (dlopen of the same path gives the same library).
//
// Besides plain readers it plays a PC/SC part 10 pinpad reader: it answers the feature request
// and the property requests with what the test scripted, enters PINs from a scripted keypad
// into VERIFY and CHANGE/RESET commands, and runs PACE itself (EXECUTE_PACE) with OpenPACE's
// terminal side, protecting the card traffic afterwards as a PACE reader does. The card is the
// test's: a `Card` in the same process, usually the simulated card.

#include <PCSC/reader.h>
#include <dlfcn.h>
#include <winscard.h>

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fakepcsc {

using Bytes = std::vector<unsigned char>;

// A card in a reader, living in the test. The fake only calls it while holding the state's mutex.
class Card {
public:
    virtual ~Card() = default;
    // One command APDU in, the response APDU out; empty when the card did not answer.
    virtual Bytes transmit(const Bytes& apdu) = 0;
    // Warm reset (SCardReconnect with SCARD_RESET_CARD).
    virtual void reset() = 0;
};

struct Reader {
    std::string name;
    bool present = false;
    Bytes atr;
    Card* card = nullptr;  // not owned; null: SCardTransmit answers 90 00
};

// One scripted answer of SCardTransmit.
struct TransmitStep {
    LONG rv = SCARD_S_SUCCESS;
    Bytes response;
};

// Feature tags of PC/SC part 10 and the control codes this reader gives them.
inline constexpr unsigned char kVerifyPinStart = 0x01;
inline constexpr unsigned char kVerifyPinFinish = 0x02;
inline constexpr unsigned char kModifyPinStart = 0x03;
inline constexpr unsigned char kModifyPinFinish = 0x04;
inline constexpr unsigned char kVerifyPinDirect = 0x06;
inline constexpr unsigned char kModifyPinDirect = 0x07;
inline constexpr unsigned char kIfdPinProperties = 0x0A;
inline constexpr unsigned char kGetTlvProperties = 0x12;
inline constexpr unsigned char kExecutePace = 0x20;
inline constexpr DWORD controlCode(unsigned char tag) {
    return SCARD_CTL_CODE(0x330000 + tag);
}
inline constexpr DWORD kGetFeatureRequest = SCARD_CTL_CODE(3400);
inline constexpr DWORD kEnableWindow = SCARD_CTL_CODE(3105);

// A GET_FEATURE_REQUEST answer listing `tags` with the codes above.
inline Bytes featureList(std::initializer_list<unsigned char> tags) {
    Bytes out;
    for (unsigned char tag : tags) {
        const DWORD code = controlCode(tag);
        out.insert(out.end(), {tag, 4, static_cast<unsigned char>(code >> 24), static_cast<unsigned char>(code >> 16),
                               static_cast<unsigned char>(code >> 8), static_cast<unsigned char>(code)});
    }
    return out;
}

// What the user does on the keypad for one PIN entry request (verify, modify or a PACE password).
struct KeypadEntry {
    enum class Kind { Typed, Cancel, Timeout };
    Kind kind = Kind::Typed;
    // The PINs typed, in the order the reader asks: verify one; modify the current PIN (when
    // asked), the new one and its confirmation (when asked); PACE the password.
    std::vector<std::string> pins;
};

// One control call as the library saw it.
struct ControlCall {
    DWORD code = 0;
    Bytes input;
    DWORD outputSize = 0;
};

// What the test scripts and what the back-end did; `clear` puts all of it back as new.
struct Script {
    std::vector<Reader> readers;
    int listFailures = 0;                           // the next SCardListReaders calls that fail (SCARD_E_NO_SERVICE)
    LONG beginTransactionResult = SCARD_S_SUCCESS;  // once, then success
    std::deque<LONG> beginTransactionResults;       // results of the next calls, before the one above
    std::deque<LONG> endTransactionResults;         // results of the next calls (then success)
    std::string transactionTrace;                   // 'B' begin, 'T' transmit, 'E' end, in call order
    LONG reconnectResult = SCARD_S_SUCCESS;
    DWORD connectProtocol = SCARD_PROTOCOL_T1;
    std::deque<TransmitStep> transmitScript;  // empty: the reader's card, or 90 00
    size_t transmitsBeforeScript = 0;         // transmissions that reach the card before the script answers

    // Part 10 reader behaviour. nullopt: the request fails with SCARD_E_UNSUPPORTED_FEATURE.
    std::optional<Bytes> featureAnswer;  // GET_FEATURE_REQUEST
    std::optional<Bytes> pinProperties;  // IFD_PIN_PROPERTIES
    std::optional<Bytes> tlvProperties;  // GET_TLV_PROPERTIES
    std::deque<KeypadEntry> keypad;      // empty: nobody types (time-out)
    std::deque<Bytes> controlAnswers;    // replace the next answers of PIN and PACE controls
    std::deque<LONG> controlResults;     // results of the next PIN and PACE controls (then success)
    bool claimLongerAnswer = false;      // report one byte more than the output buffer holds (controls, transmit)

    // What the back-end did.
    int contextsEstablished = 0;
    int contextsReleased = 0;
    int connects = 0;
    int disconnects = 0;
    DWORD lastShareMode = 0;
    std::vector<DWORD> reconnectDispositions;
    std::vector<DWORD> transmitBufferSizes;
    std::vector<DWORD> transmitProtocols;
    int openCards = 0;
    std::vector<ControlCall> controls;
    std::vector<Bytes> pinCommands;    // the commands the pinpad built and sent to the card
    std::vector<Bytes> pinStructures;  // PIN structures received (verify and modify, DIRECT or START)
    std::vector<Bytes> paceInputs;     // EXECUTE_PACE blocks received
    bool paceChannel = false;          // the reader protects the card traffic
    int paceRuns = 0;                  // successful EstablishPACEChannel runs
};

struct State : Script {
    std::mutex mutex;
    void clear() {
        std::lock_guard lock(mutex);
        static_cast<Script&>(*this) = Script{};
    }
};

using StateFunction = State* (*)();

// The state of the fake library at `path`, as the back-end that loads it sees it (dlopen of the
// same path gives the same library); null when it cannot be loaded.
inline State* stateOf(const char* path) {
    void* library = dlopen(path, RTLD_NOW);
    if (library == nullptr) return nullptr;
    auto get = reinterpret_cast<StateFunction>(dlsym(library, "fakepcsc_state"));
    return get != nullptr ? get() : nullptr;
}

}  // namespace fakepcsc
