// The fake PC/SC library. Built twice: with the usual function names, and (FAKEPCSC_A_NAMES)
// with SCardConnect, SCardStatus, SCardGetStatusChange and SCardListReaders exported only under
// their "A" names.
//
// The pinpad and PACE side is written from the reader's point of view after PC/SC part 10 and
// its amendment 1, with pcsc-lite's structures; it shares nothing with the driver.
#include "fake_pcsc.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>

#include "terminal.h"

#ifdef FAKEPCSC_A_NAMES
#define NARROW(name) name##A
#else
#define NARROW(name) name
#endif

namespace {

using fakepcsc::Bytes;

// Like a reader's firmware, the fake clears its working copies of a block and of a password
// once handled, so that the driver's own copies are what a wipe test sees.
struct ClearOnExit {
    Bytes& bytes;
    ~ClearOnExit() {
        if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    }
};

fakepcsc::State& state() {
    static fakepcsc::State s;
    return s;
}

constexpr SCARDCONTEXT kContextBase = 0x1000;
constexpr SCARDHANDLE kCardBase = 0x2000;
SCARDCONTEXT nextContext = kContextBase;
SCARDHANDLE nextCard = kCardBase;
// The reader behind each card handle.
std::map<SCARDHANDLE, std::string> handleReaders;

// Result words of EXECUTE_PACE (amendment 1).
constexpr uint32_t kPaceInconsistentLengths = 0xD0000001;
constexpr uint32_t kPaceUnexpectedData = 0xD0000002;
constexpr uint32_t kPaceSyntaxError = 0xE0000001;
constexpr uint32_t kPaceWrongToken = 0xE0000006;
constexpr uint32_t kPaceCommunicationAbort = 0xF0100001;
constexpr uint32_t kPaceNoCard = 0xF0100002;
constexpr uint32_t kPaceAbort = 0xF0200001;
constexpr uint32_t kPaceTimeout = 0xF0200002;

const Bytes kSwTimeout{0x64, 0x00};
const Bytes kSwCancelled{0x64, 0x01};
const Bytes kSwMismatch{0x64, 0x02};
const Bytes kSwLength{0x64, 0x03};
const Bytes kSwRejected{0x6B, 0x80};

// The reader's own PACE terminal and the card it protects the traffic of.
struct PaceChannel {
    std::unique_ptr<cardsim::PaceTerminal> terminal;
    fakepcsc::Card* card = nullptr;
    // Tracking of the running EstablishPACEChannel: the step of the last command and answers.
    int step = 0;  // 2 MSE:Set AT, 3..6 General Authenticate 1..4
    Bytes mseStatus{0x00, 0x00};
    Bytes cardKey;
    bool noAnswer = false;  // the card did not answer the last command
};
PaceChannel pace;

// Pending START blocks of the two-step PIN entry.
std::optional<Bytes> pendingVerify;
std::optional<Bytes> pendingModify;

fakepcsc::Reader* readerOf(SCARDHANDLE handle) {
    auto& s = state();
    auto name = handleReaders.find(handle);
    for (auto& reader : s.readers)
        if (name != handleReaders.end() && reader.name == name->second) return &reader;
    for (auto& reader : s.readers)
        if (reader.present && reader.card != nullptr) return &reader;
    return nullptr;
}

bool channelOpen(fakepcsc::Card* card) {
    if (!state().paceChannel || pace.card != card || !pace.terminal || !pace.terminal->channelOpen()) {
        state().paceChannel = false;
        return false;
    }
    return true;
}

void dropChannel() {
    pace.terminal.reset();
    pace.card = nullptr;
    state().paceChannel = false;
}

void putLittleEndian(Bytes& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A command APDU split into its parts (short and extended cases of ISO 7816-4).
struct Command {
    unsigned char cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;
    std::optional<size_t> ne;
};

std::optional<Command> parseCommand(const Bytes& apdu) {
    const size_t n = apdu.size();
    if (n < 4) return std::nullopt;
    Command c{apdu[0], apdu[1], apdu[2], apdu[3], {}, std::nullopt};
    if (n == 4) return c;
    if (n == 5) {
        c.ne = apdu[4];
        return c;
    }
    if (apdu[4] != 0) {
        const size_t lc = apdu[4];
        if (n != 5 + lc && n != 6 + lc) return std::nullopt;
        c.data.assign(apdu.begin() + 5, apdu.begin() + 5 + static_cast<long>(lc));
        if (n == 6 + lc) c.ne = apdu.back();
        return c;
    }
    if (n == 7) {
        c.ne = static_cast<size_t>(apdu[5] << 8 | apdu[6]);
        return c;
    }
    const size_t lc = static_cast<size_t>(apdu[5] << 8 | apdu[6]);
    if (lc == 0 || (n != 7 + lc && n != 9 + lc)) return std::nullopt;
    c.data.assign(apdu.begin() + 7, apdu.begin() + 7 + static_cast<long>(lc));
    if (n == 9 + lc) c.ne = static_cast<size_t>(apdu[n - 2] << 8 | apdu[n - 1]);
    return c;
}

// One exchange with the card, protected when the reader's PACE channel is up. Empty: no answer.
Bytes cardExchange(fakepcsc::Card* card, const Bytes& apdu) {
    if (!channelOpen(card)) return card->transmit(apdu);
    auto command = parseCommand(apdu);
    if (!command) return {0x67, 0x00};
    pace.noAnswer = false;
    auto answer =
        pace.terminal->secure(command->cla, command->ins, command->p1, command->p2, command->data, command->ne);
    if (!answer) {
        // No answer (the card went away), or one that did not verify: the channel is gone.
        const bool noAnswer = pace.noAnswer;
        dropChannel();
        if (noAnswer) return {};
        return {0x69, 0x88};
    }
    if (!pace.terminal->channelOpen()) state().paceChannel = false;
    Bytes out = answer->data;
    out.push_back(static_cast<unsigned char>(answer->sw >> 8));
    out.push_back(static_cast<unsigned char>(answer->sw));
    return out;
}

// ---------------------------------------------------------------- PIN entry

// The next keypad entry with `count` PINs; nullopt with the status word when none is typed.
std::optional<std::vector<std::string>> typed(size_t count, Bytes& status) {
    auto& keypad = state().keypad;
    if (keypad.empty()) {
        status = kSwTimeout;
        return std::nullopt;
    }
    fakepcsc::KeypadEntry entry = keypad.front();
    keypad.pop_front();
    if (entry.kind == fakepcsc::KeypadEntry::Kind::Cancel) {
        status = kSwCancelled;
        return std::nullopt;
    }
    if (entry.kind == fakepcsc::KeypadEntry::Kind::Timeout || entry.pins.size() < count) {
        status = kSwTimeout;
        return std::nullopt;
    }
    return entry.pins;
}

// The formatting fields shared by both structures.
struct PinFormat {
    uint8_t formatString = 0;
    uint8_t blockString = 0;
    uint8_t lengthFormat = 0;
    unsigned minLength = 0;
    unsigned maxLength = 0;
};

// The PIN as the format string encodes it; false for digits a numeric format cannot hold.
bool encodePin(const std::string& pin, uint8_t type, Bytes& out) {
    out.clear();
    if (type == 2) {  // ASCII
        out.assign(pin.begin(), pin.end());
        return true;
    }
    for (char c : pin)
        if (c < '0' || c > '9') return false;
    if (type == 0) {  // binary: one digit per byte
        for (char c : pin) out.push_back(static_cast<unsigned char>(c - '0'));
        return true;
    }
    for (size_t i = 0; i < pin.size(); i += 2) {  // BCD, padded with F
        const unsigned hi = static_cast<unsigned>(pin[i] - '0');
        const unsigned lo = i + 1 < pin.size() ? static_cast<unsigned>(pin[i + 1] - '0') : 0x0F;
        out.push_back(static_cast<unsigned char>(hi << 4 | lo));
    }
    return true;
}

// Writes `pin` into the command data at insertion offset `offset` (bytes) as the format asks.
// The region it covers is recorded in `used` so that two PINs cannot overlap. false: the
// structure cannot be carried out (the reader's firmware refuses it).
bool insertPin(Bytes& data, std::vector<bool>& used, const PinFormat& f, size_t offset, const std::string& pin) {
    const bool bytesUnit = f.formatString & 0x80;
    const unsigned position = (f.formatString >> 3) & 0x0F;
    const uint8_t type = f.formatString & 0x03;
    if (type == 3 || (f.formatString & 0x04)) return false;  // RFU type, right justification
    if (!bytesUnit && position % 8 != 0) return false;
    const size_t start = offset + (bytesUnit ? position : position / 8);
    Bytes encoded;
    if (!encodePin(pin, type, encoded)) return false;
    const size_t block = f.blockString & 0x0F;
    if (block != 0 && encoded.size() > block) return false;
    // With a length field the block starts at the insertion offset and holds the field and the
    // PIN (at `position`); without one it is the PIN and its padding, from `position` on.
    const unsigned lengthBits = f.blockString >> 4;
    const size_t blockStart = lengthBits != 0 ? offset : start;
    const size_t blockEnd = block != 0 ? blockStart + block : start + encoded.size();
    if (blockEnd > data.size()) {
        data.resize(blockEnd, 0xFF);
        used.resize(blockEnd, false);
    }
    for (size_t i = blockStart; i < blockEnd; ++i) {
        if (used[i]) return false;
        used[i] = true;
    }
    if (start + encoded.size() > blockEnd) return false;
    std::copy(encoded.begin(), encoded.end(), data.begin() + static_cast<long>(start));
    if (lengthBits != 0) {  // the PIN length in a bit field, most significant bit first
        const unsigned lengthPosition = (f.lengthFormat & 0x10) ? (f.lengthFormat & 0x0F) * 8 : (f.lengthFormat & 0x0F);
        for (unsigned b = 0; b < lengthBits; ++b) {
            const size_t bit = blockStart * 8 + lengthPosition + b;
            if (bit / 8 >= data.size()) return false;
            const bool set = (pin.size() >> (lengthBits - 1 - b)) & 1;
            const unsigned char mask = static_cast<unsigned char>(0x80 >> (bit % 8));
            data[bit / 8] = static_cast<unsigned char>(set ? data[bit / 8] | mask : data[bit / 8] & ~mask);
        }
    }
    return true;
}

// Sends the command built from abData with the PINs inserted; answers the card's status word.
Bytes runPinCommand(fakepcsc::Card* card, const Bytes& abData, const PinFormat& f,
                    const std::vector<std::pair<size_t, std::string>>& pins) {
    if (abData.size() < 4) return kSwRejected;
    Bytes data;
    if (abData.size() > 4) {
        if (abData.size() < 6 || abData[4] != abData.size() - 5) return kSwRejected;
        data.assign(abData.begin() + 5, abData.end());
    }
    std::vector<bool> used(data.size(), false);
    for (const auto& [offset, pin] : pins)
        if (!insertPin(data, used, f, offset, pin)) return kSwRejected;
    if (data.empty() || data.size() > 255) return kSwRejected;
    Bytes command(abData.begin(), abData.begin() + 4);
    command.push_back(static_cast<unsigned char>(data.size()));
    command.insert(command.end(), data.begin(), data.end());
    state().pinCommands.push_back(command);
    if (card == nullptr) return {0x90, 0x00};
    Bytes answer = cardExchange(card, command);
    if (answer.size() < 2) return {0x6F, 0x00};
    return Bytes(answer.end() - 2, answer.end());
}

bool lengthFits(const PinFormat& f, const std::string& pin) {
    return pin.size() >= f.minLength && pin.size() <= f.maxLength;
}

Bytes verifyPin(fakepcsc::Card* card, const Bytes& block) {
    PIN_VERIFY_STRUCTURE s;
    if (block.size() < sizeof s) return kSwRejected;
    std::memcpy(&s, block.data(), sizeof s);
    if (s.ulDataLength != block.size() - sizeof s) return kSwRejected;
    // One prompt, the reader's default (FF) or none.
    if (s.bNumberMessage != 0 && s.bNumberMessage != 1 && s.bNumberMessage != 0xFF) return kSwRejected;
    const PinFormat f{s.bmFormatString, s.bmPINBlockString, s.bmPINLengthFormat,
                      static_cast<unsigned>(s.wPINMaxExtraDigit >> 8),
                      static_cast<unsigned>(s.wPINMaxExtraDigit & 0xFF)};
    Bytes status;
    auto pins = typed(1, status);
    if (!pins) return status;
    if (!lengthFits(f, (*pins)[0])) return kSwLength;
    const Bytes abData(block.begin() + sizeof s, block.end());
    return runPinCommand(card, abData, f, {{0, (*pins)[0]}});
}

Bytes modifyPin(fakepcsc::Card* card, const Bytes& block) {
    PIN_MODIFY_STRUCTURE s;
    if (block.size() < sizeof s) return kSwRejected;
    std::memcpy(&s, block.data(), sizeof s);
    if (s.ulDataLength != block.size() - sizeof s) return kSwRejected;
    const bool current = s.bConfirmPIN & 0x02;
    const bool confirm = s.bConfirmPIN & 0x01;
    const size_t entries = 1 + (current ? 1 : 0) + (confirm ? 1 : 0);
    // One prompt per entry, the reader's default (FF) or none.
    if (s.bNumberMessage != 0 && s.bNumberMessage != 0xFF && s.bNumberMessage != entries) return kSwRejected;
    const PinFormat f{s.bmFormatString, s.bmPINBlockString, s.bmPINLengthFormat,
                      static_cast<unsigned>(s.wPINMaxExtraDigit >> 8),
                      static_cast<unsigned>(s.wPINMaxExtraDigit & 0xFF)};
    Bytes status;
    auto pins = typed(entries, status);
    if (!pins) return status;
    size_t next = 0;
    std::vector<std::pair<size_t, std::string>> inserted;
    if (current) inserted.emplace_back(s.bInsertionOffsetOld, (*pins)[next++]);
    const std::string fresh = (*pins)[next++];
    if (confirm && (*pins)[next] != fresh) return kSwMismatch;
    for (const auto& [offset, pin] : inserted)
        if (!lengthFits(f, pin)) return kSwLength;
    if (!lengthFits(f, fresh)) return kSwLength;
    inserted.emplace_back(s.bInsertionOffsetNew, fresh);
    const Bytes abData(block.begin() + sizeof s, block.end());
    return runPinCommand(card, abData, f, inserted);
}

// ---------------------------------------------------------------- PACE

Bytes paceAnswer(uint32_t result, const Bytes& data = {}) {
    Bytes out;
    putLittleEndian(out, result, 4);
    putLittleEndian(out, static_cast<uint32_t>(data.size()), 2);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// The value of the single object inside a 7C answer of General Authenticate.
std::optional<Bytes> dynamicObject(const Bytes& data, unsigned char tag) {
    auto readTlv = [](const Bytes& in, size_t& at, unsigned char& t, Bytes& value) {
        if (at + 2 > in.size()) return false;
        t = in[at++];
        size_t length = in[at++];
        if (length == 0x81 || length == 0x82) {
            const size_t count = length & 0x7F;
            if (at + count > in.size()) return false;
            length = 0;
            for (size_t i = 0; i < count; ++i) length = length << 8 | in[at++];
        } else if (length > 0x82) {
            return false;
        }
        if (length > in.size() - at) return false;
        value.assign(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + length));
        at += length;
        return true;
    };
    size_t at = 0;
    unsigned char t = 0;
    Bytes outer, inner;
    if (!readTlv(data, at, t, outer) || t != 0x7C) return std::nullopt;
    at = 0;
    if (!readTlv(outer, at, t, inner) || t != tag) return std::nullopt;
    return inner;
}

// EF.CardAccess read as a PACE reader does: SELECT by file identifier, READ BINARY to the end.
// nullopt with the result word when the card refuses.
std::optional<Bytes> readCardAccess(fakepcsc::Card* card, uint32_t& result) {
    Bytes answer = card->transmit({0x00, 0xA4, 0x02, 0x0C, 0x02, 0x01, 0x1C});
    if (answer.size() < 2) {
        result = kPaceCommunicationAbort;
        return std::nullopt;
    }
    uint16_t sw = static_cast<uint16_t>(answer[answer.size() - 2] << 8 | answer.back());
    if (sw != 0x9000) {
        result = 0xF0000000 | sw;
        return std::nullopt;
    }
    Bytes content;
    while (content.size() < 0x7FFF) {
        answer = card->transmit({0x00, 0xB0, static_cast<unsigned char>(content.size() >> 8),
                                 static_cast<unsigned char>(content.size()), 0x00});
        if (answer.size() < 2) {
            result = kPaceCommunicationAbort;
            return std::nullopt;
        }
        sw = static_cast<uint16_t>(answer[answer.size() - 2] << 8 | answer.back());
        if (sw == 0x6B00 && !content.empty()) break;
        if (sw != 0x9000 && sw != 0x6282) {
            result = 0xF0010000 | sw;
            return std::nullopt;
        }
        content.insert(content.end(), answer.begin(), answer.end() - 2);
        if (sw == 0x6282 || answer.size() - 2 < 256) break;
    }
    return content;
}

Bytes establishPace(fakepcsc::Card* card, const Bytes& in) {
    // 02 | L (2, LE) | PinID | lenCHAT | CHAT | lenPIN | PIN | lenCertDesc (2, LE) | CertDesc
    if (in.size() < 3 || static_cast<size_t>(in[1] | in[2] << 8) != in.size() - 3) {
        return paceAnswer(kPaceInconsistentLengths);
    }
    size_t at = 3;
    auto take = [&](size_t count, Bytes* out) {
        if (count > in.size() - at) return false;
        if (out) out->assign(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + count));
        at += count;
        return true;
    };
    Bytes pinId, chatLength, pinLength, password, certLength;
    ClearOnExit clearPassword{password};
    if (!take(1, &pinId) || !take(1, &chatLength) || !take(chatLength[0], nullptr) || !take(1, &pinLength) ||
        !take(pinLength[0], &password) || !take(2, &certLength) ||
        !take(static_cast<size_t>(certLength[0] | certLength[1] << 8), nullptr) || at != in.size()) {
        return paceAnswer(kPaceInconsistentLengths);
    }
    if (card == nullptr) return paceAnswer(kPaceNoCard);
    std::string secret(password.begin(), password.end());
    if (secret.empty()) {  // the password comes from the keypad
        auto& keypad = state().keypad;
        if (keypad.empty()) return paceAnswer(kPaceTimeout);
        fakepcsc::KeypadEntry entry = keypad.front();
        keypad.pop_front();
        if (entry.kind == fakepcsc::KeypadEntry::Kind::Cancel) return paceAnswer(kPaceAbort);
        if (entry.kind == fakepcsc::KeypadEntry::Kind::Timeout || entry.pins.empty()) return paceAnswer(kPaceTimeout);
        secret = entry.pins[0];
    }

    dropChannel();
    uint32_t result = 0;
    auto cardAccess = readCardAccess(card, result);
    if (!cardAccess) return paceAnswer(result);

    pace.step = 0;
    pace.mseStatus = {0x00, 0x00};
    pace.cardKey.clear();
    pace.card = card;
    pace.terminal = std::make_unique<cardsim::PaceTerminal>([card](const Bytes& apdu) -> std::optional<Bytes> {
        if (apdu.size() >= 2 && apdu[1] == 0x22) pace.step = 2;
        if (apdu.size() >= 2 && apdu[1] == 0x86) ++pace.step;
        Bytes answer = card->transmit(apdu);
        if (answer.size() < 2) {
            pace.noAnswer = true;
            return std::nullopt;
        }
        if (pace.step == 2) pace.mseStatus.assign(answer.end() - 2, answer.end());
        if (pace.step == 5) {
            auto key = dynamicObject(Bytes(answer.begin(), answer.end() - 2), 0x84);
            if (key) pace.cardKey = *key;
        }
        return answer;
    });
    const auto outcome = pace.terminal->establish(secret, pinId[0], *cardAccess);
    const uint32_t sw = pace.terminal->lastStatus();
    using R = cardsim::PaceTerminal::Result;
    if (outcome != R::Ok) {
        const int step = pace.step;
        dropChannel();
        switch (outcome) {
            case R::Transport:
                return paceAnswer(kPaceCommunicationAbort);
            case R::Refused:
            case R::WrongPassword:
                return paceAnswer(0xF0000000 | static_cast<uint32_t>(step) << 16 | sw);
            case R::CardToken:
                return paceAnswer(kPaceWrongToken);
            default:
                return paceAnswer(kPaceSyntaxError);
        }
    }
    state().paceChannel = true;
    ++state().paceRuns;
    Bytes data = pace.mseStatus;
    putLittleEndian(data, static_cast<uint32_t>(cardAccess->size()), 2);
    data.insert(data.end(), cardAccess->begin(), cardAccess->end());
    data.push_back(0x00);  // no recent CAR
    data.push_back(0x00);  // no previous CAR
    putLittleEndian(data, static_cast<uint32_t>(pace.cardKey.size()), 2);
    data.insert(data.end(), pace.cardKey.begin(), pace.cardKey.end());
    return paceAnswer(0, data);
}

Bytes executePace(fakepcsc::Card* card, const Bytes& in) {
    if (in.empty()) return paceAnswer(kPaceInconsistentLengths);
    switch (in[0]) {
        case 0x01:  // GetReaderPACECapabilities: generic PACE and DestroyPACEChannel
            if (in.size() != 3 || in[1] != 0 || in[2] != 0) return paceAnswer(kPaceInconsistentLengths);
            return paceAnswer(0, {0x01, 0x30});
        case 0x02:
            return establishPace(card, in);
        case 0x03:  // DestroyPACEChannel
            if (in.size() != 3 || in[1] != 0 || in[2] != 0) return paceAnswer(kPaceInconsistentLengths);
            dropChannel();
            return paceAnswer(0);
        default:
            return paceAnswer(kPaceUnexpectedData);
    }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) fakepcsc::State* fakepcsc_state() {
    return &state();
}

__attribute__((visibility("default"))) LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    std::lock_guard lock(state().mutex);
    ++state().contextsEstablished;
    *context = ++nextContext;
    return SCARD_S_SUCCESS;
}

__attribute__((visibility("default"))) LONG SCardReleaseContext(SCARDCONTEXT) {
    std::lock_guard lock(state().mutex);
    ++state().contextsReleased;
    return SCARD_S_SUCCESS;
}

__attribute__((visibility("default"))) LONG SCardIsValidContext(SCARDCONTEXT context) {
    return context != 0 ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

__attribute__((visibility("default"))) LONG NARROW(SCardConnect)(SCARDCONTEXT, LPCSTR reader, DWORD share, DWORD,
                                                                 LPSCARDHANDLE card, LPDWORD protocol) {
    std::lock_guard lock(state().mutex);
    auto& s = state();
    auto it = std::find_if(s.readers.begin(), s.readers.end(), [&](const auto& r) { return r.name == reader; });
    if (it == s.readers.end()) return SCARD_E_UNKNOWN_READER;
    if (!it->present) return SCARD_E_NO_SMARTCARD;
    if (share == SCARD_SHARE_EXCLUSIVE && s.openCards > 0) return SCARD_E_SHARING_VIOLATION;
    ++s.connects;
    ++s.openCards;
    s.lastShareMode = share;
    *card = ++nextCard;
    handleReaders[*card] = it->name;
    *protocol = s.connectProtocol;
    return SCARD_S_SUCCESS;
}

__attribute__((visibility("default"))) LONG SCardReconnect(SCARDHANDLE handle, DWORD share, DWORD, DWORD disposition,
                                                           LPDWORD protocol) {
    std::lock_guard lock(state().mutex);
    state().reconnectDispositions.push_back(disposition);
    state().lastShareMode = share;
    *protocol = state().connectProtocol;
    if (state().reconnectResult == SCARD_S_SUCCESS && disposition != SCARD_LEAVE_CARD) {
        fakepcsc::Reader* reader = readerOf(handle);
        if (reader != nullptr && reader->card != nullptr) {
            if (pace.card == reader->card) dropChannel();
            reader->card->reset();
        }
    }
    return state().reconnectResult;
}

__attribute__((visibility("default"))) LONG SCardDisconnect(SCARDHANDLE handle, DWORD) {
    std::lock_guard lock(state().mutex);
    ++state().disconnects;
    if (state().openCards > 0) --state().openCards;
    handleReaders.erase(handle);
    return SCARD_S_SUCCESS;
}

__attribute__((visibility("default"))) LONG SCardBeginTransaction(SCARDHANDLE) {
    std::lock_guard lock(state().mutex);
    auto& s = state();
    s.transactionTrace += 'B';
    if (!s.beginTransactionResults.empty()) {
        const LONG rv = s.beginTransactionResults.front();
        s.beginTransactionResults.pop_front();
        return rv;
    }
    LONG rv = s.beginTransactionResult;
    s.beginTransactionResult = SCARD_S_SUCCESS;
    return rv;
}

__attribute__((visibility("default"))) LONG SCardEndTransaction(SCARDHANDLE, DWORD) {
    std::lock_guard lock(state().mutex);
    auto& s = state();
    s.transactionTrace += 'E';
    if (s.endTransactionResults.empty()) return SCARD_S_SUCCESS;
    const LONG rv = s.endTransactionResults.front();
    s.endTransactionResults.pop_front();
    return rv;
}

__attribute__((visibility("default"))) LONG NARROW(SCardStatus)(SCARDHANDLE, LPSTR, LPDWORD, LPDWORD, LPDWORD protocol,
                                                                LPBYTE, LPDWORD) {
    if (protocol != nullptr) *protocol = state().connectProtocol;
    return SCARD_S_SUCCESS;
}

__attribute__((visibility("default"))) LONG NARROW(SCardGetStatusChange)(SCARDCONTEXT, DWORD, SCARD_READERSTATE* states,
                                                                         DWORD count) {
    std::lock_guard lock(state().mutex);
    bool changed = false;
    for (DWORD i = 0; i < count; ++i) {
        SCARD_READERSTATE& e = states[i];
        if (std::strcmp(e.szReader, "\\\\?PnP?\\Notification") == 0) {
            DWORD event = static_cast<DWORD>(state().readers.size()) << 16;
            if ((e.dwCurrentState >> 16) != (event >> 16)) {
                e.dwEventState = event | SCARD_STATE_CHANGED;
                changed = true;
            } else {
                e.dwEventState = e.dwCurrentState;
            }
            continue;
        }
        auto it = std::find_if(state().readers.begin(), state().readers.end(),
                               [&](const auto& r) { return r.name == e.szReader; });
        DWORD event = SCARD_STATE_UNKNOWN;
        e.cbAtr = 0;
        if (it != state().readers.end()) {
            event = it->present ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
            if (it->present) {
                e.cbAtr = static_cast<DWORD>(std::min<size_t>(it->atr.size(), MAX_ATR_SIZE));
                std::memcpy(e.rgbAtr, it->atr.data(), e.cbAtr);
            }
        }
        if ((e.dwCurrentState & ~SCARD_STATE_CHANGED & 0xFFFF) != event) {
            changed = true;
            event |= SCARD_STATE_CHANGED;
        }
        e.dwEventState = event;
    }
    return changed ? SCARD_S_SUCCESS : SCARD_E_TIMEOUT;
}

__attribute__((visibility("default"))) LONG SCardCancel(SCARDCONTEXT) {
    return SCARD_S_SUCCESS;
}

__attribute__((visibility("default"))) LONG SCardGetAttrib(SCARDHANDLE, DWORD, LPBYTE, LPDWORD) {
    return SCARD_E_UNSUPPORTED_FEATURE;
}

__attribute__((visibility("default"))) LONG SCardControl(SCARDHANDLE handle, DWORD code, LPCVOID input,
                                                         DWORD inputLength, LPVOID output, DWORD outputLength,
                                                         LPDWORD returned) {
    std::lock_guard lock(state().mutex);
    auto& s = state();
    if (returned != nullptr) *returned = 0;
    const auto* inBytes = static_cast<const unsigned char*>(input);
    Bytes in = inBytes != nullptr ? Bytes(inBytes, inBytes + inputLength) : Bytes{};
    ClearOnExit clearInput{in};
    s.controls.push_back({code, in, outputLength});
    if (code == fakepcsc::kEnableWindow) return SCARD_S_SUCCESS;

    std::optional<Bytes> answer;
    if (code == fakepcsc::kGetFeatureRequest) {
        answer = s.featureAnswer;
    } else if (code == fakepcsc::controlCode(fakepcsc::kIfdPinProperties)) {
        answer = s.pinProperties;
    } else if (code == fakepcsc::controlCode(fakepcsc::kGetTlvProperties)) {
        answer = s.tlvProperties;
    } else {
        static const DWORD kEntryCodes[] = {
            fakepcsc::controlCode(fakepcsc::kVerifyPinDirect), fakepcsc::controlCode(fakepcsc::kVerifyPinStart),
            fakepcsc::controlCode(fakepcsc::kVerifyPinFinish), fakepcsc::controlCode(fakepcsc::kModifyPinDirect),
            fakepcsc::controlCode(fakepcsc::kModifyPinStart),  fakepcsc::controlCode(fakepcsc::kModifyPinFinish),
            fakepcsc::controlCode(fakepcsc::kExecutePace)};
        if (std::find(std::begin(kEntryCodes), std::end(kEntryCodes), code) == std::end(kEntryCodes))
            return SCARD_E_UNSUPPORTED_FEATURE;
        if (!s.controlResults.empty()) {
            const LONG rv = s.controlResults.front();
            s.controlResults.pop_front();
            if (rv != SCARD_S_SUCCESS) return rv;
        }
        fakepcsc::Reader* reader = readerOf(handle);
        fakepcsc::Card* card = reader != nullptr && reader->present ? reader->card : nullptr;
        if (code == fakepcsc::controlCode(fakepcsc::kVerifyPinStart)) {
            s.pinStructures.push_back(in);
            pendingVerify = in;
            answer = Bytes{};
        } else if (code == fakepcsc::controlCode(fakepcsc::kModifyPinStart)) {
            s.pinStructures.push_back(in);
            pendingModify = in;
            answer = Bytes{};
        } else if (code == fakepcsc::controlCode(fakepcsc::kVerifyPinFinish) ||
                   code == fakepcsc::controlCode(fakepcsc::kModifyPinFinish)) {
            const bool verify = code == fakepcsc::controlCode(fakepcsc::kVerifyPinFinish);
            std::optional<Bytes>& pending = verify ? pendingVerify : pendingModify;
            if (!pending || !in.empty()) return SCARD_E_INVALID_PARAMETER;
            const Bytes structure = *pending;
            pending.reset();
            answer = verify ? verifyPin(card, structure) : modifyPin(card, structure);
        } else if (code == fakepcsc::controlCode(fakepcsc::kVerifyPinDirect)) {
            s.pinStructures.push_back(in);
            answer = verifyPin(card, in);
        } else if (code == fakepcsc::controlCode(fakepcsc::kModifyPinDirect)) {
            s.pinStructures.push_back(in);
            answer = modifyPin(card, in);
        } else {
            s.paceInputs.push_back(in);
            answer = executePace(card, in);
        }
        // A scripted answer stands in for what the reader would have said.
        if (!s.controlAnswers.empty()) {
            answer = s.controlAnswers.front();
            s.controlAnswers.pop_front();
        }
    }
    if (!answer) return SCARD_E_UNSUPPORTED_FEATURE;
    if (answer->size() > outputLength) return SCARD_E_INSUFFICIENT_BUFFER;
    if (!answer->empty()) std::memcpy(output, answer->data(), answer->size());
    if (returned != nullptr) *returned = s.claimLongerAnswer ? outputLength + 1 : static_cast<DWORD>(answer->size());
    return SCARD_S_SUCCESS;
}

__attribute__((visibility("default"))) LONG SCardTransmit(SCARDHANDLE handle, const SCARD_IO_REQUEST* pci,
                                                          LPCBYTE command, DWORD commandLength, SCARD_IO_REQUEST*,
                                                          LPBYTE response, LPDWORD length) {
    std::lock_guard lock(state().mutex);
    auto& s = state();
    s.transmitBufferSizes.push_back(*length);
    s.transmitProtocols.push_back(pci != nullptr ? pci->dwProtocol : 0);
    s.transactionTrace += 'T';
    fakepcsc::TransmitStep step;
    step.response = {0x90, 0x00};
    const bool scripted = s.transmitsBeforeScript == 0 && !s.transmitScript.empty();
    if (s.transmitsBeforeScript > 0) --s.transmitsBeforeScript;
    if (scripted) {
        step = s.transmitScript.front();
        s.transmitScript.pop_front();
    } else if (fakepcsc::Reader* reader = readerOf(handle); reader != nullptr && reader->card != nullptr) {
        step.response = cardExchange(reader->card, Bytes(command, command + commandLength));
        if (step.response.empty()) step.rv = SCARD_W_REMOVED_CARD;
    }
    if (step.response.size() > *length) {
        *length = 0;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (!step.response.empty()) std::memcpy(response, step.response.data(), step.response.size());
    *length = s.claimLongerAnswer ? *length + 1 : static_cast<DWORD>(step.response.size());
    return step.rv;
}

__attribute__((visibility("default"))) LONG NARROW(SCardListReaders)(SCARDCONTEXT, LPCSTR, LPSTR buffer,
                                                                     LPDWORD length) {
    std::lock_guard lock(state().mutex);
    auto& s = state();
    if (s.listFailures > 0) {
        --s.listFailures;
        return SCARD_E_NO_SERVICE;
    }
    if (s.readers.empty()) return SCARD_E_NO_READERS_AVAILABLE;
    std::string list;
    for (const auto& r : s.readers) list += r.name + '\0';
    list += '\0';
    if (buffer == nullptr) {
        *length = static_cast<DWORD>(list.size());
        return SCARD_S_SUCCESS;
    }
    if (*length < list.size()) return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, list.data(), list.size());
    *length = static_cast<DWORD>(list.size());
    return SCARD_S_SUCCESS;
}

}  // extern "C"
