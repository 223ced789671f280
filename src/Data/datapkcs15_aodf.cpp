#include "Data/datapkcs15.h"
#include "Data/datapkcs15_internal.h"
#include "logger.h"

// Authentication object directories: one PIN record per PIN entry.

using namespace gc_pkcs15;

namespace {

constexpr unsigned long kLogMask = gc_log::kData;
constexpr unsigned long kErrMask = gc_log::kError;

}  // namespace

int GC_DataPKCS15::parseAuthObjects(app_info* app) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (app == nullptr) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure, "AppInfo is nullptr");
        return kGeneralFailure;
    }

    for (const auto& info : app->objectInfos) {
        if (info->kind != KIND_AUTH_OBJECTS) continue;

        std::vector<unsigned char> content;
        int result = readFile(controller, content, app->aid, info->path, info->index, info->length, false);
        if (result != 0) {
            GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kErrMask, result, "Error when read a file(auth object)");
            return result;
        }
        std::vector<GC_ASN1::item> entries;
        result = GC_ASN1::deserialize(entries, content, true);
        if (result != 0) {
            GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kErrMask, kGeneralFailure,
                              "Error when deserialize a file contnet | %i", result);
            return kGeneralFailure;
        }

        for (const GC_ASN1::item& entry : entries) {
            // A PIN object is a SEQUENCE with its common object attributes (L0) and its common
            // authentication attributes (L1). Biometric templates, authentication keys and
            // malformed entries are passed over: they give no PIN, and the PINs after them
            // must still be found.
            if (entry.tag != std::vector<unsigned char>{kSequence}) {
                GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Authentication object is not a PIN");
                continue;
            }
            const std::vector<GC_ASN1::item> attributes = findAll(entry, {kSequence, kSequence});
            // minLength and storedLength are mandatory; an entry without them has no usable
            // length limits, and lengths of 0 would mean "no PIN check at all".
            const std::vector<GC_ASN1::item> lengths = findAll(entry, {kSequence, kContextA1, kSequence, kInteger});
            if (attributes.size() < 2 || lengths.empty()) {
                GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "ASN1 error");
                continue;
            }
            const GC_ASN1::item& common = attributes[0];
            const GC_ASN1::item& auth = attributes[1];

            auto pin = std::make_unique<pin_info>();
            pin->label = textAt(common, {kSequence, kUtf8String});
            pin->parentAuthId = byteAt(common, {kSequence, kOctetString});
            pin->authId = byteAt(auth, {kSequence, kOctetString});
            pin->minLength = byte2ULong(lengths.front().value, true, 0) & 0xFF;
            pin->maxLength = byte2ULong(lengths.back().value, true, 0) & 0xFF;
            pin->pinReference = byteAt(entry, {kSequence, kContextA1, kSequence, kContext0});
            pin->pinPath = bytesAt(entry, {kSequence, kContextA1, kSequence, kSequence, kOctetString});
            pin->aodfPath = info->path;
            pin->aodfOffset = info->index;
            pin->aodfLength = info->length;
            app->pinInfos.push_back(std::move(pin));
        }
    }

    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

const GC_DataPKCS15::pin_info* GC_DataPKCS15::findPinInfo(const GC_Container* container) const {
    if (container == nullptr || !container->pin) return nullptr;
    const GC_Container::pin_record* pin = container->pin.get();
    // The entry the record was built for is the surest sign; then the PIN's path, reference and
    // auth id. Newest applications first: a discovery run again appends its records.
    for (int pass = 0; pass < 2; ++pass) {
        for (auto app = applications.rbegin(); app != applications.rend(); ++app) {
            if (!*app) continue;
            for (const auto& record : (*app)->pinInfos) {
                if (!record) continue;
                const bool match = pass == 0
                                       ? record->containerPin == pin
                                       : record->pinPath == pin->path && record->pinReference == pin->pinReference &&
                                             record->authId == container->authId;
                if (match) return record.get();
            }
        }
    }
    return nullptr;
}
