// PC/SC back-end: PACE run by the reader (PC/SC part 10 amendment 1, EstablishPACEChannel and
// DestroyPACEChannel through the EXECUTE_PACE control code).
#include <cstring>
#include <iterator>

#include "Data/wipe.h"
#include "Reader/readerpcsc.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "Reader/readerpcsc";
constexpr unsigned long kLogMask = gc_log::kReader;
constexpr unsigned long kLogError = gc_log::kReader | gc_log::kError;

constexpr unsigned char GC_PACE_FUNCTION_EstablishPACEChannel = 0x02;
constexpr unsigned char GC_PACE_FUNCTION_DestroyPACEChannel = 0x03;

constexpr size_t kPaceBuffer = 65000;

unsigned long littleEndian(const std::vector<unsigned char>& in, size_t at, int bytes) {
    unsigned long value = 0;
    for (int i = bytes; i-- > 0;) value = value << 8 | in[at + static_cast<size_t>(i)];
    return value;
}

// Copies one field of the reader's output into the caller's buffer (when there is one).
int copyField(const unsigned char* source, size_t count, unsigned char* buffer, size_t& length, const char* copying,
              const char* tooBig, const char* notSet) {
    if (buffer == nullptr) {
        GC_LoggerC::log("transformPaceOutput", kLogFile, __LINE__, kLogMask, notSet);
        length = 0;
        return gc_reader::kOk;
    }
    GC_LoggerC::log("transformPaceOutput", kLogFile, __LINE__, kLogMask, copying);
    if (count > length)
        return GC_LoggerC::fail("transformPaceOutput", kLogFile, __LINE__, kLogError, gc_reader::kBufferTooSmall, "%s",
                                tooBig);
    if (count > 0) std::memcpy(buffer, source, count);
    length = count;
    return gc_reader::kOk;
}

int tooShort(int line) {
    return GC_LoggerC::fail("transformPaceOutput", kLogFile, line, kLogError, gc_reader::kUnknownData,
                            "Prepare PACE output error | Length is to big");
}

// The steps of EstablishPACEChannel that a result word 0xF00Sxxxx names (S), and the card's
// status word that means the password was wrong at that step (0: none).
struct PaceStep {
    const char* text;
    unsigned wrongPassword;
};
constexpr PaceStep kPaceSteps[] = {
    {"Select EF.CardAccess", 0},
    {"Read binery EF.CardAccess", 0},
    {"MSE: Set AT", 0x6985},
    {"General Authenticate Step 1", 0},
    {"General Authenticate Step 2", 0},
    {"General Authenticate Step 3", 0},
    {"General Authenticate Step 4", 0x6982},
};

// The reader's own result words, with their codes and texts.
struct PaceFailure {
    uint32_t result;
    int code;
    const char* text;
};
constexpr PaceFailure kPaceFailures[] = {
    {0xF0100001, gc_reader::kCardRemoved, "Communication abort (e.g. card removed during protocol): "},
    {0xF0100002, gc_reader::kNoCard, "No card : "},
    {0xF0200001, gc_reader::kCancelled, "Abort : "},
    {0xF0200002, gc_reader::kTimeout, "Timeout : "},
};

// The reader code for a result word of the EXECUTE_PACE functions; 0xF00Sxxxx carries the
// card's status word xxxx of step S. `logged`: write the line of the code (EstablishPACEChannel).
int paceResult(uint32_t result, bool logged) {
    if (result == 0) return gc_reader::kOk;
    const unsigned step = (result >> 16) & 0x0F;
    if ((result >> 20) == 0xF00 && step < std::size(kPaceSteps)) {
        const PaceStep& s = kPaceSteps[step];
        const int code = s.wrongPassword != 0 && (result & 0xFFFF) == s.wrongPassword ? gc_reader::kPaceWrongPassword
                                                                                      : gc_reader::kPaceStep;
        if (logged)
            GC_LoggerC::ret2f("performSecureConnection", kLogFile, __LINE__, kLogError, code,
                              "Perform Pace in reader | %s error : %u", s.text, result);
        return code;
    }
    int code = gc_reader::kUnknownData;
    const char* text = "Other error : ";
    for (const PaceFailure& failure : kPaceFailures) {
        if (failure.result != result) continue;
        code = failure.code;
        text = failure.text;
    }
    if (logged)
        GC_LoggerC::ret2f("performSecureConnection", kLogFile, __LINE__, kLogError, code,
                          "Perform Pace in reader | %s%u", text, result);
    return code;
}

}  // namespace

int GC_ReaderPCSC::transformPaceInput(const establish_pace_channel_input* input, std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (input == nullptr || (input->chatLength != 0 && input->chat == nullptr) ||
        (input->pinLength != 0 && input->pin == nullptr) ||
        (input->certificateDescriptionLength != 0 && input->certificateDescription == nullptr))
        return GC_FAIL(kLogError, gc_reader::kBadArgument, "Prepare PACE input error | Invalid argument");
    // CHAT and PIN lengths travel in one byte each, the whole block in at most 65000 bytes.
    const size_t length = input->chatLength + input->pinLength + input->certificateDescriptionLength + 5;
    if (input->chatLength > 0xFF || input->pinLength > 0xFF || input->certificateDescriptionLength > 0xFFFF ||
        length + 3 > kPaceBuffer)
        return GC_FAIL(kLogError, gc_reader::kBufferTooSmall, "Prepare PACE input error | Input length is to big");
    // Room for the whole block first: a reallocation would leave a copy of the PIN behind.
    out.reserve(out.size() + length + 3);
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask,
                    "Prepare PACE input | Function index : GC_PACE_FUNCTION_EstablishPACEChannel");
    out.push_back(GC_PACE_FUNCTION_EstablishPACEChannel);
    out.push_back(static_cast<unsigned char>(length));
    out.push_back(static_cast<unsigned char>(length >> 8));
    out.push_back(input->pinId);
    out.push_back(static_cast<unsigned char>(input->chatLength));
    if (input->chatLength != 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Prepare PACE input | CHAT is add");
        out.insert(out.end(), input->chat, input->chat + input->chatLength);
    }
    out.push_back(static_cast<unsigned char>(input->pinLength));
    if (input->pinLength != 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Prepare PACE input | With PIN");
        out.insert(out.end(), input->pin, input->pin + input->pinLength);
    } else {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Prepare PACE input | PIN add in reader");
    }
    out.push_back(static_cast<unsigned char>(input->certificateDescriptionLength));
    out.push_back(static_cast<unsigned char>(input->certificateDescriptionLength >> 8));
    if (input->certificateDescriptionLength != 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Prepare PACE input | With Certificate desc");
        out.insert(out.end(), input->certificateDescription,
                   input->certificateDescription + input->certificateDescriptionLength);
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderPCSC::transformPaceOutput(const std::vector<unsigned char>& in, establish_pace_channel_output* output) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const size_t total = in.size();
    if (output == nullptr || total == 0)
        return GC_FAIL(kLogError, gc_reader::kBadArgument, "Prepare PACE output error | Invalid argument");
    if (total < 4)
        return GC_FAIL(kLogError, gc_reader::kUnknownData, "Prepare PACE output error | Wrong response length");
    output->result = static_cast<uint32_t>(littleEndian(in, 0, 4));
    if (total < 6) return tooShort(__LINE__);
    // Every answer states the length of what follows the first six bytes; a 6-byte answer too.
    if (littleEndian(in, 4, 2) + 6 != total)
        return GC_FAIL(kLogError, gc_reader::kUnknownData,
                       "Prepare PACE output error | Length in response is not equal with length in structure");
    if (total == 6) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk,
                         "Prepare PACE output error | Result length is 6");
        return gc_reader::kOk;
    }
    if (total < 10) return tooShort(__LINE__);

    size_t at = 8;  // behind the status word of MSE:Set AT, which is not kept
    const size_t cardAccess = littleEndian(in, at, 2);
    at += 2;
    if (cardAccess > total - at) return tooShort(__LINE__);
    int rv = copyField(in.data() + at, cardAccess, output->cardAccess, output->cardAccessLength,
                       "Prepare PACE output | Copy EF.CardAccess",
                       "Prepare PACE output error | EF.CardAccess length is to big",
                       "Prepare PACE output | EF.CardAccess is not set");
    if (rv != gc_reader::kOk) return rv;
    at += cardAccess;
    if (at == total) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Prepare PACE output | PACE without TA");
        output->recentCarLength = 0;
        output->previousCarLength = 0;
        output->idIccLength = 0;
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
        return gc_reader::kOk;
    }
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Prepare PACE output | PACE with TA");

    const size_t recent = in[at++];
    if (recent > total - at) return tooShort(__LINE__);
    rv = copyField(in.data() + at, recent, output->recentCar, output->recentCarLength,
                   "Prepare PACE output error | Copy Recent Certificate Authority Reference",
                   "Prepare PACE output error | Recent Certificate Authority Reference length is to big",
                   "Prepare PACE output | Recent Certificate Authority Reference is not set");
    if (rv != gc_reader::kOk) return rv;
    at += recent;

    // The previous CAR's length byte must itself be there before it is read.
    if (at >= total) return tooShort(__LINE__);
    const size_t previous = in[at++];
    if (previous > total - at) return tooShort(__LINE__);
    rv = copyField(in.data() + at, previous, output->previousCar, output->previousCarLength,
                   "Prepare PACE output error | Copy Previous Certificate Authority Reference",
                   "Prepare PACE output error | Previous Certificate Authority Reference length is to big",
                   "Prepare PACE output | Previous Certificate Authority Reference is not set");
    if (rv != gc_reader::kOk) return rv;
    at += previous;

    if (total - at < 2) return tooShort(__LINE__);
    const size_t idIcc = littleEndian(in, at, 2);
    at += 2;
    if (idIcc > total - at) return tooShort(__LINE__);
    rv = copyField(in.data() + at, idIcc, output->idIcc, output->idIccLength,
                   "Prepare PACE output | Copy Ephemeral PACE public key of the IFD",
                   "Prepare PACE output error | Ephemeral PACE public key length is to big",
                   "Prepare PACE output | Ephemeral PACE public key is not set");
    if (rv != gc_reader::kOk) return rv;
    at += idIcc;
    if (at != total) return tooShort(__LINE__);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderPCSC::paceExchange(const char* func, const std::vector<unsigned char>& block,
                                establish_pace_channel_output& output) {
    std::vector<unsigned char> answer(kPaceBuffer, 0);
    int rv = internalTransmit(block, answer, data->ctlExecutePace);
    if (rv != gc_reader::kOk)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kLogError, rv, "Failed internal transmit");
    rv = transformPaceOutput(answer, &output);
    if (rv != gc_reader::kOk) {
        rv = rv == gc_reader::kUnknownData ? gc_reader::kUnknownData : gc_reader::kFailed;
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kLogError, rv, "Cannot parse PACE output data");
    }
    return gc_reader::kOk;
}

int GC_ReaderPCSC::performSecureConnection(std::vector<unsigned char> password, int type) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_WipeGuard wipePassword{&password};
    if (const int rc = checkReady(__func__, false); rc != gc_reader::kOk) return rc;
    // Without its own control code the block would go to the card as an APDU.
    if (!(data->features & pcsc_data::kFeaturePace) || data->ctlExecutePace == 0)
        return GC_FAIL(kLogError, gc_reader::kNotSupported, "Reader not support perform PACE");
    if (!password.empty() && type != 1 && type != 2 && type != 4)
        return GC_FAIL(kLogError, gc_reader::kPaceType, "Password is invalid type");
    if (password.empty() && type != 2 && type != 4)
        return GC_FAIL(kLogError, gc_reader::kPaceEmpty, "Password is empty and password type is not CAN");

    establish_pace_channel_input input;
    input.pinId = static_cast<unsigned char>(type);
    input.pinLength = password.size();
    input.pin = password.data();
    std::vector<unsigned char> block;
    GC_WipeGuard wipeBlock{&block};
    if (transformPaceInput(&input, block) != gc_reader::kOk)
        return GC_FAIL(kLogError, gc_reader::kFailed, "Cannot create PACE input data");
    establish_pace_channel_output output;
    int rv = paceExchange(__func__, block, output);
    if (rv != gc_reader::kOk) return rv;
    rv = paceResult(output.result, true);
    if (rv != gc_reader::kOk) return rv;

    data->channelUp = true;
    data->pacePassword = SecureVector<unsigned char>(password.data(), password.size());
    data->pacePasswordType = type;
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderPCSC::restoreSecureConnection() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, false); rc != gc_reader::kOk) return rc;
    if (!(data->features & pcsc_data::kFeaturePace))
        return GC_FAIL(kLogError, gc_reader::kNotSupported, "Reader not support perform PACE");
    // performSecureConnection wipes the copy it is handed.
    std::vector<unsigned char> password(data->pacePassword.begin(), data->pacePassword.end());
    const int type = data->pacePasswordType;
    destroySecureConnection();
    int rv = performSecureConnection(std::move(password), type);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, rv);
    return rv;
}

int GC_ReaderPCSC::destroySecureConnection() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, false); rc != gc_reader::kOk) return rc;
    if (!(data->features & pcsc_data::kFeaturePace) || data->ctlExecutePace == 0)
        return GC_FAIL(kLogError, gc_reader::kNotSupported, "Reader not support perform PACE");
    data->channelUp = false;
    const std::vector<unsigned char> block{GC_PACE_FUNCTION_DestroyPACEChannel, 0x00, 0x00};
    // The reader's result word says whether the channel is gone: a missing or failed answer is
    // not a success.
    establish_pace_channel_output output;
    int rv = paceExchange(__func__, block, output);
    if (rv != gc_reader::kOk) return rv;
    if (output.result != 0) {
        rv = paceResult(output.result, false);
        return GC_FAIL(kLogError, rv, "Destroy Pace in reader | error : %u", output.result);
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}
