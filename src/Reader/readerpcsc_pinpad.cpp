// PC/SC back-end: the reader's part 10 features (control codes, display, APDU size) and PIN
// entry on the reader's keypad.
#include <algorithm>
#include <iterator>

#include "Data/Container/container.h"
#include "Data/wipe.h"
#include "Reader/readerpcsc.h"
#include "asn1.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "Reader/readerpcsc";
constexpr unsigned long kLogMask = gc_log::kReader;
constexpr unsigned long kLogDetail = gc_log::kReader | gc_log::kDetail;
constexpr unsigned long kLogError = gc_log::kReader | gc_log::kError;

// The window switch of the reader (SCARD_CTL_CODE(3105)).
constexpr DWORD kCtlEnableWindow = 0x42000C21;
// CM_IOCTL_GET_FEATURE_REQUEST (SCARD_CTL_CODE(3400)).
constexpr DWORD kCtlGetFeatureRequest = 0x42000D48;

// Feature tags of PC/SC part 10.
constexpr unsigned char GC_FEATURE_VERIFY_PIN_START = 0x01;
constexpr unsigned char GC_FEATURE_VERIFY_PIN_FINISH = 0x02;
constexpr unsigned char GC_FEATURE_MODIFY_PIN_START = 0x03;
constexpr unsigned char GC_FEATURE_MODIFY_PIN_FINISH = 0x04;
constexpr unsigned char GC_FEATURE_VERIFY_PIN_DIRECT = 0x06;
constexpr unsigned char GC_FEATURE_MODIFY_PIN_DIRECT = 0x07;
constexpr unsigned char GC_FEATURE_IFD_PIN_PROPERTIES = 0x0A;
constexpr unsigned char GC_FEATURE_GET_TLV_PROPERTIES = 0x12;
constexpr unsigned char GC_FEATURE_EXECUTE_PACE = 0x20;

// Property tag of dwMaxAPDUDataSize in the GET_TLV_PROPERTIES answer.
constexpr unsigned char kPropertyMaxApduDataSize = 0x0A;
constexpr unsigned long kMinApduSize = 201;
constexpr unsigned long kMaxApduSize = 65536;

constexpr size_t kFeatureBuffer = 256;
constexpr size_t kPinpadBuffer = 261;

constexpr unsigned kEncodingBcd = 0;
constexpr unsigned kEncodingAscii = 1;
constexpr unsigned kEncodingGlp = 2;

enum PinOperation { kVerify = 0, kChange = 1, kUnblock = 2 };

// One control exchange without input. `out` is sized by the caller and cut to the answer; an
// answer that claims more bytes than the buffer holds is refused.
LONG control(GC_ReaderPCSC::pcsc_data& d, DWORD code, std::vector<unsigned char>& out) {
    DWORD returned = 0;
    LONG rv = d.SCardControl132(d.hCard, code, nullptr, 0, out.data(), static_cast<DWORD>(out.size()), &returned);
    if (rv != SCARD_S_SUCCESS) return rv;
    if (returned > out.size()) return SCARD_E_INSUFFICIENT_BUFFER;
    out.resize(returned);
    return SCARD_S_SUCCESS;
}

// Every feature this reader back-end takes a control code for: its tag, its name in the log and
// the field of the implementation record that keeps the code.
struct Feature {
    unsigned char tag;
    const char* name;
    DWORD GC_ReaderPCSC::pcsc_data::*code;
};
constexpr Feature kFeatures[] = {
    {GC_FEATURE_VERIFY_PIN_START, "GC_FEATURE_VERIFY_PIN_START", &GC_ReaderPCSC::pcsc_data::ctlVerifyPinStart},
    {GC_FEATURE_VERIFY_PIN_FINISH, "GC_FEATURE_VERIFY_PIN_FINISH", &GC_ReaderPCSC::pcsc_data::ctlVerifyPinFinish},
    {GC_FEATURE_MODIFY_PIN_START, "GC_FEATURE_MODIFY_PIN_START", &GC_ReaderPCSC::pcsc_data::ctlModifyPinStart},
    {GC_FEATURE_MODIFY_PIN_FINISH, "GC_FEATURE_MODIFY_PIN_FINISH", &GC_ReaderPCSC::pcsc_data::ctlModifyPinFinish},
    {GC_FEATURE_VERIFY_PIN_DIRECT, "GC_FEATURE_VERIFY_PIN_DIRECT", &GC_ReaderPCSC::pcsc_data::ctlVerifyPinDirect},
    {GC_FEATURE_MODIFY_PIN_DIRECT, "GC_FEATURE_MODIFY_PIN_DIRECT", &GC_ReaderPCSC::pcsc_data::ctlModifyPinDirect},
    {GC_FEATURE_IFD_PIN_PROPERTIES, "GC_FEATURE_IFD_PIN_PROPERTIES", &GC_ReaderPCSC::pcsc_data::ctlIfdPinProperties},
    {GC_FEATURE_GET_TLV_PROPERTIES, "GC_FEATURE_GET_TLV_PROPERTIES", &GC_ReaderPCSC::pcsc_data::ctlGetTlvProperties},
    {GC_FEATURE_EXECUTE_PACE, "GC_FEATURE_EXECUTE_PACE", &GC_ReaderPCSC::pcsc_data::ctlExecutePace},
};

void putLittleEndian(std::vector<unsigned char>& out, unsigned long value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// The PIN_VERIFY_STRUCTURE or PIN_MODIFY_STRUCTURE of PC/SC part 10 for `apdu`, appended to
// `out` (which the caller reserves, so that no copy is left behind by a reallocation).
// 0, or -4 with `error` set when the command or the PIN record cannot be expressed.
int buildPinStructure(int operation, const std::vector<unsigned char>& apdu, const GC_Container::pin_record& pin,
                      bool display, unsigned long timeout, unsigned long msgIndex, std::vector<unsigned char>& out,
                      const char*& error) {
    const size_t n = apdu.size();
    const unsigned long pinOffset = pin.pinPosition;

    // The PIN's place in the command data (a byte count behind Lc) and the format byte.
    unsigned char formatString = 0;
    unsigned long position = 0;
    switch (pin.encoding) {
        case kEncodingBcd:
            formatString = 0x81;
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogDetail, "Encoding is set : PIN_ENCODING_BCD");
            break;
        case kEncodingGlp:
            formatString = 0x41;
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogDetail, "Encoding is set : PIN_ENCODING_GLP");
            break;
        case kEncodingAscii:
            if (pinOffset < 5) {
                formatString = 0x02;
            } else {
                position = pinOffset - 5;
                // Four bits hold the position: a larger one would put the PIN somewhere else.
                if (position > 0x0F) {
                    error = "PIN offset cannot be expressed";
                    return gc_reader::kNotSupported;
                }
                formatString = static_cast<unsigned char>(0x82 | (position << 3));
            }
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogDetail, "Encoding is set : PIN_ENCODING_ASCII");
            break;
        default:
            error = "Wrong encoding";
            return gc_reader::kNotSupported;
    }

    // Both limits travel as one byte each.
    if (pin.minLength > 0xFF || pin.maxLength > 0xFF) {
        error = "PIN length limits cannot be expressed";
        return gc_reader::kNotSupported;
    }

    unsigned long blockLength = 0;  // bytes of the PIN block, 0: as long as the PIN
    unsigned char blockString = 0;
    if (pin.encoding == kEncodingGlp) {
        blockString = 0x48;
        blockLength = 8;
    } else if (pin.encoding == kEncodingAscii) {
        blockLength = pin.paddingLength;
        if (operation != kVerify && blockLength == 0) blockLength = pin.maxLength;
        // The low four bits hold the block size; the high four would be taken for a length field.
        if (blockLength > 0x0F) {
            error = "PIN block length cannot be expressed";
            return gc_reader::kNotSupported;
        }
        blockString = static_cast<unsigned char>(blockLength);
    }
    const unsigned char lengthFormat = pin.encoding == kEncodingGlp ? 4 : 0;
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogDetail, "Padding length : %u", blockString);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogDetail, "PIN length format : %u", lengthFormat);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogDetail, "Min PIN length : %llu, Max PIN length : %llu",
                     static_cast<unsigned long long>(pin.minLength), static_cast<unsigned long long>(pin.maxLength));
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogDetail, "Validation condition : 0x02");

    // abData: the header, and the rest of the command when the PIN goes into its data.
    const bool wholeCommand = pinOffset != 4 && n >= 6;
    unsigned long dataLength = 0;  // Lc
    if (wholeCommand) {
        dataLength = apdu[4];
        // A short command with data and nothing behind it: Lc tells the reader where the data ends.
        if (dataLength != n - 5) {
            error = "APDU length is wrong";
            return gc_reader::kNotSupported;
        }
    }
    const size_t abDataLength = wholeCommand ? n : 4;

    // PIN entries and where they go in the data.
    unsigned char confirmPin = 0;
    unsigned long offsetOld = 0;
    unsigned long offsetNew = 0;
    if (operation == kChange) {
        confirmPin = n > 4 ? 3 : 1;
        offsetNew = confirmPin == 1 ? 0 : pin.maxLength;
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogDetail,
                        confirmPin == 3 ? "Reader ask about Old PIN, New PIN and Confirm PIN"
                                        : "Reader ask about New PIN and Confirm PIN");
    } else if (operation == kUnblock) {
        confirmPin = 1;
        if (pinOffset != 4) {
            if (pin.oldPinOffset > 0xFF) {
                error = "PIN offset cannot be expressed";
                return gc_reader::kNotSupported;
            }
            offsetOld = pin.oldPinOffset;
        }
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogDetail, "Reader ask about New PIN and Confirm PIN");
    }

    // The PIN blocks the reader writes must lie inside the command data, and a new PIN behind
    // the current one.
    unsigned long pinBytes = blockLength;
    if (pinBytes == 0) pinBytes = pin.encoding == kEncodingBcd ? (pin.maxLength + 1) / 2 : pin.maxLength;
    if (operation == kChange && confirmPin == 3 && (offsetNew < pinBytes || offsetNew == 0)) {
        error = "New PIN insertion offset does not fit the PIN block";
        return gc_reader::kNotSupported;
    }
    if (wholeCommand && blockLength != 0) {
        const unsigned long lastOffset = operation == kChange && confirmPin == 3 ? offsetNew : 0;
        if (lastOffset + position + blockLength > dataLength) {
            error = "PIN block does not fit the command";
            return gc_reader::kNotSupported;
        }
    }

    const unsigned char timer = static_cast<unsigned char>(std::min<unsigned long>(timeout, 0xFF));
    const unsigned long extraDigit = pin.minLength * 256 + pin.maxLength;
    out.push_back(timer);
    out.push_back(timer);
    out.push_back(formatString);
    out.push_back(blockString);
    out.push_back(lengthFormat);
    if (operation == kVerify) {
        const unsigned char messages = display ? static_cast<unsigned char>(msgIndex & 0xFF) : 0;
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogDetail, "Message : %u", messages);
        putLittleEndian(out, extraDigit, 2);
        out.push_back(0x02);              // bEntryValidationCondition: validation key
        out.push_back(messages);          // bNumberMessage
        putLittleEndian(out, 0x040E, 2);  // wLangId
        out.push_back(0x00);              // bMsgIndex
    } else {
        // One message per PIN entry the reader asks for.
        const unsigned char messages = display ? (confirmPin == 3 ? 3 : 2) : 0;
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogDetail, "Message : %u", messages);
        out.push_back(static_cast<unsigned char>(offsetOld));
        out.push_back(static_cast<unsigned char>(offsetNew));
        putLittleEndian(out, extraDigit, 2);
        out.push_back(confirmPin);
        out.push_back(0x02);
        out.push_back(messages);
        putLittleEndian(out, 0x0000, 2);
        out.push_back(0x00);
        out.push_back(0x01);
        out.push_back(0x02);
    }
    out.insert(out.end(), 3, 0x00);  // bTeoPrologue
    putLittleEndian(out, abDataLength, 4);
    out.insert(out.end(), apdu.begin(), apdu.begin() + static_cast<long>(abDataLength));
    return gc_reader::kOk;
}

}  // namespace

void GC_ReaderPCSC::detectReaderFeatures() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!data || data->library == nullptr) {
        GC_LoggerC::end2(__func__, kLogFile, __LINE__, kLogError, "Reader not intitialized");
        return;
    }
    if (data->hCard == 0) {
        GC_LoggerC::end2(__func__, kLogFile, __LINE__, kLogError, "Card handle is null");
        return;
    }
    pcsc_data& d = *data;
    // Every code comes from this reader's answer: none is kept from an earlier detection.
    d.features = 0;
    for (const Feature& feature : kFeatures) d.*feature.code = 0;
    // The older control function carries no control code.
    if (d.SCardControl132 == nullptr) {
        GC_LoggerC::end2(__func__, kLogFile, __LINE__, kLogError, "Function not supported");
        return;
    }

    std::vector<unsigned char> answer(kFeatureBuffer, 0);
    LONG rv = control(d, kCtlGetFeatureRequest, answer);
    if (rv != SCARD_S_SUCCESS) {
        GC_LoggerC::end2f(__func__, kLogFile, __LINE__, kLogError, "SCardControl error | Get feature request : %ld",
                          static_cast<long>(rv));
        return;
    }
    if (answer.size() % 6 != 0) {
        GC_LoggerC::end2f(__func__, kLogFile, __LINE__, kLogError,
                          "SCardControl error | Feature request wrong length : %u",
                          static_cast<unsigned>(answer.size()));
        return;
    }
    for (size_t i = 0; i + 6 <= answer.size(); i += 6) {
        const unsigned char tag = answer[i];
        // A control code is four bytes; an entry that says otherwise is not taken.
        if (answer[i + 1] != 4) continue;
        const Feature* feature =
            std::find_if(std::begin(kFeatures), std::end(kFeatures), [tag](const Feature& f) { return f.tag == tag; });
        if (feature == std::end(kFeatures)) continue;
        d.*feature->code = static_cast<DWORD>(answer[i + 2]) << 24 | static_cast<DWORD>(answer[i + 3]) << 16 |
                           static_cast<DWORD>(answer[i + 4]) << 8 | static_cast<DWORD>(answer[i + 5]);
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Reader support : %s", feature->name);
    }
    if (d.ctlExecutePace != 0) d.features |= pcsc_data::kFeaturePace;

    if (d.ctlIfdPinProperties != 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Get a pin properties");
        std::vector<unsigned char> properties(kFeatureBuffer, 0);
        rv = control(d, d.ctlIfdPinProperties, properties);
        if (rv != SCARD_S_SUCCESS) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "PC/SC v2 part 10: Get LCD properties failed! %ul",
                             static_cast<unsigned>(rv));
        } else if (properties.size() == 4 || properties.size() == 8) {
            const unsigned layout = properties[0] | static_cast<unsigned>(properties[1]) << 8;
            if (layout != 0) {
                d.features |= pcsc_data::kFeatureDisplay;
                GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Reader has a display: %04X", layout);
            } else {
                GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Reader does not have a display.");
            }
        } else {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask,
                             "Returned PIN properties structure has bad length (%lu/%lu)",
                             static_cast<unsigned long>(properties.size()), 4UL);
        }
    }

    if (d.ctlGetTlvProperties != 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Get a reader APDU size");
        std::vector<unsigned char> properties(kFeatureBuffer, 0);
        rv = control(d, d.ctlGetTlvProperties, properties);
        if (rv != SCARD_S_SUCCESS) {
            GC_LoggerC::end2f(__func__, kLogFile, __LINE__, kLogMask,
                              "PC/SC v2 part 10: Get TLV properties failed! %ul", static_cast<unsigned>(rv));
            return;
        }
        std::vector<GC_ASN1::item> items;
        int parsed = GC_ASN1::deserialize(items, properties, true);
        if (parsed != 0) {
            GC_LoggerC::end2f(__func__, kLogFile, __LINE__, kLogMask, "ASN1 stuct deserialize failed! %ul",
                              static_cast<unsigned>(parsed));
            return;
        }
        auto size = std::find_if(items.begin(), items.end(), [](const GC_ASN1::item& item) {
            return item.tag.size() == 1 && item.tag[0] == kPropertyMaxApduDataSize;
        });
        if (size == items.end() || size->value.empty()) {
            GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
            return;
        }
        // dwMaxAPDUDataSize is a DWORD: a longer value is not a size.
        unsigned long long value = 0;
        if (size->value.size() <= 4)
            for (size_t i = size->value.size(); i-- > 0;) value = value << 8 | size->value[i];
        if (size->value.size() <= 4 && value >= kMinApduSize && value <= kMaxApduSize) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Reader get a APDU size: %lu",
                             static_cast<unsigned long>(value));
            maxApduSize = static_cast<long long>(value);
            apduSizeFixed = true;
            extendedApdu = value > 256;
        } else {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Reader get a incorect APDU size: %lu",
                             static_cast<unsigned long>(value));
        }
    }
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

int GC_ReaderPCSC::enableWindow(unsigned char value) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, true); rc != gc_reader::kOk) return rc;
    if (data->SCardControl132 == nullptr) return notSupported(__func__);
    DWORD returned = 0;
    LONG rv = data->SCardControl132(data->hCard, kCtlEnableWindow, &value, 1, nullptr, 0, &returned);
    if (rv != SCARD_S_SUCCESS)
        return GC_FAIL(kLogError, gc_reader::kFailed, "Failed SCardControl function | %ld", static_cast<long>(rv));
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

bool GC_ReaderPCSC::isPinpad() {
    if (!data) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogError, "Reader not intitialized");
        return false;
    }
    return (data->features & pcsc_data::kFeaturePace) != 0;
}

int GC_ReaderPCSC::pinpadEntry(int operation, const std::vector<unsigned char>& apdu,
                               const std::shared_ptr<GC_Container>& container, std::vector<unsigned char>& response,
                               unsigned long timeout, unsigned long msgIndex) {
    static const char* const kPrefix[] = {"Verify PIN", "Change PIN", "Unlock PIN"};
    static const char* const kFinish[] = {"Verify Finish", "Change Finish", "Unlock Finish"};
    const char* prefix = kPrefix[operation];

    if (const int rc = checkReady(__func__, true); rc != gc_reader::kOk) return rc;
    const pcsc_data& d = *data;
    const bool verify = operation == kVerify;
    const DWORD direct = verify ? d.ctlVerifyPinDirect : d.ctlModifyPinDirect;
    const DWORD start = verify ? d.ctlVerifyPinStart : d.ctlModifyPinStart;
    const DWORD finish = verify ? d.ctlVerifyPinFinish : d.ctlModifyPinFinish;
    if (!(d.features & pcsc_data::kFeaturePace) || (direct == 0 && (start == 0 || finish == 0)))
        return GC_FAIL(
            kLogError, gc_reader::kNotSupported, "%s",
            verify ? "Reader not support verify PIN with PINPAD" : "Reader not support change PIN with PINPAD");
    if (apdu.size() < 4) return GC_FAIL(kLogError, gc_reader::kNotSupported, "APDU length is wrong");
    if (!container || !container->pin) return GC_FAIL(kLogError, gc_reader::kNotSupported, "PIN record is missing");

    std::vector<unsigned char> structure;
    GC_WipeGuard wipeStructure{&structure};
    structure.reserve(24 + apdu.size());
    const char* error = nullptr;
    int rv = buildPinStructure(operation, apdu, *container->pin, (d.features & pcsc_data::kFeatureDisplay) != 0,
                               timeout, msgIndex, structure, error);
    if (rv != gc_reader::kOk) return GC_FAIL(kLogError, rv, "%s", error);

    const DWORD code = direct != 0 ? direct : start;
    std::vector<unsigned char> answer(kPinpadBuffer, 0);
    rv = internalTransmit(structure, answer, code);
    if (rv != gc_reader::kOk) return GC_FAIL(kLogError, rv, "Function internal transmit failed");
    if (direct == 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, kFinish[operation]);
        if (!answer.empty()) return GC_FAIL(kLogError, gc_reader::kUnknownData, "Unknown data receivec");
        answer.assign(kPinpadBuffer, 0);
        rv = internalTransmit({}, answer, finish);
        if (rv != gc_reader::kOk) return GC_FAIL(kLogError, rv, "Function internal transmit failed");
    }
    if (answer.size() != 2) return GC_FAIL(kLogError, gc_reader::kUnknownData, "Unknown data receivec");
    response = answer;
    const unsigned sw = static_cast<unsigned>(answer[0]) << 8 | answer[1];
    int result = gc_reader::kOk;
    const char* text = nullptr;
    switch (sw) {
        case 0x6400:
            result = gc_reader::kTimeout, text = "Input timed out";
            break;
        case 0x6401:
            result = gc_reader::kCancelled, text = "Input cancelled";
            break;
        case 0x6402:
            result = gc_reader::kPinMismatch, text = "PINs don't match";
            break;
        case 0x6403:
            result = gc_reader::kPinLength, text = "Entered PIN is not in length limits";
            break;
        case 0x6B80:
            result = gc_reader::kFailed, text = "Wrong data in the buffer, rejected by firmware";
            break;
        default:
            break;
    }
    if (text != nullptr) return GC_FAIL(kLogError, result, "%s | %s", prefix, text);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, result);
    return result;
}

int GC_ReaderPCSC::verifyPassword(std::vector<unsigned char> apdu, const std::shared_ptr<GC_Container>& container,
                                  std::vector<unsigned char>& response, unsigned long timeout, unsigned long msgIndex) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    // The command may already carry a PIN or PUK of its own.
    GC_WipeGuard wipeCommand{&apdu};
    return pinpadEntry(kVerify, apdu, container, response, timeout, msgIndex);
}

int GC_ReaderPCSC::changePassword(std::vector<unsigned char> apdu, const std::shared_ptr<GC_Container>& container,
                                  std::vector<unsigned char>& response, unsigned long timeout, unsigned long msgIndex) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    // The command may already carry a PIN or PUK of its own.
    GC_WipeGuard wipeCommand{&apdu};
    return pinpadEntry(kChange, apdu, container, response, timeout, msgIndex);
}

int GC_ReaderPCSC::unblockPassword(std::vector<unsigned char> apdu, const std::shared_ptr<GC_Container>& container,
                                   std::vector<unsigned char>& response, unsigned long timeout,
                                   unsigned long msgIndex) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    // The command may already carry a PIN or PUK of its own.
    GC_WipeGuard wipeCommand{&apdu};
    return pinpadEntry(kUnblock, apdu, container, response, timeout, msgIndex);
}
