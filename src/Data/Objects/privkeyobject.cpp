#include "Data/Objects/privkeyobject.h"

#include "logger.h"

namespace {

constexpr const char* kLogFile = "Data/Objects/privkeyobject";
constexpr unsigned long kLogMask = gc_log::kObjects;

}  // namespace

GC_PrivKeyObject::GC_PrivKeyObject() : GC_Object(TYPE_PRIVATE_KEY) {}

GC_PrivKeyObject::GC_PrivKeyObject(GC_PrivKeyObject* source) : GC_Object(static_cast<GC_Object*>(source)) {
    type = TYPE_PRIVATE_KEY;
    if (source == nullptr) return;
    usage = source->usage;
    access = source->access;
    keyReference = source->keyReference;
    pinReference = source->pinReference;
    userConsent = source->userConsent;
    ID = source->ID;
    keyType = source->keyType;
    curve = source->curve;
    keyBits = source->keyBits;
}

GC_PrivKeyObject::~GC_PrivKeyObject() = default;

int GC_PrivKeyObject::getKeySize() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const int bits = static_cast<int>(keyBits);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, bits);
    return bits;
}
