#include "Data/Objects/dataobject.h"

#include <algorithm>

#include "Data/wipe.h"
#include "asn1.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "Data/Objects/dataobject";
constexpr unsigned long kLogMask = gc_log::kObjects;
constexpr unsigned long kErrMask = gc_log::kError;

// The recursive parser's reading of data, when its items end where only zero bytes are left. The
// parsers stop with success at a zero byte where a tag is due; re-serialising is safe only when
// what they left unread is padding, not content.
bool readWhole(const std::vector<unsigned char>& data, std::vector<GC_ASN1::item>& items) {
    unsigned long stop = 0;
    if (GC_ASN1::parseEx(items, data, stop, data.size(), 0, 0) != 0) return false;
    const size_t from = std::min<size_t>(stop, data.size());
    return std::all_of(data.begin() + static_cast<long>(from), data.end(), [](unsigned char b) { return b == 0; });
}

}  // namespace

GC_DataObject::GC_DataObject() : GC_Object(TYPE_DATA) {}

GC_DataObject::GC_DataObject(GC_DataObject* source) : GC_Object(static_cast<GC_Object*>(source)) {
    type = TYPE_DATA;
    if (source == nullptr) return;
    identifier = source->identifier;
    content = source->content;
    loaded = source->loaded;
}

GC_DataObject::~GC_DataObject() {
    gc_wipe(identifier);
    gc_wipe(content);
}

void GC_DataObject::setData(std::vector<unsigned char> data) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    loaded = 1;
    gc_wipe(content);
    content.clear();
    if (data.empty()) {
        GC_LoggerC::end2(__func__, kLogFile, __LINE__, kErrMask, "Data is empty");
        return;
    }

    bool stored = false;
    std::vector<GC_ASN1::item> items;
    if (readWhole(data, items)) {
        // Malformed BER (an indefinite length inside a definite item) the fast parser reads into
        // other places than the recursive one: a re-encoding would reorder the bytes, so such
        // content is kept as it came.
        std::vector<unsigned char> encoded = GC_ASN1::serialize(items);
        std::vector<GC_ASN1::item> fast;
        bool sameReading = true;
        if (GC_ASN1::deserialize(fast, data, true) == 0) {
            std::vector<unsigned char> fastEncoded = GC_ASN1::serialize(fast);
            sameReading = fastEncoded == encoded;
            gc_wipe(fastEncoded);
        }
        gc_wipe(fast);
        if (sameReading) {
            content = std::move(encoded);
            stored = true;
        }
        gc_wipe(encoded);
    }
    gc_wipe(items);
    if (!stored) content = data;
    gc_wipe(data);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

std::vector<unsigned char> GC_DataObject::getData() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return content;
}
